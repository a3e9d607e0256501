/* UDP endpoints as devices, plain bound sockets for tasks that service
 * their own descriptors, and datagram receive and send. The reply path
 * (epudp_recv then epudp_send_to) answers whoever sent the last datagram. */
#include "epudp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "epcore.h"
#include "eptcp.h"
#include "iodev.h"

namespace {

constexpr int MAX_LISTEN_SOCKS = 16;
constexpr int DEFAULT_DGRAM_ROOM = 8192;

void set_default_option(int fd, int name, const char* what)
{
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, name, &one, sizeof one) != 0) perror(what);
}

bool bindtype_allowed(int bt)
{
    return bt == BIND_NONE || bt == BIND_SELECT || bt == BIND_GIVEN || bt == BIND_ALL || bt == BIND_CURRENT;
}

sockopt_t udp_options()
{
    sockopt_t opt;
    memset(&opt, 0, sizeof opt);
    opt.mask = SOCKOPT_REUSEADDR | SOCKOPT_REUSEPORT | SOCKOPT_KEEPALIVE;
    opt.reuseaddr = opt.reuseport = opt.keepalive = 1;
    return opt;
}

struct addrinfo* passive_dgram(const char* localip, int port, int* rc)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    char portstr[16];
    snprintf(portstr, sizeof portstr, "%d", port);
    const char* host = (localip && strlen(localip) >= 2) ? localip : nullptr;
    struct addrinfo* res = nullptr;
    *rc = getaddrinfo(host, portstr, &hints, &res);
    return *rc == 0 ? res : nullptr;
}

} // namespace

