// Stream sender over loopback: block and packet layout per block type,
// packet sizes, block numbering, resends to the requesting host, the bounded
// resend list, the stream close done on the sender's thread, and every pool
// frame back in its pool.
#include <gtest/gtest.h>

#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "GigE/bootstrap.h"
#include "GigE/gvcp.h"
#include "GigE/gv_codec.h"
#include "GigE/gvsp.h"
#include "GigE/gvsp_codec.h"
#include "common/regtest.h"
#include "common/stream_ctrl.h"
#include "memory.h"

namespace {

using regtest::ChangeHold;
using regtest::RegSpace;
using regtest::wait_until;

constexpr uint32_t kLoopback = 0x7F000001;

// ---- Datagrams as a host receives them ----

struct Pkt {
    std::vector<uint8_t> b;
    uint16_t src = 0;
    uint32_t u16(size_t o) const { return (uint32_t)(b[o] << 8 | b[o + 1]); }
    uint32_t u32(size_t o) const { return u16(o) << 16 | u16(o + 2); }
    bool gvsp() const { return b.size() >= 20 && (b[4] & 0x80); }  // test packets are zeros
    uint32_t status() const { return u16(0); }
    uint32_t flag() const { return u16(2); }
    uint8_t format() const { return b[4]; }
    uint64_t block() const { return (uint64_t)u32(8) << 32 | u32(12); }
    uint32_t id() const { return u32(16); }
};

struct Block {
    Pkt leader;
    std::vector<Pkt> payload;
    Pkt trailer;
};

struct Rx {
    int fd = -1;
    uint16_t port = 0;
    Rx()
    {
        int p = 0;
        fd = pumptest::loopback_socket(SOCK_DGRAM, &p);
        port = (uint16_t)p;
        int size = 8 << 20;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    ~Rx() { close(fd); }
    std::optional<Pkt> next(int ms = pumptest::kEventWaitMs)
    {
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, ms) != 1) return std::nullopt;
        Pkt p;
        p.b.resize(65536);
        sockaddr_in from{};
        socklen_t fl = sizeof(from);
        ssize_t n = recvfrom(fd, p.b.data(), p.b.size(), 0, (sockaddr*)&from, &fl);
        if (n < 0) return std::nullopt;
        p.b.resize((size_t)n);
        p.src = ntohs(from.sin_port);
        return p;
    }
    std::optional<Pkt> next_gvsp(int ms = pumptest::kEventWaitMs)
    {
        for (;;) {
            auto p = next(ms);
            if (!p || p->gvsp()) return p;
        }
    }
    // Leader to trailer of the next block.
    std::optional<Block> block()
    {
        Block blk;
        auto p = next_gvsp();
        if (!p || p->format() != 0x81) return std::nullopt;
        blk.leader = *p;
        for (;;) {
            p = next_gvsp();
            if (!p) return std::nullopt;
            if (p->format() == 0x82) break;
            blk.payload.push_back(*p);
        }
        blk.trailer = *p;
        return blk;
    }
    bool quiet(int ms = 50) { return !next(ms); }
};

// ---- A running sender on a register space with frame pools ----

struct Sender : RegSpace {
    static constexpr int kUnit = (int)sizeof(ImageInfo) + 65536;
    Rx dest;  // bootstrap stream destination (video, test packets)
    std::vector<UserInfo*> users;
    bool started = false;

    Sender()
    {
        EXPECT_EQ(Bootstrap_RegInit(), 0);
        for (bpool_t** p : pools()) *p = algotest::make_pool(kUnit, 4);
        put(REG_CONTROL_CHANNEL_PRIVILEGE, 2);
        put(REG_STREAM_CHANNEL_DEST_ADDRESS, kLoopback);
        put(REG_STREAM_CHANNEL_PORT, dest.port);
        put(REG_STREAM_CHANNEL_SRC_PORT, 0);
    }
    ~Sender()
    {
        stop();
        // Every frame the sender was given is back in its pool.
        EXPECT_EQ(fetched(), 0);
        for (bpool_t** p : pools()) bpool_clean(*p), *p = nullptr;
        disconnect_all();
        Bootstrap_RegDeInit();
    }
    void start()
    {
        ASSERT_EQ(worker_create(core, E_WORKER_ID_GVSP, GVSP_Task), 0);
        ASSERT_TRUE(wait_until([&] { return priv() != nullptr; }));
        started = true;
    }
    void stop()
    {
        if (!started) return;
        if (worker_t* wk = epcore_worker_find(core, E_WORKER_ID_GVSP)) worker_stop(wk);
        EXPECT_TRUE(wait_until([&] { return epcore_worker_find(core, E_WORKER_ID_GVSP) == nullptr; }));
        started = false;
    }
    std::vector<bpool_t**> pools()
    {
        return {&core->raw, &core->rgb, &core->depth, &core->applation_algo, &core->applation_algo_result};
    }
    int fetched()
    {
        int n = 0;
        for (bpool_t** p : pools()) n += bpool_fetched_num(*p);
        return n;
    }
    static void put(uint32_t address, uint32_t value) { Bootstrap_WriteReg(address, &value, 4); }
    static uint32_t word(uint32_t address)
    {
        uint32_t v = 0;
        Bootstrap_ReadReg(address, &v, 4);
        return v;
    }
    worker_t* worker() { return epcore_worker_find(core, E_WORKER_ID_GVSP); }
    // Waits until the sender has taken every queued frame.
    bool all_taken()
    {
        worker_t* wk = worker();
        return wait_until([&] {
            EnterCriticalSection(&wk->datalistCS);
            bool taken = lt_num(wk->data_list) == 0;
            LeaveCriticalSection(&wk->datalistCS);
            return taken;
        });
    }
    GVSPPrivData* priv()
    {
        GVSPPrivData* p = nullptr;
        EnterCriticalSection(&core->workerlistCS);
        uint64_t key = E_WORKER_ID_GVSP;
        if (auto* wk = static_cast<worker_t*>(ht_get(core->worker_tab, &key))) {
            EnterCriticalSection(&wk->datalistCS);
            if (auto* d = static_cast<iodev_t*>(wk->pdev)) p = static_cast<GVSPPrivData*>(d->priv_data);
            LeaveCriticalSection(&wk->datalistCS);
        }
        LeaveCriticalSection(&core->workerlistCS);
        return p;
    }

    // A connected host: its GVCP source is 127.0.0.1:gvcpPort, its stream
    // goes to the receiver.
    void connect(const Rx& rx, uint16_t gvcpPort)
    {
        auto* u = static_cast<UserInfo*>(kzalloc(sizeof(UserInfo)));
        strcpy(u->user_ip, "127.0.0.1");
        u->user_port = gvcpPort;
        strcpy(u->dest_ip, "127.0.0.1");
        u->dest_port = rx.port;
        EnterCriticalSection(&core->userCS);
        u->primary = lt_num(core->user_info) == 0;
        lt_append(core->user_info, u);
        LeaveCriticalSection(&core->userCS);
    }
    void disconnect_all()
    {
        EnterCriticalSection(&core->userCS);
        while (void* u = lt_rm_head(core->user_info)) kfree(u);
        LeaveCriticalSection(&core->userCS);
    }

