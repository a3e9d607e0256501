/* TCP endpoints as devices: listening sockets on every usable local
 * address, accepted connections handed to a pump, and outbound
 * non-blocking connections whose outcome arrives as EVT_CONNECTED or
 * EVT_CONNECT_FAILED. */
#include "eptcp.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "epcore.h"
#include "epdns.h"
#include "eplisten.h"
#include "iodev.h"
#include "mthread.h"
#include "trace.h"

namespace {

constexpr int MAX_LISTEN_SOCKS = 16;

/* The device whose resolution this thread is starting: an answer the
 * resolver gives at once (from its cache) is taken by the starter itself. */
thread_local iodev_t* t_sync_dev = nullptr;
constexpr int DEFAULT_BACKLOG = 511;

void copy_text(char* dst, const char* src)
{
    size_t n = src ? strnlen(src, 40) : 0;
    if (n) memcpy(dst, src, n);
    dst[n] = '\0';
}

void addr_text(const struct sockaddr* sa, char* dst)
{
    char buf[SOCK_ADDR_TEXT_LEN] = {0};
    if (sock_addr_ntop(sa, buf) < 0) buf[0] = '\0';
    copy_text(dst, buf);
}

bool sockopt_on(int fd, int name)
{
    int v = 0;
    socklen_t len = sizeof v;
    return getsockopt(fd, SOL_SOCKET, name, &v, &len) == 0 && v != 0;
}

void set_default_option(int fd, int name, const char* prefix, const char* what)
{
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, name, &one, sizeof one) != 0) {
        char text[40];
        snprintf(text, sizeof text, "%s %s", prefix, what);
        perror(text);
    }
}

bool bindtype_allowed(int bt)
{
    return bt == BIND_NONE || bt == BIND_SELECT || bt == BIND_GIVEN || bt == BIND_ALL || bt == BIND_CURRENT;
}

/* Connects dev to addr from the local address; binds it to the current pump.
 * false when the connect failed (the device is then closed when close_failed
 * is set). */
bool connect_dev(iodev_t* dev, ep_sockaddr_t* addr, int done_ret, int* retval, bool close_failed = true)
{
    int succ = 0;
    const char* lip = dev->local_ip[0] ? dev->local_ip : nullptr;
    int fd = tcp_ep_connect(addr, 1, lip, dev->local_port, nullptr, &succ);
    if (fd < 0) {
        if (close_failed) iodev_close(dev);
        *retval = -30;
        return false;
    }
    dev->fd = fd;
    dev->family = addr->family;
    dev->socktype = SOCK_STREAM;
    dev->protocol = IPPROTO_TCP;
    if (succ) {
        dev->iostate = IOSTATE_READY;
        dev->rwflag = WATCH_READ;
        *retval = done_ret;
    } else {
        dev->iostate = IOSTATE_CONNECTING;
        dev->rwflag = WATCH_READ | WATCH_WRITE;
        *retval = -100;
    }
    iodev_bind_evpump(dev, BIND_CURRENT, nullptr);
    return true;
}

void notify(iodev_t* dev, int event)
{
    epcore_t* core = dev->epcore;
    if (dev->callback)
        dev->callback(dev->cbpara, dev, event, dev->fdtype);
    else if (core && core->callback)
        core->callback(core->cbpara, dev, event, dev->fdtype);
}

/* resolve: whether a host name may start a resolution (the non-blocking
 * form); the blocking form takes address literals only. */
