#include "common/common.h"

#include "algo/algotest.h"
#include "memory.h"
#include "platform/boardroot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/timerfd.h>
#include <thread>
#include <unistd.h>
#include <vector>
using namespace std::string_literals;

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Waits for one expiry of the timer and consumes it; elapsed ms, -1 on time-out.
long wait_expiry(int fd, Clock::time_point since)
{
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return -1;
    uint64_t n = 0;
    if (read(fd, &n, sizeof(n)) != (ssize_t)sizeof(n)) return -1;
    return ms_since(since);
}

} // namespace

TEST(CommonText, HexStringFormat)
{
    char text[] = "0A1b";
    char out[8];
    ASSERT_EQ(hex_string_format(text, out), 0);
    EXPECT_EQ(std::string(out, 3), "\x0A\x1B\x00"s);

    char same[] = "FFee00";
    ASSERT_EQ(hex_string_format(same, same), 0); // in place
    EXPECT_EQ(std::string(same, 3), "\xFF\xEE\x00"s);

    char odd[] = "0A1";
    EXPECT_EQ(hex_string_format(odd, out), -1);
    EXPECT_STREQ(odd, "0A1"); // refused before converting
    char bad[] = "0G";
    EXPECT_EQ(hex_string_format(bad, out), -1);
}

// 0xABC, 0x123 packs as AB 3C 12; a last odd pixel takes two bytes, and
// exact-size heap buffers let ASan catch any access past either side.
TEST(CommonPixels, PackedOrdersAndOddCount)
{
    std::vector<uint16_t> in = {0xABC, 0x123, 0xFED};
    std::vector<uint8_t> out(5);
    mono12_to_mono12packed(in.data(), out.data(), 3, 1);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xAB, 0x3C, 0x12, 0xFE, 0x0D}));
    mono12_to_mono12p(in.data(), out.data(), 1, 3);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xBC, 0x3A, 0x12, 0xED, 0x0F}));
}

TEST(CommonTimer, FirstExpiryThenOneSecondPlusRemainderAndZeroWaitDoesNotSleep)
{
    auto start = Clock::now();
    wait_ms(0);
    EXPECT_LT(ms_since(start), 1000); // generous: a loaded machine may hold the thread

    // What is set is read back; elapsed times are checked only from below,
    // since a busy machine can only make them longer.
    int fd = timerCreate();
    ASSERT_GE(fd, 0);
    start = Clock::now();
    ASSERT_EQ(startTimer(fd, 40), 0);
    struct itimerspec set;
    ASSERT_EQ(timerfd_gettime(fd, &set), 0);
    EXPECT_EQ(set.it_value.tv_sec, 0);
    EXPECT_GT(set.it_value.tv_nsec, 0);
    EXPECT_LE(set.it_value.tv_nsec, 40000000L);
    // The repeat is 1 s + 40 ms, not 40 ms.
    EXPECT_EQ(set.it_interval.tv_sec, 1);
    EXPECT_EQ(set.it_interval.tv_nsec, 40000000L);
    EXPECT_GE(wait_expiry(fd, start), 39);
    EXPECT_GE(wait_expiry(fd, start), 40 + 1040 - 1);

    // 0 ms expires at once, within the repeat period, rather than leaving
    // the timer disarmed.
    ASSERT_EQ(startTimer(fd, 0), 0);
    struct pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 900), 1);

    ASSERT_EQ(stopTimer(fd), 0);
    struct itimerspec its;
    ASSERT_EQ(timerfd_gettime(fd, &its), 0);
    EXPECT_EQ(its.it_value.tv_sec | its.it_value.tv_nsec | its.it_interval.tv_sec | its.it_interval.tv_nsec, 0);
    close(fd);

    EXPECT_EQ(stopTimer(0), 0);
    EXPECT_EQ(startTimer(-1, 40), -1);
    EXPECT_EQ(stopTimer(fd), -1); // closed
}

TEST(CommonFiles, ContentAndFreeSpace)
{
    BoardRoot board;
    ASSERT_EQ(board.rc, 0);
    ASSERT_EQ(put_fileContext("/userdata/f.bin", "0123456789", 10), 0);
    EXPECT_EQ(put_fileContext("/userdata/no/such/f.bin", "x", 1), -1);
    uint8_t buf[16] = {};
    EXPECT_EQ(get_fileContext("/userdata/f.bin", buf, 4), 4u);
    EXPECT_EQ(get_fileContext("/userdata/f.bin", buf, 16), 10u);
    EXPECT_EQ(get_fileContext("/userdata/none", buf, 16), 0u);

    ASSERT_EQ(sim_set_free_space("/userdata", 150ull << 20), 0);
    uint64_t mib = 0;
    EXPECT_EQ(get_deviceFreeSpace("/userdata", &mib), 0);
    EXPECT_EQ(mib, 150u);
    // No answer reads as no free space, never as a stale value.
    mib = 12345;
    EXPECT_EQ(get_deviceFreeSpace("/userdata/no/such/dir", &mib), -1);
    EXPECT_EQ(mib, 0u);
}