    ImageInfo* frame(uint32_t imageType, uint32_t size)
    {
        bool rgb = imageType == E_IMAGE_TYPE_RGB;
        bool result = imageType >= E_IMAGE_TYPE_AVOID && imageType != E_IMAGE_TYPE_MJPEG;
        auto* f = static_cast<ImageInfo*>(
            bpool_fetch(rgb ? core->rgb : result ? core->applation_algo_result : core->depth));
        memset(f, 0, sizeof(ImageInfo));
        f->memType = rgb ? E_MEMTYPE_RGB : result ? E_MEMTYPE_APPLATION_RESULT : E_MEMTYPE_DEPTH;
        f->imageType = imageType;
        f->imageSize = size;
        for (uint32_t i = 0; i < size; i++) f->imageData[i] = (uint8_t)(i * 7 + 3);
        return f;
    }
    void queue(ImageInfo* f)
    {
        worker_t* wk = worker();
        ASSERT_NE(wk, nullptr);
        EnterCriticalSection(&wk->datalistCS);
        lt_append(wk->data_list, f);
        LeaveCriticalSection(&wk->datalistCS);
    }
    void send(uint32_t imageType, uint32_t size) { queue(frame(imageType, size)); }
};

// A GVCP packet-resend command as hosts send it (extended ids).
std::vector<uint8_t> resend_cmd(uint64_t block, uint32_t first, uint32_t last, uint16_t reqId = 7)
{
    GVCPPacketResendCmd c{};
    c.header.keyValue = 0x42;
    c.header.flag = 0x10;
    c.header.command = PACKETRESEND_CMD;
    c.header.length = 20;
    c.header.reqId = reqId;
    c.firstPacketId = first;
    c.lastPacketId = last;
    c.blockId64H = (uint32_t)(block >> 32);
    c.blockId64L = (uint32_t)block;
    std::vector<uint8_t> v(sizeof(c));
    gv::encode(v.data(), c);
    return v;
}

int request(Sender& s, uint64_t block, uint32_t first, uint32_t last, uint16_t gvcpPort,
            const char* ip = "127.0.0.1")
{
    auto c = resend_cmd(block, first, last);
    return GVSP_ResendRequest(s.core, c.data(), (int)c.size(), ip, gvcpPort);
}

// The data of a frame made by Sender::frame, from byte `off`.
bool data_matches(const Pkt& p, size_t header, uint32_t off)
{
    for (size_t i = header; i < p.b.size(); i++)
        if (p.b[i] != (uint8_t)((off + i - header) * 7 + 3)) return false;
    return true;
}

// ---- Layout ----

TEST(GvspBlock, EachBlockTypeHasItsLeaderPayloadAndTrailerLayout)
{
    Sender s;
    Rx host;
    pumptest::HeldPort held(SOCK_DGRAM, true);  // the sender shares it
    int srcPort = held.port;
    s.put(REG_STREAM_CHANNEL_SRC_PORT, (uint32_t)srcPort);
    s.put(REG_STREAM_CHANNEL_PACKET_SIZE, 576);  // 528 bytes per packet, 520 for video
    s.connect(host, 50001);
    s.start();

    struct Case {
        uint32_t type, payloadType, leaderLen, trailerLen;
        bool video;
    } cases[] = {
        {E_IMAGE_TYPE_DEPTH, 0x0001, 56, 28, false},  {E_IMAGE_TYPE_AMP, 0x0001, 56, 28, false},
        {E_IMAGE_TYPE_RAW, 0x0001, 56, 28, false},    {E_IMAGE_TYPE_RGB, 0x0001, 56, 28, false},
        {E_IMAGE_TYPE_JPEG, 0x0007, 52, 24, false},   {E_IMAGE_TYPE_AVOID, 0x8002, 36, 24, false},
        {E_IMAGE_TYPE_PALLET, 0x8003, 36, 24, false}, {E_IMAGE_TYPE_AVOID2, 0x8005, 36, 24, false},
        {E_IMAGE_TYPE_H264, 0x0008, 52, 24, true},    {E_IMAGE_TYPE_H265, 0x8000, 52, 24, true},
        {E_IMAGE_TYPE_MJPEG, 0x8001, 52, 24, true},
    };
    uint64_t expectBlock = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const uint32_t size = 1300;
        ImageInfo* f = s.frame(c.type, size);
        f->width = 40, f->height = 17, f->pixelFormat = 0x01100007;
        f->timeStampH = 0x11223344, f->timeStampL = 0x55667788;
        f->frameIndex = 0x1'0000'0042ull;
        f->PDFlags = 0xA5A5;
        s.queue(f);
        Rx& rx = c.video ? s.dest : host;
        auto blk = rx.block();
        ASSERT_TRUE(blk);
        const Pkt& L = blk->leader;
        EXPECT_EQ(L.b.size(), c.leaderLen);
        EXPECT_EQ(L.src, srcPort);
        EXPECT_EQ(L.u32(0), 0u);  // status, flag
        EXPECT_EQ(L.u32(4), 0x81000000u);  // format, 24-bit id unused
        EXPECT_EQ(L.block(), expectBlock);
        EXPECT_EQ(L.id(), 0u);
        EXPECT_EQ(L.u16(22), c.payloadType);
        // Words of the leader from byte 24 on.
        std::vector<uint32_t> words;
        if (c.leaderLen == 56) {
            EXPECT_EQ(L.b[21], c.type);
            words = {0x11223344, 0x55667788, 0x01100007, 40, 17, 0x42, c.type == E_IMAGE_TYPE_DEPTH ? 0xA5A5u : 0u};
        } else if (c.type == E_IMAGE_TYPE_JPEG) {
            words = {0x11223344, L.u32(28), 0, size, 0x42, 1000000, 0x0108000A};
        } else if (c.video) {
            words = {0, size, (L.u32(32) & 0xFFFF0000) | size, 0, 0, 0, 0};  // byte 34: 16-bit size
        } else {
            words = {L.u32(24), 0x55667788, size};
        }
        for (size_t i = 0; i < words.size(); i++) EXPECT_EQ(L.u32(24 + 4 * i), words[i]) << "byte " << 24 + 4 * i;
        const size_t header = c.video ? 28 : 20;
        const uint32_t cut = c.video ? 520 : 528;
        ASSERT_EQ(blk->payload.size(), 3u);
        for (size_t i = 0; i < 3; i++) {
            const Pkt& P = blk->payload[i];
            EXPECT_EQ(P.format(), 0x83);
            EXPECT_EQ(P.id(), i + 1);
            EXPECT_EQ(P.block(), expectBlock);
            EXPECT_EQ(P.b.size(), header + (i < 2 ? cut : size - 2 * cut));
            EXPECT_TRUE(data_matches(P, header, (uint32_t)i * cut));
            if (c.video) {
                EXPECT_EQ(P.u32(20), 0x11223344u);
                EXPECT_EQ(P.u32(24), 0x55667788u);
            }
        }
        const Pkt& T = blk->trailer;
        EXPECT_EQ(T.b.size(), c.trailerLen);
        EXPECT_EQ(T.id(), 4u);
        EXPECT_EQ(T.block(), expectBlock);
        EXPECT_EQ(T.u16(22), c.payloadType);
        if (c.trailerLen == 28) {
            EXPECT_EQ(T.u32(24), 17u);
        }
        expectBlock++;
    }
    // Image blocks never reach the bootstrap destination, video never the hosts.
    EXPECT_TRUE(host.quiet());
}

