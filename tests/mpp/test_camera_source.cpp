// Camera source on the simulated ISP main path of the rk3568-v23 board:
// buffers cycle through get/put, each is the same memory in the encoder
// library (imported from its DMA export), indexes that name no buffer are
// refused, busy or interrupted requests are retried, and every way out of
// init and deinit leaves no descriptor, mapping or library object behind.
#include "mpp/camera_source.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>

#include <fstream>
#include <string>

#include <linux/videodev2.h>

#include "algo/algotest.h"
#include "platform.h"
#include "platform/boardroot.h"
#include "simboard.h"

namespace {

constexpr const char* kVideo = "/dev/video4"; // rkisp_mainpath
constexpr uint32_t kW = 1920, kH = 1080;

int open_descriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) n++;
        closedir(d);
    }
    return n;
}

// Mappings of the video buffers' memory in this process.
int buffer_mappings()
{
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);) n += line.find("korvid-v4l2") != std::string::npos;
    return n;
}

bool all_zero(const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

struct Source : ::testing::Test {
    algotest::LogCapture log;
    BoardRoot board{"rk3568-v23"};
    int fds = 0;

    void SetUp() override
    {
        ASSERT_EQ(board.rc, 0);
        sim_mpp_clear();
        sim_camera_set_mode(kVideo, SIM_CAMERA_STEPPED);
        fds = open_descriptors();
    }
    void TearDown() override
    {
        EXPECT_EQ(open_descriptors(), fds) << "descriptors left open";
        EXPECT_EQ(buffer_mappings(), 0) << "buffer mappings left";
        EXPECT_EQ(sim_mpp_live(), 0) << "library objects left";
        sim_faults_clear();
        sim_mpp_clear();
    }
    uint32_t node_fourcc()
    {
        int fd = plat_open(kVideo, O_RDWR);
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
        int rc = plat_ioctl(fd, VIDIOC_G_FMT, &f);
        plat_close(fd);
        return rc == 0 ? f.fmt.pix_mp.pixelformat : 0;
    }
    // The init that fails leaves nothing and logs `message`.
    void expect_init_fails(const char* device, const char* message, uint32_t bufcnt = 4)
    {
        EXPECT_EQ(camera_source_init(device, bufcnt, kW, kH, MPP_FMT_YUV420SP), nullptr);
        EXPECT_TRUE(log.has(message)) << message;
        EXPECT_EQ(open_descriptors(), fds) << message;
        EXPECT_EQ(buffer_mappings(), 0) << message;
        EXPECT_EQ(sim_mpp_live(), 0) << message;
    }
};

TEST_F(Source, FramesCycleThroughBuffersSharedWithTheLibrary)
{
    CamSource* cs = camera_source_init(kVideo, 4, kW, kH, MPP_FMT_YUV420SP);
    ASSERT_NE(cs, nullptr);
    EXPECT_TRUE(log.has("get width 1920 height 1080"));
    EXPECT_TRUE(log.has("get dma buf(3)-fd: "));
    EXPECT_EQ(sim_mpp_call_find("mpp_buffer_import 3110400 3", 0) >= 0, true);
    EXPECT_EQ(sim_mpp_live(), 4);
    // The node's mapping, ours and the library's of each buffer.
    EXPECT_EQ(buffer_mappings(), 12);
    EXPECT_EQ(node_fourcc(), (uint32_t)V4L2_PIX_FMT_NV12);

    const size_t bytes = kW * kH * 3 / 2;
    auto memory = [&](int idx) { return static_cast<const uint8_t*>(mpp_buffer_get_ptr(camera_frame_to_buf(cs, idx))); };
    for (int i = 0; i < 4; i++) ASSERT_TRUE(memory(i) && all_zero(memory(i), bytes));

    ASSERT_EQ(sim_camera_step(kVideo, 1), 1);
    int idx = camera_source_get_frame(cs);
    ASSERT_EQ(idx, 0);
    EXPECT_FALSE(all_zero(memory(0), bytes)) << "the camera's picture is in the library's buffer";
    EXPECT_TRUE(all_zero(memory(1), bytes));
    EXPECT_EQ(camera_source_put_frame(cs, idx), 0);

    // The requeued buffer comes last: the next three are the others.
    ASSERT_EQ(sim_camera_step(kVideo, 4), 4);
    for (int want : {1, 2, 3, 0}) {
        int got = camera_source_get_frame(cs);
        EXPECT_EQ(got, want);
        EXPECT_EQ(camera_source_put_frame(cs, got), 0);
    }
    EXPECT_EQ(camera_source_deinit(cs), 0);
    EXPECT_EQ(camera_source_deinit(nullptr), -1);
}

TEST_F(Source, IndexesThatNameNoBufferAreRefused)
{
    EXPECT_EQ(camera_source_put_frame(nullptr, -1), 0) << "-1 returns at once, even without a source";
    EXPECT_EQ(camera_source_put_frame(nullptr, 0), -1);
    EXPECT_EQ(camera_source_get_frame(nullptr), -1);
    EXPECT_EQ(camera_frame_to_buf(nullptr, 0), nullptr);

    CamSource* cs = camera_source_init(kVideo, 2, kW, kH, MPP_FMT_YUV420SP);
    ASSERT_NE(cs, nullptr);
    EXPECT_EQ(camera_source_put_frame(cs, -1), 0);
    EXPECT_EQ(camera_frame_to_buf(cs, -1), nullptr);
    EXPECT_NE(camera_frame_to_buf(cs, 1), nullptr);
    EXPECT_EQ(camera_frame_to_buf(cs, 2), nullptr) << "past the last buffer";
    EXPECT_EQ(camera_source_put_frame(cs, 2), -1);
    EXPECT_TRUE(log.has("buffer index out of bounds"));

    // Both buffers are queued: queueing one again is refused by the node.
    EXPECT_EQ(camera_source_put_frame(cs, 0), -1);
    EXPECT_TRUE(log.has("VIDIOC_QBUF"));

    // A node that reports a buffer past the last one.
    sim_camera_set_faults(kVideo, SIM_CAMERA_BAD_INDEX);
    ASSERT_EQ(sim_camera_step(kVideo, 1), 1);
    EXPECT_EQ(camera_source_get_frame(cs), -1);
    sim_camera_set_faults(kVideo, 0);
    EXPECT_EQ(camera_source_deinit(cs), 0);
}

TEST_F(Source, InterruptedAndBusyRequestsAreRetried)
{
    // The format request is interrupted once.
    ASSERT_EQ(sim_fail_nth(kVideo, SIM_REQ_IOCTL, 2, EINTR), 0);
    CamSource* cs = camera_source_init(kVideo, 4, kW, kH, MPP_FMT_YUV420SP);
    ASSERT_NE(cs, nullptr);
    // The dequeue finds the node busy once, then the picture.
    ASSERT_EQ(sim_camera_step(kVideo, 1), 1);
    ASSERT_EQ(sim_fail_nth(kVideo, SIM_REQ_IOCTL, 1, EAGAIN), 0);
    EXPECT_EQ(camera_source_get_frame(cs), 0);
    EXPECT_EQ(camera_source_deinit(cs), 0);
}

TEST_F(Source, FormatsMapToTheirFourccsAndNv12Otherwise)
{
    EXPECT_EQ(camera_source_fourcc(MPP_FMT_YUV420SP), (uint32_t)V4L2_PIX_FMT_NV12);
    EXPECT_EQ(camera_source_fourcc(MPP_FMT_YUV420P), (uint32_t)V4L2_PIX_FMT_YUV420);
    EXPECT_EQ(camera_source_fourcc(MPP_FMT_YUV420SP_VU), (uint32_t)V4L2_PIX_FMT_NV21);
    EXPECT_EQ(camera_source_fourcc(MPP_FMT_YUV422_UYVY), (uint32_t)V4L2_PIX_FMT_UYVY);
    EXPECT_EQ(camera_source_fourcc(MPP_FMT_YUV422_YUYV), (uint32_t)V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(camera_source_fourcc(MPP_FMT_YUV400), (uint32_t)V4L2_PIX_FMT_GREY);
    EXPECT_EQ(camera_source_fourcc(MPP_FMT_YUV444SP), (uint32_t)V4L2_PIX_FMT_NV24);
    EXPECT_EQ(camera_source_fourcc(MPP_FMT_RGB565), (uint32_t)V4L2_PIX_FMT_RGB565);
    EXPECT_EQ(camera_source_fourcc(MPP_FMT_RGB888), (uint32_t)V4L2_PIX_FMT_RGB24);
    EXPECT_EQ(camera_source_fourcc(MPP_FMT_BGR888), (uint32_t)V4L2_PIX_FMT_BGR24);
    EXPECT_EQ(camera_source_fourcc(MPP_FMT_RGBA8888), (uint32_t)V4L2_PIX_FMT_RGBA32);
    // No V4L2 code, or no such format: NV12.
    for (uint32_t f : {MPP_FMT_YUV420SP_10BIT, MPP_FMT_YUV411SP, MPP_FMT_YUV_END, MPP_FMT_BGR565, MPP_FMT_RGB_END,
                       0x20000u, 0xFFFFFFFFu})
        EXPECT_EQ(camera_source_fourcc(f), (uint32_t)V4L2_PIX_FMT_NV12) << std::hex << f;

    // The node takes the mapped format.
    CamSource* cs = camera_source_init(kVideo, 2, kW, kH, MPP_FMT_YUV420P);
    ASSERT_NE(cs, nullptr);
    EXPECT_EQ(node_fourcc(), (uint32_t)V4L2_PIX_FMT_YUV420);
    EXPECT_EQ(camera_source_deinit(cs), 0);
}

TEST_F(Source, EveryFailedInitLeavesNothingBehind)
{
    expect_init_fails("/dev/video99", "Cannot open device");
    expect_init_fails("/dev/v4l-subdev0", "Not v4l2 compatible");

    ASSERT_EQ(sim_fail_nth(kVideo, SIM_REQ_IOCTL, 2, EIO), 0);
    expect_init_fails(kVideo, "VIDIOC_S_FMT");
    ASSERT_EQ(sim_fail_nth(kVideo, SIM_REQ_IOCTL, 3, EIO), 0);
    expect_init_fails(kVideo, "VIDIOC_G_FMT");

    sim_camera_set_faults(kVideo, SIM_CAMERA_REQBUFS2);
    expect_init_fails(kVideo, "Device buffer count mismatch");
    sim_camera_set_faults(kVideo, 0);

    ASSERT_EQ(sim_fail_nth(kVideo, SIM_REQ_IOCTL, 4, EINVAL), 0);
    expect_init_fails(kVideo, "Device does not support mmap");

    ASSERT_EQ(sim_fail_nth(kVideo, SIM_REQ_MMAP, 3, ENOMEM), 0);
    expect_init_fails(kVideo, "Failed to map device frame buffers");
    // Ioctls: capabilities, format set and read, buffers, then per buffer a
    // query and an export: the second export is the 8th.
    ASSERT_EQ(sim_fail_nth(kVideo, SIM_REQ_IOCTL, 8, EINVAL), 0);
    expect_init_fails(kVideo, "get dma buf failed");
    ASSERT_EQ(sim_mpp_fail_nth("mpp_buffer_import", 3), 0);
    expect_init_fails(kVideo, "mpp_buffer_import fail.");
    // After the 4 buffers' 8 requests, the third queueing is the 15th.
    ASSERT_EQ(sim_fail_nth(kVideo, SIM_REQ_IOCTL, 15, EINVAL), 0);
    expect_init_fails(kVideo, "ERROR: VIDIOC_QBUF 2");
    ASSERT_EQ(sim_fail_nth(kVideo, SIM_REQ_IOCTL, 17, EIO), 0);
    expect_init_fails(kVideo, "ERROR: VIDIOC_STREAMON");
    expect_init_fails(kVideo, "Device buffer count mismatch", 0);

    // And the node is whole again afterwards.
    CamSource* cs = camera_source_init(kVideo, 4, kW, kH, MPP_FMT_YUV420SP);
    ASSERT_NE(cs, nullptr);
    EXPECT_EQ(camera_source_deinit(cs), 0);
}

} // namespace
