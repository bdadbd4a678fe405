#include "ap/multicast_sending.h"

#include "ap/ap_socket.h"

#include <cerrno>

MulticastSending::Result MulticastSending::applyTo(void *socket) const
{
    unsigned int address = 0;
    int index = 0;
    if (!interface.isEmpty() && ap_ip_interface(interface.toLocal8Bit().constData(), &address, &index) < 0) {
        errno = ENODEV;
        return Result::UnknownInterface;
    }
    return ap_udp_set_multicast_send(socket, ttl, address, index, loopback) < 0 ? Result::Refused
                                                                                : Result::Set;
}
