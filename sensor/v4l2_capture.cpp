// V4L2 capture core shared by the sensor drivers: node preparation, the
// buffer cycle, bounded copies into pool frames, the one-slot hand-over to a
// consumer worker, the raw-frame request and the capture loop.
#include "sensor/v4l2_capture.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "common/custom.h"
#include "epcore.h"
#include "iodev.h"
#include "log/logger.h"
#include "media-ctl/libmediactl.h"
#include "media-ctl/libv4l2subdev.h"
#include "memory.h"
#include "platform.h"
#include "sensor_ioctl.h"
#include "server/raw_frame.h"
#include "worker.h"

std::atomic<uint64> g_tof_frameIndex{0};
std::atomic<int> g_lost_raw{0};
std::atomic<int> g_ctrlFd{-1};

namespace {

// Stop flags are looked at this often while a capture waits.
constexpr int kWaitSliceMs = 20;
// Pause after an epoll error, so a broken set does not spin.
constexpr int kErrorPauseMs = 30;
constexpr int kMaxEvents = 10;

std::atomic<int64_t> s_startOffsetNs{0};
SensorFpsCounter s_roadFps;

thread_local worker_t* t_worker = nullptr;

int64_t clock_ns(clockid_t id)
{
    timespec ts;
    clock_gettime(id, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

constexpr auto& info_of = sensor_info_of;

bool mplane(const V4L2SensorInfo* info) { return info->buf_type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE; }

void describe(const V4L2SensorInfo* info, uint32_t index, v4l2_buffer* buf, v4l2_plane* plane)
{
    memset(buf, 0, sizeof(*buf));
    memset(plane, 0, sizeof(*plane));
    buf->type = info->buf_type;
    buf->memory = info->memType;
    buf->index = index;
    if (mplane(info)) {
        buf->m.planes = plane;
        buf->length = 1;
    }
}

void unmap_all(V4L2SensorInfo* info)
{
    if (!info->buffer) return;
    for (int i = 0; i < V4L2_SENSOR_BUFFER_NUM; i++) {
        V4L2SensorBuffer& b = info->buffer[i];
        if (b.start) plat_munmap(b.start, (size_t)b.length);
        b.start = nullptr;
        b.length = 0;
    }
    kfree(info->buffer);
    info->buffer = nullptr;
}

// Gives the node's buffers back after a failed preparation.
void release_buffers(int fd, V4L2SensorInfo* info)
{
    unmap_all(info);
    v4l2_requestbuffers req{};
    req.count = 0;
    req.type = info->buf_type;
    req.memory = info->memType;
    sensor_xioctl(fd, VIDIOC_REQBUFS, &req);
}

uint32_t format_width(const V4L2SensorInfo* info, const v4l2_format& f)
{
    return mplane(info) ? f.fmt.pix_mp.width : f.fmt.pix.width;
}

uint32_t format_height(const V4L2SensorInfo* info, const v4l2_format& f)
{
    return mplane(info) ? f.fmt.pix_mp.height : f.fmt.pix.height;
}

// Bytes one frame of the format takes (plane 0 of a multi-planar node).
uint32_t format_bytes(const V4L2SensorInfo* info, const v4l2_format& f)
{
    return mplane(info) ? f.fmt.pix_mp.plane_fmt[0].sizeimage : f.fmt.pix.sizeimage;
}

bool format_matches(const V4L2SensorInfo* info, const v4l2_format& f)
{
    if (mplane(info))
        return f.fmt.pix_mp.width == info->width && f.fmt.pix_mp.height == info->height &&
               f.fmt.pix_mp.pixelformat == info->format;
    return f.fmt.pix.width == info->width && f.fmt.pix.height == info->height && f.fmt.pix.pixelformat == info->format;
}

} // namespace

bool sensor_with_device(epcore_t* core, uint64_t id, const std::function<void(V4L2SensorInfo*, iodev_t*)>& fn)
{
    SensorOpsGuard guard;
    iodev_t* dev = nullptr;
    V4L2SensorInfo* info = sensor_info_find(core, id, &dev);
    if (!info) return false;
    fn(info, dev);
    return true;
}

void sensor_worker_signal(epcore_t* core, uint64_t id, int value)
{
    if (core) epcore_with_worker(core, id, [value](worker_t* wk) { event_signal(wk->ioevent, value); });
}

V4L2SensorInfo* sensor_info_of(iodev_t* dev) { return dev ? static_cast<V4L2SensorInfo*>(dev->priv_data) : nullptr; }

int sensor_subdev_of(const iodev_t* dev) { return dev ? dev->subdevFd : -1; }

// ---- State ----

void sensor_capture_clock_start(void)
{
    s_startOffsetNs.store(clock_ns(CLOCK_REALTIME) - clock_ns(CLOCK_MONOTONIC));
    g_tof_frameIndex.store(0);
    sensor_fps_start(&s_roadFps);
}

void sensor_capture_stamp(ImageInfo* img, uint64_t bufNs)
{
    int64_t ns = s_startOffsetNs.load() + (int64_t)bufNs;
    if (ns < 0) ns = 0;
    img->timeStampH = (uint32)(ns / 1000000000);
    img->timeStampL = (uint32)(ns % 1000000000);
}

void sensor_fps_start(SensorFpsCounter* c)
{
    c->count.store(0);
    c->tick.store(get_tickcount());
}

void sensor_fps_count(SensorFpsCounter* c, const char* fmt)
{
    uint32 n = c->count.fetch_add(1) + 1;
    uint32 now = get_tickcount();
    if (now - c->tick.load() >= 1000) {
        log_debug(g_logger, __FUNCTION__, __LINE__, fmt, (int)n);
        c->count.store(0);
        c->tick.store(now);
    }
}

void sensor_capture_count(const char* fmt) { sensor_fps_count(&s_roadFps, fmt); }

// ---- Capture node ----

uint32_t sensor_reg(uint32_t address)
{
    uint32 v = 0;
    if (Custom_RegRead(address, &v) != 0) return 0;
    return v;
}

int sensor_reg_put(uint32_t address, uint32_t value)
{
    uint32 v = value;
    return Custom_RegWrite(address, &v);
}

namespace {

// The kernel request is declared with an 8-byte size; the record sits at its start.
union RegReq {
    struct regval r;
    uint8_t raw[8];
};
union LaserReq {
    struct phx3d3018 p;
    uint8_t raw[8];
};

} // namespace

int sensor_subdev_write(int fd, uint16_t addr, uint8_t val)
{
    RegReq q{};
    q.r.addr = addr;
    q.r.val = val;
    return sensor_xioctl(fd, (int)SENSOR_IOC_WRITE_REG, &q);
}

int sensor_subdev_read(int fd, uint16_t addr, uint16_t* val)
{
    RegReq q{};
    q.r.addr = addr;
    int rc = sensor_xioctl(fd, (int)SENSOR_IOC_READ_REG, &q);
    if (val) *val = rc == 0 ? (uint16_t)(q.raw[2] | q.raw[3] << 8) : 0;
    return rc;
}

uint8_t sensor_subdev_byte(int fd, uint16_t addr)
{
    uint16_t v = 0;
    sensor_subdev_read(fd, addr, &v);
    return (uint8_t)v;
}

int sensor_subdev_pair(int fd, uint16_t hi, uint16_t lo, uint32_t* value)
{
    uint16_t h = 0, l = 0;
    int rc = sensor_subdev_read(fd, hi, &h);
    int rc2 = sensor_subdev_read(fd, lo, &l);
    if (value) *value = (uint32_t)(h & 0xFF) << 8 | (l & 0xFF);
    return rc == 0 && rc2 == 0 ? 0 : -1;
}

uint32_t sensor_subdev_be32(int fd, uint16_t addr)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v = v << 8 | sensor_subdev_byte(fd, (uint16_t)(addr + i));
    return v;
}

void sensor_subdev_write_be32(int fd, uint16_t addr, uint32_t value)
{
    for (int i = 0; i < 4; i++) sensor_subdev_write(fd, (uint16_t)(addr + i), (uint8_t)(value >> (24 - 8 * i)));
}

int sensor_set_ctrl(int fd, uint32_t id, int32_t value)
{
    struct v4l2_control ctrl{};
    ctrl.id = id;
    ctrl.value = value;
    if (sensor_xioctl(fd, VIDIOC_S_CTRL, &ctrl) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "VIDIOC_S_CTRL:%s", strerror(errno));
        return -1;
    }
    return 0;
}

