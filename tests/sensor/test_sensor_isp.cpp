// The ISP colour path on the simulated boards: the 3A library's lifecycle as
// a golden call journal, the frames dropped after a start and after each
// master/slave change, planar pictures on both CPU types against the test
// chart, the frame-length arithmetic (sensor registers on RK3568, an
// i2ctransfer command elsewhere) and the exposure record's read, change and
// write-back.
#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/regtest.h"
#include "sensor/capturerig.h"
#include "common/stream_ctrl.h"
#include "hashtab.h"
#include "sensor/sensor_isp.h"
#include "sensor/v4l2_capture.h"
#include "simboard.h"

namespace {

using pumptest::wait_until;

constexpr const char* kSensor = "m00_b_sc230ai 4-0030";
constexpr uint32_t kW = 1920, kH = 1080;
constexpr uint32_t kPicture = kW * kH * 3 / 2;

// An RK3588 board whose colour camera sits behind the ISP ("/dev/media2"),
// made from the stock RK3588 profile; lives as long as the process.
const char* rk3588_isp_profile()
{
    static TempDir dir{"korvid-isp-profile"};
    static std::string path;
    if (path.empty()) {
        std::string text = read_host_file(std::string(sim_profile_dir()) + "/rk3588-gpixel.ini");
        size_t at = text.find("COLOUR_SENSOR=sc130gs");
        if (at != std::string::npos) text.replace(at, 21, "COLOUR_SENSOR=sc230ai");
        path = dir.path + "/rk3588-isp.ini";
        write_host_file(path, text);
    }
    return path.c_str();
}

struct IspRig {
    uint32_t cpu;
    regtest::RegSpace r;
    const char* video;
    worker_t* consumer = nullptr;
    iodev_t* dev = nullptr;
    int epfd = -1;

    explicit IspRig(uint32_t cpuType = E_CPU_RK3568, int room = (int)kPicture)
        : cpu(cpuType), r(cpuType == E_CPU_RK3588 ? rk3588_isp_profile() : "rk3568-v23"),
          video(cpuType == E_CPU_RK3588 ? "/dev/video8" : "/dev/video4")
    {
        epcore_t* c = r.core;
        c->rgb = algotest::make_pool((int)sizeof(ImageInfo) + room, 3);
        r.run.cpuId = cpu;
        r.rgb().sensorType = E_SMARTSENS_SC230AI;
        r.tof().sensorType = E_GPIXEL_0503;
        g_lost_rgb = 0;
        c->streamon = 1;
        sim_camera_set_mode(video, SIM_CAMERA_STEPPED);
        consumer = worker_new(c);
        consumer->workerid = consumer->threadid = E_WORKER_ID_ALGO_RGB;
        worker_set_datafree(consumer, frame_datafree);
        worker_thread_add(c, consumer);
    }
    ~IspRig()
    {
        close_isp();
        epcore_t* c = r.core;
        c->quit.store(1);
        EXPECT_TRUE(wait_until([&] { return workers() == 1; }));
        worker_thread_del(c, consumer);
        worker_free(consumer);
        bpool_clean(c->rgb);
        c->rgb = nullptr;
        sim_faults_clear();
    }
    IspRig(const IspRig&) = delete;
    IspRig& operator=(const IspRig&) = delete;

    int workers() { return capturerig::worker_count(r.core); }
    int listed()
    {
        EnterCriticalSection(&consumer->datalistCS);
        int n = lt_num(consumer->data_list);
        LeaveCriticalSection(&consumer->datalistCS);
        return n;
    }
    ImageInfo* take() { return frame_take(consumer); }

    // Opens the ISP as the task does and starts streaming.
    bool open_isp()
    {
        if (sensor_isp_init(r.core, E_DEVICE_RGB, &dev) != 0) return false;
        epfd = epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        epoll_ctl(epfd, EPOLL_CTL_ADD, dev->fd, &ev);
        return sensor_start_capturing(dev) == 0;
    }
    void close_isp()
    {
        if (epfd >= 0) close(epfd), epfd = -1;
        if (!dev) return;
        sensor_stop_capturing(dev);
        V4L2SensorInfo* i = info();
        auto* ctx = static_cast<plat_aiq_ctx_t*>(i->aiq_ctx);
        i->aiq_ctx = nullptr;
        plat_aiq_stop(ctx, 0);
        plat_aiq_deinit(ctx);
        sensor_uninit(dev);
        dev = nullptr;
    }
    V4L2SensorInfo* info() { return static_cast<V4L2SensorInfo*>(dev->priv_data); }
    plat_aiq_ctx_t* ctx() { return static_cast<plat_aiq_ctx_t*>(info()->aiq_ctx); }

