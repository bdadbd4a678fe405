// The clocks the window reads: the wrapping millisecond clock of the rate meter and the wrapping microsecond
// clock of playback. Tests substitute a clock they advance themselves.
#pragma once

#include <QtGlobal>

class Clock
{
public:
    virtual ~Clock() = default;
    virtual quint32 ms() const;
    virtual quint32 us() const;
    // Waits until us() has reached the given reading (modulo 2^32), or returns at once if it has.
    virtual void waitUntilUs(quint32 target);
};
