/* Thin layer over BSD sockets for the event pump, the TCP/UDP endpoints, the
 * DNS client and the servers: non-blocking mode, readiness waits, address
 * records and text parsing, name resolution into address chains, socket
 * options chosen through a record, listening and connecting, and send and
 * receive loops that report through a fixed set of negative codes.
 *
 * Nothing here keeps state; every function works on a descriptor or a record
 * the caller owns. Callers compare results against the numbers below, and a
 * count argument (may be NULL) always receives the bytes actually moved, also
 * when the call ends in an error after moving some. */
#ifndef KORVID_TSOCK_H
#define KORVID_TSOCK_H

#include <stdint.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

/* Result codes of the transfer functions and parsers. */
#define SOCK_ERR_CLOSED    (-20)  /* the peer closed the connection */
#define SOCK_ERR_IO        (-30)  /* send/receive failed (not EINTR/EAGAIN) */
#define SOCK_ERR_SENDFILE  (-40)  /* sendfile moved nothing before the count */
#define SOCK_ERR_BADFD     (-70)  /* descriptor -1 */
#define SOCK_ERR_RESOLVE   (-100) /* resolution failed, bad wait, no form parsed */

/* Descriptors up to this one are waited on with select(), above it with poll(). */
#define SOCK_SELECT_FD_MAX 1013

/* Room sock_addr_ntop needs in its output buffer. */
#define SOCK_ADDR_TEXT_LEN 48

/* Mask bits of sockopt_t, applied by sock_option_set in this order. */
#define SOCKOPT_BACKLOG           0x1      /* listen functions only */
#define SOCKOPT_REUSEADDR         0x2
#define SOCKOPT_REUSEPORT         0x4
#define SOCKOPT_KEEPALIVE         0x8
#define SOCKOPT_IPV6ONLY          0x10
#define SOCKOPT_RCVBUF            0x20
#define SOCKOPT_SNDBUF            0x40
#define SOCKOPT_RCVTIMEO          0x80     /* only when rcvtimeo > 0 */
#define SOCKOPT_SNDTIMEO          0x100    /* only when sndtimeo > 0 */
#define SOCKOPT_KEEPIDLE          0x200
#define SOCKOPT_KEEPINTVL         0x400
#define SOCKOPT_KEEPCNT           0x800
#define SOCKOPT_SETFIB            0x1000   /* ignored */
#define SOCKOPT_FASTOPEN          0x2000
#define SOCKOPT_NODELAY           0x4000
#define SOCKOPT_NOPUSH            0x8000   /* ignored here, see sock_nopush_set */
#define SOCKOPT_ACCEPTFILTER      0x10000  /* ignored */
#define SOCKOPT_DEFERACCEPT       0x20000
#define SOCKOPT_RECVDSTADDR       0x40000  /* ignored */
#define SOCKOPT_IPPKTINFO         0x80000
#define SOCKOPT_IPV6RECVPKTINFO   0x100000

/* Socket options selected by mask bits; each _ret field receives the result
 * (0 or -1) of setting the value before it. Unselected _ret fields are left
 * as they are. Time-outs are milliseconds; keep-alive times are seconds. */
typedef struct sockopt_s {
    uint32_t mask;
    int      backlog;

    int reuseaddr;          int reuseaddr_ret;
    int reuseport;          int reuseport_ret;
    int keepalive;          int keepalive_ret;
    int ipv6only;           int ipv6only_ret;
    int rcvbuf;             int rcvbuf_ret;
    int sndbuf;             int sndbuf_ret;
    int rcvtimeo;           int rcvtimeo_ret;
    int sndtimeo;           int sndtimeo_ret;
    int keepidle;           int keepidle_ret;
    int keepintvl;          int keepintvl_ret;
    int keepcnt;            int keepcnt_ret;
    int setfib;             int setfib_ret;
    int fastopen;           int fastopen_ret;
    int nodelay;            int nodelay_ret;
    int nopush;             int nopush_ret;
    void* af;               int af_ret;
    int defer_accept;       int defer_accept_ret;
    int recv_dst_addr;      int recv_dst_addr_ret;
    int ip_pktinfo;         int ip_pktinfo_ret;
    int ipv6_recv_pktinfo;  int ipv6_recv_pktinfo_ret;
} sockopt_t;