TEST(CommonThreads, PinningGoesThroughTheBoardAndRefusesAnEmptySet)
{
    BoardRoot board;
    ASSERT_EQ(board.rc, 0);
    unsigned long before = sim_affinity_granted(nullptr);
    EXPECT_EQ(bind_cpu_core(2), 0);
    int cpu = -1;
    EXPECT_EQ(sim_affinity_granted(&cpu), before + 1);
    EXPECT_EQ(cpu, 2);
    EXPECT_EQ(bind_cpu_core(-1), -1);
    EXPECT_EQ(bind_cpu_core(1024), -1);
    EXPECT_EQ(sim_affinity_granted(nullptr), before + 1);
}

class CommonI2c : public testing::Test {
protected:
    BoardRoot board;
    void SetUp() override
    {
        ASSERT_EQ(board.rc, 0);
        uint8_t v;
        i2c_cpld_rw(0, &v, 0, 2); // forget a bus left from an earlier board
    }
    void TearDown() override
    {
        uint8_t v;
        i2c_cpld_rw(0, &v, 0, 2);
    }
};

TEST_F(CommonI2c, CpldReadWriteCloseAndReopen)
{
    ASSERT_EQ(sim_i2c_set_reg(3, 0x11, 59, 0x5A), 0);
    uint8_t v = 0;
    ASSERT_EQ(i2c_cpld_rw(59, &v, 0, 0), 1);
    EXPECT_EQ(v, 0x5A);
    ASSERT_EQ(i2c_cpld_rw(59, nullptr, 0x33, 1), 1);
    unsigned reg = 0;
    ASSERT_EQ(sim_i2c_get_reg(3, 0x11, 59, &reg), 0);
    EXPECT_EQ(reg, 0x33u);

    // The descriptor is kept: a failing open is never reached.
    ASSERT_EQ(sim_fail_nth("/dev/i2c-3", SIM_REQ_OPEN, 1, EIO), 0);
    ASSERT_EQ(i2c_cpld_rw(59, &v, 0, 0), 1);
    EXPECT_EQ(i2c_cpld_rw(59, &v, 0, 2), -1); // closes
    EXPECT_EQ(i2c_cpld_rw(59, &v, 0, 0), 0);  // reopens: the failing open
    v = 0;
    EXPECT_EQ(i2c_cpld_rw(59, &v, 0, 0), 1);  // reopens again
    EXPECT_EQ(v, 0x33);

    ASSERT_EQ(sim_i2c_set_absent(3, 0x11, 1), 0);
    EXPECT_EQ(i2c_cpld_rw(59, &v, 0, 0), 0);
    EXPECT_EQ(i2c_cpld_rw(59, nullptr, 1, 1), 0);
}

// Selecting a register and reading it back is one step for every caller
// sharing the bus descriptor.
TEST_F(CommonI2c, CpldAccessFromSeveralThreadsKeepsRegistersApart)
{
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t, &wrong] {
            uint8_t reg = (uint8_t)(100 + t);
            for (int i = 0; i < 200; i++) {
                uint8_t want = (uint8_t)(t * 50 + i), got = 0;
                if (i2c_cpld_rw(reg, nullptr, want, 1) != 1 || i2c_cpld_rw(reg, &got, 0, 0) != 1 || got != want)
                    wrong++;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(CommonI2c, CombinedTransferReadsBigEndian)
{
    int fd6 = plat_open("/dev/i2c-6", O_RDWR);
    ASSERT_GE(fd6, 0);
    ASSERT_EQ(sim_i2c_set_reg(6, 0x48, 0x0102, 0xBEEF), 0);
    uint16_t v16 = 0;
    ASSERT_EQ(i2c_read16bit(fd6, 0x48, 0x0102, &v16), 0);
    EXPECT_EQ(v16, 0xBEEF);
    EXPECT_EQ(i2c_read16bit(fd6, 0x50, 0, &v16), -1); // nobody there
    plat_close(fd6);
}

TEST(CommonFrames, FreeImageReturnsUnitsToTheirPoolsAndFreesHeapFrames)
{
    algotest::FrameCore fc;
    bpool_t* pools[5] = {fc.core->raw, fc.core->rgb, fc.core->depth, fc.core->applation_algo,
                         fc.core->applation_algo_result};
    for (int type = E_MEMTYPE_RAW; type <= E_MEMTYPE_APPLATION_RESULT; type++) {
        free_image(fc.core, fc.frame(pools[type - 1], (uint32_t)type, E_IMAGE_TYPE_RAW));
        EXPECT_EQ(fc.fetched(), 0) << "memType " << type;
    }
    // A unit labelled with the wrong pool stays with its owner.
    ImageInfo* img = fc.frame(fc.core->raw, E_MEMTYPE_DEPTH, E_IMAGE_TYPE_RAW);
    free_image(fc.core, img);
    EXPECT_EQ(bpool_fetched_num(fc.core->raw), 1);
    img->memType = E_MEMTYPE_RAW;
    free_image(fc.core, img);

    // Heap frames (memType 0 or unknown) go back to the heap; LeakSanitizer
    // would report them otherwise.
    for (uint32_t type : {0u, 6u, 99u}) {
        auto* heap = static_cast<ImageInfo*>(kzalloc(sizeof(ImageInfo) + 16));
        heap->memType = type;
        free_image(fc.core, heap);
    }
    free_image(fc.core, nullptr);
}
