// Modbus tasks: the RTU request handler on frames, the slave end to end on
// a pseudo-terminal line (socat) driven by mbpoll and by libmodbus's own
// master, and the TCP server on loopback with libmodbus's client and a
// stand-in result service.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "algo/algo_app.h"
#include "algo/algo_server.h"
#include "algo/algotest.h"
#include "base/tmpdir.h"
#include "main/netns.h"
#include "common/custom.h"
#include "main/main.h"
#include "modbus/modbus_task.h"
#include "platform/boardroot.h"
#include "server/udp_server.h"

extern char** environ;

using namespace algotest;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32 kModeNone = 0, kModePallet = 2, kModeAvoid2 = 4;

Bytes request(uint8_t slave, uint8_t function, uint16_t reg, uint16_t value)
{
    return {slave, function, (uint8_t)(reg >> 8), (uint8_t)reg, (uint8_t)(value >> 8), (uint8_t)value};
}

template <typename T>
Bytes bytes_of(const T& v)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&v);
    return Bytes(p, p + sizeof(v));
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
    return out;
}

// A pallet result as depth processing stores it; the widths are never sent.
RS485Info pallet_result()
{
    RS485Info r{};
    r.result = 0x11223344, r.x = 1.5f, r.y = -2.25f, r.yaw = 0.5f, r.height = 700;
    r.leftHoleWidth = r.rightHoleWidth = r.middleLegWidth = -1;
    return r;
}

// What the pallet read answers for ten registers: x, y, yaw, result, height.
Bytes pallet_data(const RS485Info& r)
{
    return cat({bytes_of(r.x), bytes_of(r.y), bytes_of(r.yaw), bytes_of(r.result), bytes_of(r.height)});
}

// A result record outside any pool.
struct Record {
    alignas(8) uint8_t mem[sizeof(ImageInfo) + sizeof(RS485Info)] = {};
    explicit Record(const RS485Info& r)
    {
        img()->imageSize = sizeof(RS485Info);
        memcpy(img()->imageData, &r, sizeof(r));
    }
    ImageInfo* img() { return reinterpret_cast<ImageInfo*>(mem); }
};

void drop(modbus_t* m)
{
    modbus_close(m);
    modbus_free(m);
}

struct Answers {
    std::vector<Bytes> sent;
    ModbusRtuSink sink{[](void* c, const uint8* a, int n) {
                           static_cast<Answers*>(c)->sent.emplace_back(a, a + n);
                           return n;
                       },
                       this};
};

struct Slave : ::testing::Test {
    LogCapture log;
    BoardRoot board;
    Registers regs;
    FrameCore fc;

    void SetUp() override
    {
        ASSERT_EQ(board.rc, 0);
        algo_server_reset();
        gpcore = fc.core;
        board_is(E_CPU_RK3588, E_GPIXEL_0503);
        reg_store(regs.run.avoidTmpParam, 0xFFFFu);
    }
    void TearDown() override
    {
        fc.stop_tasks();
        gpcore = nullptr;
    }
    void board_is(uint32 cpu, uint32 tofKind) { reg_store(regs.run.cpuId, cpu), reg_store(regs.tof().sensorType, tofKind); }
    uint32 mode() { return reg_load(regs.cfg.common.enableApplationAlgo); }
    void set_mode(uint32 m) { reg_store(regs.cfg.common.enableApplationAlgo, m); }
};

/* ---- The request handler ---- */

using Handler = Slave;

