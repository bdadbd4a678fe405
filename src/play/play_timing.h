// Rate and period arithmetic of playback, kept apart from the window so it is tested directly.
#pragma once

#include <QtGlobal>

namespace play_timing {

// The lowest rate the play settings offer; used when the configured rate is unusable (0, negative).
constexpr float kLowestRate = 4.0f;

// The configured rate, or the lowest offered rate when it is not above 0.
float usableRate(float configured);

// Microseconds between two frames at rate (Hz): 1,000,000 / rate, truncated. Kept below 2^31 so the
// wrapping clock differences stay meaningful.
quint32 periodUs(float rate);

// The rate given by the first two timestamps (seconds), or 0 when they give none: a missing timestamp
// (not above 0) or timestamps that do not increase.
float timestampRate(double t1, double t2);

} // namespace play_timing
