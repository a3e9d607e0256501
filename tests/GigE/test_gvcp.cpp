// GVCP control channel: the wire codec, and the channel's worker answering
// hosts over loopback UDP - duplicates per host, control privilege with the
// host limit, heartbeat timers, write refusal, memory access of the
// bootstrap block and the description package, bounds and saves.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "GigE/bootstrap.h"
#include "GigE/gv_codec.h"
#include "GigE/gvcp.h"
#include "algo/algo_tavo.h"
#include "common/custom_default.h"
#include "common/persist.h"
#include "common/regtest.h"
#include "common/stream_ctrl.h"
#include "iotimer.h"
#include "rich/rich_radar.h"

namespace {

using Bytes = std::vector<uint8_t>;
using regtest::ChangeHold;
using regtest::RegSpace;
using regtest::wait_until;

// ---- codec ----

TEST(GvcpCodec, LayoutsRoundTripBigEndianAndRefuseShortInput)
{
    uint8_t buf[256] = {};
    GVCPHeader h{GVCP_KEY, 0x11, READMEM_CMD, 8, 0xBEEF}, h2{};
    gv::encode(buf, h);
    EXPECT_EQ(Bytes(buf, buf + 8), (Bytes{0x42, 0x11, 0x00, 0x84, 0x00, 0x08, 0xBE, 0xEF}));
    ASSERT_TRUE(gv::decode(buf, 8, &h2));
    EXPECT_EQ(h2.reqId, 0xBEEF);
    EXPECT_FALSE(gv::decode(buf, 7, &h2));
    buf[0] = 0x43;
    EXPECT_FALSE(gv::decode(buf, 8, &h2)) << "not GVCP";

    GVCPReadMemCmd r{{GVCP_KEY, 1, READMEM_CMD, 8, 7}, 0x10424000, 0, 512}, r2{};
    gv::encode(buf, r);
    EXPECT_EQ(gv::get32(buf + 8), 0x10424000u);
    EXPECT_EQ(gv::get16(buf + 14), 512);
    EXPECT_FALSE(gv::decode(buf, sizeof(r) - 1, &r2));

    GVCPDiscoverAck d{}, d2{};
    d.header = {0, DISCOVERY_ACK, 248, 3};
    d.macAddressH = 0x1234;
    d.currentIp = 0xC0A80102;
    snprintf(d.moduleName, sizeof(d.moduleName), "korvid");
    gv::encode(buf, d);
    EXPECT_EQ(gv::get32(buf + 44), 0xC0A80102u);
    EXPECT_STREQ(reinterpret_cast<char*>(buf + 112), "korvid");
    ASSERT_TRUE(gv::decode(buf, 256, &d2));
    EXPECT_EQ(d2.macAddressH, 0x1234);
    EXPECT_FALSE(gv::decode(buf, 255, &d2));
}

TEST(GvcpCodec, ItemCountsComeFromWhatArrivedAndAreCapped)
{
    struct Case {
        uint16_t declared;
        size_t datagram;
        uint32_t unit, max, count;
        bool cut, over;
    } cases[] = {
        {8, 16, 4, 135, 2, false, false},     {16, 12, 4, 135, 1, true, false},  {6, 16, 4, 135, 1, false, false},
        {544, 552, 4, 135, 135, false, true}, {16, 24, 8, 67, 2, false, false},  {24, 20, 8, 67, 1, true, false},
        {0, 8, 8, 67, 0, false, false},       {8, 4, 4, 135, 0, true, false},
    };
    for (const Case& c : cases) {
        GVCPHeader h{GVCP_KEY, 0, READREG_CMD, c.declared, 1};
        bool cut = false, over = false;
        EXPECT_EQ(gv::item_count(h, c.datagram, c.unit, c.max, &cut, &over), c.count) << c.declared;
        EXPECT_EQ(cut, c.cut) << c.declared;
        EXPECT_EQ(over, c.over) << c.declared;
    }
}

// ---- the channel over loopback ----

// A host: a UDP socket on a loopback address with its own port.
struct Host {
    int fd = -1;
    uint16_t port = 0;
    uint16_t gvcp = 0;
    uint16_t id = 1;
    Host(uint16_t gvcpPort, const char* ip = "127.0.0.1", uint16_t bindPort = 0) : gvcp(gvcpPort)
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(bindPort);
        inet_pton(AF_INET, ip, &a.sin_addr);
        EXPECT_EQ(bind(fd, (sockaddr*)&a, sizeof a), 0);
        socklen_t l = sizeof a;
        getsockname(fd, (sockaddr*)&a, &l);
        port = ntohs(a.sin_port);
    }
    ~Host() { close(fd); }

    void send(const Bytes& b)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(gvcp);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, b.data(), b.size(), 0, (sockaddr*)&to, sizeof to);
    }
    Bytes recv(int ms = pumptest::kEventWaitMs)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return {};
        Bytes b(GVCP_BUF_SIZE);
        ssize_t n = ::recv(fd, b.data(), b.size(), 0);
        b.resize(n > 0 ? (size_t)n : 0);
        return b;
    }
    Bytes ask(const Bytes& b)
    {
        send(b);
        return recv();
    }

    // Requests as GigE Vision hosts build them; each takes the next id.
    Bytes cmd(uint16_t command, const Bytes& body, uint8_t flag = 0x01, int declared = -1)
    {
        Bytes b(8);
        GVCPHeader h{GVCP_KEY, flag, command, (uint16_t)(declared < 0 ? body.size() : declared), id++};
        gv::encode(b.data(), h);
        b.insert(b.end(), body.begin(), body.end());
        return b;
    }
    static Bytes words(std::initializer_list<uint32_t> ws)
    {
        // Sized once and written in place: growing by inserts makes GCC 12
        // at -O3 see a copy into an empty buffer.
        Bytes b(4 * ws.size());
        uint8_t* at = b.data();
        for (uint32_t w : ws) {
            gv::put32(at, w);
            at += 4;
        }
        return b;
    }
    Bytes readreg(std::initializer_list<uint32_t> as) { return ask(cmd(READREG_CMD, words(as))); }
    Bytes writereg(std::initializer_list<uint32_t> pairs) { return ask(cmd(WRITEREG_CMD, words(pairs))); }
    Bytes readmem(uint32_t a, uint16_t count) { return ask(cmd(READMEM_CMD, words({a, count}))); }
    Bytes writemem(uint32_t a, const Bytes& data)
    {
        Bytes body = words({a});
        body.insert(body.end(), data.begin(), data.end());
        return ask(cmd(WRITEMEM_CMD, body));
    }
    uint16_t ccp(uint32_t v) { return status(writereg({0x0A00, v})); }

    static uint16_t status(const Bytes& a) { return a.size() >= 8 ? gv::get16(a.data()) : 0xDEAD; }
    static uint16_t index(const Bytes& a) { return a.size() >= 12 ? gv::get16(a.data() + 10) : 0xDEAD; }
    static uint32_t value(const Bytes& a, int i = 0) { return gv::get32(a.data() + 8 + 4 * i); }
};

