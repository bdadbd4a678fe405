// The window over D-Bus, called through a connection of its own as a script calls it: each method where its
// action is enabled and where it is not, a recording made, stopped and saved byte for byte, and a second
// start handing its file over. Runs under dbus-run-session; skipped without a session bus.
#include "app/dbus_control.h"
#include "app/ostrel_recorder.h"
#include "test_support.h"

#include <QStatusBar>
#include <QtDBus>

using namespace ostrel_test;

class TestDbus : public QObject
{
    Q_OBJECT

    quint16 port = freeUdpPort();
    QString home = sandboxHome();
    std::unique_ptr<ModalAnswerer> answerer;
    std::unique_ptr<Ostrel_recorder> window;
    QDBusConnection client = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "script");
    QVariantMap changed; // the latest value of each property in the PropertiesChanged the script saw
    int changes = 0;

    QDBusMessage send(const QString &method, const QVariantList &args = {},
                      const QString &interface = DbusControl::kInterface)
    {
        auto m = QDBusMessage::createMethodCall(DbusControl::kService, DbusControl::kPath, interface, method);
        m.setArguments(args);
        return client.call(m, QDBus::BlockWithGui, 10000);
    }
    QString call(const QString &method, const QVariantList &args = {}) // "" when done, else "Error: text"
    {
        const QDBusMessage r = send(method, args);
        return r.errorName().isEmpty() ? QString() : r.errorName().section('.', -1) + ": " + r.errorMessage();
    }
    QVariant property(const char *name)
    {
        const QDBusMessage r =
            send("Get", {DbusControl::kInterface, name}, "org.freedesktop.DBus.Properties");
        return r.arguments().value(0).value<QDBusVariant>().variant();
    }

public slots:
    void propertiesChanged(const QString &, const QVariantMap &values, const QStringList &)
    {
        changed.insert(values);
        ++changes;
    }

private slots:
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected() || !client.isConnected())
            QSKIP("no session bus (run under dbus-run-session)");
        QVERIFY(client.connect(DbusControl::kService, DbusControl::kPath, "org.freedesktop.DBus.Properties",
                               "PropertiesChanged", this,
                               SLOT(propertiesChanged(QString, QVariantMap, QStringList))));
    }
    void init()
    {
        writeHomeSettings(defaultSettingsXml(port));
        answerer.reset(new ModalAnswerer);
        window.reset(new Ostrel_recorder(home + "/.NUV/Ostrel_Recorder"));
        QVERIFY((new DbusControl(window.get()))->registerOnSessionBus());
    }
    void cleanup() { window.reset(); }

    void eachMethodDoesItsActionOrSaysNotNow()
    {
        QVERIFY(writeFile(home + "/good.orf", "fr 1\nts 1\nfr 2\nts 1.01\nfr 3\nts 1.02\n"));
        // Method, argument (a number or a file in the home), its answer (NotNow's text is checked), state.
        const QStringList steps =
            QString(
                "Play - NotNow idle; Pause - NotNow idle; Stop - NotNow idle; SaveAs x NotNow idle; "
                "Seek 2 NotNow idle; Open missing Failed idle; Open good ok idle; Seek 2 ok idle; "
                "Play - ok playing; Open good NotNow playing; Record - NotNow playing; "
                "Preview - NotNow playing; Seek 3 NotNow playing; Pause - ok paused; Pause - NotNow paused; "
                "Seek 3 ok paused; Play - ok playing; Stop - ok idle; Preview - ok previewing; "
                "Preview - NotNow previewing; Record - ok recording; Play - NotNow recording; Stop - ok idle")
                .split("; ");
        QString before = "idle";
        for (const QString &step : steps) {
            const QString method = step.section(' ', 0, 0), answer = step.section(' ', 2, 2);
            const QString word = step.section(' ', 1, 1), file = home + "/" + word + ".orf";
            const QVariantList args = word == "-"         ? QVariantList{}
                                      : word[0].isDigit() ? QVariantList{word.toLongLong()}
                                                          : QVariantList{file};
            const QString result = call(method, args);
            const QString error =
                answer == "ok" ? QString()
                : answer == "Failed"
                    ? "Failed: File " + file + " cannot be opened."
                    : "NotNow: " + method + " is not possible now: the window is " + before + ".";
            QVERIFY2(result == error, qPrintable(method + " when " + before + ": " + result));
            QCOMPARE(property("State").toString(), before = step.section(' ', 3));
            if (!error.isEmpty()) // what the window would have said in a box, or the refusal
                QCOMPARE(window->statusBar()->currentMessage(), result.section(": ", 1).replace('\n', ' '));
            if (method == "Seek" && error.isEmpty())
                QCOMPARE(property("CurrentFrame"), args[0]);
        }
        QVERIFY(answerer->records().isEmpty()); // nothing waited for the operator
    }

    void aRecordingStoppedAndSavedOverDbusIsByteExact()
    {
        QByteArray sent;
        QElapsedTimer elapsed;
        elapsed.start();
        QCOMPARE(call("Record"), QString());
        for (int n = 1; n <= 400; ++n) {
            const QByteArray datagram =
                "fr " + QByteArray::number(n + n / 400) + "\nv " + QByteArray::number(n) + "\r\n";
            QVERIFY(sendUdp(port, datagram));
            sent += datagram;
        }
        QTRY_COMPARE(changed.value("Datagrams"), QVariant(400LL));
        QCOMPARE(property("LostFrames"), QVariant(1LL));
        QCOMPARE(call("Stop"), QString());
        const QString taken = home + "/taken.orf";
        QVERIFY(writeFile(taken, "mine"));
        QCOMPARE(call("SaveAs", {taken}), "Failed: " + taken + " exists already.");
        QCOMPARE(call("SaveAs", {home + "/run"}), QString());
        QCOMPARE(readFile(home + "/run.orf"), sent);
        QCOMPARE(readFile(taken), QByteArray("mine"));
        QVERIFY(answerer->records().isEmpty()); // no save dialog, no box
        QTRY_COMPARE(changed.value("File"), QVariant(home + "/run.orf"));
        QCOMPARE(changed.value("State"), QVariant("idle"));
        QVERIFY2(changes <= 2 + elapsed.elapsed() / 100, qPrintable(QString::number(changes))); // 10 a second
    }

    void aSecondStartHandsItsFileOver()
    {
        const QString file = home + "/second.orf";
        QVERIFY(writeFile(file, "fr 5\nfr 6\n"));
        for (const bool playing : {false, true}) { // refused while playing: said, and status 1
            QProcess second;
            QSignalSpy finished(&second, &QProcess::finished);
            second.start(OSTREL_RECORDER_PATH, {file});
            QVERIFY(finished.wait(20000));
            QCOMPARE(second.exitCode(), int(playing));
            QCOMPARE(
                second.readAllStandardError().contains("Open is not possible now: the window is playing."),
                playing);
            QCOMPARE(window->currentFile(), file);
            QVERIFY(playing || call("Play").isEmpty());
        }
    }
};

OSTREL_TEST_MAIN(TestDbus)
#include "tst_dbus.moc"
