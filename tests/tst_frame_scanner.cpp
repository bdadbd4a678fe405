// The frame index the scanner builds over real files: numbering checks, lost frames, each entry's text,
// wire form and times at every chunk size (every line rule across chunk edges), what holds of any scan;
// and the fields a loop whose numbers go on moves.
#include "recording/frame_lines.h"
#include "recording/frame_scanner.h"
#include "scan_properties.h"
#include "test_support.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <malloc.h>

class TestFrameScanner : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // "status first last: entry:text|... / lost first-last ...", the entries that hold lines only.
    static QString describe(const FrameScanner::Result &r, const FrameIndex &index)
    {
        QStringList texts, lost;
        for (qsizetype k = 0; k >= 0 && k < index.size(); k = index.frameAtOrAfter(k + 1)) {
            index.text(k, &texts.emplace_back());
            texts.last().prepend(QString::number(index.first() + k) + ":");
        }
        for (const FrameIndex::Run &run : index.lostRuns())
            lost << QStringLiteral("%1-%2").arg(run.first).arg(run.last);
        return QStringLiteral("%1 %2 %3: ").arg(int(r.status)).arg(r.first_frame).arg(r.last_frame) +
               texts.join('|') + " / " + lost.join(' ');
    }

private slots:
    void scan_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected"); // status 0 Ok, 2 first number invalid, 3 bad numbering
        auto row = [](const char *name, const QByteArray &content, const char *expected) {
            QTest::newRow(name) << content << QString::fromLatin1(expected);
        };
        row("empty file", "", "0 0 0: 0: / ");
        row("the last timestamp line counts", "fr 1\nts 1\nts 2\nfr 2\nts 3\n",
            "0 1 2: 1:fr 1\nts 1\nts 2\n|2:fr 2\nts 3\n / ");
        row("lost 5 6 9", "fr 4\nfr 7\nfr 8\nfr 10\nx",
            "0 4 10: 4:fr 4\n|7:fr 7\n|8:fr 8\n|10:fr 10\nx / 5-6 9-9");
        row("repeated number", "fr 7\na\nfr 8\nb\nfr 8\nc\n", "3 0 0:  / ");
        row("fr x later", "fr 3\nfr x\nfr 4\n", "3 0 0:  / ");
        row("field up to the second space", "fr 3 x y\nfr 4\t\r\n", "0 3 4: 3:fr 3 x y\n|4:fr 4\t\n / ");
        row("first line not a frame", "hello\nx\nfr 4\n", "0 0 4: 0:x\n|4:fr 4\n / 1-3");
        row("first line not a frame, first frame 0", "hello\nfr 0\n", "3 0 0:  / ");
        row("no frame line at all", "a\nb\nc", "0 0 0: 0:b\nc / ");
        row("leading space and upper case are body", "fr 2\n fr 3\nFR 3\nfr3\nfr 3\n",
            "0 2 3: 2:fr 2\n fr 3\nFR 3\nfr3\n|3:fr 3\n / ");
        row("CR LF reads as LF, other CRs kept", "fr 1\r\nA\rB\r\n\r\r\nfr 2\r\nC\r",
            "0 1 2: 1:fr 1\nA\rB\n\r\n|2:fr 2\nC\r / ");
        row("NUL cuts a line", QByteArray("fr 1\nab\0cd\nfr 2\0junk\r\nx\n\0\r\nz\n", 29),
            "0 1 2: 1:fr 1\nab|2:fr 2x\nz\n / ");
        row("past 2^31 and 2^32", "fr 2147483647\nfr 2147483648\nfr 4294967297\n",
            "0 2147483647 4294967297: 2147483647:fr 2147483647\n|2147483648:fr 2147483648\n|"
            "4294967297:fr 4294967297\n / 2147483649-4294967296");
        row("2^31 first", "fr 2147483648\nfr 2147483650\n",
            "0 2147483648 2147483650: 2147483648:fr 2147483648\n|2147483650:fr 2147483650\n / "
            "2147483649-2147483649");
        row("beyond 2^63", "fr 9223372036854775807\nfr 9223372036854775808\n", "3 0 0:  / ");
        row("negative first", "fr -1\nfr 0\nfr 1\nfr 3\n", "3 0 0:  / ");
        row("negative later", "fr 1\nfr -2\n", "3 0 0:  / ");
        // 22 bytes standing for 134 million frame numbers: a run, not 134 million entries.
        row("a gap of 134 million", "fr 1\nb\nfr 134217000\nb\n",
            "0 1 134217000: 1:fr 1\nb\n|134217000:fr 134217000\nb\n / 2-134216999");
    }

    void scan()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        // Tiny chunks put every line end, CR LF pair and prefix across a chunk edge, lines across several.
        for (const qsizetype chunk : {1, 2, 3, 5, 7, int(FrameScanner::kDefaultChunkSize)}) {
            FrameIndex index;
            QCOMPARE(scan_properties::check(content, m_dir.filePath("rec.orf"), chunk), QString());
            const qint64 before = qint64(mallinfo2().uordblks);
            const FrameScanner::Result result = FrameScanner::scan(m_dir.filePath("rec.orf"), index, chunk);
            QVERIFY(qint64(mallinfo2().uordblks) - before < (1 << 20)); // a number buys no memory
            QCOMPARE(describe(result, index), expected);
        }
    }

    // What goes on the wire for each frame (lines stripped and ended with CR LF, comments left out), the
    // timestamp playback reads (its last "ts " line) and the recorded interval since the frame before with
    // a usable one ("s": the frame has one).
    void wireAndTimes_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("expected"); // number:wire|timestamp|interval|s
        QTest::newRow("stripped, comments out")
            << QByteArray("fr 1\r\n  a b \t\n# c\n \xa0# d\n\nts 10.5\nfr 2\n ts 11\nts 10.75\n")
            << QStringList{"1:fr 1\r\na b\r\n\r\nts 10.5\r\n|10.5|nan|s",
                           "2:fr 2\r\nts 11\r\nts 10.75\r\n|10.75|0.25|s"};
        QTest::newRow("unusable timestamps")
            << QByteArray("fr 1\nts 0\nfr 2\nts 5\nfr 3\nts x\nfr 5\nts -1\nfr 6\nts 6.5\n")
            << QStringList{"1:fr 1\r\nts 0\r\n|0|nan|", "2:fr 2\r\nts 5\r\n|5|nan|s",
                           "3:fr 3\r\nts x\r\n|0|nan|", "5:fr 5\r\nts -1\r\n|-1|nan|",
                           "6:fr 6\r\nts 6.5\r\n|6.5|1.5|s"};
        QTest::newRow("NUL, CR and a last line without LF")
            << QByteArray("fr 7\nts 2.25\0x\nA\rB\r\nfr 8\nts 3", 29)
            << QStringList{"7:fr 7\r\nts 2.25\r\nA\rB\r\n|2.25|nan|s", "8:fr 8\r\nts 3\r\n|3|0.75|s"};
    }
    void wireAndTimes()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, expected);
        for (const qsizetype chunk : {1, 4, int(FrameScanner::kDefaultChunkSize)}) {
            QCOMPARE(scan_properties::check(content, m_dir.filePath("wire.orf"), chunk), QString());
            FrameIndex index;
            QVERIFY(FrameScanner::scan(m_dir.filePath("wire.orf"), index, chunk).ok());
            QStringList got;
            for (qsizetype k = index.frameAtOrAfter(0); k >= 0; k = index.frameAtOrAfter(k + 1)) {
                QByteArray wire;
                double timestamp = 0;
                bool stamped = false;
                index.wire(k, &wire, &timestamp);
                const double interval = index.interval(k, &stamped);
                got << QStringLiteral("%1:%2|%3|%4|%5")
                           .arg(index.first() + k)
                           .arg(QString::fromLatin1(wire))
                           .arg(timestamp)
                           .arg(interval)
                           .arg(stamped ? "s" : "");
            }
            QCOMPARE(got, expected);
        }
    }

    // Random recordings with mixed line ends, stray CRs, NULs, comments, timestamps: what holds of any scan.
    void propertiesOfRandomRecordings()
    {
        QRandomGenerator random(20240611);
        const char *const ends[] = {"\n", "\r\n", "\r\r\n", "\r", ""};
        int outcomes[6] = {};
        for (int round = 0; round < 300; ++round) {
            QByteArray content;
            for (int i = random.bounded(40), number = random.bounded(3); i > 0; --i) {
                const QByteArray lines[] = {
                    "fr " + QByteArray::number(number += random.bounded(1, 4)),
                    (" ts " + QByteArray::number(random.bounded(-3, 40) / 4.0) + " \t")
                        .mid(random.bounded(2), random.bounded(5, 9)),
                    random.bounded(2) ? "# c" : " \xa0#", "fr x", // breaks the numbering
                    QByteArray(random.bounded(12), "b \t\xa0"[random.bounded(4)])};
                QByteArray line = lines[qMin(4, random.bounded(7))];
                if (random.bounded(10) == 0)
                    line.insert(random.bounded(line.size() + 1), '\0');
                content += line + ends[random.bounded(i > 1 ? 3 : 5)];
            }
            const QString failed =
                scan_properties::check(content, m_dir.filePath("random.orf"), 1 + random.bounded(9));
            QVERIFY2(failed.isEmpty(), qPrintable(failed + ": " + content.toPercentEncoding()));
            const int parts = random.bounded(2, 12);
            const QString parted = scan_properties::partsDiffer(m_dir.filePath("random.orf"), parts, parts,
                                                                1 + random.bounded(9));
            QVERIFY2(parted.isEmpty(), qPrintable(parted + ": " + content.toPercentEncoding()));
            FrameIndex index;
            outcomes[int(FrameScanner::scan(m_dir.filePath("random.orf"), index).status)]++;
        }
        QVERIFY(outcomes[int(FrameScanner::Status::Ok)] > 50 &&
                outcomes[int(FrameScanner::Status::BadNumbering)] > 50);
    }

    // A file scanned in parts gives what one pass gives, wherever a part begins: at every frame-counter line
    // for some count of parts, and at every chunk edge.
    void partsJoinAsOne_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("lost runs") << QByteArray("fr 1\nts 1\nfr 2\nts 2\nfr 7\nts 3\nfr 8\nfr 12\n");
        QTest::newRow("a repeated number") << QByteArray("fr 1\nfr 2\nfr 2\nfr 3\n");
        QTest::newRow("a number that steps back") << QByteArray("fr 5\nfr 6\nfr 3\nfr 9\n");
        QTest::newRow("not a number, negative") << QByteArray("fr 1\nfr 2\nfr x\nfr 4\nfr -3\n");
        QTest::newRow("2^63 - 1 after 0") << QByteArray("fr 0\nfr 5\nfr 9223372036854775807\n");
        QTest::newRow("2^63 - 1 after 1") << QByteArray("fr 1\nfr 5\nfr 9223372036854775807\n");
        QTest::newRow("lines before the first frame")
            << QByteArray("hello\nts 3\nfr 3\nts 4\nfr 5\nts 4.5\n");
        QTest::newRow("first number invalid") << QByteArray("fr x\nfr 1\nfr 2\n");
        QTest::newRow("numbers that do not increase after lines before the first frame (no place)")
            << QByteArray("hello\nfr 0\nfr -1\nfr 2\nfr 1\n");
        QTest::newRow("frames over the point of a start: bodies, CR, NUL, odd lines")
            << QByteArray("fr 1\r\nts 1.5\r\n fr 9\nfr9\nFR 9\nts 1.25 x\n# c\nfr 2 a\nts 2\0x\nab\0cd\n"
                          "fr 3\0\nts\nts 1e1\nfr 04\nts 00012.50\nts .5\nfr +5\nts 7.\nfr 6\nx",
                          118);
        QTest::newRow("timestamps in a later part only, unusable ones") << QByteArray(
            "fr 1\nfr 2\nfr 3\nts 0\nfr 4\nts 10\nfr 5\nfr 6\nts -1\nfr 7\nts 10.5\nfr 9\nts 12\n");
    }
    void partsJoinAsOne()
    {
        QFETCH(QByteArray, content);
        const QString path = m_dir.filePath("parts.orf");
        QCOMPARE(scan_properties::check(content, path, 1), QString());
        for (const qsizetype chunk : {1, 4, int(FrameScanner::kDefaultChunkSize)})
            QCOMPARE(scan_properties::partsDiffer(path, 2, int(content.size()), chunk), QString());
    }

    // Progress is the sum of all parts' and reaches the file's size; a cancel stops every part at once.
    void progressOfParts()
    {
        const QString path = m_dir.filePath("progress.orf");
        QByteArray content;
        for (int n = 1; n <= 3000; ++n)
            content += "fr " + QByteArray::number(n) + "\nts " + QByteArray::number(n) + "\nbody\n";
        QCOMPARE(scan_properties::check(content, path, 1), QString());
        std::vector<qint64> seen;
        FrameIndex index;
        const auto told = [&](qint64 scanned, qint64 size) {
            return seen.push_back(scanned), size == content.size();
        };
        QVERIFY(FrameScanner::scan(path, index, 64, told, nullptr, 3).ok());
        QVERIFY(std::is_sorted(seen.begin(), seen.end()) && seen.back() == content.size());
        // A sparse file of 64 GiB with a frame at each quarter, in four parts: stopped after a few megabytes.
        QFile huge(m_dir.filePath("huge.orf"));
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(64) << 30));
        for (int quarter = 0; quarter < 4; ++quarter)
            QVERIFY(huge.seek((qint64(16) << 30) * quarter) && huge.write("\nfr 1\n") == 6);
        huge.close();
        QFile io("/proc/self/io"); // "rchar: N", what this process has read
        const auto bytesRead = [&] { return io.seek(0), io.readLine().mid(7).trimmed().toLongLong(); };
        QVERIFY(io.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        const qint64 before = bytesRead();
        const FrameScanner::Result r = FrameScanner::scan(
            huge.fileName(), index, FrameScanner::kDefaultChunkSize,
            [&](qint64 scanned, qint64) { return scanned < (qint64(64) << 20); }, nullptr, 4);
        QCOMPARE(r.status, FrameScanner::Status::Cancelled);
        QVERIFY(bytesRead() - before < (qint64(1) << 30));
        QFile::remove(huge.fileName());
    }

    // A later pass of a loop whose numbers go on: 3 frames and 1.25 s further, only the second field moved,
    // a time in its own decimals (a half rounded away from zero).
    void continuedFields_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("moved");
        QTest::newRow("number") << QByteArray("fr 12") << QByteArray("fr 15");
        QTest::newRow("number, more fields") << QByteArray("fr 12 a b") << QByteArray("fr 15 a b");
        QTest::newRow("no number") << QByteArray("fr x") << QByteArray("fr x");
        QTest::newRow("fewer decimals") << QByteArray("ts 10.5") << QByteArray("ts 11.8");
        QTest::newRow("as many") << QByteArray("ts 10.75 x y") << QByteArray("ts 12.00 x y");
        QTest::newRow("none") << QByteArray("ts 12") << QByteArray("ts 13");
        QTest::newRow("more") << QByteArray("ts 0.000001") << QByteArray("ts 1.250001");
        QTest::newRow("negative") << QByteArray("ts -2.50") << QByteArray("ts -1.25");
        QTest::newRow("exponent") << QByteArray("ts 1.00e3") << QByteArray("ts 1001.25");
        QTest::newRow("empty field") << QByteArray("ts  1.5") << QByteArray("ts  1.5");
    }
    void continuedFields()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, moved);
        const frame_lines::Shift shift{3, 125, 2};
        QByteArray out;
        frame_lines::appendShifted(line,
                                   line.startsWith("fr") ? frame_lines::LineKind::FrameCounter
                                                         : frame_lines::LineKind::Timestamp,
                                   shift, &out);
        QCOMPARE(out, moved);
    }
};

OSTREL_TEST_GUILESS_MAIN(TestFrameScanner)
#include "tst_frame_scanner.moc"
