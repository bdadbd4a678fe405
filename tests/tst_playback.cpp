// Playback over loopback receivers with a clock the test moves: the wire format, destinations, loop and
// single, timestamps, Pause, the seek slider, failures and the choices for unusual recordings.
#include "temp_recording.h"
#include "test_support.h"
#include "window_access.h"

#include <QMessageBox>
#include <QSlider>

using namespace ostrel_test;

class TestPlayback : public QObject
{
    Q_OBJECT

    std::unique_ptr<Ostrel_recorder> window;
    std::unique_ptr<OstrelRecorderTestAccess> a;
    std::unique_ptr<ModalAnswerer> answerer;
    std::unique_ptr<UdpSink> sink;
    std::unique_ptr<UdpSink> sink2;
    ManualClock clock;

    static QByteArray frames(int first, int last, const QList<int> &missing = {})
    {
        QByteArray out;
        for (int n = first; n <= last; ++n)
            if (!missing.contains(n))
                out += "fr " + QByteArray::number(n) + "\nbody " + QByteArray::number(n) + "\n";
        return out;
    }
    static QByteArray sent(int n)
    {
        return "fr " + QByteArray::number(n) + "\r\nbody " + QByteArray::number(n) + "\r\n";
    }

    void open(const QByteArray &content, const QString &name = "rec.orf")
    {
        const QString path = sandboxHome() + "/" + name;
        QVERIFY(writeFile(path, content));
        answerer->queueFile(path);
        window->on_actionOpen_triggered();
        QCOMPARE(a->file_name(), path);
    }

    // One period later, one tick: what it put on the wire, if anything.
    QList<QByteArray> tick()
    {
        clock.advanceUs(a->frame_period());
        a->sendUDP();
        QList<QByteArray> got = sink->drain();
        if (got.isEmpty()) {
            QByteArray one;
            if (sink->receive(&one, 50))
                got << one;
        }
        return got;
    }

    QByteArray tickOne()
    {
        const QList<QByteArray> got = tick();
        return got.size() == 1 ? got.first()
                               : QByteArray("<" + QByteArray::number(got.size()) + " datagrams>");
    }

    void play()
    {
        window->on_actionPlay_triggered();
        QCOMPARE(a->mode(), 1);
    }

private slots:
    void initTestCase() { writeHomeSettings(defaultSettingsXml()); }

    void init()
    {
        answerer.reset(new ModalAnswerer);
        window.reset(new Ostrel_recorder(sandboxHome() + "/.NUV/Ostrel_Recorder"));
        a.reset(new OstrelRecorderTestAccess(*window));
        window->setClock(&clock);
        sink.reset(new UdpSink);
        sink2.reset(new UdpSink);
        a->ip_play_1() = a->ip_play_2() = 0x7F000001;
        a->port_play_1() = sink->port();
        a->port_play_2() = sink2->port();
        a->active() = false;
        a->loop() = false;
        a->timestamp() = false;
        a->frequency_play_1() = 50;
    }

    void cleanup()
    {
        a.reset();
        window.reset();
        answerer.reset();
    }

    void aFrameGoesOutAsStrippedLinesEndedWithCrLf()
    {
        open("fr 12\nts 1.5\n");
        play();
        QCOMPARE(a->ui().labelFrequency->text(), QString("50.0 Hz"));
        QCOMPARE(a->frame_period(), 20000u);
        QVERIFY(tick().isEmpty()); // the priming read sends nothing
        const QByteArray datagram = tickOne();
        QCOMPARE(datagram, QByteArray("fr 12\r\nts 1.5\r\n"));
        QCOMPARE(datagram.size(), 15);
        QCOMPARE(a->mode(), 0); // single: the last frame ends the playback
    }

    void commentsAreDroppedAndBlanksStripped()
    {
        open("fr 1\n# a comment\n   value  \t\n\t# indented comment\nfr 2\nx\r\n");
        play();
        tick();
        QCOMPARE(tickOne(), QByteArray("fr 1\r\nvalue\r\n"));
        QCOMPARE(tickOne(), QByteArray("fr 2\r\nx\r\n"));
    }