    // One frame from the sensor through the capture callback.
    int frame()
    {
        sim_camera_step(video, 1);
        return dev->callback(r.core, dev, epfd, dev->fdtype);
    }
    // Frames until one waits at worker 513; how many it took.
    int frames_until_delivered(int limit = 10)
    {
        for (int n = 1; n <= limit; n++) {
            frame();
            if (listed() == 1) return n;
        }
        return -1;
    }
    void drain()
    {
        while (ImageInfo* img = take()) free_image(r.core, img);
    }
};

std::vector<std::string> aiq_texts(size_t from = 0)
{
    std::vector<std::string> out;
    for (size_t i = from, n = sim_aiq_count(); i < n; i++) {
        sim_aiq_call_t c;
        if (sim_aiq_get(i, &c) == 0) out.push_back(std::string(c.text) + (c.status == 0 ? "" : " (refused)"));
    }
    return out;
}

// The last record the device wrote to the library.
bool last_written(plat_aiq_exp_attr_t* out)
{
    for (size_t i = sim_aiq_count(); i-- > 0;) {
        sim_aiq_call_t c;
        if (sim_aiq_get(i, &c) == 0 && c.kind == SIM_AIQ_SET_EXP) {
            *out = c.attr;
            return true;
        }
    }
    return false;
}

void stop_worker(epcore_t* core, uint64_t id)
{
    EnterCriticalSection(&core->workerlistCS);
    worker_stop(static_cast<worker_t*>(ht_get(core->worker_tab, &id)));
    LeaveCriticalSection(&core->workerlistCS);
}

std::vector<std::string> sensor_writes()
{
    std::vector<std::string> out;
    char text[48];
    for (size_t i = 0, n = sim_sensor_log_count(kSensor); i < n; i++) {
        sim_sensor_write_t w;
        if (sim_sensor_log_get(kSensor, i, &w) != 0) continue;
        if (w.kind == SIM_SENSOR_REG) snprintf(text, sizeof(text), "%04x=%x", w.addr, w.value);
        else if (w.kind == SIM_SENSOR_CTRL) snprintf(text, sizeof(text), "ctrl %08x=%u", w.addr, w.value);
        else continue;
        out.push_back(text);
    }
    return out;
}

TEST(IspTask, StartsTheLibraryInOrderSetsTheSensorUpAndReleasesEverythingAtTheEnd)
{
    for (uint32_t cpu : {E_CPU_RK3568, E_CPU_RK3588}) {
        SCOPED_TRACE(cpu);
        IspRig rig(cpu);
        rig.r.common().masterSlaveMode = 1;
        rig.r.common().enableMultiMachine = 0;
        rig.r.rgb().vfilp = 1;
        rig.r.rgb().enableAutoExposure = 1;
        rig.r.run.rgbWorker = 7;
        sim_sensor_log_clear(kSensor);
        ASSERT_EQ(worker_create(rig.r.core, E_WORKER_ID_ISP, sensor_isp_task), 0);
        ASSERT_NE(sim_aiq_wait(SIM_AIQ_SET_EXP, 0, 5000), -1);
        EXPECT_EQ(rig.r.run.rgbWorker, 0u);
        int running = 0;
        EXPECT_EQ(sim_aiq_instances(&running), 1);
        EXPECT_EQ(running, 1);
        stop_worker(rig.r.core, E_WORKER_ID_ISP);
        ASSERT_TRUE(wait_until([&] { return rig.workers() == 1; }));
        EXPECT_TRUE(rig.r.log.has("isp_init success"));
        EXPECT_TRUE(rig.r.log.has("end task"));
        EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_RGB), nullptr);
        EXPECT_EQ(sim_aiq_instances(nullptr), 0);

