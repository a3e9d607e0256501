/* Socket helpers over BSD sockets: modes, readiness waits, address records
 * and parsers, resolution into address chains, options, listening,
 * connecting, and send/receive loops with fixed negative result codes. */
#include "tsock.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "memory.h"
#include "strutil.h"
#include "trace.h"

static_assert(sizeof(struct sockaddr_in) == 16, "IPv4 address record length");
static_assert(sizeof(struct sockaddr_in6) == 28, "IPv6 address record length");
static_assert(SOCK_SELECT_FD_MAX < FD_SETSIZE, "select() cannot take the descriptor");

namespace {

constexpr int kRecvAllMax = 1048576;       // tcp_recv with no count: 1 MiB
constexpr int64_t kSendfileChunk = 0x7ffff000;

enum WaitKind { WAIT_READ, WAIT_WRITE, WAIT_ANY };

int64_t mono_ms()
{
    // A monotonic clock, so a wall-clock step cannot stretch or cut a time limit.
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void set_count(int* p, int v)
{
    if (p) *p = v;
}

/* One readiness wait on fd. ms below 0 waits without limit.
 * Returns >0 ready, 0 time-out, -1 failure with errno set. */
int wait_once(int fd, int ms, WaitKind kind)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    errno = 0;
    if (fd <= SOCK_SELECT_FD_MAX) {
        // Some kernels let select() pass over a closed descriptor; check it
        // so a stale descriptor fails here as it does in the poll() form.
        if (fcntl(fd, F_GETFD) < 0) return -1;
        fd_set rset, wset, eset;
        FD_ZERO(&rset);
        FD_ZERO(&wset);
        FD_ZERO(&eset);
        fd_set* pr = nullptr;
        fd_set* pw = nullptr;
        fd_set* pe = nullptr;
        if (kind == WAIT_READ || kind == WAIT_ANY) { FD_SET(fd, &rset); pr = &rset; }
        if (kind == WAIT_WRITE || kind == WAIT_ANY) { FD_SET(fd, &wset); pw = &wset; }
        if (kind == WAIT_ANY) { FD_SET(fd, &eset); pe = &eset; }
        struct timeval tv;
        struct timeval* ptv = nullptr;
        if (ms >= 0) {
            tv.tv_sec = ms / 1000;
            tv.tv_usec = (ms % 1000) * 1000;
            ptv = &tv;
        }
        return select(fd + 1, pr, pw, pe, ptv);
    }

    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = kind == WAIT_READ ? (POLLIN | POLLPRI)
               : kind == WAIT_WRITE ? POLLOUT
               : (POLLIN | POLLPRI | POLLOUT);
    pfd.revents = 0;
    int ret = poll(&pfd, 1, ms < 0 ? -1 : ms);
    if (ret > 0 && (pfd.revents & POLLNVAL)) {
        // select() fails with EBADF here; make the poll() form agree.
        errno = EBADF;
        return -1;
    }
    return ret;
}

/* Waits for fd within ms (below 0: no limit), restarting after EINTR with the
 * time left. Returns >0 ready, 0 time-out, -1 failure (errno kept). */
int wait_ready(int fd, int ms, WaitKind kind)
{
    int64_t deadline = ms >= 0 ? mono_ms() + ms : 0;
    for (;;) {
        int left = ms;
        if (ms >= 0) {
            int64_t rest = deadline - mono_ms();
            left = rest > 0 ? (int)rest : 0;
        }
        int ret = wait_once(fd, left, kind);
        if (ret >= 0) return ret;
        if (errno != EINTR) return -1;
    }
}

int setopt_int(int fd, int level, int name, int value)
{
    return setsockopt(fd, level, name, &value, sizeof(value));
}

int setopt_ms(int fd, int name, int ms)
{
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, name, &tv, sizeof(tv));
}

/* Address reuse, port reuse and keep-alive on, each failure reported with
 * perror under "<prefix> REUSEADDR" and so on (no report for a null prefix). */
void set_default_opts(int fd, const char* prefix)
{
    static const struct { int name; const char* label; } opts[] = {
        {SO_REUSEADDR, "REUSEADDR"}, {SO_REUSEPORT, "REUSEPORT"}, {SO_KEEPALIVE, "KEEPALIVE"},
    };
    for (const auto& o : opts) {
        if (setopt_int(fd, SOL_SOCKET, o.name, 1) != 0 && prefix) {
            char text[48];
            snprintf(text, sizeof(text), "%s %s", prefix, o.label);
            perror(text);
        }
    }
}

int text_len(const char* text, int len)
{
    // A given length still stops at a NUL: nothing past the text is read.
    if (len < 0) return (int)strlen(text);
    return (int)strnlen(text, (size_t)len);
}

/* Port text for getaddrinfo. */
void port_text(int port, char* buf, size_t size)
{
    snprintf(buf, size, "%d", port);
}

bool is_ip_family(int family)
{
    return family == AF_INET || family == AF_INET6;
}

/* Same address bytes (and length) as a record already in the chain. */
bool chain_has(const ep_sockaddr_t* head, const struct sockaddr* sa, int len)
{
    for (const ep_sockaddr_t* p = head; p; p = p->next)
        if (p->socklen == len && memcmp(&p->u, sa, (size_t)len) == 0) return true;
    return false;
}

/* An IPv4 (network order) or IPv6 address with port (host order) into a
 * record whose other fields the caller has set. */