int sensor_get_ctrl(int fd, uint32_t id, uint32_t* value)
{
    if (!value) return -1;
    *value = 0;
    struct v4l2_control ctrl{};
    ctrl.id = id;
    if (sensor_xioctl(fd, VIDIOC_G_CTRL, &ctrl) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "VIDIOC_G_CTRL:%s", strerror(errno));
        return -1;
    }
    *value = (uint32_t)ctrl.value;
    return 0;
}

int sensor_laser_read(int fd, uint32_t index, uint32_t reg, uint16_t* val)
{
    LaserReq q{};
    q.p.index = (uint8_t)index;
    q.p.reg = (uint8_t)reg;
    int rc = sensor_xioctl(fd, (int)SENSOR_IOC_LASER_READ, &q);
    if (val) *val = rc == 0 ? q.p.val : 0;
    return rc;
}

int sensor_laser_write_all(int fd, uint32_t reg, uint8_t val)
{
    int rc = 0;
    for (uint8_t index = 0; index < 3; index++) {
        LaserReq q{};
        q.p.index = index;
        q.p.reg = (uint8_t)reg;
        q.p.val = val;
        rc |= sensor_xioctl(fd, (int)SENSOR_IOC_LASER_WRITE, &q);
    }
    return rc;
}

int sensor_find_node(const char* graph, const char* entity, char* node)
{
    struct media_device* media = graph ? media_device_new(graph) : nullptr;
    if (!media || media_device_enumerate(media) < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "media_device_new fail.");
        if (media) media_device_unref(media);
        return -1;
    }
    struct media_entity* ent = media_get_entity_by_name(media, entity);
    const char* devname = ent ? media_entity_get_devname(ent) : nullptr;
    if (!ent || !devname) {
        log_error(g_logger, __FUNCTION__, __LINE__,
                  ent ? "media_entity_get_devname fail." : "media_get_entity_by_name fail.");
        media_device_unref(media);
        return -1;
    }
    snprintf(node, SENSOR_NODE_NAME_MAX, "%s", devname);
    media_device_unref(media);
    log_info(g_logger, __FUNCTION__, __LINE__, "find dev_name:%s", node);
    return 0;
}

