// Stream gate, depth computation and the depth-processing workers.
#include <gtest/gtest.h>

#include "algo/algo.h"
#include "algo/algo_tavo.h"
#include "GigE/gvcp.h"
#include "algo/algotest.h"
#include "platform/boardroot.h"
#include "platform/camera.h"
#include "sensor/sensor_imx570.h"
#include "sensor_ioctl.h"

#include <linux/v4l2-subdev.h>
#include <math.h>

using namespace algotest;

namespace {

struct Gate : ::testing::Test {
    LogCapture log;
    Registers regs;
    FrameCore fc;
    worker_t* gvsp = fc.fake_worker(E_WORKER_ID_GVSP);

    void open_all()
    {
        regs.run.enableRaw = 1;
        regs.cfg.common.enableAmp = 1;
        regs.cfg.common.enableDepth = 1;
        regs.cfg.common.enableRgb = 1;
        regs.cfg.common.enableApplationAlgo = 4;
    }
    ImageInfo* depth_frame(uint32 type) { return fc.frame(fc.core->depth, E_MEMTYPE_DEPTH, type); }
    // Sends one frame of the type and reports whether the gate queued it.
    bool queued(uint32 type)
    {
        int before = fc.listed(gvsp);
        EXPECT_EQ(algo_sendImage(fc.core, depth_frame(type)), 0);
        bool q = fc.listed(gvsp) > before;
        while (ImageInfo* img = frame_take(gvsp)) free_image(fc.core, img);
        return q;
    }
};

TEST_F(Gate, EveryImageTypeFollowsItsStreamRegister)
{
    // Type -> the register that opens it (nullptr: always passes, or never).
    struct Case {
        uint32 type;
        uint32* reg;
        bool always;
    };
    const Case cases[] = {
        {E_IMAGE_TYPE_TEST_PACKET, nullptr, false}, {E_IMAGE_TYPE_DEPTH, &regs.cfg.common.enableDepth, false},
        {E_IMAGE_TYPE_AMP, &regs.cfg.common.enableAmp, false}, {E_IMAGE_TYPE_RAW, &regs.run.enableRaw, false},
        {E_IMAGE_TYPE_RGB, &regs.cfg.common.enableRgb, false}, {E_IMAGE_TYPE_JPEG, &regs.cfg.common.enableRgb, false},
        {E_IMAGE_TYPE_H264, &regs.cfg.common.enableRgb, false}, {E_IMAGE_TYPE_H265, &regs.cfg.common.enableRgb, false},
        {E_IMAGE_TYPE_AVOID, nullptr, true}, {E_IMAGE_TYPE_PALLET, nullptr, true},
        {E_IMAGE_TYPE_MJPEG, &regs.cfg.common.enableRgb, false}, {E_IMAGE_TYPE_AVOID2, nullptr, true},
    };
    for (const Case& c : cases) {
        open_all();
        EXPECT_EQ(queued(c.type), c.reg != nullptr || c.always) << "type " << c.type;
        if (c.reg) {
            *c.reg = 0;
            EXPECT_FALSE(queued(c.type)) << "type " << c.type << " with its stream closed";
        }
    }
    EXPECT_EQ(fc.fetched(), 0);
}

TEST_F(Gate, SenderListHoldsAtMostOneFramePerOpenStream)
{
    // Nothing open: even results, which always pass, find no room.
    algo_sendImage(fc.core, depth_frame(E_IMAGE_TYPE_AVOID));
    EXPECT_EQ(fc.listed(gvsp), 0);
    EXPECT_TRUE(log.has("drop image type:8"));

    regs.cfg.common.enableDepth = 1;
    algo_sendImage(fc.core, depth_frame(E_IMAGE_TYPE_DEPTH));
    algo_sendImage(fc.core, depth_frame(E_IMAGE_TYPE_DEPTH));
    EXPECT_EQ(fc.listed(gvsp), 1);
    EXPECT_TRUE(log.has("openStreamNum:1"));
    EXPECT_TRUE(log.has("drop image type:1"));

    regs.cfg.common.enableAmp = 1; // two open streams: room for one more
    algo_sendImage(fc.core, depth_frame(E_IMAGE_TYPE_AMP));
    algo_sendImage(fc.core, depth_frame(E_IMAGE_TYPE_AMP));
    EXPECT_EQ(fc.listed(gvsp), 2);
    EXPECT_EQ(bpool_fetched_num(fc.core->depth), 2);

    while (ImageInfo* img = frame_take(gvsp)) free_image(fc.core, img);
    EXPECT_EQ(fc.fetched(), 0);
}

// Workers that are ending take nothing: the gate's frame and a one-slot
// hand-over's frame go back to their pool, once.
TEST_F(Gate, AnEndingWorkerIsOfferedNothingAndTheFrameGoesBackOnce)
{
    regs.cfg.common.enableDepth = 1;
    EXPECT_TRUE(queued(E_IMAGE_TYPE_DEPTH));
    worker_thread_ending(fc.core, gvsp);
    EXPECT_FALSE(queued(E_IMAGE_TYPE_DEPTH));
    EXPECT_TRUE(log.has("not find gvsp worker."));

    EXPECT_FALSE(frame_post_latest_to(fc.core, E_WORKER_ID_ALGO2, depth_frame(E_IMAGE_TYPE_DEPTH)));
    worker_t* depth = fc.fake_worker(E_WORKER_ID_ALGO2);
    EXPECT_TRUE(frame_post_latest_to(fc.core, E_WORKER_ID_ALGO2, depth_frame(E_IMAGE_TYPE_DEPTH)));
    EXPECT_TRUE(frame_post_latest_to(fc.core, E_WORKER_ID_ALGO2, depth_frame(E_IMAGE_TYPE_DEPTH)));
    EXPECT_EQ(fc.listed(depth), 1);
    worker_thread_ending(fc.core, depth);
    EXPECT_FALSE(frame_post_latest_to(fc.core, E_WORKER_ID_ALGO2, depth_frame(E_IMAGE_TYPE_DEPTH)));
    EXPECT_EQ(fc.listed(depth), 1);
    EXPECT_EQ(fc.fetched(), 1);
    EXPECT_FALSE(log.has("frame refused by pool"));
}

TEST(GateAlone, WithoutSenderTheFrameGoesBack)
{
    LogCapture log;
    Registers regs;
    FrameCore fc;
    regs.cfg.common.enableDepth = 1;
    EXPECT_EQ(algo_sendImage(fc.core, fc.frame(fc.core->depth, E_MEMTYPE_DEPTH, E_IMAGE_TYPE_DEPTH)), 0);
    EXPECT_TRUE(log.has("not find gvsp worker."));
    EXPECT_EQ(fc.fetched(), 0);
}

// A raw frame of phase planes: plane k holds (k + 1) * 100 + i % 7.
ImageInfo* raw_frame(FrameCore& fc, uint32 w, uint32 h, uint32 planes)
{
    ImageInfo* raw = fc.frame(fc.core->raw, E_MEMTYPE_RAW, E_IMAGE_TYPE_RAW);
    raw->width = w;
    raw->height = h * planes;
    raw->timeStampH = 77;
    raw->imageSize = w * h * planes * 2;
    auto* px = reinterpret_cast<uint16_t*>(raw->imageData);
    for (uint32 k = 0; k < planes; k++)
        for (uint32 i = 0; i < w * h; i++) px[k * w * h + i] = (uint16_t)((k + 1) * 100 + i % 7);
    return raw;
}

using Depth = Gate;

TEST_F(Depth, ProducesImagesOfTheReportedSizeFromThePhases)
{
    regs.tof().sensorType = E_GPIXEL_0503;
    regs.cfg.common.enableDepth = 1;
    regs.cfg.common.enableAmp = 1;
    regs.run.enableRaw = 1;
    g_frameIndex = 40;
    EXPECT_EQ(algo_depth_process(fc.core, raw_frame(fc, 640, 480, 4)), 2);
    ASSERT_EQ(fc.listed(gvsp), 3);

    ImageInfo* depth = frame_take(gvsp);
    ImageInfo* amp = frame_take(gvsp);
    ImageInfo* raw = frame_take(gvsp);
    ASSERT_EQ(depth->imageType, (uint32)E_IMAGE_TYPE_DEPTH);
    ASSERT_EQ(amp->imageType, (uint32)E_IMAGE_TYPE_AMP);
    EXPECT_EQ(raw->imageType, (uint32)E_IMAGE_TYPE_RAW);
    for (ImageInfo* img : {depth, amp, raw}) {
        EXPECT_EQ(img->frameIndex, 40u);
        EXPECT_EQ(img->timeStampH, 77u);
    }
    EXPECT_EQ(depth->width * depth->height * 2, depth->imageSize);
    EXPECT_EQ(amp->width, 640u);
    EXPECT_EQ(g_frameIndex.load(), 41u);
    auto* d = reinterpret_cast<uint16_t*>(depth->imageData);
    auto* a = reinterpret_cast<uint16_t*>(amp->imageData);
    for (uint32 i : {0u, 1u, 6u, 1000u, 640u * 480u - 1}) {
        // I = 100 - 300, Q = 200 - 400: amplitude sqrt(2) x 200 / 2, and a
        // phase of 5/8 of a turn, which at 100 MHz is 5/8 of 1498.96 mm.
        EXPECT_EQ(a[i], 141) << i;
        EXPECT_EQ(d[i], 937) << i;
    }
    for (ImageInfo* img : {depth, amp, raw}) free_image(fc.core, img);
    EXPECT_EQ(fc.fetched(), 0);
}

TEST_F(Depth, ARawFrameClaimingMoreThanItsUnitIsReadOnlyToTheUnitEnd)
{
    regs.tof().sensorType = E_GPIXEL_0503;
    regs.cfg.common.enableDepth = 1;
    // Units with room for three of the four phase planes.
    const uint32 plane = 640 * 480 * 2;
    bpool_clean(fc.core->raw);
    fc.core->raw = make_pool((int)(sizeof(ImageInfo) + 3 * plane), 2);
    auto depth_of = [&](uint32 claimed) {
        ImageInfo* raw = raw_frame(fc, 640, 480, 3);
        raw->imageSize = claimed;
        EXPECT_EQ(algo_depth_process(fc.core, raw), 1);
        ImageInfo* depth = frame_take(gvsp);
        std::vector<uint16_t> out;
        if (depth) {
            auto* d = reinterpret_cast<const uint16_t*>(depth->imageData);
            out.assign(d, d + 640 * 480);
            free_image(fc.core, depth);
        }
        return out;
    };
    std::vector<uint16_t> honest = depth_of(3 * plane);
    ASSERT_EQ(honest.size(), 640u * 480u);
    // A header claiming the fourth plane reads it as missing: zero samples.
    EXPECT_EQ(depth_of(4 * plane), honest);
    EXPECT_EQ(fc.fetched(), 0);
}

TEST_F(Depth, ShortRawFrameReadsMissingPixelsAsZeroAndClosedStreamsUseNoFrames)
{
    regs.cfg.common.enableRgb = 1;
    EXPECT_EQ(algo_depth_process(fc.core, raw_frame(fc, 640, 480, 1)), 0);
    EXPECT_EQ(fc.listed(gvsp), 0);
    EXPECT_EQ(fc.fetched(), 0);

    regs.tof().sensorType = E_VD55H1; // 672 x 804, more than the frame holds
    regs.cfg.common.enableAmp = 1;
    EXPECT_EQ(algo_depth_process(fc.core, raw_frame(fc, 64, 8, 1)), 1);
    ImageInfo* amp = frame_take(gvsp);
    ASSERT_NE(amp, nullptr);
    EXPECT_EQ(amp->width, 672u);
    auto* a = reinterpret_cast<uint16_t*>(amp->imageData);
    EXPECT_EQ(a[3], 52); // one plane of 103: I = 103, Q = 0, amplitude 103 / 2
    EXPECT_EQ(a[64 * 8], 0);
    EXPECT_EQ(a[672 * 804 - 1], 0);
    free_image(fc.core, amp);
    EXPECT_EQ(fc.fetched(), 0);
}

TEST_F(Depth, EachFrameLeavesTheRunningApplicationsResultForTheModbusSlave)
{
    worker_t* slave = fc.fake_worker(E_WORKER_ID_RS485);
    const struct {
        uint32 mode;
        int    type; // -1: no record
    } cases[] = {{0, -1}, {1, -1}, {2, E_IMAGE_TYPE_PALLET}, {4, E_IMAGE_TYPE_AVOID2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        regs.cfg.common.enableApplationAlgo = c.mode;
        algo_depth_process(fc.core, raw_frame(fc, 64, 8, 4));
        algo_depth_process(fc.core, raw_frame(fc, 64, 8, 4));
        if (c.type < 0) {
            EXPECT_EQ(fc.listed(slave), 0);
            continue;
        }
        ASSERT_EQ(fc.listed(slave), 1) << "one deep: the newest frame's result waits";
        ImageInfo* rec = frame_take(slave);
        EXPECT_EQ(rec->imageType, (uint32)c.type);
        EXPECT_EQ(rec->imageData[0], 0xAC);
        free_image(fc.core, rec);
    }
    while (ImageInfo* f = frame_take(gvsp)) free_image(fc.core, f);
    EXPECT_EQ(fc.fetched(), 0);
}

using SensorRegs = std::vector<std::pair<uint16_t, uint8_t>>;

// One frame of the simulated ToF sensor behind `node`, its pad set to
// `padH` rows and `sensorRegs` written first, as the capture paths copy it.
void grab_sensor_frame(const char* sensor, const char* node, uint32_t padH, const SensorRegs& sensorRegs,
                       std::vector<uint8_t>* frame)
{
    sim_sensor_state_t st;
    ASSERT_EQ(sim_sensor_state(sensor, &st), 0);
    int sd = plat_open(st.subdev, O_RDWR);
    v4l2_subdev_format pad{};
    pad.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    pad.format.width = st.width;
    pad.format.height = padH;
    ASSERT_EQ(plat_ioctl(sd, VIDIOC_SUBDEV_S_FMT, &pad), 0);
    for (auto [addr, val] : sensorRegs) {
        regval r{addr, val};
        ASSERT_EQ(plat_ioctl(sd, SENSOR_IOC_WRITE_REG, &r), 0);
    }
    plat_close(sd);
    run_tof_sensor();
    Capture c(node);
    ASSERT_EQ(c.set_format(st.width, padH, V4L2_PIX_FMT_Y12), 0);
    ASSERT_EQ(c.start(), 4);
    *frame = c.grab();
    ASSERT_EQ(frame->size(), (size_t)st.width * padH * 2);
}

// Depth from what the simulated board's ToF sensors deliver: the phase
// planes of the first frequency group, copied as the capture paths copy
// them, give the scene's distances within the sensors' precision.
TEST_F(Depth, DepthOfSimulatedFramesMatchesTheScene)
{
    struct Case {
        const char* name;
        const char* profile;
        const char* node;
        const char* sensor;
        uint32_t    pad_h;
        uint32_t    kind, phases, freq; // freq 0: the default
        size_t      block_rows;         // rows per phase block in the buffer
    };
    const Case cases[] = {
        {"Gpixel 4-phase, 100 MHz", "rk3588-gpixel", "/dev/video4", "m01_b_Gpixel0503 5-0010", 1440, E_GPIXEL_0503, 4, 0, 480},
        {"Gpixel 4-phase, 60 MHz", "rk3588-gpixel", "/dev/video4", "m01_b_Gpixel0503 5-0010", 1440, E_GPIXEL_0503, 4, 60, 480},
        {"IMX570 3-phase", "rk3568-imx570", "/dev/video0", "m01_b_imx570 3-0010", 1449, E_IMX570, 3, 0, 483},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        BoardRoot b(k.profile);
        ASSERT_EQ(b.rc, 0);
        // 24 MHz x 45 / 6 / 3 = 60 MHz, as the frequency table would set it.
        SensorRegs freq = {{557, 0}, {560, 0}, {558, 45}, {559, 0}, {567, 0}};
        std::vector<uint8_t> frame;
        ASSERT_NO_FATAL_FAILURE(grab_sensor_frame(k.sensor, k.node, k.pad_h, k.freq ? freq : SensorRegs{}, &frame));

        regs.tof().sensorType = k.kind;
        regs.tof().groupAFreq = k.freq;
        g_phaseOptions.store(k.phases == 3 ? 1 : 0);  // as the capture was set up
        regs.cfg.common.enableDepth = 1;
        regs.cfg.common.enableAmp = 1;
        ImageInfo* raw = fc.frame(fc.core->raw, E_MEMTYPE_RAW, E_IMAGE_TYPE_RAW);
        const size_t plane = 640 * 480 * 2;
        for (uint32_t p = 0; p < k.phases; p++)
            memcpy(raw->imageData + p * plane, frame.data() + p * k.block_rows * 640 * 2, plane);
        raw->width = 640;
        raw->height = 480 * k.phases;
        raw->imageSize = (uint32)(plane * k.phases);
        ASSERT_EQ(algo_depth_process(fc.core, raw), 2);
        ImageInfo* depth = frame_take(gvsp);
        ImageInfo* amp = frame_take(gvsp);
        ASSERT_TRUE(depth && amp);
        ASSERT_EQ(depth->width, 640u);
        auto* d = reinterpret_cast<const uint16_t*>(depth->imageData);
        auto* a = reinterpret_cast<const uint16_t*>(amp->imageData);
        double worst = 0;
        for (int y = 3; y < 480; y += 11) {
            for (int x = 5; x < 640; x += 13) {
                double want = sim_scene_distance_mm(x, y, 640, 480);
                double err = fabs(d[y * 640 + x] - want);
                if (err > worst) worst = err;
            }
        }
        EXPECT_LE(worst, 5.0); // millimetres
        // Nearer, brighter surfaces return more light: the box face against the wall.
        EXPECT_GT(a[300 * 640 + 170], 2 * a[100 * 640 + 170]);
        for (ImageInfo* img : {depth, amp}) free_image(fc.core, img);
        while (ImageInfo* rest = frame_take(gvsp)) free_image(fc.core, rest);
        EXPECT_EQ(fc.fetched(), 0);
    }
    g_phaseOptions.store(0);
}

// A frame of two or three frequencies reaches past the first frequency's
// turn: the wall of the simulated scene lies beyond one turn at 150 MHz
// (999 mm) and still reads right, from frames as each sensor delivers them.
TEST_F(Depth, FramesOfSeveralFrequenciesResolveDistancesBeyondOneTurn)
{
    struct Case {
        const char* name;
        const char* profile;
        const char* node;
        const char* sensor;
        uint32_t    kind, mode, a, b, c;
        SensorRegs  sensor_regs; // its frequencies
        uint32_t    pad_h, phases, groups;
    };
    auto le = [](uint16_t at, uint32_t hz) {
        return std::vector<std::pair<uint16_t, uint8_t>>{{at, (uint8_t)hz}, {(uint16_t)(at + 1), (uint8_t)(hz >> 8)},
                                                         {(uint16_t)(at + 2), (uint8_t)(hz >> 16)},
                                                         {(uint16_t)(at + 3), (uint8_t)(hz >> 24)}};
    };
    // Room for the largest raw frame, the VD55H1's.
    bpool_clean(fc.core->raw);
    fc.core->raw = make_pool((int)sizeof(ImageInfo) + 1344 * 9656 * 2, 1);
    std::vector<std::pair<uint16_t, uint8_t>> vd = le(1612, 150000000), vd_b = le(1660, 20000000);
    vd.insert(vd.end(), vd_b.begin(), vd_b.end());
    const Case cases[] = {
        {"IMX570 two frequencies", "rk3568-imx570", "/dev/video0", "m01_b_imx570 3-0010", E_IMX570, 1, 150, 20, 48,
         {{8524, 150}, {8525, 20}}, 3864, 4, 2},
        {"IMX570 three frequencies", "rk3568-imx570", "/dev/video0", "m01_b_imx570 3-0010", E_IMX570, 5, 150, 20, 48,
         {{8524, 150}, {8525, 20}, {8526, 48}}, 5796, 4, 3},
        {"VD55H1", "rk3588-vd55h1", "/dev/video4", "m01_b_VD55H1 5-0010", E_VD55H1, 3, 150, 20, 48, vd, 9656, 0, 0},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        BoardRoot b(k.profile);
        ASSERT_EQ(b.rc, 0);
        std::vector<uint8_t> frame;
        ASSERT_NO_FATAL_FAILURE(grab_sensor_frame(k.sensor, k.node, k.pad_h, k.sensor_regs, &frame));

        regs.tof().sensorType = k.kind;
        regs.tof().freqMode = k.mode;
        regs.tof().groupAFreq = k.a;
        regs.tof().groupBFreq = k.b;
        regs.tof().groupCFreq = k.c;
        g_phaseOptions.store(0);
        regs.cfg.common.enableDepth = 1;
        ImageInfo* raw = fc.frame(fc.core->raw, E_MEMTYPE_RAW, E_IMAGE_TYPE_RAW);
        uint32_t w = 640, h = 480;
        if (k.kind == E_IMX570) {
            // The capture path keeps the image rows of each phase block.
            const size_t plane = 640 * 480 * 2;
            for (uint32_t p = 0; p < k.phases * k.groups; p++)
                memcpy(raw->imageData + p * plane, frame.data() + p * 483 * 640 * 2, plane);
            raw->imageSize = (uint32)(plane * k.phases * k.groups);
        } else {
            algo_TavoPlus_ParseRawData(frame.data(), (int)frame.size(), 0);
            memcpy(raw->imageData, frame.data(), frame.size());
            raw->imageSize = (uint32)frame.size();
            w = 672, h = 804;
        }
        ASSERT_EQ(algo_depth_process(fc.core, raw), 1);
        ImageInfo* depth = frame_take(gvsp);
        ASSERT_TRUE(depth);
        ASSERT_EQ(depth->width, w);
        auto* d = reinterpret_cast<const uint16_t*>(depth->imageData);
        double worst = 0;
        int beyond = 0;
        for (uint32_t y = 3; y < h; y += 11) {
            for (uint32_t x = 5; x < w; x += 13) {
                double want = sim_scene_distance_mm((int)x, (int)y, (int)w, (int)h);
                if (want > 999) beyond++;
                worst = std::max(worst, fabs(d[y * w + x] - want) / want);
            }
        }
        EXPECT_GT(beyond, 100);
        EXPECT_LE(worst, 0.01);
        free_image(fc.core, depth);
        while (ImageInfo* rest = frame_take(gvsp)) free_image(fc.core, rest);
        EXPECT_EQ(fc.fetched(), 0);
    }
}

TEST(DepthWorkers, RawFrameTravelsFromIntakeToSender)
{
    LogCapture log;
    Registers regs;
    FrameCore fc;
    worker_t* gvsp = fc.fake_worker(E_WORKER_ID_GVSP);
    regs.tof().sensorType = E_IMX570;
    regs.cfg.common.enableDepth = 1;
    GVCP_SetEndpoints("127.0.0.1", 0, "127.0.0.1");  // the control channel 510 stays on loopback
    fc.start(E_WORKER_ID_ALGO, algo_task);
    ASSERT_TRUE(wait_until([&] { return epcore_worker_find(fc.core, E_WORKER_ID_ALGO2) != nullptr; }));
    EXPECT_TRUE(wait_until([&] { return log.has("gvcp fd:"); })); // 510 was started
    frame_post_latest_to(fc.core, E_WORKER_ID_ALGO, raw_frame(fc, 640, 480, 4));

    ASSERT_TRUE(wait_until([&] { return fc.listed(gvsp) == 1; }));
    ImageInfo* depth = frame_take(gvsp);
    EXPECT_EQ(depth->imageType, (uint32)E_IMAGE_TYPE_DEPTH);
    free_image(fc.core, depth);
    // The raw frame went back (its stream is closed), so every pool is whole.
    EXPECT_TRUE(wait_until([&] { return fc.fetched() == 0; }));
    fc.stop_tasks();
    GVCP_SetEndpoints("0.0.0.0", GVCP_PORT, "255.255.255.255");
    EXPECT_TRUE(log.has("end algo task"));
    EXPECT_TRUE(log.has("end algo2 task"));
    EXPECT_TRUE(log.has("end gvcp task"));
}

TEST(DepthWorkers, FramesLeftOnAStoppedWorkerReturnToTheirPool)
{
    Registers regs;
    FrameCore fc;
    fc.start(E_WORKER_ID_ALGO_RGB, algo_rgb_task);
    worker_t* rgb = epcore_worker_find(fc.core, E_WORKER_ID_ALGO_RGB);
    // No sender: a colour frame taken by 513 goes back through free_image.
    EXPECT_TRUE(frame_post_latest_to(fc.core, E_WORKER_ID_ALGO_RGB, fc.frame(fc.core->rgb, E_MEMTYPE_RGB, E_IMAGE_TYPE_RGB)));
    EXPECT_TRUE(wait_until([&] { return fc.fetched() == 0; }));
    // A frame still listed when the worker ends goes back the same way.
    EnterCriticalSection(&rgb->datalistCS);
    rgb->quit.store(1);
    lt_append(rgb->data_list, fc.frame(fc.core->rgb, E_MEMTYPE_RGB, E_IMAGE_TYPE_RGB));
    LeaveCriticalSection(&rgb->datalistCS);
    EXPECT_TRUE(fc.gone(E_WORKER_ID_ALGO_RGB));
    EXPECT_EQ(fc.fetched(), 0);
}

} // namespace
