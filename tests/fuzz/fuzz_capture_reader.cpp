// The capture reader, the packet decoding and the fragment reassembly on any bytes, four ways: the input as
// a capture file; the input as packets (each behind a two-byte length) that libpcap writes into a capture of
// the link type the first byte picks, so every input reaches the link and IP layers; the input as one frame
// of every link type decoded directly; and the input as fragments (a key, an offset with the more-fragments
// bit, a length, a protocol, the bytes) fed straight to a reassembly with small limits. No more bytes are
// ever kept than the input holds; what the decoding finds lies within the input; every byte of a
// reassembled datagram is a byte a fragment of that datagram carried at that place; the limits hold. And
// fifth, the input as sound datagrams with good checksums, cut into fragments sent interleaved, out of
// order, repeated, their IDs used again once a datagram is whole: every one arrives as sent, and none fails
// its checksum (the guards against joining two datagrams never misfire on sound traffic).
#include "capture/capture_reader.h"
#include "capture/datagram_extractor.h"
#include "capture/ip_reassembly.h"
#include "capture/packet_decoding.h"
#include "capture_files.h"
#include "fuzz_check.h"

#include <QDir>
#include <QFile>
#include <QtEndian>
#include <algorithm>
#include <cstdint>
#include <pcap/pcap.h>
#include <unistd.h>
#include <vector>

