// The whole program working together. A thread plays the Ostrel system and sends frames over loopback; the
// window previews them, records them straight out of the preview, saves the recording through its file
// dialog, reports the lost frames and plays the recording to two loopback receivers, looped and single, at
// a fixed rate and by the recorded timestamps. Every byte on the wire is compared with the datagrams the
// test derives itself from what it sent. A second test runs the real program twice as a process and shows
// that the settings confirmed in one run are the ones the next run loads and writes back.
#include "ostrel_recorder_thread.h"
#include "playback_engine.h"
#include "quit_on_signal.h"
#include "settings_play.h"
#include "settings_record.h"
#include "test_support.h"
#include "window_access.h"

#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace ostrel_test;

namespace {

// Plays the Ostrel system from its own thread: one datagram after the other to the record port on
// 127.0.0.1, each sent only once the window has reported the previous one. Receiving is asynchronous, and
// the lock-step keeps every datagram within the kernel's queue however loaded the machine is.
class OstrelSource
{
public:
    explicit OstrelSource(Ostrel_Recorder_Thread *receiver)
    {
        // Delivered on the GUI thread after the window's own handler of the same report.
        QObject::connect(receiver, &Ostrel_Recorder_Thread::status, &m_context, [this](int status) {
            if (status != 2 && status != 4)
                return;
            if (m_onReport)
                m_onReport();
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_reported;
            m_changed.notify_all();
        });
    }
    ~OstrelSource() { join(); }

    // Called on the GUI thread after the window has handled each report.
    void onReport(const std::function<void()> &f) { m_onReport = f; }

    void start(quint16 port, const QList<QByteArray> &datagrams)
    {
        join();
        m_reported = 0;
        m_finished = false;
        m_failure.clear();
        m_thread = std::thread([this, port, datagrams] { run(port, datagrams); });
    }
    bool finished() const { return m_finished.load(); }
    QString failure()
    {
        join();
        return m_failure;
    }

private:
    void run(quint16 port, const QList<QByteArray> &datagrams)
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        for (int i = 0; i < datagrams.size() && m_failure.isEmpty(); ++i) {
            const QByteArray &d = datagrams[i];
            if (::sendto(fd, d.constData(), size_t(d.size()), 0, reinterpret_cast<sockaddr *>(&addr),
                         sizeof addr) != d.size()) {
                m_failure = QString("datagram %1 could not be sent").arg(i);
                break;
            }
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_reported > i; }))
                m_failure = QString("datagram %1 was not reported by the window").arg(i);
        }
        ::close(fd);
        m_finished = true;
    }
    void join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

    QObject m_context;
    std::function<void()> m_onReport;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_reported = 0;
    std::atomic<bool> m_finished{false};
    QString m_failure;
};

QByteArray number(double value, int decimals)
{
    return QByteArray::number(value, 'f', decimals);
}

// A body line of the given length that neither begins nor ends with white space.
QByteArray longLine(int length)
{
    QByteArray line;
    line.reserve(length);
    const QByteArray pattern = "0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ;";
    while (line.size() < length)
        line += pattern;
    line.truncate(length);
    line[0] = 'L';
    line[length - 1] = 'E';
    return line;
}

constexpr int kMaxDatagram = 65507;
constexpr int kFirst = 10;
constexpr int kLast = 40;
const QList<int> kLost = {15, 16, 22};
constexpr int kNulFrame = 20;
constexpr int kBigFrame = 25;

// Where a frame stands among those sent.
int indexOf(int frame)
{
    int lostBefore = 0;
    for (int lost : kLost)
        lostBefore += lost < frame ? 1 : 0;
    return frame - kFirst - lostBefore;
}

