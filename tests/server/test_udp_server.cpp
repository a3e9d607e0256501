// UDP command port driven by real clients over loopback: zone selection per
// board, the save throttle and its acknowledgement, results to the last
// sender, short datagrams, the sender's gates; and the loopback result query
// against a responder on 127.0.0.1:14949.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "algo/algo_app.h"
#include "algo/algo_server.h"
#include "algo/algotest.h"
#include "base/tmpdir.h"
#include "common/custom.h"
#include "iodev.h"
#include "main/main.h"
#include "main/netns.h"
#include "platform/boardroot.h"
#include "server/udp_server.h"

using namespace algotest;

namespace {

using Bytes = std::vector<uint8_t>;

std::atomic<uint32> s_now{1000};
uint32 test_now() { return s_now.load(); }

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A host on loopback talking to the port.
struct Client {
    int port = 0;
    testfs::Fd fd{pumptest::loopback_socket(SOCK_DGRAM, &port)};
    void send(const Bytes& b, int to = UDP_SERVER_PORT)
    {
        sockaddr_in a = loopback(to);
        ASSERT_EQ(sendto(fd, b.data(), b.size(), 0, (sockaddr*)&a, sizeof a), (ssize_t)b.size());
    }
    // The next datagram, empty on time-out.
    Bytes recv(int ms = pumptest::kEventWaitMs)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return {};
        uint8_t buf[64];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        return n > 0 ? Bytes(buf, buf + n) : Bytes{};
    }
};

Bytes record(uint8_t cmd, uint32_t value)
{
    return {0xAC, 0xED, 0x04, cmd, (uint8_t)(value >> 24), (uint8_t)(value >> 16), (uint8_t)(value >> 8), (uint8_t)value};
}
Bytes zone(uint32_t z) { return record(UDP_CMD_SET_ZONE, z); }
Bytes save() { return record(UDP_CMD_SAVE_ZONE, 0); }
Bytes result(uint32_t v) { return record(0x10, v); }
const Bytes kSaveAck = {0xAC, 0xED, 0x04, 0x1B, 0, 0, 0, 1};

int count_lines(LogCapture& log, const std::string& text)
{
    int n = 0;
    for (const auto& line : log.sink->last_formatted()) n += line.find(text) != std::string::npos;
    return n;
}

// The ports are fixed: each test has a network namespace of its own, made
// before anything opens a socket or starts a thread, so tests running at
// the same time never meet there.
struct UdpPort : ::testing::Test {
    netns::Scope ns;
    LogCapture log;
    BoardRoot board;
    Registers regs;
    FrameCore fc;

    void SetUp() override
    {
        ASSERT_TRUE(ns.ok);
        ASSERT_EQ(board.rc, 0);
        ASSERT_EQ(sim_set_free_space("/userdata", 1ull << 30), 0);
        algo_server_reset();
        gpcore = fc.core;
        s_now = 1000;
        udp_server_set_clock(test_now);
        board_is(E_CPU_RK3568, E_IMX570);
        reg_store(regs.cfg.common.enableApplationAlgo, 4u);
        reg_store(regs.run.avoidTmpParam, 0xFFFFu);
        fc.core->streamon = 1;
    }
    void TearDown() override
    {
        fc.stop_tasks();
        udp_server_set_clock(nullptr);
        gpcore = nullptr;
    }

    void board_is(uint32 cpu, uint32 tofKind)
    {
        reg_store(regs.run.cpuId, cpu);
        reg_store(regs.tof().sensorType, tofKind);
    }
    uint32 tmp_zone() { return reg_load(regs.run.avoidTmpParam); }
    void start()
    {
        fc.start(E_WORKER_ID_UDP_RECV, udp_server_recv_task);
        ASSERT_TRUE(wait_until([&] { return epcore_worker_find(fc.core, E_WORKER_ID_UDP_SEND) != nullptr; }));
    }
    // Every record posted so far has been taken by the sender and released.
    bool drained() { return wait_until([&] { return fc.fetched() == 0; }); }
    // Selects a zone on the RK3568 board and waits until it is held.
    void select(Client& c, uint32 z)
    {
        c.send(zone(z));
        ASSERT_TRUE(wait_until([&] { return tmp_zone() == z; }));
    }
};

