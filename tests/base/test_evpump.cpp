// Epoll pumps: two pumps with and without timers return when quit is set, a
// pump stops alone, the pumps drain their own eventfds, and edge-triggered
// readiness (both directions together, hang-up) reaches the handlers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>
#include <vector>

#include "base/pumptest.h"
#include "epwakeup.h"
#include "iodev.h"

using namespace pumptest;

namespace {

/* Runs evpump_main_start(core, 0) on a thread of its own, so the test sees
 * when that loop returns. */
std::future<int> run_blocking_pump(epcore_t* core)
{
    return std::async(std::launch::async, [core] { return evpump_main_start(core, 0); });
}

int nop_timer(void*, void*, int, int) { return 0; }

struct Seen {
    std::vector<int> events;
};

int record_events(void* cbpara, void* obj, int event, int)
{
    static_cast<Seen*>(cbpara)->events.push_back(event);
    char buf[64];
    if (event == EVT_READ)
        while (read(iodev_fd(static_cast<iodev_t*>(obj)), buf, sizeof buf) > 0) {}
    return 0;
}

/* A socket pair whose first end is a device on the pump; the second end is
 * returned for the test to play the peer. */
int watched_pair(ManualPump& mp, Seen* seen, iodev_t** dev, uint8_t rwflag = WATCH_READ)
{
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    *dev = iodev_new_from_fd(mp.core, sv[0], IODEV_FILE, nullptr, record_events, seen);
    (*dev)->rwflag = rwflag;
    EXPECT_EQ(iodev_bind_evpump(*dev, BIND_GIVEN, mp.pump), 1);
    return sv[1];
}



TEST(EvPump, TwoPumpsWithAndWithoutTimersReturnWhenQuitIsSet)
{
    for (bool timers : {false, true}) {
        SCOPED_TRACE(timers);
        Core c;
        auto a = run_blocking_pump(c.core);
        auto b = run_blocking_pump(c.core);
        ASSERT_TRUE(wait_until([&] { return pump_count(c.core) == 2; }));
        if (timers) {
            /* 3000 s away: each pump waits the capped time, far beyond this test. */
            iotimer_t* t1 = iotimer_start(c.core, 3000 * 1000, 0, nullptr, nop_timer, nullptr);
            iotimer_t* t2 = iotimer_start(c.core, 3000 * 1000, 0, nullptr, nop_timer, nullptr);
            EXPECT_NE(iotimer_evpump(t1), iotimer_evpump(t2));
        }
        epcore_stop_evpump(c.core);
        ASSERT_EQ(a.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        ASSERT_EQ(b.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(a.get(), 0);
        EXPECT_EQ(pump_count(c.core), 0);
        EXPECT_EQ(bpool_fetched_num(c.core->evpump_pool), 0);
    }
}

TEST(EvPump, OnePumpStopsAloneThroughItsOwnWakeup)
{
    Core c;
    auto a = run_blocking_pump(c.core);
    ASSERT_TRUE(wait_until([&] { return pump_count(c.core) == 1; }));
    EXPECT_EQ(evpump_main_stop(pump_at(c.core, 0)), 0);
    EXPECT_EQ(a.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(c.core->quit.load(), 0);
}

TEST(EvPump, ThePumpDrainsTheProcessWideAndItsOwnWakeup)
{
    Core c;
    ManualPump mp(c.core);
    epcore_global_iodev_getmon(c.core, mp.pump);
    EXPECT_EQ(evpump_iodev_find(mp.pump, c.core->wakeupfd), c.core->wakeupdev);
    EXPECT_EQ(evpump_iodev_find(mp.pump, mp.pump->wakeupfd), mp.pump->wakeupdev);
    epcore_wakeup_send(c.core);
    evpump_wakeup_send(mp.pump);
    mp.pass();
    uint64_t v;
    EXPECT_LT(read(c.core->wakeupfd, &v, sizeof v), 0);
    EXPECT_LT(read(mp.pump->wakeupfd, &v, sizeof v), 0);
    EXPECT_EQ(lt_num(mp.pump->ioevent_list), 0) << "no event reaches a handler";
}

/* Edge-triggered: readiness in both directions is reported once, together. */
TEST(EvPump, ReadAndWriteReadinessTogetherAreBothHandled)
{
    Core c;
    ManualPump mp(c.core);
    Seen seen;
    iodev_t* dev;
    int peer = watched_pair(mp, &seen, &dev, WATCH_READ | WATCH_WRITE);
    ASSERT_EQ(write(peer, "x", 1), 1);
    mp.pass();
    EXPECT_EQ(seen.events, std::vector<int>({EVT_READ, EVT_WRITE}));
    EXPECT_EQ(iodev_rwflag(dev), WATCH_READ) << "the write direction is dropped once reported";
    iodev_close(dev);
    close(peer);
}

TEST(EvPump, HangUpArrivesAsReadAndAClosedDescriptorIsFoundByTheScan)
{
    Core c;
    ManualPump mp(c.core);
    Seen seen;
    iodev_t* dev;
    close(watched_pair(mp, &seen, &dev));
    mp.pass();
    EXPECT_EQ(seen.events, std::vector<int>({EVT_READ}));
    iodev_close(dev);

    int peer = watched_pair(mp, &seen, &dev);
    int fd = iodev_fd(dev);
    close(fd);
    EXPECT_GE(evpump_device_scan(mp.pump), 1);
    ioevent_handle(mp.pump);
    EXPECT_EQ(seen.events, std::vector<int>({EVT_READ, EVT_INVALID}));
    EXPECT_EQ(iodev_rwflag(dev), 0);
    evpump_iodev_del(mp.pump, fd);
    dev->fd = -1; /* already closed above */
    iodev_close(dev);
    close(peer);
}

/* A device closed on another thread while its pump stops: it leaves the
 * pump's poll set before the pump closes that set, never after, when the
 * set's descriptor number may already be another's. (The thread sanitizer
 * sees the removal and the close unordered otherwise.) */
TEST(EvPump, ADeviceClosedWhileItsPumpStopsLeavesThePollSetBeforeItCloses)
{
    for (int round = 0; round < 30; round++) {
        Core c;
        ASSERT_TRUE(start_pumps(c.core, 1));
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        iodev_t* dev = iodev_new_from_fd(c.core, sv[0], IODEV_TCP_ACCEPTED, nullptr, nullptr, nullptr);
        ASSERT_NE(dev, nullptr);
        ASSERT_EQ(iodev_bind_evpump(dev, BIND_SELECT, nullptr), 1);
        epcore_stop_evpump(c.core);
        /* The close comes as the pump takes itself off the core's list, on
         * its way to closing its poll set. */
        while (pump_count(c.core) > 0) std::this_thread::yield();
        EXPECT_EQ(iodev_close(dev), 0);
        EXPECT_TRUE(threads_gone(c.core));
        close(sv[1]);
    }
}

} // namespace
