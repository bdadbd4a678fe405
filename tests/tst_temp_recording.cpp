// The temporary recording lives in a directory every user can write to: it is opened with care, and saving
// it never loses it or the file it replaces.
#include "record/temp_recording.h"
#include "test_support.h"

#include <sys/stat.h>
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

    // The stream is flushed first. On one file system the recording is moved, not copied: the same file,
    // readable as any file of the user's. To another file system it is copied; a copy that breaks off (a
    // full disk, a quota) or is cancelled leaves the file it was to replace whole, and the recording kept. A
    // save onto the recording itself is refused before it could truncate it.
    void saveMovesOrCopiesAndLosesNothing()
    {
        const QString name = dir.filePath("rec.orf"), target = dir.filePath("saved.orf");
        const QByteArray recording = QByteArray("fr 1\nbody\n").repeated(1000);
        auto record = [&] {
            FILE *f = temp_recording::open(name);
            fwrite(recording.constData(), 1, size_t(recording.size()), f); // still buffered
            return f;
        };
        FILE *f = record();
        QVERIFY(writeFile(target, "old recording"));
        QCOMPARE(temp_recording::save(f, name, name), temp_recording::Saved::Failed);
        struct stat before = {}, after = {};
        QVERIFY(::stat(qPrintable(name), &before) == 0);
        QCOMPARE(temp_recording::save(f, name, target), temp_recording::Saved::Moved);
        fclose(f);
        QCOMPARE(readFile(target), recording);
        QVERIFY(!QFile::exists(name) && ::stat(qPrintable(target), &after) == 0 &&
                after.st_ino == before.st_ino);
        QVERIFY(QFileInfo(target).permissions() & QFile::ReadOwner);

        QTemporaryDir other(QDir::rootPath() + "dev/shm/ostrel-XXXXXX");
        struct stat here, there;
        if (!other.isValid() || ::stat(qPrintable(dir.path()), &here) ||
            ::stat(qPrintable(other.path()), &there) || here.st_dev == there.st_dev)
            QSKIP("no second file system to copy to");
        const QString copy = other.filePath("copy.orf");
        f = record();
        QVERIFY(writeFile(copy, "old recording"));
        temp_recording::Saved saved = temp_recording::Saved::Copied;
        fflush(f); // the limit is for the copy only
        withFileSizeLimit(4096, [&] { saved = temp_recording::save(f, name, copy); });
        QCOMPARE(saved, temp_recording::Saved::Failed);
        QCOMPARE(temp_recording::save(f, name, copy, nullptr, [](qint64, qint64) { return false; }),
                 temp_recording::Saved::Cancelled);
        QCOMPARE(readFile(copy), QByteArray("old recording"));
        QCOMPARE(temp_recording::save(f, name, copy), temp_recording::Saved::Copied);
        QCOMPARE(readFile(copy), recording);
        QCOMPARE(readFile(name), recording);
        QCOMPARE(QDir(other.path()).entryList(QDir::Files | QDir::Hidden), QStringList("copy.orf"));
        fclose(f);
    }
};

OSTREL_TEST_GUILESS_MAIN(TestTempRecording)
#include "tst_temp_recording.moc"
