// The window driving the playback engine over loopback receivers in real time: what goes on the wire, and
// how the window follows the engine's end, failure and changed-file reports. The schedule itself is tested
// with made-up times in tst_play_timing.
#include "play/playback_engine.h"
#include "test_support.h"
#include "window_access.h"

#include <QMessageBox>
#include <QStatusBar>

using namespace ostrel_test;

class TestPlayback : public WindowTest
{
    Q_OBJECT

    std::unique_ptr<UdpSink> sink, sink2;

    QString open(const QByteArray &content)
    {
        const QString path = sandboxHome() + "/rec.orf";
        writeFile(path, content);
        answerer->queueFile(path);
        window->on_actionOpen_triggered();
        return a->file_name();
    }

    // The actions when idle with a file: Play and Open on; Pause, Stop and Save as (nothing to save) off.
    bool idleActions()
    {
        return a->mode() == 0 && a->ui().actionPlay->isEnabled() && a->ui().actionOpen->isEnabled() &&
               !a->ui().actionPause->isEnabled() && !a->ui().actionStop->isEnabled() &&
               !a->ui().actionSave_as->isEnabled();
    }

private slots:
    void initTestCase() { writeHomeSettings(defaultSettingsXml()); }

    void init()
    {
        newWindow();
        sink.reset(new UdpSink);
        sink2.reset(new UdpSink);
        a->values().ip_play_1 = a->values().ip_play_2 = 0x7F000001;
        a->values().port_play_1 = sink->port();
        a->values().port_play_2 = sink2->port();
        a->values().active = a->values().loop = false;
        a->values().timestamp = true;
        a->values().frequency_play_1 = 200;
    }

    void cleanup()
    {
        a.reset();
        window.reset();
    }

    void aSinglePlaybackSendsEachFrameAsItsWireFormAndEnds()
    {
        a->values().active = true;
        open("fr 7\nts 100.0\n# not sent\n  a b \t\nfr 8\r\nts 100.02\n\n");
        window->on_actionPlay_triggered();
        QCOMPARE(a->ui().labelFrequency->text(), QString("50.0 Hz"));
        QCOMPARE(a->engine()->periodUs(), 20000u);
        for (UdpSink *s : {sink.get(), sink2.get()})
            QCOMPARE(s->receiveMany(2),
                     QList<QByteArray>({"fr 7\r\nts 100.0\r\na b\r\n", "fr 8\r\nts 100.02\r\n\r\n"}));
        QTRY_VERIFY(idleActions());
        QCOMPARE(a->ui().playSlider->value(), 8);
        QVERIFY(idleActions());
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
        a->values().timestamp = false;
        a->values().frequency_play_1 = 50;
        open(content);
        const QSlider *slider = a->ui().playSlider;
        auto at = [&](qint64 frame) { return int(frame - first + minimum); };
        auto shows = [&](qint64 frame) {
            return slider->value() == at(frame) && a->current_frame() == frame;
        };
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
        a->ui().playSlider->setSliderPosition(at(first + 5));
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
        a->values().recorded_timing = true;
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

    void aSendFailureEndsThePlayback_data()
    {
        QTest::addColumn<bool>("second");
        QTest::addColumn<QString>("text");
        QTest::newRow("destination 1") << false << "Error while sending data";
        QTest::newRow("destination 2") << true << "Error while sending data 2";
    }

    void aSendFailureEndsThePlayback()
    {
        QFETCH(bool, second);
        QFETCH(QString, text);
        a->values().active = second;
        (second ? a->values().port_play_2 : a->values().port_play_1) = 0; // the system refuses to send to 0
        open("fr 1\nx\nfr 2\n");
        window->on_actionPlay_triggered();
        QTRY_COMPARE(answerer->messageTexts(), QStringList(text));
        QCOMPARE(answerer->messages().first().icon, int(QMessageBox::Critical));
        QVERIFY(idleActions());
        QCOMPARE(sink->drain().size(), second ? 1 : 0); // destination 1 had the frame before 2 failed
    }

    void aRecordingChangedOnDiskIsNotPlayed_data()
    {
        QTest::addColumn<bool>("whilePlaying");
        QTest::newRow("before Play") << false;
        QTest::newRow("while playing") << true;
    }

    void aRecordingChangedOnDiskIsNotPlayed()
    {
        QFETCH(bool, whilePlaying);
        a->values().loop = true;
        const QString path = open("fr 1\na\nfr 2\nb\n");
        if (whilePlaying) {
            window->on_actionPlay_triggered();
            QByteArray first;
            QVERIFY(sink->receive(&first));
        }
        writeFile(path, "fr 1\nchanged\n");
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
