/* Video capture and sub-device nodes of the simulated board.
 *
 * A video node hands out memory-mapped buffers (a memfd per buffer, which
 * the caller maps or takes as an exported DMA buffer),
 * fills queued buffers with the frames of the sensor its media graph links
 * to, and is readable while a filled buffer waits. Frames come at the
 * sensor's rate from a pacing thread, or one by one when a test steps the
 * node. A sub-device node answers pad formats, selections, frame intervals,
 * controls and the sensor's private requests. */
#include "simcam.h"
#include "sensor_ioctl.h"

#include <chrono>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr uint32_t kMaxBuffers = 8;
constexpr uint32_t kMaxSide = 16384;

bool is_type(const Video* v, uint32_t type)
{
    return type == (v->mplane ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE);
}

void default_format(Video* v)
{
    if (v->fmt_set) return;
    Sensor* s = source_sensor(media_of(v->hub, v->ent), v->ent);
    v->width = s ? s->fmt.width : 640;
    v->height = s ? s->fmt.height : 480;
    uint32_t want = s ? fourcc_of_code(s->fmt.code) : 0;
    v->pixfmt = v->formats.front();
    for (uint32_t f : v->formats)
        if (f == want) v->pixfmt = f;
}

uint32_t image_size(const Video* v)
{
    uint32_t bpl, size;
    plane_size(v->pixfmt, v->width, v->height, &bpl, &size);
    return size;
}

/* What the node says a buffer holds. */
uint32_t buffer_length(const Video* v)
{
    uint32_t size = image_size(v);
    return (v->faults & SIM_CAMERA_SHORT_BUFFERS) ? size / 4 * 3 : size;
}

void fill_format(const Video* v, v4l2_format* f)
{
    uint32_t bpl, size;
    plane_size(v->pixfmt, v->width, v->height, &bpl, &size);
    if (v->mplane) {
        auto& mp = f->fmt.pix_mp;
        memset(&mp, 0, sizeof(mp));
        mp.width = v->width;
        mp.height = v->height;
        mp.pixelformat = v->pixfmt;
        mp.field = V4L2_FIELD_NONE;
        mp.num_planes = 1;
        mp.plane_fmt[0].bytesperline = bpl;
        mp.plane_fmt[0].sizeimage = size;
    } else {
        auto& p = f->fmt.pix;
        memset(&p, 0, sizeof(p));
        p.width = v->width;
        p.height = v->height;
        p.pixelformat = v->pixfmt;
        p.field = V4L2_FIELD_NONE;
        p.bytesperline = bpl;
        p.sizeimage = size;
    }
}

/* Takes the caller's format, adjusted to what the node can do. */
void take_format(Video* v, const v4l2_format* f, bool store, v4l2_format* out)
{
    uint32_t w = v->mplane ? f->fmt.pix_mp.width : f->fmt.pix.width;
    uint32_t h = v->mplane ? f->fmt.pix_mp.height : f->fmt.pix.height;
    uint32_t pf = v->mplane ? f->fmt.pix_mp.pixelformat : f->fmt.pix.pixelformat;
    Video tmp;
    tmp.mplane = v->mplane;
    tmp.width = w < 16 ? 16 : (w > kMaxSide ? kMaxSide : w);
    tmp.height = h < 1 ? 1 : (h > kMaxSide ? kMaxSide : h);
    tmp.pixfmt = v->formats.front();
    for (uint32_t x : v->formats)
        if (x == pf) tmp.pixfmt = x;
    if (v->faults & SIM_CAMERA_SMALL_FORMAT) tmp.height = tmp.height / 2 ? tmp.height / 2 : 1;
    if (store) {
        v->width = tmp.width;
        v->height = tmp.height;
        v->pixfmt = tmp.pixfmt;
        v->fmt_set = true;
    }
    fill_format(&tmp, out);
}

void free_buffers(Video* v)
{
    video_release_memory(v);
    v->map = nullptr;
    v->memfd = -1;
    v->bufs.clear();
    v->queued.clear();
    v->done.clear();
    v->stride = 0;
}

/* Each buffer is its own memfd, so that it can be exported alone; the node
 * sees them side by side in one reserved range. */
