// Worker threads: registration before the task runs, create/stop/find under
// load, one-slot data-list hand-over in both styles with the pool balanced,
// and event workers.
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

} // namespace
