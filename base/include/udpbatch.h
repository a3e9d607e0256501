/* Runs of datagrams handed to the kernel in as few calls as the socket
 * allows: segmented sends (one sendmsg whose data the kernel cuts into
 * equal-sized datagrams, UDP_SEGMENT), else sendmmsg, else one sendmsg per
 * datagram. The way is decided once per socket; a socket whose segmented
 * send the kernel refuses (a route or device that cannot segment) goes on
 * with sendmmsg. IPv4 only. */
#ifndef KORVID_UDPBATCH_H
#define KORVID_UDPBATCH_H

#include <netinet/in.h>
#include <stddef.h>
#include <sys/uio.h>

enum {
    UDPB_SEGMENT = 0, /* UDP_SEGMENT: one call per run */
    UDPB_MMSG = 1,    /* sendmmsg: one call per run, a header per datagram */
    UDPB_SINGLE = 2,  /* one sendmsg per datagram */
};

/* Datagrams in one run at most. */
#define UDPB_MAX_RUN 64
/* Bytes of one segmented call at most: the largest UDP payload of IPv4. */
#define UDPB_MAX_SEGMENTED 65507

typedef struct udpbatch_st {
    int fd;
    int way;        /* UDPB_*, decided by udpbatch_init */
    int refusedErr; /* errno of the segmented send the kernel refused, 0 none */
} udpbatch_t;

/* Decides the way for socket fd: the best of `best` and the ways after it
 * that the kernel offers. Returns the way. */
int  udpbatch_init(udpbatch_t* b, int fd, int best);

/* "segment", "sendmmsg" or "sendto" as a way; -1 for any other text. */
int  udpbatch_way_named(const char* name);
/* The way's name as udpbatch_way_named takes it. */
const char* udpbatch_way_name(int way);

/* Datagrams of size segSize (the last may be shorter) a run may carry. */
int  udpbatch_run_max(const udpbatch_t* b, size_t segSize);

/* Sends `count` datagrams to `to`; datagram i is the `per` iovecs from
 * iov[i * per]. Every datagram but the last holds exactly segSize bytes;
 * count is at most udpbatch_run_max(b, segSize). A datagram the kernel
 * fails is lost, the rest still go. Returns the datagrams sent. */
int  udpbatch_send(udpbatch_t* b, const struct sockaddr_in* to, const struct iovec* iov, int per, int count,
                   size_t segSize);

/* One datagram to `to`: sendto's result. */
int  udpbatch_send_one(udpbatch_t* b, const struct sockaddr_in* to, const void* buf, size_t len);

/* IPv4 dotted text and port as an address: 0, or -1 when the text is none. */
int  udpbatch_addr(const char* ip, unsigned short port, struct sockaddr_in* to);

#endif
