// The window over D-Bus, called through a connection of its own as a script calls it: each method where its
// action is enabled and where it is not, a recording made, stopped and saved byte for byte, and a second
// start handing its file over. Runs under dbus-run-session; skipped without a session bus.
#include "app/dbus_control.h"
#include "app/ostrel_recorder.h"
#include "test_support.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QStatusBar>

using namespace ostrel_test;

class TestDbus : public QObject
{
    Q_OBJECT

    quint16 port = freeUdpPort();
    QString home = sandboxHome();
    std::unique_ptr<ModalAnswerer> answerer;
    std::unique_ptr<Ostrel_recorder> window;
    QDBusConnection client = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "script");
    QList<QVariantMap> changes; // PropertiesChanged as the script saw them
    QVariant changed(const QString &name) const // its latest value in them
    {
        QVariant value;
        for (const QVariantMap &c : changes)
            value = c.value(name, value);
        return value;
    }

    QDBusMessage send(const QString &interface, const QString &method, const QVariantList &args)
    {
        QDBusMessage m =
            QDBusMessage::createMethodCall(DbusControl::kService, DbusControl::kPath, interface, method);
        m.setArguments(args);
        return client.call(m, QDBus::BlockWithGui, 10000);
    }
    // "" when the method returned, else the error's last name part and its message.
    QString call(const QString &method, const QVariantList &args = {})
    {
        const QDBusMessage r = send(DbusControl::kInterface, method, args);
        return r.type() != QDBusMessage::ErrorMessage ? QString()
                                                      : r.errorName().section('.', -1) + ": " + r.errorMessage();
    }
    QVariant property(const char *name)
    {
        const QDBusMessage r = send("org.freedesktop.DBus.Properties", "Get", {DbusControl::kInterface, name});
        return r.arguments().value(0).value<QDBusVariant>().variant();
    }

public slots:
    void propertiesChanged(const QString &, const QVariantMap &changed, const QStringList &) { changes << changed; }

private slots:
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected() || !client.isConnected())
            QSKIP("no session bus (run under dbus-run-session)");
        QVERIFY(client.connect(DbusControl::kService, DbusControl::kPath, "org.freedesktop.DBus.Properties",
                               "PropertiesChanged", this, SLOT(propertiesChanged(QString, QVariantMap, QStringList))));
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
        const QString good = home + "/good.orf", missing = home + "/missing.orf";
        QVERIFY(writeFile(good, "fr 1\nts 1\nfr 2\nts 1.01\nfr 3\nts 1.02\n"));
        struct Step
        {
            QString method;
            QVariantList args;
            QString error; // "" done, "NotNow" (its text is checked), else the error's start
            QString state; // afterwards
        };
        const QList<Step> steps = {
            {"Play", {}, "NotNow", "idle"}, {"Pause", {}, "NotNow", "idle"}, {"Stop", {}, "NotNow", "idle"},
            {"SaveAs", {home + "/x"}, "NotNow", "idle"}, {"Seek", {2LL}, "NotNow", "idle"},
            {"Open", {missing}, "Failed: File " + missing + " cannot be opened.", "idle"},
            {"Open", {good}, "", "idle"}, {"Seek", {2LL}, "", "idle"}, {"Play", {}, "", "playing"},
            {"Open", {good}, "NotNow", "playing"}, {"Record", {}, "NotNow", "playing"},
            {"Preview", {}, "NotNow", "playing"}, {"Seek", {3LL}, "NotNow", "playing"},
            {"Pause", {}, "", "paused"}, {"Pause", {}, "NotNow", "paused"}, {"Seek", {3LL}, "", "paused"},
            {"Play", {}, "", "playing"}, {"Stop", {}, "", "idle"}, {"Preview", {}, "", "previewing"},
            {"Preview", {}, "NotNow", "previewing"}, {"Record", {}, "", "recording"},
            {"Play", {}, "NotNow", "recording"}, {"Stop", {}, "", "idle"}};
        QString before = "idle";
        for (const Step &s : steps) {
            const QString result = call(s.method, s.args), at = s.method + " when " + before;
            const QString error = s.error != "NotNow" ? s.error
                                                      : "NotNow: " + s.method + " is not possible now: the window is " +
                                                            before + ".";
            QVERIFY2(error.isEmpty() ? result.isEmpty() : result.startsWith(error), qPrintable(at + ": " + result));
            QCOMPARE(property("State").toString(), s.state);
            if (!error.isEmpty()) // what the window would have said in a box, or the refusal
                QCOMPARE(window->statusBar()->currentMessage(), result.section(": ", 1).replace('\n', ' '));
            if (s.method == "Seek" && error.isEmpty())
                QCOMPARE(property("CurrentFrame").toLongLong(), s.args[0].toLongLong());
            before = s.state;
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
            const QByteArray datagram = "fr " + QByteArray::number(n == 400 ? 401 : n) + "\nvalue " +
                                        QByteArray::number(n * 7) + "\r\n";
            QVERIFY(sendUdp(port, datagram));
            sent += datagram;
        }
        QTRY_COMPARE(changed("Datagrams"), QVariant(400LL));
        QCOMPARE(property("LostFrames").toLongLong(), 1LL);
        QCOMPARE(call("Stop"), QString());
        QCOMPARE(property("State").toString(), "idle");
        const QString taken = home + "/taken.orf";
        QVERIFY(writeFile(taken, "mine"));
        QCOMPARE(call("SaveAs", {taken}), "Failed: " + taken + " exists already.");
        QCOMPARE(call("SaveAs", {home + "/run"}), QString());
        QCOMPARE(readFile(home + "/run.orf"), sent);
        QCOMPARE(readFile(taken), QByteArray("mine"));
        QCOMPARE(property("File").toString(), home + "/run.orf");
        QVERIFY(answerer->records().isEmpty()); // no save dialog, no box
        QTRY_COMPARE(changed("File"), QVariant(home + "/run.orf"));
        QCOMPARE(changed("State"), QVariant("idle"));
        QVERIFY2(changes.size() <= 2 + elapsed.elapsed() / 100, qPrintable(QString::number(changes.size())));
    }

    void aSecondStartHandsItsFileOver()
    {
        const QString good = home + "/second.orf";
        QVERIFY(writeFile(good, "fr 5\nfr 6\n"));
        for (const bool playing : {false, true}) {
            QProcess second;
            QSignalSpy finished(&second, &QProcess::finished);
            second.start(OSTREL_RECORDER_PATH, {good});
            QVERIFY(finished.wait(20000));
            QCOMPARE(second.exitCode(), playing ? 1 : 0);
            if (playing)
                QVERIFY(second.readAllStandardError().contains("Open is not possible now: the window is playing."));
            QCOMPARE(window->currentFile(), good);
            QVERIFY(playing || call("Play").isEmpty());
        }
    }
};

OSTREL_TEST_MAIN(TestDbus)
#include "tst_dbus.moc"
