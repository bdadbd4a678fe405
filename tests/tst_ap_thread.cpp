// Threads, recursive mutexes, conditions and clocks of the ap_ layer.
#include "ap_thread.h"
#include "test_support.h"

#include <atomic>

namespace {

struct Shared
{
    void *mutex = nullptr;
    void *cond = nullptr;
    void *handle = nullptr;
    std::atomic<int> started{0};
    std::atomic<int> result{-100};
    std::atomic<int> self{-100};
    std::atomic<bool> flag{false};
};

void *mark_started(void *arg)
{
    auto *shared = static_cast<Shared *>(arg);
    shared->started.store(1);
    return nullptr;
}

void *report_is_self(void *arg)
{
    auto *shared = static_cast<Shared *>(arg);
    // The creator stores the handle only after this thread started; wait for it.
    while (!shared->flag.load())
        ap_time_millisleep(1);
    shared->self.store(ap_thread_is_self(shared->handle));
    return nullptr;
}

void *try_lock(void *arg)
{
    auto *shared = static_cast<Shared *>(arg);
    const int rc = ap_mutex_trylock(shared->mutex);
    if (rc == 0)
        ap_mutex_unlock(shared->mutex);
    shared->result.store(rc);
    return nullptr;
}

void *signal_condition(void *arg)
{
    auto *shared = static_cast<Shared *>(arg);
    ap_mutex_lock(shared->mutex);
    shared->flag.store(true);
    ap_cond_signal(shared->cond);
    ap_mutex_unlock(shared->mutex);
    return nullptr;
}

} // namespace

class TstApThread : public QObject
{
    Q_OBJECT

private slots:
    void deadline_data()
    {
        QTest::addColumn<uint>("timeoutMs");
        QTest::addColumn<qlonglong>("sec");
        QTest::addColumn<qlonglong>("usec");
        QTest::addColumn<qlonglong>("expectedSec");
        QTest::addColumn<qlonglong>("expectedNsec");
        QTest::newRow("1500 ms at .6 s carries") << 1500u << 100LL << 600000LL << 102LL << 100000000LL;
        QTest::newRow("zero") << 0u << 100LL << 0LL << 100LL << 0LL;
        QTest::newRow("just below a carry") << 0u << 5LL << 999999LL << 5LL << 999999000LL;
        QTest::newRow("largest sum") << 999u << 5LL << 999999LL << 6LL << 998999000LL;
        QTest::newRow("whole seconds") << 3000u << 7LL << 250000LL << 10LL << 250000000LL;
        QTest::newRow("largest time-out") << 4294967295u << 0LL << 999999LL << 4294968LL << 294999000LL;
    }
    void deadline()
    {
        QFETCH(uint, timeoutMs);
        QFETCH(qlonglong, sec);
        QFETCH(qlonglong, usec);
        QFETCH(qlonglong, expectedSec);
        QFETCH(qlonglong, expectedNsec);
        timespec ts{};
        ap_cond_deadline(timeoutMs, long(sec), long(usec), &ts);
        QCOMPARE(qlonglong(ts.tv_sec), expectedSec);
        QCOMPARE(qlonglong(ts.tv_nsec), expectedNsec);
    }

    void clockDifference_data()
    {
        QTest::addColumn<uint>("later");
        QTest::addColumn<uint>("earlier");
        QTest::addColumn<uint>("difference");
        QTest::newRow("plain") << 100u << 40u << 60u;
        QTest::newRow("across the wrap") << 5u << 0xFFFFFFFBu << 10u;
        QTest::newRow("one step over the wrap") << 0u << 0xFFFFFFFFu << 1u;
    }
    void clockDifference()
    {
        QFETCH(uint, later);
        QFETCH(uint, earlier);
        QFETCH(uint, difference);
        QCOMPARE(ap_time_diff_internal(later, earlier), difference);
    }

    // The clocks wrap modulo 2^32, yet a difference of two close readings stays exact.
    void clocksWrapKeepingDifferences()
    {
        // 4294.967296 s is 2^32 µs: readings straddling it wrap the microsecond clock.
        const unsigned int before = ap_time_internal_highres_from(4294, 900000);
        const unsigned int after = ap_time_internal_highres_from(4295, 100000);
        QVERIFY(after < before);
        QCOMPARE(ap_time_diff_internal(after, before), 200000u);
        // The millisecond clock wraps near 2,649,234 s, given its offset.
        const unsigned int msBefore = ap_time_internal_from(2649233, 500000);
        const unsigned int msAfter = ap_time_internal_from(2649235, 0);
        QVERIFY(msAfter < msBefore);
        QCOMPARE(ap_time_diff_internal(msAfter, msBefore), 1500u);
    }

