// Captures as recordings: what the reader makes of link types, IPv6, fragments, hostile fragments, noise,
// a cut last packet and files it must refuse; packets as the writer builds them; and recordings exported as
// captures read back.
#include "capture/capture_reader.h"
#include "capture/capture_recording.h"
#include "capture/capture_writer.h"
#include "capture/packet_building.h"
#include "capture_files.h"
#include "recording/frame_scanner.h"
#include "test_support.h"

#include <QTemporaryDir>

using namespace capture_files;

class TestCapture : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const QByteArray p1 = "fr 1\nts 1.00\n", p2 = "fr 2\nts 1.02\n";

    // A payload whose UDP sum, from 10.0.0.2:40000 to 239.200.1.2:5001, is 0: its checksum is sent as 0xffff.
    const QByteArray zeroSum = QByteArray::fromHex("6162f3dd");

    // A capture's packets, and their times in nanoseconds.
    static QList<QByteArray> packets(const QString &pcap, QList<qint64> *times = nullptr)
    {
        char message[PCAP_ERRBUF_SIZE];
        pcap_t *c = pcap_open_offline_with_tstamp_precision(QFile::encodeName(pcap).constData(),
                                                            PCAP_TSTAMP_PRECISION_NANO, message);
        QList<QByteArray> all;
        pcap_pkthdr *h;
        const u_char *data;
        while (c && pcap_next_ex(c, &h, &data) == 1) {
            all << QByteArray(reinterpret_cast<const char *>(data), int(h->caplen));
            if (times)
                *times << qint64(h->ts.tv_sec) * 1000000000 + h->ts.tv_usec;
        }
        if (c)
            pcap_close(c);
        return all;
    }
    static quint16 onesComplementSum(const QByteArray &b)
    {
        quint32 sum = 0;
        for (int i = 0; i < b.size(); i += 2)
            sum += quint32(uchar(b[i])) << 8 | (i + 1 < b.size() ? uchar(b[i + 1]) : 0);
        while (sum >> 16)
            sum = (sum & 0xffff) + (sum >> 16);
        return quint16(sum);
    }
    // The checksums of exported packets that do not sum to 0xffff: IPv4 headers, and UDP datagrams put
    // together from their fragments (which follow each other), whose checksum 0 would mean none. The UDP
    // checksums go to *udp.
    static QStringList badChecksums(const QList<QByteArray> &packets, QList<quint16> *udp = nullptr)
    {
        QStringList bad;
        QByteArray datagram;
        for (const QByteArray &p : packets) {
            const QByteArray ip = p.mid(14, 20);
            if (onesComplementSum(ip) != 0xffff)
                bad << "IPv4 " + ip.toHex();
            datagram += p.mid(34);
            if (ip[6] & 0x20) // more fragments follow
                continue;
            const quint16 checksum = qFromBigEndian<quint16>(datagram.constData() + 6);
            if (checksum == 0 ||
                onesComplementSum(ip.mid(12, 8) + be(17, 2) + be(datagram.size(), 2) + datagram) != 0xffff)
                bad << "UDP " + datagram.left(8).toHex();
            if (udp)
                *udp << checksum;
            datagram.clear();
        }
        return bad;
    }

    // Two datagrams to 5000 (IPv4, IPv6), three to 6000, and a packet that is not UDP.
    QList<QByteArray> noisy(int link, int tags = 0) const
    {
        QList<QByteArray> ips = {ip4(udp(5000, p1)),      ip4(udp(6000, "noise")),
                                 ip6(udp(5000, p2)),      ip4(udp(6000, "noise")),
                                 ip4(udp(6000, "noise")), ip4("not udp", 0, 0, 1, 2, 6)};
        for (QByteArray &ip : ips)
            ip = frame(link, ip, tags);
        return ips;
    }
    // The port choice and the summary as the reader says them, each count agreeing with its noun.
    static QString said(int kept, int of, int bytes, const char *more = "",
                        const char *choice = "5000, the record port of the settings")
    {
        const auto s = [](int n) { return n == 1 ? "" : "s"; };
        return QString::asprintf("UDP port %s (%d of %d datagram%s) / %d datagram%s kept (%d byte%s), %d to "
                                 "other ports passed over%s",
                                 choice, kept, of, s(of), kept, s(kept), bytes, s(bytes), of - kept, more);
    }