void set_addr4(ep_sockaddr_t* addr, uint32_t in4, int port)
{
    addr->u.addr4.sin_family = AF_INET;
    addr->u.addr4.sin_port = htons((uint16_t)port);
    addr->u.addr4.sin_addr.s_addr = in4;
    addr->socklen = sizeof(struct sockaddr_in);
    addr->family = AF_INET;
}

void set_addr6(ep_sockaddr_t* addr, const void* in6, int port)
{
    addr->u.addr6.sin6_family = AF_INET6;
    addr->u.addr6.sin6_port = htons((uint16_t)port);
    memcpy(&addr->u.addr6.sin6_addr, in6, 16);
    addr->socklen = sizeof(struct sockaddr_in6);
    addr->family = AF_INET6;
}

/* Parses host as a complete IPv4 or IPv6 literal into addr (cleared first). */
bool parse_literal(const char* host, int port, int socktype, ep_sockaddr_t* addr)
{
    int hlen = (int)strlen(host);
    uint32_t in4 = 0;
    uint8_t in6[16];
    int used = 0;
    if (sock_inet_addr_parse(host, hlen, &in4, &used) > 0 && used == hlen)
        set_addr4(addr, in4, port);
    else if (sock_inet6_addr_parse(host, hlen, in6, &used) > 0 && used == hlen)
        set_addr6(addr, in6, port);
    else
        return false;
    addr->socktype = socktype;
    return true;
}

/* Binds fd (of the given family) to the local address for a connection.
 * Without a local address text the wildcard address of the socket's own
 * family is used with localport; with one, the first resolved address of
 * that family. Returns 0 or -1. */
int bind_local(int fd, int family, const char* localip, int localport)
{
    ep_sockaddr_t local;
    memset(&local, 0, sizeof(local));
    const ep_sockaddr_t* pick = nullptr;
    if (!localip || !localip[0]) {
        if (family == AF_INET6)
            set_addr6(&local, &in6addr_any, localport);
        else
            set_addr4(&local, htonl(INADDR_ANY), localport);
        pick = &local;
    } else {
        if (sock_addr_acquire(&local, localip, localport, SOCK_STREAM) < 1) {
            sock_addr_freenext(&local);
            return -1;
        }
        for (const ep_sockaddr_t* p = &local; p; p = p->next)
            if (p->family == family) { pick = p; break; }
    }
    int ret = -1;
    if (pick) ret = bind(fd, &pick->u.addr, (socklen_t)pick->socklen);
    int e = errno;
    sock_addr_freenext(&local);
    errno = e;
    return ret == 0 ? 0 : -1;
}

bool connect_in_progress(int e)
{
    return e == 0 || e == EAGAIN || e == EALREADY || e == EINPROGRESS;
}

/* Receives want bytes that FIONREAD reported as waiting. Returns 0 when they
 * all arrived, else the code to end with (-20, -30, or 1 for EAGAIN). */
int recv_waiting(int fd, char* buf, int want, int* got, int flags)
{
    int done = 0;
    while (done < want) {
        ssize_t n = recv(fd, buf + *got, (size_t)(want - done), flags);
        if (n > 0) {
            done += (int)n;
            *got += (int)n;
            continue;
        }
        if (n == 0) return SOCK_ERR_CLOSED;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 1;
        return SOCK_ERR_IO;
    }
    return 0;
}

int listen_common(bool tcp, const char* localip, int port, sockopt_t* opt,
                  sockattr_t* fdlist, int* fdnum)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_protocol = tcp ? IPPROTO_TCP : IPPROTO_UDP;

    const char* host = (localip && strlen(localip) > 1) ? localip : nullptr;
    char service[16];
    port_text(port, service, sizeof(service));

    int capacity = fdnum ? *fdnum : 0;
    int filled = 0;
    if (fdnum) *fdnum = 0;

    struct addrinfo* res = nullptr;
    int rc = getaddrinfo(host, service, &hints, &res);
    if (rc != 0) {
        if (tcp)
            trlogfile(g_trace_log, 1, nullptr, __LINE__, "getaddrinfo: %s:%s return %d\n",
                      host ? host : "", service, rc);
        return SOCK_ERR_RESOLVE;
    }
    if (!res) {
        if (tcp) trlogfile(g_trace_log, 1, nullptr, __LINE__, "tcp_listen no addrinfo available\n");
        return -1;
    }

    int result = -1;
    for (struct addrinfo* ai = res; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) {
            if (tcp) trlogfile(g_trace_log, 1, nullptr, __LINE__, "tcp_listen socket() failed");
            result = -1;
            continue;
        }
        int backlog = 0;
        if (opt) {
            if (opt->mask & SOCKOPT_BACKLOG) backlog = opt->backlog;
            sock_option_set(fd, opt);
        } else {
            set_default_opts(fd, tcp ? "TCPListen" : "UDPListen");
        }
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            if (tcp) trlogfile(g_trace_log, 1, nullptr, __LINE__, "tcp_listen bind() failed");
            close(fd);
            result = -1;
            continue;
        }
        if (tcp && listen(fd, backlog < 1 ? 511 : backlog) != 0) {
            trlogfile(g_trace_log, 1, nullptr, __LINE__, "tcp_listen fd=%d failed", fd);
            close(fd);
            result = -1;
            continue;
        }
        result = fd;
        if (!fdlist || !fdnum) break;
        if (filled >= capacity) {
            *fdnum = filled;
            freeaddrinfo(res);
            return fd;
        }
        fdlist[filled].family = ai->ai_family;
        fdlist[filled].socktype = ai->ai_socktype;
        fdlist[filled].protocol = ai->ai_protocol;
        fdlist[filled].fd = fd;
        filled++;
    }
    freeaddrinfo(res);
    if (fdnum) *fdnum = filled;
    return result;
}

}  // namespace

