// Preview, Record, Stop and Save as over real loopback datagrams, driving the window's slots.
#include "ostrel_recorder_thread.h"
#include "temp_recording.h"
#include "test_support.h"
#include "window_access.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace ostrel_test;

namespace {

QByteArray frame(int number, const QByteArray &body = "value 1 2 3\n")
{
    return "fr " + QByteArray::number(number) + "\nts " + QByteArray::number(number * 0.02, 'f', 2) + "\n" +
           body;
}

} // namespace

class TestRecord : public QObject
{
    Q_OBJECT

    std::unique_ptr<Ostrel_recorder> window;
    std::unique_ptr<OstrelRecorderTestAccess> a;
    std::unique_ptr<ModalAnswerer> answerer;
    ManualClock clock;
    quint16 port = 0;

    QString home() const { return sandboxHome(); }

    void send(const QByteArray &payload) { QVERIFY(sendUdp(port, payload)); }

    void sendAndWait(const QByteArray &payload)
    {
        const int before = a->packets_recorded();
        send(payload);
        QTRY_COMPARE(a->packets_recorded(), before + 1);
    }

private slots:
    void initTestCase() { writeHomeSettings(defaultSettingsXml()); }

    void init()
    {
        answerer.reset(new ModalAnswerer);
        window.reset(new Ostrel_recorder(home() + "/.NUV/Ostrel_Recorder"));
        a.reset(new OstrelRecorderTestAccess(*window));
        window->setClock(&clock);
        port = freeUdpPort();
        a->port_record() = port;
        a->port_record_string() = QString::number(port);
        QVERIFY(answerer->records().isEmpty());
    }

    void cleanup()
    {
        a.reset();
        window.reset();
        answerer.reset();
    }

    void previewShowsTheLatestDatagramAndItsRate()
    {
        window->on_actionPreview_triggered();
        QCOMPARE(a->mode(), 4);
        QVERIFY(a->display_timer()->isActive());
        for (int i = 1; i <= 4; ++i) {
            clock.advanceUs(10000);
            send(frame(i));
            QTRY_COMPARE(a->display_text(), QString::fromLatin1(frame(i)));
        }
        a->update_display();
        QCOMPARE(a->ui().te_datadisplay->toPlainText(), QString::fromLatin1(frame(4)));
        QCOMPARE(a->ui().labelFrequency->text(), QString("100 Hz"));
        QCOMPARE(a->packets_recorded(), 0);
        window->on_actionStop_triggered();
        QCOMPARE(a->mode(), 0);
        QVERIFY(a->socket_record() == nullptr);
        QVERIFY(!a->recorder_thread()->isRunning());
        QCOMPARE(a->ui().labelFrequency->text(), QString("-- Hz"));
        QVERIFY(!a->display_timer()->isActive());
    }

    void aTakenPortIsReported()
    {
        // A socket without address reuse holds the port, so the window's bind fails.
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
        window->on_actionPreview_triggered();
        window->on_actionRecord_triggered();
        ::close(fd);
        QCOMPARE(answerer->messageTexts(),
                 QStringList({"Please check your UDP settings\n", "Please check your UDP settings\n"}));
        QCOMPARE(answerer->messages().first().icon, int(QMessageBox::Critical));
        QCOMPARE(a->mode(), 0);
        QVERIFY(a->socket_record() == nullptr);
    }

    void aRecordingIsSavedByteForByte()
    {
        window->on_actionRecord_triggered();
        QCOMPARE(a->mode(), 2);
        QCOMPARE(a->ui().l_filename->text(), QString("<temporary buffer>"));
        QByteArray expected;
        auto record = [&](const QByteArray &payload) {
            expected += payload;
            sendAndWait(payload);
        };
        record(frame(1, QByteArray("with\0nul\n", 9)));
        QByteArray big = frame(2);
        while (big.size() < 65506)
            big += "0123456789";
        big = big.left(65506) + "\n";
        QCOMPARE(big.size(), 65507);
        record(big);
        for (int i = 3; i < 503; ++i)
            record(frame(i));
        QCOMPARE(a->packets_recorded(), 502);

        answerer->queueFile(home() + "/first");
        window->on_actionStop_triggered();
        const QString saved = home() + "/first.orf";
        QCOMPARE(readFile(saved), expected);
        QCOMPARE(a->file_name(), saved);
        QCOMPARE(a->ui().l_filename->text(), saved);
        QCOMPARE(a->save_file_dir(), home());
        QVERIFY(!QFile::exists(a->temp_file_name()));
        QVERIFY(a->record_file() == nullptr);
        QCOMPARE(a->ui().playSlider->minimum(), 1);
        QCOMPARE(a->ui().playSlider->maximum(), 502);
        QCOMPARE(a->mode(), 0);
        QVERIFY(a->ui().actionPlay->isEnabled());
        const QList<ModalRecord> dialogs = answerer->records();
        QCOMPARE(dialogs.size(), 1);
        QCOMPARE(dialogs[0].title, QString("Save File"));
        QVERIFY(dialogs[0].text.endsWith("Ostrel Recorder files (*.orf)"));
    }

