#include "ap_thread.h"

#include <atomic>
#include <cerrno>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <sys/time.h>

namespace {

// Lives on the creator's stack; the creator waits until the new thread has copied what it needs.
struct StartRecord
{
    ap_thread_func func;
    void *arg;
    std::atomic<int> started;
};

void *thread_start(void *data)
{
    auto *record = static_cast<StartRecord *>(data);
    const ap_thread_func func = record->func;
    void *const arg = record->arg;
    // After this store the record may be gone: do not touch it again.
    record->started.store(1, std::memory_order_release);
    return func(arg);
}

} // namespace

int ap_thread_create(ap_thread_func func, void *arg)
{
    return ap_thread_create_withhandle(nullptr, func, arg);
}

int ap_thread_create_withhandle(void **handle, ap_thread_func func, void *arg)
{
    pthread_t *cell = nullptr;
    if (handle) {
        cell = new (std::nothrow) pthread_t;
        if (!cell)
            return -11;
    }
    StartRecord record{func, arg, {0}};

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete cell;
        return -1;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    const int rc = pthread_create(&id, &attr, thread_start, &record);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete cell;
        return -1;
    }
    if (cell)
        *cell = id;
    while (record.started.load(std::memory_order_acquire) == 0)
        sched_yield();
    if (handle)
        *handle = cell;
    return 0;
}

int ap_thread_destroy_handle(void *handle)
{
    delete static_cast<pthread_t *>(handle);
    return 0;
}

int ap_thread_is_self(void *handle)
{
    if (!handle)
        return 0;
    return pthread_equal(pthread_self(), *static_cast<pthread_t *>(handle)) ? 1 : 0;
}

void ap_thread_exit(void *value)
{
    pthread_exit(value);
}

int ap_mutex_init(void **mutex)
{
    if (!mutex)
        return -1;
    auto *m = new (std::nothrow) pthread_mutex_t;
    if (!m)
        return -11;
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0) {
        rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        if (rc == 0)
            rc = pthread_mutex_init(m, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    if (rc != 0) {
        // A mutex the system refused must not be handed out as if it worked.
        delete m;
        return rc == ENOMEM ? -11 : -1;
    }
    *mutex = m;
    return 0;
}

int ap_mutex_lock(void *mutex)
{
    if (!mutex)
        return -1;
    return pthread_mutex_lock(static_cast<pthread_mutex_t *>(mutex)) == 0 ? 0 : -1;
}

int ap_mutex_unlock(void *mutex)
{
    if (!mutex)
        return -1;
    return pthread_mutex_unlock(static_cast<pthread_mutex_t *>(mutex)) == 0 ? 0 : -1;
}

int ap_mutex_trylock(void *mutex)
{
    if (!mutex)
        return -1;
    const int rc = pthread_mutex_trylock(static_cast<pthread_mutex_t *>(mutex));
    if (rc == 0)
        return 0;
    return rc == EBUSY ? 1 : -1;
}

int ap_mutex_destroy(void *mutex)
{
    if (!mutex)
        return -1;
    auto *m = static_cast<pthread_mutex_t *>(mutex);
    const int rc = pthread_mutex_destroy(m);
    delete m;
    return rc == 0 ? 0 : -1;
}

int ap_cond_init(void **cond)
{
    if (!cond)
        return -1;
    auto *c = new (std::nothrow) pthread_cond_t;
    if (!c)
        return -11;
    const int rc = pthread_cond_init(c, nullptr);
    if (rc != 0) {
        delete c;
        return rc == ENOMEM ? -11 : -1;
    }
    *cond = c;
    return 0;
}

int ap_cond_wait(void *cond, void *mutex)
{
    pthread_cond_wait(static_cast<pthread_cond_t *>(cond), static_cast<pthread_mutex_t *>(mutex));
    return 0;
}

void ap_cond_deadline(unsigned int timeout_ms, long sec, long usec, struct timespec *out)
{
    // Below 2^31 for every time-out and every microsecond value under one second.
    long long ns = ((long long)(timeout_ms % 1000) * 1000 + usec) * 1000;
    long long s = (long long)sec + timeout_ms / 1000;
    if (ns > 999999999) {
        ns -= 1000000000;
        s += 1;
    }
    out->tv_sec = (time_t)s;
    out->tv_nsec = (long)ns;
}

int ap_cond_timedwait(void *cond, void *mutex, unsigned int timeout_ms)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct timespec deadline;
    ap_cond_deadline(timeout_ms, (long)now.tv_sec, (long)now.tv_usec, &deadline);
    const int rc = pthread_cond_timedwait(static_cast<pthread_cond_t *>(cond),
                                          static_cast<pthread_mutex_t *>(mutex), &deadline);
    if (rc == 0)
        return 0;
    if (rc == ETIMEDOUT || rc == EINTR)
        return 1;
    return -1;
}

int ap_cond_signal(void *cond)
{
    pthread_cond_signal(static_cast<pthread_cond_t *>(cond));
    return 0;
}

int ap_cond_broadcast(void *cond)
{
    pthread_cond_broadcast(static_cast<pthread_cond_t *>(cond));
    return 0;
}

int ap_cond_destroy(void *cond)
{
    if (!cond)
        return -1;
    auto *c = static_cast<pthread_cond_t *>(cond);
    const int rc = pthread_cond_destroy(c);
    delete c;
    return rc == 0 ? 0 : -1;
}

void ap_time_inithighres_internal(void) {}

void ap_time_exithighres_internal(void) {}

unsigned int ap_time_internal_from(unsigned int sec, unsigned int usec)
{
    // Unsigned arithmetic wraps modulo 2^32 by definition; the offset changes no difference.
    return sec * 1000u + usec / 1000u + 1645733348u;
}

unsigned int ap_time_internal_highres_from(unsigned int sec, unsigned int usec)
{
    return sec * 1000000u + usec;
}

unsigned int ap_time_get_internal(void)
{
    ap_timeval tv;
    ap_gettimeofday(&tv);
    return ap_time_internal_from(tv.sec, tv.usec);
}

unsigned int ap_time_get_internal_highres(void)
{
    ap_timeval tv;
    ap_gettimeofday(&tv);
    return ap_time_internal_highres_from(tv.sec, tv.usec);
}

unsigned int ap_time_diff_internal(unsigned int later, unsigned int earlier)
{
    return later - earlier;
}

int ap_time_millisleep(unsigned int ms)
{
    // nanosleep rather than usleep(ms * 1000): that product overflows above 71 minutes, and usleep may
    // refuse a second or more.
    struct timespec ts;
    ts.tv_sec = (time_t)(ms / 1000);
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    return nanosleep(&ts, nullptr) == 0 ? 0 : -1;
}

int ap_gettimeofday(ap_timeval *tv)
{
    if (!tv)
        return -1;
    struct timeval now;
    gettimeofday(&now, nullptr);
    tv->sec = (unsigned int)now.tv_sec;
    tv->usec = (unsigned int)now.tv_usec;
    return 0;
}
