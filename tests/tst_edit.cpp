// Editing recordings with orf (cut, merge, record split into parts) as a user runs it, and the window's
// Save frames as.
#include "recording/part_file.h"
#include "test_support.h"
#include "window_test.h"

#include <QSlider>

#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace ostrel_test;

namespace {

// Frame n as the sender makes it, timed n/2 s after frame 0; with variant, a copy that differs.
QByteArray frame(qint64 n, bool stamped = true, int variant = 0)
{
    QByteArray f = "fr " + QByteArray::number(n) + "\n";
    if (stamped)
        f += "ts " + QByteArray::number(100 + n * 0.5, 'f', 1) + "\n";
    return f + "body " + QByteArray::number(n * 7 + variant) + "\n";
}

QByteArray frames(const QList<qint64> &numbers, bool stamped = true)
{
    QByteArray bytes;
    for (qint64 n : numbers)
        bytes += frame(n, stamped);
    return bytes;
}

QList<qint64> span(qint64 first, qint64 last, const QList<qint64> &without = {})
{
    QList<qint64> numbers;
    for (qint64 n = first; n <= last; ++n)
        if (!without.contains(n))
            numbers.append(n);
    return numbers;
}

} // namespace

class TestEdit : public WindowTest
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }

    int orf(const QStringList &arguments, QByteArray *err = nullptr)
    {
        return runToEnd(QStringLiteral(ORF_PATH), arguments, dir.path(), nullptr, err, dir.path());
    }

