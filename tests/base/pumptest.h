/* Helpers shared by the event-pump tests: a core per test, pumps run by
 * the test thread itself (so a test decides when a pass of the loop runs),
 * bounded waits on conditions, and loopback ports (listeners take port 0
 * and read theirs back; a number is never released and used again). */
#ifndef KORVID_TEST_PUMPTEST_H
#define KORVID_TEST_PUMPTEST_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "epcore.h"
#include "epepoll.h"
#include "eptcp.h"
#include "evpump.h"
#include "iodev.h"
#include "ioevent.h"
#include "iotimer.h"
#include "mthread.h"

namespace pumptest {

inline bool threads_gone(epcore_t* core);

/* A core torn down with the test. Its pumps are stopped and gone before
 * anything is closed, so no handler runs while the test's state (declare
 * it before the Core) goes away. */
struct Core {
    epcore_t* core = epcore_new(65536, 1);
    ~Core()
    {
        epcore_stop_evpump(core);
        threads_gone(core);
        epcore_clean(core);
    }
};

/* How long a test waits for something that normally takes milliseconds:
 * generous, since a sanitizer build on a machine whose every core is busy
 * may take seconds. A wait ends as soon as its condition holds. */
constexpr int kEventWaitMs = 20000;

/* Polls pred until it holds or ms pass; the state it reads has no event
 * of its own to wait on. */
inline bool wait_until(const std::function<bool()>& pred, int ms = kEventWaitMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

/* Counts happenings and lets a test wait for a number of them. */
struct Latch {
    std::mutex m;
    std::condition_variable cv;
    int n = 0;
    void hit()
    {
        std::lock_guard<std::mutex> g(m);
        n++;
        cv.notify_all();
    }
    bool wait_for(int count, int ms = kEventWaitMs)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return n >= count; });
    }
    int count()
    {
        std::lock_guard<std::mutex> g(m);
        return n;
    }
};

/* A registered pump whose loop the test thread runs pass by pass. */
struct ManualPump {
    epcore_t* core;
    evpump_t* pump;
    explicit ManualPump(epcore_t* c) : core(c), pump(evpump_new(c))
    {
        if (!pump) return;
        pump->threadid = get_threadid();
        evpump_thread_add(core, pump);
    }
    ~ManualPump()
    {
        if (!pump) return;
        evpump_thread_del(core, pump);
        evpump_recycle(pump);
    }
    /* Expired timers, queued events, then one wait of at most wait_ms. */
    void pass(int wait_ms = 0)
    {
        btime_t rem;
        int n;
        iotimer_check_timeout(pump, &rem, &n);
        ioevent_handle(pump);
        btime_t w{wait_ms / 1000, wait_ms % 1000};
        evpump_epoll_dispatch(pump, &w);
        ioevent_handle(pump);
    }
};

inline int pump_count(epcore_t* core)
{
    EnterCriticalSection(&core->evpumplistCS);
    int num = arr_num(core->evpump_list);
    LeaveCriticalSection(&core->evpumplistCS);
    return num;
}

inline evpump_t* pump_at(epcore_t* core, int i)
{
    EnterCriticalSection(&core->evpumplistCS);
    auto* p = static_cast<evpump_t*>(arr_value(core->evpump_list, i));
    LeaveCriticalSection(&core->evpumplistCS);
    return p;
}

/* Every pump and worker thread of the core has left. */
inline bool threads_gone(epcore_t* core)
{
    return wait_until([&] { return core->threadnum.load() == 0; });
}

/* Pumps running on threads of their own, registered before it returns. */
inline bool start_pumps(epcore_t* core, int n)
{
    epcore_start_evpump(core, n);
    return wait_until([&] { return pump_count(core) >= n; });
}

/* A socket of the type bound to a free loopback port, given in *port. */
inline int loopback_socket(int type, int* port)
{
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr*)&a, sizeof a);
    socklen_t l = sizeof a;
    getsockname(fd, (sockaddr*)&a, &l);
    *port = ntohs(a.sin_port);
    return fd;
}

/* A loopback port held for the test's life by a socket bound to it that
 * never listens: TCP connects to it are refused, and the kernel hands the
 * number to nobody else meanwhile. Held with SO_REUSEADDR, a server that
 * also asks for it may still bind the port (and listen or send there). */
struct HeldPort {
    int fd = -1;
    int port = 0;
    explicit HeldPort(int type = SOCK_STREAM, bool shared = false)
    {
        fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        int one = 1;
        if (shared) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t l = sizeof a;
        if (bind(fd, (sockaddr*)&a, sizeof a) == 0 && getsockname(fd, (sockaddr*)&a, &l) == 0)
            port = ntohs(a.sin_port);
    }
    ~HeldPort()
    {
        if (fd >= 0) close(fd);
    }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;
};

inline int tcp_client(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr*)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* A TCP server on the pumps: its listener handler (cb, parameter the
 * server) accepts until nothing is pending, keeping the last accept result;
 * the connections echo what they read and close at the end of stream. */
struct EchoServer {
    epcore_t* core = nullptr;
    Latch accepted;
    std::atomic<int> last_retval{0};

    static int cb(void* cbpara, void* obj, int event, int)
    {
        auto* s = static_cast<EchoServer*>(cbpara);
        auto* dev = static_cast<iodev_t*>(obj);
        if (event == EVT_ACCEPT) {
            int r = 0;
            while (eptcp_accept(s->core, dev, nullptr, &r, cb, s, BIND_SELECT)) s->accepted.hit();
            s->last_retval = r;
        } else if (event == EVT_READ) {
            char buf[256];
            int got = sizeof buf;
            for (int r = 0; r >= 0 && got == (int)sizeof buf;) {
                r = tcp_nb_recv(iodev_fd(dev), buf, sizeof buf, &got);
                if (got > 0) tcp_nb_send(iodev_fd(dev), buf, got, nullptr);
                if (r < 0) iodev_close(dev);
            }
        }
        return 0;
    }
};

} // namespace pumptest

#endif
