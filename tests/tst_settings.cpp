// The settings file on its own: exact bytes written, tolerant reading, the text-to-value rules and every
// loading and writing failure with its message.
#include "settings_file.h"
#include "test_support.h"

#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace SettingsFile;

namespace {

SettingsTexts knownTexts()
{
    SettingsTexts t;
    t.port_record_string = "05000";
    t.host_play_string_1 = "localhost";
    t.port_play_string_1 = "5001";
    t.host_play_string_2 = "10.0.0.7";
    t.port_play_string_2 = "5002";
    t.active_play_string = "false";
    t.frequency_play_string = "25";
    t.loop_play_string = "true";
    t.timestamp_play_string = "false";
    t.save_file_dir = "/home/u/rec";
    t.open_file_dir = QString::fromUtf8("/home/u/Aufnahmen äö");
    return t;
}

QStringList allTexts(const SettingsTexts &t)
{
    QStringList out;
    for (int i = 0; i < SettingCount; ++i)
        out << t.text(Setting(i));
    return out;
}

QByteArray wrap(const QByteArray &children)
{
    return "<OSTREL_RECORDER>\n" + children + "</OSTREL_RECORDER>\n";
}

} // namespace

class SettingsFileTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString primary() const { return dir.path() + "/home/config/current-settings.xml"; }
    QString fallback() const { return dir.path() + "/app/config/current-settings.xml"; }
    void writePrimary(const QByteArray &data)
    {
        QDir().mkpath(QFileInfo(primary()).path());
        QVERIFY(ostrel_test::writeFile(primary(), data));
    }
    LoadResult loadInto(SettingsTexts &t) { return load(primary(), fallback(), t); }

