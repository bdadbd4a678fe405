// The frame scanner over real files: numbering checks, lost frames, the index it builds, the line rules
// at its chunk boundaries, and its agreement with the line-by-line reading of playback.
#include "frame_lines.h"
#include "frame_scanner.h"
#include "reference_scan.h"
#include "test_support.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTemporaryDir>

using Status = FrameScanner::Status;
Q_DECLARE_METATYPE(FrameScanner::Status)

namespace {

QStringList toList(const FrameIndex &index)
{
    QStringList texts;
    for (qsizetype k = 0; k < index.size(); ++k) {
        QString text;
        index.text(k, &text);
        texts.append(text);
    }
    return texts;
}

QStringList withEmpty(QStringList entries, int index, int count)
{
    for (int i = 0; i < count; ++i)
        entries.insert(index, QString());
    return entries;
}

} // namespace

class TestFrameScanner : public QObject
{
    Q_OBJECT

private slots:
    void scan_data();
    void scan();
    void lostFramesText_data();
    void lostFramesText();
    void unopenableFile();
    void defaultChunkBoundary_data();
    void defaultChunkBoundary();
    void agreesWithLineReading();

private:
    QString write(const QByteArray &content);
    QTemporaryDir m_dir;
    int m_files = 0;
};

QString TestFrameScanner::write(const QByteArray &content)
{
    const QString path = m_dir.filePath(QStringLiteral("rec%1.orf").arg(++m_files));
    if (!ostrel_test::writeFile(path, content))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TestFrameScanner::scan_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Status>("status");
    QTest::addColumn<quint32>("first");
    QTest::addColumn<quint32>("last");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("lost");

    const QStringList none;
    QTest::newRow("empty file") << QByteArray() << Status::Ok << 0u << 0u << QStringList{""} << "";
    QTest::newRow("one frame") << QByteArray("fr 17\nts 1.0\n1 2 3\n") << Status::Ok << 17u << 17u
                               << QStringList{"fr 17\nts 1.0\n1 2 3\n"} << "";
    QTest::newRow("gap 5 6 8 9") << QByteArray("fr 5\na\nfr 6\nb\nfr 8\nc\nfr 9\nd\n") << Status::Ok << 5u
                                 << 9u << QStringList{"fr 5\na\n", "fr 6\nb\n", "", "fr 8\nc\n", "fr 9\nd\n"}
                                 << "Lost frame number 1:  7";
    QTest::newRow("lost 5 6 9") << QByteArray("fr 4\nfr 7\nfr 8\nfr 10\n") << Status::Ok << 4u << 10u
                                << QStringList{"fr 4\n", "", "", "fr 7\n", "fr 8\n", "", "fr 10\n"}
                                << "Lost frame number 3:  5 6 9";
    QTest::newRow("twelve lost") << QByteArray("fr 1\nfr 14\n") << Status::Ok << 1u << 14u
                                 << withEmpty({"fr 1\n", "fr 14\n"}, 1, 12)
                                 << "Lost frame number 12:  2 3 4 5 6 7 8 9 10 11...";
    QTest::newRow("ten lost") << QByteArray("fr 1\nfr 12\n") << Status::Ok << 1u << 12u
                              << withEmpty({"fr 1\n", "fr 12\n"}, 1, 10)
                              << "Lost frame number 10:  2 3 4 5 6 7 8 9 10 11";
    QTest::newRow("repeated number") << QByteArray("fr 7\na\nfr 8\nb\nfr 8\nc\nfr 9\n")
                                     << Status::BadNumbering << 0u << 0u
                                     << QStringList{"fr 7\na\n", "fr 8\nb\n"} << "";
    QTest::newRow("decreasing number")
        << QByteArray("fr 7\nfr 6\n") << Status::BadNumbering << 0u << 0u << QStringList{"fr 7\n"} << "";
    QTest::newRow("negative number") << QByteArray("fr 1\nfr -1\n") << Status::BadNumbering << 0u << 0u
                                     << QStringList{"fr 1\n"} << "";
    QTest::newRow("fr x first") << QByteArray("fr x\nfr 1\n") << Status::FirstNumberInvalid << 0u << 0u
                                << none << "";
    QTest::newRow("fr x later") << QByteArray("fr 3\nfr x\nfr 4\n") << Status::BadNumbering << 0u << 0u
                                << QStringList{"fr 3\n"} << "";
    QTest::newRow("two spaces: empty field")
        << QByteArray("fr  3\n") << Status::FirstNumberInvalid << 0u << 0u << none << "";
    QTest::newRow("field up to the second space") << QByteArray("fr 3 x y\nfr 4\t\r\n") << Status::Ok << 3u
                                                  << 4u << QStringList{"fr 3 x y\n", "fr 4\t\n"} << "";
    QTest::newRow("first line not a frame") << QByteArray("hello\nbody\nfr 1\nb\n") << Status::Ok << 0u << 1u
                                            << QStringList{"body\n", "fr 1\nb\n"} << "";
    QTest::newRow("first line not a frame, first frame 4")
        << QByteArray("hello\nx\nfr 4\n") << Status::Ok << 0u << 4u << withEmpty({"x\n", "fr 4\n"}, 1, 3)
        << "Lost frame number 3:  1 2 3";
    QTest::newRow("first line not a frame, first frame 0")
        << QByteArray("hello\nfr 0\n") << Status::BadNumbering << 0u << 0u << QStringList{""} << "";
    QTest::newRow("no frame line at all")
        << QByteArray("a\nb\nc") << Status::Ok << 0u << 0u << QStringList{"b\nc"} << "";
    QTest::newRow("leading space and upper case are body")
        << QByteArray("fr 2\n fr 3\nFR 3\nfr3\nfr 3\n") << Status::Ok << 2u << 3u
        << QStringList{"fr 2\n fr 3\nFR 3\nfr3\n", "fr 3\n"} << "";
    QTest::newRow("comments and timestamps kept")
        << QByteArray("fr 1\nts 0.5\n# note\n  # indented\nbody\nfr 2\n") << Status::Ok << 1u << 2u
        << QStringList{"fr 1\nts 0.5\n# note\n  # indented\nbody\n", "fr 2\n"} << "";
    QTest::newRow("CR LF reads as LF") << QByteArray("fr 1\r\nts 2\r\nbody\r\nfr 2\r\nx") << Status::Ok << 1u
                                       << 2u << QStringList{"fr 1\nts 2\nbody\n", "fr 2\nx"} << "";
    QTest::newRow("other CRs kept") << QByteArray("fr 1\nA\rB\n\r\r\nC\r") << Status::Ok << 1u << 1u
                                    << QStringList{"fr 1\nA\rB\n\r\nC\r"} << "";
    QTest::newRow("NUL cuts a body line") << QByteArray("fr 1\nab\0cd\nfr 2\n", 16) << Status::Ok << 1u << 2u
                                          << QStringList{"fr 1\nab", "fr 2\n"} << "";
    QTest::newRow("NUL cuts a frame line") << QByteArray("fr 1\nfr 2\0junk\r\nx\n", 18) << Status::Ok << 1u
                                           << 2u << QStringList{"fr 1\n", "fr 2x\n"} << "";
    QTest::newRow("NUL inside the prefix") << QByteArray("fr 1\nfr\0 2\nfr 2\n", 16) << Status::Ok << 1u << 2u
                                           << QStringList{"fr 1\nfr", "fr 2\n"} << "";
    QTest::newRow("NUL at a line's start")
        << QByteArray("fr 1\n\0\r\nz\n", 10) << Status::Ok << 1u << 1u << QStringList{"fr 1\nz\n"} << "";
    QTest::newRow("up to 2^31-1") << QByteArray("fr 2147483646\nfr 2147483647\n") << Status::Ok << 2147483646u
                                  << 2147483647u << QStringList{"fr 2147483646\n", "fr 2147483647\n"} << "";
    QTest::newRow("2^31 after 2^31-1") << QByteArray("fr 2147483647\nfr 2147483648\n") << Status::BadNumbering
                                       << 0u << 0u << QStringList{"fr 2147483647\n"} << "";
    QTest::newRow("2^31 first") << QByteArray("fr 2147483648\nfr 1\n") << Status::FirstNumberInvalid << 0u
                                << 0u << none << "";
    QTest::newRow("gap beyond the index limit") << QByteArray("fr 0\nfr 134217728\n") << Status::BadNumbering
                                                << 0u << 0u << QStringList{"fr 0\n"} << "";
    QTest::newRow("gap of nearly 2^31") << QByteArray("fr 1\nfr 2147483647\n") << Status::BadNumbering << 0u
                                        << 0u << QStringList{"fr 1\n"} << "";
    QTest::newRow("long lines") << (QByteArray("fr 1\n") + QByteArray(100, 'x') + "\r\nfr 2\n") << Status::Ok
                                << 1u << 2u << QStringList{"fr 1\n" + QString(100, 'x') + "\n", "fr 2\n"}
                                << "";
}

