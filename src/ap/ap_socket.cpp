#include "ap/ap_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct ap_socket
{
    int fd;
};

ap_socket *as_socket(void *handle)
{
    return static_cast<ap_socket *>(handle);
}

sockaddr_in make_address(unsigned int address, unsigned short port)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

int set_int_option(ap_socket *s, int level, int name, int value)
{
    return setsockopt(s->fd, level, name, &value, sizeof value) == 0 ? 0 : -2;
}

// Keeps errno of the failure that led here: the caller reports the system's reason.
int socket_exit(ap_socket *s)
{
    if (!s)
        return -2;
    const int saved = errno;
    const int rc = close(s->fd);
    delete s;
    if (rc == 0)
        errno = saved;
    return rc == 0 ? 0 : -2;
}

ap_socket *socket_new()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == 0) // a program started with standard input closed: descriptor 0 stays open and unused
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    auto *s = new (std::nothrow) ap_socket{fd};
    if (!s) {
        close(fd);
        errno = ENOMEM;
    }
    return s;
}

int bind_to(ap_socket *s, unsigned int address, unsigned short port)
{
    const sockaddr_in sa = make_address(address, port);
    if (bind(s->fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0)
        return 0;
    return errno == EADDRINUSE ? -4 : -2;
}

ip_mreqn interface_request(unsigned int group, unsigned int interface_address, int interface_index)
{
    ip_mreqn request;
    std::memset(&request, 0, sizeof request);
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_address.s_addr = htonl(interface_address);
    request.imr_ifindex = interface_index;
    return request;
}

} // namespace

int ap_udp_init(void **handle, unsigned short port, unsigned short options)
{
    if (!handle)
        return -2;
    ap_socket *s = socket_new();
    if (!s)
        return -2;
    int rc = 0;
    if (options & 1)
        rc = set_int_option(s, SOL_SOCKET, SO_BROADCAST, 1);
    if (rc == 0 && ((options & 4) || port != 0))
        rc = bind_to(s, (options & 8) ? INADDR_LOOPBACK : INADDR_ANY, (options & 4) ? 0 : port);
    if (rc != 0) {
        socket_exit(s);
        return rc;
    }
    *handle = s;
    return 0;
}