iodev_t* sensor_device_new(epcore_t* core, uint64_t consumerId, uint64_t id, int fd, int subfd)
{
    // Only asked whether the consumer runs: hand-overs find it by its id,
    // as its record goes when it ends.
    bool consumer = epcore_worker_find(core, consumerId) != nullptr;
    iodev_t* dev = consumer ? iodev_new(core) : nullptr;
    auto* info = dev ? static_cast<V4L2SensorInfo*>(kzalloc(sizeof(V4L2SensorInfo))) : nullptr;
    if (!info) {
        log_error(g_logger, __FUNCTION__, __LINE__, consumer ? "no mem" : "epcore_worker_find fail.");
        if (dev) iodev_discard(dev);
        if (subfd >= 0) plat_close(subfd);
        plat_close(fd);
        return nullptr;
    }
    dev->id = id;
    dev->fd = fd;
    dev->subdevFd = subfd;
    dev->fdtype = 512;
    dev->cbpara = core;
    dev->iostate = IOSTATE_READY;
    dev->priv_data = info;
    return dev;
}

void sensor_set_pad_format(const char* mediaDev, const char* formats)
{
    struct media_device* m = media_device_new(mediaDev);
    if (!m) return;
    if (media_device_enumerate(m) < 0 || v4l2_subdev_parse_setup_formats(m, formats) != 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "set format %s fail.", formats);
    media_device_unref(m);
}

