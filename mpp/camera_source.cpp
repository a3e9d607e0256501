// V4L2 capture source whose buffers the encoder reads in place.
#include "mpp/camera_source.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>

#include <iterator>
#include <new>
#include <vector>

#include <linux/videodev2.h>

#include "common/common.h"
#include "log/logger.h"
#include "platform.h"
#include "sensor/v4l2_capture.h"

namespace {

constexpr unsigned long kRetryMs = 10;
// More buffers than any capture node grants.
constexpr uint32_t kMaxBuffers = 32;

// MPP YUV layouts (by their number) in V4L2; 0 where V4L2 has no code.
constexpr uint32_t kYuvFourcc[] = {
    V4L2_PIX_FMT_NV12,    // YUV420SP
    0,                    // YUV420SP_10BIT
    V4L2_PIX_FMT_NV16,    // YUV422SP
    0,                    // YUV422SP_10BIT
    V4L2_PIX_FMT_YUV420,  // YUV420P
    V4L2_PIX_FMT_NV21,    // YUV420SP_VU
    V4L2_PIX_FMT_YUV422P, // YUV422P
    V4L2_PIX_FMT_NV61,    // YUV422SP_VU
    V4L2_PIX_FMT_YUYV,    // YUV422_YUYV
    V4L2_PIX_FMT_YVYU,    // YUV422_YVYU
    V4L2_PIX_FMT_UYVY,    // YUV422_UYVY
    V4L2_PIX_FMT_VYUY,    // YUV422_VYUY
    V4L2_PIX_FMT_GREY,    // YUV400
    0,                    // YUV440SP
    0,                    // YUV411SP
    V4L2_PIX_FMT_NV24,    // YUV444SP
};
static_assert(std::size(kYuvFourcc) == MPP_FMT_YUV_END, "one entry per YUV layout");

// MPP RGB layouts (from MPP_FMT_RGB_BASE) in V4L2.
constexpr uint32_t kRgbFourcc[] = {
    V4L2_PIX_FMT_RGB565, // RGB565
    0,                   // BGR565
    V4L2_PIX_FMT_RGB555, // RGB555
    0,                   // BGR555
    V4L2_PIX_FMT_RGB444, // RGB444
    0,                   // BGR444
    V4L2_PIX_FMT_RGB24,  // RGB888
    V4L2_PIX_FMT_BGR24,  // BGR888
    0,                   // RGB101010
    0,                   // BGR101010
    V4L2_PIX_FMT_ARGB32, // ARGB8888
    V4L2_PIX_FMT_ABGR32, // ABGR8888
    V4L2_PIX_FMT_BGRA32, // BGRA8888
    V4L2_PIX_FMT_RGBA32, // RGBA8888
};
static_assert(std::size(kRgbFourcc) == MPP_FMT_RGB_END - MPP_FMT_RGB_BASE, "one entry per RGB layout");

struct CamBuffer {
    void*        start = nullptr; // the node's mapping
    size_t       length = 0;
    mpp_buffer_t buffer = nullptr; // the same memory in the library
};

// A node that is busy or interrupted is asked again a moment later.
int xioctl(int fd, unsigned long request, void* arg)
{
    int rc;
    while ((rc = plat_ioctl(fd, request, arg)) == -1 && (errno == EINTR || errno == EAGAIN)) wait_ms(kRetryMs);
    return rc;
}

} // namespace

struct CamSource {
    int                    fd = -1;
    uint32_t               type = 0; // single- or multi-planar capture
    uint32_t               width = 0;
    uint32_t               height = 0;
    uint32_t               fourcc = 0;
    bool                   requested = false; // the node holds buffers for us
    bool                   streaming = false;
    std::vector<CamBuffer> bufs;

    bool mplane() const { return type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE; }
    // A buffer record of this node's type; `plane` receives plane 0.
    v4l2_buffer buffer(uint32_t index, v4l2_plane* plane) const
    {
        v4l2_buffer b{};
        b.type = type;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = index;
        if (mplane()) {
            *plane = v4l2_plane{};
            b.m.planes = plane;
            b.length = 1;
        }
        return b;
    }
};