TEST_F(UdpPort, ZoneIndexBoundsFollowTheBoardAndToFKind)
{
    start();
    Client c;
    // held: lands in avoidTmpParam; logged: the handler's last word on it.
    struct Case { uint32 cpu, kind, zone; bool held; const char* logged; };
    const Case cases[] = {
        {E_CPU_RK3568, E_IMX570, 19, true, "AVOID UDP setting:19"},
        {E_CPU_RK3568, E_IMX570, 20, false, "AVOID UDP setting error:20 > 19"},
        {E_CPU_RK3568, E_IMX570, 0xFFFFFFFF, false, "AVOID UDP setting error:-1 > 19"},
        // Elsewhere the avoidance application takes the zone.
        {E_CPU_RK3588, E_IMX570, 7, false, "{\"SetZoneIndex\": 7}"},
        {E_CPU_RK3568, E_GPIXEL_0503, 21, false, "{\"SetZoneIndex\": 21}"},
        {E_CPU_RK3576, E_VD55H1, 3, false, "{\"SetZoneIndex\": 3}"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.logged);
        board_is(k.cpu, k.kind);
        reg_store(regs.run.avoidTmpParam, 0xFFFFu);
        int done = count_lines(log, "algo_avoid_set_zone_index ret:");
        c.send(zone(k.zone));
        bool app = k.cpu != E_CPU_RK3568 || k.kind != E_IMX570;
        ASSERT_TRUE(wait_until([&] {
            return k.held ? tmp_zone() == k.zone
                          : log.has(k.logged) && (!app || count_lines(log, "algo_avoid_set_zone_index ret:") == done + 1);
        }));
        if (!k.held) { EXPECT_EQ(tmp_zone(), 0xFFFFu); }
    }
    EXPECT_EQ(algo_avoid_get_zone_index2(), 3); // accepted by the application
    EXPECT_TRUE(log.has("algo_avoid_set_zone_index ret:-2")); // 21 refused by it
    EXPECT_TRUE(c.recv(0).empty());                        // zone commands have no answer
}

TEST_F(UdpPort, SavesAtMostOnePer250msAndAcknowledgesEach)
{
    start();
    Client c;
    select(c, 7);

    s_now = 5000;
    c.send(save());
    EXPECT_EQ(c.recv(), kSaveAck);
    EXPECT_EQ(reg_load(regs.cfg.common.avoidSetMode), 7u);
    std::string file = read_host_file(board.host("/userdata/config.bin"));
    ASSERT_EQ(file.size(), sizeof(deviceCFG));
    uint32 saved = 0;
    memcpy(&saved, file.data() + offsetof(CommonCfg, avoidSetMode), 4);
    EXPECT_EQ(saved, 7u);

    select(c, 8);
    s_now = 5200;
    c.send(save());
    ASSERT_TRUE(wait_until([&] { return log.has("need wait 250ms"); }));
    EXPECT_EQ(reg_load(regs.cfg.common.avoidSetMode), 7u);

    s_now = 5300; // 300 ms after the accepted save; the refused one did not count
    c.send(save());
    EXPECT_EQ(c.recv(), kSaveAck);
    EXPECT_EQ(reg_load(regs.cfg.common.avoidSetMode), 8u);
    EXPECT_EQ(count_lines(log, "save setting"), 2);
    EXPECT_TRUE(drained());

    // 249 ms after the last save is too soon; exactly 250 ms is enough.
    select(c, 9);
    s_now = 5549;
    c.send(save());
    ASSERT_TRUE(wait_until([&] { return count_lines(log, "need wait 250ms") == 2; }));
    s_now = 5550;
    c.send(save());
    EXPECT_EQ(c.recv(), kSaveAck);
    EXPECT_EQ(reg_load(regs.cfg.common.avoidSetMode), 9u);
    EXPECT_EQ(count_lines(log, "save setting"), 3);
    EXPECT_TRUE(drained());

    // Only the RK3568 / IMX570 camera saves over the port.
    board_is(E_CPU_RK3588, E_IMX570);
    s_now = 9000;
    c.send(save());
    ASSERT_TRUE(wait_until([&] { return count_lines(log, "socketInfo->cmd:27") == 6; }));
    EXPECT_EQ(count_lines(log, "save setting"), 3);
}

