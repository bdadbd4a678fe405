// Playback rate and period arithmetic.
#include "play_timing.h"
#include "test_support.h"

#include <limits>

class TestPlayTiming : public QObject
{
    Q_OBJECT

private slots:
    void period_data()
    {
        QTest::addColumn<float>("rate");
        QTest::addColumn<quint32>("period");
        QTest::newRow("60 Hz") << 60.0f << 16666u;
        QTest::newRow("4 Hz") << 4.0f << 250000u;
        QTest::newRow("50 Hz") << 50.0f << 20000u;
        QTest::newRow("500 Hz") << 500.0f << 2000u;
        QTest::newRow("0 falls back to 4 Hz") << 0.0f << 250000u;
        QTest::newRow("negative falls back to 4 Hz") << -5.0f << 250000u;
        QTest::newRow("NaN falls back to 4 Hz") << std::numeric_limits<float>::quiet_NaN() << 250000u;
        QTest::newRow("far too slow stays below 2^31") << 0.0001f << 2147483520u;
        QTest::newRow("far too fast is 0") << 1e12f << 0u;
    }

    void period()
    {
        QFETCH(float, rate);
        QFETCH(quint32, period);
        QCOMPARE(play_timing::periodUs(rate), period);
    }

    void timestampRate_data()
    {
        QTest::addColumn<double>("t1");
        QTest::addColumn<double>("t2");
        QTest::addColumn<float>("rate");
        QTest::newRow("100.0 then 100.02") << 100.0 << 100.02 << 50.0f;
        QTest::newRow("no first timestamp") << -1.0 << 100.02 << 0.0f;
        QTest::newRow("no second timestamp") << 100.0 << -1.0 << 0.0f;
        QTest::newRow("zero") << 0.0 << 0.5 << 0.0f;
        QTest::newRow("equal") << 7.0 << 7.0 << 0.0f;
        QTest::newRow("decreasing") << 7.5 << 7.0 << 0.0f;
    }

    void timestampRate()
    {
        QFETCH(double, t1);
        QFETCH(double, t2);
        QFETCH(float, rate);
        QCOMPARE(play_timing::timestampRate(t1, t2), rate);
    }

    void fiftyHertzFromTimestampsIsTwentyMilliseconds()
    {
        const float rate = play_timing::timestampRate(100.0, 100.02);
        QCOMPARE(QString::number(rate, 'f', 1), QString("50.0"));
        QCOMPARE(play_timing::periodUs(rate), 20000u);
    }
};

OSTREL_TEST_GUILESS_MAIN(TestPlayTiming)
#include "tst_play_timing.moc"