namespace {

void fail(const char* message) { log_error(g_logger, "camera_source_init", __LINE__, "%s", message); }

bool open_node(CamSource* ctx, const char* device)
{
    ctx->fd = device ? plat_open(device, O_RDWR | O_CLOEXEC) : -1;
    if (ctx->fd < 0) {
        fail("Cannot open device\n");
        return false;
    }
    v4l2_capability cap{};
    if (xioctl(ctx->fd, VIDIOC_QUERYCAP, &cap) != 0) {
        fail("Not v4l2 compatible\n");
        return false;
    }
    uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    ctx->type = sensor_capture_type(caps);
    if (!ctx->type) {
        fail("Capture not supported\n");
        return false;
    }
    if (!(caps & V4L2_CAP_STREAMING)) {
        fail("Streaming IO Not Supported\n");
        return false;
    }
    return true;
}

bool set_format(CamSource* ctx, uint32_t width, uint32_t height, uint32_t format)
{
    v4l2_format fmt{};
    fmt.type = ctx->type;
    const uint32_t fourcc = camera_source_fourcc(format);
    if (ctx->mplane()) {
        fmt.fmt.pix_mp.width = width;
        fmt.fmt.pix_mp.height = height;
        fmt.fmt.pix_mp.pixelformat = fourcc;
        fmt.fmt.pix_mp.field = V4L2_FIELD_ANY;
        fmt.fmt.pix_mp.num_planes = 1;
    } else {
        fmt.fmt.pix.width = width;
        fmt.fmt.pix.height = height;
        fmt.fmt.pix.pixelformat = fourcc;
        fmt.fmt.pix.field = V4L2_FIELD_ANY;
    }
    if (xioctl(ctx->fd, VIDIOC_S_FMT, &fmt) != 0) {
        fail("VIDIOC_S_FMT\n");
        return false;
    }
    fmt = v4l2_format{};
    fmt.type = ctx->type;
    if (xioctl(ctx->fd, VIDIOC_G_FMT, &fmt) != 0) {
        fail("VIDIOC_G_FMT\n");
        return false;
    }
    ctx->width = ctx->mplane() ? fmt.fmt.pix_mp.width : fmt.fmt.pix.width;
    ctx->height = ctx->mplane() ? fmt.fmt.pix_mp.height : fmt.fmt.pix.height;
    ctx->fourcc = ctx->mplane() ? fmt.fmt.pix_mp.pixelformat : fmt.fmt.pix.pixelformat;
    log_info(g_logger, "camera_source_init", __LINE__, "get width %d height %d", (int)ctx->width,
             (int)ctx->height);
    return true;
}

bool request_buffers(CamSource* ctx, uint32_t bufcnt)
{
    v4l2_requestbuffers req{};
    req.count = bufcnt;
    req.type = ctx->type;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(ctx->fd, VIDIOC_REQBUFS, &req) != 0) {
        fail("Device does not support mmap\n");
        return false;
    }
    ctx->requested = true;
    if (req.count != bufcnt) {
        // Fewer buffers than asked for would starve the encoder's pipeline.
        fail("Device buffer count mismatch\n");
        return false;
    }
    ctx->bufs.resize(bufcnt);
    return true;
}

// Maps buffer `i` and makes it a library buffer through its DMA export.
bool setup_buffer(CamSource* ctx, uint32_t i)
{
    CamBuffer& cb = ctx->bufs[i];
    v4l2_plane plane;
    v4l2_buffer b = ctx->buffer(i, &plane);
    if (xioctl(ctx->fd, VIDIOC_QUERYBUF, &b) != 0) {
        fail("ERROR: VIDIOC_QUERYBUF\n");
        return false;
    }
    const size_t length = ctx->mplane() ? plane.length : b.length;
    const off_t offset = ctx->mplane() ? plane.m.mem_offset : b.m.offset;
    void* p = plat_mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, ctx->fd, offset);
    if (p == MAP_FAILED || length == 0) {
        if (p != MAP_FAILED) plat_munmap(p, length);
        fail("ERROR: Failed to map device frame buffers\n");
        return false;
    }
    cb.start = p;
    cb.length = length;

    v4l2_exportbuffer x{};
    x.type = ctx->type;
    x.index = i;
    x.plane = 0;
    x.flags = O_CLOEXEC | O_RDWR;
    if (xioctl(ctx->fd, VIDIOC_EXPBUF, &x) != 0) {
        fail("get dma buf failed\n");
        return false;
    }
    log_info(g_logger, "camera_source_init", __LINE__, "get dma buf(%d)-fd: %d\n", (int)i, x.fd);
    mpp_buffer_info_t info{};
    info.type = MPP_BUFFER_TYPE_EXT_DMA;
    info.size = length;
    info.fd = x.fd;
    info.index = (int)i;
    int rc = mpp_buffer_import(&cb.buffer, &info);
    // The library holds its own reference to the export.
    plat_close(x.fd);
    if (rc != 0) {
        cb.buffer = nullptr;
        fail("mpp_buffer_import fail.\n");
        return false;
    }
    return true;
}

