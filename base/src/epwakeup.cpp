/* Wake-up eventfds. The process-wide one sits in every pump's epoll set, so
 * one write ends every pump's wait (used to stop the core); each pump also
 * has its own, written by threads that changed that pump's timers. */
#include "epwakeup.h"

#include <errno.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "epcore.h"
#include "evpump.h"
#include "iodev.h"

namespace {

int make_wakeup_dev(epcore_t* core, int* pfd, iodev_t** pdev)
{
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return -100;
    iodev_t* dev = iodev_new_from_fd(core, fd, IODEV_FILE, nullptr, nullptr, nullptr);
    if (!dev) {
        close(fd);
        return -200;
    }
    *pfd = fd;
    *pdev = dev;
    return 0;
}

int wakeup_send(int fd)
{
    if (fd < 0) return -1;
    uint64_t one = 1;
    for (;;) {
        ssize_t n = write(fd, &one, sizeof one);
        if (n == (ssize_t)sizeof one) return 0;
        if (n < 0 && errno == EINTR) continue;
        /* EAGAIN: the counter is saturated, which still means "wake up". */
        return n < 0 && errno == EAGAIN ? 0 : -1;
    }
}

int wakeup_recv(int fd)
{
    if (fd < 0) return -1;
    uint64_t v = 0;
    for (;;) {
        ssize_t n = read(fd, &v, sizeof v);
        if (n == (ssize_t)sizeof v) return 0;
        if (n < 0 && errno == EINTR) continue;
        return -1;
    }
}

} // namespace

int epcore_wakeup_init(epcore_t* core)
{
    if (!core) return -1;
    int fd;
    iodev_t* dev;
    int r = make_wakeup_dev(core, &fd, &dev);
    if (r < 0) return r;
    core->wakeupfd = fd;
    core->wakeupdev = dev;
    iodev_bind_evpump(dev, BIND_ALL, nullptr);
    return 0;
}

int epcore_wakeup_clean(epcore_t* core)
{
    if (!core) return -1;
    iodev_t* dev = core->wakeupdev;
    core->wakeupdev = nullptr;
    core->wakeupfd = -1;
    if (dev) iodev_close(dev);
    return 0;
}

int epcore_wakeup_send(epcore_t* core)
{
    return core ? wakeup_send(core->wakeupfd) : -1;
}

int epcore_wakeup_recv(epcore_t* core)
{
    return core ? wakeup_recv(core->wakeupfd) : -1;
}

int evpump_wakeup_init(evpump_t* pump)
{
    if (!pump) return -1;
    int fd;
    iodev_t* dev;
    int r = make_wakeup_dev(pump->epcore, &fd, &dev);
    if (r < 0) return r;
    __atomic_store_n(&pump->wakeupfd, fd, __ATOMIC_RELEASE);
    pump->wakeupdev = dev;
    iodev_bind_evpump(dev, BIND_GIVEN, pump);
    return 0;
}

int evpump_wakeup_clean(evpump_t* pump)
{
    if (!pump) return -1;
    // Another thread starting or stopping a timer may be waking this pump:
    // the descriptor is closed under the lock its write is made under, so
    // the write never reaches a closed (or reused) descriptor.
    EnterCriticalSection(&pump->timertreeCS);
    iodev_t* dev = pump->wakeupdev;
    pump->wakeupdev = nullptr;
    __atomic_store_n(&pump->wakeupfd, -1, __ATOMIC_RELEASE);
    if (dev) iodev_close(dev);
    LeaveCriticalSection(&pump->timertreeCS);
    return 0;
}

int evpump_wakeup_send(evpump_t* pump)
{
    if (!pump) return -1;
    EnterCriticalSection(&pump->timertreeCS);
    int rc = wakeup_send(__atomic_load_n(&pump->wakeupfd, __ATOMIC_ACQUIRE));
    LeaveCriticalSection(&pump->timertreeCS);
    return rc;
}

int evpump_wakeup_recv(evpump_t* pump)
{
    return pump ? wakeup_recv(pump->wakeupfd) : -1;
}
