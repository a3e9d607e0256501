// Lidar relay: packet conversion, the ring between receiver and sender, the
// workers under register control on loopback, and the whole road from a
// lidar on its own link to the host, in network namespaces of the test's own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "GigE/gvcp.h"
#include "common/regtest.h"
#include "rich/rich_radar.h"

extern char** environ;

namespace {

using regtest::RegSpace;
using regtest::wait_until;

constexpr uint32 kReg = 0x10007074;      // relay on/off
constexpr uint32 kRegPort = 0x10007078;  // relay destination port

// Twelve valid blocks, block b at az0 + b*blockStep; channel j of block b
// reads distance 1000 + 16b + j, strength 16b + j.
udp_pack_t packet(int az0, int blockStep, uint32 ts = 0)
{
    udp_pack_t p{};
    for (int b = 0; b < RICH_BLOCKS; b++) {
        p.depths[b].head = RICH_HEAD_VALID;
        p.depths[b].azimuth = (uint16)((az0 + b * blockStep) % 36000);
        for (int j = 0; j < RICH_CHANNELS; j++) {
            p.depths[b].depth[j] = {(uint16)(1000 + 16 * b + j), (uint8)(16 * b + j), 7, 9};
        }
    }
    p.timestamp = ts;
    p.factory = RICH_FACTORY;
    return p;
}

// ---- Wire layouts ----

TEST(RichWire, PacketsAreReadAndWrittenLittleEndianAtTheirOffsets)
{
    uint8 raw[RICH_PACK_SIZE] = {};
    raw[100 * 3 + 0] = 0xFF, raw[100 * 3 + 1] = 0xEE;          // head of block 3
    raw[100 * 3 + 2] = 0x9F, raw[100 * 3 + 3] = 0x8C;          // azimuth 35999
    raw[100 * 3 + 4 + 6 * 5] = 0x34, raw[100 * 3 + 5 + 6 * 5] = 0x12;  // distance0 of channel 5
    raw[100 * 3 + 6 + 6 * 5] = 0xAB;                            // rssi0
    raw[100 * 3 + 7 + 6 * 5] = 0x78, raw[100 * 3 + 8 + 6 * 5] = 0x56;  // distance1
    raw[1200] = 0x04, raw[1201] = 0x03, raw[1202] = 0x02, raw[1203] = 0x01;
    raw[1204] = 0x37, raw[1205] = 0x40;
    udp_pack_t p;
    memcpy(&p, raw, sizeof p);
    EXPECT_EQ(+p.depths[3].head, RICH_HEAD_VALID);
    EXPECT_EQ(+p.depths[3].azimuth, 35999);
    EXPECT_EQ(+p.depths[3].depth[5].distance0, 0x1234);
    EXPECT_EQ(+p.depths[3].depth[5].rssi0, 0xAB);
    EXPECT_EQ(+p.depths[3].depth[5].distance1, 0x5678);
    EXPECT_EQ(+p.timestamp, 0x01020304u);
    EXPECT_EQ(+p.factory, RICH_FACTORY);

    MsopData out{};
    out.vendor_id = RICH_FACTORY, out.frame_id = 0x0102, out.pack_id = 0x03040506, out.time_stamp = 0x0708090A;
    out.dot_num = 192, out.dot_cloud[1] = {0x1122, 0x3344, 0x55};
    const uint8* b = reinterpret_cast<const uint8*>(&out);
    const uint8 head[] = {0x37, 0x40, 0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x0A, 0x09, 0x08, 0x07, 192, 0, 0, 0};
    EXPECT_EQ(memcmp(b, head, sizeof head), 0);
    const uint8 point1[] = {0x22, 0x11, 0x44, 0x33, 0x55};
    EXPECT_EQ(memcmp(b + 16 + 5, point1, sizeof point1), 0);
}

// ---- Conversion ----

struct Point {
    int k;
    uint16 angle, distance;
    uint8 rssi;
};

TEST(RichConvert, GoldenConversions)
{
    const struct {
        const char* name;
        std::function<void(udp_pack_t*)> make;  // fills pair[0], pair[1]
        int rc, dots;
        std::vector<Point> points;
        std::vector<uint16> angles;  // of points 176..191 when given
    } cases[] = {
        {"a zero azimuth at block 5 converts all blocks, invalid heads too",
         [](udp_pack_t* p) {
             p[0] = packet(35000, 200), p[1] = packet(1400, 200);
             p[0].depths[1].head = 0, p[0].depths[8].head = 0x1234;
         },
         0, 192,
         {{0, 35000, 1000, 0}, {1, 35012, 1001, 1}, {16, 35200, 1016, 16}, {79, 35980, 1079, 79},
          {80, 0, 1080, 80}, {128, 600, 1128, 128}, {191, 1380, 1191, 191}},
         {}},
        {"the highest zero azimuth with three invalid heads still fills 192",
         [](udp_pack_t* p) {
             p[0] = packet(1000, 200), p[1] = packet(3400, 200);
             p[0].depths[2].azimuth = 0, p[0].depths[7].azimuth = 0;
             p[0].depths[0].head = p[0].depths[5].head = p[0].depths[11].head = 0;
         },
         0, 192, {{0, 1000, 1000, 0}, {16, 1200, 1016, 16}, {32, 0, 1032, 32}}, {}},
        {"without a zero azimuth three invalid heads leave 144 points packed",
         [](udp_pack_t* p) {
             p[0] = packet(1000, 200), p[1] = packet(3400, 200);
             p[0].depths[0].head = p[0].depths[5].head = p[0].depths[11].head = 0;
         },
         0, 144,
         {{0, 1200, 1016, 16}, {15, 1380, 1031, 31}, {64, 2200, 1096, 96}, {143, 3180, 1175, 175},
          {144, 0, 0, 0}, {191, 0, 0, 0}},
         {}},
        {"35990 followed by 10 steps by 1 across the turn",
         [](udp_pack_t* p) { p[0] = packet(35770, 20), p[1] = packet(10, 20); },
         0, 192, {{176, 35990, 1176, 176}},
         {35990, 35991, 35992, 35993, 35994, 35995, 35996, 35997, 35998, 35999, 0, 1, 2, 3, 4, 5}},
        {"a wrong factory value skips the pair",
         [](udp_pack_t* p) { p[0] = packet(1000, 200), p[1] = packet(3400, 200), p[0].factory = 0x4038; },
         -1, 0, {}, {}},
        {"a second packet of another factory skips the pair",
         [](udp_pack_t* p) { p[0] = packet(1000, 200), p[1] = packet(3400, 200), p[1].factory = 0; },
         -1, 0, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        regtest::LogCapture log;
        udp_pack_t pair[2];
        c.make(pair);
        pair[0].timestamp = 0xCAFE;
        MsopData out;
        memset(&out, 0xA5, sizeof out);  // what an earlier packet left
        out.dot_num = 0;
        ASSERT_EQ(rich_convert(pair, &out), c.rc);
        if (c.rc != 0) {
            EXPECT_TRUE(log.has("doublebuffertemp[0].factory:0X" + std::string(pair[0].factory == 0x4038 ? "4038" : "4037")));
            EXPECT_TRUE(log.has("doublebuffertemp[1].factory:"));
            continue;
        }
        EXPECT_EQ(+out.vendor_id, RICH_FACTORY);
        EXPECT_EQ(+out.dot_num, c.dots);
        EXPECT_EQ(+out.time_stamp, 0xCAFEu);
        for (const Point& pt : c.points) {
            SCOPED_TRACE(pt.k);
            EXPECT_EQ(+out.dot_cloud[pt.k].angle, pt.angle);
            EXPECT_EQ(+out.dot_cloud[pt.k].distance, pt.distance);
            EXPECT_EQ(+out.dot_cloud[pt.k].rssi, pt.rssi);
        }
        for (size_t i = 0; i < c.angles.size(); i++) EXPECT_EQ(+out.dot_cloud[176 + i].angle, c.angles[i]) << i;
    }
}

TEST(RichConvert, FrameIdStepsOnAFramesLastPacketEvenWhenThePairIsSkipped)
{
    const struct {
        uint16 head11;
        uint16 factory;
        uint16 frame;  // after
    } cases[] = {{RICH_HEAD_VALID, RICH_FACTORY, 7}, {RICH_HEAD_FRAME, RICH_FACTORY, 8}, {RICH_HEAD_FRAME, 0x1111, 8},
                 {0x0000, RICH_FACTORY, 7}};
    for (const auto& c : cases) {
        regtest::LogCapture log;
        udp_pack_t pair[2] = {packet(100, 20), packet(340, 20)};
        pair[0].depths[11].head = c.head11;
        pair[0].factory = c.factory;
        MsopData out{};
        out.frame_id = 7;
        rich_convert(pair, &out);
        EXPECT_EQ(+out.frame_id, c.frame) << std::hex << c.head11 << " " << c.factory;
    }
    // The counter wraps like the 16-bit field it is.
    udp_pack_t pair[2] = {packet(100, 20), packet(340, 20)};
    pair[0].depths[11].head = RICH_HEAD_FRAME;
    MsopData out{};
    out.frame_id = 0xFFFF;
    rich_convert(pair, &out);
    EXPECT_EQ(+out.frame_id, 0);
}

// ---- The ring ----

// What the sender device handed to its send function.
std::mutex s_sentLock;
std::vector<MsopData> s_sent;
int record_send(iodev_t*, const void* buf, int len)
{
    std::lock_guard<std::mutex> l(s_sentLock);
    MsopData m;
    memcpy(&m, buf, sizeof m);
    s_sent.push_back(m);
    return len;
}
std::vector<MsopData> sent()
{
    std::lock_guard<std::mutex> l(s_sentLock);
    return s_sent;
}

RichRingStats stats()
{
    RichRingStats st{};
    rich_ring_stats(&st);
    return st;
}

// A sender device on a free port whose sends are recorded, and an empty ring.
// The ring's drop and send counts run for the process: the relay reports
// what they gained since it was made.
struct Relay {
    regtest::LogCapture log;
    epcore_t* core = epcore_new(65536, 1);
    iodev_t* dev = nullptr;
    MsopData out{};
    RichRingStats base = stats();
    explicit Relay(bool destination = true)
    {
        rich_set_bind("127.0.0.1", 0, 0);
        EXPECT_EQ(rich_send_init(core, E_DEVICE_RICH_SEND, &dev), 0);
        static_cast<richUDPPrivData*>(dev->priv_data)->send_to = record_send;
        if (destination) {
            EXPECT_EQ(rich_set_destination(core, "127.0.0.1", 9, 3956), 0);
        }
        rich_ring_restart();
        std::lock_guard<std::mutex> l(s_sentLock);
        s_sent.clear();
        out.vendor_id = RICH_FACTORY;
    }
    ~Relay()
    {
        auto* priv = static_cast<richUDPPrivData*>(dev->priv_data);
        iodev_close(dev);
        delete priv;
        epcore_clean(core);
        rich_set_bind(nullptr, 0, 0);
    }
    void put(const udp_pack_t& p) { ASSERT_EQ(rich_ring_put(&p, sizeof p), 0); }
    int drain() { return rich_send_pending(dev, &out); }
    uint64 dropped() { return stats().dropped - base.dropped; }
    uint64 sends() { return stats().sent - base.sent; }
};

TEST(RichRing, NothingIsSentUntilTwoPacketsAreInTheRing)
{
    Relay r;
    r.put(packet(100, 20, 1));
    EXPECT_EQ(r.drain(), 0);
    EXPECT_TRUE(sent().empty());
    r.put(packet(340, 20, 2));
    EXPECT_EQ(r.drain(), 1);
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(+sent()[0].pack_id, 1u);
    EXPECT_EQ(+sent()[0].time_stamp, 1u);
    // The second packet waits for its own successor.
    EXPECT_EQ(r.drain(), 0);
    EXPECT_EQ(stats().dbmain, 2u);
    EXPECT_EQ(stats().dbmain_used, 1u);
}

TEST(RichRing, NothingIsSentBeforeTheDestinationIsSetButPacketsAreConsumed)
{
    Relay r(false);
    for (uint32 i = 0; i < 3; i++) r.put(packet(100 + 240 * i, 20, i));
    EXPECT_EQ(r.drain(), 2);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(r.sends(), 0u);
    ASSERT_EQ(rich_set_destination(r.core, "127.0.0.1", 9, 3956), 0);
    r.put(packet(820, 20, 3));
    EXPECT_EQ(r.drain(), 1);
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(+sent()[0].pack_id, 3u);
    EXPECT_EQ(+sent()[0].time_stamp, 2u);
}

TEST(RichRing, OnlyWholePacketsEnterTheRing)
{
    Relay r;
    std::vector<uint8> buf(2048, 0);
    const struct {
        int len;
        const char* log;
    } cases[] = {{0, "server disconnect"}, {1205, "recved data error"}, {1207, "recved data error"},
                 {2048, "recved data error"}};
    for (const auto& c : cases) {
        EXPECT_EQ(rich_ring_put(buf.data(), c.len), -1) << c.len;
        EXPECT_TRUE(r.log.has(c.log)) << c.len;
    }
    EXPECT_EQ(stats().dbmain, 0u);
    EXPECT_EQ(rich_ring_put(buf.data(), RICH_PACK_SIZE), 0);
    EXPECT_EQ(stats().dbmain, 1u);
}

TEST(RichRing, AnOverrunSkipsToTheOldestPacketStillInTheRingAndCountsTheDrop)
{
    Relay r;
    const uint32 n = 300;
    for (uint32 i = 0; i < n; i++) r.put(packet((int)(i * 240) % 36000, 20, i));
    EXPECT_EQ(r.drain(), (int)(RICH_RING_SLOTS - 2));
    // Packets 0..44 were overwritten or being overwritten: 45 is the oldest kept.
    EXPECT_EQ(r.dropped(), 45u);
    EXPECT_TRUE(r.log.has("rich radar ring overrun, 45 packets dropped"));
    auto s = sent();
    ASSERT_EQ(s.size(), RICH_RING_SLOTS - 2u);
    for (size_t k = 0; k < s.size(); k++) {
        ASSERT_EQ(+s[k].time_stamp, 45 + k);
        ASSERT_EQ(+s[k].pack_id, 46 + k);
    }
    EXPECT_EQ(stats().dbmain_used, n - 1);
}

TEST(RichRing, ARestartedReceiverCountsFromZeroAndItsPredecessorsPacketsAreNotSent)
{
    Relay r;
    for (uint32 i = 0; i < 5; i++) r.put(packet(100, 20, i));
    EXPECT_EQ(r.drain(), 4);
    r.put(packet(100, 20, 5));  // left unconverted
    rich_ring_restart();
    r.put(packet(100, 20, 100));
    r.put(packet(100, 20, 101));
    EXPECT_EQ(r.drain(), 1);
    auto s = sent();
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(+s[4].pack_id, 1u);
    EXPECT_EQ(+s[4].time_stamp, 100u);
    EXPECT_EQ(r.dropped(), 0u);
}

TEST(RichRing, AReceiverRacingTheSenderNeverYieldsATornPacket)
{
    Relay r;
    const uint32 n = 20000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (uint32 i = 0; i < n; i++) {
            udp_pack_t p = packet((int)(i * 320) % 36000, 0, i);
            for (auto& b : p.depths)
                for (auto& d : b.depth) d.distance0 = (uint16)i;
            rich_ring_put(&p, sizeof p);
        }
        done.store(true);
    });
    int consumed = 0;
    for (;;) {
        bool last = done.load();
        consumed += r.drain();
        if (last && stats().dbmain - stats().dbmain_used < 2) break;
    }
    producer.join();
    EXPECT_EQ(consumed + r.dropped(), n - 1);
    for (const MsopData& m : sent()) {
        ASSERT_EQ(+m.pack_id, m.time_stamp + 1);
        ASSERT_EQ(+m.dot_num, 192);
        // Both ends of the first packet, and the second packet's first block
        // (through block 11's step), belong to the right packets.
        ASSERT_EQ(+m.dot_cloud[0].distance, (uint16)m.time_stamp);
        ASSERT_EQ(+m.dot_cloud[191].distance, (uint16)m.time_stamp);
        ASSERT_EQ(+m.dot_cloud[177].angle, (m.dot_cloud[176].angle + 20) % 36000) << +m.time_stamp;
    }
}

