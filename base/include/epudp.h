/* UDP endpoints as devices: listening sockets (one-off or on every pump),
 * bound client sockets, plain bound sockets for tasks that service their
 * own descriptors, and datagram receive and send. IPv4 for recv/send_to. */
#ifndef KORVID_EPUDP_H
#define KORVID_EPUDP_H

#include "eptype.h"
#include "frame.h"
#include "mlisten.h"
#include "tsock.h"

/* Bound UDP sockets on every usable local address; the shape of
 * tcp_listen_all without listen(). -100 (count 0) when resolution fails. */
int        udp_listen_all(const char* localip, int port, sockopt_t* opt,
                          sockattr_t* fdlist, int* fdnum);

iodev_t*   epudp_listen_create(epcore_t* core, const char* localip, int port, void* para,
                               int* retval, IOHandler* cb, void* cbpara,
                               iodev_t** devs, int* num);
iodev_t*   epudp_listen(epcore_t* core, const char* localip, int port, void* para,
                        int* retval, IOHandler* cb, void* cbpara, int bindtype,
                        iodev_t** devs, int* num);
mlisten_t* epudp_mlisten(epcore_t* core, const char* localip, int port, void* para,
                         IOHandler* cb, void* cbpara);

/* Bound client devices on localip:localport, bound to a selected pump.
 * retval 0 with a device, -100 none made, -200 no socket. */
iodev_t*   epudp_client(epcore_t* core, const char* localip, int localport, void* para,
                        int* retval, IOHandler* cb, void* cbpara,
                        iodev_t** devs, int* num);

/* A blocking bound UDP socket (no device), or -1. */
int        epudp_socket_create(const char* localip, int port);

/* recvfrom into buf; on success the sender's IPv4 text and port are kept
 * in the device's remote_ip/remote_port. Results <= 0 passed through. */
int        epudp_recv(iodev_t* dev, void* buf, int len);
/* sendto remote_ip:remote_port of the device; sendto's result. */
int        epudp_send_to(iodev_t* dev, const void* buf, int len);
/* One datagram into the tail of frm (grown as needed); the sender into
 * addr (may be null), its length into *addrlen (may be null). */
int        epudp_recvfrom(iodev_t* dev, frame_t* frm, ep_sockaddr_t* addr, int* addrlen);

#endif
