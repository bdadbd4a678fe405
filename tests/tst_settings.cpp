// The settings: the file's exact bytes and round trip, every loading and writing failure with its message,
// hostile files, and the dialogs' refusals.
#include "settings/settings_file.h"
#include "test_support.h"
#include "app/ostrel_recorder.h"

#include <QDialog>
#include <QLabel>

#include <sys/stat.h>

using namespace SettingsFile;
using namespace ostrel_test;

namespace {

const QStringList kTexts = QString::fromUtf8("05000|localhost|5001|10.0.0.7|5002|false|25|true|false|"
                                             "/home/u/a&b<c>\"d'e|/home/u/Aufnahmen äö\ttab\nnew\rline|"
                                             "239.1.2.3|lo|0|127.0.0.1|true|true")
                               .split('|');

SettingsTexts textsOf(const QStringList &values)
{
    SettingsTexts t = defaultTexts();
    for (int i = 0; i < values.size(); ++i)
        t.text(Setting(i)) = values.value(i);
    return t;
}

QStringList valuesOf(const SettingsTexts &t)
{
    QStringList out;
    for (int i = 0; i < SettingCount; ++i)
        out << t.text(Setting(i));
    return out;
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString primary() const { return dir.filePath("home/config/current-settings.xml"); }
    QString fallback() const { return dir.filePath("app/config/current-settings.xml"); }

private slots:
    void init()
    {
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.filePath("home/config"));
    }

    // Elements of groups and interfaces come last, and only off their defaults: else the file is as ever.
    void writesExactBytesAndReadsThemBack()
    {
        const QString config = dir.filePath("new/.NUV/Ostrel_Recorder"); // the parents are made too
        for (const QStringList &texts : {kTexts, kTexts.mid(0, 11)}) {
            QVERIFY(write(config, textsOf(texts)).ok());
            QStringList escaped = texts;
            escaped[9] = "/home/u/a&amp;b&lt;c>&quot;d'e";
            escaped[10] = QString::fromUtf8("/home/u/Aufnahmen äö&#x9;tab&#xa;new&#xd;line");
            QCOMPARE(readFile(settingsPath(config)), settingsFileBytes(escaped));
            SettingsTexts back = defaultTexts();
            QVERIFY(load(settingsPath(config), QString(), back).ok());
            QCOMPARE(valuesOf(back), valuesOf(textsOf(texts)));
        }
    }

    // A character XML cannot carry would make every later start fail to read the file: it is left out
    // (controls, noncharacters, surrogates without their other half).
    void dropsWhatXmlCannotCarry()
    {
        const QChar high(0xD83D), low(0xDE00);
        SettingsTexts t;
        t.text(Setting::SaveFileDir) =
            QString("/a") + QChar(1) + "b" + QChar(0xFFFF) + high + "c" + high + high + low + low + high;
        t.text(Setting::OpenFileDir) = QString(low) + "d";
        QVERIFY(write(dir.filePath("home"), t).ok());
        QVERIFY(load(primary(), fallback(), t).ok());
        QCOMPARE(t.text(Setting::SaveFileDir) + t.text(Setting::OpenFileDir),
                 QString("/abc") + high + low + "d");
    }

