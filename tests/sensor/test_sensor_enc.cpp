// Hardware encoder: the library is driven in its fixed order of calls and
// configuration keys per coding type; a picture queued to worker 516 comes
// out at the stream sender (worker 511) as the simulated encoder's packet in
// the producer's own frame, labelled by the encoding register; frames that
// cannot be encoded, or whose packet never comes, go back to their pool;
// every library object is released when the worker ends. The colour
// camera's operations reach its sub-device with the register and control
// arithmetic, and its automatic exposure switches the illuminator.
#include "sensor/sensor_enc.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/regtest.h"
#include "hashtab.h"
#include "memory.h"
#include "platform.h"
#include "sensor/sensor.h"
#include "sensor/sensor_pwm.h"
#include "simboard.h"

namespace {

using pumptest::wait_until;

constexpr uint32 kW = 1920, kH = 1080;
constexpr uint32 kNv12 = kW * kH * 3 / 2;      // what the cameras hand over
constexpr uint32 kInput = 1920 * 1088 * 3 / 2; // the encoder's input buffer
constexpr uint32 kUyvy = kW * kH * 2;          // larger than the input buffer

std::vector<std::string> mpp_calls(size_t from = 0)
{
    std::vector<std::string> out;
    char line[256];
    for (size_t i = from; i < sim_mpp_call_count(); i++)
        if (sim_mpp_call_get(i, line, sizeof(line)) == 0) out.emplace_back(line);
    return out;
}

size_t count_of(const std::vector<std::string>& calls, const std::string& name)
{
    size_t n = 0;
    for (const auto& c : calls) n += c.compare(0, name.size(), name) == 0;
    return n;
}

struct Encoder : ::testing::Test {
    regtest::RegSpace r;
    worker_t* gvsp = nullptr;
    iodev_t* dev = nullptr;

    void SetUp() override
    {
        sim_mpp_clear();
        epcore_t* c = r.core;
        c->raw = algotest::make_pool((int)(sizeof(ImageInfo) + kUyvy), 2);
        c->rgb = algotest::make_pool((int)sizeof(ImageInfo) + 4096, 2);
        gvsp = worker_new(c);
        gvsp->workerid = gvsp->threadid = E_WORKER_ID_GVSP;
        worker_set_datafree(gvsp, frame_datafree);
        worker_thread_add(c, gvsp);
        r.common().cameraRgbEncType = E_CAMERA_RGB_ENC_H264;
        r.common().enableRgb = 1;
    }
    void TearDown() override
    {
        sensor_enc_uninit(dev);
        stop();
        drain();
        worker_thread_del(r.core, gvsp);
        worker_free(gvsp);
        EXPECT_EQ(sim_mpp_live(), 0) << "library objects left";
        EXPECT_EQ(fetched(), 0) << "frames not given back";
        bpool_clean(r.core->raw);
        bpool_clean(r.core->rgb);
        r.core->raw = r.core->rgb = nullptr;
        sim_mpp_clear();
    }

    int fetched() { return bpool_fetched_num(r.core->raw) + bpool_fetched_num(r.core->rgb); }
    static int waiting(worker_t* wk)
    {
        EnterCriticalSection(&wk->datalistCS);
        int n = lt_num(wk->data_list);
        LeaveCriticalSection(&wk->datalistCS);
        return n;
    }
    int listed() { return waiting(gvsp); }
    void drain()
    {
        while (ImageInfo* img = frame_take(gvsp)) free_image(r.core, img);
    }

    // A camera frame from the raw pool whose bytes follow from `seed`.
    ImageInfo* camera_frame(uint32 w, uint32 h, uint32 bytes, uint8 seed = 1)
    {
        auto* img = static_cast<ImageInfo*>(bpool_fetch(r.core->raw));
        EXPECT_NE(img, nullptr);
        if (!img) return nullptr;
        img->memType = E_MEMTYPE_RAW;
        img->sensorIndex = 1;
        img->imageType = E_IMAGE_TYPE_RAW;
        img->width = w;
        img->height = h;
        img->timeStampH = 1234;
        img->timeStampL = 5678;
        img->imageSize = bytes;
        for (uint32 i = 0; i < bytes; i++) img->imageData[i] = (uint8)(i * 7 + seed + i / 4096);
        return img;
    }
    std::vector<uint8> expected_packet(uint32 coding, const uint8* nv12)
    {
        std::vector<uint8> out(sim_mpp_packet(coding, nv12, kNv12, nullptr, 0));
        sim_mpp_packet(coding, nv12, kNv12, out.data(), out.size());
        return out;
    }

