#include "record/clock.h"

#include "ap/ap_thread.h"

quint32 Clock::ms() const
{
    return ap_time_get_internal();
}
