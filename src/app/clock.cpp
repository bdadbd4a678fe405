#include "clock.h"

#include "ap_thread.h"

#include <time.h>

quint32 Clock::ms() const
{
    return ap_time_get_internal();
}

quint32 Clock::us() const
{
    return ap_time_get_internal_highres();
}

void Clock::waitUntilUs(quint32 target)
{
    // Sleep most of the way, then spin the last stretch: a sleep overshoots by the timer slack.
    for (;;) {
        const qint32 left = qint32(target - us());
        if (left <= 0)
            return;
        if (left > 120) {
            timespec ts{0, long(left - 100) * 1000};
            nanosleep(&ts, nullptr);
        }
    }
}
