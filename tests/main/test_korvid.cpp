// The korvid process as a whole: started on a fresh simulated board in a
// network namespace of its own, it serves TCP 9999, keeps a second instance
// out, makes the missing user files, starts on the defaults when its
// register file cannot be read, keeps host text from forging log lines (also
// when stored and logged by the next start), closes a silent file-transfer
// connection after its default time-out and ends on SIGTERM with its stack
// in the log, also under logging load.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/pumptest.h"
#include "base/tmpdir.h"
#include "main/netns.h"
#include "server/filemsg.h"

#ifndef KORVID_BIN
#error "KORVID_BIN names the korvid executable"
#endif

namespace {

using pumptest::wait_until;
using testfs::TempDir;

constexpr int kStartMs = 60000; // sanitizer builds start slowly
constexpr int kLogLevelPort = 9999;
constexpr int kGvcpPort = 3956;
constexpr int kFilePort = 9900;
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
    // A connection to its TCP `port`, once it serves; -1 when it never does.
    int connect_tcp(int port)
    {
        int fd = -1;
        wait_until(
            [&] {
                if (!running()) return true;
                fd = netns::tcp_socket_in(pid);
                if (fd >= 0 && netns::connect_loopback(fd, port) == 0) return true;
                if (fd >= 0) close(fd);
                fd = -1;
                return false;
            },
            kStartMs);
        return fd;
    }
    int connect_log_level() { return connect_tcp(kLogLevelPort); }
    // Serving, so in its own namespace, where a host's sockets are made.
    bool serving()
    {
        int fd = connect_log_level();
        if (fd >= 0) close(fd);
        return fd >= 0;
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

uint32_t be32(const std::string& b, size_t at)
{
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && at + i < b.size(); i++) v = v << 8 | (uint8_t)b[at + i];
    return v;
}
std::string be_words(std::initializer_list<uint32_t> ws)
{
    std::string b;
    for (uint32_t w : ws)
        for (int s = 24; s >= 0; s -= 8) b.push_back((char)(w >> s));
    return b;
}

// A GigE Vision host on the loopback of korvid's namespace.
struct GvcpHost {
    int fd = -1;
    uint16_t id = 1;
    explicit GvcpHost(pid_t pid) : fd(netns::socket_in(pid, SOCK_DGRAM))
    {
        if (fd >= 0 && netns::connect_loopback(fd, kGvcpPort) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~GvcpHost()
    {
        if (fd >= 0) close(fd);
    }
    GvcpHost(const GvcpHost&) = delete;
    GvcpHost& operator=(const GvcpHost&) = delete;

    // The acknowledgement of one request, asked again while none comes (a
    // repeated id is answered from korvid's cache); empty when none does.
    std::string ask(uint16_t command, const std::string& body, int ms = kStartMs)
    {
        uint16_t want = id++;
        std::string req = {0x42, 0x01, (char)(command >> 8), (char)command, (char)(body.size() >> 8),
                           (char)body.size(), (char)(want >> 8), (char)want};
        req += body;
        std::string ack;
        wait_until(
            [&] {
                if (fd < 0) return true;
                send(fd, req.data(), req.size(), MSG_NOSIGNAL);
                pollfd p{fd, POLLIN, 0};
                char buf[1500];
                while (poll(&p, 1, 200) == 1) {
                    ssize_t n = recv(fd, buf, sizeof buf, 0);
                    if (n < 0) return false; // nothing listens yet
                    if (n >= 8 && ((uint8_t)buf[6] << 8 | (uint8_t)buf[7]) == want) {
                        ack.assign(buf, (size_t)n);
                        return true;
                    }
                }
                return false;
            },
            ms);
        return ack;
    }
    static uint16_t status(const std::string& ack) { return ack.size() >= 8 ? (uint16_t)(be32(ack, 0) >> 16) : 0xDEAD; }
    uint16_t write(uint32_t address, uint32_t value) { return status(ask(0x0082, be_words({address, value}))); }
    // The value, or 0xDEADBEEF when the read fails.
    uint32_t read(uint32_t address)
    {
        std::string a = ask(0x0080, be_words({address}));
        return status(a) == 0 && a.size() >= 12 ? be32(a, 8) : 0xDEADBEEF;
    }
    uint16_t writemem(uint32_t address, const std::string& data)
    {
        return status(ask(0x0086, be_words({address}) + data));
    }
};

// The lines of the log that hold `text`.
std::vector<std::string> lines_with(const std::string& log, const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(start, end - start);
        if (line.find(text) != std::string::npos) out.push_back(line);
        start = end + 1;
    }
    return out;
}

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
    ASSERT_TRUE(first.serving()) << "korvid does not serve TCP 9999";
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
    // An empty saved block and the temporary files of saves cut short, one
    // of them named by a host's archive (unpacked into /userdata).
    ASSERT_TRUE(testfs::write_file(b.host("/userdata/config.bin"), ""));
    struct { const char* path; const char* logged; } leftovers[] = {
        {"/userdata/config.bin.tmp-abc123", "/userdata/config.bin.tmp-abc123"},
        {"/userdata/const/config0.bin.tmp-q1w2e3", "/userdata/const/config0.bin.tmp-q1w2e3"},
        {"/userdata/x\n[2026-01-01] FORGED.tmp-abc124", "/userdata/x\\n[2026-01-01] FORGED.tmp-abc124"}};
    for (const auto& f : leftovers) ASSERT_TRUE(testfs::write_file(b.host(f.path), "partial"));
    Korvid k(b.dir.path);
    ASSERT_TRUE(k.serving()) << "korvid does not serve TCP 9999";
    EXPECT_TRUE(b.wait_log("/userdata/config.bin holds 0 bytes, not 3072: the rest from the defaults"));
    EXPECT_TRUE(wait_until([&] { return b.count(" left by an interrupted save") == std::size(leftovers); }, kStartMs));
    std::string log = b.log();
    for (const auto& f : leftovers) {
        EXPECT_EQ(access(b.host(f.path).c_str(), F_OK), -1) << f.path;
        EXPECT_NE(log.find(std::string(f.logged) + " left by an interrupted save"), std::string::npos) << f.logged;
    }
    EXPECT_EQ(log.find("\n[2026-01-01]"), std::string::npos) << "a forged line of its own";
    kill(k.pid, SIGTERM);
    EXPECT_EQ(k.wait_exit(), 255);
}

TEST(Korvid, UnreadableRegisterFileStartsOnTheDefaultsStreamsAndRefusesTheSave)
{
    Board b;
    // A directory where the saved block belongs: it exists and cannot be read.
    for (const char* d : {"/userdata", "/userdata/config.bin"}) ASSERT_EQ(mkdir(b.host(d).c_str(), 0755), 0);
    Korvid k(b.dir.path);
    ASSERT_TRUE(k.serving()) << "korvid does not serve TCP 9999";
    GvcpHost h(k.pid);
    ASSERT_GE(h.fd, 0);
    // The built-in block of the board: its ToF rate and the CAN rate.
    EXPECT_EQ(h.read(0x1000202C), 24u);
    EXPECT_EQ(h.read(0x1000008C), 250000u);
    EXPECT_TRUE(b.wait_log("/userdata/config.bin can not be read: started on the defaults"));
    std::string log = b.log();
    EXPECT_EQ(log.find("Custom_RegInit fail."), std::string::npos) << log;

    // The save still cannot write its file, and says so.
    EXPECT_EQ(h.write(0x10000014, 1), 0xFFFF);

    // A host takes control and receives a stream.
    int rx = netns::socket_in(k.pid, SOCK_DGRAM);
    ASSERT_GE(rx, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len), 0);
    EXPECT_EQ(h.write(0x0938, 60000), 0); // no heartbeat needed meanwhile
    EXPECT_EQ(h.write(0x0A00, 2), 0);
    EXPECT_EQ(h.write(0x0D00, ntohs(a.sin_port)), 0);
    EXPECT_EQ(h.write(0x0D18, INADDR_LOOPBACK), 0);
    EXPECT_EQ(h.write(0x10000000, 1), 0);
    bool leader = wait_until(
        [&] {
            pollfd p{rx, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) return false;
            uint8_t pkt[9000];
            ssize_t n = recv(rx, pkt, sizeof pkt, 0);
            return n >= 20 && pkt[4] == 0x81; // a block's leader
        },
        kStartMs);
    close(rx);
    EXPECT_TRUE(leader) << "no stream block";

