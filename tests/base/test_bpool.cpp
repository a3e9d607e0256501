// Buffer pool: batches, fetch order, refusal of foreign and repeated returns,
// the low-use shrink (driven by a fake clock), callbacks and their locking,
// counter invariants, and a multi-threaded fetch/recycle stress.
#include "bpool.h"
#include "memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <random>
#include <string.h>
#include <thread>
#include <vector>

namespace {

std::atomic<time_t> g_now{1000000};
time_t fake_clock() { return g_now.load(); }

struct State {
    int allocated, remaining, exhausted, fifo, refifo;
};

State state_of(bpool_t* p)
{
    State s{};
    EXPECT_EQ(bpool_get_state(p, &s.allocated, &s.remaining, &s.exhausted, &s.fifo, &s.refifo), 0);
    return s;
}

// allocated = exhausted + remaining, remaining = both FIFOs, fetched set = exhausted.
void check_invariants(bpool_t* p)
{
    State s = state_of(p);
    ASSERT_EQ(s.allocated, s.exhausted + s.remaining);
    ASSERT_EQ(s.remaining, s.fifo + s.refifo);
    ASSERT_EQ(ht_num(p->rmdup_tab), s.exhausted);
    ASSERT_EQ(bpool_fetched_num(p), s.exhausted);
}

bpool_t* make_pool(int unitsize, int allocnum)
{
    bpool_t* p = bpool_init(nullptr);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(p->need_free, 1);
    bpool_set_unitsize(p, unitsize);
    bpool_set_allocnum(p, allocnum);
    bpool_set_clock(p, fake_clock);
    return p;
}

} // namespace

TEST(BPool, BatchesAreZeroedFreshUnitsComeFirstAndStrangersAreRefused)
{
    bpool_t own;
    memset(&own, 0xAB, sizeof own);
    ASSERT_EQ(bpool_init(&own), &own); // a caller's pool, initialised in place
    EXPECT_EQ(own.need_free, 0);
    bpool_set_unitsize(&own, 64);
    bpool_set_allocnum(&own, 8);
    bpool_set_clock(&own, fake_clock);
    auto* a = static_cast<unsigned char*>(bpool_fetch(&own));
    for (int i = 0; i < 64; i++) ASSERT_EQ(a[i], 0);
    EXPECT_EQ(state_of(&own).remaining, 7);

    int local = 0;
    EXPECT_EQ(bpool_recycle(&own, a), 0);
    EXPECT_EQ(bpool_recycle(&own, a), -10);      // second return
    EXPECT_EQ(bpool_recycle(&own, &local), -10); // never fetched here
    std::vector<void*> fresh;
    for (int i = 0; i < 7; i++) fresh.push_back(bpool_fetch(&own));
    EXPECT_EQ(std::count(fresh.begin(), fresh.end(), a), 0);
    EXPECT_EQ(bpool_fetch(&own), a); // fresh ones used up: the recycled unit comes back
    for (void* f : fresh) bpool_recycle(&own, f);
    g_now += 10000; // however long use stays low, one batch is never shrunk
    bpool_recycle(&own, a);
    EXPECT_EQ(state_of(&own).allocated, 8);
    check_invariants(&own);
    EXPECT_EQ(bpool_clean(&own), 0);
}

TEST(BPool, LowUseOverFiveMinutesShrinksToTheThresholdOrOneBatch)
{
    // allocnum, low-use threshold, units made, units left after the shrink
    const int cases[][4] = {{2, 4, 6, 4}, {16, 8, 32, 16}};
    for (auto [allocnum, thr, made, left] : cases) {
        bpool_t* p = make_pool(16, allocnum);
        std::vector<void*> u;
        for (int i = 0; i < made; i++) u.push_back(bpool_fetch(p));
        for (int out = made - 1; out >= 1; out--) { // all but u[0] come back
            bpool_recycle(p, u[out]);
            EXPECT_EQ(p->idletick != 0, out <= thr) << allocnum << " with " << out << " out";
        }
        g_now += 300;
        bpool_recycle(p, bpool_fetch(p)); // exactly 300 s: not yet
        EXPECT_EQ(state_of(p).allocated, made);
        g_now += 1;
        bpool_recycle(p, u[0]);
        EXPECT_EQ(state_of(p).allocated, left) << allocnum;
        EXPECT_NE(p->idletick, 0); // kept: later recycles shrink again at once
        check_invariants(p);

        // Busy use ends the low-use period.
        for (int i = 0; i <= thr + 1; i++) u[i] = bpool_fetch(p);
        bpool_recycle(p, u[0]);
        EXPECT_EQ(p->idletick, 0);
        for (int i = 1; i <= thr + 1; i++) bpool_recycle(p, u[i]);
        bpool_clean(p);
    }
}

namespace {
std::atomic<int> g_freed{0};

bpool_t* g_init_pool;
std::atomic<int> g_init_calls{0};
std::atomic<bool> g_lock_was_free{true};
void* g_nested;
int init_probe(void* unit)
{
    if (pthread_mutex_trylock(&g_init_pool->ulCS) == 0) pthread_mutex_unlock(&g_init_pool->ulCS);
    else g_lock_was_free = false;
    memset(unit, 0x11, 8);
    // A callback that fetches from its own pool must not deadlock.
    if (g_init_calls++ == 0) g_nested = bpool_fetch(g_init_pool);
    return 0;
}
} // namespace