// Packet sizes: 100 or less means 1500; sizes above the packet buffers are
// lowered to 9000, in the register too; the last packet carries the rest and
// the trailer id follows the last payload id.
TEST(GvspBlock, PacketSizesAndBoundariesCutTheDataAsTheSizeInForceSays)
{
    Sender s;
    Rx host;
    s.connect(host, 50001);
    s.start();
    struct Case {
        uint32_t written, cut;  // cut: data bytes per image packet
        uint32_t size;          // frame data
    } cases[] = {
        {0, 1452, 3000},     {100, 1452, 1452},  {101, 53, 106},   {101, 53, 107}, {577, 529, 1000},
        {1500, 1452, 0},     {9000, 8952, 9000}, {9500, 8952, 20000}, {0xFFFF, 8952, 8952},
        {0x80000000 | 1000, 952, 1904},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.written << " / " << c.size);
        s.put(REG_STREAM_CHANNEL_PACKET_SIZE, c.written);  // queues a test packet
        s.send(E_IMAGE_TYPE_AMP, c.size);
        auto blk = host.block();
        ASSERT_TRUE(blk);
        uint32_t count = (c.size + c.cut - 1) / c.cut;
        ASSERT_EQ(blk->payload.size(), count);
        for (uint32_t i = 0; i < count; i++) {
            uint32_t n = std::min(c.cut, c.size - i * c.cut);
            EXPECT_EQ(blk->payload[i].b.size(), 20 + n);
            EXPECT_LE(blk->payload[i].b.size() + 28, std::max(std::min(c.written & 0xFFFF, 9000u), 1500u));
        }
        EXPECT_EQ(blk->trailer.id(), count + 1);
        EXPECT_EQ(GVSP_PacketSize(), c.cut + 48);
    }
    // The register shows the size in force once the sender has seen it.
    s.put(REG_STREAM_CHANNEL_PACKET_SIZE, 0x80000000u | 9500);
    EXPECT_TRUE(wait_until([&] { return s.word(REG_STREAM_CHANNEL_PACKET_SIZE) == (0x80000000u | 9000); }));
    // Video packets leave room for their 28-byte header.
    s.send(E_IMAGE_TYPE_H264, 8944 * 2 + 1);
    auto v = s.dest.block();
    ASSERT_TRUE(v);
    ASSERT_EQ(v->payload.size(), 3u);
    EXPECT_EQ(v->payload[0].b.size(), 28u + 8944);
    EXPECT_EQ(v->payload[2].b.size(), 28u + 1);
}

TEST(GvspBlock, TestPacketsGoToTheDestinationAndTooSmallOnesAreRefused)
{
    Sender s;
    s.start();
    struct Case {
        uint32_t written;
        int datagram;  // -1: none
    } cases[] = {{100, 72}, {28, 0}, {27, -1}, {1, -1}, {3000, 1472}, {9500, 1472}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        s.put(REG_STREAM_CHANNEL_PACKET_SIZE, c.written);
        if (c.datagram < 0) {
            EXPECT_TRUE(wait_until([&] { return s.log.has("test packet size:" + std::to_string(c.written)); }));
            continue;
        }
        auto p = s.dest.next();
        ASSERT_TRUE(p);
        EXPECT_EQ((int)p->b.size(), c.datagram);
        EXPECT_EQ(std::string(p->b.begin(), p->b.end()), std::string((size_t)c.datagram, '\0'));
    }
    // A size above the bound was answered by one test packet only.
    EXPECT_TRUE(s.dest.quiet());
    EXPECT_EQ(s.word(REG_STREAM_CHANNEL_PACKET_SIZE), 9000u);
}

// ---- Block ids ----

TEST(GvspBlockId, IdsStartAtOneAndGrowPerBlockEvenWithoutHostsButNotForTestFramesAndTheTaskEndReturnsFrames)
{
    Sender s;
    Rx host;
    s.start();
    // No host: the blocks go nowhere but count.
    s.send(E_IMAGE_TYPE_DEPTH, 100);
    s.send(E_IMAGE_TYPE_JPEG, 100);
    s.send(E_IMAGE_TYPE_AVOID, 100);
    s.send(E_IMAGE_TYPE_H264, 100);  // to the destination: block 4
    auto v = s.dest.block();
    ASSERT_TRUE(v);
    EXPECT_EQ(v->leader.block(), 4u);
    s.put(REG_STREAM_CHANNEL_PACKET_SIZE, 200);  // a test frame: no block
    ASSERT_TRUE(s.dest.next());
    ImageInfo* odd = s.frame(E_IMAGE_TYPE_DEPTH, 10);
    odd->imageType = 12;  // unknown: nothing sent, no block
    s.queue(odd);
    ASSERT_TRUE(wait_until([&] { return s.log.has("unknow image type:12"); }));
    s.connect(host, 50001);
    s.send(E_IMAGE_TYPE_RAW, 100);
    auto b = host.block();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->leader.block(), 5u);

    // Without control privilege, or without a destination, a frame is
    // dropped: not sent, not numbered.
    for (uint32_t reg : {REG_CONTROL_CHANNEL_PRIVILEGE, REG_STREAM_CHANNEL_PORT}) {
        uint32_t keep = s.word(reg);
        s.put(reg, 0);
        s.send(E_IMAGE_TYPE_DEPTH, 100);
        // Only the cached frames are out: all six sent so far but the grey
        // one, less the test packet's heap frame.
        static_assert(GVSP_CACHE_FRAMES >= 6);
        ASSERT_TRUE(wait_until([&] { return s.fetched() == 5; }));
        s.put(reg, keep);
    }
    s.send(E_IMAGE_TYPE_AMP, 100);
    b = host.block();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->leader.block(), 6u);

    // A stream close numbers the next block 1 and releases the cached frame.
    EXPECT_EQ(GVSP_StreamFlush(s.core, GVSP_FLUSH_WAIT_MS), 0);
    EXPECT_EQ(s.fetched(), 0);
    s.send(E_IMAGE_TYPE_AMP, 100);
    b = host.block();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->leader.block(), 1u);

    // The task's end gives back the cached frame (checked on teardown), and
    // without a sender a close has nothing to wait for.
    s.put(REG_CONTROL_CHANNEL_PRIVILEGE, 0);
    s.stop();
    EXPECT_EQ(GVSP_StreamFlush(s.core, 20), 0);
}

// ---- Resend ----

