// The playback schedule with times the test sets (no waiting), at a fixed period and at the recorded times,
// the rate arithmetic and the self-check.
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

    // Takes the steps of a script (see schedule_data) on s; the steps taken as "ms:entry" and so on.
    static QString run(PlaybackSchedule &s, const QString &script)
    {
        qint64 now = 0;
        QStringList steps;
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
            else if (op[0] == 'x')
                s.setSpeed(op.mid(1).toDouble());
            for (int i = 0; op[0] == 't' && i < n; ++i) {
                const PlaybackSchedule::Step step = s.next();
                if (step.deadline < now)
                    return "early";
                now = step.deadline;
                s.advance();
                const QString what = step.kind == Kind::Prime ? "P"
                                     : step.kind == Kind::End ? "E"
                                                              : QString::number(step.entry);
                steps << QString::number(double(now) / 1e6) + ":" + what + (step.last ? "!" : "");
            }
        }
        return steps.join(' ');
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
    // the clock reads 50 ms (steps not taken meanwhile: a pause), "r" resume, "k5" seek to entry 5, "x2"
    // speed 2 from now on. Each step taken reads "ms:entry" ("!" after the last of a single playback), "ms:P"
    // priming, "ms:E" end.
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
        QTest::newRow("speed doubled while playing") << QList<int>() << false << 1.0 << "s t3 x2 t2"
                                                     << "1:P 2:0 3:1 3.5:2 4:3";
        QTest::newRow("speed halved while paused") << QList<int>() << false << 1.0 << "s t2 @50 x0.5 r t2"
                                                   << "1:P 2:0 52:1 54:2";
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
        s.start(0);
        QTEST(run(s, script), "steps");
    }

    // Recorded timing. Timestamps in ms, one per entry: "-" a frame without one, "x" a lost frame. The
    // median interval is 10 ms, the longest gap 1 s. Steps as above, then "out of order/shortened".
    void recordedSchedule_data()
    {
        QTest::addColumn<QString>("stamps");
        QTest::addColumn<bool>("loop");
        QTest::addColumn<double>("speed");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("steps");
        auto row = [](const char *name, const char *stamps, const char *script, const char *steps,
                      bool loop = false, double speed = 1.0) {
            QTest::newRow(name) << stamps << loop << speed << script << steps;
        };
        row("gaps and jitter", "5000 5010 5021 5029 5229", "s t5", "0:0 10:1 21:2 29:3 229:4! 0/0");
        row("lost frames keep their time", "0 x x 31 40", "s t3", "0:0 31:3 40:4! 0/0");
        row("without timestamps: the median", "0 - - 45 50", "s t5", "0:0 10:1 20:2 45:3 50:4! 0/0");
        row("stamped only later", "- - 7 17", "s t4", "0:0 10:1 20:2 30:3! 0/0");
        row("a step back goes at once", "0 10 4 14", "s t4", "0:0 10:1 10:2 20:3! 1/0");
        row("a jump past the limit", "0 10 90010 90020", "s t4", "0:0 10:1 1010:2 1020:3! 0/1");
        row("speed 2", "0 10 50", "s t3", "0:0 5:1 25:2! 0/0", false, 2.0);
        row("speed doubled after two frames", "0 10 20 30", "s t2 x2 t2", "0:0 10:1 15:2 20:3! 0/0");
        row("pause: no backlog", "0 10 30 35", "s t2 @100 r t2", "0:0 10:1 100:2 105:3! 0/0");
        row("seek", "0 10 20 30 45", "s t1 @100 k2 t2", "0:0 100:3 115:4! 0/0");
        row("seek to the last, single", "0 10 20", "s t1 @100 k2 t1", "0:0 100:E 0/0");
        row("chosen before Play", "0 10 25 30", "s2 t2", "0:2 5:3! 0/0");
        row("loop: the median after the last, counted once", "0 10 4", "s t6",
            "0:0 10:1 10:2 20:0 30:1 30:2 1/0", true);
    }

    void recordedSchedule()
    {
        QFETCH(QString, stamps);
        QFETCH(bool, loop);
        QFETCH(double, speed);
        QFETCH(QString, script);
        // What the frame index gives: the interval since the last stamped frame.
        const QStringList ms = stamps.split(' ');
        std::vector<PlaybackSchedule::Recorded> recorded(size_t(ms.size()));
        double last = qQNaN();
        for (size_t k = 0; k < recorded.size(); ++k) {
            PlaybackSchedule::Recorded &r = recorded[k];
            const double t = ms[int(k)].toDouble(&r.stamped) / 1000;
            r.interval = r.stamped ? t - last : qQNaN();
            last = r.stamped ? t : last;
        }
        const qsizetype end = ms.size();
        const auto frames = [ms, end](qsizetype k) {
            while (k < end && ms[int(k)] == "x")
                ++k;
            return k < end ? k : qsizetype(-1);
        };
        PlaybackSchedule s(frames, 0, end - 1, loop,
                           {[recorded](qsizetype k) { return recorded[size_t(k)]; }, 10000000, 1000000000},
                           speed);
        const QString steps = run(s, script);
        QTEST(steps + QString(" %1/%2").arg(s.outOfOrder()).arg(s.shortened()), "steps");
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
        check.setTimingEvents(2, 1, 5);
        QCOMPARE(check.summary(), QString("500 frames, p99 0.04 ms late; 2 timestamps out of order; 1 gap "
                                          "shortened to 5 s"));
    }
};

OSTREL_TEST_GUILESS_MAIN(TestPlayTiming)
#include "tst_play_timing.moc"