/* ---------------------------------------------------------------- modes */

int sock_nonblock_get(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    return (flags & O_NONBLOCK) ? 1 : 0;
}

int sock_nonblock_set(int fd, int nbflag)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    int want = nbflag ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (want == flags) return 0;
    return fcntl(fd, F_SETFL, want) < 0 ? -1 : 0;
}

int pipe_create(int fds[2])
{
    if (!fds) return -1;
    return pipe(fds) == 0 ? 0 : -1;
}

int sock_pair_create(int type, int fds[2])
{
    if (!fds) return 0;
    return socketpair(AF_UNIX, type, 0, fds) == 0 ? 1 : 0;
}

int sock_unread_data(int fd)
{
    if (fd == -1) return 0;
    int n = 0;
    int ret = ioctl(fd, FIONREAD, &n);
    if (ret < 0) return ret;
    return n;
}

int sock_is_open(int fd)
{
    if (fd == -1) return 0;
    for (;;) {
        int ret = wait_once(fd, 0, WAIT_ANY);
        if (ret >= 0) return 1;
        if (errno != EAGAIN && errno != EINTR) return 0;
    }
}

static int ready_common(int fd, int ms, WaitKind kind)
{
    if (fd == -1) return 0;
    int ret = wait_ready(fd, ms, kind);
    if (ret > 0) return 1;
    if (ret == 0) return 0;
    return errno == EAGAIN ? 1 : -1;
}

int sock_read_ready(int fd, int ms)
{
    return ready_common(fd, ms, WAIT_READ);
}

int sock_write_ready(int fd, int ms)
{
    return ready_common(fd, ms, WAIT_WRITE);
}

int sock_nodelay_set(int fd)   { return setopt_int(fd, IPPROTO_TCP, TCP_NODELAY, 1); }
int sock_nodelay_unset(int fd) { return setopt_int(fd, IPPROTO_TCP, TCP_NODELAY, 0); }
int sock_nopush_set(int fd)    { return setopt_int(fd, IPPROTO_TCP, TCP_CORK, 1); }
int sock_nopush_unset(int fd)  { return setopt_int(fd, IPPROTO_TCP, TCP_CORK, 0); }

int tcp_connected(int fd)
{
    if (fd < 0) return 0;
    struct tcp_info info;
    socklen_t len = sizeof(info);
    memset(&info, 0, sizeof(info));
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return 0;
    return info.tcpi_state == TCP_ESTABLISHED ? 1 : 0;
}

namespace {

/* The options sock_option_set applies, in the order it applies them. The
 * time-outs (ms) are set only for values above 0; a label names the perror
 * report of a failure. */
struct OptionSlot {
    uint32_t bit;
    int level, name;
    int sockopt_t::*value;
    int sockopt_t::*ret;
    bool ms;
    const char* label;
};

constexpr OptionSlot kOptionSlots[] = {
    {SOCKOPT_REUSEADDR, SOL_SOCKET, SO_REUSEADDR, &sockopt_t::reuseaddr, &sockopt_t::reuseaddr_ret, false, "REUSEADDR"},
    {SOCKOPT_REUSEPORT, SOL_SOCKET, SO_REUSEPORT, &sockopt_t::reuseport, &sockopt_t::reuseport_ret, false, "REUSEPORT"},
    {SOCKOPT_KEEPALIVE, SOL_SOCKET, SO_KEEPALIVE, &sockopt_t::keepalive, &sockopt_t::keepalive_ret, false, "KEEPALIVE"},
    {SOCKOPT_IPV6ONLY, IPPROTO_IPV6, IPV6_V6ONLY, &sockopt_t::ipv6only, &sockopt_t::ipv6only_ret, false, nullptr},
    {SOCKOPT_RCVBUF, SOL_SOCKET, SO_RCVBUF, &sockopt_t::rcvbuf, &sockopt_t::rcvbuf_ret, false, nullptr},
    {SOCKOPT_SNDBUF, SOL_SOCKET, SO_SNDBUF, &sockopt_t::sndbuf, &sockopt_t::sndbuf_ret, false, nullptr},
    {SOCKOPT_RCVTIMEO, SOL_SOCKET, SO_RCVTIMEO, &sockopt_t::rcvtimeo, &sockopt_t::rcvtimeo_ret, true, nullptr},
    {SOCKOPT_SNDTIMEO, SOL_SOCKET, SO_SNDTIMEO, &sockopt_t::sndtimeo, &sockopt_t::sndtimeo_ret, true, nullptr},
    {SOCKOPT_KEEPIDLE, IPPROTO_TCP, TCP_KEEPIDLE, &sockopt_t::keepidle, &sockopt_t::keepidle_ret, false, nullptr},
    {SOCKOPT_KEEPINTVL, IPPROTO_TCP, TCP_KEEPINTVL, &sockopt_t::keepintvl, &sockopt_t::keepintvl_ret, false, nullptr},
    {SOCKOPT_KEEPCNT, IPPROTO_TCP, TCP_KEEPCNT, &sockopt_t::keepcnt, &sockopt_t::keepcnt_ret, false, nullptr},
    {SOCKOPT_FASTOPEN, IPPROTO_TCP, TCP_FASTOPEN, &sockopt_t::fastopen, &sockopt_t::fastopen_ret, false, nullptr},
    {SOCKOPT_NODELAY, IPPROTO_TCP, TCP_NODELAY, &sockopt_t::nodelay, &sockopt_t::nodelay_ret, false, nullptr},
    {SOCKOPT_DEFERACCEPT, IPPROTO_TCP, TCP_DEFER_ACCEPT, &sockopt_t::defer_accept, &sockopt_t::defer_accept_ret,
     false, nullptr},
    {SOCKOPT_IPPKTINFO, IPPROTO_IP, IP_PKTINFO, &sockopt_t::ip_pktinfo, &sockopt_t::ip_pktinfo_ret, false, nullptr},
    {SOCKOPT_IPV6RECVPKTINFO, IPPROTO_IPV6, IPV6_RECVPKTINFO, &sockopt_t::ipv6_recv_pktinfo,
     &sockopt_t::ipv6_recv_pktinfo_ret, false, nullptr},
};

}  // namespace