/* One socket address. The first record of a chain is the caller's; the
 * records reached through next are heap records owned by the chain and
 * released with sock_addr_freenext. */
typedef struct ep_sockaddr_s {
    union {
        struct sockaddr     addr;
        struct sockaddr_in  addr4;
        struct sockaddr_in6 addr6;
        struct sockaddr_un  addrun;
    } u;
    int socklen;   /* 16 for IPv4, 28 for IPv6 */
    int family;    /* AF_INET or AF_INET6 */
    int socktype;  /* SOCK_STREAM or SOCK_DGRAM, as resolved */
    struct ep_sockaddr_s* next;
} ep_sockaddr_t;

/* One socket made by a listen or connect function. */
typedef struct sockattr_s {
    int family;
    int socktype;
    int protocol;
    int fd;
} sockattr_t;

/* One network interface as get_selfaddr reports it. The second address
 * (ipstr2, addr2, netmask2) and desc are not filled by this module. */
typedef struct AddrItem_s {
    char          ifac[136];
    char          ipstr[41];
    ep_sockaddr_t addr;
    ep_sockaddr_t netmask;
    char          ipstr2[41];
    ep_sockaddr_t addr2;
    ep_sockaddr_t netmask2;
    uint8_t       mac[8];   /* first six bytes used */
    int           mtu;
    int           type;     /* 1 Ethernet-like, 2, 3, 4 PPP, 5 loopback, 6 SLIP; 0 other */
    char          desc[16];
} AddrItem;

/* ---- descriptors and modes ---- */
int sock_nonblock_get(int fd);               /* 1 on, 0 off, -1 flags unreadable */
int sock_nonblock_set(int fd, int nbflag);   /* 0, or -1 */
int pipe_create(int fds[2]);                 /* 0, or -1 */
int sock_pair_create(int type, int fds[2]);  /* AF_UNIX pair: 1, or 0 on failure */
int sock_unread_data(int fd);                /* FIONREAD bytes; 0 for fd -1 */
int sock_is_open(int fd);                    /* 1 when a zero-time query works */

/* Wait up to ms milliseconds (below 0: without limit): 1 ready, 0 time-out
 * or fd -1, -1 failure (errno kept). */
int sock_read_ready(int fd, int ms);
int sock_write_ready(int fd, int ms);

int sock_nodelay_set(int fd);     /* TCP_NODELAY 1; setsockopt's result */
int sock_nodelay_unset(int fd);
int sock_nopush_set(int fd);      /* TCP_CORK 1 */
int sock_nopush_unset(int fd);
int tcp_connected(int fd);        /* 1 when TCP_INFO reports ESTABLISHED */

/* -1 for fd -1, -2 for a NULL record, otherwise 0; each option's own result
 * lands in its _ret field. */
int sock_option_set(int fd, sockopt_t* opt);

/* ---- addresses ---- */
void sock_addr_to_epaddr(const struct sockaddr* sa, ep_sockaddr_t* addr);
/* Text of an IPv4/IPv6 address into buf (SOCK_ADDR_TEXT_LEN bytes);
 * 0, or -1 with buf untouched for other families or NULL arguments. */
int  sock_addr_ntop(const struct sockaddr* sa, char* buf);
int  sock_addr_port(const struct sockaddr* sa);  /* host order; 0 otherwise */

/* Text parsers: len below 0 means up to the NUL. Result: characters consumed,
 * or a negative code (-1 NULL text, -2 empty text, -100..-105, -200).
 * The address (network order) is written only on success; retlen gets the
 * consumed count, 0 on failure. */
int sock_inet_addr_parse(const char* text, int len, uint32_t* inaddr, int* retlen);
int sock_inet6_addr_parse(const char* text, int len, uint8_t addr6[16], int* retlen);