int sensor_open_node(const char* node, const char* openFail, const char* subFail, int* fd, int* subfd)
{
    if (!node || !fd || !subfd) return -1;
    *fd = *subfd = -1;
    int f = plat_open(node, O_RDWR | O_NONBLOCK);
    if (f < 1) {
        log_error(g_logger, __FUNCTION__, __LINE__, "%s", openFail);
        if (f == 0) plat_close(f);
        return -1;
    }
    char subNode[SENSOR_NODE_NAME_MAX] = "";
    char sensorName[SENSOR_NODE_NAME_MAX] = "";
    int s = -1;
    if (sensor_find_subdev(node, subNode, sensorName) == 0) {
        log_info(g_logger, __FUNCTION__, __LINE__, "subDev:%s", subNode);
        s = plat_open(subNode, O_RDWR);
    }
    if (s < 1) {
        log_error(g_logger, __FUNCTION__, __LINE__, "%s", subFail);
        if (s == 0) plat_close(s);
        plat_close(f);
        return -1;
    }
    *fd = f;
    *subfd = s;
    return 0;
}

int sensor_xioctl(int fh, int request, void* arg)
{
    int r;
    do {
        r = plat_ioctl(fh, (unsigned long)(uint32_t)request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
}

uint32_t sensor_capture_type(uint32_t capabilities)
{
    if (capabilities & V4L2_CAP_VIDEO_CAPTURE) return V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (capabilities & V4L2_CAP_VIDEO_CAPTURE_MPLANE) return V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    return 0;
}

int sensor_init_device(iodev_t* pdev)
{
    V4L2SensorInfo* info = info_of(pdev);
    if (!info) return -1;
    const int fd = pdev->fd;
    int memoryMode = 1;
    sensor_xioctl(fd, RKCIF_SET_MEMORY_MODE, &memoryMode);

    memset(&info->cap, 0, sizeof(info->cap));
    if (sensor_xioctl(fd, VIDIOC_QUERYCAP, &info->cap) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "tof sensor VIDIOC_QUERYCAP");
        return -1;
    }
    const uint32_t caps = info->cap.capabilities;
    if (!sensor_capture_type(caps)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "is not a video capture device, capabilities: %x\n", caps);
        return -1;
    }
    if (!(caps & V4L2_CAP_STREAMING)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "does not support streaming i/o\n");
        return -1;
    }
    info->buf_type = static_cast<enum v4l2_buf_type>(sensor_capture_type(caps));
    if (!info->memType) info->memType = V4L2_MEMORY_MMAP;

    v4l2_format fmt{};
    fmt.type = info->buf_type;
    if (sensor_xioctl(fd, VIDIOC_G_FMT, &fmt) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "tof sensor VIDIOC_G_FMT");
        return -1;
    }
    if (!format_matches(info, fmt)) {
        memset(&fmt, 0, sizeof(fmt));
        fmt.type = info->buf_type;
        if (mplane(info)) {
            fmt.fmt.pix_mp.width = info->width;
            fmt.fmt.pix_mp.height = info->height;
            fmt.fmt.pix_mp.pixelformat = info->format;
            fmt.fmt.pix_mp.field = V4L2_FIELD_ANY;
        } else {
            fmt.fmt.pix.width = info->width;
            fmt.fmt.pix.height = info->height;
            fmt.fmt.pix.pixelformat = info->format;
            fmt.fmt.pix.field = V4L2_FIELD_ANY;
        }
        if (sensor_xioctl(fd, VIDIOC_S_FMT, &fmt) != 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "tof sensor VIDIOC_S_FMT");
            return -1;
        }
        // A node may adjust what it was asked; the drivers read their frames
        // by the format they asked for, so any other format fails here.
        if (!format_matches(info, fmt)) {
            log_error(g_logger, __FUNCTION__, __LINE__, "format %ux%u (%08x) granted for %ux%u (%08x) asked",
                      format_width(info, fmt), format_height(info, fmt),
                      mplane(info) ? fmt.fmt.pix_mp.pixelformat : fmt.fmt.pix.pixelformat, info->width, info->height,
                      info->format);
            return -1;
        }
    }
    const uint32_t frameBytes = format_bytes(info, fmt);

    v4l2_requestbuffers req{};
    req.count = V4L2_SENSOR_BUFFER_NUM;
    req.type = info->buf_type;
    req.memory = info->memType;
    if (sensor_xioctl(fd, VIDIOC_REQBUFS, &req) != 0 || req.count == 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "tof sensor VIDIOC_REQBUFS");
        return -1;
    }
    // The node may grant fewer buffers than asked; only those exist.
    const uint32_t granted = req.count < V4L2_SENSOR_BUFFER_NUM ? req.count : V4L2_SENSOR_BUFFER_NUM;
    info->buffer = static_cast<V4L2SensorBuffer*>(kzalloc(sizeof(V4L2SensorBuffer) * V4L2_SENSOR_BUFFER_NUM));
    if (!info->buffer) {
        printf("sensor buffer malloc fail.\n");
        release_buffers(fd, info);
        return -1;
    }
    for (uint32_t i = 0; i < granted; i++) {
        v4l2_buffer buf;
        v4l2_plane plane;
        describe(info, i, &buf, &plane);
        if (sensor_xioctl(fd, VIDIOC_QUERYBUF, &buf) != 0) {
            release_buffers(fd, info);
            return -1;
        }
        size_t length = mplane(info) ? plane.length : buf.length;
        off_t offset = mplane(info) ? (off_t)plane.m.mem_offset : (off_t)buf.m.offset;
        if (length < frameBytes) {
            // The callbacks read a whole frame of the format from a buffer.
            log_error(g_logger, __FUNCTION__, __LINE__, "buffer %u of %zu bytes is short of the %u-byte frame", i,
                      length, frameBytes);
            release_buffers(fd, info);
            return -1;
        }
        void* start = plat_mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
        if (start == MAP_FAILED || length == 0 || length > (size_t)INT32_MAX) {
            // A buffer without a mapping would later be copied from an
            // invalid address: the preparation fails instead.
            if (start != MAP_FAILED) plat_munmap(start, length);
            log_error(g_logger, __FUNCTION__, __LINE__, "mmap fail.");
            release_buffers(fd, info);
            return -1;
        }
        info->buffer[i].start = start;
        info->buffer[i].length = (int)length;
    }
    return 0;
}

