// The window's side of the settings: start values, loading with its messages, the values confirmed in the
// dialogs reaching the labels and the file, and the file written at exit.
#include "settings_file.h"
#include "test_support.h"
#include "window_access.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>

using namespace ostrel_test;

namespace {

QString configDir()
{
    return sandboxHome() + "/.NUV/Ostrel_Recorder";
}

QString settingsPath()
{
    return configDir() + "/config/current-settings.xml";
}

QString fallbackPath()
{
    return QCoreApplication::applicationDirPath() + "/config/current-settings.xml";
}

template <typename T> T *child(QWidget *parent, const char *name)
{
    return parent->findChild<T *>(QString::fromLatin1(name));
}

QByteArray expectedFile(const QString &port, const QString &host1, const QString &port1, const QString &host2,
                        const QString &port2, const QString &active, const QString &frequency,
                        const QString &loop, const QString &timestamp, const QString &saveDir,
                        const QString &openDir)
{
    return QStringLiteral("<OSTREL_RECORDER>\n"
                          "    <RECORD_PORT PORT_NR=\"%1\"/>\n"
                          "    <PLAY_HOST_1 HOST=\"%2\"/>\n"
                          "    <PLAY_PORT_1 PORT_NR=\"%3\"/>\n"
                          "    <PLAY_HOST_2 HOST=\"%4\"/>\n"
                          "    <PLAY_PORT_2 PORT_NR=\"%5\"/>\n"
                          "    <ACTIVE ACTIVE=\"%6\"/>\n"
                          "    <FREQUENCY FREQUENCY=\"%7\"/>\n"
                          "    <LOOP LOOP=\"%8\"/>\n"
                          "    <TIMESTAMP TIMESTAMP=\"%9\"/>\n"
                          "    <SAVE_FILE_DIR SAVE_FILE_DIR=\"%10\"/>\n"
                          "    <OPEN_FILE_DIR OPEN_FILE_DIR=\"%11\"/>\n"
                          "</OSTREL_RECORDER>\n")
        .arg(port, host1, port1, host2, port2, active, frequency, loop, timestamp)
        .arg(saveDir, openDir)
        .toUtf8();
}

} // namespace

