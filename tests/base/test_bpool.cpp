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
#include <set>
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

TEST(BPool, BatchesAreZeroedAndFreshUnitsComeFirst)
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
    State s = state_of(&own);
    EXPECT_EQ(s.allocated, 8);
    EXPECT_EQ(s.remaining, 7);
    EXPECT_EQ(s.exhausted, 1);

    EXPECT_EQ(bpool_recycle(&own, a), 0);
    std::vector<void*> fresh;
    for (int i = 0; i < 7; i++) fresh.push_back(bpool_fetch(&own));
    EXPECT_EQ(std::count(fresh.begin(), fresh.end(), a), 0);
    EXPECT_EQ(bpool_fetch(&own), a); // fresh ones used up: the recycled unit comes back
    EXPECT_EQ(state_of(&own).allocated, 8);
    for (void* f : fresh) bpool_recycle(&own, f);
    g_now += 10000; // however long use stays low, one batch is never shrunk
    bpool_recycle(&own, a);
    EXPECT_EQ(state_of(&own).allocated, 8);
    check_invariants(&own);
    EXPECT_EQ(bpool_clean(&own), 0);
}

TEST(BPool, ForeignAndRepeatedReturnsAreRefused)
{
    bpool_t* p = make_pool(32, 2);
    bpool_t* q = make_pool(32, 2);
    void* a = bpool_fetch(p);
    void* b = bpool_fetch(q);
    int local = 0;
    EXPECT_EQ(bpool_recycle(p, a), 0);
    EXPECT_EQ(bpool_recycle(p, a), -10); // second return
    EXPECT_EQ(bpool_recycle(p, &local), -10); // never fetched
    EXPECT_EQ(bpool_recycle(p, b), -10); // another pool's unit
    State s = state_of(p);
    EXPECT_EQ(s.allocated, 2);
    EXPECT_EQ(s.exhausted, 0);
    EXPECT_EQ(s.remaining, 2);
    check_invariants(p);
    EXPECT_EQ(bpool_recycle(q, b), 0);
    bpool_clean(p);
    bpool_clean(q);
}

TEST(BPool, LowUseOverFiveMinutesShrinksToTheThreshold)
{
    bpool_t* p = make_pool(16, 2); // threshold 4
    std::vector<void*> u;
    for (int i = 0; i < 6; i++) u.push_back(bpool_fetch(p));
    EXPECT_EQ(state_of(p).allocated, 6);
    for (int i = 0; i < 5; i++) EXPECT_EQ(bpool_recycle(p, u[i]), 0);
    EXPECT_EQ(p->idletick, g_now.load()); // low use began at the second return
    g_now += 300;
    void* again = bpool_fetch(p);
    bpool_recycle(p, again); // exactly 300 s: not yet
    EXPECT_EQ(state_of(p).allocated, 6);
    g_now += 1;
    EXPECT_EQ(bpool_recycle(p, u[5]), 0);
    State s = state_of(p);
    EXPECT_EQ(s.allocated, 4);
    EXPECT_EQ(s.remaining, 4);
    EXPECT_NE(p->idletick, 0); // kept: later recycles shrink again at once
    check_invariants(p);
    bpool_clean(p);
}

TEST(BPool, ShrinkStopsAtOneBatchAndBusyUseResetsTheIdleClock)
{
    bpool_t* p = make_pool(16, 16); // threshold 8
    std::vector<void*> u;
    for (int i = 0; i < 32; i++) u.push_back(bpool_fetch(p));
    EXPECT_EQ(state_of(p).allocated, 32);
    for (int i = 0; i < 23; i++) bpool_recycle(p, u[i]);
    EXPECT_EQ(p->idletick, 0); // 9 still out
    bpool_recycle(p, u[23]);
    EXPECT_EQ(p->idletick, g_now.load()); // 8 out: low use

    // Busy again before the five minutes pass: the idle clock restarts.
    std::vector<void*> busy;
    for (int i = 0; i < 4; i++) busy.push_back(bpool_fetch(p));
    g_now += 301;
    bpool_recycle(p, busy.back()); // 11 out: not low use
    busy.pop_back();
    EXPECT_EQ(p->idletick, 0);
    EXPECT_EQ(state_of(p).allocated, 32);
    for (void* b : busy) bpool_recycle(p, b);
    EXPECT_EQ(state_of(p).exhausted, 8);
    g_now += 301;
    bpool_recycle(p, u[24]);
    State s = state_of(p);
    EXPECT_EQ(s.allocated, 16); // floor: one batch
    EXPECT_EQ(s.exhausted, 7);
    EXPECT_EQ(s.remaining, 9);
    check_invariants(p);
    for (int i = 25; i < 32; i++) bpool_recycle(p, u[i]);
    EXPECT_EQ(state_of(p).allocated, 16);
    bpool_clean(p);
}

namespace {
std::atomic<int> g_freed{0};
int counting_free(void* unit)
{
    g_freed++;
    kfree(unit);
    return 0;
}
int size_from_first_int(void* unit) { return *static_cast<int*>(unit); }
} // namespace

