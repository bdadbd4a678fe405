// The command-line program as a user runs it: a real process, no display, real UDP on 127.0.0.1.
#include "ap/ap_socket.h"
#include "capture_files.h"
#include "test_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <sys/stat.h>

#include <csignal>
#include <sys/stat.h> // umask

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>

using namespace ostrel_test;

namespace {
// Frame 201 a datagram of 65,507 bytes in LF lines: 65,509 in CR LF on the wire.
const QByteArray kOneTooLarge = "fr 200\na\nfr 201\n" + QByteArray(65499, 'x') + "\nfr 202\nb\n";
} // namespace

class TestOrf : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }
    // Its own home: no settings of the user's are read.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir.path());
        return env;
    }

    // Runs orf to its end; the exit status, with its standard output in *out and its standard error in *err.
    int orf(const QStringList &arguments, QByteArray *out = nullptr, QByteArray *err = nullptr)
    {
        return runToEnd(QStringLiteral(ORF_PATH), arguments, dir.path(), out, err);
    }

private slots:
    void recordInfoAndPlay()
    {
        // Frames 3, 6 and 7 never arrive; the datagram of frame 5 has CR LF line ends and a comment.
        const QList<QByteArray> sent = {"fr 1\nts 10.00\na 1\n", "fr 2\nts 10.02\n", "fr 4\nts 10.06\n",
                                        "fr 5\r\nts 10.08\r\n# note\r\n  x  \r\n", "fr 8\nts 10.14\nend\n"};
        const quint16 port = freeUdpPort();
        QProcess recorder;
        recorder.setProcessEnvironment(environment());
        recorder.start(ORF_PATH, {"record", "--port", QString::number(port), "-o", path("a.orf"), "--count",
                                  QString::number(sent.size())});
        // It says where it records once the socket is bound.
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += recorder.readAllStandardError()).contains("port"), 10000);
        for (const QByteArray &d : sent)
            QVERIFY(sendUdp(port, d));
        QVERIFY(recorder.waitForFinished(10000));
        QCOMPARE(recorder.exitCode(), 0);
        QCOMPARE(readFile(path("a.orf")), sent.join());
        QVERIFY(!QFile::exists(path("a.orf.part")));

        QByteArray out;
        QCOMPARE(orf({"info", path("a.orf"), "--json"}, &out), 0);
        const QJsonObject info = QJsonDocument::fromJson(out).object();
        QCOMPARE(info["frames"].toInt(), 5);
        QCOMPARE(info["first_frame"].toInt(), 1);
        QCOMPARE(info["last_frame"].toInt(), 8);
        QCOMPARE(info["lost"].toInt(), 3);
        QCOMPARE(info["lost_frames"].toArray(), QJsonArray({3, 6, 7}));
        QCOMPARE(info["lost_runs"].toArray(), QJsonArray({QJsonArray{3, 3}, QJsonArray{6, 7}}));
        QCOMPARE(info["interval_ms"].toObject(), QJsonObject({{"median", 20}, {"p99", 60}, {"max", 60}}));
        QCOMPARE(info["bytes"].toInt(), sent.join().size());
        QVERIFY(qAbs(info["duration_s"].toDouble() - 0.14) < 1e-9);
        QVERIFY(qAbs(info["mean_rate_hz"].toDouble() - 50.0) < 1e-6);
        QCOMPARE(info["playable"].toBool(), true);

        UdpSink sink;
        QCOMPARE(orf({"play", path("a.orf"), "--to", "127.0.0.1:" + QString::number(sink.port()),
                      "--timestamps", "--speed", "10"}),
                 0);
        const QList<QByteArray> wires = {"fr 1\r\nts 10.00\r\na 1\r\n", "fr 2\r\nts 10.02\r\n",
                                         "fr 4\r\nts 10.06\r\n", "fr 5\r\nts 10.08\r\nx\r\n",
                                         "fr 8\r\nts 10.14\r\nend\r\n"};
        QCOMPARE(sink.receiveMany(5), wires);

        // orf import of the exported capture gives back the wire forms.
        QCOMPARE(orf({"export", path("a.orf"), "-o", path("a.pcap"), "--to", "127.0.0.1:5001"}), 0);
        QCOMPARE(orf({"import", path("a.pcap"), "-o", path("b.orf")}), 0);
        QCOMPARE(readFile(path("b.orf")), wires.join());
        // An existing recording is never replaced without --force.
        QCOMPARE(orf({"record", "-o", path("a.orf"), "--count", "1"}), 2);
        QCOMPARE(readFile(path("a.orf")), sent.join());
    }

    // orf info's lines for a recording with more lost frames than it lists, and 200 intervals whose p90,
    // p99 and maximum differ: 180 of 10 ms, 17 of 20 ms, 2 of 30 ms and 1 of 80 ms.
    void infoLines()
    {
        QByteArray content;
        qint64 ms = 0;
        for (int frame = 1, held = 0; held < 201; ++frame) {
            if ((frame >= 5 && frame <= 9) || frame == 20 || (frame >= 30 && frame <= 35))
                continue;
            ms += held == 0 ? 0 : held <= 180 ? 10 : held <= 197 ? 20 : held <= 199 ? 30 : 80;
            content += QString("fr %1\nts %2\nx\n").arg(frame).arg(100 + ms / 1000.0, 0, 'f', 3).toLatin1();
            ++held;
        }
        QVERIFY(writeFile(path("lines.orf"), content));
        QByteArray out;
        QCOMPARE(orf({"info", path("lines.orf")}, &out), 0);
        QCOMPARE(QString::fromUtf8(out),
                 QString("file:      %1\n"
                         "size:      %2 bytes\n"
                         "frames:    201 (numbers 1 to 213)\n"
                         "lost:      12: 5 6 7 8 9 20 30 31 32 33 ...\n"
                         "duration:  2.280 s, mean rate 92.98 Hz (from the timestamps)\n"
                         "intervals: median 10.000 ms, p99 30.000 ms, max 80.000 ms (between recorded "
                         "timestamps)\n"
                         "playable:  yes\n")
                     .arg(path("lines.orf"))
                     .arg(content.size()));
    }

    void exitStatuses_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::newRow("nothing arrives")
            << QStringList{"record", "--port", "FREE", "-o", "none.orf", "--duration", "0.3"} << 1;
        QTest::newRow("bad numbering: play") << QStringList{"play", "bad.orf", "--to", "127.0.0.1:9"} << 1;
        QTest::newRow("bad numbering: info") << QStringList{"info", "bad.orf"} << 1;
        QTest::newRow("bad numbering: export") << QStringList{"export", "bad.orf", "-o", "none.orf"} << 1;
        QTest::newRow("missing file") << QStringList{"info", "missing.orf"} << 3;
        QTest::newRow("bad option") << QStringList{"play", "bad.orf", "--bogus"} << 2;
        QTest::newRow("bad destination") << QStringList{"play", "bad.orf", "--to", "127.0.0.1"} << 2;
        QTest::newRow("numbers continued without a loop")
            << QStringList{"play", "bad.orf", "--continue-numbers"} << 2;
        QTest::newRow("no command") << QStringList{"frobnicate"} << 2;
        QTest::newRow("--from beyond the last frame")
            << QStringList{"export", "two.orf", "-o", "none.orf", "--from", "3"} << 2;
        QTest::newRow("help") << QStringList{"help", "play"} << 0;
        QTest::newRow("negative numbers: info") << QStringList{"info", "negative.orf"} << 1;
        QTest::newRow("negative numbers: play")
            << QStringList{"play", "negative.orf", "--to", "127.0.0.1:9"} << 1;
        QTest::newRow("a frame too large: play")
            << QStringList{"play", "large.orf", "--to", "127.0.0.1:9"} << 1;
        QTest::newRow("a FIFO without a writer") << QStringList{"info", "fifo.orf"} << 3;
        const QStringList recorded{"play", "bad.orf", "--recorded-timing"};
        QTest::newRow("recorded timing at a rate") << recorded + QStringList{"--rate", "5"} << 2;
        QTest::newRow("recorded timing by timestamps") << recorded + QStringList{"--timestamps"} << 2;
        QTest::newRow("recorded timing at top speed") << recorded + QStringList{"--top-speed"} << 2;
        QTest::newRow("--max-gap at a rate")
            << QStringList{"export", "bad.orf", "-o", "none.pcap", "--rate", "5", "--max-gap", "1"} << 2;
    }
    // What info says of files that are small but claim much: a gap of 134 million frames, frame numbers past
    // 2^31, frames no datagram can carry.
    void infoSaysWhatAFileHolds_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("said");
        QTest::newRow("a gap of 134 million") << QByteArray("fr 1\nb\nfr 134217000\nb\n")
                                              << "lost 134216998 runs [[2,134216999]] frames null playable";
        QTest::newRow("past 2^31") << QByteArray("fr 2147483647\nb\nfr 2147483649\nb\n")
                                   << "lost 1 runs [[2147483648,2147483648]] frames [2147483648] playable";
        QTest::newRow("no frame that fits a datagram")
            << "fr 1\n" + QByteArray(70000, 'x')
            << "lost 0 runs [] frames [] frame 1 is 70008 bytes; a datagram holds at most 65,507 "
               "[{\"bytes\":70008,\"frame\":1}]";
        QTest::newRow("one frame too large")
            << kOneTooLarge << "lost 0 runs [] frames [] playable [{\"bytes\":65509,\"frame\":201}]";
        using namespace capture_files;
        const QList<QByteArray> ips = {ip4(udp(6000, "fr 1\n")), ip4(udp(5000, "fr 4\nb\n")),
                                       ip4(udp(6000, "fr 2\n")), ip4(udp(5000, "fr 6\n"))};
        QTest::newRow("a capture, --port 5000")
            << readFile(write(path("c.pcap"), DLT_RAW, ips))
            << "lost 1 runs [[5,5]] frames [5] playable UDP port 5000, as asked (2 of 4 datagrams)";
        // A source that started over: where, in the recording's bytes; a capture's are not the user's.
        const QString numbers =
            "lost 0 runs [] frames [] This file has a problem with frame numbers and cannot "
            "be played. ";
        QTest::newRow("numbers that start over")
            << QByteArray("fr 1\nb\nfr 2\nfr 3\nfr 1\nfr 2\n")
            << numbers +
                   "{\"after\":3,\"byte\":17,\"frame\":1} frames:    numbers do not increase: frame 1 after "
                   "frame 3, at byte 17";
        QTest::newRow("a capture whose numbers start over")
            << readFile(write(path("c2.pcap"), DLT_RAW, {ip4(udp(5000, "fr 2\n")), ip4(udp(5000, "fr 1\n"))}))
            << numbers +
                   "{\"after\":2,\"byte\":null,\"frame\":1} frames:    numbers do not increase: frame 1 "
                   "after frame 2 UDP port 5000, as asked (2 of 2 datagrams)";
    }
    void infoSaysWhatAFileHolds()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, said);
        QVERIFY(writeFile(path("claims.orf"), content));
        QByteArray out;
        orf({"info", "--json", path("claims.orf"), "--port", "5000"}, &out);
        const QJsonObject o = QJsonDocument::fromJson(out).object();
        auto json = [&](const char *key) {
            return QJsonDocument(QJsonArray{o[key]}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
        };
        // Where the numbers broke, in the JSON and in the text's frames line.
        QString broken;
        if (QByteArray text; o.contains("bad_numbering") && orf({"info", path("claims.orf")}, &text) == 1)
            broken = " " + json("bad_numbering") + " " + QString(text).split('\n').filter("frames:").value(0);
        QCOMPARE(QString("lost %1 runs %2 frames %3 %4")
                         .arg(o["lost"].toInteger())
                         .arg(json("lost_runs"), json("lost_frames"),
                              o["playable"].toBool() ? "playable" : o["reason"].toString()) +
                     (o["too_large"].toArray().isEmpty() ? "" : " " + json("too_large")) + broken +
                     (o.contains("capture") ? " " + o["capture"]["port_choice"].toString() : ""),
                 said);
    }

    void exitStatuses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QVERIFY(writeFile(path("bad.orf"), "fr 5\nfr 4\n") && writeFile(path("two.orf"), "fr 1\nfr 2\n") &&
                writeFile(path("negative.orf"), "fr -1\nfr 0\nfr 1\n") &&
                writeFile(path("large.orf"), "fr 1\n" + QByteArray(70000, 'x')));
        QFile::remove(path("fifo.orf"));
        QVERIFY(::mkfifo(qPrintable(path("fifo.orf")), 0600) == 0);
        for (QString &a : arguments) {
            if (a.endsWith(".orf"))
                a = path(a);
            if (a == "FREE")
                a = QString::number(freeUdpPort());
        }
        QCOMPARE(orf(arguments), status);
        QVERIFY(!QFile::exists(path("none.orf")) && !QFile::exists(path("none.orf.part")));
    }

    // One frame too large among others: info says it and the recording plays up to it; play sends what
    // precedes it and exits 1 naming it; export writes nothing rather than a part that passes for the whole.
    void aFrameTooLarge_data()
    {
        QTest::addColumn<QStringList>("arguments"); // SINK: a receiver's HOST:PORT
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // a part of the standard output and error
        QTest::addColumn<int>("sent");
        const QString stopped =
            "big.orf: frame 201 is 65509 bytes, too large for a datagram; playback stopped";
        QTest::newRow("info") << QStringList{"info", "big.orf"} << 0
                              << "too large: 1 (a datagram holds at most 65,507 bytes; playback stops at the "
                                 "first): 201 (65509 bytes)\nplayable:  yes\n"
                              << 0;
        QTest::newRow("play") << QStringList{"play", "big.orf", "--to", "SINK", "--rate", "500"} << 1
                              << stopped << 1;
        QTest::newRow("play, top speed")
            << QStringList{"play", "big.orf", "--to", "SINK", "--top-speed"} << 1 << stopped << 1;
        QTest::newRow("play --until 200")
            << QStringList{"play", "big.orf", "--to", "SINK", "--rate", "500", "--until", "200"} << 0
            << "sent 1 frame in" << 1;
        QTest::newRow("export")
            << QStringList{"export", "big.orf", "-o", "big.pcap"} << 1
            << "big.orf: frame 201 is 65509 bytes, too large for a datagram; nothing exported" << 0;
    }
    void aFrameTooLarge()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        QFETCH(int, sent);
        QVERIFY(writeFile(path("big.orf"), kOneTooLarge));
        UdpSink sink;
        for (QString &a : arguments)
            a = a == "SINK" ? "127.0.0.1:" + QString::number(sink.port()) : a.contains('.') ? path(a) : a;
        QByteArray out, err;
        QCOMPARE(orf(arguments, &out, &err), status);
        QVERIFY2((out + err).contains(said.toUtf8()), out + err);
        QCOMPARE(sink.drain(), QList<QByteArray>(sent, "fr 200\r\na\r\n"));
        QVERIFY(!QFile::exists(path("big.pcap")) && !QFile::exists(path("big.pcap.part")));
    }

    // Links where FILE.part goes, a hang-up, a full disk, a directory as FILE, numbers out of range.
    void hostileUse_data()
    {
        QTest::addColumn<QStringList>("arguments"); // P: a free port
        QTest::addColumn<QString>("said");          // on standard error, all of it orf's own lines
        QTest::addColumn<QString>("outcome"); // exit status, the directory afterwards (Qt's permissions)
        for (const QString &row : QStringList{
                 "link as FILE.part, --force|record --port P -o x.orf --count 1 --force|recorded 1 "
                 "datagram (|0 v.txt:9:6640 x.orf:1000:6640",
                 "a second run with --force|record --port P -o x.orf --count 3 --force|recorded 3 "
                 "datagrams|0 x.orf:3000:6640",
                 "dangling link as FILE.part|record --port P -o x.orf --count 3|orf: x.orf.part "
                 "exists; --force replaces it|2 x.orf.part@:0:0",
                 "SIGHUP, --duration past 24.8 days|record --port P -o x.orf --duration "
                 "2147484|recorded 3 datagrams|0 x.orf:3000:6640",
                 "full disk|record --port P -o x.orf|orf: writing x.orf.part failed (is the disk "
                 "full?); what was written is kept there|3 x.orf.part:4096:6600",
                 "-o a directory|record -o . --force|orf: -o .: is a directory; name a file|2",
                 "-o ''|record -o |orf: -o '': names no file|2",
                 "-o /dev/null|record -o /dev/null|orf: /dev/null exists and is not a file; nothing replaces "
                 "it|2",
                 "/dev/stdin without -o|import /dev/stdin|orf: /dev/stdin is not a file in a folder: name "
                 "the "
                 "recording with -o FILE|2",
                 "--count|record --count 99999999999999999999|orf: --count 99999999999999999999: not "
                 "a number of datagrams from 1 to 9223372036854775807|2",
                 "--duration|record --duration 1e10|orf: --duration 1e10: not a number of seconds "
                 "above 0 and at most 1000000000|2",
                 "--rate|play x.orf --rate 1e9|orf: --rate 1e9: not a rate in Hz above 0 and at most "
                 "1000000|2",
                 "import of a capture cut short|import c.pcap|orf: c.pcap is cut short: it ends "
                 "inside a packet at byte 129; the 2 packets before it were read|0 c.orf:17:6640 "
                 "c.pcap:163:6640 v.txt:9:6640",
                 "import of no capture|import v.txt -o v.orf|orf: v.txt is not a capture (pcap or "
                 "pcapng)|3 c.pcap:163:6640 v.txt:9:6640",
                 "import of itself|import c.pcap -o c.pcap --force|orf: -o c.pcap: is c.pcap, the "
                 "file being read; name another output|2 c.pcap:163:6640 v.txt:9:6640",
                 "import, interrupted|import big.pcap||killed big.pcap:1073807384:6640 c.pcap:163:6640 "
                 "v.txt:9:6640",
                 "import to /dev/full: info|info c.pcap|orf: writing the standard output failed: No "
                 "space left on device|3 c.pcap:163:6640 v.txt:9:6640"}) {
            const QStringList f = row.split('|');
            QTest::newRow(qPrintable(f[0])) << f[1].split(' ') << f[2] << f[3];
        }
    }
    void hostileUse()
    {
        QFETCH(QStringList, arguments);
        const QByteArray tag = QTest::currentDataTag();
        QTemporaryDir work;
        const mode_t umask = ::umask(027); // a new FILE gets 0666 less the umask
        const auto restore = qScopeGuard([umask] { ::umask(umask); });
        const QString part = work.filePath("x.orf.part");
        QVERIFY(!tag.startsWith("link") ||
                (writeFile(work.filePath("v.txt"), "precious\n") && QFile::link("v.txt", part)));
        using namespace capture_files; // a capture cut inside its third packet
        const QList<QByteArray> ips = {ip4(udp(5000, "fr 1\nts 1.0\n")), ip4(udp(5000, "fr 2\n")), ip4("x")};
        QVERIFY(!tag.startsWith("import") || (!write(work.filePath("c.pcap"), DLT_RAW, ips, 3).isEmpty() &&
                                              writeFile(work.filePath("v.txt"), "precious\n")));
        QVERIFY(!tag.startsWith("dangling") || QFile::link("new.txt", part));
        // 4,096 empty packets of 256 kB: a 1 GB capture on a sparse file, that takes a while to read.
        QFile big(work.filePath("big.pcap"));
        QVERIFY(!tag.endsWith("interrupted") ||
                (!write(big.fileName(), DLT_EN10MB, {}).isEmpty() && big.open(QIODevice::ReadWrite)));
        for (qint64 i = 0; big.isOpen() && i < 4096; ++i)
            QVERIFY(big.seek(24 + i * (16 + 262144)) &&
                    big.write(be(0, 8) + be(0x40000, 4).repeated(2)) == 16);
        QVERIFY(!big.isOpen() || big.resize(24 + 4096 * (16 + 262144)));
        big.close();
        const quint16 port = freeUdpPort();
        arguments.replaceInStrings(QRegularExpression("^P$"), QString::number(port));
        QProcess p;
        p.setProcessEnvironment(environment());
        p.setWorkingDirectory(work.path());
        if (tag.endsWith("/dev/full: info"))
            p.setStandardOutputFile("/dev/full");
        withFileSizeLimit(tag == "full disk" ? 4096 : 1LL << 62, [&] { p.start(ORF_PATH, arguments); });
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT(!p.state() || (err += p.readAllStandardError()).contains("Ctrl-C ends") ||
                                     QFile::exists(work.filePath("big.orf.part")),
                                 10000);
        if (tag.endsWith("interrupted"))
            ::kill(pid_t(p.processId()), SIGINT);
        QByteArray second; // a second run to the same FILE, refused while the first writes FILE.part
        QVERIFY(!tag.startsWith("a second") ||
                (orf({"record", "--port", QString::number(freeUdpPort()), "-o", work.filePath("x.orf"),
                      "--duration", "1", "--force"},
                     nullptr, &second) == 3 &&
                 second.endsWith("x.orf.part is being written by another run\n")));
        for (int i = 1; p.state() && i <= (tag == "full disk" ? 10 : 3); ++i)
            QVERIFY(sendUdp(port, QByteArray(1000, 'x')));
        if (tag.startsWith("SIGHUP")) {
            QTRY_COMPARE(QFileInfo(part).size(), 3000); // written: the run takes it in before it ends
            ::kill(pid_t(p.processId()), SIGHUP);
        }
        QVERIFY(!p.state() || p.waitForFinished(10000));
        QFETCH(QString, said);
        QFETCH(QString, outcome);
        const QString text = QString::fromUtf8(err + p.readAllStandardError());
        QVERIFY2(text.contains(said) && QRegularExpression("^(orf: [^\n]*\n)*$").match(text).hasMatch(),
                 qPrintable(text));
        // The exit status, and " name:size:permissions", a link marked "@"
        QString listing = p.exitStatus() == QProcess::CrashExit ? "killed" : QString::number(p.exitCode());
        for (const QFileInfo &f :
             QDir(work.path()).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
            listing += QStringLiteral(" %1%2:%3:%4")
                           .arg(f.fileName(), f.isSymLink() ? "@" : "")
                           .arg(f.size())
                           .arg(f.permissions(), 0, 16);
        QCOMPARE(listing, outcome);
    }

    // Two recorders of a group on one port both get all sent to it, nothing sent to the port itself; played
    // to a group (the receiver reads the TTL) and to a broadcast address, frames arrive byte for byte.
    void groups()
    {
        const quint32 groupAddress = 0xEFFF0101u + QRandomGenerator::global()->bounded(0xFC00u);
        const QString group = QString("239.255.%1.%2").arg(groupAddress >> 8 & 255).arg(groupAddress & 255);
        const QList<QByteArray> sent = {"fr 1\na\n", "fr 2\nb\n", "fr 3\nc\n"};
        const quint16 port = freeUdpPort();
        QProcess recorders[2];
        for (int i = 0; i < 2; ++i) {
            recorders[i].setProcessEnvironment(environment());
            recorders[i].start(ORF_PATH, {"record", "--group", group, "--interface", i ? "lo" : "127.0.0.1",
                                          "--port", QString::number(port), "-o",
                                          path(QString("g%1.orf").arg(i)), "--count", "3"});
            QByteArray said;
            QTRY_VERIFY_WITH_TIMEOUT((said += recorders[i].readAllStandardError()).contains("port"), 10000);
        }
        QByteArray err; // a unicast receiver owns its port: it cannot share it with the group's
        QCOMPARE(orf({"record", "--port", QString::number(port), "--duration", "1"}, nullptr, &err), 3);
        QVERIFY2(err.contains("UDP port " + QByteArray::number(port) + ": address in use"), err.constData());
        QVERIFY(sendUdp(port, "fr 7\nnot the group's\n"));
        for (const QByteArray &d : sent)
            QVERIFY(sendUdp(port, d, groupAddress));
        for (QProcess &recorder : recorders) {
            QVERIFY(recorder.waitForFinished(10000));
            QCOMPARE(recorder.exitCode(), 0);
        }
        QCOMPARE(readFile(path("g0.orf")) + readFile(path("g1.orf")), sent.join().repeated(2));

        void *member = nullptr, *broadcast = nullptr;
        const quint16 groupPort = freeUdpPort(), broadcastPort = freeUdpPort();
        QCOMPARE(ap_udp_init_group(&member, groupAddress, groupPort, 0x7f000001u, 0), 0);
        QCOMPARE(ap_udp_init(&broadcast, broadcastPort, 0), 0);
        const int on = 1, fd = ap_udp_descriptor(member);
        ::setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
        QCOMPARE(orf({"play", path("g0.orf"), "--to", group + ":" + QString::number(groupPort), "--to",
                      "127.255.255.255:" + QString::number(broadcastPort), "--ttl", "7", "--interface", "lo",
                      "--top-speed"}),
                 0);
        for (const QByteArray &d : sent) {
            char data[64], control[64];
            iovec io{data, sizeof data};
            msghdr m{nullptr, 0, &io, 1, control, sizeof control, 0};
            pollfd ready[2] = {{fd, POLLIN, 0}, {ap_udp_descriptor(broadcast), POLLIN, 0}};
            QTRY_COMPARE_WITH_TIMEOUT(::poll(ready, 2, 0), 2, 5000);
            const ssize_t n = ::recvmsg(fd, &m, 0);
            QVERIFY(n > 0 && CMSG_FIRSTHDR(&m) && CMSG_FIRSTHDR(&m)->cmsg_type == IP_TTL);
            QCOMPARE(QByteArray(data, int(n)) +
                         char('0' + *reinterpret_cast<int *>(CMSG_DATA(CMSG_FIRSTHDR(&m)))),
                     QByteArray(d).replace("\n", "\r\n") + "7");
            QCOMPARE(::recv(ready[1].fd, data, sizeof data, 0), n); // its copy to the broadcast address
        }
        ap_udp_exit(member);
        ap_udp_exit(broadcast);
    }

    // Played to a group by an interface other than lo, the frames reach a receiver on this machine joined
    // there, and none does with --no-loopback. (What leaves by lo comes in again by lo, whatever the socket
    // asks: lo cannot show it.)
    void noLoopback()
    {
        quint32 address = 0; // of a multicast interface that is not lo
        ifaddrs *interfaces = nullptr;
        for (ifaddrs *i = ::getifaddrs(&interfaces) == 0 ? interfaces : nullptr; i && !address;
             i = i->ifa_next) {
            if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_MULTICAST) &&
                (i->ifa_flags & IFF_UP) && !(i->ifa_flags & IFF_LOOPBACK))
                address = ntohl(reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr);
        }
        ::freeifaddrs(interfaces);
        const quint32 group = 0xEFFF0101u + QRandomGenerator::global()->bounded(0xFC00u);
        const quint16 port = freeUdpPort();
        void *member = nullptr;
        if (address == 0 || ap_udp_init_group(&member, group, port, address, 0) != 0)
            QSKIP("no network interface but lo joins a multicast group here");
        const auto close = qScopeGuard([member] { ap_udp_exit(member); });
        auto dotted = [](quint32 a) {
            return QString("%1.%2.%3.%4").arg(a >> 24).arg(a >> 16 & 255).arg(a >> 8 & 255).arg(a & 255);
        };
        // TTL 0: nothing leaves this machine. The receiver's first datagram is the second playback's.
        const QString to = dotted(group) + ':' + QString::number(port);
        const QStringList play{"play",        path("l.orf"),   "--to",  to,
                               "--interface", dotted(address), "--ttl", "0"};
        QVERIFY(writeFile(path("l.orf"), "fr 1\n"));
        QCOMPARE(orf(play + QStringList{"--no-loopback"}), 0);
        QVERIFY(writeFile(path("l.orf"), "fr 2\n"));
        QCOMPARE(orf(play), 0);
        pollfd ready{ap_udp_descriptor(member), POLLIN, 0};
        QTRY_COMPARE_WITH_TIMEOUT(::poll(&ready, 1, 0), 1, 5000);
        char data[16];
        QCOMPARE(QByteArray(data, int(::recv(ready.fd, data, sizeof data, 0))), "fr 2\r\n");
    }

    // Without --to, play sends to the settings' destination 1, and to destination 2 only while it is active;
    // a --to replaces both.
    void settingsDestinations_data()
    {
        QTest::addColumn<QString>("active");
        QTest::addColumn<bool>("to");    // one --to, to the first receiver
        QTest::addColumn<int>("second"); // the frames the second receiver gets
        QTest::newRow("not active") << "false" << false << 0;
        QTest::newRow("active") << "true" << false << 2;
        QTest::newRow("active, one --to") << "true" << true << 0;
    }
    void settingsDestinations()
    {
        QFETCH(QString, active);
        QFETCH(bool, to);
        QFETCH(int, second);
        UdpSink sinks[2];
        const QString settings = path(".NUV/Ostrel_Recorder/config/current-settings.xml");
        QVERIFY(QDir().mkpath(QFileInfo(settings).path()) && writeFile(path("p.orf"), "fr 1\na\nfr 2\nb\n"));
        QVERIFY(writeFile(settings, QString("<OSTREL_RECORDER><PLAY_HOST_1 HOST=\"127.0.0.1\"/><PLAY_PORT_1 "
                                            "PORT_NR=\"%1\"/><PLAY_HOST_2 HOST=\"127.0.0.1\"/><PLAY_PORT_2 "
                                            "PORT_NR=\"%2\"/><ACTIVE ACTIVE=\"%3\"/></OSTREL_RECORDER>")
                                        .arg(sinks[0].port())
                                        .arg(sinks[1].port())
                                        .arg(active)
                                        .toUtf8()));
        const QStringList once{"--to", "127.0.0.1:" + QString::number(sinks[0].port())};
        QCOMPARE(orf(QStringList{"play", path("p.orf"), "--top-speed"} + (to ? once : QStringList())), 0);
        const QList<QByteArray> wires = {"fr 1\r\na\r\n", "fr 2\r\nb\r\n"};
        QCOMPARE(sinks[0].receiveMany(2), wires);
        // Each frame goes to destination 1, then 2: a copy to the second would be waiting by now.
        QCOMPARE(second ? sinks[1].receiveMany(second) : sinks[1].drain(), wires.mid(0, second));
        QVERIFY(QFile::remove(settings));
    }

    // A value orf cannot use, from an option or from the settings file, is refused before anything starts,
    // naming it; an option overrides a bad setting.
    void refusedValues_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");
        const QStringList record{"record", "-o", "r.orf", "--duration", "0.2"}, play{"play", "p.orf"};
        QTest::newRow("record port letters") << "RECORD_PORT PORT_NR=\"abc\"" << record << 2 << "not a port";
        QTest::newRow("record port too large, overridden")
            << "RECORD_PORT PORT_NR=\"99999999999\"" << record + QStringList{"--port", "FREE"} << 1
            << "nothing arrived";
        QTest::newRow("play port negative") << "PLAY_PORT_1 PORT_NR=\"-5\"" << play << 2 << "not a port";
        QTest::newRow("play ttl") << "PLAY_TTL TTL=\"256\"" << play << 2
                                  << "not a TTL (0 to 255); --ttl overrides";
        QTest::newRow("--group unicast") << "" << record + QStringList{"--group", "224.0.0"} << 2
                                         << "--group 224.0.0: not a multicast group";
        QTest::newRow("--group octal") << "" << record + QStringList{"--group", "239.010.0.1"} << 2
                                       << "--group 239.010.0.1: not a multicast group";
        QTest::newRow("--to short") << "" << play + QStringList{"--to", "1.2.3:5"} << 2
                                    << "host 1.2.3: not an IPv4 address (four decimal numbers from 0 to 255";
        QTest::newRow("--to IPv6") << "" << play + QStringList{"--to", "[::1]:5001"} << 2
                                   << "host [::1]: IPv6 destinations are not supported";
        QTest::newRow("settings host octal")
            << "PLAY_HOST_1 HOST=\"010.0.0.1\"" << QStringList{"export", "p.orf", "-o", "p.pcap"} << 2
            << "not an IPv4 address";
        QTest::newRow("--interface unknown") << "" << play + QStringList{"--interface", "nosuch0"} << 2
                                             << "--interface nosuch0: no such network interface";
    }
    void refusedValues()
    {
        QFETCH(QString, setting);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        const QString settings = path(".NUV/Ostrel_Recorder/config/current-settings.xml");
        QVERIFY(QDir().mkpath(QFileInfo(settings).path()) && writeFile(path("p.orf"), "fr 1\n"));
        QVERIFY(writeFile(settings, "<OSTREL_RECORDER><" + setting.toUtf8() + "/></OSTREL_RECORDER>"));
        for (QString &a : arguments)
            a = a == "FREE" ? QString::number(freeUdpPort()) : a;
        QByteArray err;
        QCOMPARE(orf(arguments, nullptr, &err), status);
        if (status == 2 && !setting.isEmpty()) // named where it stands
            said = "orf: settings file " + settings + ": " + setting + ": " + said;
        QVERIFY2(err.contains(said.toUtf8()), err.constData());
        QVERIFY(!QFile::exists(path("r.orf.part")));
    }
};

QTEST_GUILESS_MAIN(TestOrf)
#include "tst_orf.moc"
