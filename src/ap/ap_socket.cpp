#include "ap_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

struct ap_socket
{
    int fd;
    unsigned short flags;
    fd_set wait_set;    // own descriptor; for a TCP server also those of its connections
    ap_socket *prev;    // accepted connection: previous list element (the server for the first)
    ap_socket *next;    // server: first connection; connection: the next one
    unsigned int drops; // datagrams the system dropped, as last reported with a received datagram
    bool drops_counted; // the system agreed to report drops
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

// Moves an accepted connection off descriptor 0 and leaves a placeholder there, so that descriptor 0
// stays open and no handle uses it.
int avoid_descriptor_zero(int fd)
{
    if (fd != 0)
        return fd;
    const int moved = fcntl(0, F_DUPFD_CLOEXEC, 1);
    const int placeholder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (placeholder > 0) {
        dup2(placeholder, 0);
        close(placeholder);
    } else {
        close(0);
    }
    return moved;
}

// The handle of a new descriptor, waiting on that descriptor alone; closes the descriptor and gives null
// when it cannot be served. A descriptor at or above FD_SETSIZE cannot be waited on with select() and is
// refused rather than written past the end of the descriptor set.
ap_socket *make_handle(int fd, unsigned short options)
{
    auto *s = fd < FD_SETSIZE ? new (std::nothrow) ap_socket : nullptr;
    if (!s) {
        close(fd);
        return nullptr;
    }
    s->fd = fd;
    s->flags = options;
    FD_ZERO(&s->wait_set);
    FD_SET(fd, &s->wait_set);
    s->prev = nullptr;
    s->next = nullptr;
    s->drops = 0;
    s->drops_counted = false;
    return s;
}

// Creates the socket and its handle.
int socket_init(ap_socket **out, int type, unsigned short options)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd == 0) // descriptor 0 stays open and unused
        fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -2;
    ap_socket *s = make_handle(fd, options);
    if (!s)
        return -2;
    *out = s;
    return 0;
}

void socket_sub_connection(ap_socket *server, ap_socket *connection)
{
    close(connection->fd);
    if (connection->next)
        connection->next->prev = connection->prev;
    connection->prev->next = connection->next;
    FD_CLR(connection->fd, &server->wait_set);
    if (!server->next)
        FD_SET(server->fd, &server->wait_set);
    delete connection;
}

int socket_exit(ap_socket *s)
{
    if (!s)
        return -2;
    if (s->prev) {
        ap_socket *server = s->prev;
        while (server->prev)
            server = server->prev;
        socket_sub_connection(server, s);
        return 0;
    }
    while (s->next)
        socket_sub_connection(s, s->next);
    const int rc = close(s->fd);
    delete s;
    return rc == 0 ? 0 : -2;
}

// select() on a copy of the given set: -1 failed, 0 time-out, else the number of ready descriptors.
int wait_set_ready(const fd_set &set, bool for_write, unsigned int timeout_us, fd_set *ready)
{
    *ready = set;
    timeval tv;
    tv.tv_sec = (time_t)(timeout_us / 1000000u);
    tv.tv_usec = (suseconds_t)(timeout_us % 1000000u);
    return select(FD_SETSIZE, for_write ? nullptr : ready, for_write ? ready : nullptr, nullptr, &tv);
}

bool valid_buffer(const char *buffer, int length)
{
    return length >= 0 && (buffer || length == 0);
}

// One datagram, with the drop count the system attaches to it. -2 or its length.
int receive_one(ap_socket *s, char *buffer, int length, sockaddr_in *from, socklen_t *from_length)
{
    iovec iov;
    iov.iov_base = buffer;
    iov.iov_len = (size_t)length;
    union {
        char bytes[CMSG_SPACE(sizeof(unsigned int))];
        cmsghdr align;
    } control;
    msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_name = from;
    msg.msg_namelen = from ? sizeof *from : 0;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (s->drops_counted) {
        msg.msg_control = control.bytes;
        msg.msg_controllen = sizeof control.bytes;
    }
    const ssize_t n = recvmsg(s->fd, &msg, 0);
    if (n < 0)
        return -2;
    if (s->drops_counted) {
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                std::memcpy(&s->drops, CMSG_DATA(c), sizeof s->drops);
        }
    }
    if (from_length)
        *from_length = msg.msg_namelen;
    return (int)n;
}

