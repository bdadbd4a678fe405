#include "play/play_timing.h"

#include <cmath>

namespace play_timing {

float usableRate(float configured)
{
    return configured > 0.0f && std::isfinite(configured) ? configured : kLowestRate;
}

quint32 periodUs(float rate)
{
    const float period = 1000000 / usableRate(rate);
    constexpr float kLongest = 2147483520.0f; // largest float below 2^31
    return period >= kLongest ? quint32(kLongest) : quint32(period);
}

float timestampRate(double t1, double t2)
{
    if (!(t1 > 0 && t2 > 0 && t2 > t1))
        return 0.0f;
    const float rate = float(1.0 / (t2 - t1));
    return std::isfinite(rate) ? rate : 0.0f;
}

} // namespace play_timing
