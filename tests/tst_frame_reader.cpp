// Reading a recording frame by frame for playback, on real files opened as the window opens them.
#include "frame_lines.h"
#include "frame_reader.h"
#include "frame_scanner.h"
#include "test_support.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>

namespace {

// The reader's state as the window holds it.
struct Playback
{
    QFile file;
    QString display_text;
    QString next_frame_line;
    int current_frame = 0;
    bool slider_moved = false;
    bool loop = false;
    bool frame_line_read = false;

    int read(double *timestamp)
    {
        return FrameReader::readNextFrame(file, display_text, next_frame_line, current_frame, slider_moved,
                                          timestamp, loop, &frame_line_read);
    }
    int read()
    {
        double ts = 0.0;
        return read(&ts);
    }
    int prime()
    {
        double ts = FrameReader::kAtStart;
        return read(&ts);
    }
};

} // namespace

class TestFrameReader : public QObject
{
    Q_OBJECT

private slots:
    void frameOnTheWire_data();
    void frameOnTheWire();
    void timestampsOfTheFirstTwoFrames();
    void endOfFile();
    void endOfFileLooping();
    void seek_data();
    void seek();
    void frameNumberNotNumeric();
    void readLineRule_data();
    void readLineRule();
    void secondFieldAndNumbers_data();
    void secondFieldAndNumbers();
    void agreesWithTheScanner();

private:
    void open(Playback &p, const QByteArray &content);
    QTemporaryDir m_dir;
    int m_files = 0;
};

void TestFrameReader::open(Playback &p, const QByteArray &content)
{
    const QString path = m_dir.filePath(QStringLiteral("play%1.orf").arg(++m_files));
    QVERIFY(ostrel_test::writeFile(path, content));
    p.file.setFileName(path);
    QVERIFY(p.file.open(QIODevice::ReadOnly | QIODevice::Text));
}

void TestFrameReader::frameOnTheWire_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("wire"); // the first frame as sent
    QTest::addColumn<double>("timestamp");
    QTest::newRow("fr 12, ts 1.5") << QByteArray("fr 12\nts 1.5\n") << QByteArray("fr 12\r\nts 1.5\r\n")
                                   << 1.5;
    QTest::newRow("comments dropped")
        << QByteArray("fr 1\n# a\n   #b\nx\nfr 2\n") << QByteArray("fr 1\r\nx\r\n") << -1.0;
    QTest::newRow("blanks stripped") << QByteArray("fr 1  \n\t 1 2 3 \t\n\n  \nfr 2\n")
                                     << QByteArray("fr 1\r\n1 2 3\r\n\r\n\r\n") << -1.0;
    QTest::newRow("CR LF file") << QByteArray("fr 1\r\nts 3\r\nb\r\nfr 2\r\n")
                                << QByteArray("fr 1\r\nts 3\r\nb\r\n") << 3.0;
    QTest::newRow("lone CR stays inside a line")
        << QByteArray("fr 1\nA\rB\nfr 2\n") << QByteArray("fr 1\r\nA\rB\r\n") << -1.0;
    QTest::newRow("NUL cuts a line") << QByteArray("fr 1\nab\0cd\nfr 2\n", 16) << QByteArray("fr 1\r\nab\r\n")
                                     << -1.0;
    QTest::newRow("timestamp not a number")
        << QByteArray("fr 1\nts x\nfr 2\n") << QByteArray("fr 1\r\nts x\r\n") << 0.0;
}

void TestFrameReader::frameOnTheWire()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, wire);
    QFETCH(double, timestamp);
    Playback p;
    open(p, content);
    QCOMPARE(p.prime(), FrameReader::kFrameRead);
    QVERIFY(p.display_text.isEmpty());
    double ts = 0.0;
    p.read(&ts);
    QCOMPARE(p.display_text.toLatin1(), wire);
    QCOMPARE(ts, timestamp);
}