// The worker 510 on a simulated board with the register space and the
// bootstrap block, bound to a free loopback port; broadcast answers go to
// 127.0.0.2.
struct Channel : RegSpace {
    uint16_t port = 0;
    explicit Channel(uint32_t permit = 1, const char* profile = "rk3588-gpixel") : RegSpace(profile)
    {
        g_permit_conn_user_count = permit;
        g_discover = 0;
        g_flags = 1;
        EXPECT_EQ(Bootstrap_RegInit(), 0);
        EXPECT_TRUE(pumptest::start_pumps(core, 1));
        GVCP_SetEndpoints("127.0.0.1", 0, "127.0.0.2");
        EXPECT_EQ(worker_create(core, E_WORKER_ID_GVCP, GVCP_Task), 0);
        EXPECT_TRUE(wait_until([&] { return epcore_iodev_find(core, E_DEVICE_GVCP) != nullptr; }));
        sockaddr_in a{};
        socklen_t l = sizeof a;
        getsockname(epcore_iodev_find(core, E_DEVICE_GVCP)->fd, (sockaddr*)&a, &l);
        port = ntohs(a.sin_port);
    }
    ~Channel()
    {
        worker_stop(epcore_worker_find(core, E_WORKER_ID_GVCP));
        wait_until([&] { return epcore_iodev_find(core, E_DEVICE_GVCP) == nullptr; });
        epcore_stop_evpump(core);
        pumptest::threads_gone(core);
        Bootstrap_RegDeInit();
        GVCP_SetEndpoints("0.0.0.0", GVCP_PORT, "255.255.255.255");
        g_permit_conn_user_count = 1;
    }
    std::vector<UserInfo> users()
    {
        std::vector<UserInfo> out;
        EnterCriticalSection(&core->userCS);
        for (auto* u = (UserInfo*)lt_first(core->user_info); u; u = (UserInfo*)lt_get_next(u)) out.push_back(*u);
        LeaveCriticalSection(&core->userCS);
        return out;
    }
    uint32_t boot(uint32_t a)
    {
        uint32_t v = 0;
        Bootstrap_ReadReg(a, &v, 4);
        return v;
    }
};

TEST(GvcpChannel, DiscoveryIsAnsweredToTheRequesterOrBroadcastAndMutedWhenAsked)
{
    Channel ch;
    Host h(ch.port);
    Host bcast(ch.port, "127.0.0.2", h.port);  // the broadcast address at the requester's port

    Bytes a = h.ask(h.cmd(DISCOVERY_CMD, {}, 0x01));
    GVCPDiscoverAck d{};
    ASSERT_TRUE(gv::decode(a.data(), a.size(), &d));
    EXPECT_EQ(a.size(), 256u);
    EXPECT_EQ(d.header.acknowledge, DISCOVERY_ACK);
    EXPECT_EQ(d.version, 0x00020001u);
    EXPECT_STREQ(d.manufacturerName, "Vornak");
    EXPECT_STREQ(d.moduleName, "korvid");
    EXPECT_EQ(d.cameraRGBEncType, 4u);

    Bytes req = h.cmd(DISCOVERY_CMD, {}, 0x11);
    h.send(req);
    EXPECT_EQ(bcast.recv().size(), 256u);
    h.send(req);  // a repeat goes the same way, from the cache
    EXPECT_EQ(gv::get16(bcast.recv().data() + 6), gv::get16(req.data() + 6));

    // Muted discovery gets no answer: the read after it is the first thing
    // that comes back.
    g_discover = 1;
    h.send(h.cmd(DISCOVERY_CMD, {}, 0x01));
    Bytes r = h.readreg({0x0000});
    EXPECT_EQ(gv::get16(r.data() + 2), READREG_ACK);
    g_discover = 0;
}

TEST(GvcpChannel, FailedBroadcastAnswersAreLoggedAndTheChannelGoesOn)
{
    Channel ch;
    Host h(ch.port);
    GVCP_SetEndpoints(nullptr, 0, "no-such-address");  // nothing can be sent there
    h.send(h.cmd(DISCOVERY_CMD, {}, 0x11));
    std::string at = "no-such-address:" + std::to_string(h.port) + " fail:";
    EXPECT_TRUE(wait_until([&] { return ch.log.has("gvcp send to " + at); }));
    Bytes force(56, 0);  // to another MAC: answered with an error status, by broadcast
    h.send(h.cmd(FORCEIP_CMD, force));
    EXPECT_TRUE(wait_until([&] { return ch.log.has("forceip ack to " + at); }));
    EXPECT_EQ(Host::status(h.readreg({0x0938})), 0) << "the channel answers on";
}

TEST(GvcpChannel, RepeatedRequestsAreAnsweredFromEachHostsOwnCache)
{
    Channel ch;
    Host a(ch.port), b(ch.port);
    // The very first request may carry id 0.
    a.id = 0;
    EXPECT_EQ(Host::status(a.readreg({0x0938})), 0);

    a.id = 5;
    Bytes write = a.cmd(WRITEREG_CMD, Host::words({0x0938, 1234}));
    Bytes first = a.ask(write);
    EXPECT_EQ(Host::status(first), 0);
    uint32_t other = 999;
    Bootstrap_WriteReg(0x0938, &other, 4);
    EXPECT_EQ(a.ask(write), first) << "the repeat is answered, not executed";
    EXPECT_EQ(ch.boot(0x0938), 999u);

    // Another host with the same id gets its own answer; a different command
    // with the same id is not a repeat either.
    b.id = 5;
    Bytes rb = b.readreg({0x0938});
    EXPECT_EQ(gv::get16(rb.data() + 2), READREG_ACK);
    EXPECT_EQ(Host::value(rb), 999u);
    a.id = 5;
    Bytes ra = a.readreg({0x0938});
    EXPECT_EQ(gv::get16(ra.data() + 2), READREG_ACK);
}

