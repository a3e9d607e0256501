// Logging wrapper: text length, level rules, re-creation of the loggers and
// refused settings.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "log/logger.h"
#include "base/tmpdir.h"
#include "log/logwait.h"

namespace {

int thread_count()
{
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    while (struct dirent* e = d ? readdir(d) : nullptr) n += e->d_name[0] != '.';
    if (d) closedir(d);
    return n;
}

struct Loggers : ::testing::Test {
    BoardRoot board;
    std::string mainPath = board.host("/var/log/camera.log");
    std::string rtPath = board.host("/var/log/camera_runtime.log");
    void SetUp() override
    {
        ASSERT_NE(cameralog_init("/var/log/camera.log", 1, 0, 1 << 20, 2), nullptr);
        ASSERT_NE(cameralog_runtime_init("/var/log/camera_runtime.log", 1 << 20, 2), nullptr);
    }
};

TEST_F(Loggers, LineCarriesFunctionAndLineAndTextIsCutAt2047)
{
    log_info(g_logger, "fill", 7, "%s|", std::string(3000, 'x').c_str());
    ASSERT_TRUE(wait_for_log("camera", mainPath, "fill[7]"));
    std::string text = read_host_file(mainPath);
    EXPECT_NE(text.find("] fill[7] " + std::string(2047, 'x') + "\n"), std::string::npos);
    EXPECT_EQ(text.find('|'), std::string::npos);
}

TEST_F(Loggers, DebugShowsOnlyAfterLevelChangeAndTraceOnlyInRuntimeLog)
{
    log_debug(g_logger, "f", 1, "debug-before");
    log_trace(g_logger, "f", 2, "trace-main");
    log_trace(g_runtime_logger, "f", 3, "trace-runtime");
    log_set_level(LOG_LEVEL_DEBUG);
    log_debug(g_logger, "f", 4, "debug-after");
    log_trace(g_logger, "f", 5, "trace-main");
    log_set_level(99); // out of range: ignored
    ASSERT_TRUE(wait_for_log("camera", mainPath, "debug-after"));
    ASSERT_TRUE(wait_for_log("camera_runtime", rtPath, "trace-runtime"));
    std::string text = read_host_file(mainPath);
    EXPECT_EQ(text.find("debug-before"), std::string::npos);
    EXPECT_EQ(text.find("trace-main"), std::string::npos);
    EXPECT_EQ(spdlog::get("camera_runtime")->level(), spdlog::level::trace);
}

TEST_F(Loggers, SecondInitReplacesTheLoggerReusesThePoolAndRefusalsKeepIt)
{
    LoggerPtr first = g_logger;
    int threads = thread_count();
    LoggerPtr second = cameralog_init("/var/log/camera.log", 1, 0, 1 << 20, 2);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(spdlog::get("camera").get(), second);
    EXPECT_EQ(thread_count(), threads);
    log_error(first, "old", 1, "through-old-handle"); // still a live object

    // Settings the library would throw on come back as a null handle.
    EXPECT_EQ(cameralog_init("/var/log/camera.log", 1, 0, 0, 10), nullptr);
    EXPECT_EQ(cameralog_init("/var/log/camera.log", 1, 0, -5, 10), nullptr);
    EXPECT_EQ(cameralog_init("/var/log/camera.log", 1, 0, 1 << 20, 200001), nullptr);
    EXPECT_EQ(cameralog_runtime_init(nullptr, 1 << 20, 1), nullptr);
    EXPECT_EQ(g_logger, second);
    EXPECT_EQ(spdlog::get("camera").get(), second);
    log_info(nullptr, "f", 1, "dropped");
    log_info(g_logger, nullptr, 1, "no-function-name");
    EXPECT_TRUE(wait_for_log("camera", mainPath, "] [1] no-function-name"));
}

// Last words before an end without exit handlers: the wait is over when
// every line is in the file, not when the last one written is, since the
// pool threads write lines in no fixed order.
TEST(LogSettle, WaitsForEveryLineInWhateverOrderTheyArrive)
{
    testfs::TempDir dir("korvid-settle");
    std::string path = dir / "camera.log";
    testfs::Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    ASSERT_GE(fd.fd, 0);
    auto put = [&](const std::string& s) { ASSERT_EQ(write(fd, s.data(), s.size()), (ssize_t)s.size()); };
    put("x [01] b\n"); // before the mark: does not count
    off_t from = lseek(fd, 0, SEEK_END);
    const std::vector<std::string> lines{"backtrace() returned 3 addresses", "[00] a", "[01] b", "[02] c"};

    put("x [02] c\nx backtrace() returned 3 addresses\nx [00] a\n"); // the last first, one still out
    EXPECT_FALSE(log_settle(fd, from, lines, 50));
    // The missing line comes in two writes, a while apart: one look at the
    // file sees only its first half.
    std::thread slow([&] {
        put(std::string(5000, '.') + "x [01");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        put("] b\n");
    });
    EXPECT_TRUE(log_settle(fd, from, lines, 20000));
    slow.join();
}

} // namespace
