// The korvid process as a whole: started on a fresh simulated board in a
// network namespace of its own, it serves TCP 9999, keeps a second instance
// out, makes the missing user files, refuses a register file it cannot read
// and ends on SIGTERM with its stack in the log, also under logging load.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "base/pumptest.h"
#include "base/tmpdir.h"
#include "main/netns.h"

#ifndef KORVID_BIN
#error "KORVID_BIN names the korvid executable"
#endif

namespace {

using pumptest::wait_until;
using testfs::TempDir;

constexpr int kStartMs = 60000; // sanitizer builds start slowly
constexpr int kLogLevelPort = 9999;
constexpr int kUserFileBytes = 131072;

// One korvid process on the board under `root`, in its own network
// namespace; killed at the end of the scope when still running.
struct Korvid {
    pid_t pid = -1;
    int out = -1; // its standard output
    int status = -1;
    bool ended = false;
    std::string stdout_text;

    explicit Korvid(const std::string& root, const char* profile = "rk3588-gpixel")
    {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return;
        // Everything the child needs is made before the fork.
        std::string r = root;
        const char* argv[] = {"korvid", "--board-root", r.c_str(), "--board", profile, nullptr};
        pid = fork();
        if (pid == 0) {
            dup2(p[1], STDOUT_FILENO);
            if (unshare(CLONE_NEWNET) != 0 || netns::loopback_up() != 0) _exit(120);
            execv(KORVID_BIN, const_cast<char* const*>(argv));
            _exit(127);
        }
        close(p[1]);
        out = p[0];
        fcntl(out, F_SETFL, O_NONBLOCK);
    }
    ~Korvid()
    {
        if (pid > 0 && !ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        if (out >= 0) close(out);
    }
    Korvid(const Korvid&) = delete;
    Korvid& operator=(const Korvid&) = delete;

    void drain()
    {
        char buf[4096];
        ssize_t n;
        while ((n = read(out, buf, sizeof buf)) > 0) stdout_text.append(buf, (size_t)n);
    }
    // Waits, bounded, for the process to end; its exit status, or -1 while
    // it runs or when a signal ended it.
    int wait_exit(int ms = kStartMs)
    {
        wait_until(
            [&] {
                drain();
                if (!ended && waitpid(pid, &status, WNOHANG) == pid) ended = true;
                return ended;
            },
            ms);
        drain();
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool running() { return !ended && waitpid(pid, &status, WNOHANG) == 0; }
    // A connection to its TCP 9999, once it serves; -1 when it never does.
    int connect_log_level()
    {
        int fd = -1;
        wait_until(
            [&] {
                if (!running()) return true;
                fd = netns::tcp_socket_in(pid);
                if (fd >= 0 && netns::connect_loopback(fd, kLogLevelPort) == 0) return true;
                if (fd >= 0) close(fd);
                fd = -1;
                return false;
            },
            kStartMs);
        return fd;
    }
};

struct Board {
    TempDir dir{"korvid-proc"};
    std::string host(const std::string& boardPath) const { return dir.path + boardPath; }
    std::string log() const { return testfs::read_file(host("/var/log/camera.log")); }
    bool wait_log(const std::string& text, int ms = kStartMs) const
    {
        return wait_until([&] { return log().find(text) != std::string::npos; }, ms);
    }
    size_t count(const std::string& text) const
    {
        std::string s = log();
        size_t n = 0;
        for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) n++;
        return n;
    }
};

bool send_code(int fd, int32_t code) { return send(fd, &code, 4, MSG_NOSIGNAL) == 4; }

// Exactly 131072 zero bytes.
::testing::AssertionResult zero_user_file(const std::string& path)
{
    std::string s = testfs::read_file(path);
    if (s == "<missing>") return ::testing::AssertionFailure() << path << " missing";
    if (s.size() != (size_t)kUserFileBytes) return ::testing::AssertionFailure() << path << " holds " << s.size();
    if (s.find_first_not_of('\0') != std::string::npos) return ::testing::AssertionFailure() << path << " not zero";
    return ::testing::AssertionSuccess();
}

TEST(Korvid, SecondInstanceExitsZeroAfterMakingTheMissingUserFiles)
{
    Board b;
    Korvid first(b.dir.path);
    int fd = first.connect_log_level();
    ASSERT_GE(fd, 0) << "korvid does not serve TCP 9999";
    close(fd);
    const std::string user = b.host("/userdata/const/user.bin");
    const std::string custom = b.host("/userdata/const/user_custom.bin");
    EXPECT_TRUE(zero_user_file(user));
    EXPECT_TRUE(zero_user_file(custom));

    // Missing again: the second start makes them before it meets the lock.
    ASSERT_EQ(unlink(user.c_str()), 0);
    ASSERT_EQ(unlink(custom.c_str()), 0);
    Korvid second(b.dir.path);
    EXPECT_EQ(second.wait_exit(), 0);
    EXPECT_NE(second.stdout_text.find("Another instance is already running.\n"), std::string::npos)
        << second.stdout_text;
    EXPECT_TRUE(b.wait_log("Another instance is already running."));
    EXPECT_TRUE(zero_user_file(user));
    EXPECT_TRUE(zero_user_file(custom));

    EXPECT_TRUE(first.running());
    kill(first.pid, SIGTERM);
    EXPECT_EQ(first.wait_exit(), 255);
}

TEST(Korvid, StartOnADamagedBoardRootCompletesTheBlockAndClearsInterruptedSaves)
{
    Board b;
    for (const char* d : {"/userdata", "/userdata/const"}) ASSERT_EQ(mkdir(b.host(d).c_str(), 0755), 0);
    // An empty saved block and the temporary files of two saves cut short.
    ASSERT_TRUE(testfs::write_file(b.host("/userdata/config.bin"), ""));
    const char* leftovers[] = {"/userdata/config.bin.tmp-abc123", "/userdata/const/config0.bin.tmp-q1w2e3"};
    for (const char* f : leftovers) ASSERT_TRUE(testfs::write_file(b.host(f), "partial"));
    Korvid k(b.dir.path);
    int fd = k.connect_log_level();
    ASSERT_GE(fd, 0) << "korvid does not serve TCP 9999";
    close(fd);
    EXPECT_TRUE(b.wait_log("/userdata/config.bin holds 0 bytes, not 3072: the rest from the defaults"));
    for (const char* f : leftovers) {
        EXPECT_EQ(access(b.host(f).c_str(), F_OK), -1) << f;
        EXPECT_TRUE(b.wait_log(std::string(f) + " left by an interrupted save")) << f;
    }
    kill(k.pid, SIGTERM);
    EXPECT_EQ(k.wait_exit(), 255);
}

TEST(Korvid, UnreadableRegisterFileEndsStartWithMinusOne)
{
    Board b;
    // A directory where the saved block belongs: it exists and cannot be read.
    for (const char* d : {"/userdata", "/userdata/config.bin"}) ASSERT_EQ(mkdir(b.host(d).c_str(), 0755), 0);
    Korvid k(b.dir.path);
    EXPECT_EQ(k.wait_exit(), 255);
    std::string log = b.log();
    EXPECT_NE(log.find("Custom_RegInit fail."), std::string::npos) << log;
    EXPECT_NE(log.find("config_init fail."), std::string::npos) << log;
    EXPECT_EQ(log.find("Bootstrap_RegInit fail."), std::string::npos);
}

TEST(Korvid, HangupIsLoggedAndTerminateUnderLoggingLoadEndsWith255AfterTheStack)
{
    Board b;
    Korvid k(b.dir.path);
    int fd = k.connect_log_level();
    ASSERT_GE(fd, 0) << "korvid does not serve TCP 9999";
    ASSERT_TRUE(send_code(fd, 20));
    EXPECT_TRUE(b.wait_log("log_level:20"));

    kill(k.pid, SIGHUP);
    EXPECT_TRUE(b.wait_log("hangup signal catched"));
    EXPECT_TRUE(k.running());
    ASSERT_TRUE(send_code(fd, 40));
    EXPECT_TRUE(b.wait_log("log_level:40")); // still serving

    // Load: the pump logs every code it is sent while the signal arrives.
    std::atomic<bool> stop{false};
    std::thread load([&] {
        while (!stop.load() && send_code(fd, 100)) {
        }
    });
    EXPECT_TRUE(b.wait_log("log_level:100"));
    kill(k.pid, SIGTERM);
    int rc = k.wait_exit();
    stop.store(true);
    shutdown(fd, SHUT_RDWR);
    load.join();
    close(fd);
    ASSERT_EQ(rc, 255);

    std::string log = b.log();
    size_t at = log.find("backtrace() returned ");
    ASSERT_NE(at, std::string::npos);
    int n = atoi(log.c_str() + at + strlen("backtrace() returned "));
    ASSERT_GT(n, 0);
    for (int i = 0; i < n; i++) {
        char idx[16];
        snprintf(idx, sizeof idx, "] [%02d] ", i);
        EXPECT_NE(log.find(idx, at), std::string::npos) << "stack line " << i << " missing";
    }
}

TEST(Korvid, Rk3568StartsItsColourCameraThroughTheIspAndItsLibrary)
{
    Board b;
    Korvid k(b.dir.path, "rk3568-v23");
    EXPECT_TRUE(b.wait_log("sns_entity_name:m00_b_sc230ai 4-0030")) << b.log();
    EXPECT_TRUE(b.wait_log("isp_init success")) << b.log();
    EXPECT_EQ(b.count("sensor rgb init fail."), 0u);
    kill(k.pid, SIGTERM);
    EXPECT_EQ(k.wait_exit(), 255);
}

} // namespace
