// Logging start-up from the board's configuration, the TCP log-level
// service (values read, unusable values replaced, codes applied however
// they arrive), and the orderly stop of the whole start-up run in-process.
#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "eptcp.h"
#include "iodev.h"
#include "log/logger.h"
#include "log/logwait.h"
#include "memory.h"
#include "main/main.h"
#include "main/dispositions.h"
#include "main/netns.h"
#include "worker.h"

namespace {

using pumptest::wait_until;

std::string start_logging(BoardRoot& board, const char* conf)
{
    mkdir(board.host("/etc").c_str(), 0755);
    if (conf) {
        EXPECT_TRUE(write_host_file(board.host(SPDLOG_CONF_FILE), conf));
    } else {
        unlink(board.host(SPDLOG_CONF_FILE).c_str());
    }
    testing::internal::CaptureStdout();
    spdlog_init();
    return testing::internal::GetCapturedStdout();
}

spdlog::level::level_enum level() { return spdlog::get("camera")->level(); }

TEST(SpdlogInit, HexAndDecimalValuesSetFilesSizesAndRotation)
{
    BoardRoot board;
    EXPECT_EQ(start_logging(board, "[SPDLOG]\nFILE_NAME=/var/log/cam.log\nFILE_SIZE=0x1\nROTATE_NUM=2\n"
                                   "[SPDLOG_RUNTIME]\nFILE_NAME=/var/log/rt.log\nFILE_SIZE=5\nROTATE_NUM=0x3\n"),
              "filename:/var/log/cam.log, fileSize:1048576, fileNum:2\n"
              "filename:/var/log/rt.log, fileSize:5242880, fileNum:3\n");
    EXPECT_EQ(level(), spdlog::level::info);
    for (int i = 0; i < 700; i++) log_info(g_logger, "fill", i, "%s", std::string(2047, 'r').c_str());
    ASSERT_TRUE(wait_until([&] {
        spdlog::get("camera")->flush();
        return access(board.host("/var/log/cam.1.log").c_str(), F_OK) == 0;
    }));
}

TEST(SpdlogInit, MissingFileAndUnusableValuesFallBackKeyByKey)
{
    BoardRoot board;
    EXPECT_EQ(start_logging(board, nullptr), "");
    log_trace(g_runtime_logger, "t", 1, "runtime-default");
    EXPECT_TRUE(wait_for_log("camera_runtime", board.host("/var/log/camera_runtime.log"), "runtime-default"));

    EXPECT_EQ(start_logging(board, "[SPDLOG]\nFILE_NAME=/var/log/mine.log\nFILE_SIZE=0\nROTATE_NUM=200001\n"
                                   "[SPDLOG_RUNTIME]\nFILE_SIZE=2048\nROTATE_NUM=abc\n"),
              "filename:/var/log/mine.log, fileSize:20971520, fileNum:10\n"
              "filename:/var/log/camera_runtime.log, fileSize:20971520, fileNum:10\n");
    EXPECT_TRUE(wait_for_log("camera", board.host("/var/log/mine.log"), "SPDLOG FILE_SIZE: unusable value \"0\""));
    EXPECT_EQ(start_logging(board, "[SPDLOG_RUNTIME]\nFILE_NAME=/var/log/r.log\nFILE_SIZE=12abc\nROTATE_NUM=0x\n"),
              "filename:/var/log/camera.log, fileSize:20971520, fileNum:10\n"
              "filename:/var/log/r.log, fileSize:20971520, fileNum:10\n");
}

// A log-level connection driven by hand, without pumps.
struct LevelConn : ::testing::Test {
    BoardRoot board;
    pumptest::Core c;
    int sv[2] = {-1, -1};
    iodev_t* dev = nullptr;
    void SetUp() override
    {
        start_logging(board, nullptr);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        dev = iodev_new_from_fd(c.core, sv[0], IODEV_TCP_ACCEPTED, nullptr, tcp_log_level, c.core);
        ASSERT_NE(dev, nullptr);
    }
    void TearDown() override { close(sv[1]); }
    void put(const void* p, size_t n) { ASSERT_EQ(write(sv[1], p, n), (ssize_t)n); }
};

TEST_F(LevelConn, CodesAreGatheredAcrossReadsAndAppliedInOrder)
{
    int32_t codes[5] = {LOG_CODE_DEBUG, LOG_CODE_ERROR, 7, LOG_CODE_INFO, 100};
    const auto* b = reinterpret_cast<const uint8_t*>(codes);
    const int cuts[] = {1, 3, 4, 14, 16, 20}; // read boundaries
    const spdlog::level::level_enum after[] = {spdlog::level::info, spdlog::level::info, spdlog::level::debug,
                                               spdlog::level::err, spdlog::level::info, spdlog::level::info};
    for (int i = 0, from = 0; i < 6; from = cuts[i++]) {
        put(b + from, cuts[i] - from);
        EXPECT_EQ(tcp_log_level(c.core, dev, EVT_READ, IODEV_TCP_ACCEPTED), 0);
        EXPECT_EQ(level(), after[i]) << i;
    }
    EXPECT_EQ(iodev_para(dev), nullptr); // nothing pending
    std::string path = board.host("/var/log/camera.log");
    EXPECT_TRUE(wait_for_log("camera", path, "not match log level:7"));
    ASSERT_TRUE(wait_for_log("camera", path, "log_level:100"));
    std::string text = read_host_file(path); // 7 and 40 came in at err
    EXPECT_TRUE(text.find("log_level:7") == text.npos && text.find("log_level:40") == text.npos);
}

TEST_F(LevelConn, PeerCloseOrHangUpClosesTheDevice)
{
    int n = epcore_iodev_tcpnum(c.core);
    int32_t v[2] = {LOG_CODE_ERROR, LOG_CODE_DEBUG};
    put(v, 6); // a torn code at the end is dropped
    shutdown(sv[1], SHUT_WR);
    EXPECT_EQ(modidy_log_level(c.core, dev), -100);
    EXPECT_EQ(level(), spdlog::level::err);
    EXPECT_EQ(epcore_iodev_tcpnum(c.core), n - 1);

    dev = iodev_new_from_fd(c.core, dup(sv[1]), IODEV_TCP_ACCEPTED, nullptr, tcp_log_level, c.core);
    EXPECT_EQ(tcp_log_level(c.core, dev, EVT_ACCEPT, IODEV_TCP_ACCEPTED), -1);
    EXPECT_EQ(tcp_log_level(c.core, dev, EVT_INVALID, IODEV_TCP_ACCEPTED), 0);
    EXPECT_EQ(epcore_iodev_tcpnum(c.core), n - 1);
}

TEST(LogLevelService, CodesOverTcpInOneAndSeveralMessages)
{
    BoardRoot board;
    start_logging(board, nullptr);
    pumptest::Core c;
    mlisten_t* ml = eptcp_mlisten(c.core, "127.0.0.1", 0, nullptr, tcp_log_level, c.core);
    ASSERT_NE(ml, nullptr);
    ASSERT_TRUE(pumptest::start_pumps(c.core, 2));
    int port = mlisten_port(ml); // chosen when the first pump opened it
    ASSERT_NE(port, 0);
    int fd = pumptest::tcp_client(port), one = 1;
    ASSERT_GE(fd, 0);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    int32_t code = LOG_CODE_DEBUG;
    ASSERT_EQ(send(fd, &code, 4, 0), 4);
    EXPECT_TRUE(wait_until([] { return level() == spdlog::level::debug; }));
    int32_t two[2] = {LOG_CODE_INFO, LOG_CODE_ERROR};
    ASSERT_EQ(send(fd, two, 8, 0), 8);
    EXPECT_TRUE(wait_until([] { return level() == spdlog::level::err; }));
    EXPECT_TRUE(wait_for_log("camera", board.host("/var/log/camera.log"), "==> Accept NewFD="));

    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0); // the device keeps the connection open
    int conns = epcore_iodev_tcpnum(c.core);
    close(fd);
    EXPECT_TRUE(wait_until([&] { return epcore_iodev_tcpnum(c.core) == conns - 1; }));
}