void TestFrameScanner::scan()
{
    QFETCH(QByteArray, content);
    QFETCH(Status, status);
    QFETCH(quint32, first);
    QFETCH(quint32, last);
    QFETCH(QStringList, entries);
    QFETCH(QString, lost);

    const QString path = write(content);
    // Tiny chunks put every line end, CR LF pair and prefix across a chunk boundary somewhere.
    for (const qsizetype chunk : {qsizetype(1), qsizetype(2), qsizetype(3), qsizetype(5), qsizetype(7),
                                  FrameScanner::kDefaultChunkSize}) {
        FrameIndex frames;
        const FrameScanner::Result r = FrameScanner::scan(path, frames, chunk);
        const QByteArray where = "chunk size " + QByteArray::number(chunk);
        QVERIFY2(r.status == status, where);
        QVERIFY2(r.first_frame == first, where);
        QVERIFY2(r.last_frame == last, where);
        QVERIFY2(toList(frames) == entries, where);
        QVERIFY2(r.lostFramesText() == lost, where);
    }
}

void TestFrameScanner::lostFramesText_data()
{
    QTest::addColumn<qint64>("count");
    QTest::addColumn<QList<int>>("numbers");
    QTest::addColumn<QString>("text");
    QTest::newRow("none") << qint64(0) << QList<int>{} << "";
    QTest::newRow("three") << qint64(3) << QList<int>{5, 6, 9} << "Lost frame number 3:  5 6 9";
    QTest::newRow("more than ten") << qint64(5000000000) << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}
                                   << "Lost frame number 5000000000:  1 2 3 4 5 6 7 8 9 10...";
}