int sock_option_set(int fd, sockopt_t* opt)
{
    if (fd == -1) return -1;
    if (!opt) return -2;
    for (const OptionSlot& o : kOptionSlots) {
        if (!(opt->mask & o.bit)) continue;
        int v = opt->*o.value;
        if (o.ms && v <= 0) continue;
        opt->*o.ret = o.ms ? setopt_ms(fd, o.name, v) : setopt_int(fd, o.level, o.name, v);
        if (opt->*o.ret != 0 && o.label) perror(o.label);
    }
    return 0;
}

/* ------------------------------------------------------------ addresses */

void sock_addr_to_epaddr(const struct sockaddr* sa, ep_sockaddr_t* addr)
{
    if (!sa || !addr) return;
    if (sa->sa_family == AF_INET) {
        memcpy(&addr->u.addr4, sa, sizeof(struct sockaddr_in));
        addr->socklen = sizeof(struct sockaddr_in);
    } else if (sa->sa_family == AF_INET6) {
        memcpy(&addr->u.addr6, sa, sizeof(struct sockaddr_in6));
        addr->socklen = sizeof(struct sockaddr_in6);
    }
    addr->family = sa->sa_family;
}

int sock_addr_ntop(const struct sockaddr* sa, char* buf)
{
    if (!sa || !buf) return -1;
    char text[SOCK_ADDR_TEXT_LEN];
    const char* ok = nullptr;
    if (sa->sa_family == AF_INET)
        ok = inet_ntop(AF_INET, &((const struct sockaddr_in*)sa)->sin_addr, text, sizeof(text));
    else if (sa->sa_family == AF_INET6)
        ok = inet_ntop(AF_INET6, &((const struct sockaddr_in6*)sa)->sin6_addr, text, sizeof(text));
    if (!ok) return -1;
    memcpy(buf, text, strlen(text) + 1);
    return 0;
}

int sock_addr_port(const struct sockaddr* sa)
{
    if (!sa) return 0;
    if (sa->sa_family == AF_INET) return ntohs(((const struct sockaddr_in*)sa)->sin_port);
    if (sa->sa_family == AF_INET6) return ntohs(((const struct sockaddr_in6*)sa)->sin6_port);
    return 0;
}

