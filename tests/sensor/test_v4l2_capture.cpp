// The capture core against the simulated ToF node: node preparation (buffer
// type, format, granted buffers, failed mappings), bounded copies into pool
// frames, the two hand-over rules, the locked device look-up, the raw-frame
// request, 2 x 2 binning and the capture loop's time-out count.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <thread>

#include "sensor/capturerig.h"
#include "server/raw_frame.h"

namespace {

using capturerig::kSingleBytes;
using capturerig::kVideo;
using capturerig::open_descriptors;
using capturerig::Rig;

TEST(CaptureNode, SinglePlanarIsChosenWheneverTheNodeOffersIt)
{
    struct Case { uint32_t caps, type; } cases[] = {
        {V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE, V4L2_BUF_TYPE_VIDEO_CAPTURE},
        {V4L2_CAP_VIDEO_CAPTURE, V4L2_BUF_TYPE_VIDEO_CAPTURE},
        {V4L2_CAP_VIDEO_CAPTURE_MPLANE, V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE},
        {V4L2_CAP_STREAMING, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(sensor_capture_type(c.caps), c.type) << std::hex << c.caps;
}

TEST(CaptureNode, FormatIsSetOnlyWhenTheNodeHoldsAnother)
{
    // The preparation's fourth request on the node is S_FMT when the format
    // differs and REQBUFS when it already matches; failing it tells which.
    for (bool preset : {true, false}) {
        Rig rig;
        rig.fake_worker(E_WORKER_ID_ALGO);
        if (!preset) {
            int fd = plat_open(kVideo, O_RDWR);
            v4l2_format f{};
            f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
            f.fmt.pix_mp.width = 640, f.fmt.pix_mp.height = 480, f.fmt.pix_mp.pixelformat = V4L2_PIX_FMT_Y12;
            ASSERT_EQ(plat_ioctl(fd, VIDIOC_S_FMT, &f), 0);
            plat_close(fd);
        }
        sim_fail_nth(kVideo, SIM_REQ_IOCTL, 4, EIO);
        EXPECT_FALSE(rig.open_sensor());
        EXPECT_EQ(rig.r.log.has("tof sensor VIDIOC_S_FMT"), !preset);
        EXPECT_EQ(rig.r.log.has("tof sensor VIDIOC_REQBUFS"), preset);
        rig.dev = nullptr;
        EXPECT_TRUE(rig.open_sensor()) << "the next preparation sets the format";
    }
}

TEST(CaptureNode, GrantedBuffersAreUsedAndAFailedMappingFailsThePreparation)
{
    Rig rig;
    rig.fake_worker(E_WORKER_ID_ALGO);
    int before = open_descriptors();
    sim_fail_nth(kVideo, SIM_REQ_MMAP, 2, ENOMEM);
    EXPECT_FALSE(rig.open_sensor());
    EXPECT_TRUE(rig.r.log.has("mmap fail."));
    EXPECT_EQ(open_descriptors(), before) << "nodes closed after the failed preparation";
    EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_TOF), nullptr);
    rig.dev = nullptr;

    // A node granting two buffers captures with two.
    sim_camera_set_faults(kVideo, SIM_CAMERA_REQBUFS2);
    ASSERT_TRUE(rig.open_sensor());
    EXPECT_EQ(sensor_buffer_count(rig.info()), 2);
    rig.r.core->streamon = 1;
    worker_t* algo = rig.fakes[0];
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(rig.frame(), 0);
        rig.drain(algo);
    }
    EXPECT_GE(g_tof_frameIndex.load(), 4u);
    rig.close_sensor();
    EXPECT_EQ(rig.fetched(), 0);
}

TEST(CaptureNode, ANodeGrantingLessThanAFrameFailsThePreparationWithALogLine)
{
    struct Case { unsigned fault; const char* line; } cases[] = {
        {SIM_CAMERA_SMALL_FORMAT, "granted for 1920x1440"},
        {SIM_CAMERA_SHORT_BUFFERS, "is short of the 5529600-byte frame"},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.fake_worker(E_WORKER_ID_ALGO);
        // Another format on the node, so the preparation has to set its own.
        int fd = plat_open(kVideo, O_RDWR);
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
        f.fmt.pix_mp.width = 640, f.fmt.pix_mp.height = 480, f.fmt.pix_mp.pixelformat = V4L2_PIX_FMT_Y12;
        ASSERT_EQ(plat_ioctl(fd, VIDIOC_S_FMT, &f), 0);
        plat_close(fd);
        int before = open_descriptors();
        sim_camera_set_faults(kVideo, c.fault);
        EXPECT_FALSE(rig.open_sensor()) << c.line;
        EXPECT_TRUE(rig.r.log.has(c.line)) << c.line;
        EXPECT_EQ(open_descriptors(), before) << c.line;
        EXPECT_EQ(epcore_iodev_find(rig.r.core, E_DEVICE_TOF), nullptr) << c.line;
        rig.dev = nullptr;
        sim_camera_set_faults(kVideo, 0);
        EXPECT_TRUE(rig.open_sensor()) << c.line << ": a node granting the whole frame is taken";
    }
}