        const std::vector<std::string> golden = {std::string("bound_sensor ") + rig.video,
                                                 "preinit_scene m00_b_sc230ai 4-0030 normal day",
                                                 "init m00_b_sc230ai 4-0030 /etc/iqfiles/", "prepare 1920x1080 0",
                                                 "start", "get_exp", "set_exp", "stop 0", "deinit"};
        EXPECT_EQ(aiq_texts(), golden);

        // Master mode at the colour rate register's 0, which counts as 1 fps
        // (frame length 74,250,000 / 2200 = 33750 = 0x83D6: to the sensor on
        // RK3568, through i2ctransfer elsewhere), the vertical flip on and the
        // horizontal one off, and on RK3568 a single camera's free-running
        // synchronisation.
        std::vector<std::string> writes = {"3614=0", "3222=0", "0100=0", "0100=1"};
        if (cpu == E_CPU_RK3568) writes.insert(writes.end(), {"320e=83", "320f=d6"});
        writes.insert(writes.end(), {"ctrl 00980915=1", "ctrl 00980914=0"});
        if (cpu == E_CPU_RK3568) writes.insert(writes.end(), {"3614=0", "3222=0"});
        EXPECT_EQ(sensor_writes(), writes);
        EXPECT_EQ(sim_journal_find("i2ctransfer -f -y 4 w4@0x30 0x32 0x0e 0x83 0xd6", 0) != -1, cpu != E_CPU_RK3568);
    }
}

TEST(IspTask, AFailedInitialisationIsReportedAndLeavesNothingBehind)
{
    IspRig rig;
    worker_thread_del(rig.r.core, rig.consumer); // no colour-processing worker
    ASSERT_EQ(worker_create(rig.r.core, E_WORKER_ID_ISP, sensor_isp_task), 0);
    ASSERT_TRUE(wait_until([&] { return rig.workers() == 0; }));
    worker_thread_add(rig.r.core, rig.consumer);
    EXPECT_TRUE(rig.r.log.has("epcore_worker_find fail."));
    EXPECT_TRUE(rig.r.log.has("sensor rgb init fail."));
    EXPECT_EQ(rig.r.run.rgbWorker, 1u);
    EXPECT_EQ(sim_aiq_instances(nullptr), 0);
    EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_RGB), nullptr);

    rig.r.run.cpuId = E_CPU_RK3576; // no ISP graph on this CPU type
    EXPECT_EQ(sensor_isp_init(rig.r.core, E_DEVICE_RGB, &rig.dev), -1);
    EXPECT_TRUE(rig.r.log.has("media_device_new fail."));
}

TEST(IspCapture, FourFramesAfterTheStartAndAfterEachMasterSlaveChangeNeverReachWorker513)
{
    IspRig rig;
    ASSERT_TRUE(rig.open_isp());
    // With the stream off frames keep coming and go nowhere, and do not
    // count as settled.
    rig.r.core->streamon = 0;
    EXPECT_EQ(rig.frames_until_delivered(6), -1);
    EXPECT_EQ(bpool_fetched_num(rig.r.core->rgb), 0);
    rig.r.core->streamon = 1;
    EXPECT_EQ(rig.frames_until_delivered(), 5);
    EXPECT_EQ(g_lost_rgb.load(), 5);
    // A newer frame replaces the one still waiting.
    rig.frame();
    EXPECT_EQ(rig.listed(), 1);
    EXPECT_EQ(bpool_fetched_num(rig.r.core->rgb), 1);
    rig.drain();

    for (uint32_t master : {1u, 0u}) {
        SCOPED_TRACE(master);
        EXPECT_EQ(sensor_isp_other_params(rig.dev, master, 0x10000054), 0);
        EXPECT_EQ(rig.frames_until_delivered(), 5);
        rig.drain();
    }
    EXPECT_TRUE(rig.r.log.has("rgb in master mode,set fps:"));
    EXPECT_TRUE(rig.r.log.has("rgb in slave mode,set fps:"));
    // Other registers, and other colour kinds, leave the count alone.
    sensor_isp_other_params(rig.dev, 1, 0x10000074);
    rig.r.rgb().sensorType = E_SMARTSENS_SC130GS;
    sensor_isp_other_params(rig.dev, 1, 0x10000054);
    EXPECT_EQ(rig.frames_until_delivered(), 1);
}