int sock_inet_addr_parse(const char* text, int len, uint32_t* inaddr, int* retlen)
{
    set_count(retlen, 0);
    if (!text) return -1;
    len = text_len(text, len);
    if (len < 1) return -2;

    uint8_t bytes[4] = {0, 0, 0, 0};
    int groups = 0;      // groups closed by a dot
    int value = 0;
    int digits = 0;      // digits of the current group
    int i = 0;
    for (; i < len; i++) {
        char c = text[i];
        if (c >= '0' && c <= '9') {
            value = value * 10 + (c - '0');
            if (value > 255) return -103;
            digits++;
        } else if (c == '.') {
            if (digits == 0) return -100;
            if (groups == 3) return -101;
            if (i == len - 1) return -104;
            bytes[groups++] = (uint8_t)value;
            value = 0;
            digits = 0;
        } else {
            break;
        }
    }
    if (i == len) {
        if (groups < 3 || digits == 0) return -104;
    } else if (groups < 3 || digits == 0) {
        return -102;
    }
    bytes[3] = (uint8_t)value;
    if (inaddr) memcpy(inaddr, bytes, 4);
    set_count(retlen, i);
    return i;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int sock_inet6_addr_parse(const char* text, int len, uint8_t addr6[16], int* retlen)
{
    set_count(retlen, 0);
    if (!text) return -1;
    len = text_len(text, len);
    if (len < 1) return -2;

    uint8_t out[16];
    memset(out, 0, sizeof(out));
    int groups = 0;        // groups written
    int dcpos = -1;        // group index where the double colon stands
    bool dc_at_end = false;
    bool colon_seen = false;
    bool tail_done = false;
    int value = 0;
    int digits = 0;
    int i = 0;

    if (text[0] == ':') {
        if (len == 1) return -105;
        colon_seen = true;
        i = 1;
    }
    for (; i < len; i++) {
        char c = text[i];
        int h = hex_value(c);
        if (h >= 0) {
            if (digits == 4) return -103;
            value = value * 16 + h;
            digits++;
            dc_at_end = false;
        } else if (c == ':') {
            colon_seen = true;
            if (digits == 0) {
                if (dcpos >= 0) return -100;
                dcpos = groups;
                dc_at_end = true;
            } else {
                if (groups >= 8) return -100;
                out[2 * groups] = (uint8_t)(value >> 8);
                out[2 * groups + 1] = (uint8_t)value;
                groups++;
                value = 0;
                digits = 0;
                dc_at_end = false;
            }
        } else if (c == '.') {
            if (!colon_seen || groups > 6) return -101;
            int start = i - digits;
            uint32_t in4 = 0;
            int used = 0;
            if (sock_inet_addr_parse(text + start, len - start, &in4, &used) < 0 ||
                used != len - start)
                return -102;
            memcpy(out + 2 * groups, &in4, 4);
            groups += 2;
            digits = 0;
            tail_done = true;
            i = len;
            break;
        } else {
            return -104;
        }
    }
    if (!tail_done) {
        if (digits > 0) {
            if (groups >= 8) return -100;
            out[2 * groups] = (uint8_t)(value >> 8);
            out[2 * groups + 1] = (uint8_t)value;
            groups++;
        } else if (!dc_at_end) {
            return -105;  // ends in a ':' that is not the double colon
        }
    }
    if (groups == 8 && dcpos >= 0) return -200;
    if (groups < 8 && dcpos < 0) return -200;
    if (dcpos >= 0) {
        int tail = 2 * (groups - dcpos);
        memmove(out + 16 - tail, out + 2 * dcpos, (size_t)tail);
        memset(out + 2 * dcpos, 0, (size_t)(16 - tail - 2 * dcpos));
    }
    if (addr6) memcpy(addr6, out, 16);
    set_count(retlen, len);
    return len;
}

int sock_addr_parse(const char* text, int len, int port, ep_sockaddr_t* addr)
{
    if (!text) return -1;
    len = text_len(text, len);
    if (len < 1) return -2;
    if (!addr) return -3;
    memset(addr, 0, sizeof(*addr));

    /* The whole text must be the address: "10.0.0.1:80" or
     * "1.2.3.4evil.example" is no literal. */
    uint32_t in4 = 0;
    uint8_t in6[16];
    int used = 0;
    if (sock_inet_addr_parse(text, len, &in4, &used) > 0 && used == len)
        set_addr4(addr, in4, port);
    else if (sock_inet6_addr_parse(text, len, in6, &used) > 0 && used == len)
        set_addr6(addr, in6, port);
    else
        return SOCK_ERR_RESOLVE;
    return 1;
}

int sock_addr_acquire(ep_sockaddr_t* addr, const char* host, int port, int socktype)
{
    if (!addr) return -1;
    // Always start from a clean record: a stale next would be walked below.
    memset(addr, 0, sizeof(*addr));
    if (host && host[0] && parse_literal(host, port, socktype, addr)) return 1;

    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_socktype = socktype;
    char service[16];
    port_text(port, service, sizeof(service));
    struct addrinfo* res = nullptr;
    if (getaddrinfo((host && host[0]) ? host : nullptr, service, &hints, &res) != 0) {
        if (res) freeaddrinfo(res);
        return SOCK_ERR_RESOLVE;
    }

    int count = 0;
    ep_sockaddr_t* tail = addr;
    for (struct addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (!is_ip_family(ai->ai_family) || !ai->ai_addr) continue;
        int alen = ai->ai_family == AF_INET ? (int)sizeof(struct sockaddr_in)
                                            : (int)sizeof(struct sockaddr_in6);
        if ((int)ai->ai_addrlen < alen) continue;
        if (count == 0) {
            memcpy(&addr->u, ai->ai_addr, (size_t)alen);
            addr->socklen = alen;
            addr->family = ai->ai_family;
            addr->socktype = ai->ai_socktype;
            count = 1;
            continue;
        }
        if (chain_has(addr, ai->ai_addr, alen)) continue;
        ep_sockaddr_t* rec = (ep_sockaddr_t*)kzalloc(sizeof(ep_sockaddr_t));
        if (!rec) break;  // keep what we have
        memcpy(&rec->u, ai->ai_addr, (size_t)alen);
        rec->socklen = alen;
        rec->family = ai->ai_family;
        rec->socktype = ai->ai_socktype;
        tail->next = rec;
        tail = rec;
        count++;
    }
    freeaddrinfo(res);
    return count;
}

void sock_addr_freenext(ep_sockaddr_t* addr)
{
    if (!addr) return;
    ep_sockaddr_t* p = addr->next;
    addr->next = nullptr;
    while (p) {
        ep_sockaddr_t* n = p->next;
        kfree(p);
        p = n;
    }
}

int sock_addr_get(const char* host, int hostlen, int port, int socktype,
                  char* ip, int* pport, ep_sockaddr_t* paddr)
{
    char name[1024];
    name[0] = '\0';
    if (host) {
        int n = text_len(host, hostlen);
        str_secpy(name, (int)sizeof(name) - 1, host, n);
    }
    ep_sockaddr_t first;
    int count = sock_addr_acquire(&first, name, port, socktype);
    if (count < 1) {
        sock_addr_freenext(&first);
        return -1;
    }
    if (ip) sock_addr_ntop(&first.u.addr, ip);
    if (pport) *pport = sock_addr_port(&first.u.addr);
    if (paddr) {
        *paddr = first;
        paddr->next = nullptr;
    }
    sock_addr_freenext(&first);
    return count;
}

namespace {

struct Name {
    int value;
    const char* text;
};

const char* name_of(const Name* names, size_t n, int value, const char* other)
{
    for (size_t i = 0; i < n; i++)
        if (names[i].value == value) return names[i].text;
    return other;
}

constexpr Name kFamilies[] = {{AF_INET, "AF_INET"}, {AF_INET6, "AF_INET6"}, {AF_UNIX, "AF_UNIX"}};
constexpr Name kSockTypes[] = {{SOCK_STREAM, " SOCK_STREAM"}, {SOCK_DGRAM, " SOCK_DGRAM"},
                               {SOCK_RAW, " SOCK_RAW"}, {SOCK_PACKET, " SOCK_PACKET"}};
constexpr Name kProtocols[] = {{IPPROTO_IP, " IPPROTO_IP"},     {IPPROTO_TCP, " IPPROTO_TCP"},
                               {IPPROTO_UDP, " IPPROTO_UDP"},   {IPPROTO_IPV6, " IPPROTO_IPV6"},
                               {IPPROTO_RAW, " IPPROTO_RAW"},   {IPPROTO_ICMP, " IPPROTO_ICMP"}};

}  // namespace

void addrinfo_print(struct addrinfo* ai)
{
    if (!ai) return;
    char where[96] = "";
    if (is_ip_family(ai->ai_family) && ai->ai_addr) {
        char text[SOCK_ADDR_TEXT_LEN] = "";
        sock_addr_ntop(ai->ai_addr, text);
        snprintf(where, sizeof(where), " %s:%d", text, sock_addr_port(ai->ai_addr));
    }
    char line[256];
    snprintf(line, sizeof(line), "%s%s%s%s SockLen: %d  AI_Flags: %d",
             name_of(kFamilies, std::size(kFamilies), ai->ai_family, "UnknownAF"),
             name_of(kSockTypes, std::size(kSockTypes), ai->ai_socktype, " UnknownSockType"),
             name_of(kProtocols, std::size(kProtocols), ai->ai_protocol, " UnknownProto"), where,
             (int)ai->ai_addrlen, ai->ai_flags);
    puts(line);
}

static int link_kind(int hwtype)
{
    switch (hwtype) {
    case 0: case 1: case 2: case 6: return 1;
    case 4:                         return 2;
    case 774:                       return 3;
    case 512:                       return 4;
    case 772:                       return 5;
    case 256: case 257:             return 6;
    default:                        return 0;
    }
}

int get_selfaddr(int num, AddrItem* items)
{
    if (num < 1 || !items) return 0;
    int qfd = socket(AF_INET, SOCK_DGRAM, 0);
    if (qfd < 0) return -50;

    int size = 80;
    char* buf = nullptr;
    struct ifconf ifc;
    for (;;) {
        char* nb = (char*)krealloc(buf, (size_t)size);
        if (!nb) {
            close(qfd);  // a failed krealloc already released buf
            return -60;
        }
        buf = nb;
        memset(&ifc, 0, sizeof(ifc));
        ifc.ifc_len = size;
        ifc.ifc_buf = buf;
        if (ioctl(qfd, SIOCGIFCONF, &ifc) < 0) {
            kfree(buf);
            close(qfd);
            return -70;
        }
        if (ifc.ifc_len < size) break;  // the list no longer fills the buffer
        size += 40;
    }

    int filled = 0;
    int entries = ifc.ifc_len / (int)sizeof(struct ifreq);
    const struct ifreq* list = (const struct ifreq*)buf;
    for (int k = 0; k < entries && filled < num; k++) {
        char name[IFNAMSIZ + 1];
        memcpy(name, list[k].ifr_name, IFNAMSIZ);
        name[IFNAMSIZ] = '\0';

        // Each query gets its own request record: a reply overwrites the
        // union that holds the address.
        struct ifreq req;
        auto query = [&](unsigned long what) {
            memset(&req, 0, sizeof(req));
            memcpy(req.ifr_name, name, IFNAMSIZ);
            return ioctl(qfd, what, &req);
        };
        if (query(SIOCGIFFLAGS) < 0) continue;
        if (strcmp(name, "lo") == 0) continue;

        AddrItem* it = &items[filled];
        memset(it->ifac, 0, sizeof(it->ifac));
        str_secpy(it->ifac, (int)sizeof(it->ifac) - 1, name, (int)strlen(name));

        // The interface list carries IPv4 addresses only (a 16-byte record).
        memset(&it->addr, 0, sizeof(it->addr));
        memset(&it->netmask, 0, sizeof(it->netmask));
        memset(it->ipstr, 0, sizeof(it->ipstr));
        struct sockaddr_in sin;
        memcpy(&sin, &list[k].ifr_addr, sizeof(sin));
        if (sin.sin_family == AF_INET) {
            sock_addr_to_epaddr((const struct sockaddr*)&sin, &it->addr);
            char text[SOCK_ADDR_TEXT_LEN] = "";
            if (sock_addr_ntop((const struct sockaddr*)&sin, text) == 0)
                str_secpy(it->ipstr, (int)sizeof(it->ipstr) - 1, text, (int)strlen(text));
        }

        if (query(SIOCGIFNETMASK) == 0) {
            memcpy(&sin, &req.ifr_netmask, sizeof(sin));
            sin.sin_family = AF_INET;  // some kernels leave the mask's family unset
            sock_addr_to_epaddr((const struct sockaddr*)&sin, &it->netmask);
        }

        memset(it->mac, 0, sizeof(it->mac));
        it->type = 0;
        if (query(SIOCGIFHWADDR) == 0) {
            memcpy(it->mac, req.ifr_hwaddr.sa_data, 6);
            it->type = link_kind(req.ifr_hwaddr.sa_family);
        }

        it->mtu = 0;
        if (query(SIOCGIFMTU) == 0) it->mtu = req.ifr_mtu;
        filled++;
    }
    kfree(buf);
    close(qfd);
    return filled;
}

/* ---------------------------------------------------- listen and connect */

int tcp_listen(const char* localip, int port, sockopt_t* opt, sockattr_t* fdlist, int* fdnum)
{
    return listen_common(true, localip, port, opt, fdlist, fdnum);
}

int udp_listen(const char* localip, int port, sockopt_t* opt, sockattr_t* fdlist, int* fdnum)
{
    return listen_common(false, localip, port, opt, fdlist, fdnum);
}

int tcp_connect_full(const char* host, int port, int nonblk, const char* localip,
                     int localport, int* succ, sockattr_t* attr)
{
    set_count(succ, 0);
    if (attr) attr->fd = -1;
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[16];
    port_text(port, service, sizeof(service));
    struct addrinfo* res = nullptr;
    int rc = getaddrinfo(host, service, &hints, &res);
    if (rc != 0) {
        trlogfile(g_trace_log, 1, nullptr, __LINE__, "tcp_connect: getaddrinfo: %s:%s return %d\n",
                  host ? host : "", service, rc);
        return SOCK_ERR_RESOLVE;
    }
    bool want_bind = (localip && localip[0]) || localport >= 1;
    for (struct addrinfo* ai = res; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0) continue;
        if (attr) {
            attr->family = ai->ai_family;
            attr->socktype = ai->ai_socktype;
            attr->protocol = ai->ai_protocol;
            attr->fd = fd;
        }
        set_default_opts(fd, nullptr);
        if (nonblk) sock_nonblock_set(fd, 1);
        if (want_bind && bind_local(fd, ai->ai_family, localip, localport) != 0) {
            close(fd);
            if (attr) attr->fd = -1;
            continue;
        }
        errno = 0;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            set_count(succ, 1);
            freeaddrinfo(res);
            return fd;
        }
        set_count(succ, 0);
        if (connect_in_progress(errno)) {
            freeaddrinfo(res);
            return fd;
        }
        close(fd);
        if (attr) attr->fd = -1;
    }
    freeaddrinfo(res);
    return -1;
}