int alloc_buffers(Video* v, uint32_t count)
{
    long page = sysconf(_SC_PAGESIZE);
    size_t size = image_size(v);
    size_t stride = (size + (size_t)page - 1) / (size_t)page * (size_t)page;
    void* p = mmap(nullptr, stride * count, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return -errno;
    v->map = static_cast<uint8_t*>(p);
    v->stride = stride;
    v->bufs.assign(count, Buffer());
    for (uint32_t i = 0; i < count; i++) {
        Buffer& b = v->bufs[i];
        b.memfd = memfd_create("korvid-v4l2", MFD_CLOEXEC);
        int e = b.memfd < 0 ? errno : 0;
        if (!e && ftruncate(b.memfd, (off_t)stride) != 0) e = errno;
        if (!e && mmap(v->map + (size_t)i * stride, stride, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, b.memfd,
                       0) == MAP_FAILED)
            e = errno;
        if (e) {
            free_buffers(v);
            return -e;
        }
    }
    return 0;
}

void describe(const Video* v, uint32_t index, v4l2_buffer* b)
{
    const Buffer& x = v->bufs[index];
    b->index = index;
    b->memory = V4L2_MEMORY_MMAP;
    b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC |
               (x.state == Buffer::QUEUED ? V4L2_BUF_FLAG_QUEUED : x.state == Buffer::DONE ? V4L2_BUF_FLAG_DONE : 0u) |
               V4L2_BUF_FLAG_MAPPED;
    b->field = V4L2_FIELD_NONE;
    b->timestamp = x.stamp;
    b->sequence = x.sequence;
    uint32_t length = buffer_length(v);
    uint32_t offset = (uint32_t)(index * v->stride);
    if (v->mplane) {
        b->length = 1;
        if (b->m.planes) {
            v4l2_plane& pl = b->m.planes[0];
            pl.bytesused = x.bytesused;
            pl.length = length;
            pl.m.mem_offset = offset;
            pl.data_offset = 0;
        }
    } else {
        b->bytesused = x.bytesused;
        b->length = length;
        b->m.offset = offset;
    }
}

void pacer_main(Video* v)
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lk(v->hub->mu);
    auto next = Clock::now();
    while (!v->stop) {
        Sensor* s = source_sensor(media_of(v->hub, v->ent), v->ent);
        if (s && !s->free_running()) {
            // Stopped, or waiting for triggers: a trigger's frame comes at once.
            if (s->pending) {
                if (v->mode == SIM_CAMERA_PACED) video_emit_locked(v);
                else s->pending = 0;
                continue;
            }
            v->cv.wait_for(lk, std::chrono::milliseconds(50), [&] { return v->stop || s->pending; });
            next = Clock::now();
            continue;
        }
        double fps = s ? s->fps() : 0;
        if (fps <= 0 || fps > 10000) {
            // Not running (no trigger): look again shortly.
            v->cv.wait_for(lk, std::chrono::milliseconds(50), [&] { return v->stop; });
            next = Clock::now();
            continue;
        }
        next += std::chrono::nanoseconds((long long)(1e9 / fps));
        if (v->cv.wait_until(lk, next, [&] { return v->stop; })) break;
        if (v->mode == SIM_CAMERA_PACED) video_emit_locked(v);
        auto now = Clock::now();
        if (next + std::chrono::seconds(1) < now) next = now; // fell far behind: do not burst
    }
}

} // namespace

void video_start_pacer_locked(Video* v)
{
    if (v->mode == SIM_CAMERA_PACED && v->streaming && !v->pacer.joinable()) {
        v->stop = false;
        v->pacer = std::thread(pacer_main, v);
    }
}

