// The Gpixel driver on the simulated rk3588-gpixel board: the hand-over of
// each capture callback, the frame-rate arithmetic against the sensor's
// register log, gain and length mapping, the integration-time task, the
// restart after time-outs, repeated stream starts and depth from captured
// frames in single and dual exposure.
#include <gtest/gtest.h>

#include <math.h>
#include <sched.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "GigE/gvcp.h"
#include "algo/algo.h"
#include "common/persist.h"
#include "sensor/capturerig.h"
#include "sensor/sensor_rgb.h"

namespace {

using capturerig::kExposureBytes;
using capturerig::kSensor;
using capturerig::kSingleBytes;
using capturerig::kVideo;
using capturerig::open_descriptors;
using capturerig::Rig;
using pumptest::wait_until;

// ---- Hand-over per callback ----

TEST(GpixelHandover, EachCallbackDropsAndReplacesByItsOwnRule)
{
    // Per step: 'f' one frame, 'o' stream off for one frame, 'd' drain the
    // consumer. After each step: frames listed at worker 512, the index of
    // the waiting frame (-1 none) and raw units out.
    struct Step { char op; int listed; long index; int fetched; };
    struct Case { const char* name; uint32_t freqMode; int room, units; std::vector<Step> steps; } cases[] = {
        {"single: first dropped, then drop-new", 0, kSingleBytes, 3,
         {{'f', 0, -1, 0}, {'f', 1, 0, 1}, {'f', 1, 0, 1}, {'o', 1, 0, 1}, {'d', 0, -1, 0}, {'f', 1, 2, 1}}},
        {"single after stream off: no unit taken", 0, kSingleBytes, 3,
         {{'o', 0, -1, 0}, {'o', 0, -1, 0}, {'f', 0, -1, 0}, {'f', 1, 0, 1}}},
        {"single exposure: no first-frame drop, drop-new", 2, kExposureBytes, 2,
         {{'f', 1, 0, 1}, {'f', 1, 0, 1}, {'o', 1, 0, 1}, {'d', 0, -1, 0}, {'f', 1, 0, 1}}},
        {"dual exposure: two settle frames, then replace-old", 3, 2 * kExposureBytes, 2,
         {{'f', 0, -1, 0}, {'f', 0, -1, 0}, {'f', 1, 0, 1}, {'f', 1, 1, 1}, {'o', 1, 1, 1}, {'f', 1, 2, 1}}},
    };
    for (const Case& c : cases) {
        Rig rig(c.room, c.units);
        rig.r.tof().freqMode = c.freqMode;
        worker_t* algo = rig.fake_worker(E_WORKER_ID_ALGO);
        ASSERT_TRUE(rig.open_sensor()) << c.name;
        g_tof_frameIndex = 0;
        int i = 0;
        for (const Step& st : c.steps) {
            std::string what = std::string(c.name) + " step " + std::to_string(i++);
            if (st.op == 'd') {
                rig.drain(algo);
            } else {
                rig.r.core->streamon = st.op == 'o' ? 0 : 1;
                int rc = c.freqMode == 3 ? rig.dual_frame() : rig.frame();
                EXPECT_EQ(rc, 0) << what;
            }
            ASSERT_EQ(rig.listed(algo), st.listed) << what;
            if (st.index >= 0) {
                auto* img = static_cast<ImageInfo*>(lt_first(algo->data_list));
                EXPECT_EQ(img->frameIndex, (uint64)st.index) << what;
                EXPECT_EQ(img->pixelFormat, 0x01100005u) << what;
                if (c.freqMode == 3) {
                    EXPECT_EQ(img->imageSize, (uint32)kExposureBytes * 2) << what;
                }
            }
            EXPECT_EQ(bpool_fetched_num(rig.r.core->raw), st.fetched) << what;
        }
        rig.close_sensor();
        rig.drain(algo);
        EXPECT_EQ(rig.fetched(), 0) << c.name;
    }
}

TEST(GpixelHandover, DualExposuresThatDoNotFitTheUnitDropTheFrame)
{
    Rig small(kExposureBytes, 2);
    small.r.tof().freqMode = 3;
    worker_t* algo2 = small.fake_worker(E_WORKER_ID_ALGO);
    ASSERT_TRUE(small.open_sensor());
    small.r.core->streamon = 1;
    for (int i = 0; i < 3; i++) small.dual_frame();
    EXPECT_EQ(small.listed(algo2), 0);
    EXPECT_TRUE(small.r.log.has("do not fit the raw unit"));
    EXPECT_EQ(small.fetched(), 0);
}

// ---- Sensor arithmetic ----

TEST(GpixelRegisters, FrameRateFollowsTheLengthAndIsWrittenOnce)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    ASSERT_TRUE(rig.open_sensor());
    struct Case { uint32_t freqMode, length, multi, request, rate; } cases[] = {
        // Successive rates differ, so each case writes the sensor.
        {0, 400, 0, 30, 30}, {3, 1000, 0, 30, 24}, {0, 1000, 0, 30, 12}, {0, 4251, 0, 30, 1},
        {3, 4095, 0, 30, 4}, {1, 1000, 1, 25, 25}, {0, 1500, 0, 9, 9},
    };
    for (const Case& c : cases) {
        std::string what = "mode " + std::to_string(c.freqMode) + " L " + std::to_string(c.length);
        rig.r.tof().freqMode = c.freqMode;
        rig.r.tof().nInteA = c.length;
        rig.r.common().enableMultiMachine = c.multi;
        sim_sensor_log_clear(kSensor);
        EXPECT_EQ(rig.info()->set_fps(rig.dev, c.request), 0) << what;
        // Once, although writing the colour rate register calls back here.
        EXPECT_EQ(rig.writes_of(28), 1) << what;
        uint32_t k = (c.freqMode == 1 || c.freqMode == 3) ? 15840 : 7920;
        uint32_t f = 1000000000u / (c.rate * k);
        EXPECT_EQ(rig.sensor_reg(30) << 16 | rig.sensor_reg(29) << 8 | rig.sensor_reg(28), f) << what;
        // The colour rate register follows, below the rates a host may
        // write too: the driver's own write is not refused.
        EXPECT_EQ(rig.r.rgb().fps, c.rate) << what;
        sim_sensor_log_clear(kSensor);
        rig.info()->set_fps(rig.dev, c.request);
        EXPECT_EQ(rig.writes_of(28), 0) << what << ": the same rate again writes nothing";
    }
    EXPECT_EQ(sensor_tof_fail_limit(22), 12);
    EXPECT_EQ(sensor_tof_fail_limit(5), 3);
}

