// The whole program as a user meets it: preview, record out of the preview, save, the lost frames, playback
// to two destinations looped and single, at a fixed rate and by timestamps, and settings from run to run.
// Only what a user sees is checked: bytes on the wire, files, messages, labels and action states.
#include "test_support.h"
#include "window_test.h"

#include <QProcess>
#include <QTemporaryDir>

#include <csignal>

using namespace ostrel_test;

namespace {

constexpr int kFirst = 10, kLast = 40, kNulFrame = 20, kBigFrame = 25;
const QList<int> kLost = {15, 16, 22};

// The Ostrel system's output: one datagram per frame (frame-counter line, timestamp line at 500 Hz, body
// lines); some frames lost, one with comments, one with CR LF line ends, one padded with every kind of
// white space, one holding NUL bytes, one of the largest size a datagram can have.
QByteArray ostrelFrame(int n)
{
    QByteArray d =
        "fr " + QByteArray::number(n) + "\nts " + QByteArray::number(100.0 + n * 0.002, 'f', 3) + "\n";
    if (n == 12)
        return d + "# calibration block\nvalue 12 1 2 3\n\t  # indented comment\nx y z\n";
    if (n == 13)
        return d.replace("\n", "\r\n") + "value 13 crlf\r\nlast\r\n";
    if (n == 17)
        return d + "  \t value 17 padded \x0b\f \n\xA0\x85 inner\xA0spaces \xA0\x85\n\r\n   \nafter blanks\n";
    if (n == kNulFrame)
        return d + QByteArray("before\0after  \n\0line that starts with NUL\ntail  \n", 49);
    if (n != kBigFrame)
        return d + "value " + QByteArray::number(n) + " " + QByteArray::number(n * 1.5, 'f', 1) + " -7\n";
    // On the wire every line loses its blanks and gains a CR: the header lines grow by one byte each, the two
    // long lines shrink by one each, so the frame stays the largest datagram there too.
    QByteArray line = QByteArray("L0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ;").repeated(900);
    const int body = 65507 - d.size() - 2 * 3;
    return d + line.left(body / 2 - 1) + "E  \n" + line.left(body - body / 2 - 1) + "E  \n";
}

// What playing a recording puts on the wire: a datagram per frame-counter line, each line cut at its first
// NUL, stripped of white space (QString::trimmed() on Latin-1) and ended with CR LF; comments and lines
// before the first frame left out.
QList<QByteArray> wireForm(const QByteArray &recording)
{
    QList<QByteArray> out;
    for (QByteArray line : recording.chopped(1).split('\n')) {
        if (line.contains('\0'))
            line.truncate(line.indexOf('\0'));
        line = QString::fromLatin1(line).trimmed().toLatin1();
        if (line.startsWith("fr "))
            out << QByteArray();
        if (!out.isEmpty() && !line.startsWith('#'))
            out.last() += line + "\r\n";
    }
    return out;
}

// Whether the process has its SIGTERM handler in place (the caught-signals mask in /proc).
bool catchesSigterm(qint64 pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const int at = text.indexOf("SigCgt:");
    return at >= 0 && (text.mid(at + 7, 17).trimmed().toULongLong(nullptr, 16) & (1ull << (SIGTERM - 1)));
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    ModalAnswerer answerer; // first: the window may say something as it starts
    Ostrel_recorder window{sandboxHome() + "/.NUV/Ostrel_Recorder"};
    QAction *action(const char *name) { return window.findChild<QAction *>(name); }
    QPlainTextEdit *display() { return window.findChild<QPlainTextEdit *>("te_datadisplay"); }
    QSlider *slider() { return window.findChild<QSlider *>("playSlider"); }
    UdpSink sink1, sink2;
    QByteArray recorded; // the datagrams as sent

    // Enabled actions: open, save as, play, pause, record, stop, preview, settings.
    QString actions()
    {
        QString s;
        for (QAction *action :
             {action("actionOpen"), action("actionSave_as"), action("actionPlay"), action("actionPause"),
              action("actionRecord"), action("actionStop"), action("actionPreview"),
              window.findChild<QMenu *>("menuSettings")->menuAction()})
            s += action->isEnabled() ? '1' : '0';
        return s;
    }

private slots:
    void initTestCase()
    {
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(answerer.messages().value(0).title, QString("Error loading settings")); // no file yet
        answerer.clear();
    }

    void previewRecordSaveAndReportLostFrames()
    {
        const quint16 port = freeUdpPort();
        answerer.queueConfirm({"le_port", QString::number(port)});
        action("actionRecordSettings")->trigger();
        QCOMPARE(window.findChild<QLabel *>("label_receive")->text(), QString("port %1").arg(port));
        answerer.clear();

        action("actionPreview")->trigger();
        QCOMPARE(actions(), QString("00001100"));
        for (const char *d : {"fr 1\nts 1.00\none\n", "fr 2\nts 1.04\ntwo\n", "fr 3\nts 1.08\nthree\n"})
            QVERIFY(sendUdp(port, d));
        QTRY_COMPARE(display()->toPlainText(), QString("fr 3\nts 1.08\nthree\n"));

        // Record straight out of the preview. The Settings shortcuts are dead while recording.
        action("actionRecord")->trigger();
        QCOMPARE(actions(), QString("00000100"));
        QTest::keyClick(&window, Qt::Key_F8);
        QTest::keyClick(&window, Qt::Key_F9);
        QByteArray sent;
        for (int n = kFirst; n <= kLast; ++n) {
            if (kLost.contains(n))
                continue;
            const QByteArray d = ostrelFrame(n);
            sent += d;
            QVERIFY(sendUdp(port, d));
            if (n == 30)
                QVERIFY(sendUdp(port, QByteArray())); // carries nothing, and receiving goes on
            // Waits now and then, so that the kernel's queue never overflows.
            if (n == kNulFrame) // the display takes a datagram's text up to its first NUL
                QTRY_COMPARE(display()->toPlainText(), QString("fr 20\nts 100.040\nbefore"));
            else if (n == kBigFrame - 1 || n == kBigFrame || n == kLast)
                QTRY_VERIFY(display()->toPlainText().startsWith(QString("fr %1\n").arg(n)));
        }
        QVERIFY(answerer.records().isEmpty());

        // Stop asks for a name, saves, scans the copy and reports the lost frames.
        answerer.queueFile(sandboxHome() + "/session");
        action("actionStop")->trigger();
        QCOMPARE(answerer.records().value(0).title, QString("Save File"));
        QCOMPARE(answerer.messageTexts(), QStringList("Lost frame number 3:  15 16 22"));
        QCOMPARE(readFile(sandboxHome() + "/session.orf"), sent);
        QCOMPARE(QDir(QDir::tempPath()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(QPoint(slider()->minimum(), slider()->maximum()), QPoint(kFirst, kLast));
        QCOMPARE(actions(), QString("10101011")); // saved: nothing left to save
        recorded = sent;
    }

    void playToTwoDestinations_data()
    {
        QTest::addColumn<bool>("loop");
        QTest::addColumn<bool>("timestamp");
        QTest::addColumn<QString>("rate");
        QTest::newRow("single, fixed rate") << false << false << "60.0 Hz";
        QTest::newRow("looped, by timestamps") << true << true << "500.0 Hz";
    }

    void playToTwoDestinations()
    {
        QFETCH(bool, loop);
        QFETCH(bool, timestamp);
        QFETCH(QString, rate);
        if (recorded.isEmpty())
            QSKIP("needs the recording made by the previous test");
        QList<QByteArray> want = wireForm(recorded);
        QCOMPARE(want[kBigFrame - kFirst - kLost.size()].size(), 65507);
        if (loop)
            want << want[0] << want[1];

        answerer.clear();
        answerer.queueConfirm(
            {"le_host_1", "127.0.0.1", "sb_port_1", QString::number(sink1.port()), "activeBox", "true",
             "le_host_2", "127.0.0.1", "sb_port_2", QString::number(sink2.port()), "sb_frequency_1", "60",
             loop ? "rb_loop" : "rb_single", "true", "cb_timestamp", timestamp ? "true" : "false"});
        action("actionPlaySettings")->trigger();
        action("actionPlay")->trigger();
        QCOMPARE(actions(), QString("00010100"));
        QCOMPARE(window.findChild<QLabel *>("labelFrequency")->text(), rate);
        QList<QByteArray> got1, got2;
        QTRY_VERIFY_WITH_TIMEOUT((got1 += sink1.drain()).size() >= want.size() &&
                                     (got2 += sink2.drain()).size() >= want.size(),
                                 20000);
        if (loop)
            action("actionStop")->trigger();
        QTRY_COMPARE(actions(), QString("10101011"));
        QCOMPARE(got1.mid(0, want.size()), want);
        QCOMPARE(got2.mid(0, want.size()), want);
        QVERIFY(answerer.messages().isEmpty());
    }

    // The real program twice as a process, with an in-process run between them that confirms new settings
    // in both dialogs: each run starts with what the one before saved.
    void settingsLastFromRunToRun()
    {
        QTemporaryDir root;
        const QString home = root.path() + "/home", bin = root.path() + "/bin";
        QVERIFY(QDir().mkpath(bin + "/config"));
        // A copy of the program, so that it finds a fallback file of this test's own beside itself.
        const QString program = bin + "/ostrel_recorder";
        QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + "/../bin/ostrel_recorder", program));
        const QByteArray fallback =
            "<OSTREL_RECORDER><!-- shipped beside the program --><FREQUENCY FREQUENCY=\"30\"/>"
            "<RECORD_PORT PORT_NR=\"5123\"/><PLAY_HOST_1 HOST=\"127.0.0.1\"/><LOOP LOOP=\"false\"/>"
            "<PLAY_PORT_1 PORT_NR=\"5124\"/></OSTREL_RECORDER>\n";
        QVERIFY(writeFile(bin + "/config/current-settings.xml", fallback));
        const QString settings = home + "/.NUV/Ostrel_Recorder/config/current-settings.xml";

        // Runs the program until it has started, then ends it the way a desktop session does.
        auto run = [&]() -> QString {
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("HOME", home);
            process.setProcessEnvironment(env);
            process.start(program, QStringList());
            process.waitForStarted(30000); // before exec the child still has this test's signal handlers
            QDeadlineTimer ready(60000);
            while (process.state() != QProcess::NotRunning && !catchesSigterm(process.processId()) &&
                   !ready.hasExpired())
                QTest::qWait(20);
            process.terminate();
            process.waitForFinished(60000);
            return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0
                       ? QString()
                       : "the program ended with " + process.errorString();
        };

        // First run: nothing under home; the file beside the program is read, a full one saved at the end.
        QCOMPARE(run(), QString());
        QCOMPARE(readFile(settings), settingsFileBytes({"5123", "127.0.0.1", "5124", "localhost", "5001",
                                                        "false", "30", "false", "true", home, home}));
        {
            Ostrel_recorder w(home + "/.NUV/Ostrel_Recorder");

            QStringList playShown, recordShown;
            answerer.queueConfirm({"le_host_1", "127.0.0.1", "sb_port_1", "6001", "activeBox", "true",
                                   "le_host_2", "127.0.0.2", "sb_port_2", "6002", "sb_frequency_1", "25",
                                   "rb_loop", "true", "cb_timestamp", "false", "cb_continue_numbers", "true"},
                                  &playShown);
            w.findChild<QAction *>("actionPlaySettings")->trigger();
            answerer.queueConfirm({"le_port", "07001", "le_group", "239.1.2.3"}, &recordShown);
            w.findChild<QAction *>("actionRecordSettings")->trigger();
            QCOMPARE(playShown, QStringList({"127.0.0.1", "5124", "false", "localhost", "5001", "30", "false",
                                             "true", "false"}));
            QCOMPARE(recordShown, QStringList({"5123", ""}));
            QCOMPARE(w.findChild<QLabel *>("label_receive")->text(), QString("group 239.1.2.3 port 07001"));
        }
        const QByteArray confirmed =
            settingsFileBytes({"07001", "127.0.0.1", "6001", "127.0.0.2", "6002", "true", "25", "true",
                               "false", home, home, "239.1.2.3", "", "1", "", "false", "true"});
        QCOMPARE(readFile(settings), confirmed);

        // The same values in another order: only a run that loaded them writes the file back as above.
        QList<QByteArray> rows = confirmed.trimmed().split('\n');
        std::reverse(rows.begin() + 1, rows.end() - 1);
        QVERIFY(
            writeFile(settings, "<?xml version=\"1.0\"?>\n<!-- edited by hand -->\n" + rows.join("<X/>")));
        QCOMPARE(run(), QString());
        QCOMPARE(readFile(settings), confirmed);
        QCOMPARE(readFile(bin + "/config/current-settings.xml"), fallback);
    }

    // A signal ends the program while a dialog of its start waits for an answer, and loses nothing.
    void startUpDialogsEndOnSignals_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("settings that do not parse, SIGTERM") << int(SIGTERM);
        QTest::newRow("settings that do not parse, SIGHUP") << int(SIGHUP);
        QTest::newRow("a recording left by an earlier run, SIGTERM") << int(SIGTERM);
    }
    void startUpDialogsEndOnSignals()
    {
        QFETCH(int, signal);
        const bool leftover = QByteArray(QTest::currentDataTag()).startsWith("a recording");
        QTemporaryDir root; // home and temporary directory of the program
        const QString temp = root.filePath("ostrel_recorder_temp.orf"),
                      config = root.filePath(".NUV/Ostrel_Recorder/config");
        QVERIFY(leftover ? writeFile(temp, "fr 1\n")
                         : QDir().mkpath(config) && writeFile(config + "/current-settings.xml", "<OSTREL"));
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", root.path());
        env.insert("TMPDIR", root.path());
        process.setProcessEnvironment(env);
        process.start(QCoreApplication::applicationDirPath() + "/../bin/ostrel_recorder", QStringList());
        QVERIFY(process.waitForStarted(30000)); // before exec the child still has this test's signal handlers
        QTRY_VERIFY_WITH_TIMEOUT(catchesSigterm(process.processId()), 60000);
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
                process.exitCode() == 0);
        QCOMPARE(readFile(temp), leftover ? QByteArray("fr 1\n") : QByteArray());
    }
};

OSTREL_TEST_MAIN(TestEndToEnd)
#include "tst_end_to_end.moc"
