// Opening a recording through the window: the dialog, the slider, the preview and the seek through the frame
// index, a failed Open, a recording that changes on disk after it was opened, a capture opened as a
// recording, and a recording exported as a capture.
#include "capture/capture_recording.h"
#include "capture_files.h"
#include "test_support.h"
#include "window_test.h"

#include "app/frame_strip.h"
#include "dialogs/recording_info_dialog.h"

#include <QClipboard>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>

using namespace ostrel_test;

class TestOpen : public WindowTest
{
    Q_OBJECT

    UdpSink sink; // Play sends there once, at 500 Hz, without timestamps

    QString open(const QString &name, const QByteArray &content)
    {
        const QString path = sandboxHome() + "/" + name;
        writeFile(path, content);
        answerer->queueFile(path);
        window->on_actionOpen_triggered();
        return path;
    }

    // Moves the slider as a user's drag does: pressed, moved to the frame, released.
    void dragTo(int frame)
    {
        QSlider *slider = child<QSlider>("playSlider");
        slider->setSliderDown(true);
        slider->setSliderPosition(frame);
        slider->setSliderDown(false);
    }
    QString displayed() const { return child<QPlainTextEdit>("te_datadisplay")->toPlainText(); }
    QSlider *slider() const { return child<QSlider>("playSlider"); }

    // The folder the Open dialog starts in.
    QString openDialogFolder()
    {
        window->on_actionOpen_triggered(); // cancelled
        return answerer->records().last().text.section('|', 0, 0);
    }
    static QStringList captureRecordings()
    {
        return QDir(QDir::tempPath()).entryList({"ostrel-capture-*.orf"});
    }

    // What this process has read so far, from the kernel's count.
    static qint64 bytesRead()
    {
        QFile io("/proc/self/io");
        return io.open(QIODevice::ReadOnly) ? io.readLine().mid(7).trimmed().toLongLong() : -1; // "rchar: N"
    }

private slots:
    void init()
    {
        settings = startSettings();
        settings.text(Setting::OpenFileDir) = QDir::rootPath();
        settings.text(Setting::PlayPort1) = QString::number(sink.port());
        settings.text(Setting::Timestamp) = settings.text(Setting::Loop) = "false";
        settings.text(Setting::Frequency) = "500";
        newWindow();
        sink.drain();
    }

    // Frames 17, 18, 20 and 21 (19 lost): the preview of each and where a seek to it lands; a recording
    // changed on disk after Open (truncated, replaced, removed, grown) shows nothing of it and says so, once.
    void previewAndSeek_data()
    {
        QTest::addColumn<int>("frame");
        QTest::addColumn<int>("change");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("seek");
        QTest::newRow("first") << 17 << -1 << "fr 17\nts 0.5\na\n" << 17;
        QTest::newRow("a frame") << 18 << -1 << "fr 18\n# note\nb\n" << 18;
        QTest::newRow("lost") << 19 << -1 << "" << 20;
        QTest::newRow("last") << 21 << -1 << "fr 21\nlast" << 21;
        for (int change = 0; change < 4; ++change)
            QTest::newRow(qPrintable(QString("changed %1").arg(change))) << 18 << change << "" << 18;
    }
    void previewAndSeek()
    {
        QFETCH(int, frame);
        QFETCH(int, change);
        QFETCH(QString, text);
        QFETCH(int, seek);
        const QByteArray content("fr 17\nts 0.5\na\nfr 18\n# note\nb\r\nfr 20\nc\0x\nfr 21\nlast", 51);
        const QString path = open("good.orf", content);
        QCOMPARE(answerer->records()[0].text,
                 QDir::rootPath() +
                     "|Ostrel Recorder files (*.orf);;Captures (*.pcap *.pcapng *.cap);;All files (*)");
        QVERIFY(shownFile() == path && action("actionPlay")->isEnabled());
        QVERIFY(slider()->minimum() == 17 && slider()->maximum() == 21 && slider()->value() == 17);
        QVERIFY(change < 0 || (change == 0   ? QFile::resize(path, 30)
                               : change == 1 ? QFile::remove(path) && writeFile(path, content)
                               : change == 2 ? QFile::remove(path)
                                             : writeFile(path, content + "\nfr 22\n")));
        dragTo(frame == 21 ? 17 : 21); // two reads, of which a changed file is said once
        dragTo(frame);
        QCOMPARE(displayed(), text);
        QStringList messages("Lost frame number 1:  19");
        if (change >= 0)
            messages << QString("File %1 has changed since it was opened. Please open it again.").arg(path);
        QTRY_COMPARE(answerer->messageTexts(), messages);
        QCOMPARE(answerer->messages().last().title, QString("Ostrel Recorder"));
        if (change >= 0)
            return;
        QCOMPARE(openDialogFolder(), sandboxHome()); // the opened file's
        // Play starts with the chosen frame, or the next one recorded.
        window->on_actionPlay_triggered();
        QByteArray first;
        QVERIFY(sink.receive(&first, 30000));
        QCOMPARE(first.mid(3, first.indexOf('\r') - 3).toInt(), seek);
    }

