// The received frame rate meter: arrival times in milliseconds of a wrapping clock, a one-time back-fill
// that makes the rate meaningful from the fourth arrival on, and a sliding one-second window.
// Pure functions of the list and the time, so tests control the clock.
#pragma once

#include <QList>
#include <QString>

namespace rate_meter {

// With clear: empties the list. Otherwise appends now, first dropping arrivals that are more than one
// second old so the list stays bounded when nobody reads the label. Then, while reset is set and the
// list holds exactly four times, fills in one second's worth of arrivals at the measured rate.
void update(QList<unsigned int> &list, bool &reset, bool clear, unsigned int now);

// Drops arrivals more than 1000 ms old and gives the label text: "-- Hz" for at most one arrival before
// the drop, else the number left and " Hz".
QString label(QList<unsigned int> &list, unsigned int now);

} // namespace rate_meter