    void stopWithoutDataWarnsAndDiscards()
    {
        window->on_actionRecord_triggered();
        QVERIFY(QFile::exists(a->temp_file_name()));
        window->on_actionStop_triggered();
        QCOMPARE(answerer->messages().size(), 1);
        const ModalRecord message = answerer->messages().first();
        QCOMPARE(message.title, QString("Ostrel Recorder"));
        QCOMPARE(message.icon, int(QMessageBox::Warning));
        QCOMPARE(
            message.text,
            QString("No data received on port %1.\nPlease check your network settings in Ostrel.").arg(port));
        QVERIFY(!QFile::exists(a->temp_file_name()));
        QVERIFY(!a->recorder_thread()->isRunning());
        QCOMPARE(a->mode(), 0);
    }

    void recordStraightOutOfAPreview()
    {
        window->on_actionPreview_triggered();
        send(frame(1));
        QTRY_COMPARE(a->display_text(), QString::fromLatin1(frame(1)));
        window->on_actionRecord_triggered();
        // The stopped preview's end report is delivered now; it must not end the recording.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(a->mode(), 2);
        QVERIFY(a->recorder_thread()->isRunning());
        sendAndWait(frame(7));
        answerer->queueFile(home() + "/from-preview.orf");
        window->on_actionStop_triggered();
        QVERIFY(!a->recorder_thread()->isRunning());
        QCOMPARE(readFile(home() + "/from-preview.orf"), frame(7));
    }

    void aStaleEndReportNeverKeepsARecordingRunning()
    {
        window->on_actionPreview_triggered();
        window->on_actionRecord_triggered();
        // Stop before the preview's end report has been delivered.
        window->on_actionStop_triggered();
        QVERIFY(!a->recorder_thread()->isRunning());
        QCoreApplication::processEvents();
        QCOMPARE(a->mode(), 0);
        QVERIFY(a->socket_record() == nullptr);
    }