int sensor_buffer_count(const V4L2SensorInfo* info)
{
    int n = 0;
    if (info && info->buffer)
        for (int i = 0; i < V4L2_SENSOR_BUFFER_NUM; i++) n += info->buffer[i].start != nullptr;
    return n;
}

int sensor_start_capturing(iodev_t* pdev)
{
    V4L2SensorInfo* info = info_of(pdev);
    if (!info || !info->buffer) return -1;
    for (uint32_t i = 0; i < V4L2_SENSOR_BUFFER_NUM; i++) {
        if (!info->buffer[i].start) continue;
        v4l2_buffer buf;
        v4l2_plane plane;
        describe(info, i, &buf, &plane);
        if (sensor_xioctl(pdev->fd, VIDIOC_QBUF, &buf) != 0)
            log_error(g_logger, __FUNCTION__, __LINE__, "sensor start VIDIOC_QBUF fail.");
    }
    uint32_t type = info->buf_type;
    if (sensor_xioctl(pdev->fd, VIDIOC_STREAMON, &type) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor start fail.");
        return -1;
    }
    return 0;
}

int sensor_stop_capturing(iodev_t* pdev)
{
    V4L2SensorInfo* info = info_of(pdev);
    if (!info) return -1;
    uint32_t type = info->buf_type;
    if (sensor_xioctl(pdev->fd, VIDIOC_STREAMOFF, &type) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor stop fail");
        return -1;
    }
    return 0;
}

void sensor_uninit(void* vdev)
{
    auto* dev = static_cast<iodev_t*>(vdev);
    if (!dev) return;
    SensorOpsGuard sensorGuard; // no register write is inside an operation of this record
    V4L2SensorInfo* info = info_of(dev);
    const int fd = dev->fd;
    const int subdevFd = dev->subdevFd;
    // Out of the device table first, so a lookup made from now on no longer
    // finds a record that is about to go; the nodes were opened through the
    // board and are closed there, not by the device.
    dev->priv_data = nullptr;
    dev->fd = -1;
    dev->subdevFd = -1;
    if (iodev_close(dev) == -3) iodev_discard(dev);
    if (subdevFd > 0) plat_close(subdevFd);
    if (info) {
        unmap_all(info);
        if (info->freq) {
            while (void* item = lt_rm_head(info->freq)) kfree(item);
            lt_free(info->freq);
            info->freq = nullptr;
        }
        kfree(info);
    }
    if (fd >= 0) plat_close(fd);
}