namespace {

int stream_off_locked(Video* v)
{
    v->streaming = false;
    for (auto& b : v->bufs) b.state = Buffer::USER;
    v->queued.clear();
    v->done.clear();
    if (v->owner) sim_node_set_readable(v->owner, 0);
    v->cv.notify_all();
    return 0;
}

int video_ioctl_locked(Video* v, sim_node_t* node, unsigned long request, void* arg,
                       std::unique_lock<std::mutex>& lk)
{
    if (!arg) return -EFAULT;
    bool mine = v->owner == node;
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(arg);
        memset(cap, 0, sizeof(*cap));
        Media* m = media_of(v->hub, v->ent);
        snprintf((char*)cap->driver, sizeof(cap->driver), "%s", m ? (const char*)m->info.driver : "sim");
        snprintf((char*)cap->card, sizeof(cap->card), "%s", v->ent->name.c_str());
        snprintf((char*)cap->bus_info, sizeof(cap->bus_info), "%s", m ? (const char*)m->info.bus_info : "");
        cap->version = 0x050a00;
        cap->device_caps = (v->mplane ? V4L2_CAP_VIDEO_CAPTURE_MPLANE : V4L2_CAP_VIDEO_CAPTURE) | V4L2_CAP_STREAMING;
        cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto* f = static_cast<v4l2_fmtdesc*>(arg);
        if (!is_type(v, f->type) || f->index >= v->formats.size()) return -EINVAL;
        uint32_t i = f->index, t = f->type;
        memset(f, 0, sizeof(*f));
        f->index = i;
        f->type = t;
        f->pixelformat = v->formats[i];
        snprintf((char*)f->description, sizeof(f->description), "%.4s", (const char*)&v->formats[i]);
        return 0;
    }
    case VIDIOC_G_FMT: {
        auto* f = static_cast<v4l2_format*>(arg);
        if (!is_type(v, f->type)) return -EINVAL;
        default_format(v);
        fill_format(v, f);
        return 0;
    }
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
        auto* f = static_cast<v4l2_format*>(arg);
        if (!is_type(v, f->type)) return -EINVAL;
        bool store = request == VIDIOC_S_FMT;
        if (store && !v->bufs.empty()) return -EBUSY;
        default_format(v);
        v4l2_format out;
        memset(&out, 0, sizeof(out));
        out.type = f->type;
        take_format(v, f, store, &out);
        *f = out;
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto* r = static_cast<v4l2_requestbuffers*>(arg);
        if (!is_type(v, r->type) || r->memory != V4L2_MEMORY_MMAP) return -EINVAL;
        if (v->owner && !mine) return -EBUSY;
        if (v->streaming) return -EBUSY;
        free_buffers(v);
        if (r->count == 0) {
            v->owner = nullptr;
            return 0;
        }
        default_format(v);
        uint32_t grant = r->count > kMaxBuffers ? kMaxBuffers : r->count;
        if ((v->faults & SIM_CAMERA_REQBUFS2) && grant > 2) grant = 2;
        int rc = alloc_buffers(v, grant);
        if (rc) return rc;
        v->owner = node;
        r->count = grant;
        r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
        auto* b = static_cast<v4l2_buffer*>(arg);
        if (!is_type(v, b->type) || b->memory != V4L2_MEMORY_MMAP) return -EINVAL;
        if (v->mplane && (!b->m.planes || b->length < 1)) return -EINVAL;
        if (request == VIDIOC_QUERYBUF) {
            if (b->index >= v->bufs.size()) return -EINVAL;
            describe(v, b->index, b);
            return 0;
        }
        if (!mine) return v->owner ? -EBUSY : -EINVAL;
        if (request == VIDIOC_QBUF) {
            if (b->index >= v->bufs.size() || v->bufs[b->index].state != Buffer::USER) return -EINVAL;
            v->bufs[b->index].state = Buffer::QUEUED;
            v->queued.push_back((int)b->index);
            describe(v, b->index, b);
            return 0;
        }
        if (v->faults & SIM_CAMERA_BROKEN) return -EIO;
        if (!v->streaming) return -EINVAL;
        if (v->done.empty()) {
            if (sim_node_flags(node) & O_NONBLOCK) return -EAGAIN;
            v->cv.wait(lk, [&] { return !v->done.empty() || !v->streaming || v->owner != node; });
            if (v->done.empty()) return -EINVAL;
        }
        int i = v->done.front();
        v->done.pop_front();
        v->bufs[(size_t)i].state = Buffer::USER;
        if (v->done.empty()) sim_node_set_readable(node, 0);
        describe(v, (uint32_t)i, b);
        if (v->faults & SIM_CAMERA_BAD_INDEX) b->index = (uint32_t)v->bufs.size();
        if (v->faults & SIM_CAMERA_OVERFULL) {
            uint32_t more = buffer_length(v) + 4096;
            if (v->mplane) b->m.planes[0].bytesused = more;
            else b->bytesused = more;
        }
        return 0;
    }
    case VIDIOC_EXPBUF: {
        auto* x = static_cast<v4l2_exportbuffer*>(arg);
        if (!is_type(v, x->type) || x->plane != 0) return -EINVAL;
        if (!mine) return v->owner ? -EBUSY : -EINVAL;
        if (x->index >= v->bufs.size() || x->flags & ~(uint32_t)(O_CLOEXEC | O_ACCMODE)) return -EINVAL;
        // The export is a descriptor of its own on the buffer's memory,
        // which outlives the buffers as a DMA buffer would.
        int fd = fcntl(v->bufs[x->index].memfd, (x->flags & O_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
        if (fd < 0) return -errno;
        x->fd = fd;
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        uint32_t type = *static_cast<uint32_t*>(arg);
        if (!is_type(v, type)) return -EINVAL;
        if (!mine) return v->owner ? -EBUSY : -EINVAL;
        if (request == VIDIOC_STREAMOFF) {
            stream_off_locked(v);
            video_stop_pacer(v, lk);
            return 0;
        }
        if (v->faults & SIM_CAMERA_BROKEN) {
            sim_node_set_readable(node, 1);
            return -EIO;
        }
        if (v->streaming) return 0;
        v->streaming = true;
        v->frames = 0;
        v->sequence = 0;
        video_start_pacer_locked(v);
        return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
        auto* c = static_cast<v4l2_control*>(arg);
        if (!v->ctrls || !v->ctrls->count(c->id)) return -EINVAL;
        if (request == VIDIOC_G_CTRL) {
            c->value = (*v->ctrls)[c->id];
        } else {
            (*v->ctrls)[c->id] = c->value;
            if (Sensor* s = source_sensor(media_of(v->hub, v->ent), v->ent))
                s->note(SIM_SENSOR_CTRL, c->id, (uint32_t)c->value);
        }
        return 0;
    }
    case RKCIF_SET_MEMORY_MODE:
        v->memory_mode = *static_cast<int*>(arg);
        return 0;
    default: return -ENOTTY;
    }
}