void TestFrameScanner::lostFramesText()
{
    QFETCH(qint64, count);
    QFETCH(QList<int>, numbers);
    QFETCH(QString, text);
    FrameScanner::Result r;
    r.lost_count = count;
    r.lost_numbers.assign(numbers.begin(), numbers.end());
    QCOMPARE(r.lostFramesText(), text);
}

void TestFrameScanner::unopenableFile()
{
    FrameIndex frames;
    const FrameScanner::Result r = FrameScanner::scan(m_dir.filePath("missing.orf"), frames);
    QCOMPARE(r.status, Status::OpenFailed);
    QCOMPARE(r.first_frame, 0u);
    QCOMPARE(r.last_frame, 0u);
    QCOMPARE(frames.size(), 0);
}

void TestFrameScanner::defaultChunkBoundary_data()
{
    QTest::addColumn<int>("before");        // bytes of the tail that lie before the chunk boundary
    QTest::addColumn<QByteArray>("tail");   // the bytes around the boundary
    QTest::addColumn<QString>("bodyEnd");   // how the filler line reads
    QTest::addColumn<QStringList>("after"); // entries after the first
    QTest::newRow("CR | LF") << 2 << QByteArray("a\r\nfr 2\n") << "a\n" << QStringList{"fr 2\n"};
    QTest::newRow("CR LF | fr") << 2 << QByteArray("\r\nfr 2\n") << "\n" << QStringList{"fr 2\n"};
    QTest::newRow("LF | fr") << 1 << QByteArray("\nfr 2\nz") << "\n" << QStringList{"fr 2\nz"};
    QTest::newRow("f | r") << 2 << QByteArray("\nfr 2\n") << "\n" << QStringList{"fr 2\n"};
    QTest::newRow("fr | space") << 3 << QByteArray("\nfr 2\r\n") << "\n" << QStringList{"fr 2\n"};
    QTest::newRow("NUL | LF") << 2 << QByteArray("a\0\nfr 2\n", 8) << "a" << QStringList{"fr 2\n"};
}