// The orderly stop: a worker that still holds a frame of every pool when
// the stop comes gives them back on its way out, and the pools are looked
// at (then cleaned) only after it has gone.
namespace orderly {

constexpr uint64_t kHolderId = 90001;
constexpr int kPools = 5;

bpool_t* pool_of(epcore_t* core, int i)
{
    bpool_t* const pools[kPools] = {core->raw, core->rgb, core->depth, core->applation_algo,
                                    core->applation_algo_result};
    return pools[i];
}

int s_inUse[kPools];
int s_observed;
pumptest::Latch s_held;

void observe(epcore_t* core)
{
    s_observed++;
    for (int i = 0; i < kPools; i++) s_inUse[i] = pool_of(core, i) ? bpool_fetched_num(pool_of(core, i)) : -1;
}

void* holder_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    void* units[kPools];
    for (int i = 0; i < kPools; i++) units[i] = bpool_fetch(pool_of(core, i));
    s_held.hit();
    while (!core->quit.load() && !wk->quit.load()) event_wait(wk->ioevent, 5);
    // A slow leaver: the teardown must not outrun it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int i = 0; i < kPools; i++) bpool_recycle(pool_of(core, i), units[i]);
    worker_destory(wk);
    return nullptr;
}

// korvid_main on a thread of the test, in the test's namespace; stopped in
// order at the end of the scope if the test has not stopped it.
struct InProcess {
    int rc = -100;
    std::atomic<bool> ended{false};
    std::thread runner{[this] {
        rc = korvid_main(0, nullptr);
        ended.store(true);
    }};
    ~InProcess() { stop(); }
    void stop()
    {
        if (!runner.joinable()) return;
        wait_until([&] { return ended.load() || get_pcore(); }, 60000);
        if (!ended.load()) signal_handler(SIGINT);
        runner.join();
    }
    // Serving once its log-level port answers.
    bool serving()
    {
        return wait_until(
            [] {
                int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                bool up = netns::connect_loopback(fd, LOG_LEVEL_PORT) == 0;
                close(fd);
                return up;
            },
            60000);
    }
};