TEST_F(UdpPort, ASaveThatCannotWriteIsNotAcknowledged)
{
    start();
    Client c;
    select(c, 7);
    ASSERT_EQ(sim_set_free_space("/userdata", 50ull << 20), 0);
    s_now = 5000;
    c.send(save());
    // The receiver is past the save once it holds the next zone, and every
    // record it posted has been sent once the pool has them all back.
    select(c, 8);
    EXPECT_TRUE(drained());
    EXPECT_TRUE(log.has("no space in device, can not write file."));
    EXPECT_EQ(c.recv(0), Bytes{});
    EXPECT_EQ(read_host_file(board.host("/userdata/config.bin")), "<missing>");

    // With room again the next save is written and acknowledged.
    ASSERT_EQ(sim_set_free_space("/userdata", 1ull << 30), 0);
    s_now = 5300;
    c.send(save());
    EXPECT_EQ(c.recv(), kSaveAck);
    EXPECT_EQ(read_host_file(board.host("/userdata/config.bin")).size(), sizeof(deviceCFG));
}

TEST_F(UdpPort, ResultsGoToTheLastSenderAndNowhereBeforeTheFirstDatagram)
{
    start();
    // No peer yet: the record is taken and released, sent nowhere.
    ASSERT_EQ(algo_avoid_socket(fc.core, 0x11, ALGO_NO_EXTRA_CODE), 0);
    ASSERT_TRUE(drained());

    Client a, b;
    select(a, 1);
    ASSERT_EQ(algo_avoid_socket(fc.core, 0x22, ALGO_NO_EXTRA_CODE), 0);
    EXPECT_EQ(a.recv(), result(0x22));

    select(b, 2);
    ASSERT_EQ(algo_avoid_socket(fc.core, 0x33, ALGO_NO_EXTRA_CODE), 0);
    EXPECT_EQ(b.recv(), result(0x33));

    select(a, 3);
    ASSERT_EQ(algo_avoid_socket(fc.core, 0x44, ALGO_NO_EXTRA_CODE), 0);
    EXPECT_EQ(a.recv(), result(0x44)); // 0x33 never came here
    EXPECT_TRUE(b.recv(0).empty());

    // The receiver leaves only after the sender, then closes their device.
    fc.stop_tasks();
    EXPECT_EQ(epcore_worker_find(fc.core, E_WORKER_ID_UDP_SEND), nullptr);
    EXPECT_EQ(epcore_iodev_find(fc.core, E_DEVICE_UDP_SERVER), nullptr);
    EXPECT_EQ(fc.fetched(), 0);
}

TEST_F(UdpPort, ShortDatagramsReadZerosPastTheirEnd)
{
    start();
    Client c;
    select(c, 19);
    // AC 00 04 1A 00: the rest of the value is zero, not what the last
    // datagram left behind; a second byte of 0 is as good as 0xED.
    c.send({0xAC, 0x00, 0x04, 0x1A, 0x00});
    ASSERT_TRUE(wait_until([&] { return tmp_zone() == 0; }));
    EXPECT_TRUE(log.has("AVOID UDP setting:0"));

    c.send({0xAC, 0x00, 0x00, 0x1B});
    EXPECT_EQ(c.recv(), kSaveAck);

    // Three bytes: command 0, nothing done. Not 0xAC: not even looked at.
    c.send({0xAC, 0xED, 0x04});
    c.send({0xAD, 0xED, 0x04, 0x1A, 0, 0, 0, 5});
    c.send(zone(4));
    ASSERT_TRUE(wait_until([&] { return tmp_zone() == 4; }));
    EXPECT_EQ(count_lines(log, "socketInfo->cmd:0"), 1);
    EXPECT_EQ(count_lines(log, "socketInfo->cmd:26"), 3);
}

TEST_F(UdpPort, ResultsAreSentOnlyWithTheStreamOnAndAvoidanceModes1Or4)
{
    start();
    Client c;
    select(c, 1);
    worker_t* sender = epcore_worker_find(fc.core, E_WORKER_ID_UDP_SEND);
    struct Case { uint32 app; uint8 streamon; bool sent; } const cases[] = {
        {1, 1, true}, {4, 1, true}, {2, 1, false}, {0, 1, false}, {4, 0, false}};
    uint32 value = 0x100;
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "app " << k.app << " streamon " << (int)k.streamon);
        reg_store(regs.cfg.common.enableApplationAlgo, k.app);
        fc.core->streamon = k.streamon;
        ASSERT_EQ(algo_avoid_socket(fc.core, (int32)++value, ALGO_NO_EXTRA_CODE), 0);
        ASSERT_TRUE(drained()); // consumed and released either way
        EXPECT_EQ(fc.listed(sender), 0);
        if (k.sent) { EXPECT_EQ(c.recv(), result(value)); }
        // A marker sent with the gates open arrives next: nothing came between.
        reg_store(regs.cfg.common.enableApplationAlgo, 4u);
        fc.core->streamon = 1;
        ASSERT_EQ(algo_avoid_socket(fc.core, (int32)(0x8000 + value), ALGO_NO_EXTRA_CODE), 0);
        EXPECT_EQ(c.recv(), result(0x8000 + value));
    }
}

