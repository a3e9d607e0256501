// Worker threads: registration before the task runs, create/stop/find under
// load, one-slot data-list hand-over in both styles with the pool balanced,
// hand-overs racing a worker's end, and event workers.
#include "bpool.h"
#include "epcore.h"
#include "ioevent.h"
#include "memory.h"
#include "worker.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/pumptest.h"

namespace {

/* Event workers look at their stop flag every 5 s: the default wait allows
 * more than one full wait. */
using pumptest::wait_until;

int listed_workers(epcore_t* core)
{
    EnterCriticalSection(&core->workerlistCS);
    int n = arr_num(core->worker_list);
    LeaveCriticalSection(&core->workerlistCS);
    return n;
}

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        core = epcore_new(0, 1);
        ASSERT_NE(core, nullptr);
    }
    void TearDown() override { epcore_clean(core); }
    epcore_t* core = nullptr;
};

std::atomic<int> g_finished{0};

void* ends_at_once(void* arg)
{
    worker_destory(static_cast<worker_t*>(arg));
    g_finished++;
    return nullptr;
}

TEST_F(WorkerTest, TaskThatEndsAtOnceLeavesNoRecordBehind)
{
    g_finished = 0;
    const int n = 200;
    for (int i = 0; i < n; i++) ASSERT_EQ(worker_create(core, 1000 + i, ends_at_once), 0);
    ASSERT_TRUE(wait_until([] { return g_finished.load() == n; }));
    EXPECT_EQ(listed_workers(core), 0);
}

void* loops_until_stopped(void* arg)
{
    worker_t* self = static_cast<worker_t*>(arg);
    while (!self->quit.load() && !self->epcore->quit.load()) std::this_thread::yield();
    worker_destory(self);
    return nullptr;
}

TEST_F(WorkerTest, CreateStopAndFindUnderLoad)
{
    const int creators = 4, each = 25;
    std::atomic<bool> done{false};
    std::atomic<long> hits{0};
    std::thread finder([&] {
        while (!done.load()) {
            for (int id = 2000; id < 2000 + creators * each; id++)
                if (epcore_worker_find(core, id)) hits++;
        }
    });
    std::vector<std::thread> ts;
    for (int c = 0; c < creators; c++)
        ts.emplace_back([&, c] {
            for (int i = 0; i < each; i++)
                EXPECT_EQ(worker_create(core, 2000 + c * each + i, loops_until_stopped), 0);
        });
    for (auto& t : ts) t.join();
    ts.clear();
    for (int id = 2000; id < 2000 + creators * each; id++) {
        worker_t* w = epcore_worker_find(core, id);
        ASSERT_NE(w, nullptr) << id;
        EXPECT_EQ(workerid(w), (uint64_t)id);
    }
    /* Stop them from several threads; each stopper waits for its keys to go. */
    for (int c = 0; c < creators; c++)
        ts.emplace_back([&, c] {
            for (int i = 0; i < each; i++) {
                uint64_t id = 2000 + c * each + i;
                worker_stop(epcore_worker_find(core, id));
                EXPECT_TRUE(wait_until([&] { return !epcore_worker_find(core, id); }));
            }
        });
    for (auto& t : ts) t.join();
    done = true;
    finder.join();
    EXPECT_GT(hits.load(), 0);
    EXPECT_EQ(listed_workers(core), 0);
}

/* Frames for the hand-over tests: pool units that begin with their links. */
struct Frame {
    void* res[2];
    int seq;
};

bpool_t* g_frames = nullptr;
std::atomic<bool> g_pause{false};
std::atomic<bool> g_paused{false};
std::atomic<int> g_consumed{0};
std::atomic<bool> g_order_ok{true};

void frame_release(epcore_t*, void* item) { bpool_recycle(g_frames, item); }

void* frame_consumer(void* arg)
{
    worker_t* self = static_cast<worker_t*>(arg);
    worker_set_datafree(self, frame_release);
    int last = -1;
    while (!self->quit.load() && !self->epcore->quit.load()) {
        if (g_pause.load()) {
            g_paused = true;
            std::this_thread::yield();
            continue;
        }
        EnterCriticalSection(&self->datalistCS);
        Frame* f = static_cast<Frame*>(lt_rm_head(self->data_list));
        LeaveCriticalSection(&self->datalistCS);
        if (!f) {
            std::this_thread::yield();
            continue;
        }
        if (f->seq <= last) g_order_ok = false;
        last = f->seq;
        g_consumed++;
        bpool_recycle(g_frames, f);
    }
    worker_destory(self);
    return nullptr;
}

/* Producer side of the one-slot convention, under the consumer's lock:
 * either a newer frame replaces the one still waiting, or the newer frame
 * is dropped while the slot is full. */