class TestSettingsWindow : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QDir(configDir()).removeRecursively();
        QFile::remove(fallbackPath());
    }

    void cleanupTestCase() { QDir(QCoreApplication::applicationDirPath() + "/config").removeRecursively(); }

    void noFileAtAllStartsFromTheDialogDefaults()
    {
        ModalAnswerer answerer;
        {
            Ostrel_recorder w(configDir());
            OstrelRecorderTestAccess a(w);
            QCOMPARE(answerer.messages().size(), 1);
            QCOMPARE(answerer.messages()[0].title, QString("Error loading settings"));
            QCOMPARE(answerer.messages()[0].text, "Files not found :\n" + fallbackPath());
            QCOMPARE(a.port_record(), quint16(5000));
            QCOMPARE(a.ip_play_1(), 0x7F000001u);
            QCOMPARE(a.port_play_1(), quint16(5001));
            QCOMPARE(a.frequency_play_1(), 4.0f);
            QVERIFY(a.loop() && a.timestamp() && !a.active());
            QCOMPARE(a.ui().label_receive->text(), QString("port 5000"));
            QCOMPARE(a.ui().label_send_1->text(), QString("localhost  port 5001"));
            QCOMPARE(a.ui().label_send_2->text(), QString());
        }
        // The file written at exit is complete, so the next start gets usable values.
        QCOMPARE(readFile(settingsPath()),
                 expectedFile("5000", "localhost", "5001", "localhost", "5001", "false", "4", "true", "true",
                              sandboxHome(), sandboxHome()));
    }

    void theFallbackIsReadThenACompleteFileWrittenUnderHome()
    {
        QDir().mkpath(QCoreApplication::applicationDirPath() + "/config");
        QVERIFY(writeFile(fallbackPath(), "<OSTREL_RECORDER>\n    <RECORD_PORT PORT_NR=\"6000\"/>\n"
                                          "    <FREQUENCY FREQUENCY=\"25\"/>\n</OSTREL_RECORDER>\n"));
        ModalAnswerer answerer;
        {
            Ostrel_recorder w(configDir());
            OstrelRecorderTestAccess a(w);
            QVERIFY(answerer.messages().isEmpty());
            QCOMPARE(a.port_record(), quint16(6000));
            QCOMPARE(a.frequency_play_1(), 25.0f);
        }
        QCOMPARE(readFile(settingsPath()),
                 expectedFile("6000", "localhost", "5001", "localhost", "5001", "false", "25", "true", "true",
                              sandboxHome(), sandboxHome()));
        QVERIFY(readFile(fallbackPath()).contains("6000")); // never written
    }

    void loadingFailuresAreReported_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("text");
        QTest::newRow("malformed") << QByteArray("<OSTREL_RECORDER>\n  <RECORD_PORT PORT_NR=\"1\">\n")
                                   << "Error while parsing %1 (Line 3, Column 0) :\n";
        QTest::newRow("wrong root")
            << QByteArray("<SOMETHING_ELSE/>\n")
            << "Error while parsing %1 :\nThe file doesn't look like a valid settings file.";
    }

    void loadingFailuresAreReported()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, text);
        writeHomeSettings(QString::fromUtf8(content));
        ModalAnswerer answerer;
        Ostrel_recorder w(configDir());
        OstrelRecorderTestAccess a(w);
        QCOMPARE(answerer.messages().size(), 1);
        QCOMPARE(answerer.messages()[0].title, QString("Error loading settings"));
        QVERIFY2(answerer.messages()[0].text.startsWith(text.arg(settingsPath())),
                 qPrintable(answerer.messages()[0].text));
        QCOMPARE(a.port_record(), quint16(5000)); // the start values stay
    }

    void aDirectoryThatCannotBeMadeIsReportedAtExit()
    {
        QDir().mkpath(sandboxHome() + "/blocker");
        QVERIFY(writeFile(sandboxHome() + "/blocker/file", "x"));
        const QString config = sandboxHome() + "/blocker/file/inside";
        ModalAnswerer answerer;
        {
            Ostrel_recorder w(config);
            answerer.clear();
        }
        QCOMPARE(answerer.messages().size(), 1);
        QCOMPARE(answerer.messages()[0].title, QString("Error writing settings"));
        QCOMPARE(answerer.messages()[0].text,
                 QString("Directory %1 doesn't exist and cannot be created.").arg(config + "/config"));
    }

    void confirmedDialogsReachTheLabelsAndTheFile()
    {
        writeHomeSettings(defaultSettingsXml());
        ModalAnswerer answerer;
        Ostrel_recorder w(configDir());
        OstrelRecorderTestAccess a(w);
        answerer.queueDialog([](QWidget *d) {
            QTimer::singleShot(0, d, [d] {
                child<QLineEdit>(d, "le_host_1")->setText("127.0.0.1");
                child<QSpinBox>(d, "sb_port_1")->setValue(7001);
                child<QCheckBox>(d, "activeBox")->click();
                child<QLineEdit>(d, "le_host_2")->setText("127.0.0.2");
                child<QSpinBox>(d, "sb_port_2")->setValue(7002);
                child<QSpinBox>(d, "sb_frequency_1")->setValue(60);
                child<QPushButton>(d, "pb_ok")->click();
            });
        });
        w.on_actionPlaySettings_triggered();
        QCOMPARE(a.ui().label_send_1->text(), QString("127.0.0.1  port 7001"));
        QCOMPARE(a.ui().label_send_2->text(), QString("127.0.0.2  port 7002"));
        QCOMPARE(a.ip_play_2(), 0x7F000002u);
        QCOMPARE(a.port_play_2(), quint16(7002));
        QCOMPARE(a.frequency_play_1(), 60.0f);
        QVERIFY(a.active());

        answerer.queueDialog([](QWidget *d) {
            QTimer::singleShot(0, d, [d] {
                child<QLineEdit>(d, "le_port")->setText("05000");
                child<QPushButton>(d, "pb_ok")->click();
            });
        });
        w.on_actionRecordSettings_triggered();
        QCOMPARE(a.ui().label_receive->text(), QString("port 05000"));
        QCOMPARE(a.port_record(), quint16(5000));
        QCOMPARE(readFile(settingsPath()),
                 expectedFile("05000", "127.0.0.1", "7001", "127.0.0.2", "7002", "true", "60", "true", "true",
                              sandboxHome(), sandboxHome()));
        QVERIFY(answerer.messages().isEmpty());
    }

    void cancelChangesNothing()
    {
        writeHomeSettings(defaultSettingsXml(5000, 5001, 5001, false, 4));
        ModalAnswerer answerer;
        Ostrel_recorder w(configDir());
        OstrelRecorderTestAccess a(w);
        const QByteArray before = readFile(settingsPath());
        answerer.queueDialog([](QWidget *d) {
            QTimer::singleShot(0, d, [d] {
                child<QLineEdit>(d, "le_port")->setText("6001");
                child<QPushButton>(d, "pb_cancel")->click();
            });
        });
        w.on_actionRecordSettings_triggered();
        QCOMPARE(a.port_record(), quint16(5000));
        QCOMPARE(a.ui().label_receive->text(), QString("port 5000"));
        QCOMPARE(readFile(settingsPath()), before);
    }

    void aRateOfZeroOpensAsFourHertz()
    {
        writeHomeSettings("<OSTREL_RECORDER><FREQUENCY FREQUENCY=\"2.5\"/></OSTREL_RECORDER>");
        ModalAnswerer answerer;
        Ostrel_recorder w(configDir());
        OstrelRecorderTestAccess a(w);
        QCOMPARE(a.frequency_play_1(), 0.0f);
        int shown = -1;
        answerer.queueDialog([&shown](QWidget *d) {
            shown = child<QSpinBox>(d, "sb_frequency_1")->value();
            QTimer::singleShot(0, d, [d] { child<QPushButton>(d, "pb_ok")->click(); });
        });
        w.on_actionPlaySettings_triggered();
        QCOMPARE(shown, 4);
        QCOMPARE(a.frequency_play_1(), 4.0f);
    }

    void directoriesRoundTripThroughTheFile()
    {
        writeHomeSettings(defaultSettingsXml());
        const QString odd = sandboxHome() + "/a & b <c> \"d\"";
        {
            ModalAnswerer answerer;
            Ostrel_recorder w(configDir());
            OstrelRecorderTestAccess a(w);
            a.save_file_dir() = odd;
            a.open_file_dir() = odd + "/open";
        }
        ModalAnswerer answerer;
        Ostrel_recorder w(configDir());
        OstrelRecorderTestAccess a(w);
        QCOMPARE(a.save_file_dir(), odd);
        QCOMPARE(a.open_file_dir(), odd + "/open");
    }
};

OSTREL_TEST_MAIN(TestSettingsWindow)
#include "tst_settings_window.moc"