// The Ostrel system's output: one datagram per frame, a frame-counter line, a timestamp line (25 Hz), body
// lines; some frames lost, one with comments, one with CR LF line ends, one padded with every kind of white
// space, one holding NUL bytes, one of the largest size a datagram can have.
QList<QByteArray> ostrelFrames()
{
    QList<QByteArray> out;
    for (int n = kFirst; n <= kLast; ++n) {
        if (kLost.contains(n))
            continue;
        QByteArray d = "fr " + QByteArray::number(n) + "\nts " + number(100.0 + n * 0.04, 2) + "\n";
        switch (n) {
        case 12:
            d += "# calibration block\nvalue 12 1 2 3\n\t  # indented comment\nx y z\n";
            break;
        case 13:
            d.replace("\n", "\r\n");
            d += "value 13 crlf\r\nlast\r\n";
            break;
        case 17:
            d += "  \t value 17 padded \x0b\f \n\xA0\x85 inner\xA0spaces \xA0\x85\n\r\n   \nafter blanks\n";
            break;
        case kNulFrame: {
            static const char body[] = "before\0after  \n\0line that starts with NUL\ntail  \n";
            d += QByteArray(body, sizeof body - 1);
            break;
        }
        case kBigFrame: {
            // Every line of it loses its blanks and gains a CR on the wire: the header lines grow by one
            // byte each, the two long lines shrink by one each, so the frame stays 65,507 bytes on the wire.
            const int body = kMaxDatagram - d.size() - 2 * 3;
            d += longLine(body / 2) + "  \n" + longLine(body - body / 2) + "  \n";
            break;
        }
        default:
            d += "value " + QByteArray::number(n) + " " + number(n * 1.5, 1) + " -7\n";
        }
        out << d;
    }
    return out;
}

// QString::trimmed() on Latin-1 text: the characters QChar::isSpace() accepts below 256.
bool isLatin1Space(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return (u >= 0x09 && u <= 0x0d) || u == 0x20 || u == 0x85 || u == 0xa0;
}

QByteArray trimmed(QByteArray line)
{
    int begin = 0, end = line.size();
    while (begin < end && isLatin1Space(line[begin]))
        ++begin;
    while (end > begin && isLatin1Space(line[end - 1]))
        --end;
    return line.mid(begin, end - begin);
}

// What playing the recording puts on the wire, derived from its bytes: a frame per frame-counter line, each
// line cut at its first NUL, stripped of surrounding white space and ended with CR LF, comment lines left
// out. Lines before the first frame-counter line are never sent.
QList<QByteArray> expectedDatagrams(const QByteArray &recording)
{
    QList<QByteArray> out;
    QList<QByteArray> lines = recording.split('\n');
    if (recording.endsWith('\n'))
        lines.removeLast();
    bool inFrame = false;
    for (QByteArray line : lines) {
        const int nul = line.indexOf('\0');
        if (nul >= 0)
            line.truncate(nul);
        if (line.startsWith("fr ")) {
            out << QByteArray();
            inFrame = true;
        } else if (!inFrame || trimmed(line).startsWith('#')) {
            continue;
        }
        out.last() += trimmed(line) + "\r\n";
    }
    return out;
}

// The steps run inside the answer to the dialog, so the dialog is closed when the answerer has done with it.
// (Deferred to a later event, the answerer could take the still open dialog for one its handler left open
// and answer it a second time.)
void queueSteps(ModalAnswerer &answerer, const std::function<void(QWidget *)> &steps)
{
    answerer.queueDialog(steps);
}

