/* Unix-domain stream sockets as devices of the event pumps. The listener is
 * watched by every pump; its handler accepts in a loop until nothing is
 * pending, as edge-triggered polling reports a burst of connections once. */
#include "epusock.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "epcore.h"
#include "iodev.h"
#include "mthread.h"
#include "tsock.h"
#include "usock.h"

namespace {

int* out(int* retval)
{
    static thread_local int dummy;
    return retval ? retval : &dummy;
}

/* usock_accept's results for a connection it took and refused because
 * the peer's socket file is gone or is not a socket. */
bool peer_refused(int r) { return r == -2 || r == -3; }

} // namespace

iodev_t* epusock_listen(epcore_t* core, const char* path, void* para, int* retval, IOHandler* cb,
                        void* cbpara)
{
    retval = out(retval);
    *retval = -1;
    if (!core) return nullptr;
    int fd = usock_create(path);
    if (fd < 0) {
        *retval = -200;
        return nullptr;
    }
    iodev_t* dev = iodev_new_from_fd(core, fd, IODEV_USOCK_LISTEN, para, cb, cbpara);
    if (!dev) {
        close(fd);
        *retval = -100;
        return nullptr;
    }
    sock_nonblock_set(fd, 1);
    dev->family = AF_UNIX;
    dev->socktype = SOCK_STREAM;
    dev->iostate = IOSTATE_LISTENING;
    *retval = 0;
    iodev_bind_evpump(dev, BIND_ALL, nullptr);
    return dev;
}

iodev_t* epusock_accept(epcore_t* core, iodev_t* listendev, void* para, int* retval, IOHandler* cb,
                        void* cbpara, int bindtype)
{
    retval = out(retval);
    *retval = -1;
    if (!core || !listendev) return nullptr;
    *retval = -100;

    int fd;
    EnterCriticalSection(&listendev->fdCS);
    do {
        fd = listendev->fd >= 0 ? usock_accept(listendev->fd) : -1;
        /* A refused peer (or one that gave up while queued) is no reason to
         * leave the connections behind it unaccepted. */
    } while ((fd == -1 && (errno == EINTR || errno == ECONNABORTED)) || peer_refused(fd));
    LeaveCriticalSection(&listendev->fdCS);
    if (fd < 0) return nullptr;

    sock_nonblock_set(fd, 1);
    iodev_t* dev = iodev_new_from_fd(core, fd, IODEV_USOCK_ACCEPTED, para, cb, cbpara);
    if (!dev) {
        close(fd);
        *retval = -200;
        return nullptr;
    }
    dev->family = AF_UNIX;
    dev->socktype = SOCK_STREAM;
    if (core->dispmode == 1) dev->threadid = get_threadid();
    *retval = 0;
    iodev_bind_evpump(dev, bindtype, nullptr);
    return dev;
}

iodev_t* epusock_connect(epcore_t* core, const char* path, void* para, int* retval, IOHandler* cb,
                         void* cbpara)
{
    retval = out(retval);
    *retval = -1;
    if (!core || !path) return nullptr;

    int succ = 0;
    int fd = usock_nb_connect(path, &succ);
    if (fd < 0) {
        *retval = -30;
        return nullptr;
    }
    iodev_t* dev = iodev_new_from_fd(core, fd, IODEV_USOCK_CONNECTED, para, cb, cbpara);
    if (!dev) {
        close(fd);
        *retval = -20;
        return nullptr;
    }
    dev->family = AF_UNIX;
    dev->socktype = SOCK_STREAM;
    if (core->dispmode == 1) dev->threadid = get_threadid();
    if (succ) {
        *retval = 0;
    } else {
        dev->iostate = IOSTATE_CONNECTING;
        dev->rwflag = WATCH_READ | WATCH_WRITE;
        *retval = -100;
    }
    iodev_bind_evpump(dev, BIND_CURRENT, nullptr);
    return dev;
}