TEST(GvspResend, PacketsGoToTheRequestingHostWithTheResendMarks)
{
    Sender s;
    Rx a, b;
    s.connect(a, 50001);
    s.connect(b, 50002);  // served last
    s.start();
    const uint32_t size = 1452 * 6 + 10;  // 7 packets, trailer 8
    s.send(E_IMAGE_TYPE_DEPTH, size);
    for (Rx* rx : {&a, &b}) ASSERT_TRUE(rx->block());

    struct Case {
        uint32_t first, last;
        std::vector<uint32_t> ids;  // 8: the trailer
    } cases[] = {
        {3, 5, {3, 4, 5}}, {3, 0xFFFFFFFF, {3, 4, 5, 6, 7, 8}}, {7, 8, {7, 8}}, {6, 9, {6, 7}}, {8, 8, {8}},
        {5, 3, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.first << ".." << c.last);
        ASSERT_EQ(request(s, 1, c.first, c.last, 50001), 0);
        for (uint32_t id : c.ids) {
            auto p = a.next();
            ASSERT_TRUE(p);
            EXPECT_EQ(p->status(), 0x0100u);
            EXPECT_EQ(p->flag(), 0x0001u);
            EXPECT_EQ(p->block(), 1u);
            EXPECT_EQ(p->id(), id);
            if (id == 8) {
                EXPECT_EQ(p->format(), 0x82);
                EXPECT_EQ(p->b.size(), 28u);
            } else {
                EXPECT_EQ(p->format(), 0x83);
                EXPECT_EQ(p->b.size(), 20u + (id < 7 ? 1452 : 10));
                EXPECT_TRUE(data_matches(*p, 20, (id - 1) * 1452));
            }
        }
    }
    // Nothing more went to either host: the next datagram of each is the
    // next block's leader.
    s.send(E_IMAGE_TYPE_AMP, 10);
    for (Rx* rx : {&a, &b}) {
        auto p = rx->next();
        ASSERT_TRUE(p);
        EXPECT_EQ(p->format(), 0x81);
        EXPECT_EQ(p->block(), 2u);
        ASSERT_TRUE(rx->next());  // payload
        ASSERT_TRUE(rx->next());  // trailer
    }
    // A host asking from its stream socket (Aravis does) is the same host:
    // a's packets go to a although b was served last.
    ASSERT_EQ(request(s, 2, 1, 0xFFFFFFFF, a.port), 0);
    for (uint32_t id : {1u, 2u}) {
        auto p = a.next();
        ASSERT_TRUE(p);
        EXPECT_EQ(p->flag(), 0x0001u);
        EXPECT_EQ(p->block(), 2u);
        EXPECT_EQ(p->id(), id);
    }
    EXPECT_TRUE(b.quiet());
    // An earlier block still cached is served from its own frame.
    ASSERT_EQ(request(s, 1, 3, 3, 50002), 0);
    auto p = b.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->block(), 1u);
    EXPECT_TRUE(data_matches(*p, 20, 2 * 1452));
    // A block neither current nor cached is discarded with its log line.
    for (int i = 1; i < GVSP_CACHE_FRAMES; i++) s.send(E_IMAGE_TYPE_AMP, 10);
    for (Rx* rx : {&a, &b})
        for (int i = 1; i < GVSP_CACHE_FRAMES; i++) ASSERT_TRUE(rx->block());
    const uint64_t newest = 1 + GVSP_CACHE_FRAMES;
    ASSERT_EQ(request(s, 1, 1, 1, 50002), 0);
    EXPECT_TRUE(wait_until(
        [&] { return s.log.has("resendInfo->blockId:1 imageInfo->blkId:" + std::to_string(newest)); }));
    EXPECT_TRUE(b.quiet());
}

TEST(GvspResend, RequestsFromOtherThanConnectedHostsOrMalformedAreRefused)
{
    Sender s;
    Rx a;
    s.connect(a, 50001);
    s.start();
    EXPECT_EQ(request(s, 1, 1, 1, 50009), -2);                // another port
    EXPECT_EQ(request(s, 1, 1, 1, 50001, "127.0.0.2"), -2);   // another address
    EXPECT_EQ(request(s, 1, 0, 3, 50001), -1);                // the leader is never resent
    auto c = resend_cmd(1, 1, 1);
    EXPECT_EQ(GVSP_ResendRequest(s.core, c.data(), 27, "127.0.0.1", 50001), -1);
    c[3] = 0x80;  // READREG
    EXPECT_EQ(GVSP_ResendRequest(s.core, c.data(), (int)c.size(), "127.0.0.1", 50001), -1);
    c = resend_cmd(1, 1, 1);
    c[5] = 12;  // the short (16-bit id) form
    EXPECT_EQ(GVSP_ResendRequest(s.core, c.data(), (int)c.size(), "127.0.0.1", 50001), -1);
    // A host that has left is refused; without a sender nothing is queued.
    s.disconnect_all();
    EXPECT_EQ(request(s, 1, 1, 1, 50001), -2);
    s.connect(a, 50001);
    s.stop();
    EXPECT_EQ(request(s, 1, 1, 1, 50001), -3);
}

// The sender's device, registered under a worker that does not run, so
// that a test drives its steps itself.
struct StandingDevice {
    Sender& s;
    worker_t* wk = nullptr;
    iodev_t* dev = nullptr;
    GVSPPrivData* p = nullptr;
    explicit StandingDevice(Sender& sender) : s(sender)
    {
        wk = worker_new(s.core);
        wk->workerid = wk->threadid = E_WORKER_ID_GVSP;
        worker_set_datafree(wk, frame_datafree);
        worker_thread_add(s.core, wk);
        EXPECT_EQ(GVSP_IodevCreate(s.core, E_DEVICE_GVSP, &dev), 0);
        wk->pdev = dev;
        p = dev ? static_cast<GVSPPrivData*>(dev->priv_data) : nullptr;
    }
    ~StandingDevice()
    {
        wk->pdev = nullptr;
        worker_thread_del(s.core, wk);
        worker_free(wk);
        if (dev) GVSP_IodevDestroy(dev);  // the cached frames back to their pool
    }
};

// A sender that does not get round to its requests keeps at most
// GVSP_RESEND_LIST_MAX of them, newest kept; stale ones are dropped unserved.
TEST(GvspResend, TheResendListIsBoundedAndStaleRequestsAreDropped)
{
    Sender s;
    Rx a;
    s.connect(a, 50001);
    StandingDevice sd(s);
    ASSERT_NE(sd.p, nullptr);
    iodev_t* dev = sd.dev;
    GVSPPrivData* p = sd.p;

    for (uint32_t i = 1; i <= GVSP_RESEND_LIST_MAX + 10; i++) ASSERT_EQ(request(s, i, 1, 1, 50001), 0);
    ASSERT_EQ(lt_num(p->resend_list), GVSP_RESEND_LIST_MAX);
    EXPECT_EQ(static_cast<ResendInfo*>(lt_first(p->resend_list))->blockId, 11u);

    // A frame of block 70 cached: requests older than the age limit go
    // unserved, the fresh one for block 70 is answered.
    ImageInfo* f = s.frame(E_IMAGE_TYPE_DEPTH, 100);
    f->blkId = 70;
    GVSP_AddCache(dev, f);
    for (void* it = lt_first(p->resend_list); it; it = lt_get_next(it)) {
        auto* r = static_cast<ResendInfo*>(it);
        if (r->blockId != 70) r->queuedMs -= GVSP_RESEND_MAX_AGE_MS + 1;
    }
    EXPECT_EQ(GVSP_ResendImageCache(dev), 1);
    EXPECT_EQ(lt_num(p->resend_list), GVSP_RESEND_LIST_MAX - 60);
    auto pk = a.next();
    ASSERT_TRUE(pk);
    EXPECT_EQ(pk->block(), 70u);
    EXPECT_EQ(pk->status(), 0x0100u);

    // A stream close cannot be done by a sender that does not run: bounded.
    EXPECT_EQ(GVSP_StreamFlush(s.core, 20), -1);
}

