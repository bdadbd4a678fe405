// The playback schedule with times the test sets (no waiting), the rate arithmetic and the self-check.
#include "play/play_timing.h"
#include "play/playback_schedule.h"
#include "play/playback_self_check.h"
#include "test_support.h"

#include <limits>

using Kind = PlaybackSchedule::Kind;

class TestPlayTiming : public QObject
{
    Q_OBJECT

    // Entries 0..9 of a recording, the listed ones lost.
    static PlaybackSchedule::FrameAtOrAfter frames(QList<int> lost)
    {
        return [lost](qsizetype k) {
            while (k < 10 && lost.contains(int(k)))
                ++k;
            return k < 10 ? k : qsizetype(-1);
        };
    }

private slots:
    void period_data()
    {
        QTest::addColumn<float>("rate");
        QTest::addColumn<quint32>("period");
        QTest::newRow("60 Hz") << 60.0f << 16666u;
        QTest::newRow("500 Hz") << 500.0f << 2000u;
        QTest::newRow("0 falls back to 4 Hz") << 0.0f << 250000u;
        QTest::newRow("NaN falls back to 4 Hz") << std::numeric_limits<float>::quiet_NaN() << 250000u;
        QTest::newRow("far too slow stays below 2^31") << 0.0001f << 2147483520u;
    }

    void period()
    {
        QFETCH(float, rate);
        QFETCH(quint32, period);
        QCOMPARE(play_timing::periodUs(rate), period);
    }

    void timestampRate()
    {
        QCOMPARE(play_timing::timestampRate(100.0, 100.02), 50.0f);
        for (const auto &t :
             {std::make_pair(-1.0, 100.02), {100.0, -1.0}, {0.0, 0.5}, {7.0, 7.0}, {7.5, 7.0}})
            QCOMPARE(play_timing::timestampRate(t.first, t.second), 0.0f);
    }

    // Script: "s" start, "s4" start with entry 4 chosen, "t3" take three steps at their deadlines, "@50"
    // the clock reads 50 ms (steps not taken meanwhile: a pause), "r" resume, "k5" seek to entry 5. Each step
    // taken reads "ms:entry" ("!" after the last of a single playback), "ms:P" priming, "ms:E" end.
    void schedule_data()
    {
        QTest::addColumn<QList<int>>("lost");
        QTest::addColumn<bool>("loop");
        QTest::addColumn<double>("speed");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("steps");
        QTest::newRow("single") << QList<int>{3, 4, 5, 6, 7, 8, 9} << false << 1.0 << "s t5"
                                << "1:P 2:0 3:1 4:2! 5:E";
        QTest::newRow("loop primes between passes")
            << QList<int>{2, 3, 4, 5, 6, 7, 8, 9} << true << 1.0 << "s t6"
            << "1:P 2:0 3:1 4:P 5:0 6:1";
        QTest::newRow("speed 2.5") << QList<int>() << false << 2.5 << "s t4"
                                   << "0.4:P 0.8:0 1.2:1 1.6:2";
        QTest::newRow("pause: no backlog") << QList<int>() << false << 1.0 << "s t3 @50 r t2"
                                           << "1:P 2:0 3:1 51:2 52:3";
        QTest::newRow("pause before priming") << QList<int>() << false << 1.0 << "@0.5 @50 r t2"
                                              << "51:P 52:0";
        QTest::newRow("seek playing") << QList<int>() << false << 1.0 << "s t2 @60 k5 t2"
                                      << "1:P 2:0 61:6 62:7";
        QTest::newRow("seek to a lost frame") << QList<int>{5} << false << 1.0 << "s t2 @60 k5 t1"
                                              << "1:P 2:0 61:7";
        QTest::newRow("seek to two lost") << QList<int>{5, 6} << false << 1.0 << "s t2 @60 k5 t1"
                                          << "1:P 2:0 61:8";
        QTest::newRow("seek to the last, single") << QList<int>() << false << 1.0 << "s t2 @60 k9 t1"
                                                  << "1:P 2:0 60:E";
        QTest::newRow("seek to the last, loop") << QList<int>() << true << 1.0 << "s t2 @60 k9 t2"
                                                << "1:P 2:0 61:P 62:0";
        QTest::newRow("chosen before Play") << QList<int>{6} << false << 1.0 << "s4 t3"
                                            << "1:4 2:5 3:7";
        QTest::newRow("chosen lost") << QList<int>{6, 7} << false << 1.0 << "s6 t1"
                                     << "1:8";
        QTest::newRow("nothing to send") << QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9} << true << 1.0 << "s t1"
                                         << "1:E";
    }

    void schedule()
    {
        QFETCH(QList<int>, lost);
        QFETCH(bool, loop);
        QFETCH(double, speed);
        QFETCH(QString, script);
        PlaybackSchedule s(frames(lost), 0, 9, loop, 1000, speed);
        qint64 now = 0;
        QStringList steps;
        s.start(0);
        for (const QString &op : script.split(' ')) {
            const int n = op.mid(1).toInt();
            if (op[0] == 's')
                s.start(now, op.size() > 1 ? n : -1);
            else if (op[0] == '@')
                now = qint64(op.mid(1).toDouble() * 1e6);
            else if (op[0] == 'r')
                s.resume(now);
            else if (op[0] == 'k')
                s.seek(now, n);
            for (int i = 0; op[0] == 't' && i < n; ++i) {
                const PlaybackSchedule::Step step = s.next();
                QVERIFY(step.deadline >= now);
                now = step.deadline;
                s.advance();
                const QString what = step.kind == Kind::Prime ? "P"
                                     : step.kind == Kind::End ? "E"
                                                              : QString::number(step.entry);
                steps << QString::number(double(now) / 1e6) + ":" + what + (step.last ? "!" : "");
            }
        }
        QTEST(steps.join(' '), "steps");
    }

    void deadlinesDoNotDrift()
    {
        // A day at 60 Hz in a loop, started late in the clock's life: frame n stays at n whole periods.
        const qint64 base = 1000000000000000;
        for (double speed : {1.0, 3.0}) {
            PlaybackSchedule s([](qsizetype k) { return k < 1000 ? k : qsizetype(-1); }, 0, 999, true, 16666,
                               speed);
            s.start(base);
            for (qint64 n = 1; n <= 5184000; ++n, s.advance())
                if (n % 1001 == 0 || n == 5184000)
                    QCOMPARE(s.next().deadline - base, qint64(std::llround(n * 16666000.0 / speed)));
        }
    }

    void selfCheck()
    {
        PlaybackSelfCheck check;
        for (int i = 0; i < 500; ++i)
            check.add(i < 490 ? 20000 : i < 498 ? 40000 : 2500000);
        QCOMPARE(check.summary(), QString("500 frames, p99 0.04 ms late"));
        QCOMPARE(check.medianMs(), 0.02);
        QCOMPARE(check.lateOver1ms(), 2);
        QCOMPARE(check.maxMs(), 2.5);
    }
};

OSTREL_TEST_GUILESS_MAIN(TestPlayTiming)
#include "tst_play_timing.moc"
