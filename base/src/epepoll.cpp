/* The epoll side of a pump. Interest is edge-triggered, so every readiness
 * change is reported once: the pump drains its eventfds and timerfds itself
 * and handlers drain their sockets. The data word of each entry is the
 * device pointer. */
#include "epepoll.h"

#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

#include "epcore.h"
#include "epwakeup.h"
#include "evpump.h"
#include "iodev.h"
#include "ioevent.h"
#include "memory.h"
#include "tsock.h"

namespace {

/* A close on another thread clears these with atomic stores. */
int fd_of(iodev_t* dev) { return __atomic_load_n(&dev->fd, __ATOMIC_RELAXED); }
uint8_t rwflag_of(iodev_t* dev) { return __atomic_load_n(&dev->rwflag, __ATOMIC_RELAXED); }

/* Longest single wait; a pump with a far timer recomputes after it. */
constexpr int64_t MAX_WAIT_MS = 2100000;

constexpr uint32_t MASK_READ_DGRAM = EPOLLET | EPOLLIN;
constexpr uint32_t MASK_READ       = EPOLLET | EPOLLHUP | EPOLLERR | EPOLLIN;
constexpr uint32_t MASK_READ_WRITE = EPOLLET | EPOLLHUP | EPOLLERR | EPOLLOUT | EPOLLIN;
constexpr uint32_t MASK_WRITE      = EPOLLET | EPOLLHUP | EPOLLERR | EPOLLOUT;
static_assert(MASK_READ_DGRAM == 0x80000001u && MASK_READ == 0x80000019u &&
              MASK_READ_WRITE == 0x8000001du && MASK_WRITE == 0x8000001cu,
              "epoll interest masks");

void copy_addr_text(const struct sockaddr* sa, char* dst)
{
    char buf[SOCK_ADDR_TEXT_LEN] = {0};
    if (sock_addr_ntop(sa, buf) < 0) buf[0] = '\0';
    size_t n = strnlen(buf, 40);
    if (n) memcpy(dst, buf, n);
    dst[n] = '\0';
}

/* Outcome of a non-blocking connect: both addresses filled on success. */
int connect_result(iodev_t* dev)
{
    int fd = fd_of(dev);
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
        return EVT_CONNECT_FAILED;

    struct sockaddr_storage ss;
    socklen_t sl = sizeof ss;
    if (getpeername(fd, (struct sockaddr*)&ss, &sl) != 0)
        return EVT_CONNECT_FAILED; /* not connected after all (hang-up only) */
    copy_addr_text((struct sockaddr*)&ss, dev->remote_ip);
    dev->remote_port = (uint16_t)sock_addr_port((struct sockaddr*)&ss);
    sl = sizeof ss;
    if (getsockname(fd, (struct sockaddr*)&ss, &sl) == 0) {
        copy_addr_text((struct sockaddr*)&ss, dev->local_ip);
        dev->local_port = (uint16_t)sock_addr_port((struct sockaddr*)&ss);
    }
    return EVT_CONNECTED;
}

void dispatch_one(evpump_t* pump, epcore_t* core, iodev_t* dev, uint32_t e)
{
    bool in = e & EPOLLIN;
    bool out = e & EPOLLOUT;
    bool errhup = e & (EPOLLERR | EPOLLHUP);
    int ft = dev->fdtype;
    int fd = fd_of(dev);

    /* A connect finishes with EPOLLOUT, and a refused one reports EPOLLIN,
     * EPOLLOUT and the error together: settle the connect first. */
    if (ft == IODEV_TCP_CONNECTED && dev->iostate == IOSTATE_CONNECTING && (out || errhup)) {
        iodev_del_notify(dev, WATCH_WRITE);
        int evt = connect_result(dev);
        ioevent_push(pump, evt, dev, nullptr, nullptr);
        if (evt == EVT_CONNECTED && in) ioevent_push(pump, EVT_READ, dev, nullptr, nullptr);
        return;
    }

    if (in) {
        if (ft == IODEV_TCP_LISTEN || ft == IODEV_USOCK_LISTEN) {
            ioevent_push(pump, EVT_ACCEPT, dev, nullptr, nullptr);
        } else if (dev == pump->wakeupdev || fd == pump->wakeupfd) {
            evpump_wakeup_recv(pump);
        } else if (dev == core->wakeupdev || fd == core->wakeupfd) {
            epcore_wakeup_recv(core);
        } else if (ft == IODEV_TIMER) {
            /* Drain the expiry count so the handler need not. */
            uint64_t expiries;
            ssize_t n;
            do {
                n = read(fd, &expiries, sizeof expiries);
            } while (n < 0 && errno == EINTR);
            if (n == (ssize_t)sizeof expiries) ioevent_push(pump, EVT_READ, dev, nullptr, nullptr);
        } else {
            ioevent_push(pump, EVT_READ, dev, nullptr, nullptr);
        }
    }
    /* Under edge-triggered polling a write readiness reported together with
     * a read one would never be reported again: handle both. */
    if (out) {
        iodev_del_notify(dev, WATCH_WRITE);
        ioevent_push(pump, EVT_WRITE, dev, nullptr, nullptr);
    }
    if (!in && !out) ioevent_push(pump, EVT_INVALID, dev, nullptr, nullptr);
}

} // namespace