TEST(BPool, OversizeUnitsAreReleasedOnReturnAndCleanLeavesFetchedOnes)
{
    bpool_t* p = make_pool(64, 3);
    bpool_set_freefunc(p, counting_free);
    bpool_set_getsizefunc(p, size_from_first_int);
    bpool_set_freesize(p, 1000);
    g_freed = 0;
    auto* a = static_cast<int*>(bpool_fetch(p));
    auto* b = static_cast<int*>(bpool_fetch(p));
    *a = 4096; // grew past the limit
    *b = 10;
    EXPECT_EQ(bpool_recycle(p, a), 0);
    EXPECT_EQ(g_freed.load(), 1);
    EXPECT_EQ(bpool_recycle(p, b), 0);
    State s = state_of(p);
    EXPECT_EQ(s.allocated, 2);
    EXPECT_EQ(s.refifo, 1);
    check_invariants(p);
    void* kept = bpool_fetch(p); // the fresh unit
    bpool_clean(p); // the recycled unit goes through the release function
    EXPECT_EQ(g_freed.load(), 2);
    memset(kept, 1, 64); // still the caller's
    kfree(kept);
}

namespace {
bpool_t* g_init_pool;
std::atomic<int> g_init_calls{0};
std::atomic<bool> g_lock_was_free{true};
void* g_nested;
bool g_nesting;
int init_probe(void* unit)
{
    g_init_calls++;
    if (pthread_mutex_trylock(&g_init_pool->ulCS) == 0) pthread_mutex_unlock(&g_init_pool->ulCS);
    else g_lock_was_free = false;
    memset(unit, 0x11, 8);
    // A callback that fetches from its own pool must not deadlock.
    if (!g_nesting) {
        g_nesting = true;
        g_nested = bpool_fetch(g_init_pool);
    }
    return 0;
}
} // namespace

TEST(BPool, InitCallbackRunsOutsideTheLockAndMayFetch)
{
    bpool_t* p = make_pool(16, 2);
    g_init_pool = p;
    g_nested = nullptr;
    g_nesting = false;
    g_init_calls = 0;
    bpool_set_initfunc(p, init_probe);
    auto* u = static_cast<unsigned char*>(bpool_fetch(p));
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u[0], 0x11);
    ASSERT_NE(g_nested, nullptr);
    EXPECT_NE(g_nested, u);
    EXPECT_EQ(g_init_calls.load(), 2); // the outer fetch and the nested one
    EXPECT_TRUE(g_lock_was_free.load());
    EXPECT_EQ(bpool_fetched_num(p), 2);
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
    bpool_set_unitsize(p, 0);
    void* b = bpool_fetch(p);
    EXPECT_NE(b, nullptr); // the second unit of the short batch
    EXPECT_EQ(bpool_fetch(p), nullptr); // nothing can be made of size 0
    bpool_recycle(p, a);
    bpool_recycle(p, b);
    bpool_clean(p);
}

TEST(BPool, CountersHoldUnderRandomFetchAndRecycle)
{
    std::mt19937 rng(99);
    bpool_t* p = make_pool(24, 3);
    std::vector<void*> out;
    std::set<void*> outset;
    for (int step = 0; step < 20000; step++) {
        if (rng() % 100 < 3) g_now += 200;
        if (out.empty() || rng() % 2) {
            void* u = bpool_fetch(p);
            ASSERT_NE(u, nullptr);
            ASSERT_TRUE(outset.insert(u).second); // never handed out twice
            out.push_back(u);
        } else {
            size_t i = rng() % out.size();
            void* u = out[i];
            out[i] = out.back();
            out.pop_back();
            outset.erase(u);
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

// Producers fetch and hand units to consumers that recycle them (the frame
// road between workers), while others fetch and recycle on their own; the
// clock runs fast so shrinking happens too. Each unit carries an owner tag
// that must be intact on return.
TEST(BPool, ThreadsShareOnePoolWithoutLosingUnits)
{
    bpool_t* p = make_pool(64, 4);
    std::mutex qm;
    std::deque<void*> q;
    std::atomic<bool> producers_done{false};
    std::atomic<int> refused{0};
    constexpr int kIters = 20000;

    auto own_use = [&](int tag) {
        std::vector<void*> held;
        std::mt19937 rng(static_cast<unsigned>(tag));
        for (int i = 0; i < kIters; i++) {
            if (held.size() < 6 && (held.empty() || rng() % 2)) {
                auto* u = static_cast<int*>(bpool_fetch(p));
                if (!u) continue;
                *u = tag;
                held.push_back(u);
            } else {
                auto* u = static_cast<int*>(held.back());
                held.pop_back();
                if (*u != tag) refused++;
                if (bpool_recycle(p, u) != 0) refused++;
            }
            if (i % 500 == 0) g_now += 100;
        }
        for (void* u : held) bpool_recycle(p, u);
    };
    auto producer = [&]() {
        for (int i = 0; i < kIters; i++) {
            void* u = bpool_fetch(p);
            if (!u) continue;
            std::lock_guard<std::mutex> g(qm);
            q.push_back(u);
        }
    };
    auto consumer = [&]() {
        for (;;) {
            void* u = nullptr;
            {
                std::lock_guard<std::mutex> g(qm);
                if (!q.empty()) {
                    u = q.front();
                    q.pop_front();
                }
            }
            if (u) {
                if (bpool_recycle(p, u) != 0) refused++;
            } else if (producers_done) {
                std::lock_guard<std::mutex> g(qm);
                if (q.empty()) return;
            } else {
                std::this_thread::yield();
            }
        }
    };

    std::vector<std::thread> t;
    t.emplace_back(own_use, 1);
    t.emplace_back(own_use, 2);
    t.emplace_back(producer);
    t.emplace_back(producer);
    std::thread c1(consumer), c2(consumer);
    for (auto& th : t) th.join();
    producers_done = true;
    c1.join();
    c2.join();

    EXPECT_EQ(refused.load(), 0);
    State s = state_of(p);
    EXPECT_EQ(s.exhausted, 0);
    EXPECT_EQ(s.allocated, s.remaining);
    check_invariants(p);
    bpool_clean(p);
}