TEST(GpixelRegisters, GainLengthsAndPulsesMapToTheirCodes)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    ASSERT_TRUE(rig.open_sensor());
    V4L2SensorInfo* o = rig.info();
    struct Gain { uint32_t in, code; } gains[] = {
        {32, 0x17}, {33, 0x17}, {10, 0}, {42, 0}, {11, 1}, {41, 31}, {20, 10}};
    for (const Gain& g : gains) {
        o->set_gain(rig.dev, g.in);
        EXPECT_EQ(rig.sensor_reg(35), g.code) << "gain " << g.in;
    }
    using V = V4L2SensorInfo;
    struct Length {
        int (*V::*op)(iodev_t*, uint32_t);
        unsigned lo, hi;
        uint32_t in, out, rgbFps;  // rgbFps 0: the colour rate is left alone
    } lengths[] = {
        {&V::set_n_inte_length_f0, 526, 527, 0, 1, 0},     {&V::set_n_inte_length_f0, 526, 527, 5000, 4095, 0},
        {&V::set_n_inte_length_f0, 526, 527, 1900, 1899, 20}, {&V::set_n_inte_length_f0, 526, 527, 1936, 1934, 20},
        {&V::set_n_inte_length_f0, 526, 527, 3000, 3000, 14}, {&V::set_n_inte_length_f1, 528, 529, 0, 1, 0},
        {&V::set_n_inte_length_f1, 528, 529, 1900, 1900, 0}, {&V::set_n_pulse_f0, 537, 538, 3000, 2047, 0},
        {&V::set_n_pulse_f1, 541, 542, 0, 1, 0},
    };
    for (const Length& l : lengths) {
        rig.r.rgb().fps = 0;
        sim_sensor_log_clear(kSensor);
        (o->*l.op)(rig.dev, l.in);
        EXPECT_EQ(rig.sensor_reg(l.hi) << 8 | rig.sensor_reg(l.lo), l.out) << l.lo << " " << l.in;
        EXPECT_EQ(rig.r.rgb().fps, l.rgbFps) << l.lo << " " << l.in;
        // Held while both bytes change.
        auto w = rig.reg_writes();
        ASSERT_GE(w.size(), 4u);
        EXPECT_EQ(w[w.size() - 4], "16=1");
        EXPECT_EQ(w.back(), "16=0");
    }
    // Flips keep the other readout bits.
    sim_sensor_set_reg(kSensor, 18, 0x81);
    o->set_vfilp(rig.dev, 1);
    o->set_hfilp(rig.dev, 1);
    EXPECT_EQ(rig.sensor_reg(18), 0x81u | 0x60u);
}

