// IPv4 UDP sockets behind opaque handles (void*) with integer result codes. No global state, nothing
// printed. Addresses are 32-bit numbers in host order (a.b.c.d = a<<24 | b<<16 | c<<8 | d, 0 meaning
// unresolved), ports 16-bit in host order, time-outs microseconds.
//
// Result codes: 0 success; n > 0 a count; -1 time-out; -2 failure; -4 the port is held by a socket that
// does not share it; -5 the system refused to join the group. After a failure errno holds the system's
// reason. No handle ever holds descriptor 0.
#pragma once

// The largest payload one UDP datagram over IPv4 carries: 65,535 bytes less the IP and UDP headers.
constexpr int ap_udp_max_payload = 65507;

// Options of ap_udp_init (bits): 1 broadcast permitted; 4 bind to a port the system chooses; 8 bind to
// 127.0.0.1 only. Without option 4 and with port 0 the socket stays unbound until its first send. A bound
// socket owns its port (no address reuse): a second one on the same port gets -4 instead of silently
// taking the datagrams away from the first.
int ap_udp_init(void **handle, unsigned short port, unsigned short options);
// A socket that takes in the datagrams sent to an IPv4 multicast group on port, and nothing else. It shares
// the port with the group's other receivers on this machine (each gets its own copy) and joins the group on
// the interface given by its index (> 0) or its address (both 0: the system's choice). 0, -4, -5 or -2.
int ap_udp_init_group(void **handle, unsigned int group, unsigned short port, unsigned int interface_address,
                      int interface_index);
// How datagrams to groups leave this socket: with the hop limit ttl (0 to 255), by the interface given as
// for ap_udp_init_group (both 0: the system's route), and, with loopback, also to receivers on this
// machine. Other destinations are not affected. 0 or -2.
int ap_udp_set_multicast_send(void *handle, int ttl, unsigned int interface_address, int interface_index,
                              bool loopback);
// Sends one datagram, waiting at most timeout_us for room in the send queue. 0, -1 or -2.
int ap_udp_send(void *handle, const char *data, int length, unsigned int address, unsigned short port,
                unsigned int timeout_us);
// One datagram of ap_udp_send_batch: length bytes at data to address:port.
struct ap_udp_datagram
{
    const char *data;
    int length;
    unsigned int address;
    unsigned short port;
};
// Sends count datagrams in their order, as many at a time as the system takes in one call (sendmmsg),
// waiting at most timeout_us for room in the send queue whenever it is full. Returns how many were sent
// from the first on: count, or fewer when datagrams[result] failed (time-out or refusal; errno says which,
// ETIMEDOUT for a time-out); -2 for a null handle or a bad argument.
int ap_udp_send_batch(void *handle, const ap_udp_datagram *datagrams, int count, unsigned int timeout_us);
// Releases the handle (it is gone afterwards in every case): 0, or -2 if closing failed or handle is null.
int ap_udp_exit(void *handle);

// Size of the system's receive queue for the handle (SO_RCVBUF; the system may round or cap it). 0 or -2.
int ap_udp_set_receive_buffer(void *handle, int bytes);
// The descriptor behind a UDP handle, for waiting on it together with other descriptors (poll); -2 if the
// handle is null. It stays the handle's: never close it.
int ap_udp_descriptor(void *handle);
// Takes, without waiting, up to count datagrams that are already queued, in arrival order, in one system
// call: datagram i goes to buffer + i * stride (at most stride bytes; a longer one is cut) and its length
// to lengths[i]. Returns how many were taken (0 when none was waiting), or -2.
int ap_udp_receive_batch(void *handle, char *buffer, int stride, int count, int *lengths);

// The one reading of a dotted IPv4 address, for every address a user gives: four decimal numbers from 0 to
// 255 without leading zeros. 1 with *address set; 0 for text that is a host name, no address at all; -3 for
// text that is neither (octal "010", hexadecimal, fewer than four parts, a number beyond 255, "1.2.3"),
// which the C library would read in a way of its own and is refused.
int ap_ip_dotted(const char *text, unsigned int *address);
// A destination host: a dotted address (ap_ip_dotted), or a name given to the resolver, its first IPv4
// address. 0 with *address set; -3 as ap_ip_dotted; -6 for an IPv6 address or a name with IPv6 addresses
// only; -2 when it cannot be resolved.
int ap_ip_resolve(const char *host, unsigned int *address);
// ap_ip_resolve's address, or 0 for any failure.
unsigned int ap_ip_name2ip(const char *host);
// Whether an address is an IPv4 multicast group (224.0.0.0 to 239.255.255.255).
bool ap_ip_is_multicast(unsigned int address);
// A network interface of this machine, by name ("eth0", "lo") or by one of its IPv4 addresses in dotted
// form: its index and its first IPv4 address (0 when it has none). 0, or -2 when there is no such interface.
int ap_ip_interface(const char *name, unsigned int *address, int *index);
// The local address and port the handle is bound to. 0 or -2.
int ap_ip_getsockaddr(void *handle, unsigned int *address, unsigned short *port);