// Receives from a handle that the wait reported readable, keeping only the newest datagram with option 1,
// and applies the filled-buffer rule (-3) unless option 2 is given.
int udp_receive_ready(ap_socket *s, char *buffer, int length, unsigned short options, sockaddr_in *from,
                      socklen_t *from_length)
{
    int n = receive_one(s, buffer, length, from, from_length);
    if (n < 0)
        return -2;
    if (options & 1) {
        fd_set ready;
        while (wait_set_ready(s->wait_set, false, 0, &ready) == 1) {
            n = receive_one(s, buffer, length, from, from_length);
            if (n < 0)
                return -2;
        }
    }
    if (!(options & 2) && n >= length)
        return -3;
    return n;
}

int query_address(void *handle, unsigned int *address, unsigned short *port, bool peer)
{
    ap_socket *s = as_socket(handle);
    if (!s)
        return -2;
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    const int rc = peer ? getpeername(s->fd, reinterpret_cast<sockaddr *>(&sa), &len)
                        : getsockname(s->fd, reinterpret_cast<sockaddr *>(&sa), &len);
    if (rc != 0 || sa.sin_family != AF_INET)
        return -2;
    if (address)
        *address = ntohl(sa.sin_addr.s_addr);
    if (port)
        *port = ntohs(sa.sin_port);
    return 0;
}

int set_int_option(ap_socket *s, int level, int name, int value)
{
    return setsockopt(s->fd, level, name, &value, sizeof value) == 0 ? 0 : -2;
}

int group_membership(void *handle, unsigned int group, int name)
{
    ap_socket *s = as_socket(handle);
    if (!s)
        return -2;
    ip_mreq request;
    std::memset(&request, 0, sizeof request);
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    return setsockopt(s->fd, IPPROTO_IP, name, &request, sizeof request) == 0 ? 0 : -2;
}

} // namespace

int ap_udp_init(void **handle, unsigned short port, unsigned short options)
{
    if (!handle)
        return -2;
    ap_socket *s = nullptr;
    if (socket_init(&s, SOCK_DGRAM, options) != 0)
        return -2;
    bool ok = true;
    if (options & 1)
        ok = set_int_option(s, SOL_SOCKET, SO_BROADCAST, 1) == 0;
    if (ok)
        ok = set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1) == 0;
    if (ok && ((options & 4) || port != 0)) {
        const sockaddr_in sa =
            make_address((options & 8) ? INADDR_LOOPBACK : INADDR_ANY, (options & 4) ? 0 : port);
        ok = bind(s->fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
    }
    if (!ok) {
        socket_exit(s);
        return -2;
    }
#ifdef SO_RXQ_OVFL
    // Only a diagnostic: a system that does not count drops still receives.
    s->drops_counted = set_int_option(s, SOL_SOCKET, SO_RXQ_OVFL, 1) == 0;
#endif
    *handle = s;
    return 0;
}

int ap_udp_receive(void *handle, char *buffer, int length, unsigned int timeout_us, unsigned short options)
{
    ap_socket *s = as_socket(handle);
    if (!s || !valid_buffer(buffer, length))
        return -2;
    fd_set ready;
    const int r = wait_set_ready(s->wait_set, false, timeout_us, &ready);
    if (r < 0)
        return -2;
    if (r == 0)
        return -1;
    return udp_receive_ready(s, buffer, length, options, nullptr, nullptr);
}

int ap_udp_receive_from(void *handle, char *buffer, int length, unsigned int *address, unsigned short *port,
                        unsigned int timeout_us, unsigned short options)
{
    ap_socket *s = as_socket(handle);
    if (!s || !valid_buffer(buffer, length))
        return -2;
    fd_set ready;
    const int r = wait_set_ready(s->wait_set, false, timeout_us, &ready);
    if (r < 0)
        return -2;
    if (r == 0)
        return -1;
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    socklen_t from_length = 0;
    const int n = udp_receive_ready(s, buffer, length, options, &from, &from_length);
    if (n < 0)
        return n;
    if (from_length < sizeof from || from.sin_family != AF_INET)
        return -2;
    if (address)
        *address = ntohl(from.sin_addr.s_addr);
    if (port)
        *port = ntohs(from.sin_port);
    return n;
}

int ap_udp_receive_multisocket(void **handles, int count, int *index, char *buffer, int length,
                               unsigned int timeout_us, unsigned short options)
{
    if (!index || !valid_buffer(buffer, length))
        return -2;
    if (count < 1) {
        timeval tv;
        tv.tv_sec = (time_t)(timeout_us / 1000000u);
        tv.tv_usec = (suseconds_t)(timeout_us % 1000000u);
        select(0, nullptr, nullptr, nullptr, &tv);
        return -1;
    }
    if (!handles)
        return -2;
    fd_set all;
    FD_ZERO(&all);
    for (int i = 0; i < count; ++i) {
        ap_socket *s = as_socket(handles[i]);
        if (!s)
            return -2;
        if (count == 1)
            all = s->wait_set;
        else
            FD_SET(s->fd, &all);
    }
    fd_set ready;
    const int r = wait_set_ready(all, false, timeout_us, &ready);
    if (r < 0)
        return -2;
    if (r == 0)
        return -1;
    for (int i = 0; i < count; ++i) {
        ap_socket *s = as_socket(handles[i]);
        if (FD_ISSET(s->fd, &ready)) {
            *index = i;
            return udp_receive_ready(s, buffer, length, options, nullptr, nullptr);
        }
    }
    return -2;
}

