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
#include "eplisten.h"
#include "eptcp.h"
#include "iodev.h"

namespace {

constexpr int DEFAULT_DGRAM_ROOM = 8192;

} // namespace

int udp_listen_all(const char* localip, int port, sockopt_t* opt, sockattr_t* fdlist, int* fdnum)
{
    return ep_bind_all(false, localip, port, opt, fdlist, fdnum);
}

iodev_t* epudp_listen_create(epcore_t* core, const char* localip, int port, void* para, int* retval,
                             IOHandler* cb, void* cbpara, iodev_t** devs, int* num)
{
    return ep_listen_devices(false, IODEV_UDP_LISTEN, BIND_NONE, core, localip, port, para, retval, cb, cbpara,
                             devs, num);
}

iodev_t* epudp_listen(epcore_t* core, const char* localip, int port, void* para, int* retval,
                      IOHandler* cb, void* cbpara, int bindtype, iodev_t** devs, int* num)
{
    return ep_listen_devices(false, IODEV_UDP_LISTEN, bindtype, core, localip, port, para, retval, cb, cbpara,
                             devs, num);
}

mlisten_t* epudp_mlisten(epcore_t* core, const char* localip, int port, void* para, IOHandler* cb, void* cbpara)
{
    return mlisten_open(core, localip, port, IODEV_UDP_LISTEN, para, cb, cbpara);
}

iodev_t* epudp_client(epcore_t* core, const char* localip, int localport, void* para, int* retval,
                      IOHandler* cb, void* cbpara, iodev_t** devs, int* num)
{
    return ep_listen_devices(false, IODEV_UDP_CLIENT, BIND_SELECT, core, localip, localport, para, retval, cb,
                             cbpara, devs, num);
}

int epudp_socket_create(const char* localip, int port)
{
    sockopt_t opt;
    memset(&opt, 0, sizeof opt);
    opt.mask = SOCKOPT_REUSEADDR | SOCKOPT_REUSEPORT;
    opt.reuseaddr = opt.reuseport = 1;
    int fd = ep_bind_all(false, localip, port, &opt, nullptr, nullptr);
    return fd < 0 ? -1 : fd;
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
