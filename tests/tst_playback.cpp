// The window driving the playback engine over loopback receivers in real time: what goes on the wire, and
// how the window follows the engine's end, failure and changed-file reports. The schedule itself is tested
// with made-up times in tst_play_timing.
#include "ap/ap_socket.h"
#include "play/playback_engine.h"
#include "recording/frame_scanner.h"
#include "test_support.h"
#include "window_test.h"

#include <QMessageBox>
#include <QSlider>
#include <QStatusBar>

#include <cerrno>
#include <cstring>

using namespace ostrel_test;

class TestPlayback : public WindowTest
{
    Q_OBJECT

    std::unique_ptr<UdpSink> sink, sink2;
    std::unique_ptr<PlaybackEngine> engine;
    void *socket = nullptr;

    QString open(const QByteArray &content)
    {
        const QString path = sandboxHome() + "/rec.orf";
        writeFile(path, content);
        answerer->queueFile(path);
        window->on_actionOpen_triggered();
        return shownFile();
    }

    // Plays content at top speed to both sinks with an engine of its own.
    void playAtTopSpeed(const QByteArray &content)
    {
        const QString path = sandboxHome() + "/fast.orf";
        writeFile(path, content);
        FrameIndex index;
        FrameScanner::scan(path, index);
        ap_udp_init(&socket, 0, 0);
        engine.reset(new PlaybackEngine);
        engine->setSocket(socket);
        PlaybackEngine::Options options;
        options.destinations = {{0x7F000001, sink->port()}, {0x7F000001, sink2->port()}};
        options.topSpeed = true;
        engine->start(index, options);
    }

    // The actions when idle with a file: Play and Open on; Pause, Stop and Save as (nothing to save) off.
    bool idleActions()
    {
        return mode() == 0 && action("actionPlay")->isEnabled() && action("actionOpen")->isEnabled() &&
               !action("actionPause")->isEnabled() && !action("actionStop")->isEnabled() &&
               !action("actionSave_as")->isEnabled();
    }

private slots:
    void init()
    {
        sink.reset(new UdpSink);
        sink2.reset(new UdpSink);
        settings = startSettings();
        settings.text(Setting::PlayPort1) = QString::number(sink->port());
        settings.text(Setting::PlayPort2) = QString::number(sink2->port());
        settings.text(Setting::Loop) = "false";
        settings.text(Setting::Frequency) = "200";
        newWindow();
    }

    void cleanup()
    {
        window.reset();
        engine.reset();
        if (socket)
            ap_udp_exit(socket);
        socket = nullptr;
    }

    // Destination 2 gets the frames while it is active, and nothing while it is not.
    void aSinglePlaybackSendsEachFrameAsItsWireFormAndEnds_data()
    {
        QTest::addColumn<bool>("second");
        QTest::newRow("destination 2 active") << true;
        QTest::newRow("destination 2 not active") << false;
    }
    void aSinglePlaybackSendsEachFrameAsItsWireFormAndEnds()
    {
        QFETCH(bool, second);
        reopenWith({{Setting::Active, second ? "true" : "false"}});
        open("fr 7\nts 100.0\n# not sent\n  a b \t\nfr 8\r\nts 100.02\n\n");
        window->on_actionPlay_triggered();
        QCOMPARE(child<QLabel>("labelFrequency")->text(), QString("50.0 Hz"));
        const QList<QByteArray> frames = {"fr 7\r\nts 100.0\r\na b\r\n", "fr 8\r\nts 100.02\r\n\r\n"};
        QCOMPARE(sink->receiveMany(2), frames);
        QTRY_VERIFY(idleActions());
        // Loopback delivers as it sends: whatever went to destination 2 is waiting by the end.
        QCOMPARE(sink2->drain(), second ? frames : QList<QByteArray>());
        QCOMPARE(child<QSlider>("playSlider")->value(), 8);
        QVERIFY(window->statusBar()->currentMessage().startsWith("2 frames, p99 "));
        QVERIFY(answerer->messages().isEmpty());
    }

    // The slider's range is the recording's frame numbers and its value the current frame: after Open, a
    // pause, a seek, the end and Stop. Numbers past an int start at 0.
    void theSliderShowsFrameNumbers_data()
    {
        QTest::addColumn<qint64>("first");
        QTest::addColumn<int>("minimum");
        QTest::newRow("numbered 20 to 30") << qint64(20) << 20;
        QTest::newRow("numbered past an int") << (qint64(1) << 32) << 0;
    }