    // The encoder task on worker 516, up once its device is registered.
    void start()
    {
        ASSERT_EQ(worker_create(r.core, E_WORKER_ID_ENC, sensor_enc_task), 0);
        ASSERT_TRUE(wait_until([&] { return epcore_iodev_find(r.core, E_DEVICE_ENC) != nullptr; }));
    }
    worker_t* encoder() { return epcore_worker_find(r.core, E_WORKER_ID_ENC); }
    static void append(worker_t* wk, ImageInfo* img)
    {
        EnterCriticalSection(&wk->datalistCS);
        lt_append(wk->data_list, img);
        LeaveCriticalSection(&wk->datalistCS);
    }
    void queue(ImageInfo* img)
    {
        worker_t* wk = encoder();
        ASSERT_NE(wk, nullptr);
        append(wk, img);
        event_signal(wk->ioevent, 1);
    }
    // Waits until the encoder has fetched `n` packets in all.
    bool encoded(size_t n)
    {
        return wait_until([&] { return count_of(mpp_calls(), "encode_get_packet") >= n; });
    }
    bool idle()
    {
        return wait_until([&] {
            worker_t* wk = encoder();
            return !wk || (waiting(wk) == 0 && fetched() == listed());
        });
    }
    void stop()
    {
        EnterCriticalSection(&r.core->workerlistCS);
        uint64_t id = E_WORKER_ID_ENC;
        if (auto* wk = static_cast<worker_t*>(ht_get(r.core->worker_tab, &id))) worker_stop(wk);
        LeaveCriticalSection(&r.core->workerlistCS);
        EXPECT_TRUE(wait_until([&] { return encoder() == nullptr; }));
    }
};

std::vector<std::string> prefix_calls()
{
    return {"mpp_buffer_group_get 3 0",
            "mpp_buffer_get " + std::to_string(kInput) + " sensor_enc",
            "mpp_buffer_get " + std::to_string(kInput) + " sensor_enc",
            "mpp_create",
            "control 0x200007"};
}

std::vector<std::string> common_keys(const char* mode = "2")
{
    return {"s32 prep:width 1920",   "s32 prep:height 1080",   "s32 prep:hor_stride 1920",
            "s32 prep:ver_stride 1080", "s32 prep:format 0",   std::string("s32 rc:mode ") + mode,
            "s32 rc:fps_in_flex 0",  "s32 rc:fps_in_num 30",   "s32 rc:fps_in_denorm 1",
            "s32 rc:fps_out_flex 0", "s32 rc:fps_out_num 30",  "s32 rc:fps_out_denorm 1",
            "s32 rc:gop 60",         "u32 rc:drop_mode 0",     "u32 rc:drop_thd 20",
            "u32 rc:drop_gap 1",     "s32 rc:bps_target 7776000"};
}

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::vector<std::string> kFixQp = {"s32 rc:qp_init 20", "s32 rc:qp_max 20", "s32 rc:qp_min 20",
                                         "s32 rc:qp_max_i 20", "s32 rc:qp_min_i 20", "s32 rc:qp_ip 2"};
const std::vector<std::string> kVideoControls = {"control 0x320001", "control 0x32000f", "control 0x328001",
                                                 "mpp_packet_init_with_buffer", "mpp_packet_set_length 0",
                                                 "control 0x32000d", "mpp_packet_deinit"};

TEST_F(Encoder, InitialisationCallsAndKeysFollowTheFixedOrderPerCodingType)
{
    struct Case {
        uint32 reg, colourKind;
        const char* init;
        std::vector<std::string> tail;
    };
    const Case cases[] = {
        {E_CAMERA_RGB_ENC_H264, E_SMARTSENS_SC2210, "mpp_init 1 0x7", concat({kFixQp, kVideoControls})},
        {E_CAMERA_RGB_ENC_H265, E_SMARTSENS_SC2210, "mpp_init 1 0x1000004", concat({kFixQp, kVideoControls})},
        {E_CAMERA_RGB_ENC_MJPEG, E_SMARTSENS_SC2210, "mpp_init 1 0x8",
         {"s32 jpeg:q_factor 80", "s32 jpeg:qf_max 99", "s32 jpeg:qf_min 1", "control 0x320001", "control 0x32000f"}},
        // The JPEG default and the ISP colour sensor both encode MJPEG.
        {E_CAMERA_RGB_ENC_JPEG, E_SMARTSENS_SC2210, "mpp_init 1 0x8", {}},
        {E_CAMERA_RGB_ENC_H264, E_SMARTSENS_SC230AI, "mpp_init 1 0x8", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "register " << c.reg << " colour kind " << c.colourKind);
        r.common().cameraRgbEncType = c.reg;
        r.rgb().sensorType = c.colourKind;
        sim_mpp_clear();
        ASSERT_EQ(sensor_enc_init(r.core, E_DEVICE_ENC, &dev), 0);
        ASSERT_NE(dev, nullptr);
        EXPECT_EQ(epcore_iodev_find(r.core, E_DEVICE_ENC), dev);
        EXPECT_EQ(dev->para, nullptr) << "the sender's record, which goes when it ends, is kept";
        if (!c.tail.empty()) {
            auto want = concat({prefix_calls(), {c.init, "mpp_enc_cfg_init"}, common_keys(), c.tail});
            EXPECT_EQ(mpp_calls(), want);
        } else {
            EXPECT_GE(sim_mpp_call_find(c.init, 0), 0);
            EXPECT_GE(sim_mpp_call_find("s32 jpeg:q_factor 80", 0), 0);
        }
        EXPECT_TRUE(r.log.has("encInfo->rc_mode:2"));
        sensor_enc_uninit(dev);
        dev = nullptr;
        EXPECT_EQ(epcore_iodev_find(r.core, E_DEVICE_ENC), nullptr);
        EXPECT_EQ(sim_mpp_live(), 0);
    }
}

// mpp_enc_setup on its own, for the rate-control modes the device does not
// use itself and for VP8.
TEST_F(Encoder, RateControlModesAndVp8SetTheirOwnKeys)
{
    struct Case {
        uint32 coding;
        int32 mode;
        std::vector<std::string> tail; // after rc:bps_target
        const char* log;
    };
    const std::vector<std::string> qpRange = {"s32 rc:qp_init 26", "s32 rc:qp_max 51", "s32 rc:qp_min 10",
                                              "s32 rc:qp_max_i 51", "s32 rc:qp_min_i 10", "s32 rc:qp_ip 2"};
    const Case cases[] = {
        {MPP_CODING_H264, MPP_RC_CBR, concat({{"s32 rc:bps_max 8262000", "s32 rc:bps_min 7290000"}, qpRange}), nullptr},
        {MPP_CODING_H265, MPP_RC_VBR, concat({{"s32 rc:bps_max 8262000", "s32 rc:bps_min 486000"}, qpRange}), nullptr},
        {MPP_CODING_H264, MPP_RC_AVBR, concat({{"s32 rc:bps_max 8262000", "s32 rc:bps_min 486000"}, qpRange}), nullptr},
        // An unknown mode sets no quantiser and goes straight to the controls.
        {MPP_CODING_H264, 7, {"s32 rc:bps_max 8262000", "s32 rc:bps_min 7290000"}, "unsupport encoder rc mode 7"},
        {MPP_CODING_VP8, MPP_RC_FIXQP,
         {"s32 rc:qp_init 40", "s32 rc:qp_max 127", "s32 rc:qp_min 0", "s32 rc:qp_max_i 127", "s32 rc:qp_min_i 0",
          "s32 rc:qp_ip 6"},
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "coding " << c.coding << " mode " << c.mode);
        ENCInfo e{};
        e.width = e.hor_stride = kW;
        e.height = e.ver_stride = kH;
        e.type = c.coding;
        e.rc_mode = c.mode;
        e.fps_in_num = e.fps_out_num = 30;
        e.fps_in_den = e.fps_out_den = 1;
        e.bps = 7776000;
        ASSERT_EQ(mpp_buffer_group_get(&e.buf_grp, MPP_BUFFER_TYPE_DRM, MPP_BUFFER_INTERNAL), 0);
        ASSERT_EQ(mpp_buffer_get(e.buf_grp, &e.pkt_buf, 4096, "test"), 0);
        ASSERT_EQ(mpp_create(&e.ctx, &e.mpi), 0);
        ASSERT_EQ(mpp_init(e.ctx, MPP_CTX_ENC, c.coding), 0);
        ASSERT_EQ(mpp_enc_cfg_init(&e.cfg), 0);
        size_t from = sim_mpp_call_count();
        EXPECT_EQ(mpp_enc_setup(&e), 0);
        const bool video = c.coding == MPP_CODING_H264 || c.coding == MPP_CODING_H265;
        auto want = concat({common_keys(std::to_string(c.mode).c_str()), c.tail,
                            video ? kVideoControls : std::vector<std::string>{"control 0x320001", "control 0x32000f"}});
        EXPECT_EQ(mpp_calls(from), want);
        EXPECT_TRUE(!c.log || r.log.has(c.log)) << c.log;
        mpp_destroy(e.ctx);
        mpp_enc_cfg_deinit(e.cfg);
        mpp_buffer_put(e.pkt_buf);
        mpp_buffer_group_put(e.buf_grp);
    }
}

TEST(EncoderSize, FrameAndHeaderSizesFollowTheStridesAndFormat)
{
    ENCInfo e{};
    e.width = e.hor_stride = kW;
    e.height = e.ver_stride = kH;
    for (uint32 fmt : {MPP_FMT_YUV420SP, MPP_FMT_YUV420P}) {
        e.format = fmt;
        ASSERT_EQ(sensor_enc_sizeInfo(&e), 0);
        EXPECT_EQ(e.frame_size, kInput) << "strides aligned up to 64";
        EXPECT_EQ(e.header_size, 0u);
    }
    // A compressed layout adds its header, rounded up to whole 4 KiB pages.
    e.format = MPP_FMT_YUV420SP | 0x00100000u;
    ASSERT_EQ(sensor_enc_sizeInfo(&e), 0);
    EXPECT_EQ(e.header_size, 131072u); // 1920 x 1088 / 16 = 130560
    e.format = 1; // not 4:2:0
    EXPECT_EQ(sensor_enc_sizeInfo(&e), -1);
}

TEST_F(Encoder, PictureReachesTheSenderAsThePacketLabelledByTheRegister)
{
    struct Case {
        uint32 reg, coding, imageType;
    };
    const Case cases[] = {
        {E_CAMERA_RGB_ENC_H264, MPP_CODING_H264, E_IMAGE_TYPE_H264},
        {E_CAMERA_RGB_ENC_H265, MPP_CODING_H265, E_IMAGE_TYPE_H265},
        {E_CAMERA_RGB_ENC_MJPEG, MPP_CODING_MJPEG, E_IMAGE_TYPE_MJPEG},
        {E_CAMERA_RGB_ENC_JPEG, MPP_CODING_MJPEG, E_IMAGE_TYPE_JPEG},
        {7, MPP_CODING_MJPEG, E_IMAGE_TYPE_JPEG},
    };
    uint8 seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "register " << c.reg);
        r.common().cameraRgbEncType = c.reg;
        sim_mpp_clear();
        start();
        ImageInfo* img = camera_frame(kW, kH, kNv12, seed++);
        std::vector<uint8> want = expected_packet(c.coding, img->imageData);
        queue(img);
        ASSERT_TRUE(wait_until([&] { return listed() == 1; }));
        ImageInfo* out = frame_take(gvsp);
        EXPECT_EQ(out, img) << "the producer's own frame travels on";
        EXPECT_EQ(out->imageType, c.imageType);
        EXPECT_EQ(out->sensorIndex, 0u);
        EXPECT_EQ(out->pixelFormat, 0x01100003u);
        EXPECT_EQ(std::make_pair(out->timeStampH, out->timeStampL), std::make_pair(1234u, 5678u));
        ASSERT_EQ(out->imageSize, want.size());
        EXPECT_EQ(std::vector<uint8>(out->imageData, out->imageData + out->imageSize), want);
        free_image(r.core, out);
        stop();
        EXPECT_EQ(sim_mpp_live(), 0);
        EXPECT_TRUE(r.log.has("end enc task"));
    }
}

