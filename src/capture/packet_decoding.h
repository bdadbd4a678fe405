// What a captured packet carries, read from its bytes: the IP packet inside a link-layer frame (a table of
// the link types read), the UDP datagram or fragment inside an IPv4 or IPv6 packet (IPv6 extension headers
// walked), a UDP datagram's port and payload. Pure functions over the bytes of one packet: they keep nothing,
// never read beyond the bytes given, and say why a packet carries no datagram.
#pragma once

#include "capture/ip_reassembly.h"
#include "capture/protocol_numbers.h"

#include <QByteArrayView>
#include <QtGlobal>
#include <vector>

namespace packet_decoding {

// A link type whose frames can carry IP packets, with where a frame's IP packet lies.
struct LinkType
{
    int value; // libpcap's number for it (DLT_...)
    // The IP packet a frame carries: from its IP header to the frame's end; empty when it carries none.
    QByteArrayView (*ipPacket)(QByteArrayView frame);
};
// The link type of that number, or nullptr for one that carries no IP packets this decoding knows.
const LinkType *linkType(int value);

enum class Verdict
{
    Datagram,  // a whole UDP datagram: in udp
    Fragment,  // a fragment of a UDP datagram (IPv6: of a datagram behind more headers): key and fragment
    NotUdp,    // carries no UDP over IPv4 or IPv6, or a jumbogram (beyond what a UDP socket takes)
    Malformed, // its headers contradict each other or their packet
    Short,     // ends before its own headers say it does (cut by the capture, or damaged)
};
struct Ip
{
    Verdict verdict = Verdict::NotUdp;
    QByteArrayView udp; // Datagram: from the UDP header to the end of the IP payload
};
// A fragment: the datagram it belongs to, and its share of it (whose protocol is the header the datagram's
// payload begins with).
struct Fragment
{
    IpReassembly::Key key;
    IpReassembly::Fragment share;
};
// What an IP packet (IPv4 or IPv6, at least one byte) carries; for a Fragment, *fragment says which.
Ip ip(QByteArrayView packet, Fragment *fragment);
// What a payload put together from IPv6 fragments carries, next naming the header it begins with (never a
// Fragment: a fragment header there is not followed).
Ip ipv6Reassembled(QByteArrayView payload, quint8 next);

struct Udp
{
    bool wellFormed = false;     // its length field is at least a header and fits the bytes given
    quint16 destinationPort = 0; // when well-formed
    QByteArrayView payload; // as long as the length field says; empty for a datagram that carries nothing
};
// The IP packet a datagram put together from the fragments of key would have been sent in whole: a header
// without options or extension headers (what a filter asks of them is not kept), then payload, which begins
// with the header protocol names. Into *packet.
void rebuildPacket(const IpReassembly::Key &key, quint8 protocol, QByteArrayView payload,
                   std::vector<char> *packet);

// The destination port of the UDP datagram an IP packet cut short by the capture begins (a whole datagram's
// packet or a first fragment), when its UDP header was captured; -1 otherwise.
int cutDatagramPort(QByteArrayView packet);

// A UDP datagram from its header on (the bytes may run on beyond it).
Udp udp(QByteArrayView datagram);

// Whether a UDP datagram put together from the fragments of key is the one its sender computed the checksum
// over: true when the sum holds, when it carries no checksum (0), and when its length field is no length
// (udp() finds it malformed). Fragments are always checksummed in software before they leave, so unlike a
// captured whole datagram's (often left to the network card) the checksum can be trusted.
bool reassembledChecksumHolds(const IpReassembly::Key &key, QByteArrayView datagram);

} // namespace packet_decoding
