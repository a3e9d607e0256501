#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
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

} // namespace

TEST(EvPump, TwoPumpsWithoutTimersReturnWhenQuitIsSet)
{
    Core c;
    auto a = run_blocking_pump(c.core);
    auto b = run_blocking_pump(c.core);
    ASSERT_TRUE(wait_until([&] { return pump_count(c.core) == 2; }));
    epcore_stop_evpump(c.core);
    ASSERT_EQ(a.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    ASSERT_EQ(b.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(a.get(), 0);
    EXPECT_EQ(b.get(), 0);
    EXPECT_EQ(pump_count(c.core), 0);
    EXPECT_EQ(bpool_fetched_num(c.core->evpump_pool), 0);
}

TEST(EvPump, TwoPumpsWithFarTimersReturnWhenQuitIsSet)
{
    Core c;
    auto a = run_blocking_pump(c.core);
    auto b = run_blocking_pump(c.core);
    ASSERT_TRUE(wait_until([&] { return pump_count(c.core) == 2; }));
    /* 3000 s away: each pump waits the capped time, far beyond this test. */
    iotimer_t* t1 = iotimer_start(c.core, 3000 * 1000, 0, nullptr, nop_timer, nullptr);
    iotimer_t* t2 = iotimer_start(c.core, 3000 * 1000, 0, nullptr, nop_timer, nullptr);
    ASSERT_TRUE(t1 && t2);
    EXPECT_NE(iotimer_evpump(t1), iotimer_evpump(t2));
    epcore_stop_evpump(c.core);
    EXPECT_EQ(a.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(b.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST(EvPump, OnePumpStopsAloneThroughItsOwnWakeup)
{
    Core c;
    auto a = run_blocking_pump(c.core);
    ASSERT_TRUE(wait_until([&] { return pump_count(c.core) == 1; }));
    evpump_t* pump = pump_at(c.core, 0);
    EXPECT_EQ(evpump_main_stop(pump), 0);
    EXPECT_EQ(a.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(c.core->quit.load(), 0);
}

TEST(EvPump, ThePumpsJoinTheProcessWideWakeupAndOwnOne)
{
    Core c;
    ManualPump mp(c.core);
    epcore_global_iodev_getmon(c.core, mp.pump);
    EXPECT_EQ(evpump_iodev_find(mp.pump, c.core->wakeupfd), c.core->wakeupdev);
    EXPECT_EQ(evpump_iodev_find(mp.pump, mp.pump->wakeupfd), mp.pump->wakeupdev);
    EXPECT_EQ(evpump_objnum(mp.pump, 1), 2);
    EXPECT_EQ(evpump_iodev_maxfd(mp.pump),
              std::max(c.core->wakeupfd, mp.pump->wakeupfd) + 1);

    /* Both eventfds are drained by the pump itself; no event reaches a handler. */
    epcore_wakeup_send(c.core);
    evpump_wakeup_send(mp.pump);
    mp.pass();
    uint64_t v;
    EXPECT_LT(read(c.core->wakeupfd, &v, sizeof v), 0);
    EXPECT_LT(read(mp.pump->wakeupfd, &v, sizeof v), 0);
    EXPECT_EQ(lt_num(mp.pump->ioevent_list), 0);
}

namespace {
struct Seen {
    std::vector<int> events;
    int fd = -1;
};
int record_events(void* cbpara, void* obj, int event, int)
{
    auto* s = static_cast<Seen*>(cbpara);
    s->events.push_back(event);
    if (event == EVT_READ) {
        char buf[64];
        while (read(iodev_fd(static_cast<iodev_t*>(obj)), buf, sizeof buf) > 0) {}
    }
    return 0;
}
} // namespace

/* Edge-triggered: readiness in both directions is reported once, together. */
TEST(EvPump, ReadAndWriteReadinessTogetherAreBothHandled)
{
    Core c;
    ManualPump mp(c.core);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    ASSERT_EQ(write(sv[1], "x", 1), 1);

    Seen seen;
    iodev_t* dev = iodev_new_from_fd(c.core, sv[0], IODEV_FILE, nullptr, record_events, &seen);
    ASSERT_NE(dev, nullptr);
    dev->rwflag = WATCH_READ | WATCH_WRITE;
    ASSERT_EQ(iodev_bind_evpump(dev, BIND_GIVEN, mp.pump), 1);
    mp.pass();
    ASSERT_EQ(seen.events.size(), 2u);
    EXPECT_EQ(seen.events[0], EVT_READ);
    EXPECT_EQ(seen.events[1], EVT_WRITE);
    /* The write direction is dropped once reported. */
    EXPECT_EQ(iodev_rwflag(dev), WATCH_READ);

    iodev_close(dev);
    close(sv[1]);
}

TEST(EvPump, HangUpOnAStreamArrivesAsRead)
{
    Core c;
    ManualPump mp(c.core);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    Seen seen;
    iodev_t* dev = iodev_new_from_fd(c.core, sv[0], IODEV_FILE, nullptr, record_events, &seen);
    iodev_bind_evpump(dev, BIND_GIVEN, mp.pump);
    close(sv[1]);
    mp.pass();
    ASSERT_EQ(seen.events.size(), 1u);
    EXPECT_EQ(seen.events[0], EVT_READ);
    iodev_close(dev);
}

/* A device whose descriptor was closed behind its back, and a newer device
 * that got the same number: the older one goes, the descriptor stays. */
namespace {
struct Hook {
    int armed = 0;
    int runs = 0;
    int result = -1;
};
int hook_ignitor(void* igpara, int type)
{
    auto* h = static_cast<Hook*>(igpara);
    EXPECT_GE(type, EVT_USER);
    if (!h->armed) return -1;
    h->armed--;
    return 42;
}
int hook_callback(void* cbpara, int result)
{
    auto* h = static_cast<Hook*>(cbpara);
    h->runs++;
    h->result = result;
    return 0;
}
} // namespace

TEST(EvPump, HooksRunWhenTheirIgnitorFiresAndCanBeRemoved)
{
    Core c;
    ManualPump mp(c.core);
    Hook h;
    EXPECT_EQ(evpump_hook_register(mp.pump, hook_ignitor, &h, hook_callback, &h), 0);
    EXPECT_EQ(evpump_hook_register(mp.pump, hook_ignitor, &h, hook_callback, &h), 0);
    EXPECT_EQ(arr_num(mp.pump->exteventlist), 1);
    uint16_t key = EVT_USER;
    EXPECT_EQ(extevent_cmp_type(arr_value(mp.pump->exteventlist, 0), &key), 0);

    mp.pass();
    EXPECT_EQ(h.runs, 0);
    h.armed = 2;
    mp.pass();
    EXPECT_EQ(h.runs, 2);
    EXPECT_EQ(h.result, 42);

    EXPECT_EQ(evpump_hook_remove(mp.pump, hook_ignitor, &h, hook_callback, &h), 1);
    EXPECT_EQ(evpump_hook_remove(mp.pump, hook_ignitor, &h, hook_callback, &h), 0);
    h.armed = 1;
    mp.pass();
    EXPECT_EQ(h.runs, 2);
}

TEST(EvPump, ScanReportsADescriptorClosedBehindTheDevice)
{
    Core c;
    ManualPump mp(c.core);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    Seen seen;
    iodev_t* dev = iodev_new_from_fd(c.core, sv[0], IODEV_FILE, nullptr, record_events, &seen);
    iodev_bind_evpump(dev, BIND_GIVEN, mp.pump);
    close(sv[0]);
    EXPECT_GE(evpump_device_scan(mp.pump), 1);
    ioevent_handle(mp.pump);
    ASSERT_EQ(seen.events.size(), 1u);
    EXPECT_EQ(seen.events[0], EVT_INVALID);
    EXPECT_EQ(iodev_rwflag(dev), 0);
    evpump_iodev_del(mp.pump, sv[0]);
    dev->fd = -1; /* already closed above */
    iodev_close(dev);
    close(sv[1]);
}