TEST(IspCapture, FramesHoldThePlanarChartOnBothCpuTypes)
{
    // Bars of the chart: white, yellow, cyan, green, magenta, red, blue, black.
    const uint8_t kY[8] = {180, 162, 131, 112, 84, 65, 35, 16};
    const uint8_t kU[8] = {128, 44, 156, 72, 184, 100, 212, 128};
    const uint8_t kV[8] = {128, 142, 44, 58, 198, 212, 114, 128};
    for (uint32_t cpu : {E_CPU_RK3588, E_CPU_RK3568}) {
        SCOPED_TRACE(cpu);
        IspRig rig(cpu);
        ASSERT_TRUE(rig.open_isp());
        EXPECT_EQ(rig.info()->format, cpu == E_CPU_RK3588 ? V4L2_PIX_FMT_NV12 : V4L2_PIX_FMT_YUV420);
        ASSERT_EQ(rig.frames_until_delivered(), 5);
        ImageInfo* img = rig.take();
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(img->imageType, (uint32)E_IMAGE_TYPE_RGB);
        EXPECT_EQ(std::make_pair(img->width, img->height), std::make_pair(kW, kH));
        EXPECT_EQ(img->imageSize, kPicture);
        const uint8_t* y = img->imageData;
        const uint8_t* u = y + kW * kH;
        const uint8_t* v = u + kW * kH / 4;
        for (int bar = 0; bar < 8; bar++) {
            uint32_t x = bar * kW / 8 + kW / 16, row = kH / 4;
            size_t c = (size_t)(row / 2) * (kW / 2) + x / 2;
            EXPECT_EQ(y[(size_t)row * kW + x], kY[bar]) << bar;
            EXPECT_EQ(u[c], kU[bar]) << bar;
            EXPECT_EQ(v[c], kV[bar]) << bar;
            EXPECT_EQ(u[c + 1], kU[bar]) << bar << ": the U plane holds no V bytes";
        }
        free_image(rig.r.core, img);
    }
}

TEST(IspCapture, ConversionSplitsTheInterleavedChromaIntoUThenV)
{
    // 4 x 2: eight luma bytes, then two U/V pairs.
    const uint8_t nv12[12] = {1, 2, 3, 4, 5, 6, 7, 8, 10, 20, 11, 21};
    const uint8_t planar[12] = {1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 20, 21};
    uint8_t out[12] = {};
    sensor_isp_nv12_to_yuv420(nv12, out, 4, 2);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 12), std::vector<uint8_t>(planar, planar + 12));
}

TEST(IspCapture, FramesLargerThanTheColourUnitOrShortOfTheirPictureAreDropped)
{
    {
        IspRig rig(E_CPU_RK3568, (int)kPicture - 1);
        ASSERT_TRUE(rig.open_isp());
        EXPECT_EQ(rig.frames_until_delivered(8), -1);
        EXPECT_EQ(bpool_fetched_num(rig.r.core->rgb), 0);
        EXPECT_TRUE(rig.r.log.has("does not fit the colour unit"));
    }
    {
        // Half an NV12 picture cannot be rewritten as planar.
        IspRig rig(E_CPU_RK3588);
        ASSERT_TRUE(rig.open_isp());
        sim_camera_set_faults(rig.video, SIM_CAMERA_SHORT);
        EXPECT_EQ(rig.frames_until_delivered(8), -1);
        sim_camera_set_faults(rig.video, 0);
        // The buffers went back to the node; frames dropped there do not
        // count toward the settling frames.
        EXPECT_EQ(rig.frames_until_delivered(), 5);
    }
}

TEST(IspCapture, TwoBufferFramesCarryBothPicturesAndTheirSize)
{
    IspRig rig(E_CPU_RK3568, 2 * (int)kPicture);
    rig.r.tof().freqMode = 3;
    ASSERT_TRUE(rig.open_isp());
    g_lost_rgb = 5;
    sim_camera_step(rig.video, 2);
    rig.dev->callback(rig.r.core, rig.dev, rig.epfd, 0);
    ImageInfo* img = rig.take();
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->imageSize, 2 * kPicture);
    EXPECT_EQ(img->imageData[0], 180); // white bar, in both pictures
    EXPECT_EQ(img->imageData[kPicture], 180);
    free_image(rig.r.core, img);
}