    kill(k.pid, SIGTERM);
    EXPECT_EQ(k.wait_exit(), 255);
}

TEST(Korvid, HostTextReachesTheLogEscapedOnItsOwnLine)
{
    Board b;
    Korvid k(b.dir.path);
    int fd = k.connect_log_level();
    ASSERT_GE(fd, 0) << "korvid does not serve TCP 9999";
    ASSERT_TRUE(send_code(fd, 20)); // debug: every line
    EXPECT_TRUE(b.wait_log("log_level:20"));
    close(fd);

    // A memory write whose data carries a line in the log's own format.
    GvcpHost h(k.pid);
    ASSERT_GE(h.fd, 0);
    // A backslash before "n" is told from the line break; DEL is no text.
    const std::string forged = "x\n[2026-01-01 00:00:00.000000] [critical] [1] FORGED-MEM\x01\\n\x7f";
    EXPECT_EQ(h.writemem(0x1000B178 + 0x100, forged), 0); // user.bin
    // An upload whose digest text does the same in its 32 characters.
    int tcp = k.connect_tcp(kFilePort);
    ASSERT_GE(tcp, 0) << "korvid does not serve TCP 9900";
    const std::string digest = "\r\n[2026-01-01 00:00:00] FORGED-5";
    ASSERT_EQ(digest.size(), 32u);
    using namespace filemsg;
    std::string upload = header(FILE_MSG_UPLOAD_START) + msg_header(CAM_INTR_FILE, digest, 2) + chunk("{}") +
                         header(FILE_MSG_UPLOAD_END);
    ASSERT_EQ(send(tcp, upload.data(), upload.size(), MSG_NOSIGNAL), (ssize_t)upload.size());
    std::string answers;
    wait_until(
        [&] {
            char buf[64];
            pollfd p{tcp, POLLIN, 0};
            if (poll(&p, 1, 100) == 1) {
                ssize_t n = recv(tcp, buf, sizeof buf, 0);
                if (n <= 0) return true;
                answers.append(buf, (size_t)n);
            }
            return answers.size() >= 3 * 16;
        },
        kStartMs);
    close(tcp);
    ASSERT_EQ(answers.size(), 3u * 16);
    EXPECT_EQ(get32(answers, 2 * 16 + 12), 1u) << "the digest does not match";

    ASSERT_TRUE(b.wait_log("recv_md5:"));
    std::string log = b.log();
    EXPECT_TRUE(lines_with(log, "[2026-01-01").size() == 2) << log;
    std::vector<std::string> mem = lines_with(log, "FORGED-MEM");
    ASSERT_EQ(mem.size(), 1u) << log;
    EXPECT_NE(mem[0].find("address:1000b278 x\\n[2026-01-01 00:00:00.000000] [critical] [1] FORGED-MEM\\x01\\\\n\\x7f"),
              std::string::npos)
        << mem[0];
    std::vector<std::string> md5 = lines_with(log, "FORGED-5");
    ASSERT_EQ(md5.size(), 1u) << log;
    EXPECT_NE(md5[0].find("recv_md5:\\r\\n[2026-01-01 00:00:00] FORGED-5"), std::string::npos) << md5[0];
    EXPECT_EQ(log.find("\n[2026-01-01"), std::string::npos) << "a forged line of its own";

    kill(k.pid, SIGTERM);
    EXPECT_EQ(k.wait_exit(), 255);
}