    void clocksAdvance()
    {
        const unsigned int ms = ap_time_get_internal();
        const unsigned int us = ap_time_get_internal_highres();
        QCOMPARE(ap_time_millisleep(20), 0);
        QVERIFY(ap_time_diff_internal(ap_time_get_internal(), ms) >= 19);
        QVERIFY(ap_time_diff_internal(ap_time_get_internal_highres(), us) >= 19000);
        ap_timeval tv{0, 0};
        QCOMPARE(ap_gettimeofday(&tv), 0);
        QVERIFY(tv.sec > 0);
        QVERIFY(tv.usec < 1000000u);
    }

    void createReturnsAfterStart()
    {
        for (int i = 0; i < 20; ++i) {
            Shared shared;
            void *handle = nullptr;
            QCOMPARE(ap_thread_create_withhandle(&handle, mark_started, &shared), 0);
            QVERIFY(handle);
            QCOMPARE(ap_thread_destroy_handle(handle), 0);
            // The start record lived on the creator's stack, which is gone by now: the thread must have
            // taken its function and argument over before the creation returned.
            QTRY_COMPARE(shared.started.load(), 1);
        }
        Shared shared;
        QCOMPARE(ap_thread_create(mark_started, &shared), 0);
        QTRY_COMPARE(shared.started.load(), 1);
        QCOMPARE(ap_thread_destroy_handle(nullptr), 0);
    }

    void isSelf()
    {
        Shared shared;
        QCOMPARE(ap_thread_create_withhandle(&shared.handle, report_is_self, &shared), 0);
        QCOMPARE(ap_thread_is_self(shared.handle), 0);
        shared.flag.store(true);
        QTRY_COMPARE(shared.self.load(), 1);
        ap_thread_destroy_handle(shared.handle);
        QCOMPARE(ap_thread_is_self(nullptr), 0);
    }

    void recursiveTrylock()
    {
        Shared shared;
        QCOMPARE(ap_mutex_init(&shared.mutex), 0);
        QCOMPARE(ap_mutex_lock(shared.mutex), 0);
        QCOMPARE(ap_mutex_trylock(shared.mutex), 0); // the owner may lock again

        QCOMPARE(ap_thread_create(try_lock, &shared), 0);
        QTRY_COMPARE(shared.result.load(), 1);

        QCOMPARE(ap_mutex_unlock(shared.mutex), 0);
        QCOMPARE(ap_mutex_unlock(shared.mutex), 0);
        // Released as often as locked: another thread gets it now.
        shared.result.store(-100);
        QCOMPARE(ap_thread_create(try_lock, &shared), 0);
        QTRY_COMPARE(shared.result.load(), 0);
        QCOMPARE(ap_mutex_destroy(shared.mutex), 0);
    }

    void timedWaitTimesOut()
    {
        Shared shared;
        QCOMPARE(ap_mutex_init(&shared.mutex), 0);
        QCOMPARE(ap_cond_init(&shared.cond), 0);
        ap_mutex_lock(shared.mutex);
        const unsigned int before = ap_time_get_internal();
        QCOMPARE(ap_cond_timedwait(shared.cond, shared.mutex, 30), 1);
        QVERIFY(ap_time_diff_internal(ap_time_get_internal(), before) >= 29);
        ap_mutex_unlock(shared.mutex);
        QCOMPARE(ap_cond_destroy(shared.cond), 0);
        QCOMPARE(ap_mutex_destroy(shared.mutex), 0);
    }

    void timedWaitSignalled()
    {
        Shared shared;
        QCOMPARE(ap_mutex_init(&shared.mutex), 0);
        QCOMPARE(ap_cond_init(&shared.cond), 0);
        ap_mutex_lock(shared.mutex);
        QCOMPARE(ap_thread_create(signal_condition, &shared), 0);
        int rc = 0;
        while (!shared.flag.load() && rc == 0)
            rc = ap_cond_timedwait(shared.cond, shared.mutex, 10000);
        QCOMPARE(rc, 0);
        QVERIFY(shared.flag.load());
        ap_mutex_unlock(shared.mutex);
        QCOMPARE(ap_cond_broadcast(shared.cond), 0);
        QCOMPARE(ap_cond_destroy(shared.cond), 0);
        QCOMPARE(ap_mutex_destroy(shared.mutex), 0);
    }
};

OSTREL_TEST_GUILESS_MAIN(TstApThread)
#include "tst_ap_thread.moc"