int ap_udp_init_group(void **handle, unsigned int group, unsigned short port, unsigned int interface_address,
                      int interface_index)
{
    if (!handle || !ap_ip_is_multicast(group) || interface_index < 0)
        return -2;
    ap_socket *s = socket_new();
    if (!s)
        return -2;
    // Bound to the group, not to every address: unicast datagrams to the port are not the group's. With
    // IP_MULTICAST_ALL off, neither are other groups' that another socket of this process joined.
    int rc = set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1);
    if (rc == 0)
        rc = bind_to(s, group, port);
    if (rc == 0)
        rc = set_int_option(s, IPPROTO_IP, IP_MULTICAST_ALL, 0);
    if (rc == 0) {
        const ip_mreqn join = interface_request(group, interface_address, interface_index);
        if (setsockopt(s->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
            rc = -5;
    }
    if (rc != 0) {
        socket_exit(s);
        return rc;
    }
    *handle = s;
    return 0;
}

int ap_udp_set_multicast_send(void *handle, int ttl, unsigned int interface_address, int interface_index,
                              bool loopback)
{
    ap_socket *s = as_socket(handle);
    if (!s || ttl < 0 || ttl > 255 || interface_index < 0)
        return -2;
    const ip_mreqn leave_by = interface_request(0, interface_address, interface_index);
    if (set_int_option(s, IPPROTO_IP, IP_MULTICAST_TTL, ttl) != 0 ||
        set_int_option(s, IPPROTO_IP, IP_MULTICAST_LOOP, loopback ? 1 : 0) != 0 ||
        setsockopt(s->fd, IPPROTO_IP, IP_MULTICAST_IF, &leave_by, sizeof leave_by) != 0)
        return -2;
    return 0;
}

int ap_udp_send(void *handle, const char *data, int length, unsigned int address, unsigned short port,
                unsigned int timeout_us)
{
    ap_socket *s = as_socket(handle);
    if (!s || length < 0 || (!data && length > 0))
        return -2;
    pollfd writable{s->fd, POLLOUT, 0};
    const int ready = poll(&writable, 1, int((timeout_us + 999u) / 1000u));
    if (ready == 0)
        return -1;
    if (ready != 1)
        return -2;
    const sockaddr_in to = make_address(address, port);
    const ssize_t n =
        sendto(s->fd, data, (size_t)length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    return n >= length ? 0 : -2;
}

int ap_udp_send_batch(void *handle, const ap_udp_datagram *datagrams, int count, unsigned int timeout_us)
{
    ap_socket *s = as_socket(handle);
    if (!s || count < 0 || (!datagrams && count > 0))
        return -2;
    constexpr int kMaxBatch = 64;
    sockaddr_in to[kMaxBatch];
    iovec iov[kMaxBatch];
    mmsghdr msgs[kMaxBatch];
    int sent = 0;
    while (sent < count) {
        const int n = count - sent < kMaxBatch ? count - sent : kMaxBatch;
        std::memset(msgs, 0, sizeof(mmsghdr) * size_t(n));
        for (int i = 0; i < n; ++i) {
            const ap_udp_datagram &d = datagrams[sent + i];
            if (d.length < 0 || (!d.data && d.length > 0)) {
                errno = EINVAL;
                return sent;
            }
            to[i] = make_address(d.address, d.port);
            iov[i].iov_base = const_cast<char *>(d.data);
            iov[i].iov_len = size_t(d.length);
            msgs[i].msg_hdr.msg_name = &to[i];
            msgs[i].msg_hdr.msg_namelen = sizeof to[i];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        // Never blocks in the call itself: a full queue is waited for with poll(), bounded by the time-out.
        const int done = sendmmsg(s->fd, msgs, unsigned(n), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (done > 0) {
            for (int i = 0; i < done; ++i) {
                if (msgs[i].msg_len < iov[i].iov_len) { // a short send is a failure, as in ap_udp_send
                    errno = EMSGSIZE;
                    return sent + i;
                }
            }
            sent += done;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return sent;
        pollfd writable{s->fd, POLLOUT, 0};
        const int ready = poll(&writable, 1, int((timeout_us + 999u) / 1000u));
        if (ready == 0)
            errno = ETIMEDOUT;
        if (ready != 1 && !(ready < 0 && errno == EINTR))
            return sent;
    }
    return sent;
}

int ap_udp_exit(void *handle)
{
    return socket_exit(as_socket(handle));
}

int ap_udp_set_receive_buffer(void *handle, int bytes)
{
    ap_socket *s = as_socket(handle);
    if (!s || bytes < 0)
        return -2;
    return set_int_option(s, SOL_SOCKET, SO_RCVBUF, bytes);
}

int ap_udp_descriptor(void *handle)
{
    ap_socket *s = as_socket(handle);
    return s ? s->fd : -2;
}

int ap_udp_receive_batch(void *handle, char *buffer, int stride, int count, int *lengths)
{
    ap_socket *s = as_socket(handle);
    if (!s || !buffer || !lengths || stride < 1 || count < 0)
        return -2;
    constexpr int kMaxBatch = 64;
    count = count < kMaxBatch ? count : kMaxBatch;
    if (count == 0)
        return 0;
    iovec iov[kMaxBatch];
    mmsghdr msgs[kMaxBatch];
    std::memset(msgs, 0, sizeof(mmsghdr) * size_t(count));
    for (int i = 0; i < count; ++i) {
        iov[i].iov_base = buffer + size_t(i) * size_t(stride);
        iov[i].iov_len = size_t(stride);
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = recvmmsg(s->fd, msgs, unsigned(count), MSG_DONTWAIT, nullptr);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -2;
    for (int i = 0; i < n; ++i)
        lengths[i] = int(msgs[i].msg_len);
    return n;
}

int ap_ip_dotted(const char *text, unsigned int *address)
{
    if (!text)
        return 0;
    unsigned int value = 0;
    int parts = 0;
    const char *p = text;
    for (; parts < 4; ++parts, ++p) {
        const char *start = p;
        unsigned int part = 0;
        while (*p >= '0' && *p <= '9' && p - start < 3)
            part = part * 10 + unsigned(*p++ - '0');
        if (p == start || part > 255 || (*start == '0' && p - start > 1) || *p != (parts < 3 ? '.' : '\0'))
            break;
        value = value << 8 | part;
    }
    if (parts == 4) {
        *address = value;
        return 1;
    }
    // What the C library reads as an address in a form of its own, or digits and dots alone, is no name.
    in_addr parsed;
    const bool numeric =
        inet_aton(text, &parsed) != 0 || std::strspn(text, "0123456789.") == std::strlen(text);
    return numeric ? -3 : 0;
}

namespace {

// The first IPv4 address of a name, else whether it has IPv6 ones: 0, -6 or -2.
int resolveName(const char *host, unsigned int *address)
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found)
        return -2;
    int result = -2;
    for (addrinfo *a = found; a && result != 0; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr) {
            *address = ntohl(reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr.s_addr);
            result = 0;
        } else if (a->ai_family == AF_INET6) {
            result = -6;
        }
    }
    freeaddrinfo(found);
    return result;
}

} // namespace

int ap_ip_resolve(const char *host, unsigned int *address)
{
    if (!host || !*host)
        return -2;
    if (std::strchr(host, ':') || host[0] == '[') // an IPv6 address, bracketed or not
        return -6;
    const int dotted = ap_ip_dotted(host, address);
    if (dotted != 0)
        return dotted == 1 ? 0 : -3;
    return resolveName(host, address);
}

unsigned int ap_ip_name2ip(const char *host)
{
    unsigned int address = 0;
    return ap_ip_resolve(host, &address) == 0 ? address : 0;
}

bool ap_ip_is_multicast(unsigned int address)
{
    return (address >> 28) == 0xE;
}

int ap_ip_interface(const char *name, unsigned int *address, int *index)
{
    if (!name || !*name)
        return -2;
    unsigned int dottedAddress = 0;
    const int form = ap_ip_dotted(name, &dottedAddress);
    if (form < 0)
        return -2;
    const bool byAddress = form == 1;
    in_addr dotted;
    dotted.s_addr = htonl(dottedAddress);
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0)
        return -2;
    int found = -2;
    for (ifaddrs *i = all; i && found != 0; i = i->ifa_next) {
        if (!i->ifa_name || !i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        const in_addr a = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr;
        if (byAddress ? a.s_addr != dotted.s_addr : std::strcmp(i->ifa_name, name) != 0)
            continue;
        const unsigned int i_index = if_nametoindex(i->ifa_name);
        if (i_index == 0)
            continue;
        if (address)
            *address = ntohl(a.s_addr);
        if (index)
            *index = int(i_index);
        found = 0;
    }
    freeifaddrs(all);
    if (found == 0 || byAddress)
        return found;
    // An interface without an IPv4 address can still carry groups by its index.
    const unsigned int i_index = if_nametoindex(name);
    if (i_index == 0)
        return -2;
    if (address)
        *address = 0;
    if (index)
        *index = int(i_index);
    return 0;
}

int ap_ip_getsockaddr(void *handle, unsigned int *address, unsigned short *port)
{
    ap_socket *s = as_socket(handle);
    if (!s)
        return -2;
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (getsockname(s->fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return -2;
    if (address)
        *address = ntohl(sa.sin_addr.s_addr);
    if (port)
        *port = ntohs(sa.sin_port);
    return 0;
}