TEST(GvcpChannel, ControlIsGrantedUpToTheHostLimitAndARefusalEndsTheRequest)
{
    Channel ch(1);
    Host a(ch.port), b(ch.port);
    EXPECT_EQ(a.ccp(2), 0);
    ASSERT_EQ(ch.users().size(), 1u);
    EXPECT_EQ(ch.users()[0].primary, 1);
    EXPECT_EQ(ch.boot(0x0A04), a.port);
    EXPECT_EQ(ch.boot(0x0A00), 2u);
    EXPECT_EQ(a.ccp(2), 0) << "a host that has control keeps one record";
    EXPECT_EQ(ch.users().size(), 1u);

    // B is refused: the request stops at the CCP pair, later pairs never run.
    Bytes r = b.writereg({0x0A00, 2, 0x0938, 777});
    EXPECT_EQ(Host::status(r), GEV_STATUS_ACCESS_DENIED);
    EXPECT_EQ(Host::index(r), 0);
    EXPECT_EQ(ch.boot(0x0938), 5000u);
    // Nor may it write registers or memory while A holds control; reads go on.
    EXPECT_EQ(Host::status(b.writereg({0x0938, 777})), GEV_STATUS_ACCESS_DENIED);
    EXPECT_EQ(Host::status(b.writemem(0x0938, Host::words({777}))), GEV_STATUS_ACCESS_DENIED);
    EXPECT_EQ(Host::status(b.writereg({0x10000034, 320})), GEV_STATUS_ACCESS_DENIED);
    EXPECT_EQ(Host::value(b.readreg({0x0938})), 5000u);
    EXPECT_EQ(Host::status(a.writereg({0x0938, 4000})), 0);

    // A leaves: the privilege is free again and B takes it.
    EXPECT_EQ(a.ccp(0), 0);
    EXPECT_TRUE(ch.users().empty());
    EXPECT_EQ(ch.boot(0x0A00), 0u);
    EXPECT_EQ(ch.boot(0x0A04), 0u);
    EXPECT_EQ(b.ccp(2), 0);
    EXPECT_EQ(ch.boot(0x0A04), b.port);

    // Without a primary, a full list refuses too, and leaves no primary behind.
    EXPECT_EQ(b.ccp(0), 0);
    EXPECT_EQ(a.ccp(1), 0);
    EXPECT_EQ(b.ccp(2), GEV_STATUS_ACCESS_DENIED);
    EXPECT_EQ(ch.boot(0x0A04), 0u);
    EXPECT_EQ(ch.users().size(), 1u);

    // administratorMode sets the limit; 0 means one.
    EXPECT_EQ(Host::status(a.writereg({0x10007048, 0})), 0);
    EXPECT_EQ(g_permit_conn_user_count.load(), 1u);
    EXPECT_EQ(Host::status(a.writereg({0x10007048, 2})), 0);
    EXPECT_EQ(b.ccp(1), 0);
    EXPECT_EQ(ch.users().size(), 2u);
}

TEST(GvcpChannel, HeartbeatTimerIdsStayUniqueAcrossLeaveAndRejoin)
{
    Channel ch(3);
    Host a(ch.port), b(ch.port), c(ch.port);
    EXPECT_EQ(a.ccp(1), 0);
    EXPECT_EQ(b.ccp(1), 0);
    EXPECT_EQ(a.ccp(0), 0);
    EXPECT_EQ(c.ccp(1), 0);
    EXPECT_EQ(a.ccp(1), 0);
    std::set<int> ids;
    for (const UserInfo& u : ch.users()) {
        ids.insert(u.id);
        EXPECT_GT(u.id, E_DEVICE_HEARTBEAT);
        EXPECT_EQ(epcore_iodev_find(ch.core, (uint64_t)u.id), u.timer) << u.id;
    }
    EXPECT_EQ(ids.size(), 3u);
}

TEST(GvcpChannel, AnExpiredHostIsRemovedAndTheRelayOfThatHostStopped)
{
    Channel ch(2);
    Host a(ch.port), b(ch.port);
    richUDPPrivData relay{};
    iodev_t* rd = ch.add_device(E_DEVICE_RICH_SEND, &relay);
    snprintf(rd->remote_ip, sizeof(rd->remote_ip), "127.0.0.1");
    relay.curGvcpPort = a.port;

    EXPECT_EQ(Host::status(b.writereg({0x0938, 150})), 0);
    EXPECT_EQ(a.ccp(2), 0);
    EXPECT_EQ(b.ccp(1), 0);
    // B keeps talking, so the last sender is B when A's timer runs out.
    ASSERT_TRUE(wait_until([&] {
        b.readreg({0x0000});
        return ch.users().size() == 1;
    }));
    EXPECT_EQ(ch.users()[0].user_port, b.port);
    EXPECT_TRUE(ch.log.has("close rich radar,127.0.0.1:" + std::to_string(a.port)));
    EXPECT_EQ(ch.boot(0x0A00), 1u) << "B still holds control";

    // The last host gone: control and the primary registers are cleared.
    ASSERT_TRUE(wait_until([&] { return ch.users().empty(); }));
    EXPECT_EQ(ch.boot(0x0A00), 0u);
    EXPECT_EQ(ch.boot(0x0A04), 0u);
    EXPECT_EQ(ch.boot(0x0A14), 0u);
}

// The last host's heartbeat expiry releases control at once and hands the
// stream's close to a thread of its own: the pump's timers fire while the
// close still waits for the capture, and settling waits for it.
TEST(GvcpChannel, AnExpiryHandsTheStreamStopOverAndThePumpGoesOn)
{
    Channel ch(1);
    stream_ctrl_reset();
    Host a(ch.port);
    EXPECT_EQ(a.ccp(2), 0);
    EXPECT_EQ(Host::status(a.writereg({0x10000000, 1})), 0);
    stream_ctrl_settle();
    ASSERT_EQ(ch.core->streamon.load(), 1);
    ChangeHold hold;
    EXPECT_EQ(Host::status(a.writereg({0x0938, 150})), 0);
    ASSERT_TRUE(wait_until([] { return ChangeHold::begun.load() == 1; }));
    EXPECT_EQ(ch.boot(0x0A00), 0u);

    pumptest::Latch fired;
    auto cb = [](void* para, void*, int, int) {
        static_cast<pumptest::Latch*>(para)->hit();
        return 0;
    };
    ASSERT_NE(iotimer_start(ch.core, 10, 0, nullptr, cb, &fired), nullptr);
    EXPECT_TRUE(fired.wait_for(1, 1000)) << "the pump waits for the stream's close";
    EXPECT_FALSE(ChangeHold::ended.load());

    std::thread capture([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ChangeHold::release();
    });
    stream_ctrl_settle();
    EXPECT_TRUE(ChangeHold::ended.load()) << "settled before the close ended";
    EXPECT_EQ(ch.core->streamon.load(), 0);
    capture.join();
}

