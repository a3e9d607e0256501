// The colour capture on the simulated rk3588-gpixel board (SC130GS on
// /dev/video0): frames against the sensor's chart, the hand-over that keeps
// only the newest frame, two buffers per frame in the two-exposure mode,
// bounds of the copies, the automatic-exposure cadence, the frame-rate and
// exposure arithmetic, and the task's lifecycle and worker register.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "sensor/capturerig.h"
#include "sensor/sensor_rgb.h"

namespace {

using capturerig::Rig;
using pumptest::wait_until;

constexpr const char* kColourVideo = "/dev/video0";
constexpr const char* kColourSensor = "m00_b_sc130gs 4-0030";
constexpr uint32_t kW = 1280, kH = 960;
constexpr uint32_t kFrameBytes = kW * kH * 2;

// Whether `bytes` bytes at `data` are the chart of frame `seq` in Mono10.
bool shows_chart(const uint8_t* data, uint32_t bytes, unsigned seq)
{
    for (uint32_t i = 0; i + 1 < bytes; i += 2) {
        uint32_t px = i / 2;
        uint16_t v;
        memcpy(&v, data + i, 2);
        if (v != sim_chart_luma((int)(px % kW), (int)(px / kW), (int)kW, (int)kH, seq) * 4) return false;
    }
    return true;
}

struct ColourRig {
    Rig rig{64, 1};
    epcore_t* core = rig.r.core;
    worker_t* consumer = nullptr;
    iodev_t* dev = nullptr;
    int epfd = -1;

