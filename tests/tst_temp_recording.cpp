// Opening the temporary recording safely in a shared directory, and saving it without losing anything.
#include "temp_recording.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

using namespace ostrel_test;

class TestTempRecording : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }

private slots:
    void opensOwnerOnlyAndTruncates()
    {
        const QString name = path("own.orf");
        QVERIFY(writeFile(name, "old content"));
        QVERIFY(QFile::setPermissions(name, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        FILE *f = temp_recording::open(name);
        QVERIFY(f);
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(name).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
        QCOMPARE(st.st_size, off_t(0));
        fclose(f);
    }

    void refusesWhatIsNotOurPlainFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("symbolic link") << "link";
        QTest::newRow("second hard link") << "hardlink";
        QTest::newRow("directory") << "directory";
        QTest::newRow("another user's file") << "foreign";
    }

    void refusesWhatIsNotOurPlainFile()
    {
        QFETCH(QString, kind);
        const QString victim = path("victim-" + kind);
        const QString name = path("temp-" + kind + ".orf");
        QVERIFY(writeFile(victim, "precious"));
        if (kind == "link") {
            QVERIFY(QFile::link(victim, name));
        } else if (kind == "hardlink") {
            QVERIFY(::link(QFile::encodeName(victim).constData(), QFile::encodeName(name).constData()) == 0);
        } else if (kind == "directory") {
            QVERIFY(QDir().mkdir(name));
        } else {
            if (geteuid() != 0)
                QSKIP("only root can give a file to another user");
            QVERIFY(writeFile(name, "precious"));
            QVERIFY(::chown(QFile::encodeName(name).constData(), 65534, 65534) == 0);
        }
        QString why;
        QVERIFY(temp_recording::open(name, &why) == nullptr);
        QVERIFY(!why.isEmpty());
        QCOMPARE(readFile(victim), QByteArray("precious"));
    }

    void aSecondRecorderCannotTruncateTheFirst()
    {
        const QString name = path("shared.orf");
        FILE *first = temp_recording::open(name);
        QVERIFY(first);
        fputs("fr 1\n", first);
        fflush(first);
        QString why;
        QVERIFY(temp_recording::open(name, &why) == nullptr);
        QVERIFY(why.contains("in use"));
        QCOMPARE(readFile(name), QByteArray("fr 1\n"));
        fclose(first);
        FILE *again = temp_recording::open(name);
        QVERIFY(again);
        fclose(again);
    }

    void saveFlushesAndCopiesEverything()
    {
        const QString name = path("rec.orf");
        FILE *f = temp_recording::open(name);
        QVERIFY(f);
        QByteArray payload;
        for (int i = 0; i < 1000; ++i)
            payload += "fr " + QByteArray::number(i) + QByteArray("\nbody\0with nul\n", 15);
        fwrite(payload.constData(), 1, size_t(payload.size()), f); // still buffered
        QVERIFY(temp_recording::save(f, name, path("saved.orf")));
        QCOMPARE(readFile(path("saved.orf")), payload);
        fclose(f);
    }

    void aFailedSaveKeepsTheOldFile()
    {
        const QString name = path("rec2.orf");
        FILE *f = temp_recording::open(name);
        QVERIFY(f);
        fputs("fr 1\n", f);
        QString why;
        QVERIFY(!temp_recording::save(f, name, path("no/such/dir/x.orf"), &why));
        QVERIFY(!why.isEmpty());
        // The existing target is replaced only by a complete copy.
        QVERIFY(writeFile(path("old.orf"), "old recording"));
        QVERIFY(temp_recording::save(f, name, path("old.orf")));
        QCOMPARE(readFile(path("old.orf")), QByteArray("fr 1\n"));
        fclose(f);
    }

    void savingOntoItselfIsRefused()
    {
        const QString name = path("self.orf");
        FILE *f = temp_recording::open(name);
        QVERIFY(f);
        fputs("fr 1\nkeep me\n", f);
        QString why;
        QVERIFY(!temp_recording::save(f, name, name, &why));
        QVERIFY(!temp_recording::save(f, name, path("./self.orf"), &why));
        QCOMPARE(readFile(name), QByteArray("fr 1\nkeep me\n"));
        fclose(f);
    }
};

OSTREL_TEST_GUILESS_MAIN(TestTempRecording)
#include "tst_temp_recording.moc"