TEST_F(Encoder, WithTheColourStreamOffPicturesAreEncodedAndReleased)
{
    r.common().enableRgb = 0;
    start();
    for (int i = 0; i < 2; i++) queue(camera_frame(kW, kH, kNv12));
    ASSERT_TRUE(encoded(2));
    ASSERT_TRUE(idle());
    EXPECT_EQ(count_of(mpp_calls(), "encode_put_frame"), 2u);
    EXPECT_EQ(listed(), 0);
    EXPECT_EQ(fetched(), 0);
}

TEST_F(Encoder, FramesItCannotEncodeGoBackUnencoded)
{
    start();
    queue(camera_frame(1280, 960, 1280 * 960 * 3 / 2));
    // A picture of the right size whose bytes would overrun the input buffer.
    queue(camera_frame(kW, kH, kUyvy));
    ASSERT_TRUE(wait_until([&] { return fetched() == 0; }));
    ASSERT_TRUE(idle());
    EXPECT_TRUE(r.log.has("encInfo->width:1920 encInfo->height:1080 width:1280 height:960"));
    EXPECT_TRUE(r.log.has("exceeds the encoder input"));
    EXPECT_EQ(count_of(mpp_calls(), "encode_put_frame"), 0u);
    EXPECT_EQ(listed(), 0);

    // The encoder goes on with the next good picture.
    queue(camera_frame(kW, kH, kNv12));
    ASSERT_TRUE(wait_until([&] { return listed() == 1; }));
}