private slots:
    void init()
    {
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
    }

    void writesExactBytes()
    {
        const QByteArray expected =
            "<OSTREL_RECORDER>\n"
            "    <RECORD_PORT PORT_NR=\"05000\"/>\n"
            "    <PLAY_HOST_1 HOST=\"localhost\"/>\n"
            "    <PLAY_PORT_1 PORT_NR=\"5001\"/>\n"
            "    <PLAY_HOST_2 HOST=\"10.0.0.7\"/>\n"
            "    <PLAY_PORT_2 PORT_NR=\"5002\"/>\n"
            "    <ACTIVE ACTIVE=\"false\"/>\n"
            "    <FREQUENCY FREQUENCY=\"25\"/>\n"
            "    <LOOP LOOP=\"true\"/>\n"
            "    <TIMESTAMP TIMESTAMP=\"false\"/>\n"
            "    <SAVE_FILE_DIR SAVE_FILE_DIR=\"/home/u/rec\"/>\n"
            "    <OPEN_FILE_DIR OPEN_FILE_DIR=\"/home/u/Aufnahmen \xc3\xa4\xc3\xb6\"/>\n"
            "</OSTREL_RECORDER>\n";
        QCOMPARE(serialise(knownTexts()), expected);
        const QString configDir = dir.path() + "/new/.NUV/Ostrel_Recorder"; // parents created as well
        QVERIFY(write(configDir, knownTexts()).ok());
        QCOMPARE(ostrel_test::readFile(configDir + "/config/current-settings.xml"), expected);
    }

    void roundTripsSpecialCharacters()
    {
        SettingsTexts written = knownTexts();
        written.save_file_dir = "/a&b<c>\"d'e";
        written.open_file_dir = "/tab\there\nnew\rline";
        const QByteArray bytes = serialise(written);
        QVERIFY(bytes.contains("SAVE_FILE_DIR=\"/a&amp;b&lt;c>&quot;d'e\""));
        writePrimary(bytes);
        SettingsTexts read;
        QVERIFY(loadInto(read).ok());
        QCOMPARE(allTexts(read), allTexts(written));
    }

    // A character XML cannot carry would make every later start fail to parse the file.
    void dropsCharactersXmlCannotCarry()
    {
        SettingsTexts written = knownTexts();
        written.save_file_dir = QString("/odd") + QChar(0x01) + "dir" + QChar(0xD800) + QChar(0xFFFF) + "/x";
        writePrimary(serialise(written));
        SettingsTexts read;
        QVERIFY(loadInto(read).ok());
        QCOMPARE(read.save_file_dir, QString("/odddir/x"));
        QCOMPARE(read.open_file_dir, written.open_file_dir);
    }

    // A lone surrogate on its own, with every other character fine, was written as U+FFFD.
    void dropsALoneSurrogate_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const QChar high(0xD83D), low(0xDE00);
        QTest::newRow("high at the end") << QString("/dir") + high << QString("/dir");
        QTest::newRow("low alone") << QString("/a") + low + "b" << QString("/ab");
        QTest::newRow("high before an ordinary character") << QString("/a") + high + "b" << QString("/ab");
        QTest::newRow("two highs, then a low") << QString(high) + high + low << QString(high) + low;
        QTest::newRow("whole pair kept") << QString("/x") + high + low << QString("/x") + high + low;
    }

    void dropsALoneSurrogate()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        SettingsTexts written = knownTexts();
        written.save_file_dir = text;
        writePrimary(serialise(written));
        SettingsTexts read;
        QVERIFY(loadInto(read).ok());
        QCOMPARE(read.save_file_dir, expected);
    }

    void readsOtherOrderCommentsAndForeignElements()
    {
        writePrimary("<!-- settings -->\n<OSTREL_RECORDER>\n"
                     "  some text\n"
                     "  <OPEN_FILE_DIR OPEN_FILE_DIR=\"/home/u/Aufnahmen \xc3\xa4\xc3\xb6\"/>\n"
                     "  <!-- the destinations -->\n"
                     "  <PLAY_HOST_2 HOST=\"10.0.0.7\"><child/></PLAY_HOST_2>\n"
                     "  <UNKNOWN PORT_NR=\"1\"/><record_port PORT_NR=\"7\"/>\n"
                     "  <TIMESTAMP TIMESTAMP=\"false\"/><LOOP LOOP=\"true\"/>\n"
                     "  <FREQUENCY FREQUENCY=\"25\"/><ACTIVE ACTIVE=\"false\"/>\n"
                     "  <PLAY_PORT_2 PORT_NR=\"5002\"/><PLAY_PORT_1 PORT_NR=\"5001\"/>\n"
                     "  <SAVE_FILE_DIR SAVE_FILE_DIR=\"/home/u/rec\" EXTRA=\"x\"/>\n"
                     "  <PLAY_HOST_1 HOST=\"localhost\"/><RECORD_PORT PORT_NR=\"05000\"/>\n"
                     "  <![CDATA[ <RECORD_PORT PORT_NR=\"9\"/> ]]>\n"
                     "</OSTREL_RECORDER>\n");
        SettingsTexts read;
        QVERIFY(loadInto(read).ok());
        QCOMPARE(allTexts(read), allTexts(knownTexts()));
    }

    void emptyRootChangesNothing()
    {
        writePrimary("<OSTREL_RECORDER/>");
        SettingsTexts read = knownTexts();
        const LoadResult result = loadInto(read);
        QVERIFY(result.ok());
        QCOMPARE(loadErrorMessage(result), QString());
        QCOMPARE(allTexts(read), allTexts(knownTexts()));
    }

    void lastOccurrenceWins()
    {
        writePrimary(wrap("<RECORD_PORT PORT_NR=\"1\"/><ACTIVE ACTIVE=\"true\"/>"
                          "<RECORD_PORT PORT_NR=\"2\"/><ACTIVE ACTIVE=\"false\"/>"));
        SettingsTexts read;
        QVERIFY(loadInto(read).ok());
        QCOMPARE(read.port_record_string, QString("2"));
        QCOMPARE(read.active_play_string, QString("false"));
    }

    void applyReportsTheChangedSetting()
    {
        QDomDocument doc;
        QVERIFY(bool(doc.setContent(QByteArray("<R><PLAY_PORT_2 X=\"1\"/><OPEN_FILE_DIR/><Foo/>text</R>"))));
        SettingsTexts texts = knownTexts();
        QDomNode node = doc.documentElement().firstChild();
        QCOMPARE(applyElement(texts, node.toElement()), std::optional<Setting>(Setting::PlayPort2));
        QCOMPARE(texts.port_play_string_2, QString()); // absent attribute gives the empty text
        node = node.nextSibling();
        QCOMPARE(applyElement(texts, node.toElement()), std::nullopt); // directory stays
        QCOMPARE(texts.open_file_dir, knownTexts().open_file_dir);
        node = node.nextSibling();
        QCOMPARE(applyElement(texts, node.toElement()), std::nullopt);
        node = node.nextSibling();
        QVERIFY(node.isText());
        QCOMPARE(applyElement(texts, node.toElement()), std::nullopt);
        QCOMPARE(applyElement(texts, QDomElement()), std::nullopt);
    }

    void portFromFile_data()
    {
        QTest::addColumn<QByteArray>("element");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");
        QTest::newRow("65535") << QByteArray("<RECORD_PORT PORT_NR=\"65535\"/>") << "65535" << 65535;
        QTest::newRow("0") << QByteArray("<RECORD_PORT PORT_NR=\"0\"/>") << "0" << 0;
        QTest::newRow("leading zero") << QByteArray("<RECORD_PORT PORT_NR=\"05000\"/>") << "05000" << 5000;
        QTest::newRow("65536") << QByteArray("<RECORD_PORT PORT_NR=\"65536\"/>") << "65536" << 0;
        QTest::newRow("-1") << QByteArray("<RECORD_PORT PORT_NR=\"-1\"/>") << "-1" << 0;
        QTest::newRow("letters") << QByteArray("<RECORD_PORT PORT_NR=\"abc\"/>") << "abc" << 0;
        QTest::newRow("hex") << QByteArray("<RECORD_PORT PORT_NR=\"0x10\"/>") << "0x10" << 0;
        QTest::newRow("fraction") << QByteArray("<RECORD_PORT PORT_NR=\"50.5\"/>") << "50.5" << 0;
        QTest::newRow("empty") << QByteArray("<RECORD_PORT PORT_NR=\"\"/>") << "" << 0;
        QTest::newRow("absent") << QByteArray("<RECORD_PORT/>") << "" << 0;
        // QString's number parsing, which the dialogs use as well, allows blanks around and a plus sign.
        QTest::newRow("blanks") << QByteArray("<RECORD_PORT PORT_NR=\" 5000 \"/>") << " 5000 " << 5000;
        QTest::newRow("plus") << QByteArray("<RECORD_PORT PORT_NR=\"+5000\"/>") << "+5000" << 5000;
    }
    void portFromFile()
    {
        QFETCH(QByteArray, element);
        QFETCH(QString, text);
        QFETCH(int, port);
        writePrimary(wrap(element));
        SettingsTexts read = knownTexts();
        QVERIFY(loadInto(read).ok());
        QCOMPARE(read.port_record_string, text);
        QCOMPARE(int(portFromText(read.port_record_string)), port);
    }

    void flagFromFile_data()
    {
        QTest::addColumn<QByteArray>("element");
        QTest::addColumn<bool>("flag");
        QTest::newRow("false") << QByteArray("<ACTIVE ACTIVE=\"false\"/>") << false;
        QTest::newRow("true") << QByteArray("<ACTIVE ACTIVE=\"true\"/>") << true;
        QTest::newRow("False") << QByteArray("<ACTIVE ACTIVE=\"False\"/>") << true;
        QTest::newRow("blank false") << QByteArray("<ACTIVE ACTIVE=\" false\"/>") << true;
        QTest::newRow("empty") << QByteArray("<ACTIVE ACTIVE=\"\"/>") << true;
        QTest::newRow("absent") << QByteArray("<ACTIVE/>") << true;
    }
    void flagFromFile()
    {
        QFETCH(QByteArray, element);
        QFETCH(bool, flag);
        writePrimary(wrap(element));
        SettingsTexts read = knownTexts();
        QVERIFY(loadInto(read).ok());
        QCOMPARE(flagFromText(read.active_play_string), flag);
    }

    void frequencyFromText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<float>("rate");
        QTest::newRow("25") << "25" << 25.0f;
        QTest::newRow("25.5") << "25.5" << 0.0f;
        QTest::newRow("letters") << "fast" << 0.0f;
        QTest::newRow("empty") << "" << 0.0f;
        QTest::newRow("negative") << "-3" << -3.0f;
        QTest::newRow("int max") << "2147483647" << 2147483647.0f;
        QTest::newRow("beyond int") << "2147483648" << 0.0f;
    }
    void frequencyFromText()
    {
        QFETCH(QString, text);
        QFETCH(float, rate);
        QCOMPARE(SettingsFile::frequencyFromText(text), rate);
    }

    void hostGoesThroughTheResolverInEightBitForm()
    {
        static QByteArray seen;
        const HostResolver stub = [](const char *host) -> unsigned int {
            seen = host;
            return seen == "localhost" ? 0x7f000001u : 0u;
        };
        QCOMPARE(hostFromText("localhost", stub), 0x7f000001u);
        QCOMPARE(hostFromText(QString::fromUtf8("h\xc3\xa9"), stub), 0u);
        QCOMPARE(seen, QByteArray("h\xe9"));
        QCOMPARE(hostFromText("localhost", nullptr), 0u);
    }

    void absentDirectoryAttributeKeepsTheDirectory()
    {
        writePrimary(wrap("<SAVE_FILE_DIR/><OPEN_FILE_DIR OPEN_FILE_DIR=\"\"/>"));
        SettingsTexts read;
        read.save_file_dir = "/home/u";
        read.open_file_dir = "/home/u";
        QVERIFY(loadInto(read).ok());
        QCOMPARE(read.save_file_dir, QString("/home/u"));
        QCOMPARE(read.open_file_dir, QString()); // present but empty is taken as it is
    }

    void fallbackOnlyWhenPrimaryIsMissing()
    {
        QDir().mkpath(QFileInfo(fallback()).path());
        QVERIFY(ostrel_test::writeFile(fallback(), wrap("<RECORD_PORT PORT_NR=\"1\"/>")));
        SettingsTexts read;
        LoadResult result = loadInto(read);
        QVERIFY(result.ok());
        QCOMPARE(result.path, fallback());
        QCOMPARE(read.port_record_string, QString("1"));

        writePrimary(wrap("<RECORD_PORT PORT_NR=\"2\"/>"));
        result = loadInto(read);
        QVERIFY(result.ok());
        QCOMPARE(result.path, primary());
        QCOMPARE(read.port_record_string, QString("2"));
    }

    void missingFiles()
    {
        SettingsTexts read = knownTexts();
        const LoadResult result = loadInto(read);
        QCOMPARE(result.error, LoadError::NotFound);
        QCOMPARE(loadErrorMessage(result), "Files not found :\n" + fallback());
        QCOMPARE(allTexts(read), allTexts(knownTexts()));
    }

    void unreadableFile()
    {
        writePrimary(wrap("<RECORD_PORT PORT_NR=\"1\"/>"));
        QVERIFY(::chmod(QFile::encodeName(primary()).constData(), 0) == 0);
        QFile probe(primary());
        if (probe.open(QIODevice::ReadOnly))
            QSKIP("this user reads files without read permission (root)");
        SettingsTexts read = knownTexts();
        const LoadResult result = loadInto(read);
        QCOMPARE(result.error, LoadError::OpenFailed);
        QCOMPARE(loadErrorMessage(result), "File " + primary() + " cannot be opened for reading.");
        QCOMPARE(allTexts(read), allTexts(knownTexts()));
    }

    // Opening a FIFO would block until a writer comes; a directory cannot be read.
    void notARegularFile_data()
    {
        QTest::addColumn<bool>("fifo");
        QTest::newRow("directory") << false;
        QTest::newRow("fifo") << true;
    }
    void notARegularFile()
    {
        QFETCH(bool, fifo);
        QDir().mkpath(QFileInfo(primary()).path());
        if (fifo)
            QVERIFY(::mkfifo(QFile::encodeName(primary()).constData(), 0600) == 0);
        else
            QVERIFY(QDir().mkpath(primary()));
        SettingsTexts read;
        const LoadResult result = loadInto(read);
        QCOMPARE(loadErrorMessage(result), "File " + primary() + " cannot be opened for reading.");
    }

    void malformedFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("where");
        QTest::addColumn<QString>("message");
        QTest::newRow("tag mismatch")
            << QByteArray("<OSTREL_RECORDER>\n<a>\n</OSTREL_RECORDER>") << "Line 3, Column 18"
            << "Opening and ending tag mismatch";
        QTest::newRow("empty file") << QByteArray() << "Line 1, Column 0"
                                    << "Premature end of document";
        QTest::newRow("two roots") << QByteArray("<OSTREL_RECORDER/><B/>") << "Line 1, Column 22"
                                   << "Extra content at end of document";
    }
    void malformedFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, where);
        QFETCH(QString, message);
        writePrimary(content);
        SettingsTexts read = knownTexts();
        const LoadResult result = loadInto(read);
        QCOMPARE(result.error, LoadError::ParseError);
        QCOMPARE(loadErrorMessage(result),
                 "Error while parsing " + primary() + " (" + where + ") :\n" + message + ".");
        QCOMPARE(allTexts(read), allTexts(knownTexts()));
    }

    void wrongRoot()
    {
        writePrimary("<SETTINGS><RECORD_PORT PORT_NR=\"1\"/></SETTINGS>");
        SettingsTexts read = knownTexts();
        const LoadResult result = loadInto(read);
        QCOMPARE(result.error, LoadError::WrongRoot);
        QCOMPARE(loadErrorMessage(result), "Error while parsing " + primary() +
                                               " :\nThe file doesn't look like a valid settings file.");
        QCOMPARE(allTexts(read), allTexts(knownTexts()));
    }

    // Hostile or broken files end quickly with a report instead of stalling the start for minutes.
    void hostileFilesAreRefusedQuickly_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("error");
        QByteArray deep = "<OSTREL_RECORDER>";
        for (int i = 0; i < 200000; ++i)
            deep += "<a>";
        QTest::newRow("deep nesting") << deep << int(LoadError::WrongRoot);
        QByteArray huge = "<OSTREL_RECORDER>";
        while (huge.size() <= MaxFileSize)
            huge += "<!-- padding padding padding padding padding padding padding padding -->\n";
        huge += "<RECORD_PORT PORT_NR=\"1\"/></OSTREL_RECORDER>";
        QTest::newRow("huge") << huge << int(LoadError::WrongRoot);
        QByteArray bomb =
            "<!DOCTYPE OSTREL_RECORDER [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">";
        const char *prev = "a";
        const char *names[] = {"b", "c", "d", "e", "f", "g"};
        for (const char *name : names) {
            bomb += QByteArray("<!ENTITY ") + name + " \"";
            for (int i = 0; i < 10; ++i)
                bomb += QByteArray("&") + prev + ";";
            bomb += "\">";
            prev = name;
        }
        bomb += "]><OSTREL_RECORDER><SAVE_FILE_DIR SAVE_FILE_DIR=\"&g;\"/></OSTREL_RECORDER>";
        QTest::newRow("entity expansion") << bomb << int(LoadError::ParseError);
    }
    void hostileFilesAreRefusedQuickly()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, error);
        writePrimary(content);
        SettingsTexts read = knownTexts();
        QElapsedTimer timer;
        timer.start();
        const LoadResult result = loadInto(read);
        QCOMPARE(int(result.error), error);
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed()) + " ms"));
        QCOMPARE(allTexts(read), allTexts(knownTexts()));
    }

    void directoryCannotBeCreated()
    {
        QVERIFY(ostrel_test::writeFile(dir.path() + "/plain", "x"));
        const QString configDir = dir.path() + "/plain/.NUV/Ostrel_Recorder";
        const WriteResult result = write(configDir, knownTexts());
        QCOMPARE(result.error, WriteError::DirectoryFailed);
        QCOMPARE(writeErrorMessage(result),
                 "Directory " + configDir + "/config doesn't exist and cannot be created.");
        QCOMPARE(ostrel_test::readFile(dir.path() + "/plain"), QByteArray("x"));
    }

    void fileCannotBeOpenedForWriting()
    {
        const QString configDir = dir.path() + "/cfg";
        QVERIFY(QDir().mkpath(settingsPath(configDir))); // the file name is taken by a directory
        const WriteResult result = write(configDir, knownTexts());
        QCOMPARE(result.error, WriteError::OpenForWriteFailed);
        QCOMPARE(writeErrorMessage(result),
                 "File " + settingsPath(configDir) + " cannot be opened for writing.");
        QVERIFY(QFileInfo(settingsPath(configDir)).isDir());
    }

    // A write that breaks off (disk full, quota) must not leave a truncated file behind.
    void oldFileSurvivesAFailedWrite()
    {
        const QString configDir = dir.path() + "/cfg";
        QVERIFY(write(configDir, knownTexts()).ok());
        const QByteArray before = ostrel_test::readFile(settingsPath(configDir));

        SettingsTexts bigger = knownTexts();
        bigger.save_file_dir = QString(4096, QLatin1Char('d'));
        rlimit old{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
        rlimit small = old;
        small.rlim_cur = 1024;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        const WriteResult result = write(configDir, bigger);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);

        QCOMPARE(writeErrorMessage(result),
                 "File " + settingsPath(configDir) + " cannot be opened for writing.");
        QCOMPARE(ostrel_test::readFile(settingsPath(configDir)), before);
        QCOMPARE(QDir(settingsDirectory(configDir)).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"current-settings.xml"});
    }

    void writingReplacesTheFile()
    {
        const QString configDir = dir.path() + "/cfg";
        QDir().mkpath(settingsDirectory(configDir));
        QVERIFY(ostrel_test::writeFile(settingsPath(configDir), QByteArray(10000, 'x')));
        QVERIFY(write(configDir, knownTexts()).ok());
        QCOMPARE(ostrel_test::readFile(settingsPath(configDir)), serialise(knownTexts()));
    }
};

OSTREL_TEST_GUILESS_MAIN(SettingsFileTest)
#include "tst_settings_file.moc"