int ap_udp_send(void *handle, const char *data, int length, unsigned int address, unsigned short port,
                unsigned int timeout_us)
{
    ap_socket *s = as_socket(handle);
    if (!s || !valid_buffer(data, length))
        return -2;
    const sockaddr_in to = make_address(address, port);
    fd_set ready;
    const int r = wait_set_ready(s->wait_set, true, timeout_us, &ready);
    if (r == 0)
        return -1;
    if (r != 1)
        return -2;
    const ssize_t n =
        sendto(s->fd, data, (size_t)length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    return n >= length ? 0 : -2;
}

int ap_udp_exit(void *handle)
{
    return socket_exit(as_socket(handle));
}

int ap_udp_setmulticast(void *handle, int ttl, int loopback)
{
    ap_socket *s = as_socket(handle);
    if (!s)
        return -2;
    if (ttl != 0 && set_int_option(s, IPPROTO_IP, IP_MULTICAST_TTL, ttl) != 0)
        return -2;
    if (loopback != -1 && set_int_option(s, IPPROTO_IP, IP_MULTICAST_LOOP, loopback != 0 ? 1 : 0) != 0)
        return -2;
    return 0;
}

int ap_udp_joingroup(void *handle, unsigned int group)
{
    return group_membership(handle, group, IP_ADD_MEMBERSHIP);
}

int ap_udp_dropgroup(void *handle, unsigned int group)
{
    return group_membership(handle, group, IP_DROP_MEMBERSHIP);
}

int ap_udp_set_receive_buffer(void *handle, int bytes)
{
    ap_socket *s = as_socket(handle);
    if (!s || bytes < 0)
        return -2;
    return set_int_option(s, SOL_SOCKET, SO_RCVBUF, bytes);
}

int ap_udp_drops(void *handle, unsigned int *drops)
{
    ap_socket *s = as_socket(handle);
    if (!s || !drops || !s->drops_counted)
        return -2;
    *drops = s->drops;
    return 0;
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
    union Control {
        char bytes[CMSG_SPACE(sizeof(unsigned int))];
        cmsghdr align;
    };
    Control control[kMaxBatch];
    iovec iov[kMaxBatch];
    mmsghdr msgs[kMaxBatch];
    std::memset(msgs, 0, sizeof(mmsghdr) * size_t(count));
    for (int i = 0; i < count; ++i) {
        iov[i].iov_base = buffer + size_t(i) * size_t(stride);
        iov[i].iov_len = size_t(stride);
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        if (s->drops_counted) {
            msgs[i].msg_hdr.msg_control = control[i].bytes;
            msgs[i].msg_hdr.msg_controllen = sizeof control[i].bytes;
        }
    }
    const int n = recvmmsg(s->fd, msgs, unsigned(count), MSG_DONTWAIT, nullptr);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -2;
    for (int i = 0; i < n; ++i) {
        lengths[i] = int(msgs[i].msg_len);
        if (!s->drops_counted)
            continue;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c; c = CMSG_NXTHDR(&msgs[i].msg_hdr, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                std::memcpy(&s->drops, CMSG_DATA(c), sizeof s->drops);
        }
    }
    return n;
}

int ap_tcp_client_init(void **handle, unsigned int address, unsigned short port)
{
    if (!handle)
        return -2;
    ap_socket *s = nullptr;
    if (socket_init(&s, SOCK_STREAM, 0) != 0)
        return -2;
    const sockaddr_in to = make_address(address, port);
    if (connect(s->fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
        socket_exit(s);
        return -2;
    }
    *handle = s;
    return 0;
}

int ap_tcp_server_init(void **handle, unsigned short port, unsigned short options)
{
    if (!handle)
        return -2;
    ap_socket *s = nullptr;
    if (socket_init(&s, SOCK_STREAM, options) != 0)
        return -2;
    const sockaddr_in sa = make_address(INADDR_ANY, (options & 4) ? 0 : port);
    if (set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1) != 0 ||
        bind(s->fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 || listen(s->fd, 5) != 0) {
        socket_exit(s);
        return -2;
    }
    *handle = s;
    return 0;
}

int ap_tcp_server_receive(void *server, void **connection, char *buffer, int length, unsigned int timeout_us)
{
    ap_socket *s = as_socket(server);
    if (!s || !connection || !valid_buffer(buffer, length))
        return -2;
    fd_set ready;
    const int r = wait_set_ready(s->wait_set, false, timeout_us, &ready);
    if (r < 0)
        return -2;
    if (r == 0)
        return -1;
    if (FD_ISSET(s->fd, &ready)) {
        int fd = accept4(s->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return -2;
        fd = avoid_descriptor_zero(fd);
        if (fd < 0)
            return -2;
        ap_socket *c = make_handle(fd, 0);
        if (!c)
            return -2;
        c->prev = s;
        c->next = s->next;
        if (c->next)
            c->next->prev = c;
        s->next = c;
        FD_SET(fd, &s->wait_set);
        if (!(s->flags & 1)) // one connection at a time
            FD_CLR(s->fd, &s->wait_set);
        *connection = c;
        return -21;
    }
    for (ap_socket *c = s->next; c; c = c->next) {
        if (FD_ISSET(c->fd, &ready)) {
            *connection = c;
            const ssize_t n = recv(c->fd, buffer, (size_t)length, 0);
            if (n == 0)
                return -22;
            return n < 0 ? -2 : (int)n;
        }
    }
    return -2;
}

int ap_tcp_receive(void *handle, char *buffer, int length, unsigned int timeout_us)
{
    ap_socket *s = as_socket(handle);
    if (!s || !valid_buffer(buffer, length))
        return -2;
    fd_set ready;
    const int r = wait_set_ready(s->wait_set, false, timeout_us, &ready);
    if (r == 0)
        return -1;
    if (r != 1)
        return -2;
    const ssize_t n = recv(s->fd, buffer, (size_t)length, 0);
    if (n == 0)
        return -22;
    return n < 0 ? -2 : (int)n;
}

int ap_tcp_send(void *handle, const char *data, int length, unsigned int timeout_us)
{
    ap_socket *s = as_socket(handle);
    if (!s || !valid_buffer(data, length))
        return -2;
    fd_set ready;
    const int r = wait_set_ready(s->wait_set, true, timeout_us, &ready);
    if (r == 0)
        return -1;
    if (r != 1)
        return -2;
    // A peer that has gone must give -2, not a SIGPIPE that ends the program.
    const ssize_t n = send(s->fd, data, (size_t)length, MSG_NOSIGNAL);
    return n >= length ? 0 : -2;
}

int ap_tcp_set_keepalive(void *handle, int idle, int count, int interval)
{
    ap_socket *s = as_socket(handle);
    if (!s)
        return -2;
    if (set_int_option(s, SOL_SOCKET, SO_KEEPALIVE, 1) != 0 ||
        set_int_option(s, IPPROTO_TCP, TCP_KEEPIDLE, idle) != 0 ||
        set_int_option(s, IPPROTO_TCP, TCP_KEEPCNT, count) != 0 ||
        set_int_option(s, IPPROTO_TCP, TCP_KEEPINTVL, interval) != 0)
        return -2;
    return 0;
}

int ap_tcp_exit(void *handle)
{
    return socket_exit(as_socket(handle));
}

unsigned int ap_ip_name2ip(const char *host)
{
    if (!host)
        return 0;
    in_addr parsed;
    // The all-ones address cannot be told from a failed parse by inet_addr(), so it goes to the resolver.
    if (inet_aton(host, &parsed) != 0 && parsed.s_addr != htonl(INADDR_NONE))
        return ntohl(parsed.s_addr);
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found)
        return 0;
    unsigned int address = 0;
    for (addrinfo *a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr) {
            address = ntohl(reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr.s_addr);
            break;
        }
    }
    freeaddrinfo(found);
    return address;
}

unsigned int ap_ip_num2ip(unsigned int a, unsigned int b, unsigned int c, unsigned int d)
{
    if (a > 255 || b > 255 || c > 255 || d > 255)
        return 0;
    return (a << 24) | (b << 16) | (c << 8) | d;
}

void ap_ip_ip2num(unsigned int *a, unsigned int *b, unsigned int *c, unsigned int *d, unsigned int address)
{
    if (a)
        *a = (address >> 24) & 0xffu;
    if (b)
        *b = (address >> 16) & 0xffu;
    if (c)
        *c = (address >> 8) & 0xffu;
    if (d)
        *d = address & 0xffu;
}

int ap_ip_getpeeraddr(void *handle, unsigned int *address, unsigned short *port)
{
    return query_address(handle, address, port, true);
}

int ap_ip_getsockaddr(void *handle, unsigned int *address, unsigned short *port)
{
    return query_address(handle, address, port, false);
}