TEST(CaptureFrames, CopiesAreBoundedByBytesUsedAndThePoolUnit)
{
    struct Case { const char* name; int room; unsigned faults; bool handed; uint32_t size; } cases[] = {
        {"whole frame", kSingleBytes, 0, true, (uint32_t)kSingleBytes},
        {"short buffer", kSingleBytes, SIM_CAMERA_SHORT, true, (uint32_t)kSingleBytes / 2},
        {"unit too small", kSingleBytes - 2, 0, false, 0},
        // The node claims more than its buffer holds: the copy ends with the mapping.
        {"bytes used past the buffer", kSingleBytes + 8192, SIM_CAMERA_OVERFULL, true, (uint32_t)kSingleBytes},
        // A buffer index past the mapped ones names no buffer: nothing is read.
        {"index past the buffers", kSingleBytes, SIM_CAMERA_BAD_INDEX, false, 0},
    };
    for (const Case& c : cases) {
        Rig rig(c.room);
        worker_t* algo = rig.fake_worker(E_WORKER_ID_ALGO);
        ASSERT_TRUE(rig.open_sensor()) << c.name;
        sim_camera_set_faults(kVideo, c.faults);
        rig.r.core->streamon = 1;
        g_lost_raw = 1; // past the first frame
        EXPECT_EQ(rig.frame(), 0) << c.name;
        ASSERT_EQ(rig.listed(algo), c.handed ? 1 : 0) << c.name;
        if (c.handed) {
            ImageInfo* img = frame_take(algo);
            EXPECT_EQ(img->imageSize, c.size) << c.name;
            EXPECT_EQ(img->PDFlags, 0u) << "a fetched unit carries no stale field";
            free_image(rig.r.core, img);
        } else if (c.faults == 0) {
            EXPECT_TRUE(rig.r.log.has("exceeds the raw unit")) << c.name;
        }
        EXPECT_EQ(rig.fetched(), 0) << c.name;
    }
}

TEST(CaptureFrames, PoolFetchZeroesTheHeaderOfARecycledUnit)
{
    bpool_t* pool = algotest::make_pool((int)sizeof(ImageInfo) + 16, 1);
    auto* img = static_cast<ImageInfo*>(bpool_fetch(pool));
    memset(img, 0xA5, sizeof(ImageInfo));
    bpool_recycle(pool, img);
    ImageInfo* again = sensor_frame_fetch(pool, E_MEMTYPE_RAW);
    ASSERT_EQ(again, img);
    ImageInfo want{};
    want.memType = E_MEMTYPE_RAW;
    EXPECT_EQ(memcmp(again, &want, sizeof(ImageInfo)), 0);
    bpool_recycle(pool, again);
    bpool_clean(pool);
}

TEST(CaptureHandover, DropNewKeepsTheOlderFrameAndReplaceOldKeepsTheNewer)
{
    Rig rig;
    worker_t* algo = rig.fake_worker(E_WORKER_ID_ALGO);
    epcore_t* core = rig.r.core;
    auto frame = [&](uint64 index) {
        ImageInfo* img = sensor_frame_fetch(core->raw, E_MEMTYPE_RAW);
        img->memType = E_MEMTYPE_RAW;
        img->frameIndex = index;
        return img;
    };
    EXPECT_EQ(sensor_handover_drop_new(core, E_WORKER_ID_ALGO, frame(1)), 1);
    EXPECT_EQ(sensor_handover_drop_new(core, E_WORKER_ID_ALGO, frame(2)), 0);
    ASSERT_EQ(rig.listed(algo), 1);
    EXPECT_EQ(static_cast<ImageInfo*>(lt_first(algo->data_list))->frameIndex, 1u);

    EXPECT_EQ(sensor_handover_replace_old(core, E_WORKER_ID_ALGO, frame(3)), 1);
    ASSERT_EQ(rig.listed(algo), 1);
    EXPECT_EQ(static_cast<ImageInfo*>(lt_first(algo->data_list))->frameIndex, 3u);
    // No consumer: the frame goes straight back.
    EXPECT_EQ(sensor_handover_drop_new(core, E_WORKER_ID_GVSP, frame(4)), 0);
    EXPECT_EQ(sensor_handover_replace_old(core, E_WORKER_ID_GVSP, frame(5)), 0);
    rig.drain(algo);
    EXPECT_EQ(rig.fetched(), 0);
}

