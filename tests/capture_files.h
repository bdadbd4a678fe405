// Test captures written through libpcap itself: UDP over IPv4 and IPv6 (whole or as fragments), framed
// for a link type, dumped with pcap_dump; a capture can be cut short.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QtEndian>
#include <pcap/pcap.h>

namespace capture_files {

inline QByteArray be(quint64 value, int bytes)
{
    const quint64 big = qToBigEndian(value);
    return QByteArray(reinterpret_cast<const char *>(&big) + 8 - bytes, bytes);
}

// A UDP header (no checksum) and its payload.
inline QByteArray udp(quint16 port, const QByteArray &payload)
{
    return be(40000, 2) + be(port, 2) + be(8 + payload.size(), 2) + be(0, 2) + payload;
}

// One IPv4 packet from 10.0.0.<source> to 10.0.0.1 with data at byte offset of its datagram's payload.
inline QByteArray ip4(const QByteArray &data, int offset = 0, bool more = false, quint16 id = 1,
                      int source = 2, int protocol = 17)
{
    return be(0x4500, 2) + be(20 + data.size(), 2) + be(id, 2) + be((more ? 0x2000 : 0) | offset / 8, 2) +
           be(64, 1) + be(protocol, 1) + be(0, 2) + be(0x0a000000 | source, 4) + be(0x0a000001, 4) + data;
}

// One IPv6 packet from fd00::2 to fd00::1 behind a hop-by-hop header, an authentication header (its length
// counted in 4-byte words, less 2) when asked, and a fragment header with id >= 0.
inline QByteArray ip6(const QByteArray &data, int offset = 0, bool more = false, qint64 id = -1,
                      bool authenticated = false)
{
    const int next = id >= 0 ? 44 : 17;
    QByteArray ext = be(authenticated ? 51 : next, 1) + QByteArray(7, 0);
    if (authenticated) // 24 bytes: next header, length, reserved, index, sequence number, 12-byte check value
        ext += be(next, 1) + be(24 / 4 - 2, 1) + QByteArray(2, 0) + be(0x100, 4) + be(7, 4) +
               QByteArray(12, 'i');
    if (id >= 0)
        ext += be(17, 1) + be(0, 1) + be(offset | (more ? 1 : 0), 2) + be(quint64(id), 4);
    const QByteArray address = be(0xfd, 1) + QByteArray(14, 0);
    return be(0x60000000, 4) + be(ext.size() + data.size(), 2) + be(0, 1) + be(64, 1) + address + be(2, 1) +
           address + be(1, 1) + ext + data;
}

// A UDP header with the checksum of a datagram from 10.0.0.2 to 10.0.0.1, and its payload.
inline QByteArray summedUdp(quint16 port, const QByteArray &payload)
{
    QByteArray d = udp(port, payload);
    const QByteArray sumOver = be(0x0a0000020a000001, 8) + be(17, 2) + be(d.size(), 2) + d + QByteArray(1, 0);
    quint32 sum = 0;
    for (int i = 0; i + 1 < sumOver.size(); i += 2)
        sum += quint32(uchar(sumOver[i])) << 8 | uchar(sumOver[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return d.replace(6, 2, be(sum == 0xffff ? 0xffff : ~sum & 0xffff, 2));
}

// A datagram's packets, its payload cut into pieces of size bytes.
inline QList<QByteArray> fragments(const QByteArray &datagram, int size, bool v6, quint16 id)
{
    QList<QByteArray> packets;
    for (int at = 0; at < datagram.size(); at += size) {
        const bool more = at + size < datagram.size();
        packets << (v6 ? ip6(datagram.mid(at, size), at, more, id)
                       : ip4(datagram.mid(at, size), at, more, id));
    }
    return packets;
}

// The IP packet framed for a link type, behind 802.1ad then 802.1Q tags on Ethernet.
inline QByteArray frame(int link, const QByteArray &ip, int tags = 0)
{
    const bool v6 = (uchar(ip[0]) >> 4) == 6;
    const QByteArray type = be(v6 ? 0x86dd : 0x0800, 2);
    QByteArray tagged;
    for (int i = 0; i < tags; ++i)
        tagged += be(i + 1 < tags ? 0x88a8 : 0x8100, 2) + be(i + 5, 2);
    switch (link) {
    case DLT_EN10MB:
        return be(0x020000000002, 6) + be(0x020000000001, 6) + tagged + type + ip;
    case DLT_LINUX_SLL:
        return be(0x000100060000, 6) + QByteArray(8, 0) + type + ip;
    case DLT_LINUX_SLL2:
        return type + be(1, 6) + be(0x00010006, 4) + QByteArray(8, 0) + ip;
    case DLT_NULL: // the address family in the capturing machine's byte order
        return QByteArray(v6 ? "\x1e\0\0\0" : "\x02\0\0\0", 4) + ip;
    case DLT_LOOP:
        return be(v6 ? 24 : 2, 4) + ip;
    }
    return ip;
}

// Writes the frames, a microsecond apart plus seconds[i], as a capture of the link type with a snapshot
// length; cut bytes are taken off its end. The path, or an empty one when it cannot be written.
inline QString write(const QString &path, int link, const QList<QByteArray> &frames, int cut = 0,
                     const QList<int> &seconds = {}, int snaplen = 262144)
{
    pcap_t *p = pcap_open_dead(link, snaplen);
    pcap_dumper_t *d = pcap_dump_open(p, QFile::encodeName(path).constData());
    for (int i = 0; d && i < frames.size(); ++i) {
        const pcap_pkthdr h{{1700000000 + seconds.value(i), i},
                            bpf_u_int32(qMin(frames[i].size(), snaplen)),
                            bpf_u_int32(frames[i].size())};
        pcap_dump(reinterpret_cast<u_char *>(d), &h, reinterpret_cast<const u_char *>(frames[i].constData()));
    }
    if (d)
        pcap_dump_close(d);
    pcap_close(p);
    return d && (cut == 0 || QFile::resize(path, QFile(path).size() - cut)) ? path : QString();
}

} // namespace capture_files