int sensor_binning(uint16_t* ptrIn, uint16_t* ptrOut, uint32_t width, uint32_t height)
{
    if (!ptrIn || !ptrOut || !width || !height) return 0;
    size_t out = 0;
    for (uint32_t r = 0; r + 1 < height; r += 2) {
        const uint16_t* a = ptrIn + (size_t)r * width;
        const uint16_t* b = a + width;
        for (uint32_t c = 0; c < width; c += 2) {
            // An odd last column pairs with itself.
            uint32_t c1 = c + 1 < width ? c + 1 : c;
            ptrOut[out++] = (uint16_t)(((uint32_t)a[c] + a[c1] + b[c] + b[c1]) / 4);
        }
    }
    return 0;
}

int sensor_dequeue(iodev_t* pdev, SensorCapture* cap)
{
    V4L2SensorInfo* info = info_of(pdev);
    if (!info || !info->buffer || !cap) return -1;
    describe(info, 0, &cap->buf, &cap->plane);
    if (sensor_xioctl(pdev->fd, VIDIOC_DQBUF, &cap->buf) != 0) return -1;
    if (mplane(info)) cap->buf.m.planes = &cap->plane;
    const uint32_t index = cap->buf.index;
    if (index >= V4L2_SENSOR_BUFFER_NUM || !info->buffer[index].start) {
        if (index < V4L2_SENSOR_BUFFER_NUM) sensor_xioctl(pdev->fd, VIDIOC_QBUF, &cap->buf);
        return -1;
    }
    uint32_t used = mplane(info) ? cap->plane.bytesused : cap->buf.bytesused;
    uint32_t mapped = (uint32_t)info->buffer[index].length;
    cap->data = static_cast<const uint8_t*>(info->buffer[index].start);
    cap->bytes = used < mapped ? used : mapped;
    cap->stampNs = (uint64_t)cap->buf.timestamp.tv_sec * 1000000000ull + (uint64_t)cap->buf.timestamp.tv_usec * 1000ull;
    return 0;
}

int sensor_requeue(iodev_t* pdev, SensorCapture* cap)
{
    V4L2SensorInfo* info = info_of(pdev);
    if (!info || !cap) return -1;
    if (mplane(info)) {
        cap->buf.m.planes = &cap->plane;
        cap->buf.length = 1;
    }
    return sensor_xioctl(pdev->fd, VIDIOC_QBUF, &cap->buf);
}

// ---- Frames ----

ImageInfo* sensor_frame_fetch(bpool_t* pool, uint32 memType)
{
    auto* img = static_cast<ImageInfo*>(pool ? bpool_fetch(pool) : nullptr);
    if (!img) return nullptr;
    // No field of the unit's last use may travel with the new frame.
    memset(img, 0, sizeof(ImageInfo));
    img->memType = memType;
    return img;
}

ImageInfo* sensor_frame_before_wait(epcore_t* core, uint32 memType, int pauseMs)
{
    const bool raw = memType == E_MEMTYPE_RAW;
    ImageInfo* img = core ? sensor_frame_fetch(raw ? core->raw : core->rgb, memType) : nullptr;
    if (!img) {
        log_error(g_logger, __FUNCTION__, __LINE__, raw ? "no mem" : "malloc fail.");
        sensor_capture_pause(pauseMs);
    }
    return img;
}

uint32_t sensor_frame_room(const bpool_t* pool)
{
    if (!pool || pool->unitsize <= (int)sizeof(ImageInfo)) return 0;
    return (uint32_t)(pool->unitsize - (int)sizeof(ImageInfo));
}

