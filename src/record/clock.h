// The wrapping millisecond clock the rate meter reads. Tests substitute a clock they advance themselves.
#pragma once

#include <QtGlobal>

class Clock
{
public:
    virtual ~Clock() = default;
    virtual quint32 ms() const;
};
