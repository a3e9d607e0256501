// Settings the sensors cannot run at: korvid runs whole on each ToF board,
// in this process, in a network namespace of its own. A host writing such a
// frequency is refused and keeps receiving depth; a saved block whose ToF
// page is random bytes, or whose frame rates are too slow for the capture,
// starts a board that streams depth; frame rates and integration lengths
// that would starve the capture are refused; and no write of
// any value to any register of the ToF and colour pages silences a sensor
// unless it is refused. On the register block alone: each limit is taken at
// its edge and refused just past it, by a write and in a saved block.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/pumptest.h"
#include "common/custom.h"
#include "common/custom_default.h"
#include "common/custom_internal.h"
#include "common/regtest.h"
#include "GigE/gvcp.h"
#include "main/main.h"
#include "main/dispositions.h"
#include "main/netns.h"
#include "platform/boardroot.h"
#include "sensor/sensor_raw.h"

namespace {

using pumptest::wait_until;

constexpr uint16_t kGvcpPort = 3956;
constexpr uint32_t kMono16 = 0x01100007;
constexpr uint32_t kStart = 0x10000000, kAmplitude = 0x10000020, kDepth = 0x10000024, kColour = 0x10000028;
constexpr uint32_t kFreqA = 0x1000206C, kFreqB = 0x10002070;
constexpr uint32_t kRefused = 0xFFFF;
constexpr int kStartMs = 60000;   // sanitizer builds start slowly
constexpr int kFramesMs = 40000;  // bound on waiting for a few frames on a busy machine
constexpr int kWallFrames = 16;   // frames to wait for the wall: more than a write leaves on their way

struct Profile {
    const char* name;
    uint32_t rgbKind, tofKind, cpu;
    const char* tofSensor;
    const char* colourSensor;  // "" when its frames do not run on this board
};

const Profile kProfiles[] = {
    {"rk3588-gpixel", E_SMARTSENS_SC130GS, E_GPIXEL_0503, E_CPU_RK3588, "Gpixel0503", "sc130gs"},
    {"rk3568-imx570", E_SMARTSENS_SC230AI, E_IMX570, E_CPU_RK3568, "imx570", "sc230ai"},
    {"rk3568-v23", E_SMARTSENS_SC230AI, E_GPIXEL_0503, E_CPU_RK3568, "Gpixel0503", "sc230ai"},
    {"rk3588-vd55h1", E_SMARTSENS_SC2210, E_VD55H1, E_CPU_RK3588, "VD55H1", ""},
};

void PrintTo(const Profile& p, std::ostream* os) { *os << p.name; }

// korvid on the board of `profile` (the board root may be prepared before
// start()), its sensors' frames counted from the board's sensor log.
struct Camera {
    netns::Scope ns;
    Dispositions dispositions;
    bool logged = setenv(SIM_SENSOR_LOG_ENV, "1", 1) == 0;
    BoardRoot board;
    std::atomic<bool> ended{false};
    std::thread runner;

    explicit Camera(const char* profile) : board(profile) {}
    ~Camera() { stop(); }
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Started on `block` saved as the board's register file.
    bool start_on(const deviceCFG& block)
    {
        mkdir(board.host("/userdata").c_str(), 0755);
        return write_host_file(board.host("/userdata/config.bin"),
                               std::string(reinterpret_cast<const char*>(&block), sizeof block)) &&
               start();
    }
    bool start()
    {
        runner = std::thread([this] {
            korvid_main(0, nullptr);
            ended.store(true);
        });
        return wait_until([&] { return ended.load() || gvcp_up(); }, kStartMs) && !ended.load();
    }
    void stop()
    {
        if (!runner.joinable()) return;
        wait_until([&] { return ended.load() || get_pcore(); }, kStartMs);
        if (!ended.load()) signal_handler(SIGINT);
        runner.join();
        // A teardown that outwaited its bound leaves the core in place, with
        // workers still leaving through the board: the board outlives them.
        if (epcore_t* core = get_pcore()) wait_until([core] { return workers_gone(core); }, kStartMs);
        unsetenv(SIM_SENSOR_LOG_ENV);
    }
    static bool workers_gone(epcore_t* core)
    {
        EnterCriticalSection(&core->workerlistCS);
        bool none = arr_num(core->worker_list) == 0;
        LeaveCriticalSection(&core->workerlistCS);
        // A leaving worker counts itself in before it unregisters.
        return none && core->threadnum.load() == 0;
    }
    static bool gvcp_up()
    {
        epcore_t* core = get_pcore();
        return core && epcore_iodev_find(core, E_DEVICE_GVCP) != nullptr;
    }

    // Frames each sensor delivered since the board opened.
    std::map<std::string, long> frames()
    {
        std::map<std::string, long> n;
        std::istringstream in(read_host_file(board.host("/.board/sensors.log")));
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string stamp, kind, event;
            if (f >> stamp >> kind >> event && event == "frame") n[kind]++;
        }
        return n;
    }
    // Whether each of `sensors` has delivered `count` more frames since
    // the call, asked as often as wanted.
    std::function<bool()> delivered(const std::vector<std::string>& sensors, long count)
    {
        return [this, sensors, count, before = frames()]() mutable {
            auto now = frames();
            for (const auto& s : sensors)
                if (now[s] < before[s] + count) return false;
            return true;
        };
    }
    // Whether each of `sensors` delivers `count` more frames within `ms`.
    bool delivering(const std::vector<std::string>& sensors, long count, int ms)
    {
        return wait_until(delivered(sensors, count), ms);
    }
};

std::vector<std::string> sensors_of(const Profile& p)
{
    std::vector<std::string> s{p.tofSensor};
    if (*p.colourSensor) s.push_back(p.colourSensor);
    return s;
}