// A host's stop is answered while the close still waits for the capture,
// which a loaded board may not end within a host's wait for the ack, by
// WRITEREG and WRITEMEM alike, and the register reads back the stop
// meanwhile. A start asked then is answered too, reads back, and opens the
// stream once the close has ended.
TEST(GvcpChannel, AHostsStopIsAckedWhileTheCloseStillWaits)
{
    Channel ch(1);
    stream_ctrl_reset();
    Host a(ch.port);
    EXPECT_EQ(a.ccp(2), 0);
    struct Case { bool mem; uint32_t value; } const cases[] = {{false, 0}, {true, 2}};
    for (const Case& c : cases) {
        EXPECT_EQ(Host::status(a.writereg({0x10000000, 1})), 0) << c.mem;
        stream_ctrl_settle();
        ASSERT_EQ(ch.core->streamon.load(), 1) << c.mem;
        ChangeHold hold;
        Bytes ack = c.mem ? a.writemem(0x10000000, Host::words({c.value})) : a.writereg({0x10000000, c.value});
        EXPECT_EQ(Host::status(ack), 0) << c.mem;
        ASSERT_TRUE(wait_until([] { return ChangeHold::begun.load() == 1; })) << c.mem;
        EXPECT_EQ(Host::value(a.readreg({0x10000000})), c.value) << c.mem;
        EXPECT_EQ(Host::status(a.writereg({0x10000000, 1})), 0) << c.mem;
        EXPECT_EQ(Host::value(a.readreg({0x10000000})), 1u) << c.mem;
        EXPECT_FALSE(ChangeHold::ended.load()) << c.mem;
        ChangeHold::release();
        stream_ctrl_settle();
        EXPECT_EQ(ChangeHold::begun.load(), 1) << c.mem;
        EXPECT_EQ(ch.core->streamon.load(), 1) << "the start after the close, " << c.mem;
        EXPECT_EQ(stream_start_count(), 1u) << c.mem;
    }
    EXPECT_EQ(Host::status(a.writereg({0x10000000, 0})), 0);
    stream_ctrl_settle();
    EXPECT_EQ(ch.core->streamon.load(), 0);
}

// Two hosts allowed: each host's start counts once, its stop takes only its
// own, and it goes with the host when it releases control or falls silent;
// a workMode write counts as the writer's. The stream closes when no host
// is left wanting it.
TEST(GvcpChannel, EachHostsStartCountsOnceAndGoesWithTheHost)
{
    Channel ch(2);
    stream_ctrl_reset();
    Host a(ch.port), b(ch.port);
    auto ask = [](Host& h, uint32_t address, uint32_t value) {
        EXPECT_EQ(Host::status(h.writereg({address, value})), 0) << std::hex << address << " := " << value;
        stream_ctrl_settle();
    };
    auto is = [&](uint32_t count, bool on, const char* what) {
        EXPECT_EQ(stream_start_count(), count) << what;
        EXPECT_EQ(ch.core->streamon.load(), on ? 1 : 0) << what;
    };
    EXPECT_EQ(a.ccp(2), 0);
    EXPECT_EQ(b.ccp(1), 0);
    ask(a, 0x10000000, 1);
    ask(b, 0x10000000, 1);
    ask(a, 0x10000000, 0);
    ask(a, 0x10000000, 0);
    is(1, true, "A stopped twice while B streams");
    ask(b, 0x10000000, 0);
    is(0, false, "B stopped too");

    for (uint32_t v : {1, 1, 0}) ask(a, 0x10000000, v);
    is(0, false, "A's start, start, stop");

    // No start through acquisitionStartStop is in force, so workMode writes
    // start and stop.
    ask(a, 0x10000068, 1);
    ask(b, 0x10000068, 1);
    ask(a, 0x10000068, 0);
    is(1, true, "A's and B's workMode 1, then A's 0");
    ask(b, 0x10000068, 0);
    is(0, false, "B's workMode 0");

    ask(a, 0x10000000, 1);
    EXPECT_EQ(a.ccp(0), 0);
    stream_ctrl_settle();
    is(0, false, "A released control, B holds it without a start");
    EXPECT_EQ(Host::value(b.readreg({0x10000000})), 0u) << "the stream reads back as stopped";

    // A alone starts twice and falls silent; B takes control once A's
    // heartbeat has run out.
    EXPECT_EQ(b.ccp(0), 0);
    ask(b, 0x0938, 150);
    EXPECT_EQ(a.ccp(2), 0);
    // Not settled between: A's heartbeat would run out meanwhile.
    EXPECT_EQ(Host::status(a.writereg({0x10000000, 1})), 0);
    EXPECT_EQ(Host::status(a.writereg({0x10000000, 1})), 0);
    EXPECT_EQ(stream_start_count(), 1u);
    ASSERT_TRUE(wait_until([&] { return ch.users().empty(); }));
    stream_ctrl_settle();
    is(0, false, "A's heartbeat ran out");
    ask(b, 0x0938, 5000);
    EXPECT_EQ(b.ccp(2), 0);
    ask(b, 0x10000000, 1);
    is(1, true, "B's start");
    ask(b, 0x10000000, 0);
    is(0, false, "B's stop");
}

// An expiry the pump gets to just after the host's latest request re-armed
// its timer is stale: the host keeps control.
TEST(GvcpChannel, AnExpiryOvertakenByTheHostsLatestRequestLeavesItInControl)
{
    Channel ch;
    Host a(ch.port);
    EXPECT_EQ(a.ccp(2), 0);
    ASSERT_EQ(ch.users().size(), 1u);
    iodev_t* timer = ch.users()[0].timer;
    EXPECT_EQ(Host::status(a.readreg({0x0000})), 0);  // re-arms the timer before it is answered
    GVCP_HeartBeat(ch.core, timer, 0, 0);
    EXPECT_EQ(ch.users().size(), 1u);
    EXPECT_EQ(ch.boot(0x0A00), 2u);
    EXPECT_EQ(Host::status(a.writereg({0x0938, 4000})), 0);
}

TEST(GvcpChannel, StreamChannelWritesGoToTheWritersRecordWhicheverWayTheyCome)
{
    Channel ch(2);
    Host a(ch.port);
    EXPECT_EQ(a.ccp(2), 0);
    EXPECT_EQ(Host::status(a.writemem(0x0D18, Host::words({0x0A000005}))), 0);
    EXPECT_EQ(Host::status(a.writemem(0x0D00, Host::words({40000}))), 0);
    ASSERT_EQ(ch.users().size(), 1u);
    EXPECT_STREQ(ch.users()[0].dest_ip, "127.0.0.1");
    EXPECT_EQ(ch.users()[0].dest_port, 40000);
    EXPECT_EQ(ch.boot(0x0D18), 0x0A000005u);
    // Memory access of the privilege register is the CCP write itself.
    EXPECT_EQ(Host::status(a.writemem(0x0A00, Host::words({0}))), 0);
    EXPECT_TRUE(ch.users().empty());
}