int tcp_connect(const char* host, int port, const char* localip, int localport, sockattr_t* attr)
{
    return tcp_connect_full(host, port, 0, localip, localport, nullptr, attr);
}

int tcp_nb_connect(const char* host, int port, const char* localip, int localport,
                   int* consucc, sockattr_t* attr)
{
    return tcp_connect_full(host, port, 1, localip, localport, consucc, attr);
}

int tcp_ep_connect(ep_sockaddr_t* addr, int nblk, const char* localip, int localport,
                   sockopt_t* opt, int* succ)
{
    set_count(succ, 0);
    if (!addr) return -1;
    // A record parsed from text carries no socket type; this is TCP.
    int type = addr->socktype ? addr->socktype : SOCK_STREAM;
    int fd = socket(addr->family, type, IPPROTO_TCP);
    if (fd < 0) return -1;
    if (opt)
        sock_option_set(fd, opt);
    else
        set_default_opts(fd, "TCPConnect");
    if (nblk) sock_nonblock_set(fd, 1);
    if (((localip && localip[0]) || localport >= 1) &&
        bind_local(fd, addr->family, localip, localport) != 0) {
        close(fd);
        return -1;
    }
    errno = 0;
    if (connect(fd, &addr->u.addr, (socklen_t)addr->socklen) == 0) {
        set_count(succ, 1);
        return fd;
    }
    if (connect_in_progress(errno)) return fd;
    close(fd);
    return -1;
}