int evpump_epoll_init(evpump_t* pump, int maxfd)
{
    if (!pump) return -1;
    int size = maxfd;
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        size = rl.rlim_cur > (rlim_t)INT_MAX ? INT_MAX : (int)rl.rlim_cur;
    if (size < 1) size = 1024;

    int efd = epoll_create1(EPOLL_CLOEXEC);
    if (efd < 0) return -100;
    auto* events = static_cast<struct epoll_event*>(kzalloc((size_t)size * sizeof(struct epoll_event)));
    if (!events) {
        close(efd);
        pump->epoll_fd = -1;
        return -200;
    }
    pump->epoll_fd = efd;
    pump->epoll_size = size;
    pump->epoll_events = events;
    return 0;
}

int evpump_epoll_clean(evpump_t* pump)
{
    if (!pump) return -1;
    if (pump->epoll_fd >= 0) close(pump->epoll_fd);
    pump->epoll_fd = -1;
    kfree(pump->epoll_events);
    pump->epoll_events = nullptr;
    pump->epoll_size = 0;
    return 0;
}

int evpump_epoll_setpoll(evpump_t* pump, iodev_t* dev)
{
    if (!pump || !dev) return -1;
    int fd = fd_of(dev);
    if (fd < 0) return -2;

    uint8_t rw = rwflag_of(dev);
    uint32_t mask;
    if ((rw & WATCH_READ) && (rw & WATCH_WRITE)) {
        mask = MASK_READ_WRITE;
    } else if (rw & WATCH_READ) {
        int ft = dev->fdtype;
        mask = (ft == IODEV_UDP_LISTEN || ft == IODEV_UDP_CLIENT || ft == IODEV_RAW_SOCKET)
                   ? MASK_READ_DGRAM : MASK_READ;
    } else if (rw & WATCH_WRITE) {
        mask = MASK_WRITE;
    } else {
        if (epoll_ctl(pump->epoll_fd, EPOLL_CTL_DEL, fd, nullptr) == 0) return 0;
        return (errno == EPERM || errno == ENOENT || errno == EBADF) ? 0 : -1;
    }

    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = mask;
    ev.data.ptr = dev;
    if (epoll_ctl(pump->epoll_fd, EPOLL_CTL_MOD, fd, &ev) == 0) return 0;
    if (errno != ENOENT) return -1;
    return epoll_ctl(pump->epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0 ? 0 : -1;
}

int evpump_epoll_clearpoll(evpump_t* pump, iodev_t* dev)
{
    if (!pump || !dev) return -1;
    int fd = fd_of(dev);
    if (fd < 0) return -2;
    return epoll_ctl(pump->epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
}

int evpump_epoll_dispatch(evpump_t* pump, btime_t* remaining)
{
    if (!pump) return -1;
    epcore_t* core = pump->epcore;

    int timeout = -1;
    if (remaining) {
        int64_t ms = remaining->s * 1000 + remaining->ms;
        if (ms < 0) ms = 0;
        if (ms > MAX_WAIT_MS) ms = MAX_WAIT_MS;
        timeout = (int)ms;
    }

    int n = epoll_wait(pump->epoll_fd, pump->epoll_events, pump->epoll_size, timeout);
    if (n < 0) return errno == EINTR ? 0 : -1;
    if (n == 0 || core->quit) return 0;

    for (int i = 0; i < n; i++) {
        auto* dev = static_cast<iodev_t*>(pump->epoll_events[i].data.ptr);
        if (!dev) continue;
        dispatch_one(pump, core, dev, pump->epoll_events[i].events);
    }
    return 0;
}