    explicit ColourRig(uint32_t rgbRoom = 2 * kFrameBytes, int units = 3, bool withConsumer = true)
    {
        bpool_clean(core->rgb);
        core->rgb = algotest::make_pool((int)(sizeof(ImageInfo) + rgbRoom), units);
        rig.r.rgb().sensorType = E_SMARTSENS_SC130GS;
        sim_camera_set_mode(kColourVideo, SIM_CAMERA_STEPPED);
        if (withConsumer) consumer = rig.fake_worker(E_WORKER_ID_ALGO_RGB);
        core->streamon = 1;
    }
    ~ColourRig()
    {
        close();
        if (consumer) rig.drain(consumer);
    }
    bool open()
    {
        if (sensor_rgb_init(core, E_DEVICE_RGB, &dev) != 0) return false;
        epfd = epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        epoll_ctl(epfd, EPOLL_CTL_ADD, dev->fd, &ev);
        return sensor_rgb_start_capturing(dev) == 0;
    }
    void close()
    {
        if (epfd >= 0) ::close(epfd), epfd = -1;
        if (!dev) return;
        sensor_rgb_stop_capturing(dev);
        sensor_uninit(dev);
        dev = nullptr;
    }
    V4L2SensorInfo* info() { return static_cast<V4L2SensorInfo*>(dev->priv_data); }
    // `buffers` frames from the sensor, then the capture callback once.
    int capture(unsigned buffers = 1)
    {
        sim_camera_step(kColourVideo, buffers);
        return dev->callback(core, dev, epfd, 0);
    }
    ImageInfo* waiting() { return static_cast<ImageInfo*>(lt_first(consumer->data_list)); }
    unsigned reg(unsigned addr)
    {
        unsigned v = 0;
        sim_sensor_get_reg(kColourSensor, addr, &v);
        return v;
    }
    unsigned reg16(unsigned hi) { return reg(hi) << 8 | reg(hi + 1); }
    // The line length through the driver's own register write.
    void line_length(uint32_t v)
    {
        info()->write_reg(dev, 0x320C, (uint16_t)(v >> 8));
        info()->write_reg(dev, 0x320D, (uint16_t)(v & 0xFF));
    }
    int ctrl_writes(uint32_t id)
    {
        int n = 0;
        for (size_t i = 0, count = sim_sensor_log_count(kColourSensor); i < count; i++) {
            sim_sensor_write_t w;
            if (sim_sensor_log_get(kColourSensor, i, &w) == 0 && w.kind == SIM_SENSOR_CTRL && w.addr == id) n++;
        }
        return n;
    }
};

TEST(ColourCapture, WorkerFindsOnlyTheNewestChartFrameAndStreamOffKeepsTheSensorRunning)
{
    ColourRig c;
    ASSERT_TRUE(c.open());
    EXPECT_EQ(c.dev->callback, &sensor_rgb_capture);
    ASSERT_EQ(c.capture(), 0);
    ASSERT_EQ(c.rig.listed(c.consumer), 1);
    ImageInfo* img = c.waiting();
    EXPECT_EQ(img->memType, (uint32)E_MEMTYPE_RGB);
    EXPECT_EQ(img->imageType, (uint32)E_IMAGE_TYPE_RGB);
    EXPECT_EQ(img->sensorIndex, 0u);
    EXPECT_EQ(img->pixelFormat, 0x01100003u);
    EXPECT_EQ(std::make_pair(img->width, img->height), std::make_pair(kW, kH));
    EXPECT_EQ(img->imageSize, kFrameBytes);
    EXPECT_TRUE(shows_chart(img->imageData, img->imageSize, 0));

    // A second frame before the worker took the first: the first goes back.
    ASSERT_EQ(c.capture(), 0);
    ASSERT_EQ(c.rig.listed(c.consumer), 1);
    EXPECT_TRUE(shows_chart(c.waiting()->imageData, kFrameBytes, 1));
    EXPECT_EQ(bpool_fetched_num(c.core->rgb), 1);

    // Stream off for more frames than there are buffers: each is dequeued,
    // requeued and dropped, and the frame after the stream is on again is new.
    c.core->streamon = 0;
    for (int i = 0; i < 6; i++) EXPECT_EQ(c.capture(), 0);
    EXPECT_TRUE(shows_chart(c.waiting()->imageData, kFrameBytes, 1));
    EXPECT_EQ(bpool_fetched_num(c.core->rgb), 1);
    c.core->streamon = 1;
    ASSERT_EQ(c.capture(), 0);
    EXPECT_TRUE(shows_chart(c.waiting()->imageData, kFrameBytes, 8));
    EXPECT_EQ(bpool_fetched_num(c.core->rgb), 1);
}

TEST(ColourCapture, TwoExposureModePutsTheFirstBufferBehindTheSecond)
{
    // The ToF's two-exposure mode; an IMX570 keeps the single callback, which
    // then takes two buffers as well.
    for (uint32_t tofKind : {(uint32_t)E_GPIXEL_0503, (uint32_t)E_IMX570}) {
        ColourRig c;
        c.rig.r.tof().sensorType = tofKind;
        c.rig.r.tof().freqMode = 3;
        ASSERT_TRUE(c.open()) << tofKind;
        EXPECT_EQ(c.dev->callback, tofKind == E_IMX570 ? &sensor_rgb_capture : &sensor_rgb_capture_hdr);
        ASSERT_EQ(c.capture(2), 0);
        ASSERT_EQ(c.rig.listed(c.consumer), 1) << tofKind;
        ImageInfo* img = c.waiting();
        EXPECT_EQ(img->imageSize, 2 * kFrameBytes) << tofKind;
        EXPECT_EQ(img->height, kH);
        EXPECT_TRUE(shows_chart(img->imageData, kFrameBytes, 1)) << tofKind;
        EXPECT_TRUE(shows_chart(img->imageData + kFrameBytes, kFrameBytes, 0)) << tofKind;
    }
}

TEST(ColourCapture, CopiesAreBoundedByTheBytesUsedAndTheUnit)
{
    {
        ColourRig c;
        ASSERT_TRUE(c.open());
        sim_camera_set_faults(kColourVideo, SIM_CAMERA_SHORT);
        ASSERT_EQ(c.capture(), 0);
        ASSERT_EQ(c.rig.listed(c.consumer), 1);
        EXPECT_EQ(c.waiting()->imageSize, kFrameBytes / 2);
        EXPECT_TRUE(shows_chart(c.waiting()->imageData, kFrameBytes / 2, 0));
        sim_camera_set_faults(kColourVideo, 0);
    }
    {
        // Two pictures of different sizes would overlap: the frame is dropped.
        ColourRig c;
        c.rig.r.tof().freqMode = 3;
        ASSERT_TRUE(c.open());
        sim_camera_set_faults(kColourVideo, SIM_CAMERA_SHORT);
        sim_camera_step(kColourVideo, 1);
        sim_camera_set_faults(kColourVideo, 0);
        EXPECT_EQ(c.capture(1), 0);
        EXPECT_EQ(c.rig.listed(c.consumer), 0);
        EXPECT_TRUE(c.rig.r.log.has("differ"));
        EXPECT_EQ(c.capture(2), 0);
        EXPECT_EQ(c.rig.listed(c.consumer), 1) << "the next pair is whole again";
    }
    // A unit that holds one picture but not two, then one that holds neither.
    struct Case { uint32_t room, freqMode; unsigned buffers; } cases[] = {
        {kFrameBytes - 2, 0, 1}, {kFrameBytes + kFrameBytes / 2, 3, 2}};
    for (const Case& k : cases) {
        ColourRig c(k.room, 2);
        c.rig.r.tof().freqMode = k.freqMode;
        ASSERT_TRUE(c.open());
        for (int i = 0; i < 3; i++) EXPECT_EQ(c.capture(k.buffers), 0);
        EXPECT_EQ(c.rig.listed(c.consumer), 0) << k.room;
        EXPECT_EQ(bpool_fetched_num(c.core->rgb), 0) << k.room;
        EXPECT_TRUE(c.rig.r.log.has("exceeds the colour unit")) << k.room;
    }
}

TEST(ColourCapture, WithoutAPoolUnitNoBufferIsTaken)
{
    ColourRig c;
    ASSERT_TRUE(c.open());
    bpool_t* pool = c.core->rgb;
    c.core->rgb = nullptr;
    EXPECT_EQ(c.capture(), -1);
    EXPECT_TRUE(c.rig.r.log.has("malloc fail."));
    c.core->rgb = pool;
    // The buffer filled meanwhile is still there for the next call.
    ASSERT_EQ(c.dev->callback(c.core, c.dev, c.epfd, 0), 0);
    ASSERT_EQ(c.rig.listed(c.consumer), 1);
    EXPECT_TRUE(shows_chart(c.waiting()->imageData, kFrameBytes, 0));
}

TEST(ColourExposure, RunsOnEveryFifthSingleAndEveryThirdTwoExposureFrame)
{
    struct Case { uint32_t freqMode; unsigned buffers; int period; } cases[] = {{0, 1, 5}, {3, 2, 3}};
    for (const Case& k : cases) {
        ColourRig c;
        c.rig.r.tof().freqMode = k.freqMode;
        c.rig.r.rgb().groupCFreq = 5000;
        c.rig.r.rgb().a_gain = 200;
        c.rig.r.rgb().targetBrightLevel = 100;
        ASSERT_TRUE(c.open());
        sim_sensor_log_clear(kColourSensor);
        for (int i = 0; i < 8; i++) c.capture(k.buffers);
        EXPECT_EQ(c.ctrl_writes(0x00980911), 0) << "off: never";

        c.rig.r.rgb().enableAutoExposure = 1;
        std::vector<int> runs;
        for (int frame = 0; frame < 4 * k.period + 2; frame++) {
            int before = c.ctrl_writes(0x00980911);
            ASSERT_EQ(c.capture(k.buffers), 0);
            if (c.ctrl_writes(0x00980911) > before) runs.push_back(frame);
        }
        // The count went on while it was off, so the first run comes at once.
        ASSERT_GE(runs.size(), 4u) << k.freqMode;
        EXPECT_EQ(runs[0], 0);
        for (size_t i = 1; i < runs.size(); i++) EXPECT_EQ(runs[i] - runs[i - 1], k.period) << k.freqMode;
        // Exposure and gain were written back within the limits.
        EXPECT_LE(c.rig.r.rgb().groupCFreq, 11000u);
        EXPECT_GE(c.rig.r.rgb().a_gain, 100u);
        EXPECT_LE(c.rig.r.rgb().a_gain, 600u);
        EXPECT_GT(c.ctrl_writes(0x009E0903), 0);
    }
}

TEST(ColourRegisters, FrameLengthAndExposureFollowTheLineLength)
{
    ColourRig c;
    ASSERT_TRUE(c.open());
    V4L2SensorInfo* o = c.info();
    struct Rate { uint32_t sensorType, line, fps, frame; } rates[] = {
        {0, 1650, 30, 750},
        {0, 0x8000 | 1650, 30, 750},  // 15-bit line length
        {0, 1650, 0, 22500},          // a rate of 0 is taken as 1
        {0, 1650, 1, 22500},
        {0, 0, 30, 0x7FFF},           // no line length: the longest frame
        {1, 2400, 15, 1000},          // single units, the other clock
        {1, 0x8000 | 2400, 15, 36000000 / (0x8960 * 15)},  // all 16 bits
    };
    for (const Rate& r : rates) {
        o->sensorType = r.sensorType;
        c.line_length(r.line);
        EXPECT_EQ(o->set_fps(c.dev, r.fps), 0);
        EXPECT_EQ(c.reg16(0x320E), r.frame) << r.line << " @ " << r.fps;
    }
    o->sensorType = 0;
    c.line_length(1650);
    o->set_fps(c.dev, 30);
    uint32_t fps = 0;
    EXPECT_EQ(o->get_fps(c.dev, &fps), 0);
    EXPECT_EQ(fps, 30u);
    sim_sensor_state_t st;
    ASSERT_EQ(sim_sensor_state(kColourSensor, &st), 0);
    EXPECT_NEAR(st.fps, 30.0, 0.01);
    o->write_reg(c.dev, 0x320E, 0);
    o->write_reg(c.dev, 0x320F, 0);
    EXPECT_EQ(o->get_fps(c.dev, &fps), 0);
    EXPECT_EQ(fps, 0u) << "no frame length, no rate";

    struct Exposure { uint32_t sensorType, line, us, lines; } exposures[] = {
        {0, 1000, 10000, 742},  // 0.01 s x 148.5 MHz / 2000
        {1, 700, 10000, 514},   // 0.01 s x 36 MHz / 700
        {0, 100, 10000000, 0xFFFF},
        {0, 0, 1, 74},          // no line length: divided by 1, then 148.5 / 2
    };
    for (const Exposure& e : exposures) {
        o->sensorType = e.sensorType;
        c.line_length(e.line);
        EXPECT_EQ(o->set_integration_f0(c.dev, e.us), 0);
        uint32_t lines = 0;
        EXPECT_EQ(o->get_integration_f0(c.dev, &lines), 0);
        EXPECT_EQ(lines, e.lines) << e.us << " us, line " << e.line;
    }
}

TEST(ColourRegisters, ModesControlsAndFailures)
{
    ColourRig c;
    ASSERT_TRUE(c.open());
    V4L2SensorInfo* o = c.info();
    EXPECT_EQ(o->exposure_mode, nullptr);
    EXPECT_EQ(o->vld_enable, nullptr);
    EXPECT_EQ(o->set_integration_f1, nullptr);

    sim_sensor_log_clear(kColourSensor);
    auto mode_regs = [&] { return std::vector<unsigned>({c.reg(0x3234), c.reg(0x3228), c.reg(0x320E)}); };
    EXPECT_EQ(o->switch_mode(c.dev, 1), 0);
    EXPECT_EQ(mode_regs(), std::vector<unsigned>({0xB0, 0x60, 0x3F}));
    EXPECT_EQ(sim_sensor_log_find(kColourSensor, SIM_SENSOR_SYNC, 0, 0), -1);
    EXPECT_EQ(o->switch_mode(c.dev, 2), 0);
    EXPECT_EQ(mode_regs(), std::vector<unsigned>({0x30, 0x40, 0x02}));
    EXPECT_GE(sim_sensor_log_find(kColourSensor, SIM_SENSOR_SYNC, 0, 0), 0);

    uint32_t v = 9;
    EXPECT_EQ(o->set_vfilp(c.dev, 1), 0);
    EXPECT_EQ(o->get_vfilp(c.dev, &v), 0);
    EXPECT_EQ(v, 1u);
    EXPECT_TRUE(c.rig.r.log.has("ctrl.value:1"));
    EXPECT_EQ(o->set_hfilp(c.dev, 0), 0);
    EXPECT_EQ(o->get_hfilp(c.dev, &v), 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(o->set_gain(c.dev, 321), 0);
    EXPECT_EQ(o->get_gain(c.dev, &v), 0);
    EXPECT_EQ(v, 321u);
    EXPECT_EQ(sensor_rgb_enable_testpattern(c.dev, 1), 0);
    EXPECT_GE(sim_sensor_log_find(kColourSensor, SIM_SENSOR_CTRL, 0x009F0903, 0), 0);

    // Register writes on the colour page reach the sensor through the table.
    uint32_t gain = 150;
    EXPECT_EQ(Custom_RegWrite(0x10001044, &gain), 0);
    EXPECT_EQ(o->get_gain(c.dev, &v), 0);
    EXPECT_EQ(v, 150u);

    // Without a sub-device every control fails and a getter reads 0.
    const int subdev = c.dev->subdevFd;
    c.dev->subdevFd = -1;
    v = 9;
    EXPECT_EQ(o->get_integration_f0(c.dev, &v), -1);
    EXPECT_EQ(v, 0u);
    v = 9;
    EXPECT_EQ(o->get_gain(c.dev, &v), -1);
    EXPECT_EQ(v, 0u);
    EXPECT_NE(o->set_gain(c.dev, 1), 0);
    EXPECT_TRUE(c.rig.r.log.has("VIDIOC_G_CTRL:"));
    EXPECT_TRUE(c.rig.r.log.has("VIDIOC_S_CTRL:"));
    c.dev->subdevFd = subdev;
}

TEST(ColourTask, StartsConfiguredReportsZeroAndEndsWithTheStream)
{
    ColourRig c;
    c.rig.r.tof().sensorType = E_SENSOR_NONE;
    c.rig.r.rgb().groupCFreq = 10000;
    c.rig.r.run.rgbWorker = 7;
    c.core->streamon = 0;
    Custom_StartOrStopStream(1);
    ASSERT_TRUE(wait_until([&] { return epcore_iodev_find(c.core, E_DEVICE_RGB) != nullptr; }));
    ASSERT_TRUE(wait_until([&] { return c.reg16(0x3234) >> 8 == 0xB0; }));
    EXPECT_EQ(c.rig.r.run.rgbWorker, 0u);
    EXPECT_EQ(c.reg(0x3228), 0x60u);
    EXPECT_GE(sim_sensor_log_find(kColourSensor, SIM_SENSOR_CTRL, 0x00980911, 0), 0);
    ASSERT_TRUE(wait_until([&] {
        sim_camera_step(kColourVideo, 1);
        return c.rig.listed(c.consumer) == 1;
    }));
    EXPECT_TRUE(c.rig.r.log.has("rgb_init success"));
    Custom_StartOrStopStream(0);
    EXPECT_EQ(epcore_worker_find(c.core, E_WORKER_ID_RGB_SENSOR), nullptr);
    EXPECT_EQ(epcore_iodev_find(c.core, E_DEVICE_RGB), nullptr);
    // The frame waiting at worker 513 is all that is out.
    EXPECT_EQ(c.rig.listed(c.consumer), 1);
    c.rig.drain(c.consumer);
    EXPECT_EQ(c.rig.fetched(), 0);
}

// CPU time in ms the process's thread named `name` has used; -1 when there
// is no such thread.
long thread_cpu_ms(const char* name)
{
    long ms = -1;
    DIR* d = opendir("/proc/self/task");
    if (!d) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string dir = std::string("/proc/self/task/") + e->d_name;
        char comm[32] = "";
        if (FILE* f = fopen((dir + "/comm").c_str(), "r")) {
            if (!fgets(comm, sizeof(comm), f)) comm[0] = '\0';
            fclose(f);
        }
        comm[strcspn(comm, "\n")] = '\0';
        if (strcmp(comm, name) != 0) continue;
        char stat[1024] = "";
        if (FILE* f = fopen((dir + "/stat").c_str(), "r")) {
            if (!fgets(stat, sizeof(stat), f)) stat[0] = '\0';
            fclose(f);
        }
        // Fields after the name in brackets: state is the 3rd, utime the 14th.
        const char* p = strrchr(stat, ')');
        unsigned long utime = 0, stime = 0;
        if (p && sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) == 2)
            ms = (long)((utime + stime) * 1000 / (unsigned long)sysconf(_SC_CLK_TCK));
    }
    closedir(d);
    return ms;
}