/* ------------------------------------------------------------ transfers */

int tcp_nb_recv(int fd, void* buf, int bufsize, int* actnum)
{
    set_count(actnum, 0);
    if (fd == -1) return SOCK_ERR_BADFD;
    if (!buf || bufsize <= 0) return 0;
    char* p = (char*)buf;
    int got = 0;
    int result;
    for (;;) {
        int waiting = sock_unread_data(fd);
        if (waiting > 0) {
            int rc = recv_waiting(fd, p, std::min(bufsize - got, waiting), &got, MSG_NOSIGNAL);
            result = rc < 0 ? rc : got;
            break;
        }
        ssize_t n = recv(fd, p + got, (size_t)(bufsize - got), MSG_NOSIGNAL);
        if (n > 0) {
            got += (int)n;
            if (got >= bufsize) { result = got; break; }
            continue;
        }
        if (n == 0) { result = SOCK_ERR_CLOSED; break; }
        if (errno == EINTR) continue;
        result = (errno == EAGAIN || errno == EWOULDBLOCK) ? got : SOCK_ERR_IO;
        break;
    }
    set_count(actnum, got);
    return result;
}

int tcp_nb_send(int fd, const void* buf, int towrite, int* actnum)
{
    set_count(actnum, 0);
    if (fd == -1) return -1;
    if (!buf || towrite < 1) return 0;
    const char* p = (const char*)buf;
    int sent = 0;
    int result = 0;
    while (sent < towrite) {
        ssize_t n = send(fd, p + sent, (size_t)(towrite - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += (int)n;
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            result = SOCK_ERR_IO;
            break;
        }
        break;  // would block (or interrupted): report what went
    }
    set_count(actnum, sent);
    return result < 0 ? result : sent;
}

int tcp_recv(int fd, void* buf, int toread, int waitms, int* actnum)
{
    set_count(actnum, 0);
    if (fd == -1) return SOCK_ERR_BADFD;
    if (!buf) return 0;
    bool take_all = toread < 1;
    if (take_all) toread = kRecvAllMax;
    // Without a time limit and without a count: read what is there, no wait.
    bool no_wait = take_all && waitms <= 0;
    char* p = (char*)buf;
    int got = 0;
    int64_t start = mono_ms();
    // recv never blocks here: the waits below are what honour the time limit.
    const int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
    int result;

    for (;;) {
        if (!no_wait) {
            int left = -1;
            if (waitms > 0) {
                int64_t rest = waitms - (mono_ms() - start);
                if (rest <= 0) { result = 0; break; }
                left = (int)rest;
            }
            int w = wait_ready(fd, left, WAIT_READ);
            if (w == 0) continue;  // the time check above ends the call
            if (w < 0 && errno != EAGAIN) { result = SOCK_ERR_RESOLVE; break; }
        }
        int waiting = sock_unread_data(fd);
        if (waiting > 0) {
            int rc = recv_waiting(fd, p, std::min(toread - got, waiting), &got, flags);
            if (rc < 0) { result = rc; break; }
            if (got >= toread) { result = got; break; }
            if (no_wait && rc == 1) { result = got; break; }
            continue;
        }
        ssize_t n = recv(fd, p + got, (size_t)(toread - got), flags);
        if (n > 0) {
            got += (int)n;
            if (got >= toread) { result = got; break; }
            continue;
        }
        if (n == 0) { result = SOCK_ERR_CLOSED; break; }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            if (no_wait) { result = got; break; }
            continue;
        }
        result = SOCK_ERR_IO;
        break;
    }
    set_count(actnum, got);
    return result;
}