namespace {

const int links[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW,
                     DLT_NULL,   DLT_LOOP,      DLT_IPV4,       DLT_IPV6};

qint64 kept(const QString &path)
{
    qint64 bytes = 0;
    const CaptureReader::Result r =
        CaptureReader::read(path, {-1, 5000, {}}, [&](const char *, qsizetype n, qint64) {
            bytes += n;
            return true;
        });
    // Only a failure found after packets were read (a read error, a second link type) follows kept bytes.
    FUZZ_CHECK(bytes == r.stats.bytes &&
               (r.ok() || bytes == 0 || r.status == CaptureReader::Status::Unreadable ||
                r.status == CaptureReader::Status::Refused));
    return bytes;
}

void asPackets(const uint8_t *data, size_t size, const QString &path)
{
    pcap_t *p = pcap_open_dead(links[data[0] % 8], 262144);
    pcap_dumper_t *d = pcap_dump_open(p, QFile::encodeName(path).constData());
    FUZZ_CHECK(d);
    for (size_t at = 1; at + 2 <= size;) {
        const size_t n = std::min<size_t>(qFromBigEndian<quint16>(data + at), size - at - 2);
        const pcap_pkthdr h{{0, 0}, bpf_u_int32(n), bpf_u_int32(n)};
        pcap_dump(reinterpret_cast<u_char *>(d), &h, data + at + 2);
        at += 2 + n;
    }
    pcap_dump_close(d);
    pcap_close(p);
    FUZZ_CHECK(kept(path) <= qint64(size));
}

void asFrame(const uint8_t *data, size_t size)
{
    const QByteArrayView input(data, qsizetype(size));
    const auto within = [&](QByteArrayView v) {
        return v.isEmpty() ||
               (v.data() >= input.data() && v.data() + v.size() <= input.data() + input.size());
    };
    for (int link : links) {
        const QByteArrayView ip = packet_decoding::linkType(link)->ipPacket(input);
        FUZZ_CHECK(within(ip));
        packet_decoding::Fragment fragment;
        const packet_decoding::Ip decoded =
            ip.isEmpty() ? packet_decoding::Ip() : packet_decoding::ip(ip, &fragment);
        FUZZ_CHECK(within(decoded.udp) && within(fragment.share.data) &&
                   within(packet_decoding::udp(decoded.udp).payload));
    }
    FUZZ_CHECK(within(packet_decoding::ipv6Reassembled(input, size > 0 ? data[0] : 0).udp));
}

struct Fed
{
    int key;
    int offset;
    QByteArrayView bytes;
};

void asFragments(const uint8_t *data, size_t size)
{
    IpReassembly reassembly(4, 0);
    std::vector<Fed> fed;
    for (size_t at = 0; at + 5 <= size;) {
        const int key = data[at] & 7;
        const int field = qFromBigEndian<quint16>(data + at + 1);
        const size_t n = std::min<size_t>(data[at + 3], size - at - 5);
        IpReassembly::Key k;
        k.version = key & 4 ? 6 : 4;
        k.id = quint32(key & 3);
        IpReassembly::Fragment f;
        f.offset = (field & 0x1fff) * 8;
        f.more = (field & 0x8000) != 0;
        f.data = QByteArrayView(data + at + 5, qsizetype(n));
        f.limit = 65515;
        f.protocol = data[at + 4];
        at += 5 + n;
        fed.push_back({key, f.offset, f.data});
        QByteArrayView whole;
        quint8 protocol = 0;
        const IpReassembly::Outcome outcome = reassembly.add(k, f, 0, &whole, &protocol);
        FUZZ_CHECK(reassembly.pending() <= 4 && reassembly.bytesHeld() <= reassembly.byteLimit());
        if (outcome != IpReassembly::Outcome::Complete)
            continue;
        FUZZ_CHECK(whole.size() > 0 && whole.size() <= f.limit);
        std::vector<bool> carried(size_t(whole.size()), false);
        for (const Fed &piece : fed) {
            for (qsizetype i = 0; piece.key == key && i < piece.bytes.size(); ++i) {
                const qsizetype j = piece.offset + i;
                if (j < whole.size() && piece.bytes[i] == whole[j])
                    carried[size_t(j)] = true;
            }
        }
        FUZZ_CHECK(std::all_of(carried.begin(), carried.end(), [](bool b) { return b; }));
    }
}

void asSoundDatagrams(const uint8_t *data, size_t size)
{
    struct Sending
    {
        QList<QByteArray> packets;
        qsizetype next = 0;
    };
    Sending senders[4]; // sender i sends with the ID i
    std::vector<QByteArray> sent, arrived;
    PortCounts ports;
    const CaptureReader::Sink sink = [&](const char *d, qsizetype n, qint64) {
        arrived.emplace_back(d, n);
        return true;
    };
    DatagramExtractor extractor(*packet_decoding::linkType(DLT_RAW), 5000, sink, &ports);
    CaptureFile::Packet packet;
    for (size_t at = 0; at + 3 <= size; at += 3) {
        Sending &s = senders[data[at] & 3];
        if (s.next == s.packets.size()) { // free: a new datagram, its fragments rotated
            const QByteArray payload = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size))
                                           .repeated(4)
                                           .mid(at, data[at + 1] * 3 + 1);
            sent.push_back(payload);
            s.packets = capture_files::fragments(capture_files::summedUdp(5000, payload),
                                                 8 * (1 + data[at + 2] % 64), false, data[at] & 3);
            std::rotate(s.packets.begin(), s.packets.begin() + data[at + 2] % s.packets.size(),
                        s.packets.end());
            s.next = 0;
        }
        packet.bytes = s.packets[s.next];
        extractor.take(packet);
        // A repeat, but never after the last fragment: that would begin a datagram of its own.
        if (!(data[at] & 4) || s.next + 1 == s.packets.size())
            ++s.next;
    }
    for (Sending &s : senders) // every datagram finished
        for (; s.next < s.packets.size(); ++s.next)
            extractor.take(packet = {s.packets[s.next], 0, false});
    std::sort(sent.begin(), sent.end());
    std::sort(arrived.begin(), arrived.end());
    FUZZ_CHECK(extractor.stats().badChecksum == 0 && arrived == sent);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = QDir::tempPath() + QStringLiteral("/fuzz_capture_reader-%1.pcap").arg(getpid());
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly) &&
               file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    file.close();
    FUZZ_CHECK(kept(path) <= qint64(size));
    if (size > 0)
        asPackets(data, size, path);
    asFrame(data, size);
    asFragments(data, size);
    asSoundDatagrams(data, size);
    return 0;
}