TEST(GpixelRegisters, FilterMovesForbiddenLengthsDownByOne)
{
    for (uint32_t l = 1468; l <= 3484; l += 144) {
        uint32_t v = l;
        sensor_tof_integ_filter(&v);
        EXPECT_EQ(v, l - 1) << l;
    }
    struct { uint32_t in, out; } pairs[] = {{1931, 1929}, {2832, 2829}, {3277, 3275}, {1469, 1469}, {100, 100}};
    for (auto p : pairs) {
        uint32_t v = p.in;
        sensor_tof_integ_filter(&v);
        EXPECT_EQ(v, p.out) << p.in;
    }
}

// ---- Integration-time task ----

TEST(GpixelIntegration, EachExposureGetsItsLengthsAtRealTimePriority)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    ASSERT_TRUE(rig.open_sensor());
    EXPECT_EQ(g_ctrlFd.load(), rig.dev->subdevFd);
    rig.r.tof().groupAFreq = 100;
    rig.r.tof().groupBFreq = 50;
    rig.r.tof().nPulseH = 0x123;
    rig.r.tof().nPulseL = 0x45;
    rig.r.tof().fps = 30;
    unsigned long granted = sim_sched_granted(nullptr, nullptr);
    ASSERT_EQ(worker_create(rig.r.core, E_WORKER_ID_TOF_INTEGRATION, sensor_tof_integration_task), 0);
    ASSERT_TRUE(wait_until([&] { return sim_sched_granted(nullptr, nullptr) > granted; }));
    int policy = 0, priority = 0;
    sim_sched_granted(&policy, &priority);
    EXPECT_EQ(policy, SCHED_RR);
    EXPECT_EQ(priority, 99);

    struct Case { int exposure; uint32_t multi, inteA, inteB, len, pulses; } cases[] = {
        {1, 0, 1900, 700, 1899, 0x123},  // filtered
        {1, 0, 5000, 700, 4095, 0x123},
        {0, 0, 1900, 700, 700, 0x45},
        {1, 1, 1900, 700, 1000, 0x123},  // multi-camera: the second exposure at most 1000
        {0, 1, 1900, 700, 500, 0x45},    // and the first at most 500
    };
    worker_t* wk = epcore_worker_find(rig.r.core, E_WORKER_ID_TOF_INTEGRATION);
    for (const Case& c : cases) {
        std::string what = "exposure " + std::to_string(c.exposure) + " multi " + std::to_string(c.multi);
        rig.r.common().enableMultiMachine = c.multi;
        rig.r.tof().nInteA = c.inteA;
        rig.r.tof().nInteB = c.inteB;
        sim_sensor_log_clear(kSensor);
        // A signal made while the task is not waiting is lost: sent again
        // only after a burst had ample time to come, so none is taken twice.
        int polls = 0;
        ASSERT_TRUE(wait_until([&] {
            if (polls++ % 200 == 0) event_signal(wk->ioevent, c.exposure);
            auto w = rig.reg_writes();
            return w.size() >= 10 && w.back() == "16=0" && w[w.size() - 2].rfind("541=", 0) == 0;
        })) << what;
        auto w = rig.reg_writes();
        std::vector<std::string> tail(w.end() - 10, w.end());
        uint32_t len2 = c.len / 2;
        auto reg = [](int r, uint32_t v) { return std::to_string(r) + "=" + std::to_string(v); };
        std::vector<std::string> want = {
            "16=1",  reg(527, c.len >> 8),     reg(526, c.len & 255),     reg(538, c.pulses >> 8),
            reg(537, c.pulses & 255), reg(529, len2 >> 8), reg(528, len2 & 255), reg(542, c.pulses >> 8),
            reg(541, c.pulses & 255), "16=0"};
        EXPECT_EQ(tail, want) << what;
        if (c.exposure == 1 && c.multi) {
            EXPECT_EQ(rig.r.rgb().fps, 24u) << what;
        }
    }
    rig.r.core->quit = 1;
    event_signal(wk->ioevent, -1);
    EXPECT_TRUE(wait_until([&] { return epcore_worker_find(rig.r.core, E_WORKER_ID_TOF_INTEGRATION) == nullptr; }));
    EXPECT_TRUE(rig.r.log.has("end tof integration task"));
}