TEST_F(UdpPort, AlternatingSendersWhileResultsFlowGetWholeRecords)
{
    start();
    Client a, b;
    select(a, 1);
    constexpr int kRounds = 200;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 0; i < kRounds * 4 && !done; i++) {
            algo_avoid_socket(fc.core, 0x55, ALGO_NO_EXTRA_CODE);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < kRounds; i++) (i % 2 ? a : b).send(zone((uint32)(i % 20)));
    done = true;
    producer.join();
    ASSERT_TRUE(drained());
    // Once every command is handled, the last sender was a (i = kRounds - 1
    // is odd): the next result goes there, after whatever a already had.
    ASSERT_TRUE(wait_until([&] { return count_lines(log, "socketInfo->cmd:26") == kRounds + 1; }));
    ASSERT_EQ(algo_avoid_socket(fc.core, 0x66, ALGO_NO_EXTRA_CODE), 0);
    // Whatever arrived is a whole result record.
    Bytes r = a.recv();
    for (int n = 0; n < kRounds * 4 && r == result(0x55); n++) r = a.recv();
    EXPECT_EQ(r, result(0x66));
    for (r = b.recv(0); !r.empty(); r = b.recv(0)) EXPECT_EQ(r, result(0x55));
}

TEST_F(UdpPort, WithoutItsDeviceTheReceiverEndsAndNoSenderStarts)
{
    iodev_t* squatter = iodev_new(fc.core);
    squatter->id = E_DEVICE_UDP_SERVER;
    ASSERT_EQ(epcore_iodev_add(fc.core, squatter), 0);
    fc.start(E_WORKER_ID_UDP_RECV, udp_server_recv_task);
    EXPECT_TRUE(fc.gone(E_WORKER_ID_UDP_RECV));
    EXPECT_TRUE(log.has("The udp device cannot be created."));
    EXPECT_EQ(epcore_worker_find(fc.core, E_WORKER_ID_UDP_SEND), nullptr);
    EXPECT_EQ(epcore_iodev_find(fc.core, E_DEVICE_UDP_SERVER), squatter);
    iodev_close(squatter);

    // A sender started with no device ends at once.
    fc.start(E_WORKER_ID_UDP_SEND, udp_server_send_task);
    EXPECT_TRUE(fc.gone(E_WORKER_ID_UDP_SEND));
    EXPECT_TRUE(log.has("not find avoid dev"));
}

// ---- Loopback result query ----

// The local result service: answers each "RESULT_UPDATE" with the answers
// set for it (none, one or several datagrams); `handled` counts the queries
// it has answered in full.
struct Responder {
    testfs::Fd fd{socket(AF_INET, SOCK_DGRAM, 0)};
    bool bound = false;
    std::mutex m;
    std::vector<Bytes> answers;
    std::atomic<int> handled{0}, sent{0};
    std::atomic<bool> stop{false};
    std::thread th;

    Responder()
    {
        sockaddr_in a = loopback(UDP_ALGO_SERVICE_PORT);
        if ((bound = bind(fd, (sockaddr*)&a, sizeof a) == 0)) th = std::thread([this] { run(); });
    }
    ~Responder()
    {
        stop = true;
        if (th.joinable()) th.join();
    }
    void answer_with(std::vector<Bytes> a) { std::lock_guard<std::mutex> l(m); answers = std::move(a); }
    void run()
    {
        for (pollfd p{fd, POLLIN, 0}; !stop;) {
            char buf[64];
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            if (poll(&p, 1, 10) != 1 || recvfrom(fd, buf, sizeof buf, 0, (sockaddr*)&from, &fl) != 14 ||
                memcmp(buf, "RESULT_UPDATE", 14) != 0)
                continue;
            std::unique_lock<std::mutex> l(m);
            std::vector<Bytes> out = answers;
            l.unlock();
            for (const Bytes& b : out) sendto(fd, b.data(), b.size(), 0, (sockaddr*)&from, fl), sent++;
            handled++;
        }
    }
};