// Board code and serial a host wrote are kept in vendor storage and logged by
// the next start: escaped there too, so neither forges a line of its own.
TEST(Korvid, StoredBoardCodeAndSerialReachTheNextStartsLogEscaped)
{
    Board b;
    const std::string code = "F1\n[2026-01-01 00:00:00.000000] [error] [1] FORGED-CODE";
    const std::string serial = "0123456789\n[SER]";
    {
        Korvid k(b.dir.path);
        ASSERT_TRUE(k.serving()) << "korvid does not serve TCP 9999";
        GvcpHost h(k.pid);
        ASSERT_GE(h.fd, 0);
        EXPECT_EQ(h.writemem(0x1000B148, code), 0);
        EXPECT_EQ(h.writemem(0x1000B138, serial), 0);
        kill(k.pid, SIGTERM);
        EXPECT_EQ(k.wait_exit(), 255);
    }
    Korvid again(b.dir.path);
    // Both starts log vendor and serial lines, only the second an id line.
    ASSERT_TRUE(wait_until(
        [&] { return b.count("dev vender:") == 2 && b.count("dev serial:") == 2 && b.count("dev id:") == 1; },
        kStartMs));
    std::string log = b.log();
    EXPECT_NE(log.find("dev vender:F1\\n[2026-01-01 00:00:00.000000] [error] [1] FORGED-CODE"), std::string::npos);
    // The month character is the code's fourth: '[' is none, so it is logged too.
    EXPECT_NE(log.find("dev id:F1\\n[2026-01-01 00:00:00.000000] [error] [1] FORGED-CODE,4:\\n,6:[,54?54,"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("dev serial:0123456789\\n[SER]"), std::string::npos) << log;
    EXPECT_EQ(log.find("\n[2026-01-01"), std::string::npos) << "a forged line of its own";
    EXPECT_EQ(log.find("\n[SER]"), std::string::npos) << "a forged line of its own";
    kill(again.pid, SIGTERM);
    EXPECT_EQ(again.wait_exit(), 255);
}

// Without a time-out set, a file-transfer connection that sends nothing is
// closed after the default 10 s (wide margins: a loaded machine runs late).
TEST(Korvid, SilentFileTransferConnectionIsClosedAfterAboutTenSeconds)
{
    Board b;
    Korvid k(b.dir.path);
    int fd = k.connect_tcp(kFilePort);
    ASSERT_GE(fd, 0) << "korvid does not serve TCP 9900";
    auto start = std::chrono::steady_clock::now();
    bool closed = wait_until(
        [&] {
            char c;
            pollfd p{fd, POLLIN, 0};
            return poll(&p, 1, 100) == 1 && recv(fd, &c, 1, 0) <= 0;
        },
        30000);
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    close(fd);
    ASSERT_TRUE(closed) << "still open after 30 s";
    EXPECT_GE(waited.count(), 8000);
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