int tcp_send(int fd, const void* buf, int towrite, int waitms, int* actnum)
{
    set_count(actnum, 0);
    if (fd == -1) return SOCK_ERR_BADFD;
    if (!buf || towrite < 1) return 0;
    const char* p = (const char*)buf;
    int sent = 0;
    int64_t start = mono_ms();
    int result;
    for (;;) {
        int left = -1;
        if (waitms > 0) {
            int64_t rest = waitms - (mono_ms() - start);
            if (rest <= 0) { result = 0; break; }
            left = (int)rest;
        }
        int w = wait_ready(fd, left, WAIT_WRITE);
        if (w == 0) continue;
        if (w < 0 && errno != EAGAIN) { result = SOCK_ERR_RESOLVE; break; }
        ssize_t n = send(fd, p + sent, (size_t)(towrite - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += (int)n;
            if (sent >= towrite) { result = sent; break; }
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            result = SOCK_ERR_IO;
            break;
        }
    }
    set_count(actnum, sent);
    return result;
}

int tcp_writev(int fd, struct iovec* iov, int iovcnt, int* actnum, int* perr)
{
    set_count(actnum, 0);
    if (fd == -1) return -1;
    if (!iov || iovcnt < 1) return 0;
    signal(SIGPIPE, SIG_IGN);

    int total = 0;
    int idx = 0;
    for (;;) {
        while (idx < iovcnt && iov[idx].iov_len == 0) idx++;
        if (idx >= iovcnt) return total;
        ssize_t n = writev(fd, iov + idx, iovcnt - idx);
        if (n < 0) {
            set_count(perr, errno);
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return SOCK_ERR_IO;
        }
        total += (int)n;
        set_count(actnum, total);
        size_t left = (size_t)n;
        // Written vectors are emptied so the array always describes what is
        // left: a caller can resume with it after a would-block return.
        while (idx < iovcnt && left >= iov[idx].iov_len) {
            left -= iov[idx].iov_len;
            iov[idx].iov_base = (char*)iov[idx].iov_base + iov[idx].iov_len;
            iov[idx].iov_len = 0;
            idx++;
        }
        if (left > 0) {
            iov[idx].iov_base = (char*)iov[idx].iov_base + left;
            iov[idx].iov_len -= left;
        }
    }
}

int tcp_sendfile(int fd, int srcfd, int64_t pos, int64_t size, int* actnum, int* perr)
{
    set_count(actnum, 0);
    if (fd == -1) return -1;
    if (srcfd < 0) return -2;
    struct stat st;
    if (fstat(srcfd, &st) != 0) {
        set_count(perr, errno);
        return -3;
    }
    if (pos < 0) pos = 0;
    if (pos >= (int64_t)st.st_size || size < 1) return 0;
    if (size > (int64_t)st.st_size - pos) size = (int64_t)st.st_size - pos;

    off_t off = (off_t)pos;
    int64_t sent = 0;
    while (sent < size) {
        size_t chunk = (size_t)std::min(size - sent, kSendfileChunk);
        ssize_t n = sendfile(fd, srcfd, &off, chunk);
        if (n > 0) {
            sent += n;
            set_count(actnum, (int)std::min<int64_t>(sent, INT32_MAX));
            continue;
        }
        if (n == 0) return SOCK_ERR_SENDFILE;
        set_count(perr, errno);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        return SOCK_ERR_IO;
    }
    return (int)std::min<int64_t>(sent, INT32_MAX);
}
