#include "capture/packet_building.h"

#include "capture/protocol_numbers.h"

#include <QtEndian>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace packet_building {

namespace {

constexpr uchar kSourceMac[6] = {0x02, 0, 0, 0, 0, 0x01};
constexpr uchar kDestinationMac[6] = {0x02, 0, 0, 0, 0, 0x02};
constexpr uchar kBroadcastMac[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
constexpr uchar kIpv4MulticastMac[3] = {0x01, 0x00, 0x5e}; // followed by the group's low 23 bits
constexpr quint32 kBroadcast = 0xffffffff;
constexpr quint8 kVersion4Header20 = 0x45;
constexpr quint16 kMoreFragments = 0x2000;
constexpr int kPseudoHeader = 12;

bool isMulticast(quint32 ip)
{
    return (ip >> 28) == 0xe; // 224.0.0.0/4
}

void put16(uchar *p, quint16 v)
{
    qToBigEndian(v, p);
}

void put32(uchar *p, quint32 v)
{
    qToBigEndian(v, p);
}

// The ones' complement sum of the bytes as 16-bit words, not yet folded. Summed in the machine's own byte
// order, 32 bits at a time: folded, the sum then lies in memory as the network order wants it.
quint64 sumPlain(const uchar *p, size_t n, quint64 total)
{
    // A datagram's 32-bit words cannot overflow 64 bits (at most 2^14 of 2^32 each, and total is far below
    // 2^63). Longer runs 8 bytes at a time, their halves summed apart.
    quint64 low = 0, high = 0;
    for (; n >= 8; p += 8, n -= 8) {
        quint64 word;
        std::memcpy(&word, p, 8);
        low += word & 0xffffffff;
        high += word >> 32;
    }
    total += low + high;
    for (; n >= 4; p += 4, n -= 4) {
        quint32 word;
        std::memcpy(&word, p, 4);
        total += word;
    }
    quint16 half = 0;
    if (n >= 2) {
        std::memcpy(&half, p, 2);
        total += half;
        p += 2;
        n -= 2;
    }
    if (n) {
        half = 0;
        std::memcpy(&half, p, 1);
        total += half;
    }
    return total;
}

#if defined(__x86_64__)
// The same, 32 bytes at a time, each 32-bit word widened into a 64-bit lane.
__attribute__((target("avx2"))) quint64 sumAvx2(const uchar *p, size_t n, quint64 total)
{
    __m256i low = _mm256_setzero_si256(), high = _mm256_setzero_si256();
    const __m256i zero = _mm256_setzero_si256();
    for (; n >= 32; p += 32, n -= 32) {
        const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        low = _mm256_add_epi64(low, _mm256_unpacklo_epi32(words, zero));
        high = _mm256_add_epi64(high, _mm256_unpackhi_epi32(words, zero));
    }
    alignas(32) quint64 lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), _mm256_add_epi64(low, high));
    return sumPlain(p, n, total + lanes[0] + lanes[1] + lanes[2] + lanes[3]);
}
#endif

quint64 sum(const uchar *p, size_t n, quint64 total = 0)
{
#if defined(__x86_64__)
    static const bool wide = __builtin_cpu_supports("avx2");
    if (wide && n >= 64)
        return sumAvx2(p, n, total);
#endif
    return sumPlain(p, n, total);
}

// The same sum of a header of a fixed size, a multiple of 4 bytes: unrolled, for the many small ones.
template <size_t kBytes> quint64 headerSum(const uchar *p)
{
    static_assert(kBytes % 4 == 0);
    quint64 total = 0;
    for (size_t i = 0; i < kBytes; i += 4) {
        quint32 word;
        std::memcpy(&word, p + i, 4);
        total += word;
    }
    return total;
}

// Folds a sum and stores its complement at p as the header wants it; a UDP checksum of 0 means none, so
// there the other form of 0 is stored.
void putChecksum(uchar *p, quint64 total, bool udp)
{
    while (total >> 16)
        total = (total & 0xffff) + (total >> 16);
    quint16 checksum = quint16(~total);
    if (udp && checksum == 0)
        checksum = 0xffff;
    std::memcpy(p, &checksum, 2);
}

} // namespace

void ethernetHeader(uchar *header, quint32 destinationIp)
{
    if (isMulticast(destinationIp)) {
        std::memcpy(header, kIpv4MulticastMac, 3);
        header[3] = uchar((destinationIp >> 16) & 0x7f);
        header[4] = uchar(destinationIp >> 8);
        header[5] = uchar(destinationIp);
    } else {
        std::memcpy(header, destinationIp == kBroadcast ? kBroadcastMac : kDestinationMac, 6);
    }
    std::memcpy(header + 6, kSourceMac, 6);
    put16(header + 12, protocol_numbers::kEtherTypeIpv4);
}

void udpHeader(uchar *udp, const Endpoints &endpoints, int length)
{
    put16(udp, endpoints.sourcePort);
    put16(udp + 2, endpoints.destinationPort);
    put16(udp + 4, quint16(length));
    put16(udp + 6, 0);
    uchar pseudo[kPseudoHeader]; // addresses, protocol, length
    put32(pseudo, endpoints.sourceIp);
    put32(pseudo + 4, endpoints.destinationIp);
    put16(pseudo + 8, protocol_numbers::kUdp);
    put16(pseudo + 10, quint16(length));
    putChecksum(udp + 6, sum(udp, size_t(length), headerSum<kPseudoHeader>(pseudo)), true);
}

void ipv4Header(uchar *ip, const Endpoints &endpoints, quint16 id, int offset, int dataLength, bool more)
{
    ip[0] = kVersion4Header20;
    ip[1] = 0;
    put16(ip + 2, quint16(kIpv4Header + dataLength));
    put16(ip + 4, id);
    put16(ip + 6, quint16((more ? kMoreFragments : 0) | (offset / 8)));
    ip[8] = kTimeToLive;
    ip[9] = protocol_numbers::kUdp;
    put16(ip + 10, 0);
    put32(ip + 12, endpoints.sourceIp);
    put32(ip + 16, endpoints.destinationIp);
    putChecksum(ip + 10, headerSum<kIpv4Header>(ip), false);
}

} // namespace packet_building