TEST(GvcpChannel, MemoryReadsServeTheBootstrapBlockAndTheDescriptionPackage)
{
    Channel ch;
    Host h(ch.port);
    // Numbers big-endian as register reads give them, texts as stored.
    Bytes m = h.readmem(0x0000, 8);
    ASSERT_EQ(m.size(), 20u);
    EXPECT_EQ(gv::get16(m.data() + 2), READMEM_ACK);
    EXPECT_EQ(gv::get32(m.data() + 12), 0x00020001u);
    EXPECT_EQ(gv::get32(m.data() + 16), 0x80000001u);
    Bytes vendor = h.readmem(0x0048, 32);
    EXPECT_STREQ(reinterpret_cast<char*>(vendor.data() + 12), "Vornak");

    Bytes url = h.readmem(0x0200, 512);
    std::string text(reinterpret_cast<char*>(url.data() + 12));
    std::string zip = read_host_file(ch.board.host("/oem/default/korvid.zip"));
    ASSERT_GT(zip.size(), 30u);
    char expect[64];
    snprintf(expect, sizeof expect, "Local:korvid.zip;10424000;%zX", zip.size());
    EXPECT_EQ(text, expect);

    // The package in 512-byte chunks, as hosts fetch it.
    std::string got;
    for (uint32_t off = 0; off < zip.size(); off += 512) {
        uint16_t n = (uint16_t)std::min<size_t>(512, (zip.size() - off + 3) & ~size_t(3));
        Bytes c = h.readmem(0x10424000 + off, n);
        ASSERT_EQ(Host::status(c), 0);
        ASSERT_EQ(c.size(), 12u + n);
        got.append(reinterpret_cast<char*>(c.data() + 12), n);
    }
    EXPECT_EQ(got.substr(0, zip.size()), zip);
    EXPECT_EQ(zip.substr(0, 4), std::string("PK\x03\x04", 4));
    EXPECT_EQ(zip.substr(30, 10), "korvid.xml") << "the description is the first entry";

    // Device registers through memory access are big-endian words too.
    reg_store(ch.common().width, 640u);
    Bytes w = h.readmem(0x10000034, 4);
    EXPECT_EQ(gv::get32(w.data() + 12), 640u);
}

TEST(GvcpChannel, MalformedAndOversizedRequestsAreCutAndAnsweredWithAnErrorStatus)
{
    Channel ch;
    Host h(ch.port);
    struct Case {
        const char* what;
        Bytes request;
        uint16_t status;
        size_t size;  // of the acknowledgement
    } cases[] = {
        {"declared past the datagram", h.cmd(READREG_CMD, Host::words({0x0938}), 1, 16), GEV_STATUS_INVALID_HEADER, 12},
        {"more addresses than the record",
         h.cmd(READREG_CMD, Bytes(136 * 4, 0)), GEV_STATUS_INVALID_PARAMETER, 8 + 135 * 4},
        {"read past the bootstrap block", h.cmd(READREG_CMD, Host::words({0x0938, 0xA004, 0x0938})),
         GEV_STATUS_INVALID_ADDRESS, 12},
        {"write past the bootstrap block", h.cmd(WRITEREG_CMD, Host::words({0xA004, 1})), GEV_STATUS_INVALID_ADDRESS,
         12},
        {"memory read past the block", h.cmd(READMEM_CMD, Host::words({0xA000, 8})), GEV_STATUS_INVALID_ADDRESS, 20},
        {"memory read over 3072 bytes", h.cmd(READMEM_CMD, Host::words({0x0000, 4000})),
         GEV_STATUS_INVALID_PARAMETER, 12 + 3072},
        {"memory read without count", h.cmd(READMEM_CMD, Host::words({0x0000})), GEV_STATUS_INVALID_HEADER, 12},
        {"memory write without address", h.cmd(WRITEMEM_CMD, {}), GEV_STATUS_INVALID_HEADER, 12},
        {"memory write declared past the datagram", h.cmd(WRITEMEM_CMD, Host::words({0x0938, 100}), 1, 16),
         GEV_STATUS_INVALID_HEADER, 12},
        {"unaligned memory write", h.cmd(WRITEMEM_CMD, Bytes{0, 0, 9, 0x39, 1, 2}), GEV_STATUS_BAD_ALIGNMENT, 12},
        {"memory write of a word and a half", h.cmd(WRITEMEM_CMD, Bytes{0x10, 0, 0, 0x1C, 0, 0, 0, 1, 0, 0}),
         GEV_STATUS_BAD_ALIGNMENT, 12},
    };
    for (const Case& c : cases) {
        Bytes a = h.ask(c.request);
        EXPECT_EQ(Host::status(a), c.status) << c.what;
        EXPECT_EQ(a.size(), c.size) << c.what;
        if (a.size() >= 8) {
            EXPECT_EQ(gv::get16(a.data() + 6), gv::get16(c.request.data() + 6)) << c.what;
        }
    }
    EXPECT_EQ(ch.boot(0x0938), 100u) << "the word that arrived was written";
    EXPECT_EQ(Host::value(h.readreg({0x1000001C})), 0u) << "no word of a part-word write is";

    // A datagram shorter than a header gets nothing: the next answer is
    // that of the request after it.
    h.send(Bytes{0x42, 0x01, 0x00, 0x80, 0x00});
    Bytes next = h.cmd(READREG_CMD, Host::words({0x0000}));
    EXPECT_EQ(gv::get16(h.ask(next).data() + 6), gv::get16(next.data() + 6));

    // Stop at the first failure: the third pair is not written.
    Bytes r = h.writereg({0x0938, 300, 0xA004, 1, 0x0938, 400});
    EXPECT_EQ(Host::status(r), GEV_STATUS_INVALID_ADDRESS);
    EXPECT_EQ(Host::index(r), 1);
    EXPECT_EQ(ch.boot(0x0938), 300u);
}

TEST(GvcpChannel, RefusedPersistentAddressLeavesThePreviousOne)
{
    Channel ch;
    Host h(ch.port);
    EXPECT_EQ(Host::status(h.writereg({0x064C, 0xC0A80132})), 0);
    EXPECT_EQ(Host::status(h.writereg({0x064C, 0x7F000001})), 0xFFFF);
    EXPECT_EQ(Host::value(h.readreg({0x064C})), 0xC0A80132u);
    EXPECT_EQ(Host::status(h.writemem(0x064C, Host::words({0x0A0000FF}))), 0xFFFF);
    EXPECT_EQ(ch.boot(0x064C), 0xC0A80132u);
}

TEST(GvcpChannel, WritesEndingNearAPageStartSaveTheBlockWhenSpaceAllows)
{
    struct Case {
        uint32_t last;
        bool memory;
        uint64_t freeMiB;
        bool saved;
    } cases[] = {
        {0x10000400, false, 4096, true},  {0x10000404, false, 4096, false}, {0x10002000, false, 4096, true},
        {0x10001034, false, 4096, true},  {0x10000034, true, 4096, true},   {0x10000034, false, 100, false},
        {0x10000034, false, 101, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.last) + (c.memory ? " mem" : ""));
        Channel ch;
        Host h(ch.port);
        std::string file = ch.board.host(CONFIG_FILE);
        remove(file.c_str());
        sim_set_free_space("/userdata", c.freeMiB << 20);
        reg_store(ch.common().width, 640u);
        if (c.memory) h.writemem(c.last, Host::words({0x0938}));
        else h.writereg({0x0938, 6000, c.last, 0});
        EXPECT_EQ(access(file.c_str(), F_OK) == 0, c.saved);
        if (c.saved) {
            EXPECT_EQ(read_host_file(file).size(), sizeof(deviceCFG));
        }
    }
}

