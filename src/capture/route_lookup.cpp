#include "capture/route_lookup.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

packet_building::Endpoints route_lookup::endpointsTo(quint32 ip, quint16 port)
{
    packet_building::Endpoints e;
    e.destinationIp = ip;
    e.destinationPort = port;
    e.broadcast = ip == 0xffffffffu;
    ifaddrs *all = nullptr;
    if (::getifaddrs(&all) == 0) {
        for (ifaddrs *i = all; i && !e.broadcast; i = i->ifa_next)
            e.broadcast =
                i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_BROADCAST) &&
                i->ifa_broadaddr &&
                ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_broadaddr)->sin_addr.s_addr) == ip;
        ::freeifaddrs(all);
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return e;
    // As a playback's socket may: without it a broadcast destination has no route, and no source address.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(ip);
    to.sin_port = htons(port);
    sockaddr_in self{};
    socklen_t length = sizeof self;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&self), &length) == 0 && self.sin_addr.s_addr != 0) {
        e.sourceIp = ntohl(self.sin_addr.s_addr);
        e.sourcePort = ntohs(self.sin_port);
    }
    ::close(fd);
    return e;
}