    void theSecondDestinationGetsEveryFrameToo()
    {
        a->active() = true;
        open(frames(1, 3));
        play();
        tick();
        for (int n = 1; n <= 3; ++n) {
            QCOMPARE(tickOne(), sent(n));
            QByteArray second;
            QVERIFY(sink2->receive(&second, 1000));
            QCOMPARE(second, sent(n));
        }
    }

    void loopPrimesAgainBetweenTheLastAndTheFirstFrame()
    {
        a->loop() = true;
        open(frames(1, 3));
        play();
        QVERIFY(tick().isEmpty());
        QCOMPARE(tickOne(), sent(1));
        QCOMPARE(tickOne(), sent(2));
        QCOMPARE(tickOne(), sent(3));
        QVERIFY(tick().isEmpty()); // two periods between the last frame and the first
        QCOMPARE(tickOne(), sent(1));
        QCOMPARE(a->mode(), 1);
    }

    void singlePlaybackStopsAtTheLastFrame()
    {
        open(frames(1, 3));
        play();
        tick();
        for (int n = 1; n <= 3; ++n)
            QCOMPARE(tickOne(), sent(n));
        QCOMPARE(a->mode(), 0);
        QVERIFY(!a->send_timer()->isActive());
        QCOMPARE(a->ui().playSlider->value(), 3);
        QVERIFY(a->ui().actionPlay->isEnabled());
        QVERIFY(a->ui().actionOpen->isEnabled());
        QVERIFY(!a->ui().actionPause->isEnabled());
        QVERIFY(!a->ui().actionStop->isEnabled());
        QVERIFY(tick().isEmpty());
    }

    void lateTicksCatchUpWithoutDrift()
    {
        open(frames(1, 10));
        play();
        tick();
        clock.advanceUs(3 * a->frame_period()); // the event loop was busy for three periods
        for (int n = 1; n <= 3; ++n) {
            a->sendUDP();
            QByteArray one;
            QVERIFY(sink->receive(&one, 1000));
            QCOMPARE(one, sent(n));
        }
        a->sendUDP(); // caught up: nothing more is due
        QVERIFY(sink->drain().isEmpty());
        QCOMPARE(tickOne(), sent(4));
    }