iodev_t* connect_common(epcore_t* core, const char* host, int port, const char* localip, int localport,
                        void* para, int* retval, IOHandler* cb, void* cbpara, int done_ret, bool resolve)
{
    int dummy;
    if (!retval) retval = &dummy;
    *retval = -1;
    if (!core) return nullptr;
    if (!host) {
        *retval = -10;
        return nullptr;
    }

    ep_sockaddr_t addr;
    memset(&addr, 0, sizeof addr);
    bool literal = sock_addr_parse(host, -1, port, &addr) == 1;
    if (!literal && !resolve) {
        *retval = -30;
        return nullptr;
    }
    addr.socktype = SOCK_STREAM;

    iodev_t* dev = iodev_new(core);
    if (!dev) {
        *retval = -20;
        return nullptr;
    }
    epcore_iodev_add(core, dev);
    dev->fdtype = IODEV_TCP_CONNECTED;
    dev->para = para;
    dev->callback = cb;
    dev->cbpara = cbpara;
    copy_text(dev->local_ip, localip);
    dev->local_port = (uint16_t)localport;
    dev->remote_port = (uint16_t)port;
    if (core->dispmode == 1) dev->threadid = get_threadid();

    if (literal) {
        copy_text(dev->remote_ip, host);
        return connect_dev(dev, &addr, done_ret, retval) ? dev : nullptr;
    }

    /* A name: the connection goes on in eptcp_connect_dnscb once resolved. */
    dev->iostate = IOSTATE_RESOLVING;
    *retval = -101;
    void* cache = nullptr;
    t_sync_dev = dev;
    int rc = dns_nb_query(static_cast<dns_mgmt_t*>(core->dnsmgmt), host, -1, nullptr, &cache,
                          eptcp_connect_dnscb, dev);
    t_sync_dev = nullptr;
    if (rc == 0) return dev;
    /* Answered from the cache at once: connect here, like a literal. */
    if (rc == 3 && cache &&
        dns_cache_sockaddr(static_cast<dns_cache_t*>(cache), 0, port, &addr) >= 0) {
        addr.socktype = SOCK_STREAM;
        addr_text(&addr.u.addr, dev->remote_ip);
        return connect_dev(dev, &addr, done_ret, retval) ? dev : nullptr;
    }
    iodev_close(dev);
    *retval = -30;
    return nullptr;
}

/* Devices for the sockets: registered, non-blocking, watching reads, not
 * bound. Sockets left when no device record can be had are closed. Returns
 * how many were made, into devs. */
int make_devices(epcore_t* core, sockattr_t* socks, int n, int fdtype, int iostate, void* para,
                 IOHandler* cb, void* cbpara, iodev_t** devs)
{
    int made = 0;
    for (; made < n; made++) {
        int fd = socks[made].fd;
        iodev_t* dev = iodev_new(core);
        if (!dev) {
            for (int j = made; j < n; j++) close(socks[j].fd);
            break;
        }
        dev->fd = fd;
        epcore_iodev_add(core, dev);
        dev->family = socks[made].family;
        dev->socktype = socks[made].socktype;
        dev->protocol = socks[made].protocol;
        dev->reuseaddr = sockopt_on(fd, SO_REUSEADDR);
        dev->reuseport = sockopt_on(fd, SO_REUSEPORT);
        dev->keepalive = sockopt_on(fd, SO_KEEPALIVE);
        sock_nonblock_set(fd, 1);
        struct sockaddr_storage ss;
        socklen_t sl = sizeof ss;
        if (getsockname(fd, (struct sockaddr*)&ss, &sl) == 0) {
            addr_text((struct sockaddr*)&ss, dev->local_ip);
            dev->local_port = (uint16_t)sock_addr_port((struct sockaddr*)&ss);
        }
        dev->para = para;
        dev->callback = cb;
        dev->cbpara = cbpara;
        dev->fdtype = fdtype;
        dev->iostate = (uint8_t)iostate;
        dev->rwflag = WATCH_READ;
        devs[made] = dev;
    }
    return made;
}

} // namespace