TEST(GpixelIntegration, ColourTeardownsRacingTheFirstExposureRateWritesAreSafe)
{
    // Each first-exposure signal sets the colour rate from worker 521 while
    // the colour task comes and goes, tearing its record down each time.
    constexpr const char* kColour = "m00_b_sc130gs 4-0030";
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO_RGB);
    rig.r.rgb().sensorType = E_SMARTSENS_SC130GS;
    rig.r.tof().fps = 20;
    sim_camera_set_mode("/dev/video0", SIM_CAMERA_STEPPED);
    epcore_t* core = rig.r.core;
    ASSERT_EQ(worker_create(core, E_WORKER_ID_TOF_INTEGRATION, sensor_tof_integration_task), 0);
    struct Exposures {
        std::atomic<bool> done{false};
        std::thread t;
        explicit Exposures(epcore_t* core)
            : t([this, core] {
                  while (!done.load()) {
                      sensor_worker_signal(core, E_WORKER_ID_TOF_INTEGRATION, 1);
                      std::this_thread::sleep_for(std::chrono::microseconds(200));
                  }
              })
        {
        }
        ~Exposures()
        {
            done = true;
            t.join();
        }
    };
    auto rate_writes = [&] {
        int n = 0;
        for (size_t i = 0, count = sim_sensor_log_count(kColour); i < count; i++) {
            sim_sensor_write_t w;
            if (sim_sensor_log_get(kColour, i, &w) == 0 && w.kind == SIM_SENSOR_REG && w.addr == 0x320F) n++;
        }
        return n;
    };
    {
        Exposures exposures(core);
        for (int cycle = 0; cycle < 40; cycle++) {
            ASSERT_EQ(worker_create(core, E_WORKER_ID_RGB_SENSOR, sensor_rgb_task), 0) << cycle;
            ASSERT_TRUE(wait_until([&] { return epcore_iodev_find(core, E_DEVICE_RGB) != nullptr; })) << cycle;
            // Some of worker 521's writes reach the live record before it goes.
            sim_sensor_log_clear(kColour);
            ASSERT_TRUE(wait_until([&] { return rate_writes() >= 3; })) << cycle;
            epcore_worker_stop(core, E_WORKER_ID_RGB_SENSOR);
            ASSERT_TRUE(wait_until([&] { return epcore_worker_find(core, E_WORKER_ID_RGB_SENSOR) == nullptr; }))
                << cycle;
            EXPECT_EQ(epcore_iodev_find(core, E_DEVICE_RGB), nullptr) << cycle;
        }
    }
    core->quit = 1;
    sensor_worker_signal(core, E_WORKER_ID_TOF_INTEGRATION, -1);
    EXPECT_TRUE(wait_until([&] { return epcore_worker_find(core, E_WORKER_ID_TOF_INTEGRATION) == nullptr; }));
}

TEST(GpixelIntegration, ARefusedPriorityEndsTheTaskAndItsRecord)
{
    Rig rig;
    sim_sched_refuse(1);
    ASSERT_EQ(worker_create(rig.r.core, E_WORKER_ID_TOF_INTEGRATION, sensor_tof_integration_task), 0);
    EXPECT_TRUE(wait_until([&] { return rig.workers() == 0; }));
    sim_sched_refuse(0);
    EXPECT_TRUE(rig.r.log.has("pthread_setschedparam"));
}

