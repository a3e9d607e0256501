// One-shot timers and timerfd devices: adoption by the first pump, equal
// expiry order, stops before and after expiry and racing it, wake-ups.
#include <gtest/gtest.h>

#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "base/pumptest.h"
#include "bpool.h"
#include "eptimerfd.h"
#include "iodev.h"
#include "memory.h"

using namespace pumptest;

namespace {

struct Order {
    std::vector<int> fired;
};

int record_order(void* cbpara, void* obj, int event, int fdtype)
{
    auto* t = static_cast<iotimer_t*>(obj);
    EXPECT_EQ(event, EVT_TIMEOUT);
    EXPECT_EQ(fdtype, IODEV_TIMER);
    static_cast<Order*>(cbpara)->fired.push_back((int)(intptr_t)t->para);
    return 0;
}

int hit_latch(void* cbpara, void*, int, int)
{
    static_cast<Latch*>(cbpara)->hit();
    return 0;
}

/* A test running passes by hand waits for the clock to move past a timer. */
void wait_ms(int ms)
{
    btime_t end;
    btime_now_add(&end, ms);
    wait_until([&] {
        btime_t now;
        btime(&now);
        return btime_diff_ms(&end, &now) >= 0;
    });
}

/* A core with one pump whose passes the test runs by hand. */
struct TimerPass : ::testing::Test {
    Core c;
    ManualPump mp{c.core};
    Order order;
    iotimer_t* start(int ms, intptr_t tag) { return iotimer_start(c.core, ms, 0, (void*)tag, record_order, &order); }
};

} // namespace

TEST(IoTimer, TimersStartedBeforeAnyPumpFireOnTheFirst)
{
    Core c;
    Order order;
    iotimer_t* a = iotimer_start(c.core, 0, 7, (void*)1, record_order, &order);
    ASSERT_NE(iotimer_start(c.core, 0, 7, (void*)2, record_order, &order), nullptr);
    EXPECT_EQ(arr_num(c.core->glbiotimer_list), 2);
    ManualPump mp(c.core);
    EXPECT_EQ(epcore_global_iotimer_getmon(c.core, mp.pump), 2);
    EXPECT_EQ(iotimer_evpump(a), mp.pump);
    wait_ms(2);
    mp.pass();
    EXPECT_EQ(order.fired.size(), 2u);
    EXPECT_EQ(arr_num(c.core->glbiotimer_list), 0);
}

TEST_F(TimerPass, OfEqualExpiryTheLastStartedFiresFirst)
{
    /* Start pairs until both land in the same millisecond. */
    for (int attempt = 0; attempt < 100; attempt++) {
        iotimer_t* a = start(5, 1);
        iotimer_t* b = start(5, 2);
        if (a->bintime.s == b->bintime.s && a->bintime.ms == b->bintime.ms) break;
        iotimer_stop(a);
        iotimer_stop(b);
    }
    ASSERT_EQ(evpump_objnum(mp.pump, 2), 2);
    wait_ms(6);
    mp.pass();
    EXPECT_EQ(order.fired, std::vector<int>({2, 1}));
}

TEST_F(TimerPass, StoppedBeforeExpiryNeverFiresAndIsForgotten)
{
    iotimer_t* t = start(1, 1);
    uint64_t id = iotimer_id(t);
    EXPECT_EQ(iotimer_stop(t), 0);
    EXPECT_EQ(epcore_iotimer_find(c.core, id), nullptr);
    EXPECT_EQ(evpump_objnum(mp.pump, 2), 0);
    EXPECT_EQ(iotimer_stop(t), 0); /* a second stop finds nothing */
    wait_ms(2);
    mp.pass();
    EXPECT_TRUE(order.fired.empty());
    EXPECT_EQ(bpool_fetched_num(c.core->timer_pool), 0);
}

/* A timer stopped after it left the tree, whose record then serves a newer
 * timer: the queued event must not fire the newer one. */
TEST_F(TimerPass, StopAfterExpiryDropsTheEventEvenWhenTheRecordIsReused)
{
    /* Use up the fresh units so records come back in recycling order. */
    std::vector<iotimer_t*> filler;
    for (int i = 0; i < 256; i++) filler.push_back(start(100000, 0));
    for (auto* t : filler) iotimer_stop(t);

    iotimer_t* t1 = start(0, 1);
    wait_ms(1);
    btime_t rem;
    int expired = 0;
    iotimer_check_timeout(mp.pump, &rem, &expired);
    ASSERT_EQ(expired, 1); /* its event is queued, not yet handled */
    iotimer_stop(t1);

    iotimer_t* t2 = nullptr;
    for (int i = 0; i < 600 && t2 != t1; i++) {
        t2 = start(100000, 2);
        if (t2 != t1) iotimer_stop(t2);
    }
    ASSERT_EQ(t2, t1) << "the stopped record was not handed out again";
    ioevent_handle(mp.pump);
    EXPECT_TRUE(order.fired.empty());
    EXPECT_EQ(epcore_iotimer_find(c.core, iotimer_id(t2)), t2);
    iotimer_stop(t2);
}