    // An Open that does not succeed says why and leaves the recording opened before exactly as it was: shown,
    // previewed, and played. Negative frame numbers count as bad numbering.
    void aFailedOpenKeepsThePreviousRecordingPlayable_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message"); // %1: the file
        QTest::newRow("bad numbering") << QByteArray("fr 4\nfr 3\n")
                                       << "This file has a problem with frame numbers and cannot be played.";
        QTest::newRow("negative numbers")
            << QByteArray("fr -1\nfr 0\nfr 1\nfr 3\n")
            << "This file has a problem with frame numbers and cannot be played.";
        QTest::newRow("no frame that fits a datagram")
            << "fr 4\n" + QByteArray(70000, 'x') + "\n"
            << "File %1 cannot be played: frame 4 is 70008 bytes; a datagram holds at most 65,507.";
        QTest::newRow("missing") << QByteArray() << "File %1 cannot be opened.";
    }
    void aFailedOpenKeepsThePreviousRecordingPlayable()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        const QString good = open("first.orf", "fr 100\na\nfr 101\nb\nfr 102\nc\n");
        const QString other = sandboxHome() + "/other.orf";
        QFile::remove(other);
        if (!content.isEmpty())
            writeFile(other, content);
        answerer->clear();
        QVERIFY(!window->openRecording(other));
        QCOMPARE(answerer->messageTexts(), QStringList(message.contains("%1") ? message.arg(other) : message));
        QVERIFY(shownFile() == good && slider()->maximum() == 102 && action("actionPlay")->isEnabled());
        dragTo(101);
        QCOMPARE(displayed(), QString("fr 101\nb\n"));
        dragTo(100);
        window->on_actionPlay_triggered();
        QCOMPARE(sink.receiveMany(3),
                 QList<QByteArray>({"fr 100\r\na\r\n", "fr 101\r\nb\r\n", "fr 102\r\nc\r\n"}));
    }

    // Open says only what the numbering holds: at most ten lost numbers, then "...". A frame too large for a
    // datagram leaves the recording playable up to it: Play sends what precedes it and stops there as a
    // failed send does; Recording info names it.
    void openAndPlayAsRecorded_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("opened");
        QTest::addColumn<QList<QByteArray>>("sent");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QStringList>("info"); // Recording info's rows after the intervals
        QTest::newRow("ten lost frames")
            << QByteArray("fr 1\nfr 12\n") << QStringList("Lost frame number 10:  2 3 4 5 6 7 8 9 10 11")
            << QList<QByteArray>{"fr 1\r\n", "fr 12\r\n"} << "" << QStringList("yes");
        QTest::newRow("twelve lost frames")
            << QByteArray("fr 1\na\nfr 14\nb\n")
            << QStringList("Lost frame number 12:  2 3 4 5 6 7 8 9 10 11...")
            << QList<QByteArray>{"fr 1\r\na\r\n", "fr 14\r\nb\r\n"} << "" << QStringList("yes");
        // A datagram of 65,507 bytes in LF lines: 65,509 in CR LF.
        QTest::newRow("a frame too large")
            << "fr 200\na\nfr 201\n" + QByteArray(65499, 'x') + "\nfr 202\nb\n"
            << QStringList() << QList<QByteArray>{"fr 200\r\na\r\n"} << "Error while sending data"
            << QStringList({"1: 201 (65509 bytes)", "yes"});
    }
    void openAndPlayAsRecorded()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, opened);
        QFETCH(QList<QByteArray>, sent);
        QFETCH(QString, failure);
        QFETCH(QStringList, info);
        open("played.orf", content);
        QCOMPARE(answerer->messageTexts(), opened);
        QVERIFY(action("actionPlay")->isEnabled());
        QStringList shown;
        answerer->queueDialog([&](QWidget *dialog) {
            shown = static_cast<RecordingInfoDialog *>(dialog)->values();
            static_cast<QDialog *>(dialog)->accept();
        });
        action("actionRecordingInfo")->trigger();
        QCOMPARE(shown.mid(7), info);
        answerer->clear();
        window->on_actionPlay_triggered();
        QTRY_COMPARE_WITH_TIMEOUT(mode(), 0, 30000);
        QCOMPARE(sink.drain(), sent);
        QCOMPARE(answerer->messageTexts(), failure.isEmpty() ? QStringList() : QStringList(failure));
        QVERIFY(failure.isEmpty() || (answerer->messages()[0].icon == QMessageBox::Critical &&
                                      answerer->messages()[0].title == "Ostrel Recorder"));
    }

    // The program opens the recording named on its command line as File -> Open does, with the same checks
    // and messages, and remembers its folder; a second argument is ignored.
    void theCommandLineOpensARecording()
    {
        QVERIFY(writeFile(sandboxHome() + "/named.orf", "fr 1\nfr 3\n"));
        QDir::setCurrent(sandboxHome());
        window->startUp({"ostrel_recorder", "named.orf", "ignored.orf"});
        QCOMPARE(shownFile(), sandboxHome() + "/named.orf");
        QCOMPARE(answerer->messageTexts(), QStringList("Lost frame number 1:  2"));
        QCOMPARE(openDialogFolder(), sandboxHome());
        newWindow();
        window->startUp({"ostrel_recorder", "missing.orf"});
        QVERIFY(shownFile() == "no file selected" && !action("actionPlay")->isEnabled());
        QCOMPARE(answerer->messageTexts(),
                 QStringList(QString("File %1 cannot be opened.").arg(sandboxHome() + "/missing.orf")));
    }

    // Frames 1-12 at 20 ms with 4-6 lost and 50 ms before 10: the strip's marks, what hovering says, and
    // the figures of Recording info; nothing is marked or shown before a recording is opened.
    void theStripAndRecordingInfoShowTheGaps()
    {
        FrameStrip &strip = *child<FrameStrip>("frameStrip");
        QVERIFY(!strip.isVisible() && !action("actionRecordingInfo")->isEnabled());
        QByteArray content;
        double t = 1.0;
        for (int n = 1; n <= 12; ++n) {
            t += n == 10 ? 0.05 : 0.02;
            if (n < 4 || n > 6)
                content += "fr " + QByteArray::number(n) + "\nts " + QByteArray::number(t, 'f', 2) + "\nx\n";
        }
        const QString path = open("gaps.orf", content);
        QVERIFY(strip.isVisibleTo(window.get()) && action("actionRecordingInfo")->isEnabled());
        QStringList marks;
        for (const RecordingInfo::Mark &m : strip.marks())
            marks << QString("%1-%2%3").arg(m.first).arg(m.last).arg(
                m.kind == RecordingInfo::Mark::Lost ? "" : "!");
        QCOMPARE(marks, QStringList({"4-6", "7-7!", "10-10!"})); // 3 to 7: 80 ms, more than twice 20 ms
        QCOMPARE(strip.toolTipAt(4, 12) + " | " + strip.toolTipAt(6, 12) + " | " + strip.toolTipAt(9, 12) +
                     " | " + strip.toolTipAt(1, 12),
                 QString("Frames 4–6 lost | Frame 7 · 0.08 s | Frame 10 · 0.05 s | "));
        QStringList shown;
        answerer->queueDialog([&](QWidget *dialog) {
            shown = static_cast<RecordingInfoDialog *>(dialog)->values();
            dialog->findChild<QPushButton *>("pb_copy")->click();
            static_cast<QDialog *>(dialog)->accept();
        });
        action("actionRecordingInfo")->trigger();
        QCOMPARE(shown, QStringList({path, QString("%1 bytes").arg(content.size()), "9", "1 to 12",
                                     "3: 4 5 6", "0.250 s, mean rate 44.00 Hz",
                                     "median 20.000 ms, p99 80.000 ms, max 80.000 ms", "yes"}));
        const QJsonObject json =
            QJsonDocument::fromJson(QGuiApplication::clipboard()->text().toUtf8()).object();
        QCOMPARE(json["lost_runs"].toArray(), QJsonArray({QJsonArray({4, 6})}));
        QCOMPARE(json["interval_ms"].toObject()["p99"].toDouble(), 80.0);
    }

    // A capture, whatever its name, opens as the recording its datagrams to the record port make, through a
    // temporary recording that goes when the next file opens; Export as capture writes the wire forms to the
    // play destination.
    void aCaptureOpensAsARecordingAndExports()
    {
        using namespace capture_files;
        const QList<QByteArray> ips = {ip4(udp(5000, "fr 7\nts 1.0\na\n")), ip4(udp(6000, "noise")),
                                       ip4(udp(5000, "fr 9\n# n\nb\n"))};
        const QString capture = write(sandboxHome() + "/session.orf", DLT_RAW, ips);
        const QStringList before = captureRecordings();
        answerer->queueFile(capture);
        window->on_actionOpen_triggered();
        QCOMPARE(shownFile(), capture + " · UDP port 5000");
        QCOMPARE(slider()->maximum(), 9);
        QCOMPARE(captureRecordings().size(), before.size() + 1);

        answerer->queueFile(sandboxHome() + "/out");
        action("actionExportCapture")->trigger();
        QCOMPARE(answerer->records().last().title, QString("Export as capture"));
        {
            CaptureRecording back;
            QCOMPARE(back.read(sandboxHome() + "/out.pcap", {}).port, sink.port());
            QCOMPARE(ostrel_test::readFile(back.fileName()),
                     QByteArray("fr 7\r\nts 1.0\r\na\r\nfr 9\r\nb\r\n"));
        }
        open("next.orf", "fr 1\n");
        QVERIFY(shownFile().endsWith("next.orf") && captureRecordings() == before);
    }

    // A scan that takes long shows its progress; Cancel keeps the recording opened before and says nothing.
    void aLongScanCanBeCancelled()
    {
        const QString good = open("first.orf", "fr 1\nfr 2\n");
        const QString huge = sandboxHome() + "/huge.orf";
        QFile file(huge);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(64) << 30)); // sparse: no disk used
        file.close();
        bool progressShown = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *progress = qobject_cast<QProgressDialog *>(w); progress && progress->isVisible()) {
                    progressShown = true;
                    progress->findChild<QPushButton *>()->click();
                }
        });
        poll.start(50);
        answerer->queueFile(huge);
        const qint64 readBefore = bytesRead();
        window->on_actionOpen_triggered();
        QFile::remove(huge);
        QVERIFY(progressShown);
        QVERIFY(bytesRead() - readBefore < (qint64(8) << 30)); // the scan stopped, far from the end
        QVERIFY(shownFile() == good && slider()->maximum() == 2);
        QVERIFY(answerer->messages().isEmpty());
    }
};

OSTREL_TEST_MAIN(TestOpen)
#include "tst_open.moc"