    void timestampsSetTheRate_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<float>("configured");
        QTest::addColumn<QString>("label");
        QTest::addColumn<quint32>("period");
        QTest::newRow("100.0 and 100.02")
            << QByteArray("fr 1\nts 100.0\na\nfr 2\nts 100.02\nb\nfr 3\n") << 25.0f << "50.0 Hz" << 20000u;
        QTest::newRow("no timestamps") << frames(1, 3) << 25.0f << "25.0 Hz" << 40000u;
        QTest::newRow("equal timestamps")
            << QByteArray("fr 1\nts 5\nfr 2\nts 5\nfr 3\n") << 25.0f << "25.0 Hz" << 40000u;
        QTest::newRow("decreasing timestamps")
            << QByteArray("fr 1\nts 6\nfr 2\nts 5\nfr 3\n") << 25.0f << "25.0 Hz" << 40000u;
        QTest::newRow("rate 0 plays at 4 Hz") << frames(1, 3) << 0.0f << "4.0 Hz" << 250000u;
    }

    void timestampsSetTheRate()
    {
        QFETCH(QByteArray, content);
        QFETCH(float, configured);
        QFETCH(QString, label);
        QFETCH(quint32, period);
        a->timestamp() = true;
        a->frequency_play_1() = configured;
        open(content);
        play();
        QCOMPARE(a->ui().labelFrequency->text(), label);
        QCOMPARE(a->frame_period(), period);
        // The probe sent nothing and playback starts with the first frame.
        QVERIFY(tick().isEmpty());
        const QByteArray first = tickOne();
        QVERIFY2(first.startsWith("fr 1\r\n"), first.constData());
        // The label keeps the play rate while the meter runs.
        window->updateLabelFrequency();
        QCOMPARE(a->ui().labelFrequency->text(), label);
    }

    void pauseAndPlaySendNoBacklog()
    {
        open(frames(1, 5));
        play();
        tick();
        QCOMPARE(tickOne(), sent(1));
        window->on_actionPause_triggered();
        QVERIFY(a->paused());
        QVERIFY(!a->send_timer()->isActive());
        QVERIFY(a->ui().actionPlay->isEnabled());
        QVERIFY(a->ui().playSlider->isEnabled());
        clock.advanceUs(10 * a->frame_period());
        a->sendUDP();
        window->on_actionPlay_triggered(); // resume
        QVERIFY(!a->paused());
        QVERIFY(a->send_timer()->isActive());
        a->sendUDP();
        QVERIFY(sink->drain().isEmpty()); // nothing is made up for the pause
        QCOMPARE(tickOne(), sent(2));
    }

    void aPausedSeekResumesAfterTheChosenFrame_data()
    {
        QTest::addColumn<QList<int>>("missing");
        QTest::addColumn<int>("chosen");
        QTest::addColumn<int>("next");
        QTest::newRow("frame 5") << QList<int>() << 5 << 6;
        QTest::newRow("lost frame 5") << QList<int>{5} << 5 << 7;
        QTest::newRow("lost frames 5 and 6") << QList<int>{5, 6} << 5 << 8;
        QTest::newRow("first frame") << QList<int>() << 1 << 2;
    }

    void aPausedSeekResumesAfterTheChosenFrame()
    {
        QFETCH(QList<int>, missing);
        QFETCH(int, chosen);
        QFETCH(int, next);
        open(frames(1, 10, missing));
        answerer->clear();
        play();
        tick();
        QCOMPARE(tickOne(), sent(1));
        window->on_actionPause_triggered();
        seekTo(chosen);
        QVERIFY(sink->drain().isEmpty());
        window->on_actionPlay_triggered();
        QCOMPARE(tickOne(), sent(next));
        QCOMPARE(tickOne(), sent(next + 1));
    }

    void aSeekWhilePlayingRestartsAtOnce()
    {
        open(frames(1, 10));
        play();
        tick();
        QCOMPARE(tickOne(), sent(1));
        seekTo(6);
        QVERIFY(a->send_timer()->isActive());
        QCOMPARE(tickOne(), sent(7));
    }

    void draggingPreviewsFramesFromTheIndex()
    {
        open(frames(1, 10, {4}) + "# comment\n");
        a->ui().playSlider->setEnabled(true);
        window->on_playSlider_sliderPressed();
        a->updateContent(3);
        QCOMPARE(a->ui().te_datadisplay->toPlainText(), QString("fr 3\nbody 3\n"));
        a->updateContent(4);
        QCOMPARE(a->ui().te_datadisplay->toPlainText(), QString());
        a->updateContent(10);
        QCOMPARE(a->ui().te_datadisplay->toPlainText(), QString("fr 10\nbody 10\n# comment\n"));
    }

    void aSeekToTheLastFrame_data()
    {
        QTest::addColumn<bool>("loop");
        QTest::newRow("single ends") << false;
        QTest::newRow("loop goes on with the first frame") << true;
    }

    void aSeekToTheLastFrame()
    {
        QFETCH(bool, loop);
        a->loop() = loop;
        open(frames(1, 4));
        play();
        tick();
        QCOMPARE(tickOne(), sent(1));
        window->on_actionPause_triggered();
        seekTo(4);
        window->on_actionPlay_triggered();
        if (!loop) {
            QCOMPARE(a->mode(), 0);
            QVERIFY(tick().isEmpty());
            return;
        }
        QVERIFY(tick().isEmpty()); // priming at the start of the next pass
        QCOMPARE(tickOne(), sent(1));
    }

    void anIdleSeekStartsWithTheChosenFrameWhole()
    {
        open(frames(1, 10, {6}));
        seekTo(4);
        QVERIFY(sink->drain().isEmpty());
        QCOMPARE(a->mode(), 0);
        play();
        QCOMPARE(tickOne(), sent(4));
        QCOMPARE(tickOne(), sent(5));
        QCOMPARE(tickOne(), sent(7));
        window->on_actionStop_triggered();
        // Stop goes back to the first frame and forgets the chosen one.
        QCOMPARE(a->ui().playSlider->value(), 1);
        play();
        tick();
        QCOMPARE(tickOne(), sent(1));
    }

    void anIdleSeekToALostFrameStartsWithTheNextOne()
    {
        open(frames(1, 10, {6, 7}));
        seekTo(6);
        play();
        QCOMPARE(tickOne(), sent(8));
    }

    void recordingsWithNothingToSend_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("loop");
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("empty, loop") << QByteArray() << true;
        QTest::newRow("no frame-counter line") << QByteArray("just\nsome lines\n") << true;
    }

    void recordingsWithNothingToSend()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, loop);
        a->loop() = loop;
        open(content);
        play();
        QVERIFY(tick().isEmpty());
        QCOMPARE(a->mode(), 0);
        QVERIFY(!a->send_timer()->isActive());
        QVERIFY(tick().isEmpty());
    }

    void sendFailuresEndThePlayback_data()
    {
        QTest::addColumn<bool>("second");
        QTest::addColumn<QString>("text");
        QTest::newRow("destination 1") << false << "Error while sending data";
        QTest::newRow("destination 2") << true << "Error while sending data 2";
    }

    void sendFailuresEndThePlayback()
    {
        QFETCH(bool, second);
        QFETCH(QString, text);
        if (second) {
            a->active() = true;
            a->port_play_2() = 0; // the system refuses to send to port 0
            open(frames(1, 3));
        } else {
            open("fr 1\n" + QByteArray(70000, 'x') + "\nfr 2\n"); // larger than a datagram can be
        }
        play();
        tick();
        const QList<QByteArray> got = tick();
        QCOMPARE(answerer->messageTexts(), QStringList(text));
        QCOMPARE(answerer->messages().first().icon, int(QMessageBox::Critical));
        QCOMPARE(a->mode(), 0);
        QVERIFY(!a->send_timer()->isActive());
        QVERIFY(a->ui().actionPlay->isEnabled());
        QCOMPARE(got.size(), second ? 1 : 0); // destination 1 got the frame before destination 2 failed
    }

    void stopEndsThePlayback()
    {
        open(frames(1, 5));
        play();
        tick();
        tickOne();
        tickOne();
        window->on_actionStop_triggered();
        QCOMPARE(a->mode(), 0);
        QVERIFY(!a->send_timer()->isActive());
        QCOMPARE(a->ui().playSlider->value(), 1);
        QVERIFY(a->ui().actionPlay->isEnabled());
        QCOMPARE(a->ui().labelFrequency->text(), QString("50.0 Hz"));
    }

    void playWithoutAFileAsks()
    {
        window->on_actionPlay_triggered();
        QCOMPARE(answerer->messageTexts(), QStringList("Please select a file in the File -> Open dialog."));
        QCOMPARE(a->mode(), 0);
    }

    void playsTheTemporaryRecordingWhenNoFileIsChosen()
    {
        a->record_file() = temp_recording::open(a->temp_file_name());
        QVERIFY(a->record_file());
        const QByteArray content = frames(1, 3);
        fwrite(content.constData(), 1, size_t(content.size()), a->record_file()); // still buffered
        play();
        QCOMPARE(a->file_name(), a->temp_file_name());
        QCOMPARE(a->ui().l_filename->text(), QString("<temporary buffer>"));
        tick();
        QCOMPARE(tickOne(), sent(1));
    }

private:
    void seekTo(int frame)
    {
        QSlider *slider = a->ui().playSlider;
        window->on_playSlider_sliderPressed();
        slider->setSliderPosition(frame);
        window->on_playSlider_sliderReleased();
    }
};

OSTREL_TEST_MAIN(TestPlayback)
#include "tst_playback.moc"