/* Clears addr (next too), parses IPv4 then IPv6 and sets port (host order
 * in); the whole text must be the address. 1 on success; -1 NULL text,
 * -2 empty, -3 NULL record, -100 no form. */
int sock_addr_parse(const char* text, int len, int port, ep_sockaddr_t* addr);

/* Fills addr with the first address of host and chains the other distinct
 * ones. Result: number of records (>= 1), 0 when no IPv4/IPv6 entry came
 * back, -1 NULL record, -100 resolution error. */
int  sock_addr_acquire(ep_sockaddr_t* addr, const char* host, int port, int socktype);
void sock_addr_freenext(ep_sockaddr_t* addr);

/* Resolves host (at most 1023 characters of it) and reports the first
 * address: text into ip (SOCK_ADDR_TEXT_LEN bytes), port into pport, a
 * copy without chain into paddr (each may be NULL). Count, or -1. */
int sock_addr_get(const char* host, int hostlen, int port, int socktype,
                  char* ip, int* pport, ep_sockaddr_t* paddr);

void addrinfo_print(struct addrinfo* ai);

/* Up to num interfaces other than "lo" with an IPv4 address. Count filled,
 * or -50 no query socket, -60 out of memory, -70 interface list failed. */
int get_selfaddr(int num, AddrItem* items);

/* ---- listening and connecting ---- */
/* localip shorter than two characters: all local addresses. fdnum is in:
 * capacity of fdlist, out: entries filled. Returns the last descriptor
 * opened, -1, or -100 on a resolution failure. */
int tcp_listen(const char* localip, int port, sockopt_t* opt,
               sockattr_t* fdlist, int* fdnum);
int udp_listen(const char* localip, int port, sockopt_t* opt,
               sockattr_t* fdlist, int* fdnum);

/* Connected (or, non-blocking, connecting: *succ 0) TCP socket; -1 or -100.
 * A local bind happens when localip is non-empty or localport >= 1. */
int tcp_connect_full(const char* host, int port, int nonblk,
                     const char* localip, int localport, int* succ, sockattr_t* attr);
int tcp_connect(const char* host, int port, const char* localip, int localport,
                sockattr_t* attr);
int tcp_nb_connect(const char* host, int port, const char* localip, int localport,
                   int* consucc, sockattr_t* attr);
int tcp_ep_connect(ep_sockaddr_t* addr, int nblk, const char* localip, int localport,
                   sockopt_t* opt, int* succ);

/* ---- transfers ---- */
/* Non-blocking receive: bytes read (0 when nothing waits), -20 closed (bytes
 * may have been read first: see actnum), -30 error, -70 fd -1. */
int tcp_nb_recv(int fd, void* buf, int bufsize, int* actnum);
/* Non-blocking send: bytes written (a full buffer ends it early), -30, -1. */
int tcp_nb_send(int fd, const void* buf, int towrite, int* actnum);
/* Timed receive of toread bytes (below 1: whatever comes, up to 1 MiB, so
 * buf must then hold 1048576 bytes). waitms <= 0 waits without limit.
 * Bytes read, 0 on time-out, -20, -30, -70, -100. */
int tcp_recv(int fd, void* buf, int toread, int waitms, int* actnum);
/* Timed send: bytes written, 0 on time-out, -30, -70, -100. */
int tcp_send(int fd, const void* buf, int towrite, int waitms, int* actnum);
/* writev loop; steps through (and changes) the caller's iov array. Bytes
 * written, 0 when the socket would block (see actnum), -30, -1 for fd -1.
 * Ignores SIGPIPE for the whole process. */
int tcp_writev(int fd, struct iovec* iov, int iovcnt, int* actnum, int* perr);
/* sendfile of at most size bytes of srcfd from pos. Bytes sent, -1 fd -1,
 * -2 srcfd < 0, -3 fstat failed, -30 error, -40 nothing more could be sent. */
int tcp_sendfile(int fd, int srcfd, int64_t pos, int64_t size, int* actnum, int* perr);

#endif
