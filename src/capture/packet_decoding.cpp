#include "capture/packet_decoding.h"

#include <QtEndian>
#include <cstring>
#include <pcap/dlt.h>

namespace packet_decoding {

using namespace protocol_numbers;

namespace {

constexpr int kEthernetHeader = 14; // destination, source, EtherType
constexpr int kEthernetTypeAt = 12;
constexpr int kCookedV1Header = 16;
constexpr int kCookedV1TypeAt = 14;
constexpr int kCookedV2Header = 20;
constexpr int kCookedV2TypeAt = 0;
constexpr int kTag = 4; // a VLAN tag: its control field, then the EtherType it tags
constexpr int kLoopbackHeader = 4;

constexpr int kIpv4Header = 20; // without options
constexpr int kIpv6Header = 40;
constexpr int kIpv6Address = 16;
constexpr int kFragmentHeader = 8;
constexpr int kUdpHeader = 8;
constexpr int kLargestIpPayload = 65535;

constexpr quint16 kIpv4MoreFragments = 0x2000;
constexpr quint16 kIpv4OffsetMask = 0x1fff; // in 8-byte units
constexpr quint16 kIpv6OffsetMask = 0xfff8; // already in bytes
constexpr quint16 kIpv6MoreFragments = 0x0001;

const uchar *bytes(QByteArrayView b)
{
    return reinterpret_cast<const uchar *>(b.data());
}

quint16 be16(const uchar *p)
{
    return qFromBigEndian<quint16>(p);
}

quint32 be32(const uchar *p)
{
    return qFromBigEndian<quint32>(p);
}

// After the EtherType at typeAt and the header ending at at: the tags, then IPv4 or IPv6.
QByteArrayView behindEtherType(QByteArrayView frame, int typeAt, int at)
{
    if (frame.size() < at)
        return {};
    const uchar *d = bytes(frame);
    quint16 type = be16(d + typeAt);
    while ((type == kEtherTypeVlan || type == kEtherTypeServiceVlan || type == kEtherTypeOldServiceVlan) &&
           at + kTag <= frame.size()) {
        type = be16(d + at + 2);
        at += kTag;
    }
    return type == kEtherTypeIpv4 || type == kEtherTypeIpv6 ? frame.sliced(at) : QByteArrayView();
}

QByteArrayView ethernet(QByteArrayView frame)
{
    return behindEtherType(frame, kEthernetTypeAt, kEthernetHeader);
}

QByteArrayView cookedV1(QByteArrayView frame)
{
    return behindEtherType(frame, kCookedV1TypeAt, kCookedV1Header);
}

QByteArrayView cookedV2(QByteArrayView frame)
{
    return behindEtherType(frame, kCookedV2TypeAt, kCookedV2Header);
}

// The address family in the capturing machine's byte order (DLT_NULL), taken in either.
QByteArrayView bsdLoopback(QByteArrayView frame)
{
    if (frame.size() < kLoopbackHeader)
        return {};
    const uchar *d = bytes(frame);
    for (quint32 family : {qFromLittleEndian<quint32>(d), qFromBigEndian<quint32>(d)})
        if (family == kFamilyIpv4 || family == kFamilyIpv6Linux || family == kFamilyIpv6NetBsd ||
            family == kFamilyIpv6FreeBsd || family == kFamilyIpv6Darwin)
            return frame.sliced(kLoopbackHeader);
    return {};
}

QByteArrayView rawIp(QByteArrayView frame)
{
    return frame;
}

constexpr LinkType kLinkTypes[] = {
    {DLT_EN10MB, ethernet},  {DLT_LINUX_SLL, cookedV1}, {DLT_LINUX_SLL2, cookedV2}, {DLT_NULL, bsdLoopback},
    {DLT_LOOP, bsdLoopback}, {DLT_RAW, rawIp},          {DLT_IPV4, rawIp},          {DLT_IPV6, rawIp},
};

Ip verdict(Verdict v)
{
    return Ip{v, {}};
}

Ip datagram(const uchar *d, int n)
{
    return Ip{Verdict::Datagram, QByteArrayView(d, n)};
}

Ip ipv4(const uchar *d, int n, Fragment *f)
{
    if (n < kIpv4Header)
        return verdict(Verdict::Short);
    const int headerLength = (d[0] & 0x0f) * 4;
    const int total = be16(d + 2);
    if (headerLength < kIpv4Header || total < headerLength)
        return verdict(Verdict::Malformed);
    if (total > n)
        return verdict(Verdict::Short);
    if (d[9] != kUdp)
        return verdict(Verdict::NotUdp);
    const quint16 flags = be16(d + 6);
    const int offset = (flags & kIpv4OffsetMask) * 8;
    const bool more = (flags & kIpv4MoreFragments) != 0;
    if (offset == 0 && !more)
        return datagram(d + headerLength, total - headerLength);
    *f = Fragment();
    f->key.version = 4;
    f->key.protocol = d[9];
    f->key.id = be16(d + 4);
    std::memcpy(f->key.source.data(), d + 12, 4);
    std::memcpy(f->key.destination.data(), d + 16, 4);
    f->share.offset = offset;
    f->share.more = more;
    f->share.data = QByteArrayView(d + headerLength, total - headerLength);
    f->share.limit = kLargestIpPayload - headerLength;
    f->share.protocol = d[9];
    return verdict(Verdict::Fragment);
}

// The length of the extension header at pos, which names itself next: -1 when it is no extension header
// this walk passes over, 0 when its length lies beyond end.
int extensionLength(quint8 next, const uchar *d, int pos, int end)
{
    switch (next) {
    case kHopByHopOptions:
    case kRouting:
    case kDestinationOptions:
    case kMobility:
    case kHostIdentity:
    case kShim6:
        return pos + 2 <= end ? (d[pos + 1] + 1) * 8 : 0;
    case kAuthentication: // its length counts 4-byte words
        return pos + 2 <= end ? (d[pos + 1] + 2) * 4 : 0;
    }
    return -1;
}

Ip ipv6Fragment(const uchar *d, int pos, int end, const uchar *header, Fragment *f)
{
    const quint16 field = be16(d + pos + 2);
    *f = Fragment();
    f->key.version = 6;
    f->key.id = be32(d + pos + 4);
    std::memcpy(f->key.source.data(), header + 8, kIpv6Address);
    std::memcpy(f->key.destination.data(), header + 8 + kIpv6Address, kIpv6Address);
    f->share.offset = field & kIpv6OffsetMask;
    f->share.more = (field & kIpv6MoreFragments) != 0;
    f->share.data = QByteArrayView(d + pos + kFragmentHeader, end - pos - kFragmentHeader);
    f->share.limit = kLargestIpPayload - (pos - kIpv6Header); // the headers before it stay in the datagram
    f->share.protocol = d[pos];
    return verdict(Verdict::Fragment);
}

// Walks IPv6's headers from pos, next naming the one there, to the UDP header or a fragment header. header:
// the packet's IPv6 header, for a fragment's addresses; nullptr in a payload put together from fragments,
// where a fragment header is not followed (nor f set).
Ip ipv6Headers(const uchar *d, int pos, int end, quint8 next, const uchar *header, Fragment *f)
{
    for (;;) {
        if (next == kUdp)
            return datagram(d + pos, end - pos);
        if (next == kFragment && header) {
            if (pos + kFragmentHeader > end)
                return verdict(Verdict::Malformed);
            const quint16 field = be16(d + pos + 2);
            if ((field & (kIpv6OffsetMask | kIpv6MoreFragments)) != 0)
                return ipv6Fragment(d, pos, end, header, f);
            // An atomic fragment: a whole datagram behind a fragment header.
            next = d[pos];
            pos += kFragmentHeader;
            continue;
        }
        const int length = extensionLength(next, d, pos, end);
        if (length < 0)
            return verdict(Verdict::NotUdp);
        if (length == 0 || pos + length > end)
            return verdict(Verdict::Malformed);
        next = d[pos];
        pos += length;
    }
}

Ip ipv6(const uchar *d, int n, Fragment *f)
{
    if (n < kIpv6Header)
        return verdict(Verdict::Short);
    const int payload = be16(d + 4);
    if (payload == 0) // a jumbogram
        return verdict(Verdict::NotUdp);
    const int end = kIpv6Header + payload;
    if (end > n)
        return verdict(Verdict::Short);
    return ipv6Headers(d, kIpv6Header, end, d[6], d, f);
}

} // namespace

const LinkType *linkType(int value)
{
    for (const LinkType &type : kLinkTypes)
        if (type.value == value)
            return &type;
    return nullptr;
}

Ip ip(QByteArrayView packet, Fragment *fragment)
{
    const uchar *d = bytes(packet);
    const int n = int(packet.size());
    switch (d[0] >> 4) {
    case 4:
        return ipv4(d, n, fragment);
    case 6:
        return ipv6(d, n, fragment);
    }
    return verdict(Verdict::NotUdp);
}

void rebuildPacket(const IpReassembly::Key &key, quint8 protocol, QByteArrayView payload,
                   std::vector<char> *packet)
{
    const bool v4 = key.version == 4;
    const int header = v4 ? kIpv4Header : kIpv6Header;
    packet->assign(size_t(header), 0);
    uchar *h = reinterpret_cast<uchar *>(packet->data());
    if (v4) {
        h[0] = 0x45;
        qToBigEndian<quint16>(quint16(header + payload.size()), h + 2);
        qToBigEndian<quint16>(quint16(key.id), h + 4);
        h[8] = 64; // a time to live, as any sender's
        h[9] = protocol;
        std::memcpy(h + 12, key.source.data(), 4);
        std::memcpy(h + 16, key.destination.data(), 4);
    } else {
        h[0] = 0x60;
        qToBigEndian<quint16>(quint16(payload.size()), h + 4);
        h[6] = protocol;
        h[7] = 64;
        std::memcpy(h + 8, key.source.data(), kIpv6Address);
        std::memcpy(h + 8 + kIpv6Address, key.destination.data(), kIpv6Address);
    }
    packet->insert(packet->end(), payload.begin(), payload.end());
}

int cutDatagramPort(QByteArrayView packet)
{
    const uchar *d = bytes(packet);
    const int n = int(packet.size());
    QByteArrayView udp;
    if ((d[0] >> 4) == 4 && n >= kIpv4Header) {
        const int headerLength = (d[0] & 0x0f) * 4;
        if (d[9] == kUdp && (be16(d + 6) & kIpv4OffsetMask) == 0 && headerLength >= kIpv4Header &&
            headerLength <= n)
            udp = packet.sliced(headerLength);
    } else if ((d[0] >> 4) == 6 && n >= kIpv6Header) {
        Fragment f; // the headers walked as far as they were captured
        const Ip ip = ipv6Headers(d, kIpv6Header, n, d[6], d, &f);
        udp = ip.verdict == Verdict::Datagram ? ip.udp
              : ip.verdict == Verdict::Fragment && f.share.offset == 0 && f.share.protocol == kUdp
                  ? f.share.data
                  : QByteArrayView();
    }
    return udp.size() >= 4 ? be16(bytes(udp) + 2) : -1;
}

Ip ipv6Reassembled(QByteArrayView payload, quint8 next)
{
    return ipv6Headers(bytes(payload), 0, int(payload.size()), next, nullptr, nullptr);
}

Udp udp(QByteArrayView datagram)
{
    Udp u;
    const uchar *d = bytes(datagram);
    const int length = datagram.size() >= kUdpHeader ? be16(d + 4) : 0;
    if (length < kUdpHeader || length > datagram.size())
        return u;
    u.wellFormed = true;
    u.destinationPort = be16(d + 2);
    u.payload = QByteArrayView(d + kUdpHeader, length - kUdpHeader);
    return u;
}

namespace {

quint32 addWords(quint32 sum, const uchar *d, int n)
{
    for (int i = 0; i + 1 < n; i += 2)
        sum += be16(d + i);
    if (n % 2 != 0)
        sum += quint32(d[n - 1]) << 8;
    return sum;
}

} // namespace

bool reassembledChecksumHolds(const IpReassembly::Key &key, QByteArrayView datagram)
{
    const uchar *d = bytes(datagram);
    const int length = datagram.size() >= kUdpHeader ? be16(d + 4) : 0;
    if (length < kUdpHeader || length > datagram.size() || be16(d + 6) == 0)
        return true;
    const int address = key.version == 4 ? 4 : kIpv6Address;
    quint32 sum = addWords(0, key.source.data(), address);
    sum = addWords(sum, key.destination.data(), address);
    sum += kUdp + quint32(length);
    sum = addWords(sum, d, length);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return sum == 0xffff;
}

} // namespace packet_decoding
