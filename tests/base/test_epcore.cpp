// Event core: sizing and id counters, the device registry with shared ids,
// pump and worker selection (rotation and timed re-sort), adoption of
// waiting devices and timers, and teardown while pumps and workers run.
#include "bpool.h"
#include "epdns.h"
#include "epcore.h"
#include "evpump.h"
#include "iodev.h"
#include "ioevent.h"
#include "iotimer.h"
#include "memory.h"
#include "worker.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/corefixture.h"
#include "base/pumptest.h"

using pumptest::wait_until;

namespace {

std::atomic<time_t> g_now{1000000};
time_t fake_clock(void) { return g_now.load(); }

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

class CoreTest : public CoreFixture {
protected:
    void SetUp() override
    {
        CoreFixture::SetUp();
        epcore_set_clock(core, fake_clock);
    }
};

TEST(EpcoreNew, OutOfMemoryAtAnyStepLeavesNothingBehind)
{
    int made = 0;
    /* Past the first steps the device pool's first batch of 256 units is
     * being made; only its end matters again. */
    for (long n = 0; n < 320; n = n == 60 ? 290 : n + 1) {
        kmem_fail_after(n);
        epcore_t* c = epcore_new(0, 1);
        kmem_fail_after(-1);
        if (c) {
            made++;
            epcore_clean(c); /* a core missing its wake-up or resolver still cleans */
        }
    }
    EXPECT_GT(made, 0);
    kmem_fail_after(-1);
}

TEST_F(CoreTest, DeviceAndTimerIdsCountSeparatelyFrom100)
{
    /* The core's own wake-up device drew the first device id, the
     * resolver's client sockets the next ones. */
    EXPECT_EQ(core->wakeupdev->id, 100u);
    auto* dns = static_cast<dns_mgmt_t*>(core->dnsmgmt);
    ASSERT_NE(dns, nullptr);
    for (int i = 0; i < dns->cli_dev_num; i++) EXPECT_EQ(dns->cli_dev[i]->id, 101u + (uint64_t)i);
    iodev_t* a = iodev_new(core);
    EXPECT_EQ(a->id, 101u + (uint64_t)dns->cli_dev_num);
    iotimer_t* t = iotimer_fetch(core);
    EXPECT_EQ(t->id, 100u);
    iotimer_recycle(t);
    EXPECT_EQ(iotimer_fetch(core)->id, 101u); /* ids are never reused */
    EXPECT_EQ(iodev_discard(a), 0);
}

TEST_F(CoreTest, CloseOfAnUnregisteredDeviceLeavesItToItsCaller)
{
    iodev_t* d = iodev_new(core);
    int fd = eventfd(0, EFD_NONBLOCK);
    d->fd = fd;
    int fetched = bpool_fetched_num(core->device_pool);
    EXPECT_EQ(iodev_close(d), -3);
    EXPECT_TRUE(fd_open(fd)) << "the descriptor is still the caller's";
    EXPECT_EQ(bpool_fetched_num(core->device_pool), fetched) << "the record was not given back";

    /* Registered afterwards, the device lives once; a record both in the
     * table and in the pool would be freed twice by the core's teardown. */
    ASSERT_EQ(epcore_iodev_add(core, d), 0);
    uint64_t id = d->id;
    EXPECT_EQ(iodev_discard(d), -3) << "a registered device is closed, not discarded";
    EXPECT_EQ(iodev_close(d), 0);
    EXPECT_EQ(epcore_iodev_find(core, id), nullptr);
    EXPECT_FALSE(fd_open(fd));
    EXPECT_EQ(bpool_fetched_num(core->device_pool), fetched - 1);

    /* A registration that fails (the id is held) gives back the record
     * and leaves the descriptor open. */
    iodev_t* holder = make_dev();
    core->deviceID = holder->id;
    int nfd = eventfd(0, EFD_NONBLOCK);
    fetched = bpool_fetched_num(core->device_pool);
    EXPECT_EQ(iodev_new_from_fd(core, nfd, IODEV_FILE, nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(fd_open(nfd));
    EXPECT_EQ(bpool_fetched_num(core->device_pool), fetched);
    EXPECT_EQ(epcore_iodev_find(core, holder->id), holder);
    close(nfd);
}

TEST_F(CoreTest, SharedDeviceIdIsReportedAndCloseKeepsTheHolder)
{
    iodev_t* a = make_dev();
    iodev_t* b = iodev_new(core);
    int fb = eventfd(0, EFD_NONBLOCK);
    b->fd = fb;
    b->id = a->id;
    EXPECT_EQ(epcore_iodev_add(core, a), 0); /* already this device */
    EXPECT_EQ(epcore_iodev_add(core, b), -100);
    EXPECT_EQ(epcore_iodev_find(core, a->id), a);

    int fetched = bpool_fetched_num(core->device_pool);
    EXPECT_EQ(iodev_close(b), -3) << "not registered: nothing happens";
    EXPECT_EQ(epcore_iodev_find(core, a->id), a) << "the holder's entry must survive";
    EXPECT_TRUE(fd_open(fb)) << "the duplicate's descriptor stays with its owner";
    EXPECT_EQ(iodev_discard(b), 0);
    EXPECT_EQ(iodev_discard(b), -3) << "a second release does nothing";
    EXPECT_EQ(bpool_fetched_num(core->device_pool), fetched - 1) << "its record went back once";
    EXPECT_EQ(epcore_iodev_find(core, a->id), a);
    close(fb);

    uint64_t id = a->id;
    int fa = a->fd;
    EXPECT_EQ(iodev_close(a), 0);
    EXPECT_EQ(epcore_iodev_find(core, id), nullptr);
    EXPECT_FALSE(fd_open(fa));
}

TEST_F(CoreTest, HeapRecordFromAnEmptyPoolIsFreedNotPooled)
{
    /* A pool that cannot make units: creation falls back to the heap. */
    bpool_t* real = core->device_pool;
    bpool_t* barren = bpool_init(nullptr);
    bpool_set_unitsize(barren, 0);
    core->device_pool = barren;
    iodev_t* d = make_dev();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->heaprec, 1);
    EXPECT_EQ(iodev_close(d), 0); /* the leak checker sees whether it was freed */
    int allocated = -1, remaining = -1;
    bpool_get_state(barren, &allocated, &remaining, nullptr, nullptr, nullptr);
    EXPECT_EQ(allocated + remaining, 0);
    core->device_pool = real;
    bpool_clean(barren);
}

TEST_F(CoreTest, PumpSelectionRotatesAndResortsAfterFiveSeconds)
{
    evpump_t* p1 = make_pump(1001, true);
    evpump_t* p2 = make_pump(1002, true);
    evpump_t* first = evpump_thread_select(core);
    evpump_t* second = evpump_thread_select(core);
    EXPECT_NE(first, second);
    EXPECT_EQ(evpump_thread_select(core), first);
    EXPECT_EQ(evpump_thread_select(core), second);

    /* Load p1 with devices; after more than 5 s the lighter pump leads. */
    for (int i = 0; i < 3; i++) EXPECT_EQ(iodev_bind_evpump(make_dev(), BIND_GIVEN, p1), 1);
    g_now += 5; /* exactly 5 s: no re-sort, the rotation goes on */
    EXPECT_EQ(evpump_thread_select(core), first);
    g_now += 1;
    EXPECT_EQ(evpump_thread_select(core), p2);
    EXPECT_EQ(evpump_thread_select(core), p1);
    EXPECT_EQ(evpump_thread_select(core), p2);
    evpump_thread_del(core, p1);
    evpump_thread_del(core, p2);
    EXPECT_EQ(evpump_thread_select(core), nullptr);
}

TEST_F(CoreTest, WorkerSelectionResortsByLoadAfterTenSeconds)
{
    std::vector<worker_t*> w;
    for (int load : {50, 10, 30}) {
        w.push_back(worker_new(core));
        w.back()->threadid = 600 + w.size();
        w.back()->workload = load;
        worker_thread_add(core, w.back());
    }
    /* First selection sorts: lightest first, then rotation. */
    for (int i : {1, 2, 0, 1}) EXPECT_EQ(worker_thread_select(core), w[i]);
    w[0]->workload = 1;
    g_now += 9;
    EXPECT_EQ(worker_thread_select(core), w[2]) << "9 s: rotation only";
    g_now += 1;
    EXPECT_EQ(worker_thread_select(core), w[0]) << "10 s: re-sorted";
    for (worker_t* x : w) {
        worker_thread_del(core, x);
        worker_free(x);
    }
    EXPECT_EQ(worker_thread_select(core), nullptr);
}

/* Tasks 516, 526 and 10000000 share keys by design. */
TEST_F(CoreTest, SharedWorkerKeyPassesToTheSurvivor)
{
    auto add = [&](uint64_t key) {
        worker_t* w = worker_new(core);
        w->threadid = key;
        worker_thread_add(core, w);
        return w;
    };
    auto drop = [&](worker_t* w) {
        worker_thread_del(core, w);
        worker_free(w);
    };
    worker_t* a = add(E_WORKER_ID_RS485);
    worker_t* b = add(E_WORKER_ID_RS485);
    worker_t* c = add(E_WORKER_ID_ENC);
    EXPECT_EQ(epcore_worker_find(core, E_WORKER_ID_RS485), a);
    drop(a); /* the first leaves: the key must name the live second one */
    EXPECT_EQ(epcore_worker_find(core, E_WORKER_ID_RS485), b);
    drop(add(E_WORKER_ID_RS485)); /* a later duplicate leaving must not drop the holder */
    EXPECT_EQ(epcore_worker_find(core, E_WORKER_ID_RS485), b);
    drop(b);
    EXPECT_EQ(epcore_worker_find(core, E_WORKER_ID_RS485), nullptr);
    EXPECT_EQ(epcore_worker_find(core, E_WORKER_ID_ENC), c);
    drop(c);
    EXPECT_EQ(arr_num(core->worker_list), 0);
}

TEST_F(CoreTest, WaitingDevicesJoinTheFirstPumpAndBindAllJoinsEvery)
{
    iodev_t* sel = make_dev();
    EXPECT_EQ(iodev_bind_evpump(sel, BIND_SELECT, nullptr), 0) << "no pump yet: waits";
    iodev_t* all = make_dev();
    EXPECT_EQ(iodev_bind_evpump(all, BIND_ALL, nullptr), 1);
    iodev_t* dead = iodev_new(core); /* no descriptor: dropped on adoption */
    epcore_global_iodev_add(core, dead);
    epcore_global_iodev_add(core, sel); /* the very same device is listed once */
    /* With the core's own wake-up device and the resolver's sockets. */
    const int dnsdevs = static_cast<dns_mgmt_t*>(core->dnsmgmt)->cli_dev_num;
    EXPECT_EQ(arr_num(core->glbiodev_list), 4 + dnsdevs);

    evpump_t* p1 = make_pump(3001, true);
    EXPECT_EQ(epcore_global_iodev_getmon(core, p1), 0);
    EXPECT_TRUE(iodev_tree_has(p1, sel));
    EXPECT_EQ(sel->evpump, p1);
    EXPECT_TRUE(iodev_tree_has(p1, all));
    EXPECT_TRUE(iodev_tree_has(p1, core->wakeupdev));
    EXPECT_EQ(arr_num(core->glbiodev_list), 2) << "only the bind-all devices stay";

    evpump_t* p2 = make_pump(3002, true);
    epcore_global_iodev_getmon(core, p2);
    EXPECT_TRUE(iodev_tree_has(p2, all));
    EXPECT_FALSE(iodev_tree_has(p2, sel));
    /* Adopting again changes nothing. */
    epcore_global_iodev_getmon(core, p1);
    EXPECT_EQ(evpump_objnum(p1, 1), 4 + dnsdevs); /* own wake-up, core wake-up, sel, all, resolver's */

    iodev_close(all);
    EXPECT_FALSE(iodev_tree_has(p1, all));
    EXPECT_FALSE(iodev_tree_has(p2, all));
    EXPECT_EQ(arr_num(core->glbiodev_list), 1);
    iodev_close(sel);
    iodev_discard(dead);
}

TEST_F(CoreTest, StaleDeviceOnAReusedDescriptorGoesWithoutItsDescriptor)
{
    evpump_t* p1 = make_pump(5001, true);
    evpump_t* p2 = make_pump(5002, true);
    for (int bind : {BIND_GIVEN, BIND_ALL}) {
        SCOPED_TRACE(bind);
        iodev_t* old = make_dev();
        uint64_t oldid = old->id;
        int fd = old->fd;
        iodev_bind_evpump(old, bind, p1);
        /* The descriptor is closed behind the device's back and reused. */
        close(fd);
        int nfd = eventfd(0, EFD_NONBLOCK);
        if (nfd != fd) {
            ASSERT_EQ(dup2(nfd, fd), fd);
            close(nfd);
        }
        iodev_t* young = iodev_new_from_fd(core, fd, IODEV_FILE, nullptr, nullptr, nullptr);
        ASSERT_NE(young, nullptr);
        EXPECT_EQ(iodev_bind_evpump(young, bind, p1), 1);

        EXPECT_EQ(epcore_iodev_find(core, oldid), nullptr) << "the stale device was closed";
        EXPECT_TRUE(fd_open(fd)) << "without closing the newer device's descriptor";
        EXPECT_EQ(evpump_iodev_find(p1, fd), young);
        /* Its epoll interest is still in place. */
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        EXPECT_EQ(epoll_ctl(p1->epoll_fd, EPOLL_CTL_ADD, fd, &ev), -1);
        EXPECT_EQ(errno, EEXIST);
        if (bind == BIND_ALL) {
            EXPECT_EQ(evpump_iodev_find(p2, fd), young);
            EXPECT_EQ(arr_search(core->glbiodev_list, old, nullptr), nullptr);
        }
        iodev_close(young);
        EXPECT_FALSE(fd_open(fd));
    }
}

/* A task that polls the stop flags, as the device's tasks do. */
void* polling_task(void* arg)
{
    worker_t* self = static_cast<worker_t*>(arg);
    while (!self->quit.load() && !self->epcore->quit.load()) std::this_thread::yield();
    worker_destory(self);
    return nullptr;
}

TEST(EpcoreTeardown, WaitsForRunningPumpsAndWorkers)
{
    for (int round = 0; round < 3; round++) {
        epcore_t* core = epcore_new(0, 1);
        ASSERT_NE(core, nullptr);
        epcore_start_evpump(core, 2);
        epcore_start_worker(core, 1);
        for (uint64_t id = 700; id < 705; id++) ASSERT_EQ(worker_create(core, id, polling_task), 0);
        ASSERT_TRUE(wait_until([&] { return pumptest::pump_count(core) == 2; }));
        /* A timer on a running pump, left for teardown to release. */
        ASSERT_NE(iotimer_start(core, 60000, 9, nullptr, nullptr, nullptr), nullptr);
        auto t0 = std::chrono::steady_clock::now();
        epcore_clean(core); /* the sanitizers report any use after free */
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(ms, 6500);
    }
}

} // namespace