TEST(IspFrameRate, Rk3568WritesTheFrameLengthToTheSensor)
{
    IspRig rig;
    ASSERT_TRUE(rig.open_isp());
    // SC230AI: 2500 and 25 give 1350. Other colour kinds: the line length and
    // the doubled 148.5 MHz clock, the rate in hundredths above 100
    // (148,500,000 / (2200 x 2 x 30) / 2 = 562), and a rate of 0 counts as 1
    // (148,500,000 / 4400 / 2 = 16875 = 0x41EB).
    struct Case { uint32_t kind, fps; const char *hi, *lo; } cases[] = {
        {E_SMARTSENS_SC230AI, 2500, "320e=5", "320f=46"}, {E_SMARTSENS_SC230AI, 25, "320e=5", "320f=46"},
        {E_SMARTSENS_SC130GS, 30, "320e=2", "320f=32"},   {E_SMARTSENS_SC130GS, 3000, "320e=2", "320f=32"},
        {E_SMARTSENS_SC130GS, 0, "320e=41", "320f=eb"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.kind << " @ " << c.fps);
        rig.r.rgb().sensorType = c.kind;
        sim_sensor_log_clear(kSensor);
        EXPECT_EQ(sensor_isp_set_fps(rig.dev, c.fps), 0);
        EXPECT_EQ(sensor_writes(), (std::vector<std::string>{c.hi, c.lo}));
        sim_sensor_state_t st;
        ASSERT_EQ(sim_sensor_state(kSensor, &st), 0);
        EXPECT_TRUE(c.kind != E_SMARTSENS_SC230AI || (st.fps > 24.99 && st.fps < 25.01)) << st.fps;
    }
    EXPECT_EQ(sim_journal_find("i2ctransfer", 0), -1);
    // A line length of 0 counts as the shortest line, as on the colour
    // capture: the frame length saturates and is never 0.
    sim_sensor_set_reg(kSensor, 0x320C, 0);
    sim_sensor_set_reg(kSensor, 0x320D, 0);
    rig.r.rgb().sensorType = E_SMARTSENS_SC130GS;
    sim_sensor_log_clear(kSensor);
    EXPECT_EQ(sensor_isp_set_fps(rig.dev, 30), 0);
    EXPECT_EQ(sensor_writes(), (std::vector<std::string>{"320e=7f", "320f=ff"}));
}

TEST(IspFrameRate, OtherBoardsSendTheFrameLengthThroughI2ctransfer)
{
    IspRig rig(E_CPU_RK3588);
    ASSERT_TRUE(rig.open_isp());
    struct Case { uint32_t fps; const char* cmd; } cases[] = {
        {2500, "i2ctransfer -f -y 4 w4@0x30 0x32 0x0e 0x5 0x46"},
        {25, "i2ctransfer -f -y 4 w4@0x30 0x32 0x0e 0x5 0x46"},
        {30, "i2ctransfer -f -y 4 w4@0x30 0x32 0x0e 0x4 0x65"},
        {0, "i2ctransfer -f -y 4 w4@0x30 0x32 0x0e 0x83 0xd6"},
    };
    for (const Case& c : cases) {
        sim_journal_clear();
        sim_sensor_log_clear(kSensor);
        EXPECT_EQ(sensor_isp_set_fps(rig.dev, c.fps), 0);
        ASSERT_EQ(sim_journal_count(), 1u) << c.fps;
        sim_journal_t j;
        ASSERT_EQ(sim_journal_get(0, &j), 0);
        EXPECT_STREQ(j.cmd, c.cmd);
        EXPECT_STREQ(j.event, "i2c");
        EXPECT_EQ(sensor_writes(), std::vector<std::string>{}) << "nothing through the sub-device";
    }
}