    void theSliderShowsFrameNumbers()
    {
        QFETCH(qint64, first);
        QFETCH(int, minimum);
        QByteArray content;
        for (qint64 n = first; n <= first + 10; ++n)
            content += "fr " + QByteArray::number(n) + "\n";
        reopenWith({{Setting::Timestamp, "false"}, {Setting::Frequency, "50"}});
        open(content);
        QSlider *slider = child<QSlider>("playSlider");
        auto at = [&](qint64 frame) { return int(frame - first + minimum); };
        auto shows = [&](qint64 frame) { return slider->value() == at(frame); };
        auto frameOf = [](const QByteArray &d) { return d.mid(3, d.indexOf('\r') - 3).toLongLong(); };
        QCOMPARE(QPoint(slider->minimum(), slider->maximum()), QPoint(minimum, at(first + 10)));
        QVERIFY(shows(first));

        window->on_actionPlay_triggered();
        QByteArray d;
        QVERIFY(sink->receive(&d));
        window->on_actionPause_triggered();
        const QList<QByteArray> sent = QList<QByteArray>{d} + sink->drain();
        QVERIFY(shows(frameOf(sent.last()))); // the frame sent last
        window->on_playSlider_sliderPressed();
        slider->setSliderPosition(at(first + 5));
        window->on_playSlider_sliderReleased();
        window->on_actionPlay_triggered();
        QVERIFY(sink->receive(&d));
        QCOMPARE(frameOf(d), first + 6);
        QTRY_VERIFY(idleActions());
        QVERIFY(shows(first + 10));

        window->on_actionPlay_triggered();
        QVERIFY(sink->receive(&d));
        window->on_actionStop_triggered();
        QVERIFY(shows(first));
    }

    // Each frame at its recorded time: the frame after a 200 ms gap leaves no earlier than that after Play,
    // the one before it without waiting for the gap, the one whose timestamp steps back at once after it;
    // the step back is said at the end.
    void recordedTimingKeepsAGap()
    {
        reopenWith({{Setting::RecordedTiming, "true"}});
        open("fr 1\nts 7.000\nfr 2\nts 7.010\nfr 3\nts 7.210\nfr 4\nts 7.200\n");
        QElapsedTimer clock;
        clock.start();
        window->on_actionPlay_triggered();
        QList<qint64> ms;
        QByteArray datagram;
        while (ms.size() < 4 && sink->receive(&datagram))
            ms << clock.elapsed();
        QCOMPARE(ms.size(), 4);
        QString said = "arrivals (ms):";
        for (qint64 t : ms)
            said += " " + QString::number(t);
        QVERIFY2(ms[2] >= 210 && ms[2] - ms[1] >= 100 && ms[3] - ms[2] < 100, qPrintable(said));
        QTRY_VERIFY(idleActions());
        QVERIFY(window->statusBar()->currentMessage().endsWith(" ms late; 1 timestamp out of order"));
    }

    // Each pass of a loop whose numbers go on moves the second field of the frame-counter and timestamp lines
    // on, a time in its own decimals; every other byte (an indented "ts" line too) stays as recorded.
    void aLoopWithContinuedNumbersLooksLive()
    {
        reopenWith({{Setting::Loop, "true"}, {Setting::PlayContinueNumbers, "true"}, {Setting::Timestamp, "false"}});
        open("fr 7\r\nts 1700000000.123456\r\nv 1\r\n"
             "fr 8\nts 1700000000.373456 extra\n  ts 5 body\n# c\n"
             "fr 9\nts 1700000000.7485\n");
        window->on_actionPlay_triggered();
        const QList<QByteArray> got = sink->receiveMany(9);
        window->on_actionStop_triggered();
        // One pass: 3 frames and 0.625044 s, plus the median interval of 0.25 s.
        const char *times[3][3] = {{"1700000000.123456", "1700000000.373456", "1700000000.7485"},
                                   {"1700000000.998500", "1700000001.248500", "1700000001.6235"},
                                   {"1700000001.873544", "1700000002.123544", "1700000002.4986"}};
        QList<QByteArray> want;
        for (int pass = 0; pass < 3; ++pass)
            want << "fr " + QByteArray::number(7 + 3 * pass) + "\r\nts " + times[pass][0] + "\r\nv 1\r\n"
                 << "fr " + QByteArray::number(8 + 3 * pass) + "\r\nts " + times[pass][1] +
                        " extra\r\nts 5 body\r\n"
                 << "fr " + QByteArray::number(9 + 3 * pass) + "\r\nts " + times[pass][2] + "\r\n";
        QCOMPARE(got, want);
    }