TEST(GvcpChannel, UnalignedRegisterAddressesAnswerBadAlignmentAndChangeNothing)
{
    Channel ch;
    Host h(ch.port);
    std::string saved = ch.board.host(CONFIG_FILE);
    // Each value is one the aligned register refuses.
    struct Case {
        uint32_t aligned, unaligned, value;
        uint16_t refusal;
    } cases[] = {
        {0x1000005C, 0x1000005F, 3, 0xFFFF},     // no location algorithm
        {0x10002014, 0x10002015, 5000, 0xFFFF},  // ROI past the sensor
        {0x10002068, 0x1000206B, 4, 0x8001},     // no triple frequency
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.unaligned));
        EXPECT_EQ(Host::status(h.writereg({c.aligned, c.value})), c.refusal);
        Bytes r = h.writereg({c.unaligned, c.value});
        EXPECT_EQ(Host::status(r), GEV_STATUS_BAD_ALIGNMENT);
        EXPECT_EQ(Host::index(r), 0);
        EXPECT_EQ(Host::status(h.readreg({c.unaligned})), GEV_STATUS_BAD_ALIGNMENT);
        EXPECT_EQ(Host::value(h.readreg({c.aligned})), 0u);
        // Nor does the word reach the saved block.
        std::string file = read_host_file(saved);
        if (file.size() == sizeof(deviceCFG)) {
            uint32_t w;
            uint32_t off = (c.aligned - 0x10000000) / 0x1000 * DEV_CFG_AREA_SIZE + (c.aligned & 0xFFF);
            memcpy(&w, file.data() + off, 4);
            EXPECT_EQ(w, 0u);
        }
    }
    // The bootstrap block's registers are whole words too.
    uint32_t packet = ch.boot(0x0D04);
    EXPECT_EQ(Host::status(h.readreg({0x0A02})), GEV_STATUS_BAD_ALIGNMENT);
    EXPECT_EQ(Host::status(h.writereg({0x0D06, 0x1234})), GEV_STATUS_BAD_ALIGNMENT);
    EXPECT_EQ(ch.boot(0x0D04), packet);
    // The sensor pass-through onto the register space reaches the same rule.
    EXPECT_EQ(Host::status(h.writereg({0x10000048, 2, 0x1000004C, 0x1000005F, 0x10000050, 3})), 0);
    EXPECT_EQ(reg_load(ch.common().enableApplationAlgo), 0u);
}

TEST(GvcpChannel, SaveRegisterAnswersARefusalWhenTheBlockFileCannotBeMade)
{
    Channel ch;
    Host h(ch.port);
    // A directory where the block file belongs: space enough, no file.
    std::string file = ch.board.host(CONFIG_FILE);
    remove(file.c_str());
    ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    EXPECT_EQ(Host::status(h.writereg({0x10000014, 1})), 0xFFFF);
    EXPECT_EQ(Host::status(h.writereg({0x10000018, 1})), 0xFFFF);
    rmdir(file.c_str());
    EXPECT_EQ(Host::status(h.writereg({0x10000014, 1})), 0);
    EXPECT_EQ(read_host_file(file).size(), sizeof(deviceCFG));
}

TEST(GvcpChannel, MemoryWritesNoBlockTakesAreRefusedWithTheReasonAndIndex0)
{
    Channel ch;
    Host h(ch.port);
    const std::string user = ch.board.host("/userdata/const/user.bin");
    ASSERT_TRUE(write_host_file(user, std::string(131072, '\0')));
    struct Case {
        const char* what;
        uint32_t address;
        uint16_t status;
    } cases[] = {
        {"above the memory window", 0x20000000, GEV_STATUS_INVALID_ADDRESS},
        {"inside the library's version text", 0x10008004, GEV_STATUS_WRITE_PROTECT},
        {"inside the camera record", MEM_ADDR_CAMERA_ORIGINAL + 16, GEV_STATUS_WRITE_PROTECT},
        {"wrapping past the top of the address space", 0xFFFFFFFC, GEV_STATUS_INVALID_ADDRESS},
        {"between the command text and user_custom.bin", 0x10050000, GEV_STATUS_INVALID_ADDRESS},
        {"the firmware time, one past user.bin's end", MEM_ADDR_FIRMWARE_TIME, GEV_STATUS_WRITE_PROTECT},
    };
    for (const Case& c : cases) {
        for (const Bytes& data : {Host::words({0x11223344, 0x55667788}), Bytes()}) {
            Bytes a = h.writemem(c.address, data);
            EXPECT_EQ(Host::status(a), c.status) << c.what << ", " << data.size() << " bytes";
            EXPECT_EQ(Host::index(a), 0) << c.what << ", " << data.size() << " bytes";
        }
    }
    EXPECT_EQ(read_host_file(user), std::string(131072, '\0'));
    // A write that lands keeps its answer: every byte counted.
    Bytes a = h.writemem(MEM_ADDR_USER_BIN + 8, Host::words({0x11223344, 0x55667788}));
    EXPECT_EQ(Host::status(a), 0);
    EXPECT_EQ(Host::index(a), 8);
    EXPECT_EQ(read_host_file(user).substr(8, 4), std::string("\x11\x22\x33\x44", 4));
}

TEST(GvcpChannel, SavesDeclinedForWantOfSpaceAnswerARefusal)
{
    Channel ch;
    Host h(ch.port);
    const std::string config = ch.board.host(CONFIG_FILE), deflt = ch.board.host(DEFAULT_CONFIG_FILE);
    const std::string group = ch.board.host("/userdata/const/config2.bin");
    for (const std::string& f : {config, deflt, group}) remove(f.c_str());

    ASSERT_EQ(sim_set_free_space("/userdata", 50ull << 20), 0);
    EXPECT_EQ(Host::status(h.writereg({0x10000014, 1})), 0xFFFF) << "save";
    EXPECT_EQ(Host::status(h.writereg({0x10000018, 1})), 0xFFFF) << "save";
    EXPECT_EQ(Host::status(h.writereg({0x10000040, 1})), 0xFFFF) << "default save";
    EXPECT_EQ(Host::status(h.writereg({0x10000094, 2})), 0xFFFF) << "group save";
    for (const std::string& f : {config, deflt, group}) EXPECT_EQ(read_host_file(f), "<missing>") << f;
    EXPECT_TRUE(ch.log.has("no space in device, can not write file."));

    // With room each save answers as before.
    ASSERT_EQ(sim_set_free_space("/userdata", 4096ull << 20), 0);
    EXPECT_EQ(Host::status(h.writereg({0x10000014, 1})), 0);
    EXPECT_EQ(Host::status(h.writereg({0x10000040, 1})), 0);
    EXPECT_EQ(Host::status(h.writereg({0x10000094, 2})), 0);
    for (const std::string& f : {config, deflt, group}) EXPECT_EQ(read_host_file(f).size(), sizeof(deviceCFG)) << f;
}

