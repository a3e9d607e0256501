// The VD55H1 driver on the simulated rk3588-vd55h1 board: values in both
// register banks least significant byte first (against the sensor's
// register log), the frame-period arithmetic, the flips that share one
// register, the laser-driver addressing, the capture callback (parse before
// copy, bounded copies, drop-new hand-over) and the capture task (CPU core,
// configuration order, set-up failure).
#include <gtest/gtest.h>

#include <string.h>

#include "GigE/gvcp.h"
#include "common/regtest.h"
#include "common/stream_ctrl.h"
#include "sensor/sensor_vd55h1.h"
#include "sensor/v4l2_capture.h"
#include "server/raw_frame.h"
#include "platform/camera.h"
#include "simboard.h"

namespace {

using pumptest::wait_until;

constexpr const char* kVideo = "/dev/video4";
constexpr const char* kSensor = "m01_b_VD55H1 5-0010";
constexpr uint32_t kFrameBytes = 1344 * 9656 * 2;

// The board with worker 512's stand-in, the capture node in stepped mode and
// raw units of `rawRoom` bytes.
struct Rig {
    regtest::RegSpace r{"rk3588-vd55h1"};
    worker_t* algo = nullptr;
    iodev_t* dev = nullptr;

    explicit Rig(bool withAlgo = true, uint32_t rawRoom = kFrameBytes)
    {
        r.core->raw = algotest::make_pool((int)(sizeof(ImageInfo) + rawRoom), 2);
        r.run.cpuId = E_CPU_RK3588;
        r.tof().sensorType = E_VD55H1;
        r.rgb().sensorType = E_SENSOR_NONE;
        g_permit_conn_user_count = 1;
        stream_ctrl_reset();
        sim_camera_set_mode(kVideo, SIM_CAMERA_STEPPED);
        if (!withAlgo) return;
        algo = worker_new(r.core);
        algo->workerid = algo->threadid = E_WORKER_ID_ALGO;
        worker_set_datafree(algo, frame_datafree);
        worker_thread_add(r.core, algo);
    }
    ~Rig()
    {
        if (dev) sensor_stop_capturing(dev), sensor_uninit(dev);
        r.core->quit.store(1);
        EXPECT_TRUE(wait_until([&] { return epcore_worker_find(r.core, E_WORKER_ID_TOF_SENSOR) == nullptr; }));
        if (algo) drain(), worker_thread_del(r.core, algo), worker_free(algo);
        EXPECT_EQ(fetched(), 0) << "every raw unit went back";
        bpool_clean(r.core->raw), r.core->raw = nullptr;
        stream_ctrl_reset();
        sim_faults_clear();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    int fetched() { return bpool_fetched_num(r.core->raw); }
    int listed()
    {
        EnterCriticalSection(&algo->datalistCS);
        int n = lt_num(algo->data_list);
        LeaveCriticalSection(&algo->datalistCS);
        return n;
    }
    ImageInfo* waiting() { return static_cast<ImageInfo*>(lt_first(algo->data_list)); }
    void drain()
    {
        while (ImageInfo* img = frame_take(algo)) free_image(r.core, img);
    }
    // The sensor running as the task's configuration leaves it.
    bool open_sensor()
    {
        if (sensor_vd55h1_init(r.core, E_DEVICE_TOF, &dev) != 0) return false;
        run_tof_sensor();
        return sensor_start_capturing(dev) == 0;
    }
    V4L2SensorInfo* info() { return static_cast<V4L2SensorInfo*>(dev->priv_data); }
    int frame()
    {
        sim_camera_step(kVideo, 1);
        return dev->callback(r.core, dev, EVT_READ, dev->fdtype);
    }
    // What the sensor was told since the log was cleared, as "addr=value"
    // (laser-driver writes as "L<index>.<register>=value").
    std::vector<std::string> writes()
    {
        std::vector<std::string> out;
        for (size_t i = 0, count = sim_sensor_log_count(kSensor); i < count; i++) {
            sim_sensor_write_t w;
            if (sim_sensor_log_get(kSensor, i, &w) != 0) continue;
            // Appended piece by piece: a literal put before a temporary
            // string makes GCC 12 at -O3 warn of an overlapping copy.
            std::string line;
            if (w.kind == SIM_SENSOR_REG) line.append(std::to_string(w.addr));
            if (w.kind == SIM_SENSOR_LASER)
                line.append("L").append(std::to_string(w.addr >> 8)).append(".").append(std::to_string(w.addr & 255));
            if (!line.empty()) out.push_back(line.append("=").append(std::to_string(w.value)));
        }
        return out;
    }
};

using Writes = std::vector<std::string>;

// "first=b0", "first+1=b1", ... for the bytes given.
Writes bytes_at(unsigned first, std::initializer_list<unsigned> bytes)
{
    Writes w;
    for (unsigned b : bytes) w.push_back(std::to_string(first++) + "=" + std::to_string(b));
    return w;
}

Writes operator+(Writes a, const Writes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---- Registers ----

TEST(Vd55h1Registers, ValuesGoLeastSignificantByteFirstIntoBothBanks)
{
    struct { uint32_t fps, period; } periods[] = {{30, 4735}, {15, 9470}, {60, 2368}, {3, 47349}, {2, 0xFFFF}};
    for (auto p : periods) EXPECT_EQ(sensor_vd55h1_period(p.fps), p.period) << p.fps;

    Rig rig;
    ASSERT_TRUE(rig.open_sensor());
    V4L2SensorInfo* o = rig.info();
    using V = V4L2SensorInfo;
    struct Case {
        const char* what;
        int (*V::*op)(iodev_t*, uint32_t);
        uint32_t value;
        Writes want;
    } cases[] = {
        {"fps 30: period 4735 (0x127F)", &V::set_fps, 30, bytes_at(1600, {0x7F, 0x12}) + bytes_at(1648, {0x7F, 0x12})},
        {"fps 0: taken as 1, the period saturates", &V::set_fps, 0,
         bytes_at(1600, {0xFF, 0xFF}) + bytes_at(1648, {0xFF, 0xFF})},
        {"fps 30 again", &V::set_fps, 30, bytes_at(1600, {0x7F, 0x12}) + bytes_at(1648, {0x7F, 0x12})},
        {"first frequency 100 MHz", &V::set_first_freq, 100, bytes_at(1612, {0x00, 0xE1, 0xF5, 0x05})},
        {"second frequency 64 MHz", &V::set_second_freq, 64, bytes_at(1660, {0x00, 0x90, 0xD0, 0x03})},
        {"length F0", &V::set_n_inte_length_f0, 0x12345678,
         bytes_at(1604, {0x78, 0x56, 0x34, 0x12}) + bytes_at(1652, {0x78, 0x56, 0x34, 0x12})},
        {"length F1", &V::set_n_inte_length_f1, 800,
         bytes_at(1608, {0x20, 0x03, 0, 0}) + bytes_at(1656, {0x20, 0x03, 0, 0})},
        {"gain: no effect", &V::set_gain, 20, {}},
        {"mode: no effect", &V::switch_mode, 1, {}},
        {"pulses F0: no effect", &V::set_n_pulse_f0, 600, {}},
        {"pulses F1: no effect", &V::set_n_pulse_f1, 180, {}},
    };
    for (const Case& c : cases) {
        sim_sensor_log_clear(kSensor);
        EXPECT_EQ((o->*c.op)(rig.dev, c.value), 0) << c.what;
        EXPECT_EQ(rig.writes(), c.want) << c.what;
    }
    // The sensor runs at what the banks now hold.
    sim_sensor_state_t st;
    ASSERT_EQ(sim_sensor_state(kSensor, &st), 0);
    EXPECT_NEAR(st.fps, 30.0, 0.05);
    EXPECT_NEAR(st.mod_mhz[0], 100.0, 1e-6);
    EXPECT_NEAR(st.mod_mhz[1], 64.0, 1e-6);
    EXPECT_TRUE(rig.r.log.has("value:0x127f"));
    EXPECT_TRUE(rig.r.log.has("dd:12 cc:34 bb:56 aa:78"));
    // Slots the sensor does not offer stay empty.
    EXPECT_EQ(o->get_fps, nullptr);
    EXPECT_EQ(o->set_integration_f0, nullptr);
    EXPECT_EQ(o->start_stop_stream, nullptr);
    EXPECT_EQ(o->freq, nullptr);
}

TEST(Vd55h1Registers, EachFlipOverwritesTheOther)
{
    Rig rig;
    ASSERT_TRUE(rig.open_sensor());
    V4L2SensorInfo* o = rig.info();
    using V = V4L2SensorInfo;
    struct Step { int (*V::*op)(iodev_t*, uint32_t); uint32_t on; unsigned reg; } steps[] = {
        {&V::set_hfilp, 1, 1}, {&V::set_vfilp, 1, 2},  // vertical after horizontal: horizontal gone
        {&V::set_hfilp, 1, 1},                         // and the other way round
        {&V::set_vfilp, 0, 0}, {&V::set_vfilp, 1, 2}, {&V::set_hfilp, 0, 0},
    };
    int i = 0;
    for (const Step& s : steps) {
        sim_sensor_log_clear(kSensor);
        (o->*s.op)(rig.dev, s.on);
        EXPECT_EQ(rig.writes(), Writes{"1290=" + std::to_string(s.reg)}) << "step " << i++;
    }
}

TEST(Vd55h1Registers, LaserDriverWritesReachAllThreeDriversAndReadsTheFirst)
{
    Rig rig;
    ASSERT_TRUE(rig.open_sensor());
    V4L2SensorInfo* o = rig.info();
    sim_sensor_log_clear(kSensor);
    EXPECT_EQ(o->write_reg(rig.dev, sensor_laser_address(1, 0x38), 0x106), 0);
    EXPECT_EQ(o->write_reg(rig.dev, 0x50A, 0x102), 0);  // only the low byte reaches the sensor
    EXPECT_EQ(rig.writes(), (Writes{"L0.56=6", "L1.56=6", "L2.56=6", "1290=2"}));

    // Reads of any driver index go to driver 0.
    sim_sensor_log_clear(kSensor);
    uint16_t v = 0xFFFF;
    EXPECT_EQ(o->read_reg(rig.dev, sensor_laser_address(2, 0x38), &v), 0);
    EXPECT_EQ(v, 6);
    sim_sensor_set_reg(kSensor, 1640, 0xAB);
    EXPECT_EQ(o->read_reg(rig.dev, 1640, &v), 0);
    EXPECT_EQ(v, 0xAB);

    EXPECT_EQ(o->vld_enable(rig.dev, 1), 0);
    EXPECT_GE(sim_sensor_log_find(kSensor, SIM_SENSOR_VLD, 0, 0), 0);
    EXPECT_TRUE(rig.writes().empty()) << "no sensor register is written to switch the laser";
}

// ---- Capture callback ----

TEST(Vd55h1Capture, TheDeliveredFrameIsTheParsedOneAndANewFrameIsDroppedWhileTheSlotIsFull)
{
    Rig rig;
    ASSERT_TRUE(rig.open_sensor());
    // Neither stream-on nor a first-frame drop gates this path.
    rig.r.core->streamon = 0;
    g_raw_flags = 1;
    EXPECT_EQ(rig.frame(), 0);
    ASSERT_EQ(rig.listed(), 1);
    auto* img = rig.waiting();
    EXPECT_EQ(std::vector<uint32>({img->imageSize, img->width, img->height, img->outWidth, img->outHeight,
                                   img->pixelFormat, img->imageType, img->sensorIndex}),
              std::vector<uint32>({kFrameBytes, 1344, 9656, 672, 804, 0x01100005, E_IMAGE_TYPE_RAW, 1}));
    EXPECT_NE(img->timeStampH, 0u);
    // The sensor tags phase samples above bit 11; the parse clears them, and
    // what reaches worker 512 and the raw upload is the parsed frame.
    auto no_tag = [](const uint8_t* data, uint32_t bytes) {
        uint16_t any = 0;
        for (uint32_t i = 0; i < bytes; i += 2) {
            uint16_t s;
            memcpy(&s, data + i, 2);
            any |= s;
        }
        return (any & 0xF000) == 0 && any != 0;
    };
    EXPECT_TRUE(no_tag(img->imageData, img->imageSize));
    EXPECT_EQ(g_raw_flags.load(), 0u);
    ASSERT_EQ(g_raw_image_size.load(), kFrameBytes);
    EXPECT_TRUE(no_tag(g_raw_image, kFrameBytes));
    EXPECT_EQ(memcmp(g_raw_image, img->imageData, kFrameBytes), 0);

    uint32_t firstL = img->timeStampL, firstH = img->timeStampH;
    EXPECT_EQ(rig.frame(), 0);
    ASSERT_EQ(rig.listed(), 1);
    img = rig.waiting();
    EXPECT_EQ(img->timeStampH, firstH) << "the older frame stays";
    EXPECT_EQ(img->timeStampL, firstL);
    EXPECT_TRUE(rig.r.log.has("==========full==========="));
    EXPECT_EQ(rig.fetched(), 1);
}

TEST(Vd55h1Capture, CopiesAreBoundedByBytesUsedAndTheUnitOrDropped)
{
    {
        Rig rig;
        ASSERT_TRUE(rig.open_sensor());
        sim_camera_set_faults(kVideo, SIM_CAMERA_SHORT);
        EXPECT_EQ(rig.frame(), 0);
        ASSERT_EQ(rig.listed(), 1);
        EXPECT_EQ(rig.waiting()->imageSize, kFrameBytes / 2);
    }
    {
        // A unit smaller than a frame: the frame is dropped whole, no unit lost.
        Rig rig(true, kFrameBytes - 2);
        ASSERT_TRUE(rig.open_sensor());
        for (int i = 0; i < 3; i++) EXPECT_EQ(rig.frame(), 0);
        EXPECT_EQ(rig.listed(), 0);
        EXPECT_TRUE(rig.r.log.has("exceeds the raw unit"));
    }
}

// ---- The capture task ----

TEST(Vd55h1Task, PinsCoreTwoConfiguresTheSensorAndStreamsUntilStopped)
{
    Rig rig;
    auto& tof = rig.r.tof();
    tof.groupAFreq = 120;
    tof.groupBFreq = 20;
    tof.vfilp = 1;
    tof.hfilp = 0;
    tof.fps = 30;
    tof.nInteA = 800;
    tof.nInteB = 400;
    sim_sensor_log_clear(kSensor);
    unsigned long pinned = sim_affinity_granted(nullptr);
    Custom_StartOrStopStream(1);
    ASSERT_TRUE(wait_until([&] { return rig.r.log.has("before epoll wait"); }, 30000));
    int cpu = -1;
    EXPECT_GT(sim_affinity_granted(&cpu), pinned);
    EXPECT_EQ(cpu, 2);
    // 120 MHz = 0x07270E00, 20 MHz = 0x01312D00; the horizontal flip written
    // last clears the vertical one; period 4735; lengths 800 and 400.
    Writes want = bytes_at(1612, {0x00, 0x0E, 0x27, 0x07}) + bytes_at(1660, {0x00, 0x2D, 0x31, 0x01}) +
                  Writes{"1290=2", "1290=0"} + bytes_at(1600, {0x7F, 0x12}) + bytes_at(1648, {0x7F, 0x12}) +
                  bytes_at(1604, {0x20, 0x03, 0, 0}) + bytes_at(1652, {0x20, 0x03, 0, 0}) +
                  bytes_at(1608, {0x90, 0x01, 0, 0}) + bytes_at(1656, {0x90, 0x01, 0, 0}) +
                  Writes{"L0.56=6", "L1.56=6", "L2.56=6", "L0.104=6", "L1.104=6", "L2.104=6"};
    EXPECT_EQ(rig.writes(), want);

    // The buffers are queued before the sensor is configured: one frame
    // reaches worker 512 (slowly under a thread sanitizer).
    sim_camera_step(kVideo, 1);
    ASSERT_TRUE(wait_until([&] { return rig.listed() == 1; }, 60000));
    Custom_StartOrStopStream(0);
    EXPECT_EQ(epcore_worker_find(rig.r.core, E_WORKER_ID_TOF_SENSOR), nullptr);
    EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_TOF), nullptr);
    EXPECT_TRUE(rig.r.log.has("end task"));
}

TEST(Vd55h1Task, ASetUpFailureEndsTheTaskWithoutRetry)
{
    Rig rig(false);  // no worker 512
    Custom_StartOrStopStream(1);
    ASSERT_TRUE(wait_until([&] { return rig.r.log.has("end task"); }));
    EXPECT_TRUE(rig.r.log.has("epcore_worker_find fail."));
    EXPECT_TRUE(rig.r.log.has("sensor tof init fail."));
    EXPECT_TRUE(wait_until([&] { return epcore_worker_find(rig.r.core, E_WORKER_ID_TOF_SENSOR) == nullptr; }));
    EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_TOF), nullptr);
    EXPECT_EQ(sim_sensor_log_count(kSensor), 0u) << "nothing reached the sensor";
}

TEST(Vd55h1Task, OnCpuTypeTwoTheSetUpFindsNoGraph)
{
    Rig rig;
    rig.r.run.cpuId = E_CPU_RK3576;
    Custom_StartOrStopStream(1);
    ASSERT_TRUE(wait_until([&] { return rig.r.log.has("end task"); }));
    EXPECT_TRUE(rig.r.log.has("media_device_new fail."));
    EXPECT_TRUE(rig.r.log.has("sensor tof init fail."));
    EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_TOF), nullptr);
    EXPECT_EQ(sim_sensor_log_count(kSensor), 0u) << "nothing reached the sensor";
}

} // namespace