TEST(IspExposure, ChangesReadTheRecordAndWriteItBackWhole)
{
    IspRig rig;
    ASSERT_TRUE(rig.open_isp());
    // Values of the library's own that the device never sets.
    plat_aiq_exp_attr_t mine{};
    ASSERT_EQ(plat_aiq_get_exp_attr(rig.ctx(), &mine), 0);
    mine.stAuto.SetPoint = 61.5f;
    mine.stManual.LinearAE.IspDGainValue = 2.25f;
    ASSERT_EQ(plat_aiq_set_exp_attr(rig.ctx(), &mine), 0);

    rig.r.rgb().enableAutoExposure = 0;
    rig.r.rgb().a_gain = 250;
    rig.r.rgb().groupCFreq = 30000;
    size_t from = sim_aiq_count();
    EXPECT_EQ(sensor_isp_set_integration(rig.dev, 20000), 0);
    EXPECT_EQ(aiq_texts(from), (std::vector<std::string>{"get_exp", "set_exp"}));
    plat_aiq_exp_attr_t w{};
    ASSERT_TRUE(last_written(&w));
    EXPECT_EQ(w.AecOpType, (uint32_t)PLAT_AIQ_OP_MANUAL);
    EXPECT_EQ(w.stManual.LinearAE.ManualTimeEn, 1);
    EXPECT_EQ(w.stManual.LinearAE.ManualGainEn, 1);
    EXPECT_FLOAT_EQ(w.stManual.LinearAE.TimeValue, 0.01f);
    EXPECT_FLOAT_EQ(w.stManual.LinearAE.GainValue, 2.5f);
    EXPECT_FLOAT_EQ(w.stAuto.SetPoint, 61.5f);
    EXPECT_FLOAT_EQ(w.stManual.LinearAE.IspDGainValue, 2.25f);

    // Gain through the register space: the exposure comes from its register.
    EXPECT_EQ(rig.r.write(0x10001044, 400), 0);
    ASSERT_TRUE(last_written(&w));
    EXPECT_FLOAT_EQ(w.stManual.LinearAE.TimeValue, 0.015f);
    EXPECT_FLOAT_EQ(w.stManual.LinearAE.GainValue, 4.0f);
    EXPECT_FLOAT_EQ(w.stAuto.SetPoint, 61.5f);

    // Automatic mode: the advanced section switched on with its values.
    sensor_isp_set_exposure_mode(rig.dev, 1);
    ASSERT_TRUE(last_written(&w));
    EXPECT_EQ(w.Enable, 1);
    EXPECT_EQ(w.AecOpType, (uint32_t)PLAT_AIQ_OP_AUTO);
    EXPECT_EQ(w.stAdvanced.Enable, 1);
    const float adv[4] = {0.001f, 1.04f, 1.0f, 100.0f};
    for (int i = 0; i < 4; i++) EXPECT_FLOAT_EQ(w.stAdvanced.Value[i], adv[i]) << i;
    EXPECT_FLOAT_EQ(w.stManual.LinearAE.IspDGainValue, 2.25f);

    // Back to manual with the exposure and gain registers.
    rig.r.rgb().a_gain = 400;
    sensor_isp_set_exposure_mode(rig.dev, 0);
    ASSERT_TRUE(last_written(&w));
    EXPECT_EQ(w.AecOpType, (uint32_t)PLAT_AIQ_OP_MANUAL);
    EXPECT_FLOAT_EQ(w.stManual.LinearAE.TimeValue, 0.015f);
    EXPECT_FLOAT_EQ(w.stManual.LinearAE.GainValue, 4.0f);
}

TEST(IspExposure, ManualValuesAreRefusedAsSuccessInAutomaticMode)
{
    IspRig rig;
    ASSERT_TRUE(rig.open_isp());
    rig.r.rgb().enableAutoExposure = 1;
    size_t from = sim_aiq_count();
    EXPECT_EQ(sensor_isp_set_integration(rig.dev, 20000), 0);
    EXPECT_EQ(sensor_isp_set_gain(rig.dev, 300), 0);
    EXPECT_EQ(aiq_texts(from), std::vector<std::string>{});
    EXPECT_TRUE(rig.r.log.has("auto exp mode, cat not set time"));
    EXPECT_TRUE(rig.r.log.has("auto exp mode, cat not set gain"));
}

} // namespace