// Depth and amplitude blocks leave back to back and hosts ask late: requests
// for the last GVSP_CACHE_FRAMES blocks are answered from their own frames,
// and one for the block going out that waits behind one for a cached block
// is answered from the frame in progress, not refused.
TEST(GvspResend, RecentBlocksAreServedFromTheirOwnFramesAndTheBlockInProgressIsNotRefused)
{
    Sender s;
    Rx a;
    s.connect(a, 50001);
    StandingDevice sd(s);
    ASSERT_NE(sd.p, nullptr);
    auto send = [&] {
        ImageInfo* f = s.frame(E_IMAGE_TYPE_DEPTH, 3000);  // 3 payload packets, trailer 4
        ASSERT_EQ(GVSP_ImagePacket(sd.dev, f), 0);
        GVSP_AddCache(sd.dev, f);
    };
    for (int i = 0; i < GVSP_CACHE_FRAMES + 1; i++) {
        send();
        ASSERT_TRUE(a.block());
    }
    EXPECT_EQ(lt_num(sd.p->cache_list), GVSP_CACHE_FRAMES);
    const uint64_t newest = GVSP_CACHE_FRAMES + 1;

    // Block 2, the oldest kept, is answered; block 1 is gone.
    ASSERT_EQ(request(s, 2, 2, 2, 50001), 0);
    ASSERT_EQ(request(s, 1, 2, 2, 50001), 0);
    EXPECT_EQ(GVSP_ResendImageCache(sd.dev), 1);
    auto p = a.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->block(), 2u);
    EXPECT_EQ(p->id(), 2u);
    EXPECT_EQ(p->flag(), 0x0001u);
    EXPECT_EQ(GVSP_ResendImageCache(sd.dev), 1);
    EXPECT_TRUE(s.log.has("resendInfo->blockId:1 imageInfo->blkId:" + std::to_string(newest)));
    EXPECT_TRUE(a.quiet());

    // The next block goes out with a request for the newest cached block
    // queued ahead of one for itself: both are answered while it streams.
    ASSERT_EQ(request(s, newest, 1, 1, 50001), 0);
    ASSERT_EQ(request(s, newest + 1, 1, 1, 50001), 0);
    send();
    std::vector<std::pair<uint64_t, uint32_t>> resent;
    for (int i = 0; i < 7; i++) {  // leader, 3 payload, trailer, 2 resent
        auto q = a.next();
        ASSERT_TRUE(q);
        if (q->flag() == 0x0001u) resent.emplace_back(q->block(), q->id());
    }
    EXPECT_EQ(resent, (std::vector<std::pair<uint64_t, uint32_t>>{{newest + 1, 1}, {newest, 1}}));
    EXPECT_FALSE(s.log.has("resendInfo->blockId:" + std::to_string(newest + 1)));
    EXPECT_TRUE(a.quiet());
}

// ---- Stream close ----

// Closes race the streaming sender: the sender itself empties its queue and
// cache, the next block after each close is 1, nothing is lost or freed twice.
TEST(GvspFlush, StreamClosesWhileStreamingAreDoneOnTheSenderThread)
{
    Sender s;
    Rx a;
    s.connect(a, 50001);
    s.start();
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 0; i < 200 && !done; i++) {
            ImageInfo* f = nullptr;
            while (!f && !done) {
                bpool_t* pool = s.core->depth;
                if (bpool_fetched_num(pool) < 3) f = s.frame(E_IMAGE_TYPE_DEPTH, 5000);
                else std::this_thread::yield();
            }
            if (f) s.queue(f);
        }
    });
    for (int i = 0; i < 20; i++) {
        EXPECT_EQ(GVSP_StreamFlush(s.core, GVSP_FLUSH_WAIT_MS), 0);
        std::this_thread::yield();
    }
    done = true;
    producer.join();
    EXPECT_EQ(GVSP_StreamFlush(s.core, GVSP_FLUSH_WAIT_MS), 0);
    EXPECT_EQ(s.fetched(), 0);
    // Drain what streamed, then the next block is 1.
    while (a.next(20)) {}
    s.send(E_IMAGE_TYPE_AMP, 10);
    auto b = a.block();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->leader.block(), 1u);
}

// A close the sender gets to only after the closer stopped waiting (the
// sender was held mid-block) is served before the next stream's first
// frame, never later: the new stream loses no frame and numbers from 1,
// while the frame sent before the close keeps its number.
TEST(GvspFlush, ALateCloseNeverTouchesTheNextStream)
{
    Sender s;
    Rx a;
    s.connect(a, 50001);
    s.start();
    s.send(E_IMAGE_TYPE_AMP, 10);
    auto b = a.block();
    ASSERT_TRUE(b);
    uint64_t before = b->leader.block();
    for (int round = 0; round < 3; round++) {
        // The sender takes the old stream's last frame and stalls on the
        // user list, which the test holds.
        EnterCriticalSection(&s.core->userCS);
        s.send(E_IMAGE_TYPE_AMP, 10);
        EXPECT_TRUE(s.all_taken());
        EXPECT_EQ(GVSP_StreamFlush(s.core, 20), -1) << "the sender is held";
        for (int i = 0; i < 3; i++) s.send(E_IMAGE_TYPE_AMP, 10);
        LeaveCriticalSection(&s.core->userCS);

        b = a.block();
        ASSERT_TRUE(b);
        EXPECT_EQ(b->leader.block(), before + 1) << "sent before the close";
        for (uint64_t want = 1; want <= 3; want++) {
            b = a.block();
            ASSERT_TRUE(b) << "frame " << want << " of the next stream lost, round " << round;
            EXPECT_EQ(b->leader.block(), want);
        }
        before = 3;
    }
    EXPECT_EQ(GVSP_StreamFlushWait(s.core, GVSP_FLUSH_WAIT_MS), 0);
}

// Hosts 1, 2, ... by their GVCP port on one address.
StreamRequester host(uint16_t n) { return stream_ctrl_host(0x7F000001, (uint16_t)(40000 + n)); }

// A host's start (1) or stop (0), handed over as the control channel does.
int ask(uint16_t n, uint32_t value) { return stream_ctrl_host_write(nullptr, host(n), 0x10000000, value); }