TEST_F(Encoder, AUyvyPictureIsConvertedIntoTheInputNotCopiedPastIt)
{
    start();
    ImageInfo* img = camera_frame(kW, kH, kUyvy);
    img->pixelFormat = ENC_PIXEL_UYVY;
    std::vector<uint8> nv12(kNv12 + kW * 8 * 3 / 2, 0);
    sensor_enc_uyvy_to_nv12(img->imageData, nv12.data(), kW, kH, kW, kH);
    // Luma is every second byte; chroma pairs come from the even rows.
    EXPECT_EQ(nv12[0], img->imageData[1]);
    EXPECT_EQ(nv12[1], img->imageData[3]);
    EXPECT_EQ(nv12[kW * kH], img->imageData[0]);
    EXPECT_EQ(nv12[kW * kH + 1], img->imageData[2]);
    EXPECT_EQ(nv12[kW * kH + kW], img->imageData[2 * kW * 2]);
    std::vector<uint8> want = expected_packet(MPP_CODING_H264, nv12.data());
    queue(img);
    ASSERT_TRUE(wait_until([&] { return listed() == 1; }));
    EXPECT_FALSE(r.log.has("exceeds the encoder input"));
    auto* out = static_cast<ImageInfo*>(lt_first(gvsp->data_list));
    ASSERT_EQ(out->imageSize, want.size());
    EXPECT_EQ(memcmp(out->imageData, want.data(), want.size()), 0);
}

