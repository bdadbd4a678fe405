// IPv4 UDP and TCP sockets behind opaque handles (void*) with integer result codes. No global state,
// nothing printed. Addresses are 32-bit numbers in host order (a.b.c.d = a<<24 | b<<16 | c<<8 | d, 0 meaning
// unresolved), ports 16-bit in host order, time-outs microseconds.
//
// Result codes: 0 success; n > 0 bytes received; -1 time-out; -2 failure; -3 a datagram filled the whole
// buffer and may have been cut; -21 a TCP server accepted a new connection; -22 the TCP peer closed.
//
// Every wait is a select() on a copy of the handle's descriptor set, so no handle ever holds a descriptor
// of 1024 or above (creation fails with -2 instead), and none holds descriptor 0.
#pragma once

// Options of ap_udp_init (bits): 1 broadcast permitted; 4 bind to a port the system chooses; 8 bind to
// 127.0.0.1 only. Without option 4 and with port 0 the socket stays unbound until its first send.
// Options of the receive functions (bits): 1 keep only the newest waiting datagram; 2 return the length
// even when the datagram filled the buffer (no -3).

int ap_udp_init(void **handle, unsigned short port, unsigned short options);
int ap_udp_receive(void *handle, char *buffer, int length, unsigned int timeout_us, unsigned short options);
int ap_udp_send(void *handle, const char *data, int length, unsigned int address, unsigned short port,
                unsigned int timeout_us);
// Releases the handle (it is gone afterwards in every case): 0, or -2 if closing failed or handle is null.
int ap_udp_exit(void *handle);
// As ap_udp_receive; stores the sender's address and port where the pointers are not null.
int ap_udp_receive_from(void *handle, char *buffer, int length, unsigned int *address, unsigned short *port,
                        unsigned int timeout_us, unsigned short options);
// Waits on all count handles at once and receives from the first ready one in array order; its position
// goes to *index (required). A count below 1 waits out the time-out and gives -1.
int ap_udp_receive_multisocket(void **handles, int count, int *index, char *buffer, int length,
                               unsigned int timeout_us, unsigned short options);
// Multicast: a ttl other than 0 sets the time-to-live; loopback -1 leaves looping unchanged. 0 or -2.
int ap_udp_setmulticast(void *handle, int ttl, int loopback);
int ap_udp_joingroup(void *handle, unsigned int group);
int ap_udp_dropgroup(void *handle, unsigned int group);

// Size of the system's receive queue for the handle (SO_RCVBUF; the system may round or cap it). 0 or -2.
int ap_udp_set_receive_buffer(void *handle, int bytes);
// Datagrams the system dropped for this socket because its receive queue was full, as the count stood
// when the last datagram received through this layer was queued (Linux reports it only alongside a
// received datagram, so drops show once a later datagram has been received).
// 0, or -2 if the system does not count them or an argument is null.
int ap_udp_drops(void *handle, unsigned int *drops);
// The descriptor behind a UDP handle, for waiting on it together with other descriptors (poll); -2 if the
// handle is null. It stays the handle's: never close it.
int ap_udp_descriptor(void *handle);
// Takes, without waiting, up to count datagrams that are already queued, in arrival order, in one system
// call: datagram i goes to buffer + i * stride (at most stride bytes; a longer one is cut) and its length
// to lengths[i]. Returns how many were taken (0 when none was waiting), or -2. Drops are counted as with
// ap_udp_receive.
int ap_udp_receive_batch(void *handle, char *buffer, int stride, int count, int *lengths);

int ap_tcp_client_init(void **handle, unsigned int address, unsigned short port);
// Options: 1 serve several connections at once (else the listening socket is not watched while one is
// open); 4 listen on a port the system chooses.
int ap_tcp_server_init(void **handle, unsigned short port, unsigned short options);
// On the server handle: -21 with the new connection in *connection, or the receive result (length, -22
// peer closed, -2) of the first ready connection, also stored in *connection; -1 time-out.
int ap_tcp_server_receive(void *server, void **connection, char *buffer, int length, unsigned int timeout_us);
int ap_tcp_receive(void *handle, char *buffer, int length, unsigned int timeout_us);
int ap_tcp_send(void *handle, const char *data, int length, unsigned int timeout_us);
int ap_tcp_set_keepalive(void *handle, int idle, int count, int interval);
// A connection is unlinked from its server and freed (0); a server first releases all its connections.
int ap_tcp_exit(void *handle);

// Dotted text gives its address; other text (and 255.255.255.255) goes to the resolver, first IPv4
// address; 0 if unresolvable.
unsigned int ap_ip_name2ip(const char *host);
unsigned int ap_ip_num2ip(unsigned int a, unsigned int b, unsigned int c,
                          unsigned int d); // 0 if a part > 255
void ap_ip_ip2num(unsigned int *a, unsigned int *b, unsigned int *c, unsigned int *d, unsigned int address);
int ap_ip_getpeeraddr(void *handle, unsigned int *address, unsigned short *port); // 0 or -2
int ap_ip_getsockaddr(void *handle, unsigned int *address, unsigned short *port); // 0 or -2