/* UDP sockets are only bound; only TCP failures go to the trace log. */
int ep_bind_all(bool tcp, const char* localip, int port, sockopt_t* opt, sockattr_t* fdlist, int* fdnum)
{
    int cap = (fdlist && fdnum) ? *fdnum : 0;
    int filled = 0;
    if (fdnum) *fdnum = 0;

    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_protocol = tcp ? IPPROTO_TCP : IPPROTO_UDP;
    char portstr[16];
    snprintf(portstr, sizeof portstr, "%d", port);
    const char* host = (localip && strlen(localip) >= 2) ? localip : nullptr;
    const char* prefix = tcp ? "TCPListen" : "UDPListen";

    struct addrinfo* res = nullptr;
    int rc = getaddrinfo(host, portstr, &hints, &res);
    if (rc != 0) {
        if (tcp)
            trlogfile(g_trace_log, 0, nullptr, 0, "getaddrinfo: %s:%s return %d\n", host ? host : "", portstr, rc);
        return -100;
    }
    if (!res) {
        if (tcp) trlogfile(g_trace_log, 0, nullptr, 0, "tcp_listen_all no addrinfo available\n");
        return -1;
    }

    int last = -1, chosen = 0;
    for (struct addrinfo* ai = res; ai; ai = ai->ai_next) {
        /* Port 0: the kernel picks one for the first address, the others
         * take the same, so one listener answers on one port. */
        if (port == 0 && last >= 0) {
            if (ai->ai_family == AF_INET)
                ((struct sockaddr_in*)ai->ai_addr)->sin_port = htons((uint16_t)chosen);
            else if (ai->ai_family == AF_INET6)
                ((struct sockaddr_in6*)ai->ai_addr)->sin6_port = htons((uint16_t)chosen);
        }
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            if (tcp) trlogfile(g_trace_log, 0, nullptr, 0, "tcp_listen_all socket() failed\n");
            continue;
        }
        int backlog = DEFAULT_BACKLOG;
        if (opt) {
            if (opt->mask & SOCKOPT_BACKLOG) backlog = opt->backlog;
            sock_option_set(fd, opt);
        } else {
            set_default_option(fd, SO_REUSEADDR, prefix, "REUSEADDR");
            set_default_option(fd, SO_REUSEPORT, prefix, "REUSEPORT");
            set_default_option(fd, SO_KEEPALIVE, prefix, "KEEPALIVE");
        }
        char text[SOCK_ADDR_TEXT_LEN] = {0};
        sock_addr_ntop(ai->ai_addr, text);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            if (tcp) trlogfile(g_trace_log, 0, nullptr, 0, "tcp_listen_all bind %s:%d failed\n", text, port);
            close(fd);
            continue;
        }
        if (backlog < 1) backlog = DEFAULT_BACKLOG;
        if (tcp && listen(fd, backlog) != 0) {
            trlogfile(g_trace_log, 0, nullptr, 0, "tcp_listen_all fd=%d %s:%d failed\n", fd, text, port);
            close(fd);
            continue;
        }
        if (port == 0 && last < 0) {
            struct sockaddr_storage ss;
            socklen_t sl = sizeof ss;
            if (getsockname(fd, (struct sockaddr*)&ss, &sl) == 0) chosen = sock_addr_port((struct sockaddr*)&ss);
        }
        last = fd;
        if (cap < 1) {
            filled = 1;
            break;
        }
        fdlist[filled].family = ai->ai_family;
        fdlist[filled].socktype = ai->ai_socktype;
        fdlist[filled].protocol = ai->ai_protocol;
        fdlist[filled].fd = fd;
        if (++filled >= cap) break;
    }
    freeaddrinfo(res);
    if (fdnum) *fdnum = filled;
    return last;
}

int tcp_listen_all(const char* localip, int port, sockopt_t* opt, sockattr_t* fdlist, int* fdnum)
{
    return ep_bind_all(true, localip, port, opt, fdlist, fdnum);
}

iodev_t* ep_listen_devices(bool tcp, int fdtype, int bindtype, epcore_t* core, const char* localip,
                           int port, void* para, int* retval, IOHandler* cb, void* cbpara,
                           iodev_t** devs, int* num)
{
    if (!bindtype_allowed(bindtype)) {
        if (retval) *retval = -1;
        if (num) *num = 0;
        return nullptr;
    }
    int cap = (devs && num) ? *num : 0;
    if (num) *num = 0;
    if (retval) *retval = -200;
    if (!core) return nullptr;

    sockopt_t opt;
    memset(&opt, 0, sizeof opt);
    opt.mask = SOCKOPT_REUSEADDR | SOCKOPT_REUSEPORT | SOCKOPT_KEEPALIVE;
    opt.reuseaddr = opt.reuseport = opt.keepalive = 1;
    if (tcp) {
        opt.mask |= SOCKOPT_BACKLOG;
        opt.backlog = DEFAULT_BACKLOG;
    }
    sockattr_t socks[MAX_LISTEN_SOCKS];
    int n = MAX_LISTEN_SOCKS;
    ep_bind_all(tcp, localip, port, &opt, socks, &n);
    if (n <= 0) return nullptr;

    iodev_t* list[MAX_LISTEN_SOCKS];
    int made = make_devices(core, socks, n, fdtype, tcp ? IOSTATE_LISTENING : IOSTATE_READY, para, cb,
                            cbpara, list);
    if (retval) *retval = made > 0 ? 0 : -100;
    /* No pump is passed, so "the given pump" means a selected one. */
    if (bindtype == BIND_GIVEN) bindtype = BIND_SELECT;
    for (int i = 0; i < made; i++) {
        if (bindtype != BIND_NONE) iodev_bind_evpump(list[i], bindtype, nullptr);
        if (i < cap) devs[i] = list[i];
    }
    if (num) *num = devs ? (made < cap ? made : cap) : made;
    return made > 0 ? list[0] : nullptr;
}

iodev_t* eptcp_listen_create(epcore_t* core, const char* localip, int port, void* para, int* retval,
                             IOHandler* cb, void* cbpara, iodev_t** devs, int* num)
{
    return ep_listen_devices(true, IODEV_TCP_LISTEN, BIND_NONE, core, localip, port, para, retval, cb, cbpara,
                             devs, num);
}

