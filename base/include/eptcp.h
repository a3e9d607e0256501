/* TCP endpoints as devices: listening sockets (one-off or on every pump),
 * accepted connections and outbound connections. */
#ifndef KORVID_EPTCP_H
#define KORVID_EPTCP_H

#include "eptype.h"
#include "mlisten.h"
#include "tsock.h"

/* Listening TCP sockets on every usable local address (localip shorter than
 * two characters: all). fdnum is in: capacity of fdlist, out: entries
 * filled; without a list the first listening socket ends the call.
 * Returns the last descriptor, -1, or -100 when resolution fails. */
int        tcp_listen_all(const char* localip, int port, sockopt_t* opt,
                          sockattr_t* fdlist, int* fdnum);

/* Listening devices, registered but not bound. devs (may be null) receives
 * up to *num (in) devices; *num (out) how many. retval: 0 with a device,
 * -100 none made, -200 no socket listened. Returns the first device. */
iodev_t*   eptcp_listen_create(epcore_t* core, const char* localip, int port, void* para,
                               int* retval, IOHandler* cb, void* cbpara,
                               iodev_t** devs, int* num);
/* The same, bound with bindtype 0, 1, 2 (acts as 1), 3 or 5; other bind
 * types give null. */
iodev_t*   eptcp_listen(epcore_t* core, const char* localip, int port, void* para,
                        int* retval, IOHandler* cb, void* cbpara, int bindtype,
                        iodev_t** devs, int* num);
/* A listener opened on every pump. */
mlisten_t* eptcp_mlisten(epcore_t* core, const char* localip, int port, void* para,
                         IOHandler* cb, void* cbpara);

/* One pending connection, or null. retval: 0 accepted; -100 accept failed
 * or nothing pending; -200 no device record (the socket is closed). */
iodev_t*   eptcp_accept(epcore_t* core, iodev_t* listendev, void* para, int* retval,
                        IOHandler* cb, void* cbpara, int bindtype);

/* Outbound connection to an address literal, bound to the pump handling the
 * current event (or a selected one). retval: 1 connected at once, -100 in
 * progress (EVT_CONNECTED or EVT_CONNECT_FAILED follows), -10 null host,
 * -20 no device, -30 connecting failed or the host is not a literal. */
iodev_t*   eptcp_connect(epcore_t* core, const char* host, int port, const char* localip,
                         int localport, void* para, int* retval, IOHandler* cb, void* cbpara);
/* As eptcp_connect, with retval 0 when connected at once; a host name the
 * resolver's cache holds connects at once to its first address; any other
 * name starts a resolution (retval -101, the device waits in
 * IOSTATE_RESOLVING and goes on in eptcp_connect_dnscb), or gives -30 when
 * no query could be started. */
iodev_t*   eptcp_nb_connect(epcore_t* core, const char* host, int port, const char* localip,
                            int localport, void* para, int* retval, IOHandler* cb, void* cbpara);
/* Resolver callback (DnsCB) that continues eptcp_nb_connect: connects to the
 * literal or to the first address of the cache entry and reports
 * EVT_CONNECTED (at once) or EVT_CONNECT_FAILED (no address, or the connect
 * failed; the device is left to the handler to close). */
int        eptcp_connect_dnscb(void* cbobj, char* name, int namelen, void* cache, int status);

#endif