void TestFrameScanner::defaultChunkBoundary()
{
    QFETCH(int, before);
    QFETCH(QByteArray, tail);
    QFETCH(QString, bodyEnd);
    QFETCH(QStringList, after);
    const QByteArray head("fr 1\n");
    const qsizetype filler = FrameScanner::kDefaultChunkSize - before - head.size();
    const QByteArray content = head + QByteArray(filler, 'x') + tail;
    FrameIndex frames;
    const FrameScanner::Result r = FrameScanner::scan(write(content), frames);
    QCOMPARE(r.status, Status::Ok);
    QCOMPARE(toList(frames), QStringList{"fr 1\n" + QString(filler, 'x') + bodyEnd} + after);
}

// Random recordings with mixed line ends, stray CRs and NULs: the chunked scanner must build exactly what
// reading the file line by line builds.
void TestFrameScanner::agreesWithLineReading()
{
    QRandomGenerator random(20240611);
    const char *const ends[] = {"\n", "\r\n", "\r\r\n", "\r", ""};
    int outcomes[5] = {};
    for (int round = 0; round < 300; ++round) {
        QByteArray content;
        int number = random.bounded(3);
        const int lines = random.bounded(40);
        for (int i = 0; i < lines; ++i) {
            QByteArray line;
            switch (random.bounded(6)) {
            case 0:
                number += random.bounded(1, 4);
                line = "fr " + QByteArray::number(number);
                break;
            case 1:
                line = "ts " + QByteArray::number(random.bounded(1000) / 10.0);
                break;
            case 2:
                line = "# c";
                break;
            case 3: // now and then a number that breaks the numbering
                line = random.bounded(4) ? "fr x" : "fr " + QByteArray::number(number);
                line = random.bounded(8) ? "fr " + QByteArray::number(number += random.bounded(1, 4)) : line;
                break;
            default:
                line = QByteArray(random.bounded(12), 'b');
            }
            if (random.bounded(10) == 0)
                line.insert(random.bounded(line.size() + 1), '\0');
            content += line + ends[i + 1 == lines ? random.bounded(5) : random.bounded(3)];
        }
        QBuffer reference(&content);
        reference.open(QIODevice::ReadOnly | QIODevice::Text);
        const ReferenceScan model = referenceScan(reference);
        const FrameScanner::Result &want = model.result;
        const std::vector<QString> &expected = model.frames;

        const qsizetype chunk = 1 + random.bounded(9);
        FrameIndex frames;
        const FrameScanner::Result got = FrameScanner::scan(write(content), frames, chunk);
        const QByteArray where = "round " + QByteArray::number(round) + ": " + content.toPercentEncoding();
        QVERIFY2(got.status == want.status, where);
        QVERIFY2(got.first_frame == want.first_frame && got.last_frame == want.last_frame, where);
        QVERIFY2(got.lost_count == want.lost_count && got.lost_numbers == want.lost_numbers, where);
        QVERIFY2(toList(frames) == QStringList(expected.begin(), expected.end()), where);
        ++outcomes[int(got.status)];
    }
    // Both playable and broken numberings must have been exercised.
    QVERIFY(outcomes[0] > 50 && outcomes[3] > 50);
}

OSTREL_TEST_GUILESS_MAIN(TestFrameScanner)
#include "tst_frame_scanner.moc"