int video_open(void*, sim_node_t*) { return 0; }

int video_close(void* model, sim_node_t* node)
{
    auto* v = static_cast<Video*>(model);
    std::unique_lock<std::mutex> lk(v->hub->mu);
    if (v->owner == node) {
        stream_off_locked(v);
        video_stop_pacer(v, lk);
        free_buffers(v);
        v->owner = nullptr;
    }
    return 0;
}

int video_ioctl(void* model, sim_node_t* node, unsigned long request, void* arg)
{
    auto* v = static_cast<Video*>(model);
    std::unique_lock<std::mutex> lk(v->hub->mu);
    return video_ioctl_locked(v, node, request, arg, lk);
}

int video_mmap(void* model, sim_node_t* node, size_t length, off_t offset, int* memfd, off_t* memoff)
{
    auto* v = static_cast<Video*>(model);
    std::lock_guard<std::mutex> lk(v->hub->mu);
    if (v->owner != node || v->bufs.empty() || offset < 0 || v->stride == 0) return -EINVAL;
    size_t index = (size_t)offset / v->stride;
    if ((size_t)offset % v->stride || index >= v->bufs.size() || length > v->stride) return -EINVAL;
    *memfd = v->bufs[index].memfd;
    *memoff = 0;
    return 0;
}

/* ---- Sub-devices ---- */

bool known_ctrl(uint32_t id)
{
    switch (id) {
    case V4L2_CID_EXPOSURE:
    case V4L2_CID_HFLIP:
    case V4L2_CID_VFLIP:
    case V4L2_CID_ANALOGUE_GAIN:
    case V4L2_CID_TEST_PATTERN:
    case V4L2_CID_VBLANK: return true;
    default: return false;
    }
}

