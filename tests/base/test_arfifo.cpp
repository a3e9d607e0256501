// Ring FIFO: order is kept through both growth cases, and concurrent use is safe.
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
    while (!model.empty()) {
        ASSERT_EQ(untag(ar_fifo_out(af)), model.front());
        model.pop_front();
    }
    EXPECT_EQ(ar_fifo_out(af), nullptr);
    EXPECT_EQ(ar_fifo_num(af), 0);
}
} // namespace

TEST(ArFifo, MinimumCapacityAndFirstGrowth)
{
    arfifo_t* af = ar_fifo_new(0);
    ASSERT_NE(af, nullptr);
    EXPECT_EQ(af->size, 8);
    std::deque<long> model;
    for (long i = 1; i <= 9; i++) {
        ASSERT_EQ(ar_fifo_push(af, tag(i)), 0);
        model.push_back(i);
    }
    EXPECT_EQ(af->size, 16);
    EXPECT_EQ(untag(ar_fifo_front(af)), 1);
    EXPECT_EQ(untag(ar_fifo_back(af)), 9);
    EXPECT_EQ(untag(ar_fifo_value(af, 4)), 5);
    EXPECT_EQ(ar_fifo_value(af, 9), nullptr);
    EXPECT_EQ(ar_fifo_value(af, -1), nullptr);
    expect_drains_in_order(af, model);
    ar_fifo_free(af);
}

TEST(ArFifo, GrowthWhenWrappedMovesTheHeadSegment)
{
    // push 8, take 6, push 6 (6 of 8 items wrapped), push a 9th
    arfifo_t* af = ar_fifo_new(8);
    std::deque<long> model;
    long next = 1;
    for (int i = 0; i < 8; i++) { ar_fifo_push(af, tag(next)); model.push_back(next++); }
    for (int i = 0; i < 6; i++) { ASSERT_EQ(untag(ar_fifo_out(af)), model.front()); model.pop_front(); }
    for (int i = 0; i < 6; i++) { ar_fifo_push(af, tag(next)); model.push_back(next++); }
    ASSERT_EQ(af->start, 6);
    ar_fifo_push(af, tag(next)); model.push_back(next++);
    EXPECT_EQ(af->size, 16);
    EXPECT_EQ(af->start, 14); // the two head items moved to the end
    EXPECT_EQ(ar_fifo_num(af), 9);
    expect_drains_in_order(af, model);
    ar_fifo_free(af);
}

TEST(ArFifo, GrowthWhenWrappedMovesTheWrappedItems)
{
    // push 8, take 2, push 2 (2 wrapped items), push 1
    arfifo_t* af = ar_fifo_new(8);
    std::deque<long> model;
    long next = 1;
    for (int i = 0; i < 8; i++) { ar_fifo_push(af, tag(next)); model.push_back(next++); }
    for (int i = 0; i < 2; i++) { ar_fifo_out(af); model.pop_front(); }
    for (int i = 0; i < 2; i++) { ar_fifo_push(af, tag(next)); model.push_back(next++); }
    ar_fifo_push(af, tag(next)); model.push_back(next++);
    EXPECT_EQ(af->size, 16);
    EXPECT_EQ(af->start, 2);
    expect_drains_in_order(af, model);
    ar_fifo_free(af);
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
            if (model.empty()) {
                ASSERT_EQ(p, nullptr);
            } else {
                ASSERT_EQ(untag(p), model.front());
                model.pop_front();
            }
        }
        ASSERT_EQ(ar_fifo_num(af), (int)model.size());
        if (!model.empty()) {
            ASSERT_EQ(untag(ar_fifo_back(af)), model.back());
            size_t i = rng() % model.size();
            ASSERT_EQ(untag(ar_fifo_value(af, (int)i)), model[i]);
        }
    }
    expect_drains_in_order(af, model);
    ar_fifo_free(af);
}

TEST(ArFifo, FailedGrowthKeepsTheQueue)
{
    arfifo_t* af = ar_fifo_new(8);
    for (long i = 1; i <= 8; i++) ar_fifo_push(af, tag(i));
    kmem_fail_after(0);
    EXPECT_EQ(ar_fifo_push(af, tag(9)), -2);
    kmem_fail_after(-1);
    EXPECT_EQ(ar_fifo_num(af), 8);
    for (long i = 1; i <= 8; i++) EXPECT_EQ(untag(ar_fifo_out(af)), i);
    ar_fifo_free(af);
}

TEST(ArFifo, ZeroNullAndFreeAll)
{
    EXPECT_EQ(ar_fifo_push(nullptr, tag(1)), -1);
    EXPECT_EQ(ar_fifo_out(nullptr), nullptr);
    EXPECT_EQ(ar_fifo_num(nullptr), 0);
    EXPECT_EQ(ar_fifo_front(nullptr), nullptr);
    ar_fifo_zero(nullptr);
    ar_fifo_free(nullptr);

    arfifo_t* af = ar_fifo_new(4);
    ar_fifo_push(af, tag(1));
    ar_fifo_zero(af);
    EXPECT_EQ(ar_fifo_out(af), nullptr);
    EXPECT_EQ(ar_fifo_front(af), nullptr);

    // free_all hands every queued item to the release function, head to tail
    static std::vector<long> released;
    released.clear();
    for (long i = 1; i <= 3; i++) ar_fifo_push(af, kalloc(8));
    ar_fifo_free_all(af, [](void* p) { released.push_back(1); kfree(p); });
    EXPECT_EQ(released.size(), 3u);

    arfifo_t* af2 = ar_fifo_new(4);
    long item = 5;
    ar_fifo_push(af2, &item);
    ar_fifo_free_all(af2, nullptr); // the item is left alone
    EXPECT_EQ(item, 5);
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
                void* v = ar_fifo_out(af);
                if (v) {
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
