// The headers of the UDP/IPv4 packets a capture is written with, made in place in front of their payload:
// Ethernet (a group's or the broadcast address's own link address), IPv4 with its header checksum, UDP with
// its checksum over the pseudo header and the whole datagram; and how a datagram larger than the MTU is cut
// into fragments, as Linux cuts it.
#pragma once

#include <QtGlobal>

namespace packet_building {

inline constexpr int kEthernetHeader = 14;
inline constexpr int kIpv4Header = 20; // without options, as every packet written
inline constexpr int kUdpHeader = 8;
inline constexpr quint8 kTimeToLive = 64;

// IPv4 addresses in host byte order.
struct Endpoints
{
    quint32 sourceIp = 0x7f000001;
    quint16 sourcePort = 49152;
    quint32 destinationIp = 0x7f000001;
    quint16 destinationPort = 0;
    bool broadcast = false; // destinationIp is 255.255.255.255 or the broadcast address of a local network
};

// The Ethernet header of every packet to destinationIp, from a made-up card to a made-up card (locally
// administered addresses, which name no real one), or to the group's or broadcast's link address.
void ethernetHeader(uchar *header, quint32 destinationIp);
// The UDP header at udp, in front of the length - 8 payload bytes that follow it there.
void udpHeader(uchar *udp, const Endpoints &endpoints, int length);
// The IPv4 header of a packet that carries dataLength bytes of datagram id from byte offset of it on.
void ipv4Header(uchar *ip, const Endpoints &endpoints, quint16 id, int offset, int dataLength, bool more);

// Whether a datagram of length bytes (UDP header and payload) goes in one packet on a link of mtu (0: any).
inline bool fitsOnePacket(int length, int mtu)
{
    return mtu == 0 || kIpv4Header + length <= mtu;
}
// Calls fragment(offset, dataLength, more) for each fragment a datagram of length bytes is cut into on a
// link of mtu (at least 68): every fragment but the last carries as much as the MTU leaves, in whole 8-byte
// units.
template <typename Fragment> void cutIntoFragments(int length, int mtu, Fragment &&fragment)
{
    const int most = (mtu - kIpv4Header) & ~7;
    for (int offset = 0; offset < length; offset += most)
        fragment(offset, qMin(most, length - offset), offset + most < length);
}

} // namespace packet_building
