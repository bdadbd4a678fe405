// Editing recordings with orf (cut, merge, record split into parts) as a user runs it, and the window's
// Save frames as.
#include "test_support.h"

#include <QProcess>
#include <QTemporaryDir>

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

class TestEdit : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }

    int orf(const QStringList &arguments, QByteArray *err = nullptr, QByteArray *out = nullptr)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir.path());
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(dir.path());
        p.start(QStringLiteral(ORF_PATH), arguments);
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        if (err)
            *err = p.readAllStandardError();
        if (out)
            *out = p.readAllStandardOutput();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

private slots:
    // Frames 1-20 without 11 and 12, after a line that is no frame: each range is exactly its frames' bytes.
    void cut_data()
    {
        QTest::addColumn<QStringList>("range");
        QTest::addColumn<QList<qint64>>("expected"); // empty: refused as a usage error
        QTest::newRow("first") << QStringList{"--until", "1"} << span(1, 1);
        QTest::newRow("last") << QStringList{"--from", "20"} << span(20, 20);
        QTest::newRow("middle, over lost frames") << QStringList{"--from", "9", "--until", "14"}
                                                  << QList<qint64>{9, 10, 13, 14};
        QTest::newRow("partly past the end") << QStringList{"--from", "19", "--until", "99"} << span(19, 20);
        QTest::newRow("past the end") << QStringList{"--from", "21"} << QList<qint64>();
        QTest::newRow("only lost frames") << QStringList{"--from", "11", "--until", "12"} << QList<qint64>();
        QTest::newRow("seconds: first") << QStringList{"--duration", "0.5"} << span(1, 1);
        QTest::newRow("seconds: middle") << QStringList{"--start", "1", "--duration", "1.5"} << span(3, 5);
        QTest::newRow("seconds: last") << QStringList{"--start", "9.5"} << span(20, 20);
        QTest::newRow("seconds: past the end") << QStringList{"--start", "10"} << QList<qint64>();
        QTest::newRow("seconds without timestamps") << QStringList{"unstamped", "--start", "0"} << QList<qint64>();
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
        QCOMPARE(orf(QStringList{"cut", in, "-o", path("out.orf")} + range, &err), expected.isEmpty() ? 2 : 0);
        QCOMPARE(QFile::exists(path("out.orf")), !expected.isEmpty());
        if (!expected.isEmpty())
            QCOMPARE(readFile(path("out.orf")), frames(expected));
        QVERIFY(!QFile::exists(path("out.orf.part")));
    }
};

OSTREL_TEST_GUILESS_MAIN(TestEdit)
#include "tst_edit.moc"