TEST_F(TimerPass, AHeapRecordIsFreedNotPooled)
{
    auto* t = static_cast<iotimer_t*>(kzalloc(sizeof(iotimer_t)));
    t->epcore = c.core;
    t->id = epcore_timer_nextid(c.core);
    uint64_t id = t->id;
    ASSERT_EQ(epcore_iotimer_add(c.core, t), 0);
    EXPECT_EQ(iotimer_recycle(t), 0); /* freed: the leak checker would see it otherwise */
    EXPECT_EQ(epcore_iotimer_find(c.core, id), nullptr);
}

namespace {
struct Chain {
    epcore_t* core = nullptr;
    Latch first, second;
};
int start_next(void* cbpara, void*, int, int)
{
    auto* ch = static_cast<Chain*>(cbpara);
    ch->first.hit();
    iotimer_start(ch->core, 0, 0, nullptr, hit_latch, &ch->second);
    return 0;
}
} // namespace

/* A timer started from another thread wakes the idle pump (no timer, no
 * time limit); one started by a handler on its own pump writes no wake-up,
 * so the pump's wait must account for it all the same. */
TEST(IoTimer, TimersWakeTheirPumpFromOtherThreadsAndFromItsOwnHandlers)
{
    Chain ch;
    Core c;
    ch.core = c.core;
    ASSERT_TRUE(start_pumps(c.core, 1));
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_NE(iotimer_start(c.core, 20, 0, nullptr, start_next, &ch), nullptr);
    ASSERT_TRUE(ch.first.wait_for(1));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(ch.second.wait_for(1));
}

namespace {
int count_atomic(void* cbpara, void*, int, int)
{
    static_cast<std::atomic<int>*>(cbpara)->fetch_add(1);
    return 0;
}
} // namespace

/* Stops land before, during and after the expiry on two pumps. One thread
 * starts and stops, so a record it stops after the handler ran is not
 * meanwhile serving another thread's timer. */
TEST(IoTimer, StopRacingExpiryReleasesEveryRecordOnce)
{
    std::atomic<int> fired{0};
    Latch last;
    Core c;
    ASSERT_TRUE(start_pumps(c.core, 2));
    const int rounds = 4000;
    int stopped_early = 0;
    for (int i = 0; i < rounds; i++) {
        iotimer_t* t = iotimer_start(c.core, i % 2, 0, nullptr, count_atomic, &fired);
        if (i % 3) std::this_thread::yield();
        if (epcore_iotimer_find(c.core, iotimer_id(t)) == t) stopped_early++;
        iotimer_stop(t);
    }
    /* A last timer due after all the others: once it ran, all were handled. */
    iotimer_start(c.core, 5, 0, nullptr, hit_latch, &last);
    ASSERT_TRUE(last.wait_for(1));
    EXPECT_LE(fired.load(), rounds);
    EXPECT_GE(fired.load(), rounds - stopped_early);
    EXPECT_TRUE(wait_until([&] { return bpool_fetched_num(c.core->timer_pool) == 0; }));
}

namespace {
struct TfdSeen {
    Latch reads;
    int fd = -1;
};
int on_timerfd(void* cbpara, void* obj, int event, int fdtype)
{
    auto* s = static_cast<TfdSeen*>(cbpara);
    EXPECT_EQ(event, EVT_READ);
    EXPECT_EQ(fdtype, IODEV_TIMER);
    EXPECT_EQ(iodev_fd(static_cast<iodev_t*>(obj)), s->fd);
    uint64_t v;
    EXPECT_LT(read(s->fd, &v, sizeof v), 0) << "the pump has drained the expiry count";
    s->reads.hit();
    return 0;
}
} // namespace

TEST(EpTimerfd, ExpiriesArriveAsDrainedReadEventsUnderTheFixedId)
{
    TfdSeen seen;
    Core c;
    ASSERT_TRUE(start_pumps(c.core, 2));
    seen.fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    ASSERT_GE(seen.fd, 0);
    iodev_t* dev = eptimerfd_bind(c.core, seen.fd, 10024, nullptr, on_timerfd, &seen);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(epcore_iodev_find(c.core, 10024), dev);
    EXPECT_EQ(iodev_fdtype(dev), IODEV_TIMER);

    itimerspec its{};
    its.it_value.tv_nsec = 5 * 1000000;
    its.it_interval.tv_nsec = 5 * 1000000;
    timerfd_settime(seen.fd, 0, &its, nullptr);
    EXPECT_TRUE(seen.reads.wait_for(3));

    /* A second device under the same id is refused and the descriptor kept. */
    int fd2 = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    EXPECT_EQ(eptimerfd_bind(c.core, fd2, 10024, nullptr, on_timerfd, &seen), nullptr);
    EXPECT_EQ(close(fd2), 0);
    epcore_stop_evpump(c.core);
    ASSERT_TRUE(threads_gone(c.core));
    iodev_close(dev);
    EXPECT_EQ(epcore_iodev_find(c.core, 10024), nullptr);
}