template <typename T> T *child(QWidget *dialog, const char *name)
{
    T *widget = dialog->findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

struct PlaySettings
{
    QString host1;
    int port1;
    QString host2;
    int port2;
    bool active;
    int frequency;
    bool loop;
    bool timestamp;
};

// Fills the play settings dialog as a user would and confirms it.
void confirmPlaySettings(ModalAnswerer &answerer, const PlaySettings &s, QStringList *shown = nullptr)
{
    queueSteps(answerer, [s, shown](QWidget *dialog) {
        auto *host1 = child<QLineEdit>(dialog, "le_host_1");
        auto *port1 = child<QSpinBox>(dialog, "sb_port_1");
        auto *host2 = child<QLineEdit>(dialog, "le_host_2");
        auto *port2 = child<QSpinBox>(dialog, "sb_port_2");
        auto *activeBox = child<QCheckBox>(dialog, "activeBox");
        auto *frequency = child<QSpinBox>(dialog, "sb_frequency_1");
        auto *loop = child<QRadioButton>(dialog, "rb_loop");
        auto *single = child<QRadioButton>(dialog, "rb_single");
        auto *timestamp = child<QCheckBox>(dialog, "cb_timestamp");
        if (shown)
            *shown << host1->text() << QString::number(port1->value()) << host2->text()
                   << QString::number(port2->value()) << (activeBox->isChecked() ? "active" : "inactive")
                   << QString::number(frequency->value()) << (loop->isChecked() ? "loop" : "single")
                   << (timestamp->isChecked() ? "ts" : "no ts");
        host1->setText(s.host1);
        port1->setValue(s.port1);
        if (activeBox->isChecked() != s.active)
            activeBox->click();
        host2->setText(s.host2);
        port2->setValue(s.port2);
        frequency->setValue(s.frequency);
        (s.loop ? loop : single)->click();
        timestamp->setChecked(s.timestamp);
        child<QPushButton>(dialog, "pb_ok")->click();
    });
}

void confirmRecordPort(ModalAnswerer &answerer, const QString &port, QString *shown = nullptr)
{
    queueSteps(answerer, [port, shown](QWidget *dialog) {
        auto *edit = child<QLineEdit>(dialog, "le_port");
        if (shown)
            *shown = edit->text();
        edit->setText(port);
        child<QPushButton>(dialog, "pb_ok")->click();
    });
}

// The settings file exactly as the program writes it, from the eleven texts in their order.
QByteArray settingsFile(const QStringList &texts)
{
    static const char *const rows[][2] = {
        {"RECORD_PORT", "PORT_NR"},        {"PLAY_HOST_1", "HOST"},
        {"PLAY_PORT_1", "PORT_NR"},        {"PLAY_HOST_2", "HOST"},
        {"PLAY_PORT_2", "PORT_NR"},        {"ACTIVE", "ACTIVE"},
        {"FREQUENCY", "FREQUENCY"},        {"LOOP", "LOOP"},
        {"TIMESTAMP", "TIMESTAMP"},        {"SAVE_FILE_DIR", "SAVE_FILE_DIR"},
        {"OPEN_FILE_DIR", "OPEN_FILE_DIR"}};
    Q_ASSERT(texts.size() == 11);
    QByteArray out = "<OSTREL_RECORDER>\n";
    for (int i = 0; i < 11; ++i)
        out += QByteArray("    <") + rows[i][0] + " " + rows[i][1] + "=\"" + texts[i].toUtf8() + "\"/>\n";
    return out + "</OSTREL_RECORDER>\n";
}

// Whether the process has its handler for SIGTERM in place (the caught-signals mask of /proc).
bool catchesSigterm(qint64 pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("SigCgt:")) {
            bool ok = false;
            const quint64 mask = line.mid(7).trimmed().toULongLong(&ok, 16);
            return ok && (mask & (quint64(1) << (SIGTERM - 1)));
        }
    }
    return false;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    std::unique_ptr<ModalAnswerer> answerer;
    std::unique_ptr<Ostrel_recorder> window;
    std::unique_ptr<OstrelRecorderTestAccess> a;
    std::unique_ptr<UdpSink> sink1;
    std::unique_ptr<UdpSink> sink2;
    ManualClock clock;
    QByteArray recorded; // every datagram's payload, in the order sent
    QString savedAs;