void TestFrameReader::timestampsOfTheFirstTwoFrames()
{
    Playback p;
    open(p, "fr 1\nts 100.0\nb\nfr 2\nts 100.02\nb\nfr 3\nb\n");
    double t0 = FrameReader::kAtStart, t1 = 0.0, t2 = 0.0;
    QCOMPARE(p.read(&t0), FrameReader::kFrameRead);
    QCOMPARE(t0, FrameReader::kNoTimestamp);
    QVERIFY(p.frame_line_read);
    QCOMPARE(p.current_frame, 1);
    QCOMPARE(p.read(&t1), FrameReader::kFrameRead);
    QCOMPARE(p.read(&t2), FrameReader::kFrameRead);
    QCOMPARE(t1, 100.0);
    QCOMPARE(t2, 100.02);
    QCOMPARE(p.current_frame, 3);
    QCOMPARE(p.next_frame_line, QStringLiteral("fr 3\n"));
}

void TestFrameReader::endOfFile()
{
    Playback p;
    open(p, "fr 1\na\nfr 2\nb");
    p.prime();
    QCOMPARE(p.read(), FrameReader::kFrameRead);
    QCOMPARE(p.read(), FrameReader::kEndOfFile);
    QCOMPARE(p.display_text, QStringLiteral("fr 2\r\nb\r\n"));
    QVERIFY(!p.frame_line_read);
    QVERIFY(p.file.atEnd());
    QCOMPARE(p.current_frame, 2);
}

void TestFrameReader::endOfFileLooping()
{
    Playback p;
    p.loop = true;
    open(p, "fr 1\na\nfr 2\nb\n");
    p.prime();
    p.read();
    QCOMPARE(p.read(), FrameReader::kRewound);
    QCOMPARE(p.display_text, QStringLiteral("fr 2\r\nb\r\n"));
    QCOMPARE(p.file.pos(), 0);
    // The next pass primes again and sends frame 1 first.
    QCOMPARE(p.prime(), FrameReader::kFrameRead);
    QCOMPARE(p.read(), FrameReader::kFrameRead);
    QCOMPARE(p.display_text, QStringLiteral("fr 1\r\na\r\n"));
}

void TestFrameReader::seek_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("target");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("display");
    const QByteArray file("fr 1\na\nfr 2\nb\nfr 4\nd\nfr 12\nl\n");
    QTest::newRow("found") << file << 2 << FrameReader::kFrameRead << "fr 9\r\nfr 2\r\n";
    QTest::newRow("last frame") << file << 12 << FrameReader::kFrameRead << "fr 9\r\nfr 12\r\n";
    QTest::newRow("lost frame") << file << 3 << FrameReader::kSeekFailed << "fr 9\r\n";
    QTest::newRow("fr 1 is not fr 12")
        << QByteArray("fr 0\nfr 12\n") << 1 << FrameReader::kSeekFailed << "fr 9\r\n";
    QTest::newRow("case-sensitive") << QByteArray("FR 2\nfr 2 \n") << 2 << FrameReader::kFrameRead
                                    << "fr 9\r\nfr 2\r\n";
}

void TestFrameReader::seek()
{
    QFETCH(QByteArray, content);
    QFETCH(int, target);
    QFETCH(int, result);
    QFETCH(QString, display);
    Playback p;
    open(p, content);
    p.next_frame_line = QStringLiteral("fr 9\n");
    p.current_frame = target;
    p.slider_moved = true;
    QCOMPARE(p.read(), result);
    QCOMPARE(p.display_text, display);
    QCOMPARE(p.slider_moved, result != FrameReader::kFrameRead);
    QCOMPARE(p.next_frame_line, QStringLiteral("fr 9\n"));
    QCOMPARE(p.current_frame, target);
    QVERIFY(!p.frame_line_read);
}

void TestFrameReader::frameNumberNotNumeric()
{
    Playback p;
    open(p, "fr 5\nfr x\n");
    p.prime();
    QCOMPARE(p.current_frame, 5);
    QCOMPARE(p.read(), FrameReader::kFrameRead);
    QCOMPARE(p.current_frame, 0);
    QVERIFY(p.frame_line_read);
    QCOMPARE(p.next_frame_line, QStringLiteral("fr x\n"));
}

