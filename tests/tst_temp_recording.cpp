// The temporary recording lives in a directory every user can write to: it is opened with care, and saving
// it never loses it or the file it replaces.
#include "temp_recording.h"
#include "test_support.h"

#include <unistd.h>

using namespace ostrel_test;

class TestTempRecording : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void refusesWhatIsNotItsOwnPlainFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("symbolic link") << "link";
        QTest::newRow("second hard link") << "hardlink";
        QTest::newRow("another user's file") << "foreign";
        QTest::newRow("locked by a running recorder") << "locked";
    }
    void refusesWhatIsNotItsOwnPlainFile()
    {
        QFETCH(QString, kind);
        const QString victim = dir.filePath("victim-" + kind), name = dir.filePath("temp-" + kind);
        QVERIFY(writeFile(victim, "precious"));
        FILE *first = nullptr;
        if (kind == "link")
            QVERIFY(QFile::link(victim, name));
        else if (kind == "hardlink")
            QVERIFY(::link(QFile::encodeName(victim).constData(), QFile::encodeName(name).constData()) == 0);
        else if (kind == "foreign" && (geteuid() != 0 || !QFile::copy(victim, name) ||
                                       ::chown(QFile::encodeName(name).constData(), 65534, 65534) != 0))
            QSKIP("only root can give a file to another user");
        else if (kind == "locked")
            QVERIFY((first = temp_recording::open(name)) && fputs("precious", first) >= 0 && !fflush(first));
        QString why;
        QVERIFY(temp_recording::open(name, &why) == nullptr && !why.isEmpty());
        QCOMPARE(readFile(name), QByteArray("precious"));
        if (first)
            fclose(first);
    }

    // The stream is flushed before the copy. A copy that breaks off (a full disk, a quota) leaves the file
    // it was to replace whole; a copy onto the recording itself is refused before it could truncate it.
    void aFailedSaveLosesNothing()
    {
        const QString name = dir.filePath("rec.orf"), target = dir.filePath("saved.orf");
        FILE *f = temp_recording::open(name);
        QVERIFY(f);
        const QByteArray recording = QByteArray("fr 1\nbody\n").repeated(1000);
        fwrite(recording.constData(), 1, size_t(recording.size()), f); // still buffered
        QVERIFY(temp_recording::save(f, name, target));
        QCOMPARE(readFile(target), recording);
        QVERIFY(writeFile(target, "old recording"));
        bool saved = true;
        withFileSizeLimit(4096, [&] { saved = temp_recording::save(f, name, target); });
        QVERIFY(!saved);
        QCOMPARE(readFile(target), QByteArray("old recording"));
        QVERIFY(!temp_recording::save(f, name, dir.filePath("./rec.orf")));
        QCOMPARE(readFile(name), recording);
        QCOMPARE(QDir(dir.path()).entryList({"*.orf*"}, QDir::Files | QDir::Hidden),
                 QStringList({"rec.orf", "saved.orf"}));
        fclose(f);
    }
};

OSTREL_TEST_GUILESS_MAIN(TestTempRecording)
#include "tst_temp_recording.moc"