int subdev_ioctl(void* model, sim_node_t*, unsigned long request, void* arg)
{
    auto* sd = static_cast<Subdev*>(model);
    std::lock_guard<std::mutex> lk(sd->hub->mu);
    Entity* e = sd->ent;
    Sensor* s = e->sensor;
    if (!arg) return -EFAULT;
    switch (request) {
    case VIDIOC_SUBDEV_G_FMT:
    case VIDIOC_SUBDEV_S_FMT: {
        auto* f = static_cast<v4l2_subdev_format*>(arg);
        if (f->pad >= e->pads.size() || f->which > V4L2_SUBDEV_FORMAT_ACTIVE) return -EINVAL;
        bool active = f->which == V4L2_SUBDEV_FORMAT_ACTIVE;
        if (s) {
            v4l2_mbus_framefmt& cur = active ? s->fmt : s->try_fmt;
            if (request == VIDIOC_SUBDEV_S_FMT) {
                v4l2_mbus_framefmt want = f->format;
                s->adjust(&want);
                cur = want;
                if (active) s->crop = v4l2_rect{0, 0, want.width, want.height};
                if (active) s->format_set();
            }
            f->format = cur;
        } else {
            if (request == VIDIOC_SUBDEV_S_FMT) e->fmt[f->pad] = f->format;
            f->format = e->fmt[f->pad];
        }
        return 0;
    }
    case VIDIOC_SUBDEV_G_SELECTION:
    case VIDIOC_SUBDEV_S_SELECTION: {
        if (s) return -ENOTTY; // sensors offer the older crop requests only
        auto* sel = static_cast<v4l2_subdev_selection*>(arg);
        if (sel->pad >= e->pads.size()) return -EINVAL;
        int slot = sel->target == V4L2_SEL_TGT_CROP ? 0 : sel->target == V4L2_SEL_TGT_COMPOSE ? 1 : -1;
        if (sel->target == V4L2_SEL_TGT_CROP_BOUNDS && request == VIDIOC_SUBDEV_G_SELECTION) {
            sel->r = v4l2_rect{0, 0, e->fmt[sel->pad].width, e->fmt[sel->pad].height};
            return 0;
        }
        if (slot < 0) return -EINVAL;
        if (request == VIDIOC_SUBDEV_S_SELECTION) e->sel[sel->pad][slot] = sel->r;
        sel->r = e->sel[sel->pad][slot];
        return 0;
    }
    case VIDIOC_SUBDEV_G_CROP:
    case VIDIOC_SUBDEV_S_CROP: {
        auto* c = static_cast<v4l2_subdev_crop*>(arg);
        if (c->pad >= e->pads.size()) return -EINVAL;
        v4l2_rect& r = s ? s->crop : e->sel[c->pad][0];
        if (request == VIDIOC_SUBDEV_S_CROP) {
            r = c->rect;
            if (s) {
                if (r.width > s->fmt.width) r.width = s->fmt.width;
                if (r.height > s->fmt.height) r.height = s->fmt.height;
                if (r.left < 0) r.left = 0;
                if (r.top < 0) r.top = 0;
            }
        }
        c->rect = r;
        return 0;
    }
    case VIDIOC_SUBDEV_G_FRAME_INTERVAL:
    case VIDIOC_SUBDEV_S_FRAME_INTERVAL: {
        if (!s) return -ENOTTY;
        auto* fi = static_cast<v4l2_subdev_frame_interval*>(arg);
        if (fi->pad >= e->pads.size()) return -EINVAL;
        if (request == VIDIOC_SUBDEV_S_FRAME_INTERVAL) {
            if (!fi->interval.numerator || !fi->interval.denominator) return -EINVAL;
            s->set_fps((double)fi->interval.denominator / fi->interval.numerator);
        }
        double fps = s->fps();
        fi->interval.numerator = 10000;
        fi->interval.denominator = (uint32_t)(fps * 10000.0 + 0.5);
        return 0;
    }
    case VIDIOC_SUBDEV_ENUM_MBUS_CODE: {
        auto* c = static_cast<v4l2_subdev_mbus_code_enum*>(arg);
        if (!s || c->index > 0 || c->pad >= e->pads.size()) return -EINVAL;
        c->code = s->code();
        return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
        auto* c = static_cast<v4l2_control*>(arg);
        if (!s || s->tof() || !known_ctrl(c->id)) return -EINVAL;
        if (request == VIDIOC_G_CTRL) {
            auto it = s->ctrls.find(c->id);
            c->value = it == s->ctrls.end() ? 0 : it->second;
        } else {
            s->ctrls[c->id] = c->value;
            s->note(SIM_SENSOR_CTRL, c->id, (uint32_t)c->value);
        }
        return 0;
    }
    default: return s ? s->private_ioctl(request, arg) : -ENOTTY;
    }
}