private slots:
    void read_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("preferred");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QByteArray>("recording");
        QTest::addColumn<QString>("report");
        const auto row = [](const char *name, const QString &path, const QByteArray &recording,
                            const QString &report, int port = -1, int preferred = 5000,
                            const QString &filter = {}) {
            QTest::newRow(name) << path << port << preferred << filter << recording << report;
        };
        const QString settings = said(2, 5, 26);
        const std::pair<const char *, int> links[] = {
            {"Ethernet", DLT_EN10MB}, {"cooked v1", DLT_LINUX_SLL}, {"cooked v2", DLT_LINUX_SLL2},
            {"raw IP", DLT_RAW},      {"BSD loopback", DLT_NULL},   {"OpenBSD loopback", DLT_LOOP}};
        for (auto [name, link] : links)
            row(name, write(m_dir.filePath(name), link, noisy(link)), p1 + p2, settings);
        row("802.1ad and 802.1Q tags", write(m_dir.filePath("qinq"), DLT_EN10MB, noisy(DLT_EN10MB, 2)),
            p1 + p2, settings);
        // Copies of the tagged capture: nanoseconds (libpcap), big-endian (swapped), pcapng (editcap).
        for (const char *name : {"nano.pcap", "bigendian.pcap", "tagged.pcapng"})
            row(name, CORPUS_DIR + QString("/") + name, p1 + p2, settings);
        const QString ethernet = write(m_dir.filePath("ethernet"), DLT_EN10MB, noisy(DLT_EN10MB));
        row("the busiest port", ethernet, "noisenoisenoise",
            said(3, 5, 15, "", "6000, the port most datagrams go to"), -1, 7000);
        row("the port asked for", ethernet, p1 + p2, said(2, 5, 26, "", "5000, as asked"), 5000, 6000);
        row("a filter first", ethernet, p2, said(1, 1, 13), -1, 5000, "ip6");
        row("IPv6 behind an authentication header",
            write(m_dir.filePath("ah"), DLT_RAW, {ip6(udp(5000, p1), 0, false, -1, true)}), p1,
            said(1, 1, 13));
        row("an IPv6 atomic fragment (offset 0, no more)",
            write(m_dir.filePath("atomic"), DLT_RAW, {ip6(udp(5000, p2), 0, false, 3)}), p2, said(1, 1, 13));

        // Whole after fragments out of order (IPv4) and in order (IPv6), interleaved.
        const QByteArray f4 = "fr 3\n" + QByteArray(3000, 'x'), f6 = "fr 4\n" + QByteArray(2000, 'y');
        const QList<QByteArray> v4 = fragments(udp(5000, f4), 1480, false, 7);
        const QList<QByteArray> v6 = fragments(udp(5000, f6), 1232, true, 9);
        const QString fragmented =
            write(m_dir.filePath("fragments"), DLT_RAW, {v4[2], v6[0], v4[0], v6[1], v4[1]});
        row("fragments", fragmented, f6 + f4,
            said(2, 2, 5010, ", 5 fragments read, 2 datagrams reassembled"));
        row("fragments through a filter on ports", fragmented, f6 + f4,
            said(2, 2, 5010, ", 5 fragments read, 2 datagrams reassembled"), -1, 5000, "udp dst port 5000");
        // Repeated and agreeing overlaps are whole; a disagreement, a payload beyond 65,535 bytes and an odd
        // length before the end drop their datagrams; a differing first fragment starts over.
        const QByteArray d = udp(5000, "fr 5\n" + QByteArray(40, 'z'));
        const QList<QByteArray> p = fragments(d, 16, false, 1);
        QList<QByteArray> hostile = {p[0], p[1], p[1], ip4(d.mid(8, 24), 8, true, 1), p[2], p[3]};
        hostile << ip4(d.left(16), 0, true, 2) << ip4(QByteArray(16, 'o'), 0, true, 2)
                << ip4(QByteArray(16, 'o'), 65528, false, 3) << ip4("odd", 0, true, 4);
        row("overlapping and hostile fragments", write(m_dir.filePath("hostile"), DLT_RAW, hostile), d.mid(8),
            said(1, 1, 45,
                 ", 10 fragments read, 1 datagram reassembled, 2 incomplete and 2 malformed datagrams "
                 "dropped"));
        // One ID, fragments of two datagrams: a lost first fragment, then one of the same size (its checksum
        // fails), or of another size (it starts over), or one 31 s later (the first expired).
        const auto datagram = [](char c, int size) {
            return summedUdp(5000, "fr 7\n" + QByteArray(size, c));
        };
        const QList<QByteArray> a = fragments(datagram('a', 2000), 1000, false, 7),
                                b = fragments(datagram('b', 2000), 1000, false, 7),
                                c = fragments(datagram('c', 2000), 1000, false, 8),
                                e = fragments(datagram('e', 1500), 1000, false, 8),
                                f = fragments(datagram('f', 2000), 1000, false, 9),
                                g = fragments(datagram('g', 2000), 1000, false, 9);
        row("fragments of two datagrams under one ID",
            write(m_dir.filePath("wrapped"), DLT_RAW,
                  {a[1], a[2], b[0], b[1], b[2], c[0], c[1], e[0], e[1], f[1], f[2], g[0], g[1], g[2]}, 0,
                  {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 31, 31, 31}),
            datagram('e', 1500).mid(8) + datagram('g', 2000).mid(8),
            said(2, 2, 3510,
                 ", 14 fragments read, 3 datagrams reassembled, 3 incomplete and 0 malformed datagrams "
                 "dropped, 1 reassembled datagram failed its checksum"));
        // Cut to a snapshot length of 100 bytes: two whole datagrams and one in fragments (its last one
        // whole) to 5000, said and left out; 5000 is still the busiest port.
        QList<QByteArray> snapped = {ip4(udp(6000, p1)), ip4(udp(5000, f4)), ip6(udp(5000, f4))};
        row("a snapshot length of 100 bytes",
            write(m_dir.filePath("snapped"), DLT_RAW, snapped + fragments(udp(5000, f4), 1480, false, 7), 0,
                  {}, 100),
            "",
            QString(
                "UDP port 5000, the port most datagrams go to (0 of 4 datagrams) / 0 datagrams kept (0 "
                "bytes), 1 to other ports passed over, 1 fragment read, 0 datagrams reassembled, 1 "
                "incomplete and 0 malformed datagrams dropped, 4 packets captured short / 3 of 3 datagrams "
                "to port 5000 were cut to the capture's snapshot length of 100 bytes and are left out; "
                "capture with -s 0 to keep them whole"),
            -1, -1);
        QList<QByteArray> unfinished = {ip4(udp(5000, p1))};
        for (int id = 0; id < 300; ++id)
            unfinished << ip4(QByteArray(8, 'a'), 0, true, quint16(id));
        row("300 datagrams never completed", write(m_dir.filePath("unfinished"), DLT_RAW, unfinished), p1,
            said(1, 1, 13,
                 ", 300 fragments read, 0 datagrams reassembled, 300 incomplete and 0 malformed datagrams "
                 "dropped"));
        const QString cut = write(m_dir.filePath("cut"), DLT_EN10MB, noisy(DLT_EN10MB), 3);
        const qint64 whole = QFile(cut).size() + 3 - 16 - noisy(DLT_EN10MB).last().size();
        row("cut short in its last packet", cut, p1 + p2,
            settings + " / FILE is cut short: it ends inside a packet at byte " + QString::number(whole) +
                "; the 5 packets before it were read");

        // Damage after good packets keeps them: two captures joined by cat, the second's file header taken
        // for an empty record (16 bytes), then its first record's time for a length.
        const QString twice = m_dir.filePath("twice");
        QVERIFY(ostrel_test::writeFile(twice, ostrel_test::readFile(ethernet).repeated(2)));
        row("damaged after whole packets", twice, p1 + p2,
            settings + " / FILE is damaged at byte " + QString::number(QFile(ethernet).size() + 16) +
                " (invalid packet capture length 1700000000, bigger than snaplen of 262144); the 7 packets "
                "before it were read");
        row("a pcapng of two link types", CORPUS_DIR "/two-link-types.pcapng", "",
            "FILE holds interfaces of different link types (Ethernet, then Linux cooked v1), which cannot be "
            "read as one capture; split it by interface first: tshark -r FILE -Y frame.interface_id==0 -w "
            "OUT");

        row("a recording", CORPUS_DIR "/../frame_reader/plain_once.bin", "",
            "FILE is not a capture (pcap or pcapng)");
        row("a cut file header", write(m_dir.filePath("header"), DLT_EN10MB, {}, 14), "",
            "FILE cannot be read as a capture: truncated dump file; tried to read 24 file header bytes, only "
            "got 6");
        row("802.11", write(m_dir.filePath("wifi"), DLT_IEEE802_11, {}), "",
            "FILE holds packets of link type IEEE802_11 (105); Ethernet, Linux cooked, raw IP and BSD "
            "loopback "
            "captures can be read");
        row("a filter that does not compile", ethernet, "",
            "filter \"udp port\": can't parse filter expression: syntax error", -1, 5000, "udp port");
    }
    void read()
    {
        QFETCH(QString, path);
        QFETCH(int, port);
        QFETCH(int, preferred);
        QFETCH(QString, filter);
        CaptureRecording recording;
        const CaptureReader::Result r = recording.read(path, {port, preferred, filter});
        QString report = (r.ok() ? r.portChoice + " / " + r.stats.summary() : r.error) +
                         (r.cutNote.isEmpty() ? "" : " / " + r.cutNote) +
                         (r.snaplenNote().isEmpty() ? "" : " / " + r.snaplenNote());
        QTEST(report.replace(path, "FILE"), "report");
        QTEST(r.ok() ? ostrel_test::readFile(recording.fileName()) : QByteArray(), "recording");
        QCOMPARE(CaptureReader::isCapture(path), r.status != CaptureReader::Status::NotACapture);
    }

    // A datagram in its packet, as literal bytes: to a host; to a group, at its link address (01:00:5e and
    // the group's low 23 bits), with a payload whose UDP sum is 0; to the broadcast address, an odd length.
    void buildPacket_data()
    {
        QTest::addColumn<quint32>("destination");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("packet");
        QTest::newRow("a host") << 0x0a000001u << QByteArray("fr 1\n")
                                << QByteArray(
                                       "02000000000202000000000108004500002100010000401166c90a0000020a00"
                                       "00019c401389000dab64667220310a");
        QTest::newRow("a group") << 0xefc80102u << zeroSum
                                 << QByteArray(
                                        "01005e48010202000000000108004500002000010000401180000a000002efc8"
                                        "01029c401389000cffff6162f3dd");
        QTest::newRow("broadcast") << 0xffffffffu << QByteArray("x")
                                   << QByteArray(
                                          "ffffffffffff02000000000108004500001d00010000401170ce0a000002ff"
                                          "ffffff9c4013890009ce1078");
    }
    void buildPacket()
    {
        QFETCH(quint32, destination);
        QFETCH(QByteArray, payload);
        using namespace packet_building;
        const Endpoints endpoints{0x0a000002, 40000, destination, 5001};
        const int udpLength = kUdpHeader + int(payload.size());
        QByteArray packet(kEthernetHeader + kIpv4Header + udpLength, 0);
        uchar *ethernet = reinterpret_cast<uchar *>(packet.data()), *ip = ethernet + kEthernetHeader;
        ethernetHeader(ethernet, destination);
        std::memcpy(ip + kIpv4Header + kUdpHeader, payload.constData(), size_t(payload.size()));
        udpHeader(ip + kIpv4Header, endpoints, udpLength);
        ipv4Header(ip, endpoints, 1, 0, udpLength, false);
        QTEST(packet.toHex(), "packet");
    }

    // Where a datagram is cut into fragments, as "offset:length", "+" while more follow.
    void cutIntoFragments_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("mtu");
        QTest::addColumn<QString>("fragments");
        QTest::newRow("filling the MTU") << 1480 << 1500 << "whole";
        QTest::newRow("a byte beyond") << 1481 << 1500 << "0:1480+ 1480:1";
        QTest::newRow("576") << 1508 << 576 << "0:552+ 552:552+ 1104:404";
        QTest::newRow("8-byte units") << 1000 << 579 << "0:552+ 552:448";
        QTest::newRow("never cut") << 65515 << 0 << "whole";
    }
    void cutIntoFragments()
    {
        QFETCH(int, length);
        QFETCH(int, mtu);
        QStringList cut;
        if (packet_building::fitsOnePacket(length, mtu))
            cut << "whole";
        else
            packet_building::cutIntoFragments(length, mtu, [&](int offset, int dataLength, bool more) {
                cut << QString("%1:%2%3").arg(offset).arg(dataLength).arg(more ? "+" : "");
            });
        QTEST(cut.join(' '), "fragments");
    }

    // Written to a group with a small MTU: every packet goes to the group's link address, every checksum
    // sums to 0xffff, and a UDP sum of 0 is sent as 0xffff.
    void exportToAGroup()
    {
        const QString pcap = m_dir.filePath("group.pcap");
        CaptureWriter writer({0x0a000002, 40000, 0xefc80102, 5001}, 576);
        QVERIFY(writer.open(std::fopen(QFile::encodeName(pcap).constData(), "wb")));
        for (const QByteArray &payload : {zeroSum, QByteArray(1200, 'g'), QByteArray("odd")})
            QVERIFY(writer.write(1700000000000000000, payload));
        QVERIFY(writer.close());
        const QList<QByteArray> written = packets(pcap);
        QCOMPARE(written.size(), 5);
        for (const QByteArray &p : written)
            QCOMPARE(p.left(6).toHex(), QByteArray("01005e480102"));
        QList<quint16> udp;
        QCOMPARE(badChecksums(written, &udp), QStringList());
        QCOMPARE(udp.first(), quint16(0xffff));
    }

    // Exported with a small MTU (frames in one to four fragments), read back: the wire forms, in packets
    // timed by the recorded rate from the given start.
    void exportAndReadBack()
    {
        const QString orf = m_dir.filePath("r.orf"), pcap = m_dir.filePath("r.pcap");
        QByteArray text;
        for (int i = 1; i <= 4; ++i)
            text += "fr " + QByteArray::number(i) + "\nts " + QByteArray::number(10 + i * 0.01) +
                    "\n# note\n  " + QByteArray(i * 500, 'b') + " \n";
        QVERIFY(ostrel_test::writeFile(orf, text));
        FrameIndex index;
        QVERIFY(FrameScanner::scan(orf, index).ok());
        CaptureWriter writer(CaptureWriter::endpointsFor(0x7f000001, 5001), 576);
        QVERIFY(writer.open(std::fopen(QFile::encodeName(pcap).constData(), "wb")));
        const PlaybackEngine::Options byTimestamps{{}, 4.0f, true};
        const qint64 start = 1700000000123456789;
        QCOMPARE(writer.writeRecording(index, byTimestamps, start).packets, 10);
        QVERIFY(writer.close());
        QByteArray wire, wires;
        for (qsizetype k = 0; k < index.size(); ++k)
            wires += (index.wire(k, &wire), wire);
        QList<qint64> times;
        QCOMPARE(badChecksums(packets(pcap, &times)), QStringList());
        CaptureRecording back;
        QCOMPARE(back.read(pcap, {}).stats.reassembled, 3);
        QCOMPARE(ostrel_test::readFile(back.fileName()), wires);
        QList<qint64> expected;
        for (int frame = 0; frame < 4; ++frame)
            expected << QList<qint64>(frame + 1, start + frame * 10000000); // its packets at one time
        QCOMPARE(times, expected);
    }

    // Large frames: one of 20,000 bytes in one packet (MTU 0), one of 200 KB of comments whose wire form is
    // small, and one too large for a datagram, where the writing stops, naming it and its size.
    void exportLargeFrames()
    {
        const QString orf = m_dir.filePath("large.orf"), pcap = m_dir.filePath("large.pcap");
        const QByteArray line = QByteArray(99, 'y') + '\n';
        QVERIFY(ostrel_test::writeFile(orf, "fr 1\n" + line.repeated(200) + "fr 2\n" +
                                                QByteArray("# a comment\n").repeated(20000) + "body\nfr 3\n" +
                                                line.repeated(700) + "fr 4\n"));
        FrameIndex index;
        QVERIFY(FrameScanner::scan(orf, index).ok());
        CaptureWriter writer(CaptureWriter::endpointsFor(0x7f000001, 5001), 0);
        QVERIFY(writer.open(std::fopen(QFile::encodeName(pcap).constData(), "wb")));
        const CaptureWriter::Written w = writer.writeRecording(index, PlaybackEngine::Options(), 0);
        QVERIFY(writer.close());
        QCOMPARE(w.status, CaptureWriter::Written::Status::TooLarge);
        QCOMPARE(QString("%1 %2 %3").arg(w.frames).arg(w.frame).arg(w.size), QString("2 3 70706"));
        const QList<QByteArray> written = packets(pcap);
        QCOMPARE(badChecksums(written), QStringList());
        QByteArray wire;
        for (int k = 0; k < 2; ++k) {
            index.wire(k, &wire);
            QCOMPARE(written.value(k).mid(14 + 20 + 8), wire);
        }
    }

    // At the recorded times: a jitter and a step back, a frame without a timestamp one median interval after
    // the one before. Read back as a capture, that frame takes its packet's time, measured from the frame
    // before on the sender's clock, so the recording's intervals come back.
    void exportAtRecordedTimesAndReadBack()
    {
        const QString orf = m_dir.filePath("t.orf"), pcap = m_dir.filePath("t.pcap");
        QVERIFY(
            ostrel_test::writeFile(orf, "fr 1\nts 5.0\nfr 2\nts 5.1\nfr 3\nfr 4\nts 5.35\nfr 5\nts 5.3\n"));
        FrameIndex index;
        QVERIFY(FrameScanner::scan(orf, index).ok());
        CaptureWriter writer(CaptureWriter::endpointsFor(0x7f000001, 5001));
        QVERIFY(writer.open(std::fopen(QFile::encodeName(pcap).constData(), "wb")));
        PlaybackEngine::Options recorded;
        recorded.recordedTiming = true;
        const qint64 start = 1700000000000000000;
        const CaptureWriter::Written w = writer.writeRecording(index, recorded, start);
        QVERIFY(writer.close());
        QCOMPARE(QString("%1/%2").arg(w.outOfOrder).arg(w.shortened), QString("1/0"));
        QList<qint64> us; // the index keeps intervals as floats: nanoseconds off
        QList<qint64> times;
        packets(pcap, &times);
        for (qint64 t : times)
            us << (t - start + 500) / 1000;
        QCOMPARE(us, QList<qint64>({0, 100000, 200000, 350000, 350000}));

        CaptureRecording back;
        QVERIFY(back.read(pcap, {}).ok());
        QVERIFY(back.scan(index).ok());
        QStringList intervals;
        for (qsizetype k = 1; k < index.size(); ++k)
            intervals << QString::number(index.interval(k), 'f', 4);
        QCOMPARE(intervals.join(' '), QString("0.1000 0.1000 0.1500 -0.0500"));
    }
};

QTEST_GUILESS_MAIN(TestCapture)
#include "tst_capture.moc"
