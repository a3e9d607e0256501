// Ring FIFO: order is kept through every growth case, and concurrent use is safe.
#include "arfifo.h"
#include "memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <random>
#include <thread>
#include <vector>

namespace {
void* tag(long v) { return reinterpret_cast<void*>(v); }
long untag(void* p) { return reinterpret_cast<long>(p); }

void expect_drains_in_order(arfifo_t* af, std::deque<long>& model)
{
    for (; !model.empty(); model.pop_front()) ASSERT_EQ(untag(ar_fifo_out(af)), model.front());
    EXPECT_EQ(ar_fifo_out(af), nullptr);
    EXPECT_EQ(ar_fifo_num(af), 0);
}
} // namespace

TEST(ArFifo, GrowthKeepsOrderWhetherOrNotTheItemsWrapped)
{
    // From the minimum capacity 8: push 8, take k, push k (k items wrapped),
    // push a 9th. Unwrapped, nothing moves; wrapped, the shorter of the head
    // segment and the wrapped items moves.
    struct Case {
        int taken, start;
    } cases[] = {{0, 0}, {6, 14}, {2, 2}};
    for (const auto& c : cases) {
        arfifo_t* af = ar_fifo_new(0);
        std::deque<long> model;
        for (long next = 1; next <= 9 + c.taken; next++) {
            for (int i = 0; next == 9 && i < c.taken; i++, model.pop_front())
                ASSERT_EQ(untag(ar_fifo_out(af)), model.front());
            ASSERT_EQ(ar_fifo_push(af, tag(next)), 0);
            model.push_back(next);
        }
        EXPECT_EQ(af->size, 16);
        EXPECT_EQ(af->start, c.start) << c.taken;
        EXPECT_EQ(ar_fifo_value(af, 9), nullptr);
        expect_drains_in_order(af, model);
        ar_fifo_free(af);
    }
}

TEST(ArFifo, RandomOperationsMatchADeque)
{
    std::mt19937 rng(1234);
    arfifo_t* af = ar_fifo_new(8);
    std::deque<long> model;
    long next = 1;
    for (int step = 0; step < 20000; step++) {
        if (rng() % 100 < 55) {
            ASSERT_EQ(ar_fifo_push(af, tag(next)), 0);
            model.push_back(next++);
        } else {
            void* p = ar_fifo_out(af);
            ASSERT_EQ(untag(p), model.empty() ? 0 : model.front());
            if (!model.empty()) model.pop_front();
        }
        ASSERT_EQ(ar_fifo_num(af), (int)model.size());
        if (!model.empty()) {
            ASSERT_EQ(untag(ar_fifo_back(af)), model.back());
            size_t i = rng() % model.size();
            ASSERT_EQ(untag(ar_fifo_value(af, (int)i)), model[i]);
        }
    }
    ar_fifo_zero(af);
    EXPECT_EQ(ar_fifo_out(af), nullptr);
    ar_fifo_free(af);
}

TEST(ArFifo, FailedGrowthKeepsTheQueue)
{
    arfifo_t* af = ar_fifo_new(8);
    for (long i = 1; i <= 8; i++) ar_fifo_push(af, tag(i));
    kmem_fail_after(0);
    EXPECT_EQ(ar_fifo_push(af, tag(9)), -2);
    kmem_fail_after(-1);
    for (long i = 1; i <= 8; i++) EXPECT_EQ(untag(ar_fifo_out(af)), i);
    ar_fifo_free(af);
}

TEST(ArFifo, FreeAllReleasesEveryQueuedItem) // LeakSanitizer reports any left
{
    arfifo_t* af = ar_fifo_new(4);
    for (long i = 1; i <= 3; i++) ar_fifo_push(af, kalloc(8));
    ar_fifo_free_all(af, [](void* p) { kfree(p); });
}

TEST(ArFifo, ProducersAndConsumersNeverShareAnItem)
{
    arfifo_t* af = ar_fifo_new(8);
    constexpr int kPerProducer = 20000;
    std::atomic<long> sum{0};
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < 2; p++)
        threads.emplace_back([&, p] {
            for (long i = 1; i <= kPerProducer; i++) ar_fifo_push(af, tag(i + p * kPerProducer));
        });
    for (int c = 0; c < 2; c++)
        threads.emplace_back([&] {
            while (taken.load() < 2 * kPerProducer) {
                if (void* v = ar_fifo_out(af)) {
                    sum += untag(v);
                    taken++;
                } else {
                    std::this_thread::yield();
                }
                (void)ar_fifo_num(af);
            }
        });
    for (auto& t : threads) t.join();
    long n = 2L * kPerProducer;
    EXPECT_EQ(sum.load(), n * (n + 1) / 2);
    ar_fifo_free(af);
}
