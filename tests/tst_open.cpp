// Opening a recording through the window: the dialog, the slider, the preview and the seek through the frame
// index, a failed Open, and a recording that changes on disk after it was opened.
#include "test_support.h"
#include "window_access.h"

#include <QProgressDialog>
#include <QPushButton>

using namespace ostrel_test;

class TestOpen : public WindowTest
{
    Q_OBJECT

    QString open(const QString &name, const QByteArray &content)
    {
        const QString path = sandboxHome() + "/" + name;
        writeFile(path, content);
        answerer->queueFile(path);
        window->on_actionOpen_triggered();
        return path;
    }

    // What this process has read so far, from the kernel's count.
    static qint64 bytesRead()
    {
        QFile io("/proc/self/io");
        return io.open(QIODevice::ReadOnly) ? io.readLine().mid(7).trimmed().toLongLong() : -1; // "rchar: N"
    }

private slots:
    void initTestCase() { writeHomeSettings(defaultSettingsXml()); }
    void init()
    {
        newWindow();
        a->settings().text(SettingsFile::Setting::OpenFileDir) = QDir::rootPath();
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
        QCOMPARE(answerer->records()[0].text, QDir::rootPath() + "|Ostrel Recorder files (*.orf)");
        QVERIFY(a->file_name() == path && a->ui().l_filename->text() == path &&
                a->ui().actionPlay->isEnabled() &&
                a->settings().text(SettingsFile::Setting::OpenFileDir) == sandboxHome());
        const QSlider *slider = a->ui().playSlider;
        QVERIFY(slider->minimum() == 17 && slider->maximum() == 21 && slider->value() == 17);
        QVERIFY(change < 0 || (change == 0   ? QFile::resize(path, 30)
                               : change == 1 ? QFile::remove(path) && writeFile(path, content)
                               : change == 2 ? QFile::remove(path)
                                             : writeFile(path, content + "\nfr 22\n")));
        a->updateContent(frame);
        a->updateContent(frame);
        QCOMPARE(a->ui().te_datadisplay->toPlainText(), text);
        QStringList messages("Lost frame number 1:  19");
        if (change >= 0)
            messages << QString("File %1 has changed since it was opened. Please open it again.").arg(path);
        QCOMPARE(answerer->messageTexts(), messages);
        QCOMPARE(answerer->messages().last().title, QString("Ostrel Recorder"));
        QCOMPARE(a->frames().frameAtOrAfter(a->frames().entryOf(frame)) + 17, seek);
    }

    void aFailedOpenKeepsThePreviousRecordingAndLooksUpSafely()
    {
        const QString good = open("first.orf", "fr 100\na\nfr 101\nb\nfr 102\nc\n");
        open("broken.orf", "fr 4\nfr 3\n");
        const QString missing = sandboxHome() + "/gone.orf";
        QVERIFY(!a->initSlider(missing));
        QCOMPARE(answerer->messages().last().title + ": " + answerer->messages().last().text,
                 QString("Error opening file: File %1 cannot be opened.").arg(missing));
        QVERIFY(a->file_name() == good && a->ui().playSlider->maximum() == 102);
        for (int position : {100, 101, 102, -1, 2147483647})
            QCOMPARE(a->read_from_vector(position), QString());
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
        QVERIFY(a->file_name() == good && a->ui().playSlider->maximum() == 2);
        QVERIFY(answerer->messages().isEmpty());
    }
};

OSTREL_TEST_MAIN(TestOpen)
#include "tst_open.moc"