TEST(ColourTask, ANodeStuckInErrorLeavesTheCaptureThreadAsleep)
{
    // The two-exposure capture waits on the node itself as the single one
    // does; a node that answers every wait at once with an error must not
    // keep either spinning.
    for (uint32_t freqMode : {0u, 3u}) {
        std::string what = "freqMode " + std::to_string(freqMode);
        ColourRig c;
        c.rig.r.tof().freqMode = freqMode;
        sim_camera_set_faults(kColourVideo, SIM_CAMERA_BROKEN);
        ASSERT_EQ(worker_create(c.core, E_WORKER_ID_RGB_SENSOR, sensor_rgb_task), 0);
        ASSERT_TRUE(wait_until([&] { return c.rig.r.log.has("sensor start capturing fail."); })) << what;
        long start = -1;
        ASSERT_TRUE(wait_until([&] { return (start = thread_cpu_ms("rgbsensor")) >= 0; })) << what;
        // A spinning thread would take most of a core over this second, even
        // with every core busy; a sleeping one a few milliseconds.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        long used = thread_cpu_ms("rgbsensor") - start;
        EXPECT_LT(used, 300) << what << ": ms of CPU in one second";
        EXPECT_EQ(c.rig.listed(c.consumer), 0) << what;
        epcore_worker_stop(c.core, E_WORKER_ID_RGB_SENSOR);
        EXPECT_TRUE(wait_until([&] { return epcore_worker_find(c.core, E_WORKER_ID_RGB_SENSOR) == nullptr; })) << what;
        sim_faults_clear();
    }
}

TEST(ColourTask, TwoFailedSetUpsReportOneAndEndTheWorker)
{
    ColourRig c(kFrameBytes, 1, false);  // no colour-processing worker to hand frames to
    c.rig.r.run.rgbWorker = 7;
    ASSERT_EQ(worker_create(c.core, E_WORKER_ID_RGB_SENSOR, sensor_rgb_task), 0);
    ASSERT_TRUE(wait_until([&] { return epcore_worker_find(c.core, E_WORKER_ID_RGB_SENSOR) == nullptr; }, 5000));
    EXPECT_EQ(c.rig.r.run.rgbWorker, 1u);
    EXPECT_TRUE(c.rig.r.log.has("epcore_worker_find fail."));
    EXPECT_TRUE(c.rig.r.log.has("sensor rgb init fail."));
    EXPECT_EQ(epcore_iodev_find(c.core, E_DEVICE_RGB), nullptr);
}

} // namespace