private slots:
    void initTestCase()
    {
        answerer.reset(new ModalAnswerer);
        window.reset(new Ostrel_recorder(sandboxHome() + "/.NUV/Ostrel_Recorder"));
        a.reset(new OstrelRecorderTestAccess(*window));
        window->setClock(&clock);
        window->show();
        sink1.reset(new UdpSink);
        sink2.reset(new UdpSink);
        QVERIFY(sink1->ok() && sink2->ok());
        answerer->clear(); // no settings file yet: the start-up warning is not this test's subject
    }

    void cleanupTestCase()
    {
        a.reset();
        window.reset();
        answerer.reset();
    }

    void previewRecordSaveAndReportLostFrames()
    {
        const QString port = QString::number(freeUdpPort());
        confirmRecordPort(*answerer, port);
        a->ui().actionRecordSettings->trigger();
        QCOMPARE(a->ui().label_receive->text(), "port " + port);
        QVERIFY(answerer->messages().isEmpty());

        QStringList shown; // display text after each report
        OstrelSource source(a->recorder_thread());
        source.onReport([&] { shown << a->display_text(); });

        // Preview: the display shows the latest datagram.
        a->ui().actionPreview->trigger();
        QCOMPARE(a->mode(), 4);
        const QList<QByteArray> preview = {"fr 1\nts 1.00\npreview one\n", "fr 2\nts 1.04\npreview two\n",
                                           "fr 3\nts 1.08\npreview three\n"};
        source.start(quint16(port.toUInt()), preview);
        QTRY_VERIFY_WITH_TIMEOUT(source.finished(), 30000);
        QCOMPARE(source.failure(), QString());
        QCOMPARE(a->display_text(), QString::fromLatin1(preview.last()));
        a->update_display();
        QCOMPARE(a->ui().te_datadisplay->toPlainText(), QString::fromLatin1(preview.last()));
        QCOMPARE(a->packets_recorded(), 0);

        // Record straight out of the preview; the stopped preview's end report must not end the recording.
        QVERIFY(a->ui().actionRecord->isEnabled());
        a->ui().actionRecord->trigger();
        QCOMPARE(a->mode(), 2);
        shown.clear();
        const QList<QByteArray> frames = ostrelFrames();
        QCOMPARE(frames.size(), kLast - kFirst + 1 - kLost.size());
        const int bigIndex = indexOf(kBigFrame), nulIndex = indexOf(kNulFrame);
        QVERIFY(frames[bigIndex].startsWith("fr " + QByteArray::number(kBigFrame) + "\n"));
        QCOMPARE(frames[bigIndex].size(), kMaxDatagram);
        QVERIFY(frames[nulIndex].contains('\0'));
        source.start(quint16(port.toUInt()), frames);
        QTRY_VERIFY_WITH_TIMEOUT(source.finished(), 60000);
        QCOMPARE(source.failure(), QString());
        QCOMPARE(a->mode(), 2);
        QCOMPARE(a->packets_recorded(), frames.size());
        // The display takes a datagram's text up to its first NUL.
        QCOMPARE(shown.size(), frames.size());
        QCOMPARE(shown[nulIndex], QString("fr 20\nts 100.80\nbefore"));
        QCOMPARE(shown.last(), QString::fromLatin1(frames.last()));
        recorded = frames.join();

        // Stop asks for a name, saves, scans the copy and reports the lost frames.
        savedAs = sandboxHome() + "/session.orf";
        answerer->clear();
        answerer->queueFile(sandboxHome() + "/session");
        a->ui().actionStop->trigger();
        const QList<ModalRecord> records = answerer->records();
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0].kind, QString("file"));
        QCOMPARE(records[0].title, QString("Save File"));
        QCOMPARE(records[1].kind, QString("message"));
        QCOMPARE(records[1].icon, int(QMessageBox::Warning));
        QCOMPARE(records[1].title, QString("Ostrel Recorder"));
        QCOMPARE(records[1].text, QString("Lost frame number 3:  15 16 22"));

        QCOMPARE(readFile(savedAs), recorded);
        QVERIFY(!QFile::exists(a->temp_file_name()));
        QCOMPARE(a->mode(), 0);
        QCOMPARE(a->file_name(), savedAs);
        QCOMPARE(a->ui().l_filename->text(), savedAs);
        QCOMPARE(a->ui().playSlider->minimum(), kFirst);
        QCOMPARE(a->ui().playSlider->maximum(), kLast);
        QVERIFY(a->ui().actionPlay->isEnabled());
        QVERIFY(a->read_from_vector(15).isEmpty());
        QCOMPARE(a->read_from_vector(14), QString::fromLatin1(frames[indexOf(14)]));
    }

    void playToTwoDestinations_data()
    {
        QTest::addColumn<bool>("loop");
        QTest::addColumn<bool>("timestamp");
        QTest::addColumn<QString>("label");
        QTest::addColumn<quint32>("period");
        QTest::newRow("single, fixed rate") << false << false << "50.0 Hz" << 20000u;
        QTest::newRow("looped, fixed rate") << true << false << "50.0 Hz" << 20000u;
        QTest::newRow("single, by timestamps") << false << true << "25.0 Hz" << 40000u;
        QTest::newRow("looped, by timestamps") << true << true << "25.0 Hz" << 40000u;
    }

    void playToTwoDestinations()
    {
        QFETCH(bool, loop);
        QFETCH(bool, timestamp);
        QFETCH(QString, label);
        QFETCH(quint32, period);
        if (savedAs.isEmpty())
            QSKIP("needs the recording made by the previous test");

        const QList<QByteArray> expected = expectedDatagrams(recorded);
        QCOMPARE(expected.size(), kLast - kFirst + 1 - kLost.size());
        const QByteArray big = expected[indexOf(kBigFrame)];
        QCOMPARE(big.size(), kMaxDatagram); // the largest datagram the wire carries

        answerer->clear();
        confirmPlaySettings(
            *answerer, {"127.0.0.1", sink1->port(), "127.0.0.1", sink2->port(), true, 50, loop, timestamp});
        a->ui().actionPlaySettings->trigger();
        QVERIFY(answerer->messages().isEmpty());
        QCOMPARE(a->ui().label_send_1->text(), QString("127.0.0.1  port %1").arg(sink1->port()));
        QCOMPARE(a->ui().label_send_2->text(), QString("127.0.0.1  port %1").arg(sink2->port()));

        a->ui().actionPlay->trigger();
        QCOMPARE(a->mode(), 1);
        QCOMPARE(a->ui().labelFrequency->text(), label);
        QCOMPARE(a->engine()->periodUs(), period);

        // What reached each destination, frame by frame.
        auto expect = [&](const QByteArray &want) {
            QByteArray got1, got2;
            QVERIFY(sink1->receive(&got1, 10000));
            QVERIFY(sink2->receive(&got2, 10000));
            QCOMPARE(got1, want);
            QCOMPARE(got2, want);
        };
        for (const QByteArray &want : expected) {
            expect(want);
            if (QTest::currentTestFailed())
                return;
        }
        if (loop) {
            QCOMPARE(a->mode(), 1);
            expect(expected[0]);
            expect(expected[1]);
            a->ui().actionStop->trigger();
            QCOMPARE(a->ui().playSlider->value(), kFirst);
        } else {
            QTRY_COMPARE(a->mode(), 0);
            QCOMPARE(a->ui().playSlider->value(), kLast);
            QCOMPARE(a->display_text().toLatin1(), expected.last());
        }
        QCOMPARE(a->mode(), 0);
        QVERIFY(sink1->drain().isEmpty());
        QVERIFY(a->ui().actionPlay->isEnabled());
        QVERIFY(answerer->messages().isEmpty());
    }

    // The end of the session while a dialog waits for the user: the program ends once the dialog has been
    // answered, instead of taking the dialog for cancelled (after Stop that would discard the recording).
    void aQuitRequestWaitsForAnOpenDialog()
    {
        QVERIFY(QuitOnSignal::catchSignals());
        QuitOnSignal quit;
        QSignalSpy requested(&quit, &QuitOnSignal::quitRequested);
        QDialog question(window.get());
        bool waited = false;
        answerer->queueDialog([&](QWidget *dialog) {
            ::raise(SIGTERM);
            QTRY_VERIFY(quit.pending());
            waited = requested.isEmpty() && dialog->isVisible();
            static_cast<QDialog *>(dialog)->accept();
        });
        QCOMPARE(question.exec(), int(QDialog::Accepted));
        QVERIFY(waited);
        QTRY_COMPARE(requested.count(), 1);
        QVERIFY(!quit.pending());
        // With nothing open the request goes out at once.
        ::raise(SIGINT);
        QTRY_COMPARE(requested.count(), 2);
    }

    // The real program twice as a process, with an in-process run between them that confirms new settings
    // in both dialogs: each run starts with what the one before saved.
    void settingsLastFromRunToRun()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString home = root.path() + "/home", temp = root.path() + "/tmp", bin = root.path() + "/bin";
        QVERIFY(QDir().mkpath(home) && QDir().mkpath(temp) && QDir().mkpath(bin + "/config"));

        // The program is copied so that it finds a fallback file of this test's own beside itself.
        const QString built = QCoreApplication::applicationDirPath() + "/../bin/ostrel_recorder";
        QVERIFY2(QFile::exists(built), qPrintable(built));
        const QString program = bin + "/ostrel_recorder";
        QVERIFY(QFile::copy(built, program));
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QByteArray fallback = "<OSTREL_RECORDER>\n"
                                    "  <!-- shipped beside the program -->\n"
                                    "  <FREQUENCY FREQUENCY=\"30\"/><RECORD_PORT PORT_NR=\"5123\"/>\n"
                                    "  <PLAY_HOST_1 HOST=\"127.0.0.1\"/>\n"
                                    "  <PLAY_PORT_1 PORT_NR=\"5124\"/>\n"
                                    "  <LOOP LOOP=\"false\"/>\n"
                                    "</OSTREL_RECORDER>\n";
        QVERIFY(writeFile(bin + "/config/current-settings.xml", fallback));
        const QString settings = home + "/.NUV/Ostrel_Recorder/config/current-settings.xml";

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.insert("TMPDIR", temp);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        // Runs the program until it has started, then ends it the way a desktop session does. Returns what
        // went wrong, or an empty text.
        auto runProgram = [&]() -> QString {
            QProcess process;
            process.setProcessEnvironment(env);
            process.setProcessChannelMode(QProcess::ForwardedChannels);
            process.start(program, QStringList());
            if (!process.waitForStarted(30000))
                return "the program did not start: " + process.errorString();
            const qint64 pid = process.processId();
            QDeadlineTimer ready(60000);
            while (!catchesSigterm(pid) && !ready.hasExpired() && process.state() == QProcess::Running)
                QTest::qWait(20);
            if (!catchesSigterm(pid)) {
                process.kill();
                process.waitForFinished(10000);
                return "the program never caught SIGTERM";
            }
            process.terminate();
            if (!process.waitForFinished(60000)) {
                process.kill();
                process.waitForFinished(10000);
                return "the program did not end on SIGTERM";
            }
            if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
                return QString("the program ended with status %1, code %2")
                    .arg(int(process.exitStatus()))
                    .arg(process.exitCode());
            return QString();
        };

        // First run: nothing in the home directory, the file beside the program is read; the settings are
        // saved under the home directory when the program ends.
        QCOMPARE(runProgram(), QString());
        QCOMPARE(readFile(settings), settingsFile({"5123", "127.0.0.1", "5124", "localhost", "5001", "false",
                                                   "30", "false", "true", home, home}));
        QCOMPARE(readFile(bin + "/config/current-settings.xml"), fallback);

        // The user confirms new values in both settings dialogs; they are written at once and at the end.
        {
            ModalAnswerer &dialogs = *answerer;
            dialogs.clear();
            Ostrel_recorder w(home + "/.NUV/Ostrel_Recorder");
            OstrelRecorderTestAccess access(w);
            QVERIFY(dialogs.messages().isEmpty());
            QStringList playShown;
            confirmPlaySettings(dialogs, {"127.0.0.1", 6001, "127.0.0.2", 6002, true, 25, true, false},
                                &playShown);
            access.ui().actionPlaySettings->trigger();
            QCOMPARE(playShown, QStringList({"127.0.0.1", "5124", "localhost", "5001", "inactive", "30",
                                             "single", "ts"}));
            QString recordShown;
            confirmRecordPort(dialogs, "07001", &recordShown);
            access.ui().actionRecordSettings->trigger();
            QCOMPARE(recordShown, QString("5123"));
            QVERIFY(dialogs.messages().isEmpty());
            QCOMPARE(access.port_record(), quint16(7001));
            QCOMPARE(access.ui().label_receive->text(), QString("port 07001"));
        }
        const QByteArray confirmed = settingsFile(
            {"07001", "127.0.0.1", "6001", "127.0.0.2", "6002", "true", "25", "true", "false", home, home});
        QCOMPARE(readFile(settings), confirmed);

        // The same values written differently: only a program that loaded them writes the file back as above.
        QVERIFY(writeFile(settings, "<?xml version=\"1.0\"?>\n<!-- edited by hand -->\n<OSTREL_RECORDER>"
                                    "<OPEN_FILE_DIR OPEN_FILE_DIR=\"" +
                                        home.toUtf8() +
                                        "\"/>"
                                        "<TIMESTAMP TIMESTAMP=\"false\"/><LOOP LOOP=\"true\"/>"
                                        "<FREQUENCY FREQUENCY=\"25\"/><ACTIVE ACTIVE=\"true\"/>"
                                        "<PLAY_PORT_2 PORT_NR=\"6002\"/><PLAY_HOST_2 HOST=\"127.0.0.2\"/>"
                                        "<UNKNOWN VALUE=\"1\"/>"
                                        "<PLAY_PORT_1 PORT_NR=\"6001\"/><PLAY_HOST_1 HOST=\"127.0.0.1\"/>"
                                        "<RECORD_PORT PORT_NR=\"07001\"/>"
                                        "<SAVE_FILE_DIR SAVE_FILE_DIR=\"" +
                                        home.toUtf8() +
                                        "\"/>"
                                        "</OSTREL_RECORDER>"));

        // Second run of the program: it loads the confirmed values (not the fallback) and saves them again.
        QCOMPARE(runProgram(), QString());
        QCOMPARE(readFile(settings), confirmed);
        QCOMPARE(readFile(bin + "/config/current-settings.xml"), fallback);
    }
};

OSTREL_TEST_MAIN(TestEndToEnd)
#include "tst_end_to_end.moc"