// ---- Workers on loopback, under register control ----

uint16 local_port(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A UDP socket bound to ip:port (0: a free one); closed with the object.
struct Sock {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    explicit Sock(const char* ip = "127.0.0.1", uint16 port = 0)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, ip, &a.sin_addr);
        ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Sock()
    {
        if (fd >= 0) close(fd);
    }
    bool ok = false;
    uint16 port() const { return local_port(fd); }
    bool send(const char* ip, uint16 port, const void* data, size_t len) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, ip, &to.sin_addr);
        return sendto(fd, data, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == (ssize_t)len;
    }
    // One datagram within ms, or -1.
    int recv(void* buf, size_t len, int ms = 5000) const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return -1;
        return (int)::recv(fd, buf, len, 0);
    }
};

bool worker_gone(epcore_t* core, uint64_t id)
{
    return wait_until([&] { return epcore_worker_find(core, id) == nullptr; });
}

iodev_t* wait_device(epcore_t* core, uint64_t id)
{
    iodev_t* d = nullptr;
    wait_until([&] { return (d = epcore_iodev_find(core, id)) != nullptr; });
    return d;
}

// Receives point packets until `n` arrived; their pack_id and time_stamp.
std::vector<std::pair<uint32, uint32>> receive(const Sock& host, int n)
{
    std::vector<std::pair<uint32, uint32>> got;
    MsopData m;
    for (int i = 0; i < n; i++) {
        if (host.recv(&m, sizeof m) != (int)sizeof m) break;
        EXPECT_EQ(+m.vendor_id, RICH_FACTORY);
        got.emplace_back(+m.pack_id, +m.time_stamp);
    }
    return got;
}