TEST(KorvidMain, OrderlyStopLeavesNoFrameInUseWhenThePoolsAreCleaned)
{
    netns::Scope ns;
    ASSERT_TRUE(ns.ok);
    Dispositions dispositions;
    BoardRoot board;
    main_set_teardown_observer(observe);
    InProcess korvid;
    ASSERT_TRUE(korvid.serving());
    // The serial line's link goes with the run: left behind, it would name a
    // dead terminal.
    const std::string link = board.host("/.board/ttyS3");
    struct stat st;
    EXPECT_EQ(lstat(link.c_str(), &st), 0) << "no serial link while korvid runs";
    epcore_t* core = get_pcore();
    ASSERT_NE(core, nullptr);
    ASSERT_EQ(worker_create(core, orderly::kHolderId, holder_task), 0);
    ASSERT_TRUE(s_held.wait_for(1));
    for (int i = 0; i < kPools; i++) EXPECT_EQ(bpool_fetched_num(pool_of(core, i)), 1) << i;

    korvid.stop();
    main_set_teardown_observer(nullptr);
    EXPECT_EQ(korvid.rc, 0);
    EXPECT_EQ(get_pcore(), nullptr);
    ASSERT_EQ(s_observed, 1);
    for (int i = 0; i < kPools; i++) EXPECT_EQ(s_inUse[i], 0) << "pool " << i;
    EXPECT_TRUE(wait_for_log("camera", board.host("/var/log/camera.log"), "terminate signal catched"));
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the serial link outlives the run";
}

// A start that fails once the board is published takes the link back too.
TEST(KorvidMain, AStartThatFailsAfterPublishingTheBoardWithdrawsTheSerialLink)
{
    Dispositions dispositions;
    BoardRoot board;
    const std::string link = board.host("/.board/ttyS3");
    testing::internal::CaptureStderr();
    kmem_fail_after(0); // no register space can be had on this thread
    int rc = korvid_main(0, nullptr);
    kmem_fail_after(-1);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -1);
    EXPECT_NE(said.find("(" + link + ")"), std::string::npos) << "not published: " << said;
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the serial link outlives the run";
    EXPECT_TRUE(wait_for_log("camera", board.host("/var/log/camera.log"), "config_init fail."));
}

// A crash handled by signal_handler writes the stack straight to the log
// file (no logger, no allocation) and ends with status 255.
TEST(KorvidMainDeathTest, SegvWritesTheStackToTheLogFileAndEndsWith255)
{
    BoardRoot board;
    EXPECT_EXIT(
        {
            netns::Scope ns;
            InProcess korvid;
            if (!korvid.serving()) _exit(3);
            signal(SIGSEGV, signal_handler);
            raise(SIGSEGV);
            _exit(4);
        },
        ::testing::ExitedWithCode(255), "");
    std::string log = read_host_file(board.host("/var/log/camera.log"));
    size_t at = log.find("backtrace() returned ");
    ASSERT_NE(at, std::string::npos) << log;
    int n = atoi(log.c_str() + at + strlen("backtrace() returned "));
    ASSERT_GT(n, 0);
    size_t lines = 0; // backtrace_symbols_fd lines end "(+offset)[address]"
    for (size_t p = log.find(")[0x", at); p != std::string::npos; p = log.find(")[0x", p + 1)) lines++;
    EXPECT_EQ(lines, (size_t)n);
}

} // namespace orderly

} // namespace
