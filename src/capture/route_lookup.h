// Where the system would send a UDP datagram from: the routing table asked through a connected socket.
#pragma once

#include "capture/packet_building.h"

namespace route_lookup {

// The address and port a connected UDP socket to ip:port gets (nothing is sent), with that destination;
// 127.0.0.1 and the default source port when the system has no route there.
packet_building::Endpoints endpointsTo(quint32 ip, quint16 port);

} // namespace route_lookup