using Got = std::vector<std::pair<uint32, uint32>>;

TEST(RichWorkers, RelayRunsUnderRegisterControlAndStopsWhenItsHostLeaves)
{
    RegSpace r;
    rich_set_bind("127.0.0.1", 0, 0);
    Sock host, lidar;
    ASSERT_TRUE(host.ok && lidar.ok);
    iodev_t* gvcp = r.add_device(E_DEVICE_GVCP, nullptr);
    strcpy(gvcp->remote_ip, "127.0.0.1");
    gvcp->remote_port = 50123;
    ASSERT_EQ(worker_create(r.core, E_WORKER_ID_RICH_SEND_TASK, rich_send_task), 0);
    ASSERT_NE(wait_device(r.core, E_DEVICE_RICH_SEND), nullptr);
    EXPECT_EQ(r.write(kRegPort, host.port()), 0);

    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        // Every start counts from zero again.
        ASSERT_EQ(r.write(kReg, 1), 0);
        iodev_t* recv = wait_device(r.core, E_DEVICE_RICH_RECV);
        ASSERT_NE(recv, nullptr);
        uint16 port = local_port(recv->fd);
        for (uint32 i = 0; i < 3; i++) {
            udp_pack_t p = packet(100 + 240 * (int)i, 20, 10 * round + i);
            ASSERT_TRUE(lidar.send("127.0.0.1", port, &p, sizeof p));
        }
        EXPECT_EQ(receive(host, 2), (Got{{1, 10 * round}, {2, 10 * round + 1}}));
        if (round == 0) {
            // A silent lidar does not hold the receiver up.
            ASSERT_EQ(r.write(kReg, 0), 0);
            EXPECT_TRUE(worker_gone(r.core, E_WORKER_ID_RICH_RECV_TASK));
            EXPECT_EQ(epcore_iodev_find(r.core, E_DEVICE_RICH_RECV), nullptr);
        }
    }
    // Another host leaving changes nothing; the relay's own host stops it.
    EXPECT_EQ(rich_host_gone(r.core, "127.0.0.1", 50124), 0);
    EXPECT_TRUE(r.log.has("rich radar host not this one,127.0.0.1:50123,127.0.0.1:50124"));
    EXPECT_EQ(rich_host_gone(r.core, "127.0.0.2", 50123), 0);
    EXPECT_NE(epcore_worker_find(r.core, E_WORKER_ID_RICH_RECV_TASK), nullptr);
    EXPECT_EQ(rich_host_gone(r.core, "127.0.0.1", 50123), 1);
    EXPECT_TRUE(r.log.has("close rich radar,127.0.0.1:50123"));
    EXPECT_TRUE(worker_gone(r.core, E_WORKER_ID_RICH_RECV_TASK));
    EXPECT_TRUE(r.log.has("end rich radar recv task"));

    r.core->quit.store(1);
    EXPECT_TRUE(worker_gone(r.core, E_WORKER_ID_RICH_SEND_TASK));
    EXPECT_EQ(rich_host_gone(r.core, "127.0.0.1", 50123), -1);
    EXPECT_TRUE(r.log.has("can't find E_DEVICE_RICH_SEND"));
    rich_set_bind(nullptr, 0, 0);
}