TEST_F(Handler, WritesAreCarriedOutAndEchoedButNeverAnsweredToABroadcast)
{
    struct Case {
        const char* what;
        uint32 cpu, kind;
        Bytes req;
        bool answered;
        uint32 mode, tmpZone; // afterwards
        int appZone;          // held by the avoidance application, -1 untouched
        const char* logged;
    };
    const Case cases[] = {
        {"on", E_CPU_RK3588, E_GPIXEL_0503, request(23, 6, 0x78, 5), true, 2, 0xFFFF, -1, nullptr},
        {"off", E_CPU_RK3588, E_GPIXEL_0503, request(23, 6, 0x78, 0), true, 0, 0xFFFF, -1, nullptr},
        {"zone on RK3568", E_CPU_RK3568, E_IMX570, request(23, 6, 0x6A, 7), true, 0, 7, -1, "AVOID modbus setting:7"},
        {"zone 19, the highest", E_CPU_RK3568, E_IMX570, request(23, 6, 0x6A, 19), true, 0, 19, -1,
         "AVOID modbus setting:19"},
        {"zone 20 refused", E_CPU_RK3568, E_IMX570, request(23, 6, 0x6A, 20), false, 0, 0xFFFF, -1,
         "AVOID modbus setting error:20 > 19"},
        {"zone elsewhere", E_CPU_RK3588, E_IMX570, request(23, 6, 0x6A, 5), true, 0, 0xFFFF, 5,
         "algo_avoid_set_zone_index ret:0"},
        {"other register", E_CPU_RK3588, E_GPIXEL_0503, request(23, 6, 0x100, 9), true, 0, 0xFFFF, -1, nullptr},
        {"broadcast on", E_CPU_RK3588, E_GPIXEL_0503, request(0, 6, 0x78, 1), false, 2, 0xFFFF, -1, nullptr},
        {"broadcast zone", E_CPU_RK3568, E_IMX570, request(0, 6, 0x6A, 3), false, 2, 3, -1, nullptr},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        board_is(k.cpu, k.kind);
        algo_server_reset();
        reg_store(regs.run.avoidTmpParam, 0xFFFFu);
        Answers a;
        // No record waits: writes do not need one.
        int n = modbus_rtu_handle(k.req.data(), (int)k.req.size(), nullptr, &a.sink);
        if (k.answered) {
            EXPECT_EQ(n, 6);
            ASSERT_EQ(a.sent.size(), 1u);
            EXPECT_EQ(a.sent[0], k.req);
        } else {
            EXPECT_EQ(n, 0);
            EXPECT_TRUE(a.sent.empty());
        }
        EXPECT_EQ(mode(), k.mode);
        EXPECT_EQ(reg_load(regs.run.avoidTmpParam), k.tmpZone);
        if (k.appZone >= 0) { EXPECT_EQ(algo_avoid_get_zone_index2(), k.appZone); }
        if (k.logged) { EXPECT_TRUE(log.has(k.logged)); }
    }
}