int subdev_open(void*, sim_node_t*) { return 0; }

} // namespace

const sim_devops_t kVideoOps = {video_open, video_close, video_ioctl, nullptr, nullptr, video_mmap, hub_release};
const sim_devops_t kSubdevOps = {subdev_open, nullptr, subdev_ioctl, nullptr, nullptr, nullptr, hub_release};

void video_release_memory(Video* v)
{
    if (v->map) munmap(v->map, v->stride * v->bufs.size());
    for (Buffer& b : v->bufs)
        if (b.memfd >= 0) close(b.memfd), b.memfd = -1;
    if (v->memfd >= 0) close(v->memfd), v->memfd = -1;
}

void video_stop_pacer(Video* v, std::unique_lock<std::mutex>& lk)
{
    if (!v->pacer.joinable()) return;
    v->stop = true;
    v->cv.notify_all();
    std::thread t = std::move(v->pacer);
    lk.unlock();
    t.join();
    lk.lock();
    v->stop = false;
    // Streaming may have started again while the lock was down.
    video_start_pacer_locked(v);
}

int video_emit_locked(Video* v)
{
    if (!v->streaming) return 0;
    Sensor* s = source_sensor(media_of(v->hub, v->ent), v->ent);
    // A sensor takes a frame while it runs, or for a trigger.
    if (s && !s->free_running()) {
        if (!s->pending) return 0;
        s->pending--;
    }
    v->frames++;
    uint32_t seq = v->sequence++;
    if (v->faults & SIM_CAMERA_TIMEOUT) return 0;
    if (!s || v->queued.empty()) return 0;
    int i = v->queued.front();
    v->queued.pop_front();
    const std::vector<uint8_t>& data = s->frame(v->pixfmt, v->width, v->height, seq);
    size_t n = data.size() < image_size(v) ? data.size() : image_size(v);
    if (v->faults & SIM_CAMERA_SHORT) n /= 2;
    if (n > buffer_length(v)) n = buffer_length(v);
    memcpy(v->map + (size_t)i * v->stride, data.data(), n);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec real;
    clock_gettime(CLOCK_REALTIME, &real);
    s->trigger_ns = (int64_t)real.tv_sec * 1000000000 + real.tv_nsec;
    Buffer& b = v->bufs[(size_t)i];
    b.state = Buffer::DONE;
    b.bytesused = (uint32_t)n;
    b.sequence = seq;
    b.stamp.tv_sec = now.tv_sec;
    b.stamp.tv_usec = now.tv_nsec / 1000;
    v->done.push_back(i);
    s->note_frame(seq, n);
    if (v->owner) sim_node_set_readable(v->owner, 1);
    v->cv.notify_all();
    return 1;
}

uint32_t fourcc_of_code(uint32_t code)
{
    switch (code) {
    case MEDIA_BUS_FMT_Y12_1X12: return V4L2_PIX_FMT_Y12;
    case MEDIA_BUS_FMT_Y10_1X10: return V4L2_PIX_FMT_Y10;
    case MEDIA_BUS_FMT_Y8_1X8: return V4L2_PIX_FMT_GREY;
    case MEDIA_BUS_FMT_UYVY8_2X8: return V4L2_PIX_FMT_UYVY;
    case MEDIA_BUS_FMT_SBGGR10_1X10: return V4L2_PIX_FMT_NV12;
    case MEDIA_BUS_FMT_JPEG_1X8: return V4L2_PIX_FMT_MJPEG;
    default: return 0;
    }
}

void plane_size(uint32_t fourcc, uint32_t w, uint32_t h, uint32_t* bpl, uint32_t* size)
{
    switch (fourcc) {
    case V4L2_PIX_FMT_GREY:
        *bpl = w;
        *size = w * h;
        break;
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_YUV420:
        *bpl = w;
        *size = w * h * 3 / 2;
        break;
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        *bpl = 0;
        *size = w * h; // room for the largest picture
        break;
    default: // 16-bit words: Y10, Y12, Y16, UYVY, raw Bayer
        *bpl = w * 2;
        *size = w * h * 2;
        break;
    }
}

} // namespace sim