TEST_F(Encoder, AFrameWhosePacketNeverComesGoesBackToItsPool)
{
    start();
    sim_mpp_fail_nth("encode_get_packet", 1);
    queue(camera_frame(kW, kH, kNv12));
    ASSERT_TRUE(encoded(1));
    ASSERT_TRUE(wait_until([&] { return fetched() == 0; })) << "the frame stayed out of its pool";
    EXPECT_EQ(listed(), 0);
    EXPECT_TRUE(r.log.has("no packet for frame, released"));

    // A refused frame likewise, and its packet object is not left behind.
    long live = sim_mpp_live();
    sim_mpp_fail_nth("encode_put_frame", 1);
    queue(camera_frame(kW, kH, kNv12));
    ASSERT_TRUE(wait_until([&] { return fetched() == 0; }));
    EXPECT_EQ(sim_mpp_live(), live);

    queue(camera_frame(kW, kH, kNv12));
    ASSERT_TRUE(wait_until([&] { return listed() == 1; }));
}

TEST_F(Encoder, FailedInitialisationLeavesNoDeviceAndEndsTheWorker)
{
    // Out of memory for the state: a failure, not a success without a device.
    kmem_fail_after(0);
    int rc = sensor_enc_init(r.core, E_DEVICE_ENC, &dev);
    kmem_fail_after(-1);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(dev, nullptr);

    for (const char* call : {"mpp_buffer_group_get", "mpp_buffer_get", "mpp_create", "mpp_init", "control"}) {
        SCOPED_TRACE(call);
        sim_mpp_fail_nth(call, 1);
        EXPECT_EQ(sensor_enc_init(r.core, E_DEVICE_ENC, &dev), -1);
        EXPECT_EQ(dev, nullptr);
        EXPECT_EQ(sim_mpp_live(), 0);
    }
    EXPECT_TRUE(r.log.has("mpp_buffer_group_get_internal fail."));
    EXPECT_TRUE(r.log.has("mpp_buffer_get fail."));
    EXPECT_TRUE(r.log.has("mpp_create fail."));
    EXPECT_EQ(epcore_iodev_find(r.core, E_DEVICE_ENC), nullptr);

    // Without the stream sender the task gives up and ends, and frames
    // already queued go back.
    worker_thread_del(r.core, gvsp);
    ASSERT_EQ(worker_create(r.core, E_WORKER_ID_ENC, sensor_enc_task), 0);
    EXPECT_TRUE(wait_until([&] { return encoder() == nullptr; }));
    worker_thread_add(r.core, gvsp);
    EXPECT_TRUE(r.log.has("epcore_worker_find fail."));
    EXPECT_TRUE(r.log.has("sensor_enc_init fail."));
    EXPECT_EQ(epcore_iodev_find(r.core, E_DEVICE_ENC), nullptr);
}