// A sensor read that, like a slow one, is still under way while the test
// looks: it holds the sensor-operations lock until the test lets it end.
std::atomic<bool> s_reading{false}, s_readMayEnd{false};
int held_read(iodev_t*, uint32_t, uint16_t* v)
{
    s_reading = true;
    capturerig::wait_until([] { return s_readMayEnd.load(); });
    *v = 0;
    return 0;
}

TEST(CaptureDevices, ALookUpWaitsForTheSensorOperationInProgress)
{
    regtest::RegSpace r;
    r.tofOps.read_reg = held_read;
    r.add_device(E_DEVICE_TOF, &r.tofOps);
    r.common().whichSensorSelect = 0;
    s_reading = s_readMayEnd = false;
    // A host reads a sensor register through the pass-through.
    std::thread host([&] { r.read(0x10000050); });
    EXPECT_TRUE(capturerig::wait_until([] { return s_reading.load(); }));
    std::atomic<bool> calling{false}, ran{false};
    std::thread lookUp([&] {
        calling = true;
        EXPECT_TRUE(sensor_with_device(r.core, E_DEVICE_TOF, [&](V4L2SensorInfo*, iodev_t*) { ran = true; }));
    });
    EXPECT_TRUE(capturerig::wait_until([&] { return calling.load(); }));
    // Long enough for an unlocked look-up to have run on a busy machine.
    EXPECT_FALSE(capturerig::wait_until([&] { return ran.load(); }, 1000)) << "ran during the read";
    s_readMayEnd = true;
    host.join();
    lookUp.join();
    EXPECT_TRUE(ran.load()) << "runs once the read has ended";
}

TEST(CaptureRawRequest, ServedFromTheDequeuedBufferEvenWithTheStreamOff)
{
    // firstFrame: the task just started, and that frame is dropped.
    struct Case { const char* name; bool streamOn, firstFrame, served; } cases[] = {
        {"stream off", false, false, true},
        {"first frame after start", true, true, false},
        {"streaming", true, false, true},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.fake_worker(E_WORKER_ID_ALGO);
        ASSERT_TRUE(rig.open_sensor()) << c.name;
        rig.r.core->streamon = c.streamOn ? 1 : 0;
        g_lost_raw = c.firstFrame ? 0 : 1;
        g_raw_image_size = 0;
        g_raw_flags = 1;
        EXPECT_EQ(rig.frame(), 0) << c.name;
        EXPECT_EQ(g_raw_flags.load() == 0, c.served) << c.name;
        EXPECT_EQ(g_raw_image_size.load(), c.served ? (uint32_t)kSingleBytes : 0u) << c.name;
        if (c.served) {
            // A phase sample of the scene, not an empty buffer.
            uint16_t v;
            memcpy(&v, g_raw_image + 2 * (240 * 640 + 320), 2);
            EXPECT_GT(v, 0) << c.name;
        }
        g_raw_flags = 0;
        rig.drain(rig.fakes[0]);
        rig.close_sensor();
        EXPECT_EQ(rig.fetched(), 0) << c.name;
    }
}

TEST(CaptureRawRequest, AnEmptyFrameLeavesTheRequestPending)
{
    uint8_t data[4] = {1, 2, 3, 4};
    g_raw_flags = 1;
    g_raw_image_size = 7;
    sensor_raw_serve(data, 0);
    EXPECT_EQ(g_raw_flags.load(), 1);
    sensor_raw_serve(data, sizeof(data));
    EXPECT_EQ(g_raw_flags.load(), 0);
    EXPECT_EQ(g_raw_image_size.load(), 4u);
    EXPECT_EQ(memcmp(g_raw_image, data, 4), 0);
}

TEST(CaptureBinning, AveragesEachTwoByTwoBlock)
{
    // 5 x 2: the odd last column pairs with itself; truncating division.
    uint16_t img[10] = {1, 2, 3, 4, 9, 5, 6, 7, 8, 10};
    uint16_t out[3] = {};
    EXPECT_EQ(sensor_binning(img, out, 5, 2), 0);
    EXPECT_EQ(out[0], (1 + 2 + 5 + 6) / 4);
    EXPECT_EQ(out[1], (3 + 4 + 7 + 8) / 4);
    EXPECT_EQ(out[2], (9 + 9 + 10 + 10) / 4);
}

} // namespace
