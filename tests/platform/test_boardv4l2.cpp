// Video capture nodes of the simulated board: the buffer cycle as the
// capture code runs it, under each injected fault, and paced frames.
#include "platform/boardroot.h"
#include "platform/camera.h"

#include <gtest/gtest.h>
#include <errno.h>
#include <sys/epoll.h>

#include "sensor_ioctl.h"

namespace {

// The Gpixel capture node of the RK3588 board ("stream_cif_mipi_id0" of /dev/media1).
constexpr const char* kTofNode = "/dev/video4";

} // namespace

TEST(BoardV4l2, BufferCycleDeliversFramesInQueueOrder)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    run_tof_sensor();
    Capture c(kTofNode);
    ASSERT_GE(c.fd, 0);
    v4l2_capability cap{};
    ASSERT_EQ(plat_ioctl(c.fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_STREQ((const char*)cap.card, "stream_cif_mipi_id0");
    EXPECT_TRUE(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE_MPLANE);
    EXPECT_TRUE(cap.capabilities & V4L2_CAP_STREAMING);
    int mode = 1;
    EXPECT_EQ(plat_ioctl(c.fd, RKCIF_SET_MEMORY_MODE, &mode), 0);

    // The node starts at the sensor's format; the single-planar type is refused.
    v4l2_format f = c.format();
    EXPECT_EQ(f.fmt.pix_mp.width, 1920u);
    EXPECT_EQ(f.fmt.pix_mp.height, 1440u);
    EXPECT_EQ(f.fmt.pix_mp.pixelformat, (uint32_t)V4L2_PIX_FMT_Y12);
    EXPECT_EQ(f.fmt.pix_mp.plane_fmt[0].sizeimage, 1920u * 1440 * 2);
    v4l2_format sp{};
    sp.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(plat_ioctl(c.fd, VIDIOC_G_FMT, &sp), -1);

    ASSERT_EQ(c.start(4), 4);
    EXPECT_FALSE(c.readable(0));
    EXPECT_EQ(c.dequeue(), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(c.queue(0), -1); // already queued

    EXPECT_EQ(sim_camera_step(kTofNode, 2), 2);
    EXPECT_TRUE(c.readable(0));
    uint32_t used = 0;
    EXPECT_EQ(c.dequeue(&used), 0);
    EXPECT_EQ(used, 1920u * 1440 * 2);
    EXPECT_TRUE(c.readable(0)); // the second still waits
    EXPECT_EQ(c.dequeue(), 1);
    EXPECT_FALSE(c.readable(0));

    // Two buffers left queued: a third and fourth frame fill them, a fifth is lost.
    EXPECT_EQ(sim_camera_step(kTofNode, 3), 2);
    EXPECT_EQ(sim_camera_frames(kTofNode), 5);
    EXPECT_EQ(c.dequeue(), 2);
    EXPECT_EQ(c.dequeue(), 3);
    EXPECT_EQ(c.queue(1), 0);
    EXPECT_EQ(sim_camera_step(kTofNode, 1), 1);
    EXPECT_EQ(c.dequeue(), 1);

    // Another opener cannot take the buffers; stream off returns them all.
    int other = plat_open(kTofNode, O_RDWR | O_NONBLOCK);
    v4l2_requestbuffers r{};
    r.count = 4;
    r.type = c.type;
    r.memory = V4L2_MEMORY_MMAP;
    EXPECT_EQ(plat_ioctl(other, VIDIOC_REQBUFS, &r), -1);
    EXPECT_EQ(errno, EBUSY);
    plat_close(other);
    EXPECT_EQ(c.queue(0), 0);
    EXPECT_EQ(c.stream(false), 0);
    EXPECT_EQ(c.dequeue(), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(c.queue(0), 0); // every buffer is the caller's again
    EXPECT_EQ(c.set_format(1920, 2880, V4L2_PIX_FMT_Y12), -1); // buffers still held
    EXPECT_EQ(errno, EBUSY);
}

TEST(BoardV4l2, InjectedFaultsBreakTheCycleAsTheBoardWould)
{
    struct Case {
        const char* name;
        unsigned    faults;
        int         mmap_fail; // the nth mapping fails, 0 none
        int         granted;
        uint32_t    bytes;     // of a delivered frame, 0 none delivered
    };
    const uint32_t full = 1920u * 1440 * 2;
    const Case cases[] = {
        {"none", 0, 0, 4, full},
        {"reqbufs grants 2", SIM_CAMERA_REQBUFS2, 0, 2, full},
        {"short frames", SIM_CAMERA_SHORT, 0, 4, full / 2},
        {"time-out", SIM_CAMERA_TIMEOUT, 0, 4, 0},
        {"second mapping fails", 0, 2, 4, full},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        BoardRoot b;
        ASSERT_EQ(b.rc, 0);
        ASSERT_EQ(sim_camera_set_faults(kTofNode, k.faults), 0);
        if (k.mmap_fail) {
            ASSERT_EQ(sim_fail_nth(kTofNode, SIM_REQ_MMAP, (unsigned)k.mmap_fail, ENOMEM), 0);
        }
        run_tof_sensor();
        Capture c(kTofNode);
        int n = c.request(4);
        ASSERT_EQ(n, k.granted);
        for (int i = 0; i < n; i++) {
            bool mapped = c.map((uint32_t)i);
            EXPECT_EQ(mapped, i + 1 != k.mmap_fail) << i;
            ASSERT_EQ(c.queue((uint32_t)i), 0);
        }
        ASSERT_EQ(c.stream(true), 0);
        int delivered = sim_camera_step(kTofNode, 1);
        EXPECT_EQ(delivered, k.bytes ? 1 : 0);
        EXPECT_EQ(c.readable(0), k.bytes != 0);
        uint32_t used = 0;
        int i = c.dequeue(&used);
        if (k.bytes) {
            EXPECT_EQ(i, 0);
            EXPECT_EQ(used, k.bytes);
        } else {
            EXPECT_EQ(i, -1);
            EXPECT_EQ(errno, EAGAIN);
        }
        // The fault cleared, frames flow again.
        ASSERT_EQ(sim_camera_set_faults(kTofNode, 0), 0);
        EXPECT_EQ(sim_camera_step(kTofNode, 1), 1);
        EXPECT_GE(c.dequeue(&used), 0);
        EXPECT_EQ(used, full);
    }
    EXPECT_EQ(sim_camera_step("/dev/video-none", 1), -1);
}

TEST(BoardV4l2, PacedNodeBecomesReadableOnItsOwn)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    run_tof_sensor();
    Capture c(kTofNode);
    ASSERT_EQ(sim_camera_set_mode(kTofNode, SIM_CAMERA_PACED), 0);
    ASSERT_EQ(c.start(4), 4);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{}, got{};
    ev.events = EPOLLIN;
    ev.data.fd = c.fd;
    ASSERT_EQ(epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev), 0);
    // A handful of frames at the sensor's rate, each requeued.
    for (int frame = 0; frame < 3; frame++) {
        ASSERT_EQ(epoll_wait(ep, &got, 1, 10000), 1);
        int i;
        while ((i = c.dequeue()) >= 0) EXPECT_EQ(c.queue((uint32_t)i), 0);
        EXPECT_EQ(errno, EAGAIN);
    }
    close(ep);
    // Switching to stepped stops the flow; closing with the thread running is clean.
    ASSERT_EQ(sim_camera_set_mode(kTofNode, SIM_CAMERA_STEPPED), 0);
}