TEST_F(Encoder, CallbackEncodesASenderFrameIntoANewColourFrame)
{
    ASSERT_EQ(sensor_enc_init(r.core, E_DEVICE_ENC, &dev), 0);
    EXPECT_EQ(dev->callback(r.core, dev, 0, dev->fdtype), 0) << "no frame: nothing to do";
    ImageInfo* img = camera_frame(kW, kH, kNv12);
    std::vector<uint8> want = expected_packet(MPP_CODING_H264, img->imageData);
    append(gvsp, img);
    EXPECT_EQ(dev->callback(r.core, dev, 0, dev->fdtype), 0);
    EXPECT_EQ(bpool_fetched_num(r.core->raw), 0) << "the camera frame went back";
    ImageInfo* out = frame_take(gvsp);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->memType, (uint32)E_MEMTYPE_RGB);
    EXPECT_EQ(out->imageType, (uint32)E_IMAGE_TYPE_H264);
    EXPECT_EQ(std::vector<uint8>(out->imageData, out->imageData + out->imageSize), want);
    free_image(r.core, out);
}

constexpr const char* kColour = "m00_b_sc130gs 4-0030";

struct ColourOps : ::testing::Test {
    regtest::RegSpace r;
    iodev_t dev{};

    void SetUp() override
    {
        sim_sensor_state_t st{};
        ASSERT_EQ(sim_sensor_state(kColour, &st), 0);
        dev.subdevFd = plat_open(st.subdev, O_RDWR);
        ASSERT_GE(dev.subdevFd, 0);
        dev.fd = -1;
        dev.cbpara = r.core;
        sim_sensor_log_clear(kColour);
    }
    void TearDown() override
    {
        if (dev.subdevFd >= 0) plat_close(dev.subdevFd);
    }
    void line_length(unsigned v)
    {
        sim_sensor_set_reg(kColour, 0x320C, v >> 8);
        sim_sensor_set_reg(kColour, 0x320D, v & 0xFF);
    }
    unsigned sreg(unsigned addr)
    {
        unsigned v = 0;
        sim_sensor_get_reg(kColour, addr, &v);
        return v;
    }
    // What the sensor was told since the log was cleared, as "kind:addr=value" (hex).
    std::vector<std::string> told()
    {
        std::vector<std::string> out;
        for (size_t i = 0, n = sim_sensor_log_count(kColour); i < n; i++) {
            sim_sensor_write_t w;
            if (sim_sensor_log_get(kColour, i, &w) != 0) continue;
            char line[64];
            const char* kind = w.kind == SIM_SENSOR_REG ? "reg" : w.kind == SIM_SENSOR_CTRL ? "ctrl"
                               : w.kind == SIM_SENSOR_SYNC ? "sync" : "other";
            snprintf(line, sizeof(line), "%s:%x=%x", kind, (unsigned)w.addr, (unsigned)w.value);
            out.emplace_back(line);
        }
        sim_sensor_log_clear(kColour);
        return out;
    }
};

using Told = std::vector<std::string>;