// ---- The capture task ----

TEST(GpixelTask, ThreeTimeOutsRestartTheTaskWithLongerIntegration)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    rig.r.tof().nInteA = 600;
    rig.r.tof().nInteB = 300;
    sim_camera_set_faults(kVideo, SIM_CAMERA_TIMEOUT);
    Custom_StartOrStopStream(1);
    ASSERT_TRUE(wait_until([&] { return rig.r.log.has("cterate work by self"); }, 20000));
    EXPECT_TRUE(rig.r.log.has("epoll_wait timeout"));
    EXPECT_EQ(rig.r.tof().nInteA, 610u);
    EXPECT_EQ(rig.r.tof().nInteB, 310u);
    // The new task opens the sensor again.
    ASSERT_TRUE(wait_until([&] { return epcore_iodev_find(rig.r.core, E_DEVICE_TOF) != nullptr; }));
    Custom_StartOrStopStream(0);
    EXPECT_EQ(epcore_worker_find(rig.r.core, E_WORKER_ID_TOF_SENSOR), nullptr);
    EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_TOF), nullptr);
}

// At the top of what a host may set, the raised lengths are the capture's
// own: written without a host's error, and kept by a save and a start on
// the saved block.
TEST(GpixelTask, LengthsRaisedAtTheTopByARestartAreTheDriversAndSurviveASaveAndAStart)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    rig.r.tof().nInteA = 4083;  // the longest a host may set of each
    rig.r.tof().nInteB = 4095;
    sim_camera_set_faults(kVideo, SIM_CAMERA_TIMEOUT);
    Custom_StartOrStopStream(1);
    ASSERT_TRUE(wait_until([&] { return rig.r.log.has("cterate work by self"); }, 20000));
    Custom_StartOrStopStream(0);
    EXPECT_EQ(rig.r.tof().nInteA, 4093u);
    EXPECT_EQ(rig.r.tof().nInteB, 4105u);
    for (const auto& line : rig.r.log.sink->last_formatted())
        EXPECT_EQ(line.find("[error]") != std::string::npos && line.find("nInte") != std::string::npos, false)
            << line;

    uint32_t save = 1;
    ASSERT_EQ(Custom_RegWrite(0x10000014, &save), 0);
    ASSERT_EQ(Custom_RegInit(), 0);
    EXPECT_EQ(reg_load(g_dev_cfg->sensor[DEV_CFG_SENSOR_TOF].info.nInteA), 4093u);
    EXPECT_EQ(reg_load(g_dev_cfg->sensor[DEV_CFG_SENSOR_TOF].info.nInteB), 4105u);
    Custom_RegDeInit();
    g_dev_cfg = &rig.r.cfg;
    g_regMemAddr = &rig.r.run;
}

TEST(GpixelTask, ARestartAfterTheStreamClosedCreatesNoTask)
{
    Rig rig;
    rig.r.core->streamon = 0;
    EXPECT_EQ(stream_ctrl_restart_worker(rig.r.core, E_WORKER_ID_TOF_SENSOR, sensor_tof_task), 0);
    rig.r.core->streamon = 1;
    rig.r.core->quit = 1;
    EXPECT_EQ(stream_ctrl_restart_worker(rig.r.core, E_WORKER_ID_TOF_SENSOR, sensor_tof_task), 0);
    EXPECT_EQ(epcore_worker_find(rig.r.core, E_WORKER_ID_TOF_SENSOR), nullptr);
}

TEST(GpixelTask, TwentyStartsAndStopsLeakNoDescriptorOrUnit)
{
    Rig rig;
    worker_t* algo = rig.fake_worker(E_WORKER_ID_ALGO);
    int before = open_descriptors();
    for (int cycle = 0; cycle < 20; cycle++) {
        Custom_StartOrStopStream(1);
        ASSERT_TRUE(wait_until([&] { return epcore_iodev_find(rig.r.core, E_DEVICE_TOF) != nullptr; })) << cycle;
        // Frames until one reaches worker 512 (the first is always dropped).
        ASSERT_TRUE(wait_until([&] {
            sim_camera_step(kVideo, 1);
            return rig.listed(algo) == 1;
        })) << cycle;
        Custom_StartOrStopStream(0);
        EXPECT_EQ(rig.listed(algo), 0) << cycle << ": the close empties worker 512";
        EXPECT_EQ(rig.fetched(), 0) << cycle;
        EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_TOF), nullptr) << cycle;
    }
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(g_ctrlFd.load(), -1);
}