int udp_listen_all(const char* localip, int port, sockopt_t* opt, sockattr_t* fdlist, int* fdnum)
{
    int cap = (fdlist && fdnum) ? *fdnum : 0;
    int filled = 0;
    if (fdnum) *fdnum = 0;

    int rc;
    struct addrinfo* res = passive_dgram(localip, port, &rc);
    if (rc != 0) return -100;
    if (!res) return -1;

    int last = -1;
    for (struct addrinfo* ai = res; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        if (opt) {
            sock_option_set(fd, opt);
        } else {
            set_default_option(fd, SO_REUSEADDR, "UDPListen REUSEADDR");
            set_default_option(fd, SO_REUSEPORT, "UDPListen REUSEPORT");
            set_default_option(fd, SO_KEEPALIVE, "UDPListen KEEPALIVE");
        }
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            close(fd);
            continue;
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

iodev_t* epudp_listen_create(epcore_t* core, const char* localip, int port, void* para, int* retval,
                             IOHandler* cb, void* cbpara, iodev_t** devs, int* num)
{
    int cap = (devs && num) ? *num : 0;
    if (num) *num = 0;
    if (retval) *retval = -200;
    if (!core) return nullptr;

    sockopt_t opt = udp_options();
    sockattr_t socks[MAX_LISTEN_SOCKS];
    int n = MAX_LISTEN_SOCKS;
    udp_listen_all(localip, port, &opt, socks, &n);
    if (n <= 0) return nullptr;
    return eplisten_devices(core, socks, n, IODEV_UDP_LISTEN, IOSTATE_READY, para, cb, cbpara,
                            devs, cap, num, retval);
}

iodev_t* epudp_listen(epcore_t* core, const char* localip, int port, void* para, int* retval,
                      IOHandler* cb, void* cbpara, int bindtype, iodev_t** devs, int* num)
{
    if (!bindtype_allowed(bindtype)) {
        if (retval) *retval = -1;
        if (num) *num = 0;
        return nullptr;
    }
    iodev_t* list[MAX_LISTEN_SOCKS];
    int n = MAX_LISTEN_SOCKS;
    iodev_t* first = epudp_listen_create(core, localip, port, para, retval, cb, cbpara, list, &n);
    int bt = bindtype == BIND_GIVEN ? BIND_SELECT : bindtype;
    int cap = (devs && num) ? *num : 0;
    for (int i = 0; i < n; i++) {
        if (bt != BIND_NONE) iodev_bind_evpump(list[i], bt, nullptr);
        if (i < cap) devs[i] = list[i];
    }
    if (num) *num = devs ? (n < cap ? n : cap) : n;
    return first;
}

mlisten_t* epudp_mlisten(epcore_t* core, const char* localip, int port, void* para, IOHandler* cb, void* cbpara)
{
    if (!core || port < 1 || port > 65535) return nullptr;
    return mlisten_open(core, localip, port, IODEV_UDP_LISTEN, para, cb, cbpara);
}

iodev_t* epudp_client(epcore_t* core, const char* localip, int localport, void* para, int* retval,
                      IOHandler* cb, void* cbpara, iodev_t** devs, int* num)
{
    int cap = (devs && num) ? *num : 0;
    if (num) *num = 0;
    if (retval) *retval = -200;
    if (!core) return nullptr;

    sockopt_t opt = udp_options();
    sockattr_t socks[MAX_LISTEN_SOCKS];
    int n = MAX_LISTEN_SOCKS;
    udp_listen_all(localip, localport, &opt, socks, &n);
    if (n <= 0) return nullptr;

    iodev_t* list[MAX_LISTEN_SOCKS];
    int made = MAX_LISTEN_SOCKS;
    iodev_t* first = eplisten_devices(core, socks, n, IODEV_UDP_CLIENT, IOSTATE_READY, para, cb, cbpara,
                                      list, MAX_LISTEN_SOCKS, &made, retval);
    for (int i = 0; i < made; i++) {
        iodev_bind_evpump(list[i], BIND_SELECT, nullptr);
        if (i < cap) devs[i] = list[i];
    }
    if (num) *num = devs ? (made < cap ? made : cap) : made;
    return first;
}

int epudp_socket_create(const char* localip, int port)
{
    int rc;
    struct addrinfo* res = passive_dgram(localip, port, &rc);
    if (!res) return -1;
    int result = -1;
    for (struct addrinfo* ai = res; ai && result < 0; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        set_default_option(fd, SO_REUSEADDR, "UDPListen REUSEADDR");
        set_default_option(fd, SO_REUSEPORT, "UDPListen REUSEPORT");
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            close(fd);
            continue;
        }
        result = fd;
    }
    freeaddrinfo(res);
    return result;
}

int epudp_recv(iodev_t* dev, void* buf, int len)
{
    if (!dev || !buf || len < 0) return -1;
    struct sockaddr_storage from;
    socklen_t flen = sizeof from;
    ssize_t n;
    do {
        n = recvfrom(dev->fd, buf, (size_t)len, 0, (struct sockaddr*)&from, &flen);
    } while (n < 0 && errno == EINTR);
    if (n > 0 && from.ss_family == AF_INET) {
        auto* sin = (struct sockaddr_in*)&from;
        char text[INET_ADDRSTRLEN] = {0};
        if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) {
            strncpy(dev->remote_ip, text, 40);
            dev->remote_ip[40] = '\0';
            dev->remote_port = ntohs(sin->sin_port);
        }
    }
    return (int)n;
}

int epudp_send_to(iodev_t* dev, const void* buf, int len)
{
    if (!dev || !buf || len < 0) return -1;
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(dev->remote_port);
    if (inet_pton(AF_INET, dev->remote_ip, &to.sin_addr) != 1) return -1;
    ssize_t n;
    do {
        n = sendto(dev->fd, buf, (size_t)len, MSG_NOSIGNAL, (struct sockaddr*)&to, sizeof to);
    } while (n < 0 && errno == EINTR);
    return (int)n;
}

int epudp_recvfrom(iodev_t* dev, frame_t* frm, ep_sockaddr_t* addr, int* addrlen)
{
    if (!dev || !frm) return -1;
    int size = sock_unread_data(dev->fd);
    if (size <= 0) size = DEFAULT_DGRAM_ROOM;
    if (!frm->data || frm->size - frm->start - frm->len < size) frame_grow(frm, size);
    if (!frm->data || frm->size - frm->start - frm->len < size) return -1;

    struct sockaddr_storage from;
    socklen_t flen = sizeof from;
    ssize_t n;
    do {
        n = recvfrom(dev->fd, frm->data + frm->start + frm->len, (size_t)size, 0, (struct sockaddr*)&from, &flen);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return (int)n;
    frm->len += (int)n;
    if (addr) sock_addr_to_epaddr((struct sockaddr*)&from, addr);
    if (addrlen) *addrlen = (int)flen;
    return (int)n;
}
