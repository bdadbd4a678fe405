// How datagrams to multicast groups leave a sending socket, the same for the window and orf: the hop limit,
// the interface they leave by and whether receivers on this machine get them too. Other destinations are
// not affected.
#pragma once

#include <QString>

class MulticastSending
{
public:
    enum class Result
    {
        Set,
        UnknownInterface, // no network interface of this machine has that name or address
        Refused,          // the system refused the options; errno holds its reason
    };

    int ttl = 1;
    QString interface; // a name ("eth0") or one of its IPv4 addresses; empty: the system's route
    bool loopback = true;

    // Sets the options on an ap_udp socket.
    Result applyTo(void *socket) const;
};