void hand_over(worker_t* w, Frame* f, int* dropped, bool replace)
{
    Frame* out = nullptr;
    EnterCriticalSection(&w->datalistCS);
    if (lt_num(w->data_list) >= 1)
        out = replace ? static_cast<Frame*>(lt_rm_head(w->data_list)) : f;
    if (out != f) lt_append(w->data_list, f);
    LeaveCriticalSection(&w->datalistCS);
    if (out) {
        (*dropped)++;
        bpool_recycle(g_frames, out);
    }
}

class HandOver : public WorkerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HandOver, OneSlotKeepsOrderAndReturnsEveryFrame)
{
    const bool replace = GetParam();
    g_frames = bpool_init(nullptr);
    bpool_set_unitsize(g_frames, sizeof(Frame));
    bpool_set_allocnum(g_frames, 4);
    g_pause = false;
    g_paused = false;
    g_consumed = 0;
    g_order_ok = true;
    ASSERT_EQ(worker_create(core, E_WORKER_ID_ALGO, frame_consumer), 0);
    worker_t* w = epcore_worker_find(core, E_WORKER_ID_ALGO);
    ASSERT_NE(w, nullptr);

    const int n = 20000;
    int dropped = 0;
    for (int i = 0; i < n; i++) {
        Frame* f = static_cast<Frame*>(bpool_fetch(g_frames));
        ASSERT_NE(f, nullptr);
        f->seq = i;
        hand_over(w, f, &dropped, replace);
        EnterCriticalSection(&w->datalistCS);
        EXPECT_LE(lt_num(w->data_list), 1);
        LeaveCriticalSection(&w->datalistCS);
    }
    /* The slot still holds the newest frame; let the task take it. */
    ASSERT_TRUE(wait_until([] { return g_consumed.load() > 0; }));
    /* Leave a frame on the list when the task ends. */
    g_pause = true;
    ASSERT_TRUE(wait_until([] { return g_paused.load(); }));
    Frame* last = static_cast<Frame*>(bpool_fetch(g_frames));
    last->seq = n;
    hand_over(w, last, &dropped, replace);
    worker_stop(w);
    ASSERT_TRUE(wait_until([&] { return !epcore_worker_find(core, E_WORKER_ID_ALGO); }));

    EXPECT_TRUE(g_order_ok.load());
    /* Everything fetched went back: consumed, dropped or released at the end. */
    EXPECT_EQ(bpool_fetched_num(g_frames), 0);
    EXPECT_LE(g_consumed.load() + dropped, n + 1);
    EXPECT_GE(g_consumed.load() + dropped, n);
    bpool_clean(g_frames);
    g_frames = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Styles, HandOver, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "ReplaceTheWaiting" : "DropTheNew"; });

TEST_F(WorkerTest, ItemsLeftOnAStoppedTaskGoToTheHeapByDefault)
{
    worker_t* w = worker_new(core);
    ASSERT_NE(w, nullptr);
    for (int i = 0; i < 3; i++) lt_append(w->data_list, kzalloc(32));
    EXPECT_EQ(worker_free(w), 0); /* the leak checker sees the three blocks */
}

TEST_F(WorkerTest, EventWorkerRegistersUnderItsThreadAndStopsPromptly)
{
    epcore_start_worker(core, 1);
    ASSERT_TRUE(wait_until([&] { return listed_workers(core) == 1; }));
    EnterCriticalSection(&core->workerlistCS);
    worker_t* w = static_cast<worker_t*>(arr_value(core->worker_list, 0));
    uint64_t key = workerid(w);
    LeaveCriticalSection(&core->workerlistCS);
    EXPECT_NE(key, (uint64_t)WORKER_EVENT_ID);
    EXPECT_EQ(epcore_worker_find(core, key), w);

    epcore_stop_worker(core);
    EXPECT_TRUE(wait_until([&] { return listed_workers(core) == 0; }));
}

/* An event worker's queue takes each happening once. */
TEST_F(WorkerTest, EventQueueTakesEachHappeningOnceAndGivesRecordsBack)
{
    worker_t* w = worker_new(core);
    int base = bpool_fetched_num(core->event_pool);
    int obj = 0;
    for (int type : {EVT_READ, EVT_READ, EVT_WRITE}) {
        ioevent_t* ev = ioevent_fetch(core);
        ev->type = type;
        ev->obj = &obj;
        EXPECT_EQ(worker_ioevent_push(w, ev), 0);
    }
    EXPECT_EQ(worker_ioevent_num(w), 2);
    EXPECT_EQ(worker_ioevent_remove(w, &obj), 2);
    EXPECT_EQ(bpool_fetched_num(core->event_pool), base);
    worker_free(w);
}

/* ---- Hand-overs to a worker that ends ---- */

