/* Raw IPv4 sockets as devices: they send hand-built UDP and ICMP packets
 * (IP header included) and report arriving packets to their handler. */
#ifndef KORVID_EPRAWSOCK_H
#define KORVID_EPRAWSOCK_H

#include <stdint.h>

#include "eptype.h"

/* Bytes before the data: IPv4 header + UDP header, IPv4 + ICMP header with
 * its time stamp. */
enum {
    RAWSOCK_UDP_HEAD  = 28,
    RAWSOCK_ICMP_HEAD = 32,
};

/* A raw socket of the protocol (socket(AF_INET, SOCK_RAW, protocol)) with
 * IP_HDRINCL, 1 s send and receive time-outs and non-blocking mode, as a
 * registered device without handler, watching reads, bound to a selected
 * pump. retval: 0; -1 null core; -100 no device record; -200 the socket
 * could not be made; -300 IP_HDRINCL failed; -400 a time-out failed. */
iodev_t* eprawsock_client(epcore_t* core, void* para, int protocol, int* retval);

/* Sets the device's handler. 0; -1 null device. */
int      eprawsock_notify(iodev_t* dev, int ignored, IOHandler* cb, void* cbpara);

/* One UDP datagram of RAWSOCK_UDP_HEAD + len bytes from srcip:srcport to
 * dstip:dstport (dotted IPv4 texts). 0 sent; -1 null device or address,
 * data missing or len outside 0..65535 - RAWSOCK_UDP_HEAD; -100 an address
 * that is not an IPv4 text or sendto failed. */
int      eprawsock_send_udp(iodev_t* dev, const char* srcip, int srcport,
                            const char* dstip, int dstport, const void* data, int len);

/* One ICMP message of RAWSOCK_ICMP_HEAD + len bytes: type, code 0, id and
 * seq as given (no byte-order change), a 32-bit millisecond time stamp,
 * then the data. Results as eprawsock_send_udp. */
int      eprawsock_send_icmp(iodev_t* dev, const char* srcip, const char* dstip, int type,
                             uint16_t id, uint16_t seq, const void* data, int len);

#endif
