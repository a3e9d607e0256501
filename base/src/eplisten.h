/* What the TCP and UDP endpoint modules share: sockets bound (and, for TCP,
 * listening) on every usable local address, and the devices made of them. */
#ifndef KORVID_EPLISTEN_H
#define KORVID_EPLISTEN_H

#include "eptype.h"
#include "tsock.h"

/* tcp_listen_all (tcp) or udp_listen_all. */
int      ep_bind_all(bool tcp, const char* localip, int port, sockopt_t* opt,
                     sockattr_t* fdlist, int* fdnum);

/* Devices of kind fdtype on localip:port with the endpoint's default options,
 * each bound with bindtype (BIND_GIVEN acts as BIND_SELECT; BIND_NONE leaves
 * them unbound, other unknown types give null with retval -1). devs gets up
 * to *num (in) of them, *num (out) how many. Returns the first device. */
iodev_t* ep_listen_devices(bool tcp, int fdtype, int bindtype, epcore_t* core, const char* localip,
                           int port, void* para, int* retval, IOHandler* cb, void* cbpara,
                           iodev_t** devs, int* num);

#endif