    // Frames due together leave in batches, each frame to destination 1, then 2.
    void topSpeedSendsEveryFrameInOrderToBothDestinations()
    {
        QByteArray content;
        QList<QByteArray> want;
        for (int n = 1; n <= 150; ++n) {
            content += "fr " + QByteArray::number(n) + "\nx\n";
            want << "fr " + QByteArray::number(n) + "\r\nx\r\n";
        }
        playAtTopSpeed(content);
        QTRY_COMPARE(engine->progress().state, PlaybackEngine::State::Ended);
        QCOMPARE(sink->receiveMany(150), want);
        QCOMPARE(sink2->receiveMany(150), want);
        QCOMPARE(engine->selfCheck().frames(), 150);
    }

    // A frame the system refuses in the middle of a batch ends the playback with it, after the frames
    // before it went out to both destinations.
    void aFailureInsideABatchEndsAfterTheFramesBeforeIt()
    {
        QByteArray content;
        for (int n = 1; n <= 20; ++n)
            content += "fr " + QByteArray::number(n) + "\n" + (n == 12 ? QByteArray(70000, 'x') + "\n" : "");
        playAtTopSpeed(content);
        QTRY_COMPARE(engine->progress().state, PlaybackEngine::State::SendFailed);
        const PlaybackEngine::Progress end = engine->progress();
        QCOMPARE(end.frame, 12);
        QCOMPARE(end.failedDestination, 0);
        QCOMPARE(end.failedErrno, EMSGSIZE); // said with the failure
        for (UdpSink *s : {sink.get(), sink2.get()}) {
            const QList<QByteArray> got = s->receiveMany(11);
            QCOMPARE(got.size(), 11);
            QCOMPARE(got.last(), QByteArray("fr 11\r\n"));
            QVERIFY(s->drain().isEmpty());
        }
    }

    void aSendFailureEndsThePlayback_data()
    {
        QTest::addColumn<bool>("second");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("status"); // the system refuses port 0 as an invalid argument
        const QString reason = QString::fromLocal8Bit(std::strerror(EINVAL));
        QTest::newRow("destination 1") << false << "Error while sending data"
                                       << "Sending frame 1 to 127.0.0.1:0 failed: " + reason;
        QTest::newRow("destination 2") << true << "Error while sending data 2"
                                       << "Sending frame 1 to 127.0.0.1:0 failed: " + reason;
    }

    void aSendFailureEndsThePlayback()
    {
        QFETCH(bool, second);
        QFETCH(QString, text);
        QFETCH(QString, status);
        // The system refuses to send to port 0.
        reopenWith({{Setting::Active, second ? "true" : "false"}, {second ? Setting::PlayPort2 : Setting::PlayPort1, "0"}});
        open("fr 1\nx\nfr 2\n");
        window->on_actionPlay_triggered();
        QTRY_COMPARE(answerer->messageTexts(), QStringList(text));
        QCOMPARE(answerer->messages().first().icon, int(QMessageBox::Critical));
        QCOMPARE(window->statusBar()->currentMessage(), status);
        QVERIFY(idleActions());
        QCOMPARE(sink->drain().size(), second ? 1 : 0); // destination 1 had the frame before 2 failed
    }

    void aRecordingChangedOnDiskIsNotPlayed_data()
    {
        QTest::addColumn<bool>("whilePlaying");
        QTest::addColumn<QByteArray>("rewritten");
        QTest::newRow("before Play") << false << QByteArray("fr 1\nchanged\n");
        QTest::newRow("while playing") << true << QByteArray("fr 1\nchanged\n");
        // The same size in the same file: the offsets would point into other frames.
        QTest::newRow("in place, same size, before Play") << false << QByteArray("fr 7\nb\nfr 8\na\n");
    }

    void aRecordingChangedOnDiskIsNotPlayed()
    {
        QFETCH(bool, whilePlaying);
        QFETCH(QByteArray, rewritten);
        reopenWith({{Setting::Loop, "true"}});
        const QString path = open("fr 1\na\nfr 2\nb\n");
        const QDateTime opened = QFileInfo(path).lastModified();
        if (whilePlaying) {
            window->on_actionPlay_triggered();
            QByteArray first;
            QVERIFY(sink->receive(&first));
        }
        writeFile(path, rewritten);
        // Later, as a rewrite is, even where the file system's clock has not moved on since the Open.
        QFile(path).setFileTime(opened.addSecs(1), QFileDevice::FileModificationTime);
        if (!whilePlaying)
            window->on_actionPlay_triggered();
        QTRY_COMPARE(
            answerer->messageTexts(),
            QStringList(QString("File %1 has changed since it was opened. Please open it again.").arg(path)));
        QCOMPARE(answerer->messages().first().title, QString("Ostrel Recorder"));
        QVERIFY(idleActions());
    }
};

OSTREL_TEST_MAIN(TestPlayback)
#include "tst_playback.moc"