// 0xFFFF sends the host to fetch dev_filter.json over TCP 9900: an export
// that cannot be written answers an error of its own and leaves no older
// export there to be fetched as the current text.
TEST(GvcpChannel, FilterExportThatCannotBeWrittenAnswersAnErrorAndLeavesNoOlderExport)
{
    Channel ch;
    Host h(ch.port);
    const std::string filter = ch.board.host("/userdata/dev_filter.json");
    std::string longText = "{\"pad\":\"" + std::string(3100, 'f') + "\"}";
    algo_TavoPlus_SetFilterString(reinterpret_cast<uint8*>(longText.data()));

    ASSERT_TRUE(write_host_file(filter, "{\"stale\":1}"));
    ASSERT_EQ(sim_set_free_space("/userdata", 50ull << 20), 0);
    EXPECT_EQ(Host::status(h.readmem(MEM_ADDR_FILTER_JSON, 64)), REG_NOT_DONE) << "no room";
    EXPECT_EQ(read_host_file(filter), "<missing>");

    ASSERT_EQ(sim_set_free_space("/userdata", 4096ull << 20), 0);
    ASSERT_EQ(mkdir(filter.c_str(), 0755), 0);  // room, but no file can be made there
    EXPECT_EQ(Host::status(h.readmem(MEM_ADDR_FILTER_JSON, 64)), REG_NOT_DONE) << "write failed";
    EXPECT_TRUE(ch.log.has("can not write /userdata/dev_filter.json"));
    ASSERT_EQ(rmdir(filter.c_str()), 0);

    ASSERT_TRUE(write_host_file(filter, "{\"stale\":1}"));
    EXPECT_EQ(Host::status(h.readmem(MEM_ADDR_FILTER_JSON, 64)), 0xFFFF) << "the host fetches the file";
    EXPECT_EQ(read_host_file(filter), longText);
    algo_TavoPlus_SetFilterString(nullptr);
}

TEST(GvcpChannel, FilterTextDepthProcessingRefusesIsAnsweredAsRefusedAndTheOldFilterStays)
{
    Channel ch;
    Host h(ch.port);
    const std::string good = "{\"median_filter\":{\"enable\":1}}";
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    Bytes a = h.writemem(MEM_ADDR_FILTER_JSON, text(good));
    EXPECT_EQ(Host::status(a), 0);
    EXPECT_EQ(Host::index(a), good.size());
    a = h.writemem(MEM_ADDR_FILTER_JSON, text("{\"median_filter\":"));
    EXPECT_EQ(Host::status(a), REG_ALGO_FAIL);
    EXPECT_EQ(Host::index(a), 0);
    a = h.readmem(MEM_ADDR_FILTER_JSON, 64);
    ASSERT_EQ(Host::status(a), 0);
    EXPECT_EQ(std::string(a.begin() + 12, a.begin() + 12 + (long)good.size()), good);
    algo_TavoPlus_SetFilterString(nullptr);
}

TEST(GvcpChannel, ApplicationCommandWithoutAnApplicationIsAnsweredAsTheParameterBlockIs)
{
    Channel ch;
    Host h(ch.port);
    reg_store(ch.common().enableApplationAlgo, 0u);
    Bytes cmd = Host::words({0x7B7D0000});  // "{}"
    Bytes params = h.writemem(MEM_ADDR_APP_ALGO_PARAM, cmd);
    Bytes command = h.writemem(MEM_ADDR_APP_ALGO_COMMAND, cmd);
    EXPECT_EQ(Host::status(params), REG_NOT_IMPLEMENTED);
    EXPECT_EQ(Host::status(command), Host::status(params));
    EXPECT_EQ(Host::index(command), 0);
}

// Start-up could not read config.bin (an I/O error that may pass): the first
// save of each start keeps it under a name of its own before replacing it,
// whether a plain write or the save register saves.
TEST(GvcpChannel, UnreadableSavedBlockIsKeptUnderItsOwnNameBeforeTheFirstSave)
{
    Channel ch;
    Host h(ch.port);
    const std::string config = ch.board.host(CONFIG_FILE);
    std::string before = std::string(sizeof(deviceCFG), '\x5A');
    ASSERT_TRUE(write_host_file(config, before));
    struct Case {
        uint32_t address, value;
        const char* kept;
    } cases[] = {{0x10000060, 7, "/userdata/config.bin.unread-1"}, {0x10000014, 1, "/userdata/config.bin.unread-2"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kept);
        ASSERT_EQ(sim_fail_nth(CONFIG_FILE, SIM_REQ_OPEN, 1, EIO), 0);
        ASSERT_EQ(Custom_RegInit(), 0);
        ch.users();  // the channel's next request takes this lock after the start
        EXPECT_TRUE(ch.log.has("/userdata/config.bin can not be read: started on the defaults"));
        EXPECT_EQ(Host::status(h.writereg({c.address, c.value})), 0);
        EXPECT_EQ(read_host_file(ch.board.host(c.kept)), before);
        EXPECT_TRUE(ch.log.has(std::string("kept as ") + c.kept));
        std::string saved = read_host_file(config);
        EXPECT_EQ(saved.size(), sizeof(deviceCFG));
        EXPECT_NE(saved, before);
        // Later saves replace the new file only.
        EXPECT_EQ(Host::status(h.writereg({0x10000060, 9})), 0);
        EXPECT_EQ(read_host_file(ch.board.host(c.kept)), before);
        before = read_host_file(config);
        Custom_RegDeInit();
        g_dev_cfg = &ch.cfg;
        g_regMemAddr = &ch.run;
        ch.users();
    }
    EXPECT_EQ(read_host_file(ch.board.host("/userdata/config.bin.unread-3")), "<missing>");
}