// The stream of a board without a capture task, so the test hands the
// frames over itself, started by hosts 1 .. `starts` under a host limit of
// two.
struct HandSent : Sender {
    Rx a;
    explicit HandSent(uint32_t starts)
    {
        g_permit_conn_user_count = 2;
        connect(a, 50001);
        start();
        stream_ctrl_reset();
        rgb().sensorType = E_SMARTSENS_SC2210;
        for (uint32_t i = 1; i <= starts; i++) EXPECT_EQ(ask((uint16_t)i, 1), 0);
        stream_ctrl_settle();
    }
    ~HandSent()
    {
        stream_ctrl_settle();
        stream_ctrl_stop_all();
        g_permit_conn_user_count = 1;
    }
    // The block number of a frame handed over now; 0 when none came.
    uint64_t next_block()
    {
        send(E_IMAGE_TYPE_AMP, 10);
        auto b = a.block();
        return b ? b->leader.block() : 0;
    }
    bool sent_one() { return next_block() != 0; }
    // A frame handed over now is taken and goes to no host within `ms`.
    bool sends_nothing(int ms)
    {
        send(E_IMAGE_TYPE_AMP, 10);
        return all_taken() && a.quiet(ms);
    }
};

// A host whose heartbeat expired takes its start with it; the stop that
// closes the stream silences the sender at once, not when its close begins:
// a host that takes control meanwhile is never sent the old stream's
// frames. With a second host's start still counted nothing closes, and the
// frames keep flowing.
TEST(GvspFlush, AStopHandedOverSilencesTheSenderOnlyWhenItWillCloseTheStream)
{
    for (uint32_t starts : {1u, 2u}) {
        SCOPED_TRACE(starts);
        HandSent s(starts);
        ASSERT_EQ(stream_start_count(), starts);
        ASSERT_TRUE(s.sent_one());
        ChangeHold hold;
        stream_ctrl_host_left(nullptr, host(1), 0, 0);
        s.send(E_IMAGE_TYPE_AMP, 10);
        EXPECT_TRUE(s.all_taken());
        EXPECT_EQ(s.a.next_gvsp(starts == 1 ? 200 : pumptest::kEventWaitMs).has_value(), starts == 2)
            << "whether the stream's frames went out while its close waited";
        ChangeHold::release();
        stream_ctrl_settle();
        EXPECT_EQ(s.core->streamon.load(), starts == 2 ? 1 : 0);
        EXPECT_EQ(ChangeHold::begun.load(), starts == 2 ? 0 : 1);
    }
}

