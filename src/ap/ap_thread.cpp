#include "ap/ap_thread.h"

#include <sys/time.h>

unsigned int ap_time_get_internal(void)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    // Unsigned arithmetic wraps modulo 2^32 by definition; the offset changes no difference.
    return unsigned(now.tv_sec) * 1000u + unsigned(now.tv_usec) / 1000u + 1645733348u;
}