    void saveNamesGetTheExtension_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("saved");
        QTest::newRow("no extension") << "plain"
                                      << "plain.orf";
        QTest::newRow("capital extension") << "upper.ORF"
                                           << "upper.ORF.orf";
        QTest::newRow("extension") << "done.orf"
                                   << "done.orf";
    }

    void saveNamesGetTheExtension()
    {
        QFETCH(QString, typed);
        QFETCH(QString, saved);
        window->on_actionRecord_triggered();
        sendAndWait(frame(1));
        answerer->queueFile(home() + "/" + typed);
        window->on_actionStop_triggered();
        QCOMPARE(a->file_name(), home() + "/" + saved);
        QCOMPARE(readFile(home() + "/" + saved), frame(1));
    }

    void cancellingTheSaveDiscardsTheRecording()
    {
        window->on_actionRecord_triggered();
        sendAndWait(frame(1));
        window->on_actionStop_triggered(); // no file queued: the dialog is cancelled
        QVERIFY(!QFile::exists(a->temp_file_name()));
        QVERIFY(a->file_name().isEmpty());
        QVERIFY(answerer->messages().isEmpty());
    }

    void saveAsWhileIdleCopiesNothing()
    {
        answerer->queueFile(home() + "/nothing");
        QVERIFY(!a->saveFile());
        QVERIFY(!QFile::exists(home() + "/nothing.orf"));
        QVERIFY(answerer->messages().isEmpty());
    }

    void disablingTheViewFreezesTheField()
    {
        window->on_actionRecord_triggered();
        sendAndWait(frame(1));
        QCOMPARE(a->display_text(), QString::fromLatin1(frame(1)));
        a->ui().cb_disableView->setChecked(true);
        QVERIFY(!a->display_timer()->isActive());
        sendAndWait(frame(2));
        QCOMPARE(a->display_text(), QString::fromLatin1(frame(1)));
        a->ui().cb_disableView->setChecked(false);
        QVERIFY(a->display_timer()->isActive());
        QCOMPARE(a->display_timer()->interval(), 100);
        sendAndWait(frame(3));
        QCOMPARE(a->display_text(), QString::fromLatin1(frame(3)));
        window->on_actionStop_triggered();
    }

    void anEmptyDatagramDoesNotEndTheRecording()
    {
        window->on_actionRecord_triggered();
        send(QByteArray());
        sendAndWait(frame(1));
        QCOMPARE(a->mode(), 2);
        QVERIFY(a->recorder_thread()->isRunning());
        answerer->queueFile(home() + "/after-empty.orf");
        window->on_actionStop_triggered();
        QCOMPARE(readFile(home() + "/after-empty.orf"), frame(1));
    }

    void aReceiveErrorKeepsTheRecordingSaveable()
    {
        window->on_actionRecord_triggered();
        sendAndWait(frame(1));
        sendAndWait(frame(2));
        // Put something that is no socket under the record socket's descriptor: the next receive fails.
        const int fd = udpSocketOnPort(port);
        QVERIFY(fd >= 0);
        const int devnull = ::open("/dev/null", O_RDONLY);
        QVERIFY(::dup2(devnull, fd) == fd);
        ::close(devnull);
        QTRY_COMPARE(answerer->messages().size(), 1);
        QCOMPARE(answerer->messages().first().text,
                 QString("Receiving on port %1 stopped because of a receive error.\n"
                         "The data recorded so far are kept: save them with Save as.")
                     .arg(port));
        QCOMPARE(a->mode(), 0);
        QVERIFY(a->ui().actionSave_as->isEnabled());
        QVERIFY(!a->ui().actionStop->isEnabled());
        QVERIFY(a->ui().actionRecord->isEnabled());
        answerer->queueFile(home() + "/rescued.orf");
        window->on_actionSave_as_triggered();
        QCOMPARE(readFile(home() + "/rescued.orf"), frame(1) + frame(2));
    }

    void aFailedCopyIsReportedAndTheRecordingKept()
    {
        window->on_actionRecord_triggered();
        sendAndWait(frame(1));
        QVERIFY(QDir().mkpath(home() + "/blocked.orf")); // a directory where the file should go
        answerer->queueFile(home() + "/blocked");
        window->on_actionStop_triggered();
        QCOMPARE(answerer->messages().size(), 1);
        QVERIFY(answerer->messages().first().text.startsWith(
            QString("The recording could not be saved as %1.\n").arg(home() + "/blocked.orf")));
        QVERIFY(a->file_name().isEmpty());
        QCOMPARE(readFile(a->temp_file_name()), frame(1));
        QVERIFY(a->ui().actionSave_as->isEnabled());
        answerer->queueFile(home() + "/second-try.orf");
        window->on_actionSave_as_triggered();
        QCOMPARE(readFile(home() + "/second-try.orf"), frame(1));
    }

    void savingOntoTheTemporaryFileIsRefused()
    {
        window->on_actionRecord_triggered();
        sendAndWait(frame(1));
        answerer->queueFile(a->temp_file_name());
        window->on_actionStop_triggered();
        QCOMPARE(answerer->messageTexts(),
                 QStringList(
                     QString("The recording could not be saved as %1.\nIt is the temporary recording itself.")
                         .arg(a->temp_file_name())));
        QCOMPARE(readFile(a->temp_file_name()), frame(1));
    }

    void aSecondInstanceCannotTakeTheTemporaryFile()
    {
        FILE *other = temp_recording::open(a->temp_file_name());
        QVERIFY(other);
        fputs("fr 1\nother instance\n", other);
        fflush(other);
        window->on_actionRecord_triggered();
        fclose(other);
        QCOMPARE(answerer->messages().size(), 1);
        QCOMPARE(answerer->messages().first().title, QString("Save Record Data"));
        QCOMPARE(answerer->messages().first().text, QString("Error while writing temporary file"));
        QCOMPARE(a->mode(), 0);
        QVERIFY(a->socket_record() == nullptr);
        QCOMPARE(readFile(a->temp_file_name()), QByteArray("fr 1\nother instance\n"));
    }
};

OSTREL_TEST_MAIN(TestRecord)
#include "tst_record.moc"