bool start(CamSource* ctx)
{
    for (uint32_t i = 0; i < ctx->bufs.size(); i++) {
        v4l2_plane plane;
        v4l2_buffer b = ctx->buffer(i, &plane);
        if (xioctl(ctx->fd, VIDIOC_QBUF, &b) != 0) {
            log_error(g_logger, "camera_source_init", __LINE__, "ERROR: VIDIOC_QBUF %d\n", (int)i);
            return false;
        }
    }
    uint32_t type = ctx->type;
    if (xioctl(ctx->fd, VIDIOC_STREAMON, &type) != 0) {
        fail("ERROR: VIDIOC_STREAMON\n");
        return false;
    }
    ctx->streaming = true;
    return true;
}

} // namespace

uint32_t camera_source_fourcc(uint32_t format)
{
    uint32_t fourcc = 0;
    if (format < MPP_FMT_YUV_END) fourcc = kYuvFourcc[format];
    else if (format >= MPP_FMT_RGB_BASE && format < MPP_FMT_RGB_END) fourcc = kRgbFourcc[format - MPP_FMT_RGB_BASE];
    return fourcc ? fourcc : V4L2_PIX_FMT_NV12;
}

CamSource* camera_source_init(const char* device, uint32_t bufcnt, uint32_t width, uint32_t height,
                              uint32_t format)
{
    if (bufcnt == 0 || bufcnt > kMaxBuffers) {
        fail("Device buffer count mismatch\n");
        return nullptr;
    }
    auto* ctx = new (std::nothrow) CamSource;
    if (!ctx) return nullptr;
    bool ok = open_node(ctx, device) && set_format(ctx, width, height, format) && request_buffers(ctx, bufcnt);
    for (uint32_t i = 0; ok && i < bufcnt; i++) ok = setup_buffer(ctx, i);
    if (ok) ok = start(ctx);
    if (!ok) {
        camera_source_deinit(ctx);
        return nullptr;
    }
    return ctx;
}

int camera_source_get_frame(CamSource* ctx)
{
    if (!ctx) return -1;
    v4l2_plane plane;
    v4l2_buffer b = ctx->buffer(0, &plane);
    if (xioctl(ctx->fd, VIDIOC_DQBUF, &b) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "VIDIOC_DQBUF\n");
        return -1;
    }
    if (b.index >= ctx->bufs.size()) {
        log_error(g_logger, __FUNCTION__, __LINE__, "buffer index out of bounds\n");
        return -1;
    }
    return (int)b.index;
}

int camera_source_put_frame(CamSource* ctx, int idx)
{
    if (idx < 0) return 0;
    if (!ctx) return -1;
    if ((size_t)idx >= ctx->bufs.size()) {
        log_error(g_logger, __FUNCTION__, __LINE__, "buffer index out of bounds\n");
        return -1;
    }
    v4l2_plane plane;
    v4l2_buffer b = ctx->buffer((uint32_t)idx, &plane);
    if (xioctl(ctx->fd, VIDIOC_QBUF, &b) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "VIDIOC_QBUF\n");
        return -1;
    }
    return 0;
}

mpp_buffer_t camera_frame_to_buf(CamSource* ctx, int idx)
{
    // An index past the last buffer names none, as a negative one does.
    if (!ctx || idx < 0 || (size_t)idx >= ctx->bufs.size()) return nullptr;
    return ctx->bufs[(size_t)idx].buffer;
}

int camera_source_deinit(CamSource* ctx)
{
    if (!ctx) return -1;
    if (ctx->streaming) {
        uint32_t type = ctx->type;
        if (xioctl(ctx->fd, VIDIOC_STREAMOFF, &type) != 0)
            log_error(g_logger, __FUNCTION__, __LINE__, "VIDIOC_STREAMOFF\n");
        ctx->streaming = false;
    }
    for (CamBuffer& cb : ctx->bufs) {
        if (cb.buffer) mpp_buffer_put(cb.buffer);
        if (cb.start) plat_munmap(cb.start, cb.length);
        cb = CamBuffer{};
    }
    if (ctx->requested) {
        v4l2_requestbuffers req{};
        req.type = ctx->type;
        req.memory = V4L2_MEMORY_MMAP;
        xioctl(ctx->fd, VIDIOC_REQBUFS, &req);
    }
    if (ctx->fd >= 0) plat_close(ctx->fd);
    delete ctx;
    return 0;
}
