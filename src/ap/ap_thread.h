// Threads, recursive mutexes, condition variables and clocks over POSIX, as free functions with integer
// result codes. Handles are opaque (void*) and allocated by the init/create functions. No global state.
//
// Result codes: 0 success, -1 failure, -11 a handle could not be allocated; ap_mutex_trylock gives 1 when
// another thread holds the mutex; ap_cond_timedwait gives 1 on time-out or interruption.
#pragma once

#include <time.h>

// Time of day split into two 32-bit fields (unsigned seconds last until 2106).
struct ap_timeval
{
    unsigned int sec;
    unsigned int usec;
};

typedef void *(*ap_thread_func)(void *);

// Starts a detached thread running func(arg); returns only after the new thread has taken over its
// start data. 0, -1 if the thread could not be created, -11 if the handle could not be allocated.
int ap_thread_create(ap_thread_func func, void *arg);
// As above; when handle is not null, a handle of the new thread is stored there (free it with
// ap_thread_destroy_handle).
int ap_thread_create_withhandle(void **handle, ap_thread_func func, void *arg);
// Frees the handle (null allowed); neither stops nor waits for the thread. Always 0.
int ap_thread_destroy_handle(void *handle);
// 1 if the calling thread is the handle's thread, else 0 (also for a null handle).
int ap_thread_is_self(void *handle);
// Ends the calling thread with the given exit value.
[[noreturn]] void ap_thread_exit(void *value);

// Recursive mutex: the holder may lock it again and must unlock it as often.
int ap_mutex_init(void **mutex);  // 0, -11 out of memory, -1 if the system refused the mutex
int ap_mutex_lock(void *mutex);   // 0 or -1
int ap_mutex_unlock(void *mutex); // 0 or -1
// 0 if locked now (also when the caller already holds it), 1 if another thread holds it, -1 otherwise.
int ap_mutex_trylock(void *mutex);
int ap_mutex_destroy(void *mutex); // 0, or -1 if destroying failed; freed in both cases

int ap_cond_init(void **cond);             // 0, -11 out of memory, -1 if the system refused the condition
int ap_cond_wait(void *cond, void *mutex); // 0
// Waits at most timeout_ms milliseconds: 0 when signalled, 1 on time-out or interruption, -1 otherwise.
int ap_cond_timedwait(void *cond, void *mutex, unsigned int timeout_ms);
int ap_cond_signal(void *cond);    // 0
int ap_cond_broadcast(void *cond); // 0
int ap_cond_destroy(void *cond);   // 0, or -1 if destroying failed; freed in both cases

// The absolute deadline of a timed wait of timeout_ms milliseconds that starts at the time of day
// sec/usec (usec below 1,000,000). Kept apart from the wait so that the carry can be checked directly.
void ap_cond_deadline(unsigned int timeout_ms, long sec, long usec, struct timespec *out);

void ap_time_inithighres_internal(void); // nothing to prepare on this system
void ap_time_exithighres_internal(void);
// Millisecond clock, wrapping modulo 2^32; only differences of nearby readings mean anything.
unsigned int ap_time_get_internal(void);
// Microsecond clock, wrapping modulo 2^32 (about every 71.6 minutes).
unsigned int ap_time_get_internal_highres(void);
// later - earlier modulo 2^32, so a difference across the wrap stays small and positive.
unsigned int ap_time_diff_internal(unsigned int later, unsigned int earlier);
// The two clocks computed from a given time of day, which the clock functions above read from the system.
unsigned int ap_time_internal_from(unsigned int sec, unsigned int usec);
unsigned int ap_time_internal_highres_from(unsigned int sec, unsigned int usec);
// Sleeps the given milliseconds; 0, or -1 if the sleep was interrupted or failed.
int ap_time_millisleep(unsigned int ms);
// Fills seconds and microseconds from the system clock; 0 (-1 only for a null record).
int ap_gettimeofday(ap_timeval *tv);
