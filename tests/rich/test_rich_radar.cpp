// Lidar relay: packet conversion, the ring between receiver and sender, and
// the workers under register control on the whole road from a lidar on its
// own link to the host, in network namespaces of the test's own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <vector>

#include "GigE/gvcp.h"
#include "common/regtest.h"
#include "rich/rich_radar.h"

namespace {

using regtest::RegSpace;
using regtest::wait_until;
using Got = std::vector<std::pair<uint32, uint32>>;  // pack_id, time_stamp

constexpr uint32 kRegOn = 0x10007074, kRegPort = 0x10007078;

// Twelve valid blocks, block b at az0 + b*step; channel j of block b reads
// distance 1000 + 16b + j, strength 16b + j.
udp_pack_t packet(int az0, int step, uint32 ts = 0)
{
    udp_pack_t p{};
    for (int b = 0; b < RICH_BLOCKS; b++) {
        p.depths[b].head = RICH_HEAD_VALID;
        p.depths[b].azimuth = (uint16)((az0 + b * step) % 36000);
        for (int j = 0; j < RICH_CHANNELS; j++) p.depths[b].depth[j] = {(uint16)(1000 + 16 * b + j), (uint8)(16 * b + j), 7, 9};
    }
    p.timestamp = ts;
    p.factory = RICH_FACTORY;
    return p;
}

RichRingStats stats()
{
    RichRingStats st{};
    rich_ring_stats(&st);
    return st;
}

// ---- Conversion ----

struct Point {
    int k;
    uint32 angle, distance, rssi;
};

TEST(RichConvert, GoldenConversions)
{
    const struct {
        const char* name;
        std::function<void(udp_pack_t*)> make;  // fills the pair
        int rc, dots;
        std::vector<Point> points;
    } cases[] = {
        {"a zero azimuth at block 5 converts every block, invalid heads too",
         [](udp_pack_t* p) {
             p[0] = packet(35000, 200), p[1] = packet(1400, 200);
             p[0].depths[1].head = 0, p[0].depths[8].head = 0x1234;
         },
         0, 192,
         {{0, 35000, 1000, 0}, {1, 35012, 1001, 1}, {16, 35200, 1016, 16}, {79, 35980, 1079, 79},
          {80, 0, 1080, 80}, {128, 600, 1128, 128}, {191, 1380, 1191, 191}}},
        {"the highest of two zero azimuths with three invalid heads still fills 192",
         [](udp_pack_t* p) {
             p[0] = packet(1000, 200), p[1] = packet(3400, 200);
             p[0].depths[2].azimuth = p[0].depths[7].azimuth = 0;
             p[0].depths[0].head = p[0].depths[5].head = p[0].depths[11].head = 0;
         },
         0, 192, {{0, 1000, 1000, 0}, {32, 0, 1032, 32}}},
        {"without a zero azimuth three invalid heads leave 144 points packed, the rest zero",
         [](udp_pack_t* p) {
             p[0] = packet(1000, 200), p[1] = packet(3400, 200);
             p[0].depths[0].head = p[0].depths[5].head = p[0].depths[11].head = 0;
         },
         0, 144,
         {{0, 1200, 1016, 16}, {15, 1380, 1031, 31}, {64, 2200, 1096, 96}, {143, 3180, 1175, 175}, {144, 0, 0, 0},
          {191, 0, 0, 0}}},
        {"35990 followed by 10 steps by 1 across the turn",
         [](udp_pack_t* p) { p[0] = packet(35770, 20), p[1] = packet(10, 20); },
         0, 192,
         {{176, 35990, 1176, 176}, {185, 35999, 1185, 185}, {186, 0, 1186, 186}, {191, 5, 1191, 191}}},
        {"a wrong factory value skips the pair",
         [](udp_pack_t* p) { p[0] = packet(1000, 200), p[1] = packet(3400, 200), p[0].factory = 0x4038; }, -1, 0, {}},
        {"a second packet of another factory skips the pair",
         [](udp_pack_t* p) { p[0] = packet(1000, 200), p[1] = packet(3400, 200), p[1].factory = 0; }, -1, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        regtest::LogCapture log;
        udp_pack_t pair[2];
        c.make(pair);
        pair[0].timestamp = 0xCAFE;
        MsopData out;
        memset(&out, 0xA5, sizeof out);  // what an earlier packet left
        ASSERT_EQ(rich_convert(pair, &out), c.rc);
        if (c.rc != 0) {
            EXPECT_TRUE(log.has(pair[0].factory == 0x4038 ? "doublebuffertemp[0].factory:0X4038" : "[1].factory:0"));
            continue;
        }
        EXPECT_EQ((std::vector<uint32>{out.vendor_id, out.dot_num, out.time_stamp}),
                  (std::vector<uint32>{RICH_FACTORY, (uint32)c.dots, 0xCAFE}));
        for (const Point& pt : c.points) {
            const CiclePack& q = out.dot_cloud[pt.k];
            EXPECT_EQ((std::vector<uint32>{q.angle, q.distance, q.rssi}),
                      (std::vector<uint32>{pt.angle, pt.distance, pt.rssi})) << "point " << pt.k;
        }
    }
}

TEST(RichConvert, FrameIdStepsOnAFramesLastPacketEvenWhenThePairIsSkipped)
{
    const struct {
        uint16 head11, factory, before, after;
    } cases[] = {{RICH_HEAD_VALID, RICH_FACTORY, 7, 7}, {RICH_HEAD_FRAME, RICH_FACTORY, 7, 8},
                 {RICH_HEAD_FRAME, 0x1111, 7, 8}, {0, RICH_FACTORY, 7, 7}, {RICH_HEAD_FRAME, RICH_FACTORY, 0xFFFF, 0}};
    for (const auto& c : cases) {
        udp_pack_t pair[2] = {packet(100, 20), packet(340, 20)};
        pair[0].depths[11].head = c.head11, pair[0].factory = c.factory;
        MsopData out{};
        out.frame_id = c.before;
        rich_convert(pair, &out);
        EXPECT_EQ(+out.frame_id, c.after) << std::hex << c.head11 << " " << c.factory;
    }
}

// ---- The ring ----

std::vector<MsopData> s_sent;  // what the sender handed to its send function
int record_send(iodev_t*, const void* buf, int len)
{
    s_sent.push_back(*static_cast<const MsopData*>(buf));
    return len;
}

// A sender device on a free port whose sends are recorded, and an empty
// ring. The ring's counts of drops and sends run for the process.
struct Relay {
    regtest::LogCapture log;
    epcore_t* core = epcore_new(65536, 1);
    iodev_t* dev = nullptr;
    MsopData out{};
    RichRingStats base = stats();
    Relay()
    {
        rich_set_bind("127.0.0.1", 0, 0);
        EXPECT_EQ(rich_send_init(core, E_DEVICE_RICH_SEND, &dev), 0);
        static_cast<richUDPPrivData*>(dev->priv_data)->send_to = record_send;
        rich_ring_restart();
        s_sent.clear();
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
    Got sent()
    {
        Got g;
        for (const MsopData& m : s_sent) g.emplace_back(+m.pack_id, +m.time_stamp);
        return g;
    }
};

TEST(RichRing, NothingIsSentBeforeTwoPacketsAndADestination)
{
    Relay r;
    r.put(packet(100, 20, 0));
    EXPECT_EQ(r.drain(), 0);
    r.put(packet(340, 20, 1));
    r.put(packet(580, 20, 2));
    EXPECT_EQ(r.drain(), 2);  // consumed, but no destination yet
    EXPECT_EQ(r.sent(), Got{});
    ASSERT_EQ(rich_set_destination(r.core, "127.0.0.1", 9, 3956), 0);
    EXPECT_EQ(r.drain(), 0);  // the last packet waits for its successor
    r.put(packet(820, 20, 3));
    EXPECT_EQ(r.drain(), 1);
    EXPECT_EQ(r.sent(), (Got{{3, 2}}));
}

TEST(RichRing, OnlyWholePacketsEnterTheRing)
{
    Relay r;
    std::vector<uint8> buf(2048, 0);
    for (int len : {0, 1205, 1207, 2048}) EXPECT_EQ(rich_ring_put(buf.data(), len), -1) << len;
    EXPECT_TRUE(r.log.has("server disconnect"));
    EXPECT_TRUE(r.log.has("recved data error"));
    EXPECT_EQ(stats().dbmain, 0u);
    EXPECT_EQ(rich_ring_put(buf.data(), RICH_PACK_SIZE), 0);
    EXPECT_EQ(stats().dbmain, 1u);
}

TEST(RichRing, AnOverrunSkipsToTheOldestPacketStillInTheRingAndCountsTheDrop)
{
    Relay r;
    ASSERT_EQ(rich_set_destination(r.core, "127.0.0.1", 9, 3956), 0);
    for (uint32 i = 0; i < 300; i++) r.put(packet((int)(i * 240) % 36000, 20, i));
    EXPECT_EQ(r.drain(), RICH_RING_SLOTS - 2);
    // Packet 44's slot is the next to be written: 45 is the oldest kept.
    EXPECT_EQ(r.dropped(), 45u);
    EXPECT_TRUE(r.log.has("rich radar ring overrun, 45 packets dropped"));
    Got want;
    for (uint32 i = 45; i < 299; i++) want.emplace_back(i + 1, i);
    EXPECT_EQ(r.sent(), want);
}

TEST(RichRing, AReceiverRacingTheSenderNeverYieldsATornPacket)
{
    Relay r;
    ASSERT_EQ(rich_set_destination(r.core, "127.0.0.1", 9, 3956), 0);
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
    uint64 consumed = 0;
    for (bool last = false; !last || stats().dbmain - stats().dbmain_used >= 2;) {
        last = done.load();
        consumed += r.drain();
    }
    producer.join();
    EXPECT_EQ(consumed + r.dropped(), n - 1);
    for (const MsopData& m : s_sent) {
        // Both ends of the first packet, and the next packet's first block
        // (through the last block's step), belong to the right packets.
        uint32 ts = m.time_stamp;
        ASSERT_EQ(+m.pack_id, ts + 1);
        ASSERT_EQ(+m.dot_cloud[0].distance, (uint16)ts);
        ASSERT_EQ(+m.dot_cloud[191].distance, (uint16)ts);
        ASSERT_EQ(+m.dot_cloud[177].angle, (m.dot_cloud[176].angle + 20) % 36000) << ts;
    }
}

// ---- End to end in network namespaces ----

// A UDP socket bound to ip:port (0: a free one), in the namespace of the
// thread that makes it.
struct Sock {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool ok = false;
    explicit Sock(const char* ip = "127.0.0.1", uint16 port = 0)
    {
        sockaddr_in a{AF_INET, htons(port), {}, {}};
        ok = inet_pton(AF_INET, ip, &a.sin_addr) == 1 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Sock() { close(fd); }
    bool send(const char* ip, uint16 port, const udp_pack_t& p) const
    {
        sockaddr_in to{AF_INET, htons(port), {}, {}};
        inet_pton(AF_INET, ip, &to.sin_addr);
        return sendto(fd, &p, sizeof p, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == (ssize_t)sizeof p;
    }
    // Point packets until n arrived or none comes within 5 s.
    Got receive(size_t n) const
    {
        Got got;
        MsopData m;
        pollfd pfd{fd, POLLIN, 0};
        while (got.size() < n && poll(&pfd, 1, 5000) == 1 && recv(fd, &m, sizeof m, 0) == (ssize_t)sizeof m)
            got.emplace_back(+m.pack_id, +m.time_stamp);
        return got;
    }
};

iodev_t* wait_device(epcore_t* core, uint64_t id)
{
    iodev_t* d = nullptr;
    wait_until([&] { return (d = epcore_iodev_find(core, id)) != nullptr; });
    return d;
}

bool worker_gone(epcore_t* core, uint64_t id) { return wait_until([&] { return !epcore_worker_find(core, id); }); }

const char* ip_tool()
{
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0) return p;
    return nullptr;
}

// `ip -batch -` in the calling thread's network namespace; true when all succeeded.
bool ip_batch(const std::string& commands)
{
    FILE* f = ip_tool() ? popen((std::string(ip_tool()) + " -batch -").c_str(), "we") : nullptr;
    if (!f) return false;
    bool wrote = fwrite(commands.data(), 1, commands.size(), f) == commands.size();
    int status = pclose(f);
    return wrote && status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ino_t netns_inode()
{
    struct stat st {};
    return stat("/proc/thread-self/ns/net", &st) == 0 ? st.st_ino : 0;
}

// Moves the calling thread into a fresh network namespace and holds it
// open (which keeps it alive); fd -1 when it could not be made.
struct NetNs {
    int fd = -1;
    NetNs()
    {
        ino_t before = netns_inode();
        if (before != 0 && unshare(CLONE_NEWNET) == 0 && netns_inode() != before)
            fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    }
    ~NetNs() { if (fd >= 0) close(fd); }
    std::string path() const { return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd); }
    bool enter() const { return setns(fd, CLONE_NEWNET) == 0; }
};

// One thread makes the lidar's, the host's and the camera's namespaces,
// moving between them; sockets stay in the namespace they were made in.
// The veth pairs are made inside the camera's namespace with the far ends
// sent straight into theirs: nothing of the machine's own is touched, and
// everything goes with the namespaces when the descriptors close.
TEST(RichEndToEnd, LidarPacketsOnTheLidarLinkReachTheHostAsPointPackets)
{
    if (!ip_tool()) GTEST_SKIP() << "no ip tool";
    const uint32 n = 24;
    std::string skip;
    Got got[2];
    std::thread t([&] {
        NetNs lidarNs, hostNs, camNs;
        if (lidarNs.fd < 0 || hostNs.fd < 0 || camNs.fd < 0) {
            skip = "no network namespace";
            return;
        }
        ASSERT_TRUE(ip_batch("link add kvrc0 type veth peer name kvrl netns " + lidarNs.path() +
                             "\nlink set kvrc0 name eth1\naddr add 192.168.8.1/24 dev eth1\nlink set eth1 up\n"
                             "link add kvrc1 type veth peer name kvrh netns " + hostNs.path() +
                             "\nlink set kvrc1 name eth0\naddr add 169.254.10.2/16 dev eth0\nlink set eth0 up\n"));
        ASSERT_TRUE(lidarNs.enter());
        ASSERT_TRUE(ip_batch("link set kvrl name eth0\naddr add 192.168.8.2/24 dev eth0\nlink set eth0 up\n"));
        Sock lidar("192.168.8.2", RICH_RECV_PORT);
        ASSERT_TRUE(hostNs.enter());
        ASSERT_TRUE(ip_batch("link set kvrh name eth0\naddr add 169.254.10.1/16 dev eth0\nlink set eth0 up\n"));
        const uint16 port = 40000;  // free: the namespace is the test's own
        Sock host("169.254.10.1", port);
        ASSERT_TRUE(camNs.enter());
        ASSERT_TRUE(lidar.ok && host.ok);

        RegSpace r;  // its workers start in the camera's namespace
        rich_set_bind(nullptr, 0, 0);
        // Sender running, destination as the register writes it; the host's GVCP port is 50000.
        iodev_t* gvcp = r.add_device(E_DEVICE_GVCP, nullptr);
        strcpy(gvcp->remote_ip, "169.254.10.1");
        gvcp->remote_port = 50000;
        ASSERT_EQ(worker_create(r.core, E_WORKER_ID_RICH_SEND_TASK, rich_send_task), 0);
        ASSERT_NE(wait_device(r.core, E_DEVICE_RICH_SEND), nullptr);
        ASSERT_EQ(r.write(kRegPort, port), 0);
        EXPECT_TRUE(r.log.has("rich radar udp send to:169.254.10.1:" + std::to_string(port) + ",50000"));
        for (uint32 round = 0; round < 2; round++) {
            // Every start counts from zero again; round 0 leaves a packet behind.
            ASSERT_EQ(r.write(kRegOn, 1), 0);
            ASSERT_NE(wait_device(r.core, E_DEVICE_RICH_RECV), nullptr);
            uint32 count = round == 0 ? n : 3, base = 1000 * (round + 1);
            // A turn in blocks of 0.4 degrees crossing 0, paced by the relay
            // so no datagram is lost on the way.
            for (uint32 i = 0; i < count; i++) {
                udp_pack_t p = packet((int)(33600 + 480 * i) % 36000, 40, base + i);
                ASSERT_TRUE(lidar.send(RICH_RECV_IP, RICH_RECV_PORT, p));
                ASSERT_TRUE(wait_until([&] { return stats().dbmain > i; }));
            }
            got[round] = host.receive(count - 1);
            if (round == 0) {
                // A silent lidar does not hold the receiver up.
                ASSERT_EQ(r.write(kRegOn, 0), 0);
                EXPECT_TRUE(worker_gone(r.core, E_WORKER_ID_RICH_RECV_TASK));
            }
        }
        // Another host leaving changes nothing; the relay's own host stops it.
        EXPECT_EQ(rich_host_gone(r.core, "169.254.10.1", 50001), 0);
        EXPECT_TRUE(r.log.has("rich radar host not this one,169.254.10.1:50000,169.254.10.1:50001"));
        EXPECT_EQ(rich_host_gone(r.core, "169.254.10.9", 50000), 0);
        EXPECT_EQ(rich_host_gone(r.core, "169.254.10.1", 50000), 1);
        EXPECT_TRUE(r.log.has("close rich radar,169.254.10.1:50000"));
        EXPECT_TRUE(worker_gone(r.core, E_WORKER_ID_RICH_RECV_TASK));
        r.core->quit.store(1);
        EXPECT_TRUE(worker_gone(r.core, E_WORKER_ID_RICH_SEND_TASK));
        EXPECT_EQ(rich_host_gone(r.core, "169.254.10.1", 50000), -1);
    });
    t.join();
    if (!skip.empty()) GTEST_SKIP() << skip;
    Got want;
    for (uint32 i = 0; i + 1 < n; i++) want.emplace_back(i + 1, 1000 + i);
    EXPECT_EQ(got[0], want);
    EXPECT_EQ(got[1], (Got{{1, 2000}, {2, 2001}}));
}

} // namespace