// ---- Depth from captured frames ----

TEST(GpixelDepth, CapturedFramesShowTheSceneDistances)
{
    // 96 MHz is not the sensor's own default: the distances come out right
    // only when the driver programmed the dividers for it.
    struct Case { uint32_t mode, groupA; } cases[] = {{0, 0}, {0, 96}, {3, 0}};
    for (const Case& c : cases) {
        const uint32_t mode = c.mode;
        std::string what = "freqMode " + std::to_string(mode) + " at " + std::to_string(c.groupA) + " MHz";
        Rig rig(mode == 3 ? 2 * kExposureBytes : kSingleBytes, 3);
        rig.r.tof().freqMode = mode;
        rig.r.tof().groupAFreq = c.groupA;
        rig.r.tof().nInteA = 800; // the lengths a camera starts with
        rig.r.tof().nInteB = 400;
        rig.r.common().enableDepth = 1;
        // Groups at 112 and 64 MHz, the dual modes' defaults (24 MHz x 56 / 3
        // / (1 + 3) and / (4 + 3)), and a single group at 96 MHz (24 MHz x 24
        // / 2 / 3).
        ASSERT_TRUE(write_host_file(rig.r.board.host(SENSOR_TOF_FREQ_FILE),
                                    "f1,f2,div_i,div_b,div_n,freq0_opt,freq1_opt\n112,64,2,0,56,1,4\n"
                                    "96,64,3,0,24,0,0\n"));
        worker_t* gvsp = rig.fake_worker(E_WORKER_ID_GVSP);
        ASSERT_EQ(worker_create(rig.r.core, E_WORKER_ID_ALGO, algo_task), 0);
        ASSERT_TRUE(wait_until([&] { return epcore_worker_find(rig.r.core, E_WORKER_ID_ALGO2) != nullptr; }));
        Custom_StartOrStopStream(1);
        ASSERT_TRUE(wait_until([&] { return epcore_iodev_find(rig.r.core, E_DEVICE_TOF) != nullptr; })) << what;
        // The task starts the sensor streaming before it programs the
        // frequencies: a frame stepped in between is taken at the sensor's
        // reset frequency and its depth is off. Frames are stepped once the
        // task's capture loop has begun, after its set-up.
        ASSERT_TRUE(wait_until([&] { return rig.r.log.has("before epoll wait"); })) << what;
        ImageInfo* depth = nullptr;
        ASSERT_TRUE(wait_until([&] {
            sim_camera_step(kVideo, mode == 3 ? 2 : 1);
            while (ImageInfo* img = frame_take(gvsp)) {
                if (img->imageType == E_IMAGE_TYPE_DEPTH && !depth) depth = img;
                else free_image(rig.r.core, img);
            }
            return depth != nullptr;
        }, 20000)) << what;
        ASSERT_EQ(depth->width, 640u);
        const uint16_t* d = reinterpret_cast<const uint16_t*>(depth->imageData);
        // Wall, box face and sphere.
        for (auto p : {std::pair<int, int>{40, 40}, {170, 300}, {448, 240}, {600, 450}}) {
            double want = sim_scene_distance_mm(p.first, p.second, 640, 480);
            EXPECT_NEAR(d[p.second * 640 + p.first], want, 15.0) << what << " at " << p.first << "," << p.second;
        }
        free_image(rig.r.core, depth);
        Custom_StartOrStopStream(0);
        rig.r.core->quit = 1;
        EXPECT_TRUE(wait_until([&] { return epcore_worker_find(rig.r.core, E_WORKER_ID_ALGO2) == nullptr; }));
        rig.drain(gvsp);
        EXPECT_EQ(rig.fetched(), 0) << what;
    }
}

} // namespace