private slots:
    // Frames 1-20 without 11 and 12, after a line that is no frame: each range is exactly its frames' bytes.
    void cut_data()
    {
        QTest::addColumn<QStringList>("range");
        QTest::addColumn<QList<qint64>>("expected"); // empty: refused as a usage error
        QTest::newRow("first") << QStringList{"--until", "1"} << span(1, 1);
        QTest::newRow("last") << QStringList{"--from", "20"} << span(20, 20);
        QTest::newRow("middle, over lost frames")
            << QStringList{"--from", "9", "--until", "14"} << QList<qint64>{9, 10, 13, 14};
        QTest::newRow("partly past the end") << QStringList{"--from", "19", "--until", "99"} << span(19, 20);
        QTest::newRow("past the end") << QStringList{"--from", "21"} << QList<qint64>();
        QTest::newRow("only lost frames") << QStringList{"--from", "11", "--until", "12"} << QList<qint64>();
        QTest::newRow("seconds: first") << QStringList{"--duration", "0.5"} << span(1, 1);
        QTest::newRow("seconds: middle") << QStringList{"--start", "1", "--duration", "1.5"} << span(3, 5);
        QTest::newRow("seconds: last") << QStringList{"--start", "9.5"} << span(20, 20);
        QTest::newRow("seconds: past the end") << QStringList{"--start", "10"} << QList<qint64>();
        QTest::newRow("seconds without timestamps")
            << QStringList{"unstamped", "--start", "0"} << QList<qint64>();
    }
    void cut()
    {
        QFETCH(QStringList, range);
        QFETCH(QList<qint64>, expected);
        const QList<qint64> recorded = span(1, 20, {11, 12});
        QVERIFY(writeFile(path("in.orf"), "# before the first frame\n" + frames(recorded)));
        QVERIFY(writeFile(path("unstamped.orf"), frames(recorded, false)));
        const QString in = range.first() == "unstamped" ? path(range.takeFirst() + ".orf") : path("in.orf");
        QFile::remove(path("out.orf"));
        QByteArray err;
        QCOMPARE(orf(QStringList{"cut", in, "-o", path("out.orf")} + range, &err),
                 expected.isEmpty() ? 2 : 0);
        QCOMPARE(QFile::exists(path("out.orf")), !expected.isEmpty());
        if (!expected.isEmpty())
            QCOMPARE(readFile(path("out.orf")), frames(expected));
        QVERIFY2(expected.size() != 1 || err.contains("(1 frame, "), err); // the count agrees in number
        QVERIFY(!QFile::exists(path("out.orf.part")));
    }

    // Inputs a.orf, b.orf, ... as given: the merged recording's bytes (none when refused) and what is said.
    void merge_data()
    {
        QTest::addColumn<QList<QByteArray>>("inputs");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QString>("said");
        QByteArray differing = frames(span(1, 20, {5, 9, 16}));
        differing.replace(frame(7), frame(7, true, 1));
        QTest::newRow("parts, the later one first")
            << QList<QByteArray>{frames(span(11, 20)), frames(span(1, 10))} << frames(span(1, 20))
            << "orf: frames 1–20: 10 from a.orf, 10 from b.orf, none lost\n";
        QTest::newRow("overlapping, different losses, one differing frame")
            << QList<QByteArray>{frames(span(1, 20, {3, 4, 9, 15})), differing} << frames(span(1, 20, {9}))
            << "orf: frames 1–20: 16 from a.orf, 3 filled from b.orf, 1 still lost (frame 9)\n"
               "orf: 1 frame differs between inputs; the first input's copy kept\n";
        QByteArray restarted;
        for (qint64 n = 1; n <= 5; ++n)
            restarted += frame(n, true, 3);
        QTest::newRow("restarted numbering")
            << QList<QByteArray>{frames(span(1, 20)), restarted} << QByteArray()
            << "orf: b.orf cannot be merged: 5 of the 5 frames it shares with the inputs before it differ "
               "from theirs, from frame 1 on (its numbering starts over); nothing written\n";
        QTest::newRow("numbering that goes back in an input")
            << QList<QByteArray>{frames(span(1, 3)), frames({4, 5, 2})} << QByteArray()
            << "orf: b.orf cannot be merged: frame 2 follows frame 5 (its numbering starts over); nothing "
               "written\n";
    }
    void merge()
    {
        QFETCH(QList<QByteArray>, inputs);
        QFETCH(QByteArray, expected);
        QFETCH(QString, said);
        QStringList arguments{"merge"};
        for (int i = 0; i < inputs.size(); ++i) {
            arguments << QString(QChar('a' + i)) + ".orf";
            QVERIFY(writeFile(path(arguments.last()), inputs[i]));
        }
        QFile::remove(path("out.orf"));
        QByteArray err;
        QCOMPARE(orf(arguments << "-o"
                               << "out.orf",
                     &err),
                 expected.isEmpty() ? 1 : 0);
        QCOMPARE(QString::fromUtf8(err), said);
        QCOMPARE(readFile(path("out.orf")), expected);
        QVERIFY(!QFile::exists(path("out.orf.part")));
    }

    // A recording split by size or by time, frames of two datagrams among them, merged back byte for byte.
    void splitThenMerge_data()
    {
        QTest::addColumn<QStringList>("split");
        QTest::newRow("by size") << QStringList{"--split-size", "1K"};
        QTest::newRow("by duration") << QStringList{"--split-duration", "0.15"};
    }
    void splitThenMerge()
    {
        QFETCH(QStringList, split);
        QDir(dir.path()).removeRecursively();
        QVERIFY(QDir().mkpath(dir.path()));
        QList<QByteArray> datagrams;
        for (qint64 n = 1; n <= 150; ++n) {
            const QByteArray f = frame(n);
            const qsizetype cut = n % 4 == 0 ? f.indexOf('\n') + 1 : f.size(); // every fourth in two
            datagrams << f.left(cut);
            if (cut < f.size())
                datagrams << f.mid(cut);
        }
        const quint16 port = freeUdpPort();
        QProcess recorder;
        recorder.start(ORF_PATH, QStringList{"record", "--port", QString::number(port), "-o", path("run.orf"),
                                             "--count", QString::number(datagrams.size())} +
                                     split);
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += recorder.readAllStandardError()).contains("port"), 10000);
        // A datagram every few milliseconds, so that the time limit too is passed more than once.
        QTimer sender;
        qsizetype next = 0;
        connect(&sender, &QTimer::timeout, [&] {
            if (next < datagrams.size())
                sendUdp(port, datagrams[next++]);
        });
        sender.start(4);
        QTRY_VERIFY_WITH_TIMEOUT(recorder.state() == QProcess::NotRunning, 20000);
        QCOMPARE(recorder.exitCode(), 0);
        const QStringList parts = QDir(dir.path()).entryList({"run-*"}, QDir::Files, QDir::Name);
        QVERIFY2(parts.size() >= 3 && parts.first() == "run-0001.orf" && !parts.last().endsWith(".part"),
                 qPrintable(parts.join(' ')));
        QCOMPARE(orf(QStringList{"merge"} + parts + QStringList{"-o", "run.orf"}), 0);
        QCOMPARE(readFile(path("run.orf")), datagrams.join());
    }

    // Room set aside on the disk for more than is written is given back when the part is finished: the file
    // takes no more of the disk than its bytes.
    void roomSetAsideIsGivenBack()
    {
        const QString file = path("reserved.orf");
        QString why;
        FILE *part = part_file::create(file, false, &why);
        QVERIFY2(part, qPrintable(why));
        part_file::reserve(part, 8 << 20);
        QVERIFY(std::fputs("fr 1\n", part) >= 0);
        QVERIFY2(part_file::finish(part, file, &why), qPrintable(why));
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(file).constData(), &st) == 0);
        QCOMPARE(qint64(st.st_size), qint64(5));
        QVERIFY2(qint64(st.st_blocks) * 512 <= 64 * 1024, qPrintable(QString::number(st.st_blocks)));
    }

    // File -> Save frames as: enabled once a recording is opened, prefilled with the slider's frame and the
    // last one; it writes what orf cut writes for the same range.
    void windowSavesFramesAsCutDoes()
    {
        newWindow();
        QVERIFY(!action("actionSaveFrames")->isEnabled());
        QVERIFY(writeFile(path("in.orf"), "# before the first frame\n" + frames(span(1, 20, {11, 12}))));
        answerer->queueFile(path("in.orf"));
        window->on_actionOpen_triggered();
        QVERIFY(action("actionSaveFrames")->isEnabled());
        child<QSlider>("playSlider")->setValue(9);
        QStringList shown;
        answerer->queueConfirm({"le_from", "9", "le_until", "14", "le_file", path("saved.orf")}, &shown);
        action("actionSaveFrames")->trigger();
        QCOMPARE(shown.mid(0, 2), (QStringList{"9", "20"}));
        QCOMPARE(orf({"cut", path("in.orf"), "-o", path("cut.orf"), "--from", "9", "--until", "14"}), 0);
        QCOMPARE(readFile(path("saved.orf")), readFile(path("cut.orf")));
        QCOMPARE(readFile(path("saved.orf")), frames({9, 10, 13, 14}));
        QVERIFY(!QFile::exists(path("saved.orf.part")));
    }
};

OSTREL_TEST_MAIN(TestEdit)
#include "tst_edit.moc"