TEST_F(ColourOps, RegistersAndControlsReachTheSubDevice)
{
    EXPECT_EQ(sensor_enc_write_reg(&dev, 0x3301, 0x1234), 0);
    uint16_t v = 0;
    EXPECT_EQ(sensor_enc_read_reg(&dev, 0x3301, &v), 0);
    EXPECT_EQ(v, 0x34) << "only the low byte reaches the sensor";
    EXPECT_EQ(told(), (Told{"reg:3301=34"}));

    EXPECT_EQ(sensor_enc_set_vfilp(&dev, 1), 0);
    EXPECT_EQ(sensor_enc_set_hfilp(&dev, 0), 0);
    EXPECT_EQ(sensor_enc_set_gain(&dev, 400), 0);
    EXPECT_EQ(told(), (Told{"ctrl:980915=1", "ctrl:980914=0", "ctrl:9e0903=190"}));
    uint32_t got = 7;
    EXPECT_EQ(sensor_enc_get_vfilp(&dev, &got), 0);
    EXPECT_EQ(got, 1u);
    EXPECT_TRUE(r.log.has("ctrl.value:1"));
    EXPECT_EQ(sensor_enc_get_hfilp(&dev, &got), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(sensor_enc_get_gain(&dev, &got), 0);
    EXPECT_EQ(got, 400u);

    // Without a sub-device every request fails and getters leave 0.
    iodev_t none{};
    none.subdevFd = -1;
    got = 7;
    EXPECT_EQ(sensor_enc_get_gain(&none, &got), -1);
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(r.log.has("VIDIOC_G_CTRL:"));
    EXPECT_EQ(sensor_enc_set_gain(&none, 1), -1);
    EXPECT_TRUE(r.log.has("VIDIOC_S_CTRL:"));
    EXPECT_NE(sensor_enc_read_reg(&none, 0x3301, &v), 0);
    EXPECT_EQ(v, 0);
}

TEST_F(ColourOps, ExposureIsLinesOfTheDoubledLineLength)
{
    line_length(1100); // 2200 clocks a line
    told();
    EXPECT_EQ(sensor_enc_set_integration(&dev, 10000), 0);
    // 10 ms x 148.5 MHz / 2200 = 675 lines; 2 s is 135000 lines, more than
    // 16 bits hold: the longest exposure, as on the colour capture.
    EXPECT_EQ(sensor_enc_set_integration(&dev, 2000000), 0);
    // Bit 15 of the line length is not part of it.
    line_length(0x8000 | 1100);
    EXPECT_EQ(sensor_enc_set_integration(&dev, 10000), 0);
    EXPECT_EQ(told(), (Told{"ctrl:980911=2a3", "ctrl:980911=ffff", "ctrl:980911=2a3"}));
    uint32_t lines = 0;
    EXPECT_EQ(sensor_enc_get_integration(&dev, &lines), 0);
    EXPECT_EQ(lines, 675u);

    // Lines of no length count as the shortest line: the exposure saturates.
    line_length(0x8000);
    told();
    EXPECT_EQ(sensor_enc_set_integration(&dev, 10000), 0);
    EXPECT_EQ(told(), Told{"ctrl:980911=ffff"});
}

TEST_F(ColourOps, FrameRateWritesHalfTheFrameLengthInFifteenBits)
{
    line_length(1100);
    told();
    // 148.5 MHz / (2200 x 30) = 2250 lines: 1125 (0x465) in the registers.
    EXPECT_EQ(sensor_enc_set_fps(&dev, 30), 0);
    EXPECT_EQ(told(), (Told{"reg:320e=4", "reg:320f=65"}));
    uint32_t fps = 0;
    EXPECT_EQ(sensor_enc_get_fps(&dev, &fps), 0);
    EXPECT_EQ(fps, 30u);

    // 74,250,000 lines: half of it is more than 15 bits hold, so it saturates.
    line_length(1);
    told();
    EXPECT_EQ(sensor_enc_set_fps(&dev, 1), 0);
    EXPECT_EQ(told(), (Told{"reg:320e=7f", "reg:320f=ff"}));

    // A rate of 0 counts as 1, as on the colour capture: 148.5 MHz / 8800
    // is 16875 lines, 8437 (0x20F5) in the registers, read back as rate 1.
    line_length(4400);
    told();
    EXPECT_EQ(sensor_enc_set_fps(&dev, 0), 0);
    EXPECT_EQ(told(), (Told{"reg:320e=20", "reg:320f=f5"}));
    fps = 9;
    EXPECT_EQ(sensor_enc_get_fps(&dev, &fps), 0);
    EXPECT_EQ(fps, 1u);
}

TEST_F(ColourOps, ModeSwitchWritesTheModeRegistersAndTheSyncMode)
{
    EXPECT_EQ(sensor_enc_switch_mode(&dev, 1), 0);
    EXPECT_EQ(told(), (Told{"reg:3234=b0", "reg:3228=60", "reg:320e=3f", "sync:0=3"}));
    for (uint32_t mode : {0u, 2u}) {
        EXPECT_EQ(sensor_enc_switch_mode(&dev, mode), 0);
        EXPECT_EQ(told(), (Told{"reg:3234=30", "reg:3228=40", "reg:320e=2", "sync:0=0"})) << mode;
    }

    sim_sensor_state_t st{};
    ASSERT_EQ(sim_sensor_state(kColour, &st), 0);
    ASSERT_EQ(sim_fail_nth(st.subdev, SIM_REQ_IOCTL, 4, EIO), 0);
    EXPECT_EQ(sensor_enc_switch_mode(&dev, 1), -1);
    EXPECT_TRUE(r.log.has("RKMODULE_SET_SYNC_MODE fail."));
    // A register write that fails is a failed switch too.
    ASSERT_EQ(sim_fail_nth(st.subdev, SIM_REQ_IOCTL, 2, EIO), 0);
    EXPECT_EQ(sensor_enc_switch_mode(&dev, 1), -1);
    sim_faults_clear();
}

TEST_F(ColourOps, CompressedPicturesSwitchTheIlluminatorThroughTheDelayAction)
{
    ASSERT_TRUE(pumptest::start_pumps(r.core, 1));
    auto put = [](uint32_t a, uint32_t v) { Custom_RegWrite(a, &v); };
    auto get = [](uint32_t a) {
        uint32_t v = 0;
        Custom_RegRead(a, &v);
        return v;
    };
    r.rgb().targetBrightLevel = 80;
    std::vector<uint8_t> jpeg(512, 0x55);
    jpeg[0] = 0xFF, jpeg[1] = 0xD8;
    ImageInfo* img = static_cast<ImageInfo*>(kzalloc(sizeof(ImageInfo) + jpeg.size()));
    ASSERT_NE(img, nullptr);
    img->width = kW, img->height = kH, img->imageSize = (uint32)jpeg.size();
    memcpy(img->imageData, jpeg.data(), jpeg.size());
    sensor_enc_auto_exposure_reset();
    sim_journal_clear();

    // Lit: the exposure is kept within 11 ms.
    put(0x10001050, 20000);
    EXPECT_EQ(sensor_enc_auto_exposure(&dev, img), 0);
    EXPECT_EQ(get(0x10001050), 11000u);
    // Five pictures at the floor switch the illuminator off.
    put(0x10001050, 8);
    for (int i = 0; i < 4; i++) EXPECT_EQ(sensor_enc_auto_exposure(&dev, img), 0);
    EXPECT_EQ(sensor_enc_auto_exposure(&dev, img), 1);
    EXPECT_GE(sim_journal_find("echo 0 > /sys/class/pwm/pwmchip1/pwm0/enable", 0), 0);

    // Unlit: up to 35 ms in its own register; the first picture writes nothing.
    put(0x1000105c, 40000);
    EXPECT_EQ(sensor_enc_auto_exposure(&dev, img), 0);
    EXPECT_EQ(get(0x1000105c), 40000u);
    for (int i = 0; i < 3; i++) EXPECT_EQ(sensor_enc_auto_exposure(&dev, img), 0);
    EXPECT_EQ(get(0x1000105c), 35000u);
    EXPECT_EQ(get(0x10001050), 8u) << "the lit exposure stays";
    // The fifth at the limit pauses the trigger and lights the illuminator
    // through the encoder's delay action.
    size_t from = sim_journal_count();
    EXPECT_EQ(sensor_enc_auto_exposure(&dev, img), 1);
    EXPECT_TRUE(r.log.has("delayTime:40"));
    EXPECT_GE(sim_journal_find("echo 0 > /sys/class/pwm/pwmchip0/pwm0/enable", from), 0);
    EXPECT_GE(sim_journal_find("echo 1 > /sys/class/pwm/pwmchip0/pwm0/enable", from), 0);
    EXPECT_GE(sim_journal_wait("echo 1 > /sys/class/pwm/pwmchip1/pwm0/enable", from, 5000), 0);
    EXPECT_TRUE(wait_until([&] { return r.log.has("sensor_enc_delay"); }));

    sensor_delay_cancel();
    sensor_enc_auto_exposure_reset();
    kfree(img);
    r.core->quit.store(1);
    epcore_stop_evpump(r.core);
}

} // namespace