namespace {

// A host's integration length reaches the sensor, whose light follows it:
// twice the length, twice the amplitude the depth stand-in computes.
TEST(GpixelDepth, AmplitudeFollowsTheIntegrationLengthAHostWrites)
{
    Rig rig(kSingleBytes, 3);
    rig.r.tof().freqMode = 0;
    rig.r.tof().nInteA = 400;
    rig.r.common().enableAmp = 1;
    worker_t* gvsp = rig.fake_worker(E_WORKER_ID_GVSP);
    ASSERT_EQ(worker_create(rig.r.core, E_WORKER_ID_ALGO, algo_task), 0);
    ASSERT_TRUE(wait_until([&] { return epcore_worker_find(rig.r.core, E_WORKER_ID_ALGO2) != nullptr; }));
    Custom_StartOrStopStream(1);
    ASSERT_TRUE(wait_until([&] { return epcore_iodev_find(rig.r.core, E_DEVICE_TOF) != nullptr; }));
    // The amplitude at a wall pixel of the next amplitude image.
    auto wall_amplitude = [&] {
        int amp = -1;
        EXPECT_TRUE(wait_until([&] {
            sim_camera_step(kVideo, 1);
            while (ImageInfo* img = frame_take(gvsp)) {
                if (img->imageType == E_IMAGE_TYPE_AMP && amp < 0)
                    amp = reinterpret_cast<const uint16_t*>(img->imageData)[40 * 640 + 600];
                free_image(rig.r.core, img);
            }
            return amp >= 0;
        }, 20000));
        return amp;
    };
    // A length takes effect from a later frame, and images of earlier ones
    // may still be on their way: the level once two images in a row agree
    // (and differ from `other`).
    auto settled = [&](int other) {
        int last = -1, now = -1;
        for (int i = 0; i < 20; i++) {
            now = wall_amplitude();
            if (now == last && now != other) break;
            last = now;
        }
        return now;
    };
    // The integration task programs the lengths once frames flow; frames
    // taken before show the sensor's reset length, and two of them in a row
    // would pass for the 400 level. Frames are stepped until the length is
    // on the sensor, then everything taken before is let through and
    // dropped: the test makes every frame, so the pipeline is then empty.
    auto length_set = [&] {
        unsigned lo = 0, hi = 0;
        sim_sensor_get_reg(kSensor, 526, &lo), sim_sensor_get_reg(kSensor, 527, &hi);
        return (lo | hi) != 0;
    };
    ASSERT_TRUE(wait_until([&] {
        sim_camera_step(kVideo, 1);
        rig.drain(gvsp);
        return length_set();
    }, 20000));
    ASSERT_TRUE(wait_until([&] {
        rig.drain(gvsp);
        return rig.fetched() == 0;
    }, 20000));
    int at400 = settled(-1);
    uint32_t len = 800;
    ASSERT_EQ(Custom_RegWrite(0x1000209C, &len), 0);
    int at800 = settled(at400);
    EXPECT_GT(at400, 100);
    EXPECT_NEAR((double)at800 / at400, 2.0, 0.05);
    Custom_StartOrStopStream(0);
    rig.r.core->quit = 1;
    EXPECT_TRUE(wait_until([&] { return epcore_worker_find(rig.r.core, E_WORKER_ID_ALGO2) == nullptr; }));
    rig.drain(gvsp);
    EXPECT_EQ(rig.fetched(), 0);
}

TEST(GpixelCpldImages, ATaskProgramsItsRatesImageAndEndsItsWorker)
{
    Rig rig;
    const std::string image = "cpld image for 18 frames per second";
    FILE* f = plat_fopen("/etc/fpga_update_18fps.bin", "wb");
    ASSERT_NE(f, nullptr);
    fwrite(image.data(), 1, image.size(), f);
    fclose(f);
    unsigned long before = sim_cpld_programs();
    ASSERT_EQ(worker_create(rig.r.core, 700, update_cpld_18fps_task), 0);
    ASSERT_TRUE(wait_until([&] { return epcore_worker_find(rig.r.core, 700) == nullptr; }));
    EXPECT_EQ(sim_cpld_programs(), before + 1);
    std::vector<char> got(image.size() + 16);
    ASSERT_EQ(sim_cpld_image(got.data(), got.size()), (long)image.size());
    EXPECT_EQ(std::string(got.data(), image.size()), image);
}

} // namespace