// ---- End to end: a lidar on its own link, the host on another ----

ino_t netns_inode()
{
    struct stat st {};
    return stat("/proc/thread-self/ns/net", &st) == 0 ? st.st_ino : 0;
}

const char* ip_tool()
{
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0) return p;
    return nullptr;
}

// Runs `ip -batch -` in the calling thread's network namespace.
bool ip_batch(const std::string& commands)
{
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    std::string a0 = "ip", a1 = "-batch", a2 = "-";
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
    pid_t pid;
    bool spawned = posix_spawn(&pid, ip_tool(), &fa, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    bool wrote = spawned && write(in[1], commands.data(), commands.size()) == (ssize_t)commands.size();
    close(in[1]);
    if (!spawned) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return wrote && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Steps the three namespace threads go through together; every wait is
// bounded, and a failure anywhere releases everyone.
struct Stages {
    std::mutex m;
    std::condition_variable cv;
    int stage = 0;
    bool failed = false;
    std::string why;
    void reach(int s)
    {
        std::lock_guard<std::mutex> l(m);
        if (s > stage) stage = s;
        cv.notify_all();
    }
    void fail(const std::string& w)
    {
        std::lock_guard<std::mutex> l(m);
        if (!failed) why = w;
        failed = true;
        cv.notify_all();
    }
    bool await(int s)
    {
        std::unique_lock<std::mutex> l(m);
        cv.wait_for(l, std::chrono::seconds(20), [&] { return failed || stage >= s; });
        return !failed && stage >= s;
    }
};

// Moves the calling thread into a network namespace of its own; "" or why not.
std::string own_netns()
{
    ino_t before = netns_inode();
    if (unshare(CLONE_NEWNET) != 0) return std::string("unshare: ") + strerror(errno);
    if (before == 0 || netns_inode() == before) return "namespace not entered";
    return "";
}

TEST(RichEndToEnd, LidarPacketsOnTheLidarLinkReachTheHostAsPointPackets)
{
    if (!ip_tool()) GTEST_SKIP() << "no ip tool";
    enum { kNamespaces = 2, kLinked, kConfigured, kRelayReady, kLidarSent };
    const int n = 40;
    Stages st;
    std::atomic<pid_t> lidarTid{0}, hostTid{0};
    std::atomic<uint16> hostPort{0};
    std::atomic<int> nsReady{0};
    Got got;

    auto enter = [&](std::atomic<pid_t>& tid) {
        std::string why = own_netns();
        if (!why.empty()) {
            st.fail("skip: " + why);
            return false;
        }
        tid.store((pid_t)syscall(SYS_gettid));
        if (nsReady.fetch_add(1) + 1 == 2) st.reach(kNamespaces);
        return true;
    };

    std::thread lidar([&] {
        if (!enter(lidarTid) || !st.await(kLinked)) return;
        if (!ip_batch("link set kvl" + std::to_string(lidarTid.load()) + " name eth0\n"
                      "addr add 192.168.8.2/24 dev eth0\nlink set eth0 up\nlink set lo up\n"))
            return st.fail("lidar link set-up failed");
        Sock s("192.168.8.2", 2368);
        if (!s.ok) return st.fail("lidar socket");
        st.reach(kConfigured);
        if (!st.await(kRelayReady)) return;
        // A realistic turn: 12 blocks of 40 hundredths each, crossing 0.
        for (int i = 0; i < n; i++) {
            udp_pack_t p = packet((33600 + 480 * i) % 36000, 40, 1000 + i);
            if (!s.send(RICH_RECV_IP, RICH_RECV_PORT, &p, sizeof p)) return st.fail("lidar send");
            // Paced by the relay, so no datagram is lost on the way.
            if (!wait_until([&] { return stats().dbmain >= (uint32)i + 1; }))
                return st.fail("packet " + std::to_string(i) + " did not reach the relay");
        }
        st.reach(kLidarSent);
    });

    std::thread host([&] {
        if (!enter(hostTid) || !st.await(kLinked)) return;
        if (!ip_batch("link set kvh" + std::to_string(hostTid.load()) + " name eth0\n"
                      "addr add 169.254.10.1/16 dev eth0\nlink set eth0 up\nlink set lo up\n"))
            return st.fail("host link set-up failed");
        Sock s("169.254.10.1", 0);
        if (!s.ok) return st.fail("host socket");
        hostPort.store(s.port());
        st.reach(kConfigured);
        if (!st.await(kRelayReady)) return;
        got = receive(s, n - 1);
    });

    std::thread camera([&] {
        std::string why = own_netns();
        if (!why.empty()) return st.fail("skip: " + why);
        if (!st.await(kNamespaces)) return;
        // Made inside this namespace under temporary names, the far ends
        // straight into their namespaces: no interface of the machine's own
        // is touched.
        std::string l = std::to_string(lidarTid.load()), h = std::to_string(hostTid.load());
        if (!ip_batch("link add kvl" + l + "c type veth peer name kvl" + l + " netns " + l + "\n"
                      "link set kvl" + l + "c name eth1\naddr add 192.168.8.1/24 dev eth1\nlink set eth1 up\n"
                      "link add kvh" + h + "c type veth peer name kvh" + h + " netns " + h + "\n"
                      "link set kvh" + h + "c name eth0\naddr add 169.254.10.2/16 dev eth0\nlink set eth0 up\n"
                      "link set lo up\n"))
            return st.fail("camera link set-up failed");
        st.reach(kLinked);
        // The host must listen before the relay's destination is set; the
        // lidar sends only once the relay is ready.
        if (!st.await(kConfigured) || !wait_until([&] { return hostPort.load() != 0; }, 20000)) return;
        {
            RegSpace r;
            rich_set_bind(nullptr, 0, 0);  // the board's own addresses
            iodev_t* gvcp = r.add_device(E_DEVICE_GVCP, nullptr);
            strcpy(gvcp->remote_ip, "169.254.10.1");
            gvcp->remote_port = 50000;
            if (worker_create(r.core, E_WORKER_ID_RICH_SEND_TASK, rich_send_task) != 0 ||
                !wait_device(r.core, E_DEVICE_RICH_SEND))
                return st.fail("sender did not start");
            if (r.write(kRegPort, hostPort.load()) != 0 || r.write(kReg, 1) != 0 ||
                !wait_device(r.core, E_DEVICE_RICH_RECV))
                return st.fail("receiver did not start");
            st.reach(kRelayReady);
            st.await(kLidarSent);
            wait_until([&] { return stats().dbmain_used >= (uint32)n - 1; }, 10000);
            EXPECT_TRUE(r.log.has("rich radar udp send to:169.254.10.1:" + std::to_string(hostPort.load()) + ",50000"));
            EXPECT_EQ(rich_host_gone(r.core, "169.254.10.1", 50000), 1);
            EXPECT_TRUE(worker_gone(r.core, E_WORKER_ID_RICH_RECV_TASK));
        }
    });
    lidar.join();
    host.join();
    camera.join();
    if (st.failed && st.why.rfind("skip:", 0) == 0) GTEST_SKIP() << st.why;
    ASSERT_FALSE(st.failed) << st.why;
    ASSERT_EQ(got.size(), (size_t)n - 1);
    for (int i = 0; i < n - 1; i++) {
        EXPECT_EQ(got[i].first, (uint32)i + 1);
        EXPECT_EQ(got[i].second, 1000u + i);
    }
}

} // namespace