    void loadFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        const QString parsing = "Error while parsing %1 (Line %2, Column %3) :\n%4.";
        const QString unreadable = "File %1 cannot be opened for reading.";
        const QString foreign = "Error while parsing %1 :\nThe file doesn't look like a valid settings file.";
        QTest::newRow("neither file") << "none" << QByteArray() << "Files not found :\n%1";
        QTest::newRow("a FIFO, which would block") << "fifo" << QByteArray() << unreadable;
        QTest::newRow("empty") << "file" << QByteArray()
                               << parsing.arg("%1", "1", "0", "Premature end of document");
        QByteArray bomb = "<!DOCTYPE OSTREL_RECORDER [<!ENTITY a \"" + QByteArray(40, 'a') + "\">";
        for (char name = 'b'; name <= 'h'; ++name)
            bomb += QByteArray("<!ENTITY ") + name + " \"" +
                    (QByteArray("&") + char(name - 1) + ";").repeated(10) + "\">";
        bomb += "]>\n<OSTREL_RECORDER><SAVE_FILE_DIR SAVE_FILE_DIR=\"&h;\"/></OSTREL_RECORDER>\n";
        QTest::newRow("entity expansion") << "file" << bomb
                                          << parsing.arg("%1", "2", "50",
                                                         "Entity expands to more characters than the entity "
                                                         "expansion limit");
        QTest::newRow("another root")
            << "file" << QByteArray("<SETTINGS><RECORD_PORT PORT_NR=\"1\"/></SETTINGS>") << foreign;
        QTest::newRow("deep nesting") << "file"
                                      << "<OSTREL_RECORDER>" + QByteArray("<a>").repeated(200000) << foreign;
        QTest::newRow("huge") << "file"
                              << "<OSTREL_RECORDER>" + QByteArray("<!-- padding -->\n").repeated(70000) +
                                     "<RECORD_PORT PORT_NR=\"1\"/></OSTREL_RECORDER>"
                              << foreign;
    }
    // Nothing of a failed load is taken, and a hostile file is refused quickly instead of stalling the start.
    void loadFailures()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        if (kind == "fifo")
            QVERIFY(::mkfifo(QFile::encodeName(primary()).constData(), 0600) == 0);
        else if (kind != "none")
            QVERIFY(writeFile(primary(), content));
        SettingsTexts t = textsOf(kTexts);
        QElapsedTimer timer;
        timer.start();
        const LoadResult result = load(primary(), fallback(), t);
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed()) + " ms"));
        QCOMPARE(loadErrorMessage(result), message.arg(kind == "none" ? fallback() : primary()));
        QCOMPARE(valuesOf(t), kTexts);
    }

    // A write that breaks off (a full disk, a quota) leaves the old file whole and nothing beside it.
    void writeFailures()
    {
        const QString config = dir.filePath("cfg");
        QVERIFY(write(config, textsOf(kTexts)).ok());
        const QByteArray before = readFile(settingsPath(config));
        QStringList longer = kTexts;
        longer[9] = QString(4096, 'd');
        WriteResult result;
        withFileSizeLimit(1024, [&] { result = write(config, textsOf(longer)); });
        QCOMPARE(writeErrorMessage(result),
                 "File " + settingsPath(config) + " cannot be opened for writing.");
        QCOMPARE(readFile(settingsPath(config)), before);
        QCOMPARE(QDir(settingsDirectory(config)).entryList(QDir::Files | QDir::Hidden).size(), 1);

        QVERIFY(writeFile(dir.filePath("plain"), "x"));
        QCOMPARE(writeErrorMessage(write(dir.filePath("plain/cfg"), textsOf(kTexts))),
                 "Directory " + dir.filePath("plain/cfg/config") + " doesn't exist and cannot be created.");
    }

    // "follow each frame's timestamp" is offered only while timestamps are used, and stored only when on.
    void recordedTimingFollowsTimestamps()
    {
        writeHomeSettings(defaultSettingsXml());
        ModalAnswerer answerer;
        Ostrel_recorder window(sandboxHome() + "/.NUV/Ostrel_Recorder");
        QList<bool> enabled;
        answerer.queueDialog([&enabled](QWidget *dialog) {
            auto *recorded = dialog->findChild<QCheckBox *>("cb_recorded_timing");
            for (int i = 0; i < 2; ++i) {
                dialog->findChild<QCheckBox *>("cb_timestamp")->click();
                enabled << recorded->isEnabled();
            }
            recorded->click();
            dialog->findChild<QPushButton *>("pb_ok")->click();
        });
        window.findChild<QAction *>("actionPlaySettings")->trigger();
        QCOMPARE(enabled, QList<bool>({false, true}));
        QCOMPARE(readFile(settingsPath(sandboxHome() + "/.NUV/Ostrel_Recorder")),
                 defaultSettingsXml().toUtf8().replace(
                     "</OSTREL", "    <RECORDED_TIMING RECORDED_TIMING=\"true\"/>\n</OSTREL"));
        bool shownAgain = false; // the dialog opened again shows the working value
        answerer.queueDialog([&shownAgain](QWidget *dialog) {
            shownAgain = dialog->findChild<QCheckBox *>("cb_recorded_timing")->isChecked();
            static_cast<QDialog *>(dialog)->reject();
        });
        window.findChild<QAction *>("actionPlaySettings")->trigger();
        QVERIFY(shownAgain);
    }

    void dialogsRefuseBadValues_data()
    {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("message");
        const QString host = "Please check your ip address\n", port = "Please check your port\n";
        QTest::newRow("first host unresolvable") << QStringList{"le_host_1", "no-such-host.invalid"} << host;
        QTest::newRow("first host all zero") << QStringList{"le_host_1", "0.0.0.0"} << host;
        QTest::newRow("second host bad") << QStringList{"activeBox", "true", "le_host_2", "0.0.0.0"} << host;
        QTest::newRow("port 65536") << QStringList{"le_port", "65536"} << port;
        QTest::newRow("group not multicast")
            << QStringList{"le_group", "10.1.2.3"}
            << "Please check your multicast group\n10.1.2.3 is not an IPv4 multicast address (224.0.0.0 to "
               "239.255.255.255).";
        const QString interface = "Please check your interface\nThere is no network interface %1.";
        QTest::newRow("record interface")
            << QStringList{"le_interface", "nosuch0"} << interface.arg("nosuch0");
        QTest::newRow("play interface")
            << QStringList{"le_play_interface", "10.255.0.9"} << interface.arg("10.255.0.9");
    }
    // A refused value is named in a message and reaches neither the labels nor the file.
    void dialogsRefuseBadValues()
    {
        QFETCH(QStringList, fields);
        QFETCH(QString, message);
        writeHomeSettings(defaultSettingsXml());
        ModalAnswerer answerer;
        Ostrel_recorder window(sandboxHome() + "/.NUV/Ostrel_Recorder");
        answerer.queueConfirm(fields);
        const bool record = QStringList{"le_port", "le_group", "le_interface"}.contains(fields[0]);
        window.findChild<QAction *>(record ? "actionRecordSettings" : "actionPlaySettings")->trigger();
        QCOMPARE(answerer.messageTexts(), QStringList(message));
        QCOMPARE(window.findChild<QLabel *>("label_receive")->text() + "|" +
                     window.findChild<QLabel *>("label_send_1")->text(),
                 QString("port 5000|127.0.0.1  port 5001"));
        QCOMPARE(readFile(settingsPath(sandboxHome() + "/.NUV/Ostrel_Recorder")),
                 defaultSettingsXml().toUtf8());
    }
};

OSTREL_TEST_MAIN(TestSettings)
#include "tst_settings.moc"