/* Frames of the ending tests, counted at every place one can come back. */
struct Tally {
    std::atomic<long> fetched{0}, taken{0}, refused{0}, drained{0}, bad{0};
};
Tally* g_tally = nullptr;

void give_back(void* item)
{
    if (bpool_recycle(g_frames, item) != 0) g_tally->bad++; /* not handed out: a second release */
}

void drained_release(epcore_t*, void* item)
{
    g_tally->drained++;
    give_back(item);
}

/* Takes up to `quota` frames, then ends at once; whatever producers queue
 * meanwhile is the worker's to release as it ends. */
std::atomic<int> g_quota{0};

void* takes_a_few_then_ends(void* arg)
{
    worker_t* self = static_cast<worker_t*>(arg);
    worker_set_datafree(self, drained_release);
    int left = g_quota.load();
    while (left > 0 && !self->quit.load() && !self->epcore->quit.load()) {
        EnterCriticalSection(&self->datalistCS);
        void* f = lt_rm_head(self->data_list);
        LeaveCriticalSection(&self->datalistCS);
        if (!f) {
            event_wait(self->ioevent, 1);
            continue;
        }
        g_tally->taken++;
        give_back(f);
        left--;
    }
    worker_destory(self);
    return nullptr;
}

/* Producers keep offering frames by key while the worker under it ends and
 * frees its record, round after round: nothing reaches a freed record (the
 * sanitizers see to that), and every frame comes back exactly once, taken,
 * refused to its producer, or released by the worker as it ends. */
TEST_F(WorkerTest, FramesOfferedToAWorkerThatEndsAllComeBackOnce)
{
    Tally tally;
    g_tally = &tally;
    g_frames = bpool_init(nullptr);
    bpool_set_unitsize(g_frames, sizeof(Frame));
    bpool_set_allocnum(g_frames, 16);
    const uint64_t key = E_WORKER_ID_GVSP;
    const int rounds = 300, producers = 3;

    std::atomic<bool> done{false};
    std::atomic<long> offered_live{0};
    std::vector<std::thread> ts;
    for (int p = 0; p < producers; p++)
        ts.emplace_back([&] {
            while (!done.load()) {
                void* f = bpool_fetch(g_frames);
                if (!f) continue;
                tally.fetched++;
                /* Producers bound the list, as the frame producers do. */
                bool queued = false;
                bool found = epcore_with_worker(core, key, [&](worker_t* wk) {
                    EnterCriticalSection(&wk->datalistCS);
                    if (lt_num(wk->data_list) < 4) {
                        lt_append(wk->data_list, f);
                        queued = true;
                    }
                    LeaveCriticalSection(&wk->datalistCS);
                    event_signal(wk->ioevent, 1);
                });
                if (found) offered_live++;
                if (!queued) {
                    tally.refused++;
                    give_back(f);
                }
            }
        });
    for (int r = 0; r < rounds; r++) {
        g_quota = r % 4; /* some end before taking anything */
        ASSERT_EQ(worker_create(core, key, takes_a_few_then_ends), 0);
        ASSERT_TRUE(wait_until([&] { return !epcore_worker_find(core, key); })) << r;
    }
    done = true;
    for (auto& t : ts) t.join();

    EXPECT_GT(offered_live.load(), 0);
    EXPECT_GT(tally.refused.load(), 0);
    EXPECT_EQ(tally.bad.load(), 0);
    EXPECT_EQ(tally.fetched.load(), tally.taken.load() + tally.refused.load() + tally.drained.load());
    EXPECT_EQ(bpool_fetched_num(g_frames), 0);
    bpool_clean(g_frames);
    g_frames = nullptr;
    g_tally = nullptr;
}

/* Once a worker says it is ending, hand-overs pass it by although it is
 * still registered: whoever waits for its key sees it until it has drained. */
TEST_F(WorkerTest, AWorkerThatIsEndingIsPassedByButStillFound)
{
    worker_t* w = worker_new(core);
    ASSERT_NE(w, nullptr);
    w->threadid = 4242;
    ASSERT_EQ(worker_thread_add(core, w), 0);
    int runs = 0;
    EXPECT_TRUE(epcore_with_worker(core, 4242, [&](worker_t* found) { runs += found == w; }));
    EXPECT_EQ(worker_thread_ending(core, w), 0);
    EXPECT_FALSE(epcore_with_worker(core, 4242, [&](worker_t*) { runs++; }));
    EXPECT_EQ(epcore_worker_find(core, 4242), w);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(epcore_with_worker(core, 4243, [&](worker_t*) { runs++; }));
    EXPECT_EQ(epcore_with_worker(nullptr, 4242, [](worker_t*, void*) {}, nullptr), -1);
    worker_thread_del(core, w);
    worker_free(w);
}

} // namespace
