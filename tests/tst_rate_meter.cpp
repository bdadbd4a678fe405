// The rate label's meter, driven with explicit clock readings: the back-fill that makes the rate meaningful
// from the fourth arrival, the one-second window, a wrapping clock, and a list that stays bounded.
#include "record/rate_meter.h"
#include "test_support.h"

class TestRateMeter : public QObject
{
    Q_OBJECT

private slots:
    void backFill_data()
    {
        QTest::addColumn<unsigned int>("start");
        QTest::addColumn<unsigned int>("gap");
        QTest::addColumn<QString>("label");
        QTest::newRow("10 ms apart") << 5000u << 10u << "100 Hz";
        QTest::newRow("300 Hz") << 5000u << 3u << "333 Hz";
        QTest::newRow("within 2 ms: nothing added") << 5000u << 0u << "4 Hz";
        QTest::newRow("slow: nothing to add") << 5000u << 300u << "4 Hz";
        QTest::newRow("the clock wraps") << 0xFFFFFFFFu - 15u << 10u << "100 Hz";
    }
    void backFill()
    {
        QFETCH(unsigned int, start);
        QFETCH(unsigned int, gap);
        QFETCH(QString, label);
        QList<unsigned int> list;
        bool reset = true;
        for (unsigned int i = 0; i < 4; ++i)
            rate_meter::update(list, reset, false, start + i * gap);
        QCOMPARE(rate_meter::label(list, start + 3 * gap), label);
        rate_meter::update(list, reset, false, start + 4 * gap); // once per run only
        QVERIFY(list.size() <= label.split(' ').first().toInt() + 1);
    }

    void labelSlidesOverOneSecond()
    {
        QList<unsigned int> list;
        bool reset = false;
        rate_meter::update(list, reset, false, 100);
        QCOMPARE(rate_meter::label(list, 100), QString("-- Hz"));
        for (unsigned int t = 110; t <= 1100; t += 10)
            rate_meter::update(list, reset, false, t);
        QCOMPARE(rate_meter::label(list, 1100), QString("101 Hz")); // both ends of the second count
        QCOMPARE(rate_meter::label(list, 1101), QString("100 Hz"));
        QCOMPARE(rate_meter::label(list, 2101), QString("0 Hz"));
        QCOMPARE(rate_meter::label(list, 2200), QString("-- Hz"));
        // A long recording with the display off: nobody reads the label, appending alone keeps it bounded.
        for (unsigned int t = 3000; t < 300000; ++t)
            rate_meter::update(list, reset, false, t);
        QVERIFY(list.size() <= 1001);
    }
};

OSTREL_TEST_GUILESS_MAIN(TestRateMeter)
#include "tst_rate_meter.moc"