iodev_t* eptcp_listen(epcore_t* core, const char* localip, int port, void* para, int* retval,
                      IOHandler* cb, void* cbpara, int bindtype, iodev_t** devs, int* num)
{
    return ep_listen_devices(true, IODEV_TCP_LISTEN, bindtype, core, localip, port, para, retval, cb, cbpara,
                             devs, num);
}

mlisten_t* eptcp_mlisten(epcore_t* core, const char* localip, int port, void* para, IOHandler* cb, void* cbpara)
{
    return mlisten_open(core, localip, port, IODEV_TCP_LISTEN, para, cb, cbpara);
}

iodev_t* eptcp_accept(epcore_t* core, iodev_t* listendev, void* para, int* retval, IOHandler* cb,
                      void* cbpara, int bindtype)
{
    int dummy;
    if (!retval) retval = &dummy;
    *retval = -100;
    if (!core || !listendev) return nullptr;

    struct sockaddr_storage peer;
    socklen_t plen;
    int fd;
    EnterCriticalSection(&listendev->fdCS);
    do {
        plen = sizeof peer;
        fd = listendev->fd >= 0
                 ? accept4(listendev->fd, (struct sockaddr*)&peer, &plen, SOCK_NONBLOCK | SOCK_CLOEXEC)
                 : -1;
        /* A connection aborted while queued is no reason to stop draining. */
    } while (fd < 0 && (errno == EINTR || errno == ECONNABORTED));
    LeaveCriticalSection(&listendev->fdCS);
    if (fd < 0) return nullptr;

    iodev_t* dev = iodev_new(core);
    if (!dev) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
        *retval = -200;
        return nullptr;
    }
    dev->fd = fd;
    epcore_iodev_add(core, dev);
    dev->family = peer.ss_family;
    dev->socktype = listendev->socktype;
    dev->protocol = listendev->protocol;
    addr_text((struct sockaddr*)&peer, dev->remote_ip);
    dev->remote_port = (uint16_t)sock_addr_port((struct sockaddr*)&peer);
    struct sockaddr_storage local;
    socklen_t llen = sizeof local;
    if (getsockname(fd, (struct sockaddr*)&local, &llen) == 0) addr_text((struct sockaddr*)&local, dev->local_ip);
    dev->local_port = listendev->local_port;
    if (core->dispmode == 1) dev->threadid = get_threadid();
    dev->para = para;
    dev->callback = cb;
    dev->cbpara = cbpara;
    dev->fdtype = IODEV_TCP_ACCEPTED;
    dev->iostate = IOSTATE_READY;
    dev->rwflag = WATCH_READ;
    *retval = 0;
    iodev_bind_evpump(dev, bindtype, nullptr);
    return dev;
}

iodev_t* eptcp_connect(epcore_t* core, const char* host, int port, const char* localip, int localport,
                       void* para, int* retval, IOHandler* cb, void* cbpara)
{
    return connect_common(core, host, port, localip, localport, para, retval, cb, cbpara, 1, false);
}

iodev_t* eptcp_nb_connect(epcore_t* core, const char* host, int port, const char* localip, int localport,
                          void* para, int* retval, IOHandler* cb, void* cbpara)
{
    return connect_common(core, host, port, localip, localport, para, retval, cb, cbpara, 0, true);
}

int eptcp_connect_dnscb(void* cbobj, char* name, int namelen, void* cache, int status)
{
    (void)namelen;
    (void)cache;
    auto* dev = static_cast<iodev_t*>(cbobj);
    if (!dev) return -1;
    if (dev == t_sync_dev) return 0; /* answered at once: the starter connects */
    ep_sockaddr_t addr;
    memset(&addr, 0, sizeof addr);
    bool found = false;
    if ((status == 200 || status == 201) && name) {
        found = sock_addr_parse(name, -1, dev->remote_port, &addr) == 1;
    } else if (status == 0 && cache) {
        /* The first address of the entry. */
        found = dns_cache_sockaddr(static_cast<dns_cache_t*>(cache), 0, dev->remote_port, &addr) >= 0;
    }
    if (found) {
        addr.socktype = SOCK_STREAM;
        addr_text(&addr.u.addr, dev->remote_ip);
        int r = 0;
        /* A failed connect is reported like any other; the handler closes. */
        if (connect_dev(dev, &addr, 0, &r, false)) {
            if (r == 0) notify(dev, EVT_CONNECTED);
            return 0;
        }
    }
    notify(dev, EVT_CONNECT_FAILED);
    return -1;
}