ImageInfo* sensor_frame_for(epcore_t* core, iodev_t* pdev, uint32 memType, SensorCapture* cap, int* rc)
{
    bpool_t* pool = memType == E_MEMTYPE_RAW ? core->raw : core->rgb;
    ImageInfo* img = sensor_frame_fetch(pool, memType);
    if (!img) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no mem");
        *rc = -1;
    } else if (cap->bytes > sensor_frame_room(pool)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "frame of %u bytes exceeds the %s unit", cap->bytes,
                  memType == E_MEMTYPE_RAW ? "raw" : "colour");
        free_image(core, img);
        img = nullptr;
        *rc = 0;
    }
    if (!img) sensor_requeue(pdev, cap);
    return img;
}

int sensor_handover_drop_new(epcore_t* core, uint64_t consumer, ImageInfo* img)
{
    if (!img) return 0;
    bool queued = false;
    bool found = core && epcore_with_worker(core, consumer, [&](worker_t* wk) {
        EnterCriticalSection(&wk->datalistCS);
        if (wk->data_list && lt_num(wk->data_list) < 1) {
            lt_append(wk->data_list, img);
            queued = true;
        }
        LeaveCriticalSection(&wk->datalistCS);
        if (queued) event_signal(wk->ioevent, 1);
    });
    if (!queued) {
        if (found) log_debug(g_logger, __FUNCTION__, __LINE__, "==========full===========");
        free_image(core, img);
    }
    return queued ? 1 : 0;
}

int sensor_handover_replace_old(epcore_t* core, uint64_t consumer, ImageInfo* img)
{
    if (!img) return 0;
    bool queued = false;
    dlist_t stale{};
    if (core) epcore_with_worker(core, consumer, [&](worker_t* wk) {
        EnterCriticalSection(&wk->datalistCS);
        if (wk->data_list) {
            while (void* old = lt_rm_head(wk->data_list)) lt_append(&stale, old);
            lt_append(wk->data_list, img);
            queued = true;
        }
        LeaveCriticalSection(&wk->datalistCS);
        if (queued) event_signal(wk->ioevent, 1);
    });
    if (!queued) free_image(core, img);
    // Released after the locks, so no pool lock nests in a list lock.
    int replaced = 0;
    while (void* old = lt_rm_head(&stale)) {
        free_image(core, static_cast<ImageInfo*>(old));
        replaced++;
    }
    if (replaced) log_debug(g_logger, __FUNCTION__, __LINE__, "==========full===========");
    return replaced;
}

void sensor_pair_copy(SensorPair* pair, uint8_t* dst, uint32_t room, int index, const SensorCapture& cap)
{
    if (index == 0) {
        pair->first = cap.bytes;
        pair->ok = cap.bytes > 0 && (uint64_t)cap.bytes * 2 <= room;
        if (pair->ok) memcpy(dst + cap.bytes, cap.data, cap.bytes);
        return;
    }
    // A second buffer of another size would overwrite part of the first.
    pair->ok = pair->ok && cap.bytes == pair->first;
    if (pair->ok) memcpy(dst, cap.data, cap.bytes);
}

// ---- Colour sensors' frame timing ----

uint32_t sensor_colour_line_clocks(uint32_t line, bool doubled)
{
    uint32_t len = doubled ? (line & 0x7FFF) : (line & 0xFFFF);
    if (!len) len = 1;
    return doubled ? len * 2 : len;
}

uint32_t sensor_colour_frame_length(uint32_t line, uint32_t fps, bool doubled)
{
    // A rate of 0 would leave a frame length of 0 that later arithmetic
    // divides by: the slowest rate, 1, stands in for it.
    const uint64_t f = fps ? fps : 1;
    const uint64_t clocks = sensor_colour_line_clocks(line, doubled);
    uint64_t v;
    if (doubled) {
        v = (SENSOR_COLOUR_CLOCK_DOUBLED / (clocks * f)) / 2;
        if (v > 0x7FFF) v = 0x7FFF;
    } else {
        v = SENSOR_COLOUR_CLOCK_SINGLE / (clocks * f);
        if (v > 0xFFFF) v = 0xFFFF;
    }
    return v ? (uint32_t)v : 1;
}