// Start-up could not read config.bin, which is gone by the first save: the
// saves go through as they do without it, the later ones too.
TEST(GvcpChannel, UnreadableSavedBlockRemovedBeforeTheFirstSaveLeavesSavesAnsweringDone)
{
    Channel ch;
    Host h(ch.port);
    const std::string config = ch.board.host(CONFIG_FILE);
    ASSERT_TRUE(write_host_file(config, std::string(sizeof(deviceCFG), '\x5A')));
    ASSERT_EQ(sim_fail_nth(CONFIG_FILE, SIM_REQ_OPEN, 1, EIO), 0);
    ASSERT_EQ(Custom_RegInit(), 0);
    ch.users();  // the channel's next request takes this lock after the start
    ASSERT_TRUE(ch.log.has("/userdata/config.bin can not be read: started on the defaults"));
    ASSERT_EQ(remove(config.c_str()), 0);
    for (uint32_t save : {1u, 2u}) {
        EXPECT_EQ(Host::status(h.writereg({0x10000014, save})), 0) << "save " << save;
        EXPECT_EQ(read_host_file(config).size(), sizeof(deviceCFG)) << "save " << save;
        ASSERT_EQ(remove(config.c_str()), 0);
    }
    EXPECT_EQ(read_host_file(ch.board.host("/userdata/config.bin.unread-1")), "<missing>");
    Custom_RegDeInit();
    g_dev_cfg = &ch.cfg;
    g_regMemAddr = &ch.run;
    ch.users();
}

// ---- Frequency settings as hosts write them ----

constexpr uint32_t kFreqA = 0x1000206C, kFreqB = 0x10002070, kFreqC = 0x10002050;
constexpr uint32_t kFreqMode = 0x10002068, k3DMode = 0x100000E8, kHdr = 0x10000084;
constexpr uint16_t kNotImplemented = 0x8001, kRefused = 0xFFFF;

// A channel on `profile`'s board, its register block the board's defaults
// (the frequency judgement goes by the detected sensor kinds).
struct BoardChannel : Channel {
    explicit BoardChannel(const char* profile, uint32_t rgbKind, uint32_t tofKind, uint32_t cpu)
        : Channel(1, profile)
    {
        custom_default_cfg(&cfg, rgbKind, tofKind, cpu);
    }
};

struct FreqWrite {
    uint32_t address, value;
    uint16_t status;
};

// Each write answers its status over GVCP; a refused one leaves the
// register as it was, a taken one holds the value.
void expect_answers(Host& h, const std::vector<FreqWrite>& writes)
{
    for (const FreqWrite& w : writes) {
        SCOPED_TRACE(std::to_string(w.address) + ":=" + std::to_string(w.value));
        uint32_t before = Host::value(h.readreg({w.address}));
        EXPECT_EQ(Host::status(h.writereg({w.address, w.value})), w.status);
        EXPECT_EQ(Host::value(h.readreg({w.address})), w.status == 0 ? w.value : before);
    }
}

// Where the register rules refuse, their answer stands: 0x8001, which a
// host reports at once, not the frequency or rate judgement's 0xFFFF, which
// it reports only after its time-out.
TEST(GvcpFrequencies, RefusalsOfTheRegisterRulesKeepTheirCodeBeforeTheJudgements)
{
    {
        BoardChannel ch("rk3588-gpixel", E_SMARTSENS_SC130GS, E_GPIXEL_0503, E_CPU_RK3588);
        Host h(ch.port);
        expect_answers(h, {{kFreqMode, 4, kNotImplemented}, {kFreqMode, 5, kRefused}, {kFreqMode, 0, 0}});
        // With workMode 1 no frequency setting is writable now.
        reg_store(ch.common().workMode, 1u);
        expect_answers(h, {{kFreqMode, 3, kNotImplemented}, {kFreqMode, 5, kNotImplemented},
                           {k3DMode, 2, kNotImplemented}, {kHdr, 1, kNotImplemented}});
    }
    BoardChannel ch("rk3568-imx570", E_SMARTSENS_SC230AI, E_IMX570, E_CPU_RK3568);
    Host h(ch.port);
    expect_answers(h, {{0x1000102C, 31, kNotImplemented}, {0x1000102C, 50, kNotImplemented},
                       {0x1000102C, 99, kNotImplemented}, {0x1000202C, 31, kNotImplemented},
                       {0x1000102C, 100, kRefused}, {0x1000102C, 30, 0}});
}

// A frequency the present mode leaves unused takes 0, and the modes that
// would use it are refused while it is 0. On the Gpixel in single
// frequency the second frequency is the first's partner in the table or 0,
// nothing else.
TEST(GvcpFrequencies, AnUnusedFrequencyTakes0AndTheModesThatNeedItAreRefused)
{
    {
        BoardChannel ch("rk3588-gpixel", E_SMARTSENS_SC130GS, E_GPIXEL_0503, E_CPU_RK3588);
        ch.tof().freqMode = 0;
        ch.tof().groupAFreq = 96;
        ch.tof().groupBFreq = 60;
        Host h(ch.port);
        expect_answers(h, {{kFreqB, 75, kRefused}, {kFreqB, 0, 0}, {kFreqA, 0, kRefused}, {kFreqMode, 1, kRefused},
                           {kFreqMode, 3, kRefused}, {k3DMode, 1, kRefused}, {kHdr, 1, 0}, {kFreqB, 60, 0},
                           {kFreqMode, 3, 0}, {kFreqB, 0, kRefused}});
    }
    BoardChannel ch("rk3568-imx570", E_SMARTSENS_SC230AI, E_IMX570, E_CPU_RK3568);
    Host h(ch.port);
    for (uint32_t mode : {1u, 2u, 3u}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        expect_answers(h, {{kFreqC, 48, 0}, {kFreqMode, mode, 0}, {kFreqC, 0, 0}, {kFreqMode, 5, kRefused},
                           {kFreqMode, 6, kRefused}, {k3DMode, 2, kRefused}, {kFreqB, 0, kRefused}});
    }
    expect_answers(h, {{kFreqC, 48, 0}, {kFreqMode, 5, 0}, {kFreqC, 0, kRefused}});
}

TEST(GvcpChannel, SavedBlockAndUserFilesAreSyncedBeforeTheyReplaceTheOldOnes)
{
    Channel ch;
    Host h(ch.port);
    const std::string user = "/userdata/const/user.bin";
    ASSERT_TRUE(write_host_file(ch.board.host(user), std::string(131072, '\0')));
    sim_fileop_clear();
    EXPECT_EQ(Host::status(h.writereg({0x10000014, 1})), 0);
    EXPECT_EQ(Host::status(h.writemem(MEM_ADDR_USER_BIN + 8, Host::words({0x11223344}))), 0);
    EXPECT_EQ(Host::status(h.writemem(MEM_ADDR_USER_ID_BIN, Host::words({0xCAFEF00D}))), 0);
    // The save register and the write after it each replace the block once.
    EXPECT_EQ(renames_onto(CONFIG_FILE), (std::vector<std::string>{"synced", "synced"}));
    EXPECT_EQ(renames_onto(user), std::vector<std::string>{"synced"});
    EXPECT_EQ(renames_onto("/userdata/const/user_id.bin"), std::vector<std::string>{"synced"});
    EXPECT_EQ(read_host_file(ch.board.host(user)).substr(8, 4), std::string("\x11\x22\x33\x44", 4));
    EXPECT_EQ(read_host_file(ch.board.host(user)).size(), 131072u);
}

}  // namespace