TEST_F(Handler, ReadsAnswerTheResultOfTheirModeWithZerosPastIt)
{
    RS485Info pallet = pallet_result();
    RS485Info avoid{};
    avoid.result = (int32)htonl(0x00000203);
    avoid.x = 9.0f; // not part of the avoidance answer
    Record palletRec(pallet), avoidRec(avoid);
    const Bytes palletData = pallet_data(pallet);
    const Bytes avoidData = bytes_of(avoid.result);
    auto zeros = [](size_t n) { return Bytes(n, 0); };

    struct Case {
        const char* what;
        uint32 mode;
        Bytes req;
        ImageInfo* rec;
        Bytes answer; // empty: none
    };
    const Case cases[] = {
        {"pallet 10", kModePallet, request(23, 4, 0x7A, 10), palletRec.img(), cat({{23, 4, 20}, palletData})},
        {"pallet 2", kModePallet, request(23, 4, 0x7A, 2), palletRec.img(), cat({{23, 4, 4}, bytes_of(pallet.x)})},
        {"pallet 12", kModePallet, request(23, 4, 0x7A, 12), palletRec.img(), cat({{23, 4, 24}, palletData, zeros(4)})},
        {"avoid 2", kModeAvoid2, request(23, 4, 0x6C, 2), avoidRec.img(), cat({{23, 4, 4}, avoidData})},
        {"avoid 10", kModeAvoid2, request(23, 4, 0x6C, 10), avoidRec.img(), cat({{23, 4, 20}, avoidData, zeros(16)})},
        {"avoid 125", kModeAvoid2, request(23, 4, 0x6C, 125), avoidRec.img(),
         cat({{23, 4, 250}, avoidData, zeros(246)})},
        // Counts Modbus does not allow get exception 3.
        {"count 0", kModePallet, request(23, 4, 0x7A, 0), palletRec.img(), {23, 0x84, 3}},
        {"count 126", kModePallet, request(23, 4, 0x7A, 126), palletRec.img(), {23, 0x84, 3}},
        {"count 65535", kModePallet, request(23, 4, 0x7A, 0xFFFF), palletRec.img(), {23, 0x84, 3}},
        // Unanswered.
        {"avoid in pallet mode", kModePallet, request(23, 4, 0x6C, 2), avoidRec.img(), {}},
        {"pallet in avoid mode", kModeAvoid2, request(23, 4, 0x7A, 10), palletRec.img(), {}},
        {"no mode", kModeNone, request(23, 4, 0x7A, 10), palletRec.img(), {}},
        {"no record", kModePallet, request(23, 4, 0x7A, 10), nullptr, {}},
        {"other register", kModePallet, request(23, 4, 0x7B, 10), palletRec.img(), {}},
        {"broadcast", kModePallet, request(0, 4, 0x7A, 10), palletRec.img(), {}},
        {"broadcast count 200", kModePallet, request(0, 4, 0x7A, 200), palletRec.img(), {}},
        {"function 3", kModePallet, request(23, 3, 0x7A, 10), palletRec.img(), {}},
        {"short frame", kModePallet, Bytes{23, 4, 0, 0x7A, 0}, palletRec.img(), {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        set_mode(k.mode);
        Answers a;
        int n = modbus_rtu_handle(k.req.data(), (int)k.req.size(), k.rec, &a.sink);
        EXPECT_EQ(n, (int)k.answer.size());
        if (k.answer.empty()) {
            EXPECT_TRUE(a.sent.empty());
        } else {
            ASSERT_EQ(a.sent.size(), 1u);
            EXPECT_EQ(a.sent[0], k.answer);
        }
    }
}

/* ---- End to end on a pseudo-terminal line ---- */

// A child process, killed and reaped when it goes out of scope.
struct Child {
    pid_t pid = -1;
    int out = -1;
    // Output (standard output and error) to a pipe when `capture`, else discarded.
    Child(const std::vector<std::string>& args, bool capture)
    {
        int fds[2] = {-1, -1};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (capture && pipe2(fds, O_CLOEXEC) == 0) {
            posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
            posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
        } else {
            posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        }
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        if (fds[1] >= 0) close(fds[1]);
        out = fds[0];
    }
    ~Child()
    {
        if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
        if (out >= 0) close(out);
    }
    Child(const Child&) = delete;

    // Its output until it ends (killed after ms each for the output and the
    // exit); its exit code in *status, -1 when it was killed.
    std::string finish(int ms, int* status)
    {
        std::string text;
        using namespace std::chrono;
        auto end = steady_clock::now() + milliseconds(ms);
        char buf[512];
        for (pollfd p{out, POLLIN, 0}; out >= 0;) {
            int left = (int)duration_cast<milliseconds>(end - steady_clock::now()).count();
            ssize_t n = left > 0 && poll(&p, 1, left) > 0 ? read(out, buf, sizeof(buf)) : 0;
            if (n <= 0) break;
            text.append(buf, (size_t)n);
        }
        if (pid > 0) {
            int st = 0;
            bool ended = wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, ms);
            if (!ended) kill(pid, SIGKILL), waitpid(pid, &st, 0);
            *status = ended && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            pid = -1;
        }
        return text;
    }
};

bool tool_present(const char* name)
{
    return system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// The board's serial port joined to a host end by socat; the slave runs in
// this process as worker 526.
struct Line : Slave {
    testfs::TempDir dir{"korvid-modbus"};
    std::unique_ptr<Child> socat;
    std::string dev = dir / "ttyDev";
    std::string host = dir / "ttyHost";

    void SetUp() override
    {
        Slave::SetUp();
        if (!tool_present("socat") || !tool_present("mbpoll")) GTEST_SKIP() << "socat and mbpoll are needed";
        socat = std::make_unique<Child>(std::vector<std::string>{"socat", "-d", "-d",
                                                                 "pty,raw,echo=0,link=" + dev,
                                                                 "pty,raw,echo=0,link=" + host},
                                        false);
        ASSERT_GT(socat->pid, 0);
        ASSERT_TRUE(wait_until([&] { return access(dev.c_str(), F_OK) == 0 && access(host.c_str(), F_OK) == 0; }));
        ASSERT_EQ(sim_bind_path(MODBUS_RTU_DEVICE, dev.c_str()), 0);
    }
    void TearDown() override { Slave::TearDown(), socat.reset(); } // the slave goes before its line

    // Starts the slave and waits until it listens on the line.
    void start_slave()
    {
        size_t from = sim_journal_count();
        fc.start(E_WORKER_ID_RS485, modbus_task);
        ASSERT_GE(sim_journal_wait("echo 0 > /sys/class/gpio/gpio138/value", from, 5000), 0);
    }
    void stop_slave()
    {
        worker_stop(epcore_worker_find(fc.core, E_WORKER_ID_RS485));
        ASSERT_TRUE(fc.gone(E_WORKER_ID_RS485));
    }
    void post(const RS485Info& r) { ASSERT_EQ(algo_pallet_rs485(fc.core, &r), 0); }
    std::string mbpoll(std::vector<std::string> args, int* status)
    {
        std::vector<std::string> all = {"mbpoll", "-m", "rtu", "-b", "9600", "-P", "none", "-0", "-1", "-o", "2"};
        all.insert(all.end(), args.begin(), args.end());
        return Child(all, true).finish(15000, status);
    }
    // libmodbus's master on the host end.
    modbus_t* master(int slave)
    {
        modbus_t* m = modbus_new_rtu(host.c_str(), MODBUS_RTU_BAUD, 'N', 8, 1);
        if (m && (modbus_set_slave(m, slave), modbus_set_response_timeout(m, 2, 0), modbus_connect(m) != 0)) {
            modbus_free(m);
            return nullptr;
        }
        return m;
    }
    long answers_since(size_t from)
    {
        const char* up = "echo 1 > /sys/class/gpio/gpio138/value";
        long n = 0;
        for (long i = sim_journal_find(up, from); i >= 0; i = sim_journal_find(up, (size_t)i + 1)) n++;
        return n;
    }
};

TEST_F(Line, MbpollWritesTheApplicationOnAndReadsThePalletResult)
{
    start_slave(); // modbusAddress 0: the slave answers 23
    // The write is answered although no result record waits.
    int status = 0;
    std::string out = mbpoll({"-a", "23", "-t", "4", "-r", "120", host, "5"}, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Written 1 references"), std::string::npos) << out;
    EXPECT_EQ(mode(), kModePallet);

    RS485Info r = pallet_result();
    post(r);
    out = mbpoll({"-a", "23", "-t", "3", "-r", "122", "-c", "10", host}, &status);
    EXPECT_EQ(status, 0) << out;
    Bytes data = pallet_data(r);
    for (int i = 0; i < 10; i++) {
        // mbpoll shows each register big-endian, unsigned first.
        unsigned v = (unsigned)(data[2 * i] << 8 | data[2 * i + 1]);
        char line[48];
        snprintf(line, sizeof(line), "[%d]: \t%u%s", 122 + i, v, v & 0x8000 ? " (" : "\n");
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
    EXPECT_TRUE(wait_until([&] { return fc.fetched() == 0; })); // the record was consumed
}

TEST_F(Line, BadCountsGetException3AndBroadcastsAreCarriedOutUnanswered)
{
    start_slave();
    modbus_t* m = master(23);
    ASSERT_NE(m, nullptr);
    set_mode(kModePallet);
    post(pallet_result());
    const Bytes bad = request(23, 4, 0x7A, 200);
    ASSERT_EQ(modbus_send_raw_request(m, bad.data(), (int)bad.size()), 8);
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    ASSERT_EQ(modbus_receive_confirmation(m, rsp), 5);
    EXPECT_EQ(Bytes(rsp, rsp + 3), (Bytes{23, 0x84, 3}));
    ASSERT_TRUE(wait_until([&] { return fc.fetched() == 0; }));

    // A broadcast zone selection is taken by the avoidance application and
    // gets no answer: the next answer on the line is the read's.
    size_t from = sim_journal_count();
    const Bytes bcast = request(0, 6, 0x6A, 5);
    ASSERT_EQ(modbus_send_raw_request(m, bcast.data(), (int)bcast.size()), 8);
    ASSERT_TRUE(wait_until([&] { return algo_avoid_get_zone_index2() == 5; }));
    post(pallet_result());
    uint16_t regs10[10];
    EXPECT_EQ(modbus_read_input_registers(m, 0x7A, 10, regs10), 10) << modbus_strerror(errno);
    EXPECT_EQ(answers_since(from), 1);
    drop(m);
}

TEST_F(Line, SlaveAddressComesFromTheRegisterAndAboveTheRangeStopsTheTask)
{
    struct Case {
        uint32 reg;
        int answers; // -1: the task ends
        const char* logged;
    };
    const Case cases[] = {{0, 23, nullptr}, {5, 5, "modbusAddress:0x5"}, {247, 247, "modbusAddress:0xf7"},
                          {248, -1, "error modbus address:0xf8"}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.reg);
        reg_store(regs.cfg.common.modbusAddress, k.reg);
        if (k.answers < 0) {
            fc.start(E_WORKER_ID_RS485, modbus_task);
            EXPECT_TRUE(fc.gone(E_WORKER_ID_RS485));
            EXPECT_TRUE(log.has(k.logged));
            continue;
        }
        start_slave();
        if (k.logged) { EXPECT_TRUE(log.has(k.logged)); }
        modbus_t* m = master(k.answers);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(modbus_write_register(m, MODBUS_REG_APPLICATION, 1), 1) << modbus_strerror(errno);
        drop(m);
        stop_slave();
    }
}

TEST_F(Line, WithoutItsSerialPortTheTaskEnds)
{
    ASSERT_EQ(sim_bind_path(MODBUS_RTU_DEVICE, nullptr), 0); // "/dev/ttyS3" is not on the board
    fc.start(E_WORKER_ID_RS485, modbus_task);
    EXPECT_TRUE(fc.gone(E_WORKER_ID_RS485));
}

/* ---- Modbus TCP ---- */

// Answers each "RESULT_UPDATE" query on 127.0.0.1:14949 with `answer`.
struct ResultService {
    testfs::Fd fd{socket(AF_INET, SOCK_DGRAM, 0)};
    std::atomic<bool> stop{false};
    std::atomic<int> queries{0};
    std::mutex mu;
    SSResult answer{};
    std::thread th;
    bool ok = false;

    ResultService()
    {
        sockaddr_in a{AF_INET, htons(UDP_ALGO_SERVICE_PORT), {htonl(INADDR_LOOPBACK)}, {}};
        ok = fd >= 0 && bind(fd, (sockaddr*)&a, sizeof a) == 0;
        if (ok) th = std::thread([this] { run(); });
    }
    ~ResultService()
    {
        stop = true;
        if (th.joinable()) th.join();
    }
    void set(uint8_t base)
    {
        std::lock_guard<std::mutex> lk(mu);
        for (int i = 0; i < 16; i++) answer.index[i] = (uint8_t)(base + i), answer.res[i] = (uint8_t)(base + 0x80 + i);
    }
    void run()
    {
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) continue;
            char buf[64];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(fd, buf, sizeof buf, 0, (sockaddr*)&from, &len);
            if (n <= 0 || strncmp(buf, "RESULT_UPDATE", 13) != 0) continue;
            std::unique_lock<std::mutex> lk(mu);
            SSResult a = answer;
            lk.unlock();
            queries++;
            sendto(fd, &a, sizeof a, 0, (sockaddr*)&from, len);
        }
    }
};

struct TcpServer : Slave {
    // The result service's port is fixed: a network namespace of the test's
    // own, made before any socket or task, keeps it from other tests.
    netns::Scope ns;
    // The server listens anew for each client: on a port the test holds
    // (shared, never listening) so nothing else takes it in between.
    pumptest::HeldPort held{SOCK_STREAM, true};
    int port = held.port;
    void TearDown() override { Slave::TearDown(), modbus_tcp_set_endpoint(nullptr, 0); }
    modbus_t* client()
    {
        modbus_t* c = modbus_new_tcp("127.0.0.1", port);
        if (c && (modbus_set_response_timeout(c, 2, 0), !wait_until([&] { return modbus_connect(c) == 0; }))) {
            modbus_free(c);
            return nullptr;
        }
        return c;
    }
};

TEST_F(TcpServer, ServesItsTablesAndTheResultServiceAnswersToOneClientAtATime)
{
    auto service = std::make_unique<ResultService>();
    ASSERT_TRUE(ns.ok);
    ASSERT_TRUE(service->ok);
    modbus_tcp_set_endpoint("127.0.0.1", port);
    fc.start(E_WORKER_ID_MODBUS_TCP, modbus_tcp_task);

    modbus_t* c = client();
    ASSERT_NE(c, nullptr);
    // Discrete inputs from AC DB 35, least significant bit first.
    uint8_t bits[TCP_INPUT_BITS_NB];
    ASSERT_EQ(modbus_read_input_bits(c, TCP_INPUT_BITS_ADDRESS, TCP_INPUT_BITS_NB, bits), TCP_INPUT_BITS_NB);
    for (int i = 0; i < TCP_INPUT_BITS_NB; i++) EXPECT_EQ(bits[i], (TCP_INPUT_BITS_TAB[i / 8] >> (i % 8)) & 1) << i;

    // Register reads take the service's latest answer, one byte per register.
    struct Case {
        int (*read)(modbus_t*, int, int, uint16_t*);
        int addr;
        uint8_t base;
    };
    const Case cases[] = {{modbus_read_input_registers, TCP_INPUT_REGISTERS_ADDRESS, 0x10},
                          {modbus_read_registers, TCP_REGISTERS_ADDRESS, 0x20}};
    auto table_is = [&](const Case& k) {
        uint16_t regs16[16];
        if (k.read(c, k.addr, 16, regs16) != 16) return false;
        for (int i = 0; i < 8; i++)
            if (regs16[i] != k.base + i || regs16[8 + i] != k.base + 0x80 + i) return false;
        return true;
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.addr);
        service->set(k.base);
        // The query waits 50 ms for the service; a loaded machine may need another read.
        EXPECT_TRUE(wait_until([&] { return table_is(k); }));
    }
    EXPECT_GE(service->queries.load(), 2);

    drop(c);

    // After the client leaves the server listens again; without an answer
    // from the service the registers keep what they held.
    service.reset();
    c = client();
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(table_is(cases[0]));
    drop(c);
}

} // namespace