void TestFrameReader::readLineRule_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("LF and CR LF") << QByteArray("a\nb\r\nc") << QStringList{"a\n", "b\n", "c"};
    QTest::newRow("only the CR before LF goes")
        << QByteArray("a\rb\r\r\n\r") << QStringList{"a\rb\r\n", "\r"};
    QTest::newRow("NUL cuts, line end included")
        << QByteArray("a\0b\r\n\0\nc\n", 9) << QStringList{"a", "", "c\n"};
    QTest::newRow("Latin-1") << QByteArray("\xe9\xff\n") << QStringList{QString::fromLatin1("\xe9\xff\n")};
}

// Qt's text mode would drop every CR of a QBuffer; the rule must not depend on the device.
void TestFrameReader::readLineRule()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, lines);
    QBuffer buffer(&content);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    QStringList read;
    QString line;
    while (frame_lines::readLine(buffer, &line))
        read << line;
    QCOMPARE(read, lines);
    QVERIFY(buffer.isTextModeEnabled());
}

void TestFrameReader::secondFieldAndNumbers_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");
    QTest::newRow("to the line end") << "fr 17\n"
                                     << "17\n"
                                     << true << 17;
    QTest::newRow("to the second space") << "fr 17 18"
                                         << "17" << true << 17;
    QTest::newRow("two spaces") << "fr  17"
                                << "" << false << 0;
    QTest::newRow("tab and CR around") << "fr \t+17\r\n"
                                       << "\t+17\r\n"
                                       << true << 17;
    QTest::newRow("no space") << "fr"
                              << "" << false << 0;
    QTest::newRow("largest") << "fr 2147483647\n"
                             << "2147483647\n"
                             << true << 2147483647;
    QTest::newRow("out of range") << "fr 2147483648\n"
                                  << "2147483648\n"
                                  << false << 0;
    QTest::newRow("smallest") << "fr -2147483648"
                              << "-2147483648" << true << int(-2147483647 - 1);
    QTest::newRow("hex is not decimal") << "fr 0x10"
                                        << "0x10" << false << 0;
    QTest::newRow("trailing text") << "fr 12abc"
                                   << "12abc" << false << 0;
}

void TestFrameReader::secondFieldAndNumbers()
{
    QFETCH(QString, line);
    QFETCH(QString, field);
    QFETCH(bool, ok);
    QFETCH(int, value);
    const QByteArray bytes = line.toLatin1();
    QCOMPARE(frame_lines::secondField(QStringView(line)).toString(), field);
    QCOMPARE(QString::fromLatin1(frame_lines::secondField(QByteArrayView(bytes)).toByteArray()), field);
    int fromText = -7, fromBytes = -7;
    QCOMPARE(frame_lines::parseInt(frame_lines::secondField(QStringView(line)), &fromText), ok);
    QCOMPARE(frame_lines::parseInt(frame_lines::secondField(QByteArrayView(bytes)), &fromBytes), ok);
    QCOMPARE(fromText, value);
    QCOMPARE(fromBytes, value);
}

// What playback sends for a frame is its index entry with each line stripped, CR LF ended, comments out.
void TestFrameReader::agreesWithTheScanner()
{
    const QByteArray content("fr 3\r\nts 1\n # x\n a\rb \n\r\r\nq\0z\nfr 4\n\nfr 5\nlast", 44);
    Playback p;
    open(p, content);
    FrameIndex index;
    QVERIFY(FrameScanner::scan(p.file.fileName(), index).ok());
    QCOMPARE(index.size(), 3);
    p.prime();
    for (qsizetype k = 0; k < index.size(); ++k) {
        QString entry;
        index.text(k, &entry);
        QString expected;
        QStringList lines = entry.split(QLatin1Char('\n'));
        if (entry.endsWith(QLatin1Char('\n')))
            lines.removeLast();
        for (const QString &line : lines) {
            if (!frame_lines::isCommentLine(line))
                expected += line.trimmed() + QStringLiteral("\r\n");
        }
        p.read();
        QCOMPARE(p.display_text, expected);
        QByteArray wire;
        index.wire(k, &wire);
        QCOMPARE(QString::fromLatin1(wire), expected);
    }
}

OSTREL_TEST_GUILESS_MAIN(TestFrameReader)
#include "tst_frame_reader.moc"
