// A capture node driven as korvid's capture code drives it: the format,
// buffers requested and mapped, all queued, streaming in stepped mode;
// released at the end.
#ifndef KORVID_TESTS_CAMERA_H
#define KORVID_TESTS_CAMERA_H

#include "platform.h"
#include "simboard.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <string.h>
#include <sys/mman.h>

#include <string>
#include <vector>

// Leaves the board's ToF sensor as its driver's start sequence does (Gpixel
// run control, IMX570 streaming, VD55H1 frame period), for tests that read
// its node without a driver; a sensor takes no frame before that.
inline void run_tof_sensor()
{
    for (const char* g : {"m01_b_Gpixel0503 5-0010", "m01_b_Gpixel0503 3-0010"}) sim_sensor_set_reg(g, 0, 1);
    for (const char* i : {"m01_b_imx570 3-0010", "m01_b_imx570 5-0010"}) sim_sensor_set_reg(i, 4097, 1);
    for (const char* v : {"m01_b_VD55H1 5-0010", "m01_b_VD55H1 3-0010"}) {
        sim_sensor_set_reg(v, 1600, 0x7F); // 30 frames per second
        sim_sensor_set_reg(v, 1601, 0x12);
    }
}

struct Capture {
    std::string                        path;
    int                                fd = -1;
    uint32_t                           type = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    std::vector<std::pair<void*, size_t>> maps;

    explicit Capture(const std::string& node) : path(node)
    {
        fd = plat_open(node.c_str(), O_RDWR | O_NONBLOCK);
        v4l2_capability cap{};
        if (fd >= 0 && plat_ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0 && !(cap.device_caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE))
            type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        sim_camera_set_mode(node.c_str(), SIM_CAMERA_STEPPED);
    }
    ~Capture()
    {
        for (auto& m : maps)
            if (m.first != MAP_FAILED) plat_munmap(m.first, m.second);
        if (fd >= 0) plat_close(fd);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    bool mplane() const { return type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE; }

    v4l2_format format()
    {
        v4l2_format f{};
        f.type = type;
        plat_ioctl(fd, VIDIOC_G_FMT, &f);
        return f;
    }
    int set_format(uint32_t w, uint32_t h, uint32_t pixfmt)
    {
        v4l2_format f{};
        f.type = type;
        if (mplane()) {
            f.fmt.pix_mp.width = w, f.fmt.pix_mp.height = h, f.fmt.pix_mp.pixelformat = pixfmt;
        } else {
            f.fmt.pix.width = w, f.fmt.pix.height = h, f.fmt.pix.pixelformat = pixfmt;
        }
        return plat_ioctl(fd, VIDIOC_S_FMT, &f);
    }
    // Returns the count granted, or -1.
    int request(uint32_t count)
    {
        v4l2_requestbuffers r{};
        r.count = count;
        r.type = type;
        r.memory = V4L2_MEMORY_MMAP;
        return plat_ioctl(fd, VIDIOC_REQBUFS, &r) == 0 ? (int)r.count : -1;
    }
    void prepare(v4l2_buffer* b, v4l2_plane* plane, uint32_t index)
    {
        memset(b, 0, sizeof(*b));
        memset(plane, 0, sizeof(*plane));
        b->type = type;
        b->memory = V4L2_MEMORY_MMAP;
        b->index = index;
        if (mplane()) {
            b->m.planes = plane;
            b->length = 1;
        }
    }
    // Maps buffer `index`; false when the mapping fails.
    bool map(uint32_t index)
    {
        v4l2_buffer b;
        v4l2_plane pl;
        prepare(&b, &pl, index);
        if (plat_ioctl(fd, VIDIOC_QUERYBUF, &b) != 0) return false;
        size_t len = mplane() ? pl.length : b.length;
        off_t off = mplane() ? pl.m.mem_offset : b.m.offset;
        void* p = plat_mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off);
        if (maps.size() <= index) maps.resize(index + 1, {MAP_FAILED, 0});
        maps[index] = {p, len};
        return p != MAP_FAILED;
    }
    int queue(uint32_t index)
    {
        v4l2_buffer b;
        v4l2_plane pl;
        prepare(&b, &pl, index);
        return plat_ioctl(fd, VIDIOC_QBUF, &b);
    }
    // Dequeues a filled buffer: its index, or -1 (errno set).
    int dequeue(uint32_t* bytesused = nullptr)
    {
        v4l2_buffer b;
        v4l2_plane pl;
        prepare(&b, &pl, 0);
        if (plat_ioctl(fd, VIDIOC_DQBUF, &b) != 0) return -1;
        if (bytesused) *bytesused = mplane() ? pl.bytesused : b.bytesused;
        return (int)b.index;
    }
    int stream(bool on)
    {
        uint32_t t = type;
        return plat_ioctl(fd, on ? VIDIOC_STREAMON : VIDIOC_STREAMOFF, &t);
    }
    // Buffers requested, mapped and queued, streaming. Returns the count.
    int start(uint32_t count = 4)
    {
        int n = request(count);
        for (int i = 0; i < n; i++)
            if (!map((uint32_t)i) || queue((uint32_t)i) != 0) return -1;
        return n > 0 && stream(true) == 0 ? n : -1;
    }
    bool readable(int timeout_ms)
    {
        pollfd p = {fd, POLLIN, 0};
        return plat_poll(&p, 1, timeout_ms) == 1;
    }
    // One stepped frame, dequeued: its bytes (empty when none came).
    std::vector<uint8_t> grab()
    {
        if (sim_camera_step(path.c_str(), 1) != 1) return {};
        uint32_t used = 0;
        int i = dequeue(&used);
        if (i < 0) return {};
        const uint8_t* p = static_cast<const uint8_t*>(maps[(size_t)i].first);
        std::vector<uint8_t> out(p, p + used);
        queue((uint32_t)i);
        return out;
    }
};

#endif