TEST(BPool, OversizeUnitsAreReleasedOnReturnAndCleanLeavesFetchedOnes)
{
    bpool_t* p = make_pool(64, 3);
    bpool_set_freefunc(p, [](void* unit) { g_freed++; kfree(unit); return 0; });
    bpool_set_getsizefunc(p, [](void* unit) { return *static_cast<int*>(unit); }); // size kept in the unit
    bpool_set_freesize(p, 1000);
    g_freed = 0;
    auto* a = static_cast<int*>(bpool_fetch(p));
    auto* b = static_cast<int*>(bpool_fetch(p));
    *a = 4096; // grew past the limit
    *b = 10;
    EXPECT_EQ(bpool_recycle(p, a), 0);
    EXPECT_EQ(g_freed.load(), 1);
    EXPECT_EQ(bpool_recycle(p, b), 0);
    check_invariants(p);
    void* kept = bpool_fetch(p); // the fresh unit
    bpool_clean(p); // the recycled unit goes through the release function
    EXPECT_EQ(g_freed.load(), 2);
    memset(kept, 1, 64); // still the caller's
    kfree(kept);
}

TEST(BPool, InitCallbackRunsOutsideTheLockAndMayFetch)
{
    bpool_t* p = make_pool(16, 2);
    g_init_pool = p;
    g_init_calls = 0;
    bpool_set_initfunc(p, init_probe);
    auto* u = static_cast<unsigned char*>(bpool_fetch(p));
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u[0], 0x11);
    ASSERT_NE(g_nested, nullptr);
    EXPECT_NE(g_nested, u);
    EXPECT_EQ(g_init_calls.load(), 2); // the outer fetch and the nested one
    EXPECT_TRUE(g_lock_was_free.load());
    bpool_recycle(p, u);
    bpool_recycle(p, g_nested);
    bpool_clean(p);
}

TEST(BPool, AllocationFailuresShortenTheBatch)
{
    bpool_t* p = make_pool(32, 4);
    kmem_fail_after(0);
    EXPECT_EQ(bpool_fetch(p), nullptr);
    kmem_fail_after(2);
    void* a = bpool_fetch(p);
    kmem_fail_after(-1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(state_of(p).allocated, 2);
    check_invariants(p);
    bpool_recycle(p, a);
    bpool_clean(p);
}

TEST(BPool, CountersHoldUnderRandomFetchAndRecycle)
{
    std::mt19937 rng(99);
    bpool_t* p = make_pool(24, 3);
    std::vector<void*> out;
    for (int step = 0; step < 20000; step++) {
        if (rng() % 100 < 3) g_now += 200;
        if (out.empty() || rng() % 2) {
            void* u = bpool_fetch(p);
            ASSERT_NE(u, nullptr);
            ASSERT_EQ(std::count(out.begin(), out.end(), u), 0); // never handed out twice
            out.push_back(u);
        } else {
            std::swap(out[rng() % out.size()], out.back());
            void* u = out.back();
            out.pop_back();
            ASSERT_EQ(bpool_recycle(p, u), 0);
            ASSERT_EQ(bpool_recycle(p, u), -10);
        }
        State s = state_of(p);
        ASSERT_EQ(s.exhausted, static_cast<int>(out.size()));
        ASSERT_GE(s.allocated, 3);
        if (step % 50 == 0) check_invariants(p);
    }
    for (void* u : out) bpool_recycle(p, u);
    check_invariants(p);
    bpool_clean(p);
}

// Threads fetch units and put them on a shared road, and take units off it
// and recycle them (the frame road between workers); the clock runs fast so
// shrinking happens too. A unit handed out twice would be refused (-10) at
// its second return.
TEST(BPool, ThreadsShareOnePoolWithoutLosingUnits)
{
    bpool_t* p = make_pool(64, 4);
    std::mutex qm;
    std::deque<void*> road;
    std::atomic<int> bad{0};
    auto worker = [&](unsigned seed) {
        std::mt19937 rng(seed);
        for (int i = 0; i < 20000; i++) {
            void* u = nullptr;
            if (rng() % 2) {
                void* f = bpool_fetch(p);
                std::lock_guard<std::mutex> g(qm);
                road.push_back(f);
            } else {
                std::lock_guard<std::mutex> g(qm);
                if (!road.empty()) u = road.front(), road.pop_front();
            }
            if (u && bpool_recycle(p, u) != 0) bad++;
            if (i % 500 == 0) g_now += 100;
        }
    };
    std::vector<std::thread> t;
    for (unsigned seed = 1; seed <= 4; seed++) t.emplace_back(worker, seed);
    for (auto& th : t) th.join();
    for (void* u : road) EXPECT_EQ(bpool_recycle(p, u), 0);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(state_of(p).exhausted, 0);
    check_invariants(p);
    bpool_clean(p);
}
