// The numbers the link, network and transport headers of captured and written packets use.
#pragma once

#include <QtGlobal>

namespace protocol_numbers {

// EtherTypes.
inline constexpr quint16 kEtherTypeIpv4 = 0x0800;
inline constexpr quint16 kEtherTypeIpv6 = 0x86dd;
inline constexpr quint16 kEtherTypeVlan = 0x8100;           // an 802.1Q tag
inline constexpr quint16 kEtherTypeServiceVlan = 0x88a8;    // an 802.1ad (outer) tag
inline constexpr quint16 kEtherTypeOldServiceVlan = 0x9100; // outer tags before 802.1ad had its number

// IP protocol numbers, which are also IPv6's next-header values.
inline constexpr quint8 kHopByHopOptions = 0;
inline constexpr quint8 kUdp = 17;
inline constexpr quint8 kRouting = 43;
inline constexpr quint8 kFragment = 44;
inline constexpr quint8 kAuthentication = 51;
inline constexpr quint8 kDestinationOptions = 60;
inline constexpr quint8 kMobility = 135;
inline constexpr quint8 kHostIdentity = 139;
inline constexpr quint8 kShim6 = 140;

// Address families as BSD loopback headers give them: AF_INET is 2 everywhere, AF_INET6 is the capturing
// system's own.
inline constexpr quint32 kFamilyIpv4 = 2;
inline constexpr quint32 kFamilyIpv6Linux = 10;
inline constexpr quint32 kFamilyIpv6NetBsd = 24; // also OpenBSD's
inline constexpr quint32 kFamilyIpv6FreeBsd = 28;
inline constexpr quint32 kFamilyIpv6Darwin = 30;

} // namespace protocol_numbers