uint32_t sensor_colour_rate(uint32_t frame, uint32_t line)
{
    const uint64_t product = ((uint64_t)(frame & 0x7FFF) * 2) * ((uint64_t)(line & 0x7FFF) * 2);
    return product ? (uint32_t)(SENSOR_COLOUR_CLOCK_DOUBLED / product) : 0;
}

uint32_t sensor_colour_exposure_lines(uint32_t us, uint32_t line, bool doubled)
{
    const double clock = doubled ? (double)SENSOR_COLOUR_CLOCK_DOUBLED : (double)SENSOR_COLOUR_CLOCK_SINGLE;
    float lines = (float)((double)us / 1000000.0 * clock / (double)sensor_colour_line_clocks(line, doubled));
    return lines >= 65535.0f ? 0xFFFF : (uint32_t)lines;
}

void sensor_raw_serve(const uint8_t* data, uint32_t bytes)
{
    if (!g_raw_flags.load(std::memory_order_acquire) || !data || bytes == 0) return;
    uint32_t n = bytes < RAW_IMAGE_MAX ? bytes : RAW_IMAGE_MAX;
    memcpy(g_raw_image, data, n);
    g_raw_image_size.store(n, std::memory_order_relaxed);
    // Cleared last: whoever sees it clear finds the image and its size.
    g_raw_flags.store(0, std::memory_order_release);
}

// ---- Capture loop ----

void sensor_capture_bind(worker_t* wk) { t_worker = wk; }

bool sensor_capture_stopped(void)
{
    worker_t* wk = t_worker;
    if (!wk) return false;
    return wk->quit.load() || (wk->epcore && wk->epcore->quit.load());
}

void sensor_capture_pause(int ms)
{
    for (int waited = 0; waited < ms && !sensor_capture_stopped(); waited += kWaitSliceMs)
        wait_ms((unsigned long)(ms - waited < kWaitSliceMs ? ms - waited : kWaitSliceMs));
}

int sensor_wait_readable(int epfd, int ms)
{
    epoll_event evs[kMaxEvents];
    int waited = 0;
    for (;;) {
        if (sensor_capture_stopped()) return -2;
        int slice = ms - waited < kWaitSliceMs ? ms - waited : kWaitSliceMs;
        int n = epoll_wait(epfd, evs, kMaxEvents, slice);
        if (n > 0) return 1;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        waited += slice;
        if (waited >= ms) return 0;
    }
}

int sensor_capture_loop(worker_t* wk, iodev_t* dev, const SensorLoop* loop)
{
    if (!wk || !dev || !loop) return 0;
    sensor_capture_bind(wk);
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "epoll_create fail.");
        return -1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = dev->fd;
    epoll_ctl(epfd, EPOLL_CTL_ADD, dev->fd, &ev);
    log_info(g_logger, __FUNCTION__, __LINE__, "before epoll wait");

    int fails = 0;
    int result = 0;
    while (!sensor_capture_stopped()) {
        int rc;
        if (loop->selfWaiting) {
            rc = dev->callback ? dev->callback(dev->cbpara, dev, epfd, dev->fdtype) : 0;
        } else {
            int w = sensor_wait_readable(epfd, loop->waitMs);
            if (w == -2) break;
            if (w == 0) {
                if (!loop->quietTimeout) log_error(g_logger, __FUNCTION__, __LINE__, "epoll_wait timeout");
                rc = 2;
            } else if (w < 0) {
                log_error(g_logger, __FUNCTION__, __LINE__, "epoll_wait error");
                sensor_capture_pause(kErrorPauseMs);
                continue;
            } else {
                rc = dev->callback ? dev->callback(dev->cbpara, dev, EVT_READ, dev->fdtype) : 0;
            }
        }
        if (rc != 2) {
            fails = 0;
            continue;
        }
        if (++fails >= loop->failLimit) {
            result = 1;
            wk->quit.store(1);
            break;
        }
    }
    epoll_ctl(epfd, EPOLL_CTL_DEL, dev->fd, &ev);
    close(epfd);
    return result;
}