// A host on the loopback: GVCP register writes with their answers, and the
// stream it asked for, depth frames counted by their leaders.
struct Host {
    int ctl = -1, stream = -1;
    uint16_t streamPort = 0;
    uint16_t reqId = 0;
    Host()
    {
        int port = 0;
        ctl = pumptest::loopback_socket(SOCK_DGRAM, &port);
        stream = pumptest::loopback_socket(SOCK_DGRAM, &port);
        streamPort = (uint16_t)port;
        int size = 8 << 20;
        if (setsockopt(stream, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
            setsockopt(stream, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    ~Host()
    {
        close(ctl);
        close(stream);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The status of a WRITEREG of one register; -1 without an answer.
    int write(uint32_t address, uint32_t value)
    {
        uint8_t cmd[16] = {0x42, 0x01, 0x00, 0x82, 0x00, 0x08};
        uint16_t id = ++reqId ? reqId : ++reqId;
        cmd[6] = (uint8_t)(id >> 8), cmd[7] = (uint8_t)id;
        for (int i = 0; i < 4; i++) {
            cmd[8 + i] = (uint8_t)(address >> (24 - 8 * i));
            cmd[12 + i] = (uint8_t)(value >> (24 - 8 * i));
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kGvcpPort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // A start waits out the gap after the previous start: answers may be slow.
        for (int attempt = 0; attempt < 20; attempt++) {
            if (sendto(ctl, cmd, sizeof cmd, 0, (sockaddr*)&to, sizeof to) != (ssize_t)sizeof cmd) return -1;
            for (;;) {
                pollfd pf{ctl, POLLIN, 0};
                if (poll(&pf, 1, 500) != 1) break;
                uint8_t ack[64];
                ssize_t n = recv(ctl, ack, sizeof ack, 0);
                if (n >= 8 && ack[2] == 0x00 && ack[3] == 0x83 && (uint16_t)(ack[6] << 8 | ack[7]) == id)
                    return ack[0] << 8 | ack[1];
            }
        }
        return -1;
    }
    // Takes control and asks for depth alone, streamed to this host.
    bool open_depth()
    {
        return write(0x0A00, 2) == 0 && write(0x0D00, streamPort) == 0 && write(0x0D18, INADDR_LOOPBACK) == 0 &&
               write(kAmplitude, 0) == 0 && write(kColour, 0) == 0 && write(kStart, 1) == 0;
    }
    // Forgets the stream packets received so far.
    void drain()
    {
        uint8_t p[2048];
        while (recv(stream, p, sizeof p, MSG_DONTWAIT) > 0) {
        }
    }
    // Whether the scene's wall reads at its distance on three whole depth
    // frames in a row within the next `frames`: 95 in 100 of its pixels
    // within the precision the end-to-end depth tests ask (1 %). Frames
    // taken before a write may still be on their way (the capture queues
    // four, the depth workers hold a few more); a sensor on other
    // frequencies than depth processing leaves every frame off. The wall's
    // mean on each frame goes to *means.
    bool wall_true(int frames, std::string* means = nullptr)
    {
        constexpr double kWallMm = 1200.0, kPrecision = 0.01;
        constexpr int kInRow = 3;
        std::vector<uint8_t> img;
        uint32_t width = 0, height = 0, got = 0;
        bool depth = false;
        size_t cut = 0;
        int seen = 0, trueInRow = 0;
        auto last = std::chrono::steady_clock::now();
        wait_until(
            [&] {
                static thread_local std::vector<uint8_t> buf(65536);
                uint8_t* p = buf.data();
                ssize_t n;
                while (seen < frames && trueInRow < kInRow && (n = recv(stream, p, buf.size(), MSG_DONTWAIT)) > 0) {
                    if (n < 20) continue;
                    auto u32 = [&](int at) { return (uint32_t)p[at] << 24 | p[at + 1] << 16 | p[at + 2] << 8 | p[at + 3]; };
                    if (p[4] == 0x81 && n >= 44) {
                        depth = u32(32) == kMono16;
                        width = u32(36), height = u32(40);
                        img.assign((size_t)width * height * 2, 0);
                        got = 0, cut = 0;
                    } else if (p[4] == 0x83 && depth) {
                        size_t len = (size_t)n - 20, id = u32(16);
                        if (id == 1) cut = len;
                        if (!cut || id == 0) continue;
                        size_t at = (id - 1) * cut;
                        if (at + len <= img.size()) memcpy(img.data() + at, p + 20, len), got += (uint32_t)len;
                    } else if (p[4] == 0x82 && depth) {
                        depth = false;
                        if (got != img.size() || !width) continue;  // a lost packet: the next frame
                        seen++;
                        long wall = 0, near = 0;
                        double sum = 0;
                        for (uint32_t y = 0; y < height; y++)
                            for (uint32_t x = 0; x < width; x++) {
                                if (sim_scene_distance_mm((int)x, (int)y, (int)width, (int)height) != kWallMm) continue;
                                size_t i = ((size_t)y * width + x) * 2;
                                double mm = img[i] | img[i + 1] << 8;
                                wall++, sum += mm;
                                if (fabs(mm - kWallMm) <= kWallMm * kPrecision) near++;
                            }
                        if (means) {
                            means->push_back(' ');
                            *means += std::to_string(lround(wall ? sum / wall : 0));
                        }
                        trueInRow = wall && near * 100 >= wall * 95 ? trueInRow + 1 : 0;
                    }
                }
                if (std::chrono::steady_clock::now() - last > std::chrono::milliseconds(500)) {
                    write(0x0A00, 2);  // heartbeat
                    last = std::chrono::steady_clock::now();
                }
                return seen >= frames || trueInRow >= kInRow;
            },
            kFramesMs * 2);
        return trueInRow >= kInRow;
    }
    // Whether `count` depth frames arrive and `also` holds within `ms`;
    // the control channel is kept meanwhile.
    bool depth_flows(int count, int ms, const std::function<bool()>& also = [] { return true; })
    {
        int seen = 0;
        auto last = std::chrono::steady_clock::now();
        return wait_until(
            [&] {
                uint8_t p[2048];
                ssize_t n;
                while ((n = recv(stream, p, sizeof p, MSG_DONTWAIT)) > 0) {
                    // An image leader (extended ids): its pixel format at byte 32.
                    if (n >= 36 && p[4] == 0x81 && ((uint32_t)p[32] << 24 | p[33] << 16 | p[34] << 8 | p[35]) == kMono16)
                        seen++;
                }
                if (std::chrono::steady_clock::now() - last > std::chrono::milliseconds(500)) {
                    write(0x0A00, 2);  // heartbeat
                    last = std::chrono::steady_clock::now();
                }
                return seen >= count && also();
            },
            ms);
    }
};

// The board's built-in register block, to be changed and saved.
deviceCFG default_block(const Profile& p)
{
    deviceCFG block{};
    custom_default_cfg(&block, p.rgbKind, p.tofKind, p.cpu);
    return block;
}

std::string profile_test_name(const ::testing::TestParamInfo<Profile>& i)
{
    std::string n = i.param.name;
    for (char& c : n)
        if (c == '-') c = '_';
    return n;
}

class OnEachToFBoard : public ::testing::TestWithParam<Profile> {};

INSTANTIATE_TEST_SUITE_P(Boards, OnEachToFBoard, ::testing::ValuesIn(kProfiles),
                         profile_test_name);

TEST_P(OnEachToFBoard, FrequenciesTheSensorCannotRunAtAreRefusedAndDepthFlows)
{
    Camera cam(GetParam().name);
    ASSERT_TRUE(cam.ns.ok);
    ASSERT_TRUE(cam.start());
    Host host;
    ASSERT_TRUE(host.open_depth());
    ASSERT_TRUE(host.depth_flows(3, kStartMs)) << "no depth before the writes";
    EXPECT_EQ(host.write(kFreqA, 2021338960), (int)kRefused);
    EXPECT_EQ(host.write(kFreqB, 1091448244), (int)kRefused);
    EXPECT_TRUE(host.depth_flows(3, kFramesMs)) << "depth stopped";
    std::string log = read_host_file(cam.board.host("/var/log/camera.log"));
    EXPECT_NE(log.find("can not set groupAFreq:2021338960"), std::string::npos);
    EXPECT_NE(log.find("can not set groupBFreq:1091448244"), std::string::npos);
}

// Frequency writes a host makes, alone and as pairs in both orders, on the
// frequency table or limits of the board's ToF sensor: the values each holds,
// values between and beside them, 0 and the bounds plus and minus one, and
// settings that would leave the stored frequencies out of range. A refused
// write changes nothing; every write leaves the wall at its distance within
// a few frames: the sensor runs at what depth processing computes with.
struct FreqCase {
    // In order: refused, each is judged; accepted, the last (those before
    // may be refused on the way).
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    bool accepted;
};

std::vector<FreqCase> frequency_cases(uint32_t tofKind)
{
    constexpr uint32_t kMode = 0x10002068, kPhase = 0x100000EC, k3DMode = 0x100000E8, kFreqC = 0x10002050;
    switch (tofKind) {
    case E_GPIXEL_0503:  // the board's table: 96/60 100/60 112/64 120/75, dual exposure
        return {
            {{{kFreqA, 50}}, false},  {{{kFreqA, 0}}, false},   {{{kFreqA, 95}}, false},  {{{kFreqA, 98}}, false},
            {{{kFreqA, 121}}, false}, {{{kFreqB, 64}}, false},  {{{kFreqB, 0}}, false},   {{{kFreqB, 59}}, false},
            {{{kFreqA, 100}}, true},  {{{kFreqA, 112}}, true},  {{{kFreqB, 60}}, false},  {{{kFreqA, 120}}, true},
            {{{kFreqB, 76}}, false},  {{{kFreqA, 96}}, true},   // back to each row, first then second
            {{{kFreqB, 75}, {kFreqA, 120}}, true},                 // second first: refused, then the first
            {{{kFreqA, 112}, {kFreqB, 64}}, true},  {{{kFreqB, 60}, {kFreqA, 100}, {kFreqB, 60}}, true},
            {{{kFreqA, 96}, {kFreqB, 60}}, true},   {{{k3DMode, 2}}, false},  // a mode without a row
        };
    case E_IMX570:  // triple frequency (5), 4 phases: 3..150 MHz
        return {
            {{{kFreqA, 0}}, false},   {{{kFreqA, 2}}, false},  {{{kFreqA, 151}}, false}, {{{kFreqB, 2}}, false},
            {{{kFreqC, 151}}, false}, {{{kFreqB, 0}}, false},  {{{kFreqA, 3}}, true},    {{{kFreqA, 150}}, true},
            {{{kFreqB, 3}}, true},    {{{kFreqB, 150}}, true}, {{{kFreqC, 3}}, true},    {{{kFreqC, 97}}, true},
            {{{kFreqA, 100}, {kFreqB, 20}}, true},  {{{kFreqB, 15}, {kFreqA, 120}}, true},
            {{{kPhase, 1}}, false},   {{{kMode, 6}}, false},     // 3 phases take up to 100
            // A phase setting reaches the sensor at the capture's next start:
            // until then the capture and depth go on as they were, and the
            // frequencies keep within both settings. The restart is seen
            // running (the wall) before the next phase setting: a capture
            // still starting would take that one.
            {{{kFreqA, 100}, {kPhase, 1}}, true},   {{{kFreqA, 120}}, false},
            {{{kStart, 0}, {kStart, 1}}, true},     {{{kPhase, 0}}, true},   {{{kFreqA, 120}}, false},
        };
    default:  // VD55H1: 3..500 MHz, what depth processing unwraps
        return {
            {{{kFreqA, 0}, {kFreqB, 0}, {kFreqA, 2}, {kFreqA, 501}, {kFreqB, 501}}, false},
            {{{kFreqA, 3}}, true},    {{{kFreqA, 500}}, true},  {{{kFreqA, 499}}, true},
            {{{kFreqB, 500}}, true},  {{{kFreqB, 3}}, true},    {{{kFreqB, 499}, {kFreqA, 500}}, true},
            {{{kFreqA, 3}, {kFreqB, 500}}, true},  {{{kFreqB, 30}, {kFreqA, 120}}, true},
        };
    }
}

TEST_P(OnEachToFBoard, FrequencyWritesEndWithTheWallAtItsDistanceOrAreRefused)
{
    const Profile& p = GetParam();
    Camera cam(p.name);
    ASSERT_TRUE(cam.ns.ok);
    ASSERT_TRUE(cam.start());
    Host host;
    ASSERT_TRUE(host.open_depth());
    ASSERT_TRUE(host.wall_true(kWallFrames)) << "the wall is off before the writes";
    for (const FreqCase& c : frequency_cases(p.tofKind)) {
        std::ostringstream what;
        int rc = 0;
        for (const auto& [address, value] : c.writes) {
            uint32_t old = 0, now = 0;
            Custom_RegRead(address, &old);
            rc = host.write(address, value);
            // A stop and a start the closer has not acted on yet cancel out:
            // the restart that takes a phase setting to the sensor waits for
            // its close, which a loaded machine may run late.
            if (address == kStart && value == 0 && rc == 0) {
                EXPECT_TRUE(wait_until(
                    [] {
                        epcore_t* core = get_pcore();
                        return !core || !core->streamon.load();
                    },
                    kStartMs))
                    << "the stream never closed";
            }
            Custom_RegRead(address, &now);
            what << std::hex << " 0x" << address << std::dec << ":=" << value << "->" << rc;
            if (!c.accepted) {
                EXPECT_EQ(rc, (int)kRefused) << what.str();
                EXPECT_EQ(now, old) << what.str() << " changed the register";
            } else if (&value == &c.writes.back().second) {
                EXPECT_EQ(rc, 0) << what.str();
                EXPECT_EQ(now, value) << what.str();
            }
        }
        host.drain();
        std::string means;
        EXPECT_TRUE(host.wall_true(kWallFrames, &means)) << what.str() << ": the wall reads (mm)" << means;
        if (HasFailure()) return;
    }
    std::string log = read_host_file(cam.board.host("/var/log/camera.log"));
    EXPECT_NE(log.find("the sensor takes"), std::string::npos) << "a refusal names no setting";
    if (p.tofKind == E_IMX570) {
        EXPECT_NE(log.find("imx570 now in E_3_PHASE_24_FPS"), std::string::npos) << "the capture never took 3 phases";
    }
}

// The same frequencies stored in the saved block: a board whose sensor would
// not run at them starts on the defaults and streams true depth.
TEST_P(OnEachToFBoard, StoredFrequenciesTheSensorRefusesStartOnTheDefaultsWithTrueDepth)
{
    const Profile& p = GetParam();
    Camera cam(p.name);
    ASSERT_TRUE(cam.ns.ok);
    deviceCFG block = default_block(p);
    SensorInfo& tof = block.sensor[DEV_CFG_SENSOR_TOF].info;
    const SensorInfo defaults = tof;
    if (p.tofKind == E_GPIXEL_0503) tof.groupAFreq = 50;   // no row
    if (p.tofKind == E_IMX570) block.common.phaseOptions = 1;  // 120 MHz above the 3-phase limit
    if (p.tofKind == E_VD55H1) tof.groupBFreq = 0;          // programmed as 0 Hz
    ASSERT_TRUE(cam.start_on(block));
    Host host;
    ASSERT_TRUE(host.open_depth());
    std::string means;
    EXPECT_TRUE(host.wall_true(kWallFrames, &means)) << "the wall reads (mm)" << means;
    uint32_t a = 0, b = 0;
    Custom_RegRead(kFreqA, &a);
    Custom_RegRead(kFreqB, &b);
    EXPECT_EQ(a, defaults.groupAFreq);
    EXPECT_EQ(b, defaults.groupBFreq);
}

TEST_P(OnEachToFBoard, RandomToFPageInTheSavedBlockStartsABoardThatStreamsDepth)
{
    const Profile& p = GetParam();
    Camera cam(p.name);
    ASSERT_TRUE(cam.ns.ok);
    deviceCFG block = default_block(p);
    std::mt19937 rng(35);
    for (size_t i = 0; i < sizeof(SensorInfo); i++) block.sensor[DEV_CFG_SENSOR_TOF].bytes[i] = (uint8_t)rng();
    ASSERT_TRUE(cam.start_on(block));
    Host host;
    ASSERT_TRUE(host.open_depth());
    EXPECT_TRUE(host.depth_flows(3, kStartMs)) << read_host_file(cam.board.host("/var/log/camera.log"));
}

// A saved block holding the slowest rate on both rate registers starts a
// board that streams depth: the load check puts the defaults in their place
// where the capture could not wait for such frames.
TEST_P(OnEachToFBoard, SlowestRatesInTheSavedBlockStartABoardThatStreamsDepth)
{
    const Profile& p = GetParam();
    Camera cam(p.name);
    ASSERT_TRUE(cam.ns.ok);
    deviceCFG block = default_block(p);
    block.sensor[DEV_CFG_SENSOR_TOF].info.fps = 1;
    block.sensor[DEV_CFG_SENSOR_RGB].info.fps = 1;
    ASSERT_TRUE(cam.start_on(block));
    Host host;
    ASSERT_TRUE(host.open_depth());
    EXPECT_TRUE(host.depth_flows(3, kStartMs, cam.delivered(sensors_of(p), 2)))
        << read_host_file(cam.board.host("/var/log/camera.log"));
}

// The frame rates from 0 up to the lowest one accepted, on the ToF and on
// the colour rate: each is refused, or depth keeps flowing and every sensor
// keeps delivering. A rate too slow for the capture's wait restarts the
// capture over and over, or starves it of exposures, and no depth comes.
TEST_P(OnEachToFBoard, LowFrameRatesAreRefusedOrLeaveDepthFlowing)
{
    constexpr uint32_t kTofFps = 0x1000202C, kColourFps = 0x1000102C;
    constexpr uint32_t kAbove = 7;  // above the lowest rate of every kind
    constexpr int kRateMs = 20000;  // a few frames at the slowest rate, on a busy machine
    const Profile& p = GetParam();
    Camera cam(p.name);
    ASSERT_TRUE(cam.ns.ok);
    ASSERT_TRUE(cam.start());
    Host host;
    // The frequency mode whose capture waits least for each exposure: the
    // Gpixel's default (dual exposure), the IMX570's mode 6 (three exposures),
    // set before the start so that the capture starts in it.
    if (p.tofKind == E_IMX570) {
        ASSERT_EQ(host.write(0x0A00, 2), 0);
        ASSERT_EQ(host.write(kFreqA, 100), 0);  // mode 6 runs 3 phases, up to 100 MHz
        ASSERT_EQ(host.write(0x10002068, 6), 0);
    }
    ASSERT_TRUE(host.open_depth());
    if (p.tofKind == E_IMX570) {
        ASSERT_TRUE(host.depth_flows(0, kStartMs, [&] {
            return read_host_file(cam.board.host("/var/log/camera.log")).find("freqmode:multi triple hdr") !=
                   std::string::npos;
        })) << "the capture did not start in mode 6";
    }
    ASSERT_TRUE(host.depth_flows(3, kStartMs)) << "no depth before the writes";
    uint32_t tofRate = 0, colourRate = 0;
    Custom_RegRead(kTofFps, &tofRate);
    Custom_RegRead(kColourFps, &colourRate);
    const std::vector<std::string> sensors = sensors_of(p);
    for (uint32_t address : {kTofFps, kColourFps}) {
        bool lowest = false;
        for (uint32_t rate = 0; rate <= kAbove && !lowest; rate++) {
            std::ostringstream what;
            what << std::hex << "0x" << address << std::dec << ":=" << rate;
            int rc = host.write(address, rate);
            if (rc == (int)kRefused) continue;
            EXPECT_EQ(rc, 0) << what.str();
            host.drain();
            EXPECT_TRUE(host.depth_flows(3, kRateMs, cam.delivered(sensors, 2)))
                << what.str() << " stopped depth or a sensor";
            // The colour rate drives the ToF rate: put back in that order.
            EXPECT_EQ(host.write(kColourFps, colourRate), 0);
            EXPECT_EQ(host.write(kTofFps, tofRate), 0);
            host.drain();
            ASSERT_TRUE(host.depth_flows(3, kFramesMs)) << "no depth back after " << what.str();
            if (HasFailure()) return;
            lowest = rate > 0;  // faster rates leave the capture more time still
        }
        EXPECT_TRUE(lowest) << std::hex << "0x" << address << " refuses every rate up to " << std::dec << kAbove;
    }
}

// The longest integration lengths: the Gpixel's driver lowers its rate for
// them, in dual exposure to 4 frames a second from 4084 on. Each is refused
// or leaves depth flowing and every sensor delivering.
TEST_P(OnEachToFBoard, LongestIntegrationsAreRefusedOrLeaveDepthFlowing)
{
    constexpr uint32_t kInteA = 0x1000209C;
    const Profile& p = GetParam();
    Camera cam(p.name);
    ASSERT_TRUE(cam.ns.ok);
    ASSERT_TRUE(cam.start());
    Host host;
    ASSERT_TRUE(host.open_depth());
    ASSERT_TRUE(host.depth_flows(3, kStartMs)) << "no depth before the writes";
    uint32_t before = 0;
    Custom_RegRead(kInteA, &before);
    const std::vector<std::string> sensors = sensors_of(p);
    for (uint32_t length : {4083u, 4084u}) {
        int rc = host.write(kInteA, length);
        if (rc == (int)kRefused) continue;
        EXPECT_EQ(rc, 0) << length;
        host.drain();
        EXPECT_TRUE(host.depth_flows(3, kFramesMs, cam.delivered(sensors, 2)))
            << "nInteA:=" << length << " stopped depth or a sensor";
        EXPECT_EQ(host.write(kInteA, before), 0);
        host.drain();
        ASSERT_TRUE(host.depth_flows(3, kFramesMs)) << "no depth back after nInteA:=" << length;
        if (HasFailure()) return;
    }
}

// ---- Colour rates ----
//
// Colour blocks come only while the colour sensor runs at a rate its
// capture can take: the two-exposure capture waits a bounded time for each
// exposure. The boards whose colour frames reach the host, with depth beside
// them.

constexpr uint32_t kMono10 = 0x01100003;  // the colour blocks' leader
constexpr uint32_t kTofFps = 0x1000202C, kColourFps = 0x1000102C;

const Profile kColourProfiles[] = {kProfiles[2], kProfiles[0]};  // rk3568-v23, rk3588-gpixel

// Takes control and asks for depth and colour, streamed to `host`.
bool open_depth_and_colour(Host& host)
{
    return host.write(0x0A00, 2) == 0 && host.write(0x0D00, host.streamPort) == 0 &&
           host.write(0x0D18, INADDR_LOOPBACK) == 0 && host.write(kAmplitude, 0) == 0 &&
           host.write(kColour, 1) == 0 && host.write(kStart, 1) == 0;
}

// Whether `colour` colour blocks and `depth` depth blocks arrive within
// `ms`; the control channel is kept meanwhile.
bool colour_flows(Host& host, int colour, int depth, int ms)
{
    int seen[2] = {0, 0};
    auto last = std::chrono::steady_clock::now();
    return wait_until(
        [&] {
            uint8_t p[2048];
            ssize_t n;
            while ((n = recv(host.stream, p, sizeof p, MSG_DONTWAIT)) > 0) {
                if (n < 36 || p[4] != 0x81) continue;
                uint32_t format = (uint32_t)p[32] << 24 | p[33] << 16 | p[34] << 8 | p[35];
                if (format == kMono10) seen[0]++;
                if (format == kMono16) seen[1]++;
            }
            if (std::chrono::steady_clock::now() - last > std::chrono::milliseconds(500)) {
                host.write(0x0A00, 2);  // heartbeat
                last = std::chrono::steady_clock::now();
            }
            return seen[0] >= colour && seen[1] >= depth;
        },
        ms);
}

// The error lines of the board's log.
std::string errors(Camera& cam)
{
    std::istringstream in(read_host_file(cam.board.host("/var/log/camera.log")));
    std::string line, out;
    while (std::getline(in, line))
        if (line.find("[error]") != std::string::npos) out += line + "\n";
    return out;
}

uint32_t reg(uint32_t address)
{
    uint32_t v = 0;
    Custom_RegRead(address, &v);
    return v;
}

class OnEachColourBoard : public ::testing::TestWithParam<Profile> {};

INSTANTIATE_TEST_SUITE_P(Boards, OnEachColourBoard, ::testing::ValuesIn(kColourProfiles),
                         profile_test_name);

// Every colour rate from 0 up past the floor of every kind, and the first
// rate the ISP sensor takes in hundredths: an accepted one keeps colour
// blocks coming, a refused one leaves the register and the stream as they
// were. The rates from the floor on are accepted.
TEST_P(OnEachColourBoard, ColourRatesAreRefusedOrKeepColourFlowing)
{
    constexpr uint32_t kFloor = 6;
    constexpr int kRateMs = 20000;  // a few frames at the slowest rate, on a busy machine
    Camera cam(GetParam().name);
    ASSERT_TRUE(cam.ns.ok);
    ASSERT_TRUE(cam.start());
    Host host;
    ASSERT_TRUE(open_depth_and_colour(host));
    ASSERT_TRUE(colour_flows(host, 2, 1, kStartMs)) << "no colour before the writes";
    const uint32_t tofRate = reg(kTofFps), colourRate = reg(kColourFps);
    for (uint32_t rate : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 31u}) {
        std::ostringstream what;
        what << "rgb fps:=" << rate;
        const uint32_t before = reg(kColourFps);
        int rc = host.write(kColourFps, rate);
        host.drain();
        if (rc == (int)kRefused) {
            EXPECT_LT(rate == 31 ? 0 : rate, kFloor) << what.str() << " refused";
            EXPECT_EQ(reg(kColourFps), before) << what.str();
            EXPECT_TRUE(colour_flows(host, 2, 1, kFramesMs)) << what.str() << ", refused, stopped colour or depth";
        } else {
            EXPECT_EQ(rc, 0) << what.str();
            EXPECT_TRUE(colour_flows(host, 2, 1, kRateMs)) << what.str() << " stopped colour or depth";
            // The colour rate drives the ToF rate: put back in that order.
            EXPECT_EQ(host.write(kColourFps, colourRate), 0);
            EXPECT_EQ(host.write(kTofFps, tofRate), 0);
            host.drain();
            ASSERT_TRUE(colour_flows(host, 2, 1, kFramesMs)) << "no colour back after " << what.str();
        }
        if (HasFailure()) return;
    }
}

// The same rates saved on both rate registers, as a host's colour write
// leaves them: the board starts and streams colour and depth.
TEST_P(OnEachColourBoard, ColourRatesInTheSavedBlockStartABoardThatStreamsColour)
{
    const Profile& p = GetParam();
    for (uint32_t rate : {0u, 5u, 6u, 31u}) {
        Camera cam(p.name);
        ASSERT_TRUE(cam.ns.ok);
        deviceCFG block = default_block(p);
        block.sensor[DEV_CFG_SENSOR_TOF].info.fps = rate;
        block.sensor[DEV_CFG_SENSOR_RGB].info.fps = rate;
        ASSERT_TRUE(cam.start_on(block));
        Host host;
        ASSERT_TRUE(open_depth_and_colour(host));
        EXPECT_TRUE(colour_flows(host, 2, 1, kStartMs))
            << "saved rate " << rate << ":\n" << errors(cam);
        if (HasFailure()) return;
    }
}

// The load check judges the colour rate by the colour kind as well, and
// keeps the rate the Gpixel's driver lowers to for the block's mode and
// length, which the driver writes there itself.
TEST(ColourRateLoadCheck, TakesTheDefaultForRatesTheColourSensorCannotRunAtButKeepsTheDriversOwn)
{
    deviceCFG defaults{};
    custom_default_cfg(&defaults, E_SMARTSENS_SC230AI, E_GPIXEL_0503, E_CPU_RK3568);
    struct Case { uint32_t freqMode, length, tofRate, colourRate; int replaced; } cases[] = {
        {3, 800, 0, 0, 2},     // 0 runs the colour sensor at 1
        {3, 800, 24, 31, 1},   // in hundredths
        {3, 800, 5, 5, 2},     // below both floors
        {0, 3000, 4, 4, 0},    // the driver's own rate for mode 0 and 3000
        {3, 3000, 4, 4, 2},    // not its rate in dual exposure
        {3, 800, 30, 30, 0},
    };
    for (const Case& c : cases) {
        deviceCFG block = defaults;
        SensorInfo& tof = block.sensor[DEV_CFG_SENSOR_TOF].info;
        tof.freqMode = c.freqMode;
        tof.nInteA = c.length;
        tof.fps = c.tofRate;
        block.sensor[DEV_CFG_SENSOR_RGB].info.fps = c.colourRate;
        char names[128];
        std::ostringstream what;
        what << "mode " << c.freqMode << " L " << c.length << " rates " << c.tofRate << "/" << c.colourRate;
        EXPECT_EQ(custom_check_cfg(&block, &defaults, E_GPIXEL_0503, E_SMARTSENS_SC230AI, names, sizeof names),
                  c.replaced)
            << what.str() << ": " << names;
        EXPECT_EQ(block.sensor[DEV_CFG_SENSOR_RGB].info.fps, c.replaced ? 24u : c.colourRate) << what.str();
    }
}

// Every register of both sensor pages takes 0, the largest value and a few
// random ones; whatever is not refused leaves every sensor delivering.
// Registers are written thirty at a time between checks (a sensor frame
// is costly under the sanitizers), each group put back before the next.
// The frequencies, the frequency mode and the phase setting are written
// one at a time, and whatever of them is not refused also leaves the
// scene's wall at its distance.
TEST_P(OnEachToFBoard, NoWriteToTheSensorPagesSilencesASensorUnlessRefused)
{
    // The ToF sensor's own stop switch: 0 stops the sensor, which is what it
    // is for, so 0 is neither written nor put back.
    constexpr uint32_t kStopSwitch = 0x100020E4;
    constexpr uint32_t kFreqC = 0x10002050, kPhase = 0x100000EC;
    constexpr uint32_t kFreqSettings[] = {kFreqA, kFreqB, 0x10002068, kFreqC, kPhase};
    constexpr size_t kGroup = 30;
    constexpr uint32_t kFields = sizeof(SensorInfo) / 4;
    const Profile& p = GetParam();
    Camera cam(p.name);
    ASSERT_TRUE(cam.ns.ok);
    ASSERT_TRUE(cam.start());
    // The host keeps control through the sweep without a heartbeat. Depth is
    // computed only while the wall is looked at.
    Host host;
    ASSERT_EQ(host.write(0x0A00, 2), 0);
    ASSERT_EQ(host.write(0x0938, 999999), 0);
    ASSERT_TRUE(host.open_depth());
    ASSERT_TRUE(host.wall_true(kWallFrames)) << "the wall is off before the writes";
    ASSERT_EQ(host.write(kDepth, 0), 0);
    const std::vector<std::string> sensors = sensors_of(p);
    ASSERT_TRUE(cam.delivering(sensors, 3, kFramesMs)) << "no frames before the writes";

    std::vector<uint32_t> addresses;
    for (uint32_t page : {0x10001000u, 0x10002000u})
        for (uint32_t i = 0; i < kFields; i++)
            if (std::find(std::begin(kFreqSettings), std::end(kFreqSettings), page + 4 * i) == std::end(kFreqSettings))
                addresses.push_back(page + 4 * i);
    std::mt19937 rng(35);
    const uint32_t values[] = {0, 0xFFFFFFFF, (uint32_t)rng(), (uint32_t)(rng() % 5000)};
    for (uint32_t value : values) {
        for (size_t from = 0; from < addresses.size(); from += kGroup) {
            std::vector<std::pair<uint32_t, uint32_t>> saved;
            std::ostringstream written;
            for (size_t i = from; i < addresses.size() && i < from + kGroup; i++) {
                uint32_t a = addresses[i];
                if (a == kStopSwitch && value == 0) continue;
                uint32_t before = 0, v = value;
                Custom_RegRead(a, &before);
                int rc = Custom_RegWrite(a, &v);
                written << std::hex << " 0x" << a << ":=0x" << value << "->0x" << rc;
                if (rc == 0 && a != kStopSwitch) saved.emplace_back(a, before);
            }
            if (saved.empty()) continue;
            EXPECT_TRUE(cam.delivering(sensors, 2, kFramesMs)) << "silenced by" << written.str();
            for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
                uint32_t v = it->second;
                Custom_RegWrite(it->first, &v);
            }
            if (HasFailure()) return;
        }
        for (uint32_t a : kFreqSettings) {
            uint32_t before = 0;
            Custom_RegRead(a, &before);
            // The third frequency and the phase setting count on the IMX570 alone.
            bool unused = p.tofKind != E_IMX570 && (a == kFreqC || a == kPhase);
            if (unused || value == before) continue;
            if (host.write(a, value) != 0) continue;
            std::ostringstream written;
            written << std::hex << "0x" << a << ":=0x" << value;
            std::string means;
            EXPECT_EQ(host.write(kDepth, 1), 0);
            host.drain();
            EXPECT_TRUE(host.wall_true(kWallFrames, &means)) << written.str() << ": the wall reads (mm)" << means;
            EXPECT_EQ(host.write(kDepth, 0), 0);
            EXPECT_TRUE(cam.delivering(sensors, 2, kFramesMs)) << "silenced by " << written.str();
            EXPECT_EQ(host.write(a, before), 0) << "not put back after " << written.str();
            if (HasFailure()) return;
        }
    }
}


// ---- The judgement at its edges ----
//
// Each sensor's lowest and highest accepted value and the values just past
// them, as a host's register write meets them (the answer GVCP carries) and
// as a start judges a saved block. Quick: the register block alone, on the
// board's files, without a capture.

constexpr uint32_t kFreqC = 0x10002050, kMode = 0x10002068, kPhase = 0x100000EC;
constexpr uint32_t kInteA = 0x1000209C, kInteB = 0x100020A0;
constexpr int kUnsupported = 0x8001;

// The register block of `p`'s defaults on its board, written to by a host.
struct Block {
    regtest::RegSpace r;
    explicit Block(const Profile& p, uint32_t rgbKind) : r(p.name)
    {
        r.cfg = default_block(p);
        r.rgb().sensorType = rgbKind;
    }
};

struct Write {
    uint32_t address, value;
    int code;
};

std::string what(const Write& w)
{
    std::ostringstream o;
    o << std::hex << "0x" << w.address << std::dec << ":=" << w.value;
    return o.str();
}

// Each write answers its code; a refused one leaves the register as it was.
void expect_answers(regtest::RegSpace& r, const std::vector<Write>& writes)
{
    for (const Write& w : writes) {
        const uint32_t before = r.read(w.address);
        EXPECT_EQ(r.write(w.address, w.value), w.code) << what(w);
        EXPECT_EQ(r.read(w.address), w.code == 0 ? w.value : before) << what(w);
    }
}

// The first and second frequency of each row of the board's Gpixel table.
std::vector<std::pair<uint32_t, uint32_t>> board_table(const BoardRoot& board)
{
    std::istringstream in(read_host_file(board.host("/userdata/const/support_freq.csv")));
    std::string line;
    std::vector<std::pair<uint32_t, uint32_t>> rows;
    std::getline(in, line);  // the header
    unsigned a = 0, b = 0;
    while (std::getline(in, line))
        if (sscanf(line.c_str(), "%u,%u", &a, &b) == 2) rows.emplace_back(a, b);
    return rows;
}

// Frame rates: every kind clocks up to 120 frames a second (the IMX570 not
// 31..99, which its driver reads otherwise); the floors are the slowest
// rates whose period the capture waits out: Gpixel 6 (200 ms a dual
// exposure), IMX570 3 (500 ms), VD55H1 any, SC230AI colour 6 and at most 30.
// The Gpixel and VD55H1 drivers keep their rate on a 0. Integration lengths:
// the Gpixel counts 12 bits and its first length from 4084 on lowers the
// rate below its floor; the IMX570 integrates up to 4000 microseconds.
TEST_P(OnEachToFBoard, SettingsAreTakenAtEachLimitAndRefusedJustPastIt)
{
    const Profile& p = GetParam();
    const int R = (int)kRefused;
    std::vector<std::pair<uint32_t, std::vector<Write>>> groups;  // colour kind, writes
    switch (p.tofKind) {
    case E_GPIXEL_0503:
        groups.push_back({E_SMARTSENS_SC130GS,
                          {{kTofFps, 0, 0}, {kTofFps, 5, R}, {kTofFps, 6, 0}, {kTofFps, 120, 0}, {kTofFps, 121, R},
                           {kColourFps, 5, R}, {kColourFps, 6, 0}, {kColourFps, 120, 0}, {kColourFps, 121, R},
                           {kInteA, 4083, 0}, {kInteA, 4084, R}, {kInteB, 4095, 0}, {kInteB, 4096, R}}});
        groups.push_back({E_SMARTSENS_SC230AI,
                          {{kTofFps, 0, R}, {kTofFps, 5, R}, {kTofFps, 6, 0}, {kTofFps, 120, 0}, {kTofFps, 121, R},
                           {kColourFps, 0, R}, {kColourFps, 5, R}, {kColourFps, 6, 0}, {kColourFps, 30, 0},
                           {kColourFps, 31, R}}});
        break;
    case E_IMX570:
        // Its own limits, which its board's SC230AI hides below 6, beside a
        // colour sensor that adds none.
        groups.push_back({E_SMARTSENS_SC130GS,
                          {{kTofFps, 0, R}, {kTofFps, 2, R}, {kTofFps, 3, 0}, {kTofFps, 30, 0},
                           {kTofFps, 31, kUnsupported}, {kTofFps, 99, kUnsupported}, {kTofFps, 100, 0},
                           {kTofFps, 120, 0}, {kTofFps, 121, R}, {kColourFps, 2, R}, {kColourFps, 3, 0},
                           {kColourFps, 120, 0}, {kColourFps, 121, R}, {kInteA, 4000, 0}, {kInteA, 4001, R},
                           {kInteB, 4000, 0}, {kInteB, 4001, R}}});
        // Its rule's 0x8001 on 31..99 stands where the colour sensor's limit
        // would refuse too.
        groups.push_back({E_SMARTSENS_SC230AI,
                          {{kTofFps, 5, R}, {kTofFps, 6, 0}, {kColourFps, 5, R}, {kColourFps, 6, 0},
                           {kColourFps, 30, 0}, {kColourFps, 31, kUnsupported}, {kColourFps, 99, kUnsupported},
                           {kColourFps, 100, R}}});
        break;
    default:
        groups.push_back({E_SMARTSENS_SC2210,
                          {{kTofFps, 0, 0}, {kTofFps, 1, 0}, {kTofFps, 120, 0}, {kTofFps, 121, R},
                           {kColourFps, 1, 0}, {kColourFps, 120, 0}, {kColourFps, 121, R}}});
    }
    for (const auto& [rgbKind, writes] : groups) {
        SCOPED_TRACE("colour kind " + std::to_string(rgbKind));
        Block b(p, rgbKind);
        expect_answers(b.r, writes);
    }
}

// Frequencies: every row of the Gpixel's table, first frequency then
// second, and the first frequencies just below and above the table; the
// IMX570 from 3 to 150 MHz, 100 in the 3-phase settings and in mode 6, a
// frequency its mode leaves unused up to 150 still; the VD55H1 from 3 to
// 500 MHz. No sensor takes 0.
TEST_P(OnEachToFBoard, FrequenciesAreTakenAtEachEdgeAndRefusedJustPastIt)
{
    const Profile& p = GetParam();
    const int R = (int)kRefused;
    Block b(p, p.rgbKind);
    std::vector<Write> writes;
    switch (p.tofKind) {
    case E_GPIXEL_0503: {
        auto rows = board_table(b.r.board);
        ASSERT_FALSE(rows.empty());
        uint32_t lo = rows[0].first, hi = rows[0].first;
        for (const auto& [a, partner] : rows) {
            writes.push_back({kFreqA, a, 0});
            writes.push_back({kFreqB, partner, 0});
            lo = std::min(lo, a), hi = std::max(hi, a);
        }
        writes.push_back({kFreqB, rows.back().second + 1, R});
        writes.push_back({kFreqA, lo - 1, R});
        writes.push_back({kFreqA, hi + 1, R});
        writes.push_back({kFreqA, 0, R});
        writes.push_back({kFreqB, 0, R});
        break;
    }
    case E_IMX570:  // its defaults: triple frequency (mode 5), 4 phases; then modes 6, 0 and 3
        writes = {{kFreqA, 2, R},   {kFreqA, 3, 0},   {kFreqA, 150, 0}, {kFreqA, 151, R}, {kFreqA, 0, R},
                  {kFreqB, 2, R},   {kFreqB, 3, 0},   {kFreqB, 150, 0}, {kFreqB, 151, R}, {kFreqB, 0, R},
                  {kFreqC, 2, R},   {kFreqC, 3, 0},   {kFreqC, 150, 0}, {kFreqC, 151, R}, {kFreqC, 0, R},
                  {kPhase, 1, R},   {kMode, 6, R},    {kFreqA, 100, 0}, {kFreqB, 100, 0}, {kFreqC, 100, 0},
                  {kPhase, 1, 0},   {kFreqA, 101, R}, {kFreqC, 101, R}, {kPhase, 0, 0},   {kMode, 6, 0},
                  {kFreqB, 101, R}, {kMode, 0, 0},    {kPhase, 1, 0},   {kFreqA, 101, R}, {kFreqB, 150, 0},
                  {kFreqC, 150, 0}, {kFreqB, 151, R}, {kFreqC, 151, R}, {kFreqB, 100, 0}, {kMode, 3, 0},
                  {kFreqB, 101, R}, {kFreqC, 150, 0}, {kFreqC, 151, R}};
        break;
    default:
        writes = {{kFreqA, 2, R}, {kFreqA, 3, 0}, {kFreqA, 500, 0}, {kFreqA, 501, R}, {kFreqA, 0, R},
                  {kFreqB, 2, R}, {kFreqB, 3, 0}, {kFreqB, 500, 0}, {kFreqB, 501, R}, {kFreqB, 0, R}};
    }
    expect_answers(b.r, writes);
}

// A saved block holding a value just past an edge takes the default there,
// one on the edge is kept: on every row the load check walks, the last of
// each table included.
TEST(LoadCheck, ValuesJustPastEachEdgeTakeTheDefaultAndValuesOnItAreKept)
{
    constexpr uint32_t kAlgo = 0x1000005C, kOutputSet = 0x100000B0, kOutputControl = 0x100000AC;
    constexpr uint32_t kGpixel = E_GPIXEL_0503, kImx = E_IMX570, kVd = E_VD55H1;
    constexpr uint32_t kMono = E_SMARTSENS_SC130GS, kIsp = E_SMARTSENS_SC230AI, kSc2210 = E_SMARTSENS_SC2210;
    using Words = std::vector<std::pair<uint32_t, uint32_t>>;
    struct Case {
        uint32_t tofKind, rgbKind, address, on, past;
        Words with;  // settings the edge needs beside it
    };
    std::vector<Case> cases = {
        // The ToF kinds' limits.
        // The Gpixel's lengths up to what its capture's restart raises
        // them to from the longest a host may set.
        {kGpixel, kMono, kInteA, 4083 + SENSOR_TOF_RESTART_RAISE, 4084 + SENSOR_TOF_RESTART_RAISE, {}},
        {kGpixel, kMono, kInteB, 4095 + SENSOR_TOF_RESTART_RAISE, 4096 + SENSOR_TOF_RESTART_RAISE, {}},
        {kGpixel, kMono, kTofFps, 6, 5, {}},
        {kGpixel, kMono, kTofFps, 120, 121, {}},
        {kGpixel, kMono, kColourFps, 6, 5, {}},
        {kGpixel, kMono, kColourFps, 120, 121, {}},
        {kImx, kMono, kInteA, 4000, 4001, {}},
        {kImx, kMono, kInteB, 4000, 4001, {}},
        {kImx, kMono, kTofFps, 3, 2, {}},
        {kImx, kMono, kTofFps, 120, 121, {}},
        {kImx, kMono, kColourFps, 3, 2, {}},
        {kImx, kMono, kColourFps, 120, 121, {}},
        {kVd, kSc2210, kTofFps, 120, 121, {}},
        {kVd, kSc2210, kColourFps, 120, 121, {}},
        // The colour kind's, where the ToF kind's allow the value.
        {kGpixel, kIsp, kTofFps, 6, 0, {}},
        {kGpixel, kIsp, kColourFps, 30, 31, {}},
        // The frequencies' ranges (the Gpixel's table below).
        {kImx, kMono, kFreqA, 3, 2, {}},
        {kImx, kMono, kFreqC, 150, 151, {}},
        {kImx, kMono, kFreqB, 100, 101, {{kPhase, 1}, {kFreqA, 100}}},
        {kVd, kSc2210, kFreqA, 3, 2, {}},
        {kVd, kSc2210, kFreqB, 500, 501, {}},
        // The write rules no later write undoes.
        {kImx, kMono, kMode, 3, 4, {}},
        {kImx, kMono, kMode, 6, 7, {{kFreqA, 100}}},
        {kImx, kMono, kTofFps, 30, 31, {}},
        {kImx, kMono, kColourFps, 100, 99, {}},
        {kImx, kMono, kAlgo, 2, 3, {}},
        {kImx, kMono, kOutputSet, 3, 4, {}},
        {kImx, kMono, kOutputControl, 0, 1, {{kAlgo, 4}}},
        {kImx, kMono, 0x10002014, 639, 640, {}},
        {kImx, kMono, 0x10002018, 479, 480, {}},
        {kImx, kMono, 0x1000201C, 640, 641, {}},
        {kImx, kMono, 0x10002020, 480, 481, {}},
    };
    // Every row of the Gpixel board's table is kept; a first frequency
    // just below or above the table is not, whatever its partner.
    BoardRoot board(kProfiles[0].name);
    auto rows = board_table(board);
    ASSERT_FALSE(rows.empty());
    for (size_t i = 0; i < rows.size(); i++) {
        const auto& [a, partner] = rows[i];
        bool lowest = true, highest = true;
        for (const auto& row : rows) lowest = lowest && row.first >= a, highest = highest && row.first <= a;
        if (lowest) cases.push_back({kGpixel, kMono, kFreqA, a, a - 1, {{kFreqB, partner}}});
        if (highest) cases.push_back({kGpixel, kMono, kFreqA, a, a + 1, {{kFreqB, partner}}});
        if (!lowest && !highest) cases.push_back({kGpixel, kMono, kFreqA, a, a, {{kFreqB, partner}}});
    }
    for (const Case& c : cases) {
        deviceCFG defaults{};
        custom_default_cfg(&defaults, c.rgbKind, c.tofKind, E_CPU_RK3568);
        // No IMX570 board has another colour sensor than its SC230AI: the
        // defaults' colour rate of 0 stands for the ToF one there.
        uint32_t& colourRate = *regspace::block_word(&defaults, kColourFps);
        if (c.tofKind == kImx && c.rgbKind != kIsp) colourRate = *regspace::block_word(&defaults, kTofFps);
        for (uint32_t v : {c.on, c.past}) {
            std::ostringstream what;
            what << "kinds " << c.tofKind << "/" << c.rgbKind << std::hex << " 0x" << c.address << std::dec
                 << ":=" << v;
            deviceCFG block = defaults;
            for (const auto& [address, value] : c.with) *regspace::block_word(&block, address) = value;
            *regspace::block_word(&block, c.address) = v;
            char names[256];
            int replaced = custom_check_cfg(&block, &defaults, c.tofKind, c.rgbKind, names, sizeof names);
            if (v == c.on) {
                EXPECT_EQ(replaced, 0) << what.str() << " replaced " << names;
                EXPECT_EQ(*regspace::block_word(&block, c.address), v) << what.str();
            } else {
                EXPECT_GT(replaced, 0) << what.str();
                EXPECT_EQ(*regspace::block_word(&block, c.address), *regspace::block_word(&defaults, c.address))
                    << what.str();
            }
        }
    }
}

// A frequency the block's mode leaves unused may hold 0, as a host's write
// leaves it; one the mode uses may not, and takes the default.
TEST(LoadCheck, AZeroFrequencyIsKeptWhereTheBlocksModeLeavesItUnused)
{
    struct Case {
        uint32_t tofKind, freqMode, address, a;
        bool kept;
    } cases[] = {
        {E_IMX570, 1, kFreqC, 100, true},  {E_IMX570, 2, kFreqC, 100, true},   {E_IMX570, 3, kFreqC, 100, true},
        {E_IMX570, 5, kFreqC, 100, false}, {E_IMX570, 6, kFreqC, 100, false},  {E_IMX570, 0, kFreqC, 100, true},
        {E_IMX570, 0, kFreqB, 100, true},  {E_IMX570, 2, kFreqB, 100, false},  {E_IMX570, 0, kFreqA, 100, false},
        {E_GPIXEL_0503, 0, kFreqB, 96, true}, {E_GPIXEL_0503, 2, kFreqB, 96, true},
        {E_GPIXEL_0503, 1, kFreqB, 96, false}, {E_GPIXEL_0503, 3, kFreqB, 96, false},
        {E_VD55H1, 0, kFreqB, 100, false},
    };
    BoardRoot board(kProfiles[0].name);  // the Gpixel's table
    for (const Case& c : cases) {
        std::ostringstream what;
        what << "kind " << c.tofKind << " mode " << c.freqMode << std::hex << " 0x" << c.address << ":=0";
        deviceCFG defaults{};
        custom_default_cfg(&defaults, E_SMARTSENS_SC130GS, c.tofKind, E_CPU_RK3568);
        deviceCFG block = defaults;
        *regspace::block_word(&block, kMode) = c.freqMode;
        *regspace::block_word(&block, kFreqA) = c.a;
        *regspace::block_word(&block, c.address) = 0;
        deviceCFG loaded = block;
        char names[256] = {};
        custom_check_cfg(&block, &defaults, c.tofKind, E_SMARTSENS_SC130GS, names, sizeof names);
        if (c.kept) {
            for (uint32_t a : {kFreqA, kFreqB, kFreqC, kMode})
                EXPECT_EQ(*regspace::block_word(&block, a), *regspace::block_word(&loaded, a))
                    << what.str() << std::hex << ", 0x" << a << std::dec << " (replaced: " << names << ")";
        } else {
            EXPECT_EQ(*regspace::block_word(&block, c.address), *regspace::block_word(&defaults, c.address))
                << what.str();
        }
    }
}

// A saved block on the IMX570 board in dual frequency (mode 1) holding 0 as
// its third frequency: the board starts on the block's own first and
// second frequencies, and the wall reads true.
TEST(SavedFrequencies, AnImx570BlockInDualFrequencyWithoutAThirdKeepsItsOwnAndTheWallReadsTrue)
{
    const Profile& p = kProfiles[1];
    Camera cam(p.name);
    ASSERT_TRUE(cam.ns.ok);
    deviceCFG block = default_block(p);
    SensorInfo& tof = block.sensor[DEV_CFG_SENSOR_TOF].info;
    ASSERT_NE(tof.groupAFreq, 100u);
    ASSERT_NE(tof.groupBFreq, 15u);
    tof.freqMode = 1;
    tof.groupAFreq = 100;
    tof.groupBFreq = 15;
    tof.groupCFreq = 0;
    ASSERT_TRUE(cam.start_on(block));
    EXPECT_EQ(reg(kMode), 1u);
    EXPECT_EQ(reg(kFreqA), 100u);
    EXPECT_EQ(reg(kFreqB), 15u);
    EXPECT_EQ(reg(kFreqC), 0u);
    Host host;
    ASSERT_TRUE(host.open_depth());
    std::string means;
    EXPECT_TRUE(host.wall_true(kWallFrames, &means)) << "the wall reads (mm)" << means;
}

} // namespace