// Requests handed over while a close waits are counted as they come, and
// the closer brings the stream only to the latest: one close and at most
// one open, whatever came between. A stop answered while a start runs
// ahead of it still silences the sender; a stop that leaves another host's
// start counted never does, before or after the close, and nor does a stop
// from a host with no start of its own.
TEST(GvspFlush, HandedOverRequestsLeaveOnlyTheLatestAndNoStopIsFollowedByAFrame)
{
    struct Case {
        const char* name;
        const char* during;       // handed over while host 1's stop closes: host 1..2, '+' start, '-' stop
        bool on;                  // after the closer is done
        uint32_t count;
    } const cases[] = {
        {"stop, start, stop", "1+1-", false, 0},
        {"a burst ending in a stop", "1+1-1+1+1-1-1-1+1-1+1-1+1-", false, 0},
        {"a burst ending in a start", "1-1+1-1+1-1-1+1+1-1+1-1+1+", true, 1},
        {"a second host starts, the first goes on and off", "2+1+1-1+1-", true, 1},
        {"both start, the first stops twice", "1+2+1-1-", true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HandSent s(1);
        ASSERT_TRUE(s.sent_one());
        int opens = 0;
        {
            ChangeHold hold;
            EXPECT_EQ(ask(1, 0), 0);
            ASSERT_TRUE(wait_until([] { return ChangeHold::begun.load() == 1; }));
            size_t before = s.log.count("open stream");
            // The sender and the closer: one closer brings the whole burst.
            const int threads = s.core->threadnum.load();
            for (const char* op = c.during; op[0] && op[1]; op += 2) {
                EXPECT_EQ(ask((uint16_t)(op[0] - '0'), op[1] == '+' ? 1 : 0), 0);
                EXPECT_LE(s.core->threadnum.load(), threads) << "a second closer after request " << (op - c.during) / 2;
                // Until the close ends, whatever the requests, nothing goes out.
                EXPECT_TRUE(s.sends_nothing(20)) << "a frame went out after request " << (op - c.during) / 2;
            }
            ChangeHold::release();
            stream_ctrl_settle();
            EXPECT_EQ(ChangeHold::begun.load(), 1);
            opens = (int)(s.log.count("open stream") - before);
        }
        EXPECT_EQ(s.core->streamon.load(), c.on ? 1 : 0);
        EXPECT_EQ(opens, c.on ? 1 : 0);
        EXPECT_EQ(stream_start_count(), c.count);
        if (!c.on) {
            EXPECT_TRUE(s.sends_nothing(200)) << "a frame went out after the last stop";
            continue;
        }
        EXPECT_TRUE(s.sent_one()) << "the stream after the closer";
        // A host with no start counted stops: nothing is taken, nothing closes.
        EXPECT_EQ(ask(3, 0), 0);
        EXPECT_EQ(stream_start_count(), c.count);
        EXPECT_TRUE(s.sent_one()) << "a stop that closes nothing silenced the sender";
    }
}

// A stop answered while an open runs silences the sender at once; a start
// answered after it undoes that, and the open under way carries the stream
// on without a close.
TEST(GvspFlush, AStopWhileAnOpenRunsIsKeptAndAStartAfterItUndoesIt)
{
    for (bool restart : {false, true}) {
        SCOPED_TRACE(restart);
        HandSent s(0);
        {
            ChangeHold hold(1);
            EXPECT_EQ(ask(1, 1), 0);
            ASSERT_TRUE(wait_until([] { return ChangeHold::begun.load() == 1; }));
            EXPECT_EQ(ask(1, 0), 0);
            EXPECT_TRUE(s.sends_nothing(50)) << "a frame went out after the stop";
            if (restart) {
                EXPECT_EQ(ask(1, 1), 0);
            }
            ChangeHold::release();
            stream_ctrl_settle();
            EXPECT_EQ(ChangeHold::begun.load(), 1);
        }
        EXPECT_EQ(s.core->streamon.load(), restart ? 1 : 0);
        if (restart) {
            EXPECT_TRUE(s.sent_one()) << "the stream stayed silent";
            continue;
        }
        EXPECT_TRUE(s.sends_nothing(200)) << "a frame went out after the stop";
    }
}

// When each open of the stream begins.
struct OpenClock {
    static inline std::atomic<int> opens{0};
    static inline std::atomic<int64_t> lastNs{0};
    OpenClock()
    {
        opens = 0;
        stream_ctrl_set_change_hook([](epcore_t*, int opening) {
            if (!opening) return;
            lastNs = std::chrono::steady_clock::now().time_since_epoch().count();
            opens++;
        });
    }
    ~OpenClock() { stream_ctrl_set_change_hook(nullptr); }
};

// A host's stop and start back to back are answered at once; the open
// waits on the closer for the gap capture needs after the request before
// it, and a stop within that gap leaves nothing to open.
TEST(GvspFlush, AHandedOverStartOpensAfterTheCaptureGapAndAStopWithinItOpensNothing)
{
    for (bool stopInGap : {false, true}) {
        SCOPED_TRACE(stopInGap);
        HandSent s(1);
        ASSERT_TRUE(s.sent_one());
        OpenClock clock;
        size_t closes = s.log.count("close stream success");
        const auto t0 = std::chrono::steady_clock::now().time_since_epoch().count();
        EXPECT_EQ(ask(1, 0), 0);
        EXPECT_EQ(ask(1, 1), 0);
        if (stopInGap) {
            // Long enough that the stop surely lands in it, however slow the close.
            stream_ctrl_hold_open(5000);
            ASSERT_TRUE(wait_until([&] { return s.log.count("close stream success") > closes; }));
            EXPECT_EQ(ask(1, 0), 0);
        }
        stream_ctrl_settle();
        if (stopInGap) {
            EXPECT_EQ(OpenClock::opens.load(), 0);
            EXPECT_EQ(s.core->streamon.load(), 0);
            EXPECT_TRUE(s.sends_nothing(200)) << "a frame went out after the stop";
            continue;
        }
        ASSERT_EQ(OpenClock::opens.load(), 1);
        EXPECT_GE((OpenClock::lastNs.load() - t0) / 1000000, 490) << "opened within the gap after the stop";
        EXPECT_TRUE(s.sent_one());
    }
}

// A stream kept on from start-up by the work mode is the board's: once the
// work mode lets go, a host's stop closes it, and the next start numbers
// its blocks from 1.
TEST(GvspFlush, AStreamKeptOnFromStartUpClosesOnAStopOnceWorkModeLetsGo)
{
    HandSent s(0);
    s.common().workMode = 1;
    stream_ctrl_start_at_boot(s.core);
    ASSERT_EQ(s.core->streamon.load(), 1);
    ASSERT_TRUE(s.sent_one());
    EXPECT_EQ(ask(1, 0), 0);
    stream_ctrl_settle();
    EXPECT_EQ(s.core->streamon.load(), 1) << "work mode 1 lost to a stop";
    ASSERT_TRUE(s.sent_one());
    s.common().workMode = 0;
    EXPECT_EQ(ask(1, 0), 0);
    EXPECT_TRUE(wait_until([&] { return s.core->streamon.load() == 0; })) << "the capture went on";
    stream_ctrl_settle();
    EXPECT_EQ(ask(1, 1), 0);
    stream_ctrl_settle();
    ASSERT_EQ(s.core->streamon.load(), 1);
    EXPECT_EQ(s.next_block(), 1u);
}

// When the sender's silence ends at an open, what the closed stream left
// queued goes back to its pool, and a host's test packet queued among it
// stays, in order, to be sent.
TEST(GvspFlush, TheSilenceEndsDroppingTheClosedStreamsFramesAndKeepingTestPackets)
{
    Sender s;
    StandingDevice sd(s);
    GVSP_StreamCloseBegin(s.core);
    s.send(E_IMAGE_TYPE_DEPTH, 10);
    ImageInfo* first = s.frame(E_IMAGE_TYPE_TEST_PACKET, 200);
    s.queue(first);
    s.send(E_IMAGE_TYPE_AMP, 10);
    ImageInfo* second = s.frame(E_IMAGE_TYPE_TEST_PACKET, 300);
    s.queue(second);
    GVSP_StreamCloseCancel(s.core);
    std::vector<void*> left;
    EnterCriticalSection(&sd.wk->datalistCS);
    for (void* it = lt_first(sd.wk->data_list); it; it = lt_get_next(it)) left.push_back(it);
    LeaveCriticalSection(&sd.wk->datalistCS);
    EXPECT_EQ(left, (std::vector<void*>{first, second}));
    EXPECT_EQ(s.fetched(), 2);
    // The silence is over: a frame queued now stays for the sender.
    s.send(E_IMAGE_TYPE_DEPTH, 10);
    GVSP_StreamCloseCancel(s.core);
    EXPECT_EQ(s.fetched(), 3);
}

// A raw frame still being processed when the capture ended comes out as a
// frame for the sender after the close has emptied the queues: the close
// waits for it, and the next stream, asked for meanwhile, opens only after
// it was dropped. The next stream's own first frame is block 1.
TEST(GvspFlush, AFrameStillInProcessingAtTheCloseNeverReachesTheNextStream)
{
    HandSent s(1);
    ASSERT_TRUE(s.sent_one());
    struct Processing {
        epcore_t* core;
        ImageInfo* raw = fetch(core);
        static ImageInfo* fetch(epcore_t* core)
        {
            auto* img = static_cast<ImageInfo*>(bpool_fetch(core->raw));
            if (img) memset(img, 0, sizeof(ImageInfo)), img->memType = E_MEMTYPE_RAW;
            return img;
        }
        void end()
        {
            free_image(core, raw);
            raw = nullptr;
        }
        ~Processing() { if (raw) end(); }
    } processing{s.core};
    ASSERT_NE(processing.raw, nullptr);
    EXPECT_EQ(ask(1, 0), 0);
    ASSERT_TRUE(wait_until([&] { return s.log.has("clean cache"); }));
    EXPECT_EQ(ask(1, 1), 0);
    EXPECT_FALSE(wait_until([&] { return s.log.has("close stream success"); }, 100))
        << "the close ended with a raw frame still in processing";
    // Processing ends: its frame goes to the sender, the raw frame back.
    s.send(E_IMAGE_TYPE_AMP, 10);
    processing.end();
    stream_ctrl_settle();
    ASSERT_EQ(s.core->streamon.load(), 1);
    EXPECT_TRUE(s.a.quiet(200)) << "the closed stream's frame went out in the next";
    EXPECT_EQ(s.next_block(), 1u);
}

// A frame a processing worker hands over after a stop was answered is the
// stopped stream's: no host is sent it, and it takes no block number from
// the next acquisition, which numbers from 1. Test frames, which hosts ask
// for before they start, still go out meanwhile.
TEST(GvspFlush, NothingOfAStoppedStreamGoesOutAfterTheStopAndTheNextNumbersFromOne)
{
    Sender s;
    Rx a;
    s.connect(a, 50001);
    s.start();
    stream_ctrl_reset();
    // No capture task on this board: the test hands the frames over itself.
    s.rgb().sensorType = E_SMARTSENS_SC2210;
    for (int round = 0; round < 3; round++) {
        ASSERT_EQ(Custom_StartOrStopStream(1), 0);
        for (uint64_t want = 1; want <= 2; want++) {
            s.send(E_IMAGE_TYPE_AMP, 10);
            auto b = a.block();
            ASSERT_TRUE(b) << "round " << round;
            EXPECT_EQ(b->leader.block(), want) << "round " << round;
        }
        ASSERT_EQ(Custom_StartOrStopStream(0), 0);
        ASSERT_EQ(s.core->streamon.load(), 0);
        // The depth worker finishes the frame it held during the close.
        s.send(E_IMAGE_TYPE_DEPTH, 10);
        s.send(E_IMAGE_TYPE_AMP, 10);
        EXPECT_TRUE(s.all_taken());
        EXPECT_TRUE(a.quiet(100)) << "a block went out after the stop, round " << round;
        s.put(REG_STREAM_CHANNEL_PACKET_SIZE, 200);
        EXPECT_TRUE(s.dest.next()) << "no test packet while stopped, round " << round;
    }
    EXPECT_EQ(GVSP_StreamFlushWait(s.core, GVSP_FLUSH_WAIT_MS), 0);
}

}  // namespace

