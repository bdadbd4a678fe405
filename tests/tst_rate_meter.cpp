// The received frame rate meter, driven with explicit clock readings.
#include "rate_meter.h"
#include "test_support.h"

class TestRateMeter : public QObject
{
    Q_OBJECT

private slots:
    void backFill_data()
    {
        QTest::addColumn<unsigned int>("gap");
        QTest::addColumn<int>("entries");
        QTest::addColumn<bool>("resetAfter");
        QTest::newRow("10 ms apart: 96 synthetic, 100 in all") << 10u << 100 << false;
        QTest::newRow("300 Hz: 329 synthetic") << 3u << 333 << false;
        QTest::newRow("within 2 ms: nothing added") << 0u << 4 << true;
        QTest::newRow("slow arrivals: nothing to add") << 300u << 4 << false;
    }

    void backFill()
    {
        QFETCH(unsigned int, gap);
        QFETCH(int, entries);
        QFETCH(bool, resetAfter);
        QList<unsigned int> list;
        bool reset = true;
        const unsigned int start = 5000;
        rate_meter::update(list, reset, true, start);
        for (unsigned int i = 0; i < 4; ++i)
            rate_meter::update(list, reset, false, start + i * gap);
        QCOMPARE(list.size(), entries);
        QCOMPARE(reset, resetAfter);
        for (int i = 1; i < list.size(); ++i)
            QVERIFY(list[i] - list[i - 1] <= qMax(gap, 1u)); // evenly spaced, oldest first
    }

    void backFillHappensOncePerRun()
    {
        QList<unsigned int> list;
        bool reset = true;
        for (unsigned int t = 0; t < 8; ++t)
            rate_meter::update(list, reset, false, 1000 + t * 10);
        // No second back-fill: the one second up to and including now holds 101 arrivals 10 ms apart.
        QCOMPARE(list.size(), 101);
        QCOMPARE(rate_meter::label(list, 1070), QString("101 Hz"));
    }

    void labelSlidesOverOneSecond()
    {
        QList<unsigned int> list;
        bool reset = false;
        QCOMPARE(rate_meter::label(list, 0), QString("-- Hz"));
        rate_meter::update(list, reset, false, 100);
        QCOMPARE(rate_meter::label(list, 100), QString("-- Hz"));
        for (unsigned int t = 110; t <= 1100; t += 10)
            rate_meter::update(list, reset, false, t);
        QCOMPARE(rate_meter::label(list, 1100), QString("101 Hz")); // 100 ms to 1100 ms, both ends included
        // Once every arrival is older than a second the label reads 0 Hz, and then "-- Hz".
        QCOMPARE(rate_meter::label(list, 2101), QString("0 Hz"));
        QCOMPARE(rate_meter::label(list, 2200), QString("-- Hz"));
    }

    void anArrivalExactlyOneSecondOldStillCounts()
    {
        QList<unsigned int> list{1000, 1500, 2000};
        QCOMPARE(rate_meter::label(list, 2000), QString("3 Hz"));
        QCOMPARE(rate_meter::label(list, 2001), QString("2 Hz"));
    }

    void theClockMayWrap()
    {
        QList<unsigned int> list;
        bool reset = true;
        const unsigned int start = 0xFFFFFFFFu - 15u;
        for (unsigned int i = 0; i < 4; ++i)
            rate_meter::update(list, reset, false, start + i * 10u);
        QCOMPARE(list.size(), 100);
        QCOMPARE(rate_meter::label(list, start + 30u), QString("100 Hz"));
    }

    void staysBoundedWhenNobodyReadsTheLabel()
    {
        // A long recording with the display disabled: the label never trims, appending must.
        QList<unsigned int> list;
        bool reset = false;
        for (unsigned int t = 0; t < 600000; t += 1)
            rate_meter::update(list, reset, false, t);
        QVERIFY(list.size() <= 1001);
    }

    void clearEmpties()
    {
        QList<unsigned int> list{1, 2, 3};
        bool reset = false;
        rate_meter::update(list, reset, true, 10);
        QVERIFY(list.isEmpty());
    }
};

OSTREL_TEST_GUILESS_MAIN(TestRateMeter)
#include "tst_rate_meter.moc"