Bytes answer(uint8_t fill, size_t n = UDP_ALGO_RESULT_SIZE) { return Bytes(n, fill); }

struct ResultQuery : ::testing::Test {
    netns::Scope ns; // first: the responder binds its fixed port in it
    LogCapture log;
    FrameCore fc;
    worker_t* wk = fc.fake_worker(E_WORKER_ID_MODBUS_TCP);
    Responder service;
    uint8 buf[UDP_ALGO_RESULT_SIZE + 8] = {};

    void SetUp() override
    {
        ASSERT_TRUE(ns.ok);
        ASSERT_TRUE(service.bound);
    }
    void TearDown() override { recvForAlgo(wk, nullptr, 2); }
    int query() { return recvForAlgo(wk, buf, 1); }
    // A query the service has answered, before the next case sets its
    // answers. On a busy machine the service may answer after the query's
    // 50 ms time-out: that query is asked again, and its late answer, queued
    // by then, is the stale one the next query drops. -2: no query arrived.
    int answered_query()
    {
        int r = -1;
        for (int tries = 0; tries < 50; tries++) {
            size_t lines = log.sink->last_formatted().size();
            int asked = service.handled.load(), sent = service.sent.load();
            r = query();
            if (!wait_until([&] { return service.handled.load() > asked; })) return -2;
            bool timed_out = r != 0 && log.sink->last_formatted().size() == lines;
            if (!timed_out || service.sent.load() == sent) return r;
        }
        return r;
    }
};

TEST_F(ResultQuery, OpensTheDeviceAndTakesThe34ByteAnswer)
{
    ASSERT_EQ(recvForAlgo(wk, nullptr, 0), 0);
    iodev_t* dev = epcore_iodev_find(fc.core, E_DEVICE_UDP_ALGO_SERVER);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(wk->pdev, dev);
    EXPECT_EQ(recvForAlgo(wk, nullptr, 0), 0); // already open: the same device
    EXPECT_EQ(wk->pdev, dev);

    Bytes a = answer(0x5A);
    a[0] = 0;   // ret_code
    a[1] = 3;   // count
    service.answer_with({a});
    ASSERT_EQ(answered_query(), 0);
    EXPECT_EQ(Bytes(buf, buf + UDP_ALGO_RESULT_SIZE), a);

    ASSERT_EQ(recvForAlgo(wk, nullptr, 2), 0);
    EXPECT_EQ(wk->pdev, nullptr);
    EXPECT_EQ(epcore_iodev_find(fc.core, E_DEVICE_UDP_ALGO_SERVER), nullptr);
    EXPECT_EQ(query(), -1); // closed
}

TEST_F(ResultQuery, AnswersOfAnotherLengthOrNoneAreFailures)
{
    EXPECT_EQ(query(), -1); // never opened
    ASSERT_EQ(recvForAlgo(wk, nullptr, 0), 0);
    struct Case { std::vector<Bytes> answers; const char* logged; } const cases[] = {
        {{answer(1, 20)}, "recv data eror:20"},
        {{answer(2, 40)}, "recv data eror:40"}, // not cut down to a record
        {{Bytes{}}, "server disconnect"},
        {{}, nullptr},                          // 50 ms time-out
    };
    for (const Case& k : cases) {
        service.answer_with(k.answers);
        EXPECT_EQ(answered_query(), -1);
        if (k.logged) { EXPECT_TRUE(log.has(k.logged)) << k.logged; }
    }
}

TEST_F(ResultQuery, OnlyTheServicesAnswerToThisQueryIsTaken)
{
    ASSERT_EQ(recvForAlgo(wk, nullptr, 0), 0);
    // A stray host's datagram to the query port is not an answer.
    Client stray;
    stray.send(answer(0xEE), UDP_ALGO_LOCAL_PORT);
    service.answer_with({answer(0x01), answer(0x02)});
    ASSERT_EQ(answered_query(), 0);
    EXPECT_EQ(buf[0], 0x01);
    // The second answer came late for the first query; the next query takes its own.
    service.answer_with({answer(0x03)});
    ASSERT_EQ(answered_query(), 0);
    EXPECT_EQ(buf[0], 0x03);
}

} // namespace