// ---- Runs of packets ----

namespace {

// The best way the sender may use, for the senders started in its scope.
struct SendWay {
    explicit SendWay(const char* way) { setenv("KORVID_GVSP_SEND", way, 1); }
    ~SendWay() { unsetenv("KORVID_GVSP_SEND"); }
};

int lines_with(regtest::LogCapture& log, const std::string& text)
{
    int n = 0;
    for (const auto& line : log.sink->last_formatted()) n += line.find(text) != std::string::npos;
    return n;
}

std::vector<std::vector<uint8_t>> drain(Rx& rx, size_t n)
{
    std::vector<std::vector<uint8_t>> got;
    while (got.size() < n) {
        auto p = rx.next_gvsp();
        if (!p) break;
        got.push_back(p->b);
    }
    return got;
}

}  // namespace

// Segmented sends, sendmmsg and one sendto per packet put the same
// datagrams on the wire, per host: image blocks to two hosts, a video block,
// a resend; runs split the payload at 44 and 64 packets, and the last packet
// is short.
TEST(GvspRuns, EveryWayPutsTheSameDatagramsOnTheWire)
{
    const uint32_t size = 1452 * 44 + 7;  // 45 packets: one run of 45, or 44 and a short last one
    std::vector<std::vector<std::vector<uint8_t>>> seen;
    for (const char* way : {"segment", "sendmmsg", "sendto"}) {
        SCOPED_TRACE(way);
        SendWay w(way);
        Sender s;
        Rx a, b;
        s.connect(a, 50001);
        s.connect(b, 50002);
        s.start();
        s.send(E_IMAGE_TYPE_DEPTH, size);
        s.send(E_IMAGE_TYPE_H264, 1444 * 40 + 3);
        auto toA = drain(a, 47), toB = drain(b, 47), video = drain(s.dest, 43);
        ASSERT_EQ(request(s, 1, 43, 0xFFFFFFFF, 50002), 0);  // 43..45 and the trailer
        auto resent = drain(b, 4);
        ASSERT_EQ(toA.size(), 47u);
        ASSERT_EQ(video.size(), 43u);
        ASSERT_EQ(resent.size(), 4u);
        EXPECT_EQ(toA, toB);
        for (size_t i = 0; i < 47; i++) {
            Pkt p{toA[i]};
            EXPECT_EQ(p.id(), i) << i;
            EXPECT_EQ(p.format(), i == 0 ? 0x81 : i == 46 ? 0x82 : 0x83) << i;
        }
        EXPECT_EQ(toA[45].size(), 20u + 7);
        EXPECT_TRUE(data_matches(Pkt{toA[45]}, 20, 1452 * 44));
        EXPECT_EQ(Pkt{resent[0]}.id(), 43u);
        EXPECT_EQ(Pkt{resent[3]}.format(), 0x82);
        EXPECT_EQ(lines_with(s.log, std::string("gvsp packets go by ") + way), 1);
        EXPECT_FALSE(s.log.has("segmented send refused"));
        for (auto* v : {&toA, &video, &resent}) seen.push_back(*v);
    }
    ASSERT_EQ(seen.size(), 9u);
    for (size_t i = 3; i < 9; i++) EXPECT_EQ(seen[i], seen[i % 3]) << i;
}

// A socket the kernel will not segment for (here: UDP checksums off) is
// found out by its first run: that run and the rest go by sendmmsg, nothing
// is lost, and the change is logged once.
TEST(GvspRuns, ARefusedSegmentedSendFallsBackOnceAndLosesNothing)
{
    SendWay w("segment");
    Sender s;
    Rx a;
    s.connect(a, 50001);
    s.start();
    int one = 1;
    ASSERT_EQ(setsockopt(s.priv()->batch.fd, SOL_SOCKET, SO_NO_CHECK, &one, sizeof one), 0);
    for (uint64_t block = 1; block <= 2; block++) {
        s.send(E_IMAGE_TYPE_AMP, 1452 * 45);
        auto blk = a.block();
        ASSERT_TRUE(blk);
        EXPECT_EQ(blk->leader.block(), block);
        ASSERT_EQ(blk->payload.size(), 45u);
        for (uint32_t i = 0; i < 45; i++) EXPECT_TRUE(data_matches(blk->payload[i], 20, i * 1452));
    }
    EXPECT_EQ(lines_with(s.log, "gvsp segmented send refused (Invalid argument), packets go by sendmmsg"), 1);
}

// A request queued while a block streams is answered after the run in
// flight, not after the whole block.
TEST(GvspRuns, ARequestWaitsAtMostOneRunOfTheBlockInProgress)
{
    Sender s;
    Rx a;
    s.connect(a, 50001);
    s.put(REG_STREAM_CHANNEL_PACKET_SIZE, 300);  // 252 bytes a packet: runs of 64
    StandingDevice sd(s);
    ASSERT_NE(sd.p, nullptr);
    ImageInfo* old = s.frame(E_IMAGE_TYPE_DEPTH, 3000);
    ASSERT_EQ(GVSP_ImagePacket(sd.dev, old), 0);
    GVSP_AddCache(sd.dev, old);
    ASSERT_TRUE(a.block());

    const uint32_t run = (uint32_t)udpbatch_run_max(&sd.p->batch, 272);
    ASSERT_EQ(request(s, 1, 2, 2, 50001), 0);
    ImageInfo* f = s.frame(E_IMAGE_TYPE_DEPTH, 252 * 2 * run + 10);  // two runs and one packet
    ASSERT_EQ(GVSP_ImagePacket(sd.dev, f), 0);
    GVSP_AddCache(sd.dev, f);
    std::vector<uint32_t> order;  // ids of block 2; the resent packet as 1000 + its id
    for (uint32_t i = 0; i < 2 * run + 4; i++) {
        auto p = a.next();
        ASSERT_TRUE(p);
        order.push_back(p->flag() == 1 ? 1000 + p->id() : p->id());
    }
    EXPECT_EQ(order[0], 0u);  // leader
    EXPECT_EQ(order[run], run);
    EXPECT_EQ(order[run + 1], 1002u) << "answered after the first run";
    EXPECT_EQ(order.back(), 2 * run + 2);  // trailer
    EXPECT_TRUE(a.quiet());
}
