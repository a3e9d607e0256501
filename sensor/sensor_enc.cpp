// Hardware encoder (worker 516). Cameras that deliver YUV pictures queue
// pool frames on this worker's list; each picture is copied once into the
// encoder's input buffer, encoded into the packet buffer, and the packet is
// copied back into the producer's frame, which travels on to the stream
// gate. The library is driven in one fixed order of calls and configuration
// keys; worker 516 alone uses its context.
#include "sensor/sensor_enc.h"

#include <errno.h>
#include <string.h>

#include <mutex>

#include "algo/algo.h"
#include "bpool.h"
#include "common/custom.h"
#include "epcore.h"
#include "iodev.h"
#include "log/logger.h"
#include "memory.h"
#include "mthread.h"
#include "sensor/sensor.h"
#include "sensor/sensor_pwm.h"
#include "sensor/sensor_vld_ae.h"
#include "sensor/v4l2_capture.h"
#include "sensor_ioctl.h"
#include "worker.h"

namespace {

constexpr uint32 kRegEnableRgb = 0x10000028;
constexpr uint32 kRegEncType = 0x10000058;
constexpr uint32 kRegRgbSensorType = 0x10001000;

constexpr uint32 kWidth = 1920;
constexpr uint32 kHeight = 1080;
constexpr int32 kFps = 30;
constexpr uint32 kPixelFormat = 0x01100003;
constexpr int kIdleMs = 10;
// The stream sender's list is kept below this many frames by the callback.
constexpr int kSenderListMax = 31;

constexpr auto& reg = sensor_reg;

uint32 align(uint32 v, uint32 to) { return (v + to - 1) / to * to; }

uint32 coding_of(uint32 encType, uint32 rgbKind)
{
    if (rgbKind == E_SMARTSENS_SC230AI) return MPP_CODING_MJPEG;
    switch (encType) {
    case E_CAMERA_RGB_ENC_H264: return MPP_CODING_H264;
    case E_CAMERA_RGB_ENC_H265: return MPP_CODING_H265;
    default:                    return MPP_CODING_MJPEG;
    }
}

uint32 image_type_of(uint32 encType)
{
    switch (encType) {
    case E_CAMERA_RGB_ENC_MJPEG: return E_IMAGE_TYPE_MJPEG;
    case E_CAMERA_RGB_ENC_H264:  return E_IMAGE_TYPE_H264;
    case E_CAMERA_RGB_ENC_H265:  return E_IMAGE_TYPE_H265;
    default:                     return E_IMAGE_TYPE_JPEG;
    }
}

bpool_t* pool_of(epcore_t* core, uint32 memType)
{
    if (!core) return nullptr;
    switch (memType) {
    case E_MEMTYPE_RAW:              return core->raw;
    case E_MEMTYPE_RGB:              return core->rgb;
    case E_MEMTYPE_DEPTH:            return core->depth;
    case E_MEMTYPE_APPLATION:        return core->applation_algo;
    case E_MEMTYPE_APPLATION_RESULT: return core->applation_algo_result;
    default:                         return nullptr;
    }
}

// Data bytes the frame can hold: its pool unit's room, or for a frame from
// the heap only the bytes it is known to carry.
size_t frame_room(epcore_t* core, const ImageInfo* img)
{
    bpool_t* pool = pool_of(core, img->memType);
    return pool ? sensor_frame_room(pool) : img->imageSize;
}

epcore_t* core_of(const ENCInfo* e) { return e->pdev ? static_cast<epcore_t*>(e->pdev->cbpara) : nullptr; }

// Releases the library objects in the reverse order of their making; safe on
// a partly built state.
void release_mpp(ENCInfo* e)
{
    if (e->ctx) {
        if (e->mpi) e->mpi->reset(e->ctx);
        mpp_destroy(e->ctx);
        e->ctx = nullptr;
    }
    if (e->cfg) mpp_enc_cfg_deinit(e->cfg), e->cfg = nullptr;
    if (e->frm_buf) mpp_buffer_put(e->frm_buf), e->frm_buf = nullptr;
    if (e->pkt_buf) mpp_buffer_put(e->pkt_buf), e->pkt_buf = nullptr;
    if (e->buf_grp) mpp_buffer_group_put(e->buf_grp), e->buf_grp = nullptr;
}

void fail_init(ENCInfo* e, const char* message)
{
    log_error(g_logger, "sensor_enc_init", __LINE__, "%s", message);
    release_mpp(e);
    kfree(e);
}

int set_s32(ENCInfo* e, const char* key, int32 v) { return mpp_enc_cfg_set_s32(e->cfg, key, v); }
int set_u32(ENCInfo* e, const char* key, uint32 v) { return mpp_enc_cfg_set_u32(e->cfg, key, v); }

// The quantiser keys of H.264 and H.265: false for a rate-control mode that
// has none.
bool set_qp(ENCInfo* e, int* rc)
{
    struct Qp {
        int32 init, max, min, max_i, min_i;
    };
    Qp q{};
    switch (e->rc_mode) {
    case MPP_RC_FIXQP: q = {20, 20, 20, 20, 20}; break;
    case MPP_RC_VBR:
    case MPP_RC_CBR:
    case MPP_RC_AVBR:  q = {26, 51, 10, 51, 10}; break;
    default:
        log_error(g_logger, "mpp_enc_setup", __LINE__, "unsupport encoder rc mode %d\n", (int)e->rc_mode);
        return false;
    }
    *rc |= set_s32(e, "rc:qp_init", q.init);
    *rc |= set_s32(e, "rc:qp_max", q.max);
    *rc |= set_s32(e, "rc:qp_min", q.min);
    *rc |= set_s32(e, "rc:qp_max_i", q.max_i);
    *rc |= set_s32(e, "rc:qp_min_i", q.min_i);
    return true;
}

// Copies `img`'s picture into the input buffer at `in` and encodes it. The
// packet that came back (NULL: none) is the caller's to release with
// mpp_packet_deinit; the frame stays the caller's.
bool is_uyvy(const ENCInfo* e, const ImageInfo* img)
{
    return img->pixelFormat == ENC_PIXEL_UYVY && img->imageSize == (uint64)e->width * e->height * 2;
}

mpp_packet_t encode(ENCInfo* e, void* in, const ImageInfo* img)
{
    if (is_uyvy(e, img))
        sensor_enc_uyvy_to_nv12(img->imageData, static_cast<uint8_t*>(in), e->width, e->height, e->hor_stride,
                                e->ver_stride);
    else
        memcpy(in, img->imageData, img->imageSize);
    mpp_frame_t frame = nullptr;
    if (mpp_frame_init(&frame) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "mpp_frame_init fail.");
        return nullptr;
    }
    mpp_frame_set_width(frame, e->width);
    mpp_frame_set_height(frame, e->height);
    mpp_frame_set_hor_stride(frame, e->hor_stride);
    mpp_frame_set_ver_stride(frame, e->ver_stride);
    mpp_frame_set_fmt(frame, e->format);
    mpp_frame_set_eos(frame, e->frm_eos);
    mpp_frame_set_buffer(frame, e->frm_buf);
    mpp_meta_t meta = mpp_frame_get_meta(frame);
    mpp_packet_t packet = nullptr;
    int rc = mpp_packet_init_with_buffer(&packet, e->pkt_buf);
    if (rc == 0) {
        mpp_packet_set_length(packet, 0);
        rc = mpp_meta_set_packet(meta, MPP_META_KEY_OUTPUT_PACKET, packet);
    }
    if (rc == 0) rc = e->mpi->encode_put_frame(e->ctx, frame);
    mpp_frame_deinit(&frame);
    if (rc != 0) {
        // Nothing was queued: asking for a packet would block for ever.
        log_error(g_logger, __FUNCTION__, __LINE__, "encode_put_frame fail.");
        if (packet) mpp_packet_deinit(&packet);
        return nullptr;
    }
    mpp_packet_t out = nullptr;
    if (e->mpi->encode_get_packet(e->ctx, &out) != 0) out = nullptr;
    // The library answers in the packet attached to the frame; one it made
    // of its own instead leaves ours to release here.
    if (out != packet) mpp_packet_deinit(&packet);
    if (out) {
        e->frame_count++;
        e->stream_size += mpp_packet_get_length(out);
    }
    return out;
}

// Whether `img` can go through the encoder; logs and says no otherwise.
bool acceptable(const ENCInfo* e, const ImageInfo* img)
{
    if (img->width != e->width || img->height != e->height) {
        log_error(g_logger, "sensor_enc_task", __LINE__, "encInfo->width:%d encInfo->height:%d width:%d height:%d",
                  (int)e->width, (int)e->height, (int)img->width, (int)img->height);
        return false;
    }
    // A picture larger than the input buffer is refused, never cut into it;
    // a 4:2:2 picture is converted into it, which always fits.
    if (!is_uyvy(e, img) && img->imageSize > e->frame_size + e->header_size) {
        log_error(g_logger, "sensor_enc_task", __LINE__, "frame of %u bytes exceeds the encoder input of %u bytes",
                  (unsigned)img->imageSize, (unsigned)(e->frame_size + e->header_size));
        return false;
    }
    return true;
}

// One frame off the worker's list, through the encoder and on.
void encode_frame(epcore_t* core, ENCInfo* e, void* in, ImageInfo* img)
{
    if (!acceptable(e, img)) {
        free_image(core, img);
        return;
    }
    mpp_packet_t packet = encode(e, in, img);
    if (!packet) {
        // No picture to send: the frame goes back to its producer's pool.
        log_error(g_logger, "sensor_enc_task", __LINE__, "no packet for frame, released");
        free_image(core, img);
        return;
    }
    e->pkt_eos = mpp_packet_get_eos(packet);
    sensor_enc_send_image(e, mpp_packet_get_pos(packet), mpp_packet_get_length(packet), img);
    mpp_packet_deinit(&packet);
}

} // namespace

int sensor_enc_sizeInfo(ENCInfo* encInfo)
{
    if (!encInfo) return -1;
    uint32 base = encInfo->format & MPP_FMT_BASE_MASK;
    if (base != MPP_FMT_YUV420SP && base != MPP_FMT_YUV420P) return -1;
    encInfo->frame_size = (size_t)align(encInfo->hor_stride, 64) * align(encInfo->ver_stride, 64) * 3 / 2;
    encInfo->header_size = 0;
    if (encInfo->format & MPP_FMT_FBC_MASK) {
        size_t h = (size_t)align(encInfo->width, 16) * align(encInfo->height, 16) / 16;
        encInfo->header_size = (h + 4095) / 4096 * 4096;
    }
    return 0;
}

int mpp_enc_setup(ENCInfo* e)
{
    if (!e || !e->cfg || !e->mpi) return -1;
    int rc = 0;
    rc |= set_s32(e, "prep:width", (int32)e->width);
    rc |= set_s32(e, "prep:height", (int32)e->height);
    rc |= set_s32(e, "prep:hor_stride", (int32)e->hor_stride);
    rc |= set_s32(e, "prep:ver_stride", (int32)e->ver_stride);
    rc |= set_s32(e, "prep:format", (int32)e->format);
    log_info(g_logger, __FUNCTION__, __LINE__, "encInfo->rc_mode:%d", (int)e->rc_mode);
    rc |= set_s32(e, "rc:mode", e->rc_mode);
    rc |= set_s32(e, "rc:fps_in_flex", e->fps_in_flex);
    rc |= set_s32(e, "rc:fps_in_num", e->fps_in_num);
    rc |= set_s32(e, "rc:fps_in_denorm", e->fps_in_den);
    rc |= set_s32(e, "rc:fps_out_flex", e->fps_out_flex);
    rc |= set_s32(e, "rc:fps_out_num", e->fps_out_num);
    rc |= set_s32(e, "rc:fps_out_denorm", e->fps_out_den);
    rc |= set_s32(e, "rc:gop", e->gop_len ? e->gop_len : e->fps_out_num * 2);
    rc |= set_u32(e, "rc:drop_mode", 0);
    rc |= set_u32(e, "rc:drop_thd", 20);
    rc |= set_u32(e, "rc:drop_gap", 1);
    rc |= set_s32(e, "rc:bps_target", e->bps);
    if (e->rc_mode != MPP_RC_FIXQP) {
        // 64-bit: bit rates near the top of the range must not wrap.
        const int64 bps = e->bps;
        int64 lo = (e->rc_mode == MPP_RC_VBR || e->rc_mode == MPP_RC_AVBR) ? bps / 16 : bps * 15 / 16;
        rc |= set_s32(e, "rc:bps_max", e->bps_max ? e->bps_max : (int32)(bps * 17 / 16));
        rc |= set_s32(e, "rc:bps_min", e->bps_min ? e->bps_min : (int32)lo);
    }
    switch (e->type) {
    case MPP_CODING_H264:
    case MPP_CODING_H265:
        if (set_qp(e, &rc)) rc |= set_s32(e, "rc:qp_ip", 2);
        break;
    case MPP_CODING_MJPEG:
        rc |= set_s32(e, "jpeg:q_factor", 80);
        rc |= set_s32(e, "jpeg:qf_max", 99);
        rc |= set_s32(e, "jpeg:qf_min", 1);
        break;
    case MPP_CODING_VP8:
        rc |= set_s32(e, "rc:qp_init", 40);
        rc |= set_s32(e, "rc:qp_max", 127);
        rc |= set_s32(e, "rc:qp_min", 0);
        rc |= set_s32(e, "rc:qp_max_i", 127);
        rc |= set_s32(e, "rc:qp_min_i", 0);
        rc |= set_s32(e, "rc:qp_ip", 6);
        break;
    default:
        break;
    }
    if (rc != 0) log_error(g_logger, __FUNCTION__, __LINE__, "mpp_enc_cfg_set fail.");
    e->split_mode = 0;
    e->split_arg = 0;
    if (e->mpi->control(e->ctx, MPP_CMD_ENC_SET_CFG, e->cfg) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "mpi control enc set cfg failed");
        return -1;
    }
    e->sei_mode = 2;
    if (e->mpi->control(e->ctx, MPP_CMD_ENC_SET_SEI_CFG, &e->sei_mode) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "mpi control enc set sei cfg failed");
        return -1;
    }
    if (e->type == MPP_CODING_H264 || e->type == MPP_CODING_H265) {
        e->header_mode = 1;
        if (e->mpi->control(e->ctx, MPP_CMD_ENC_SET_HEADER_MODE, &e->header_mode) != 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "mpi control enc set header mode failed");
            return -1;
        }
        // The stream header is fetched once; the pictures carry their own.
        mpp_packet_t packet = nullptr;
        if (mpp_packet_init_with_buffer(&packet, e->pkt_buf) != 0) return -1;
        mpp_packet_set_length(packet, 0);
        int hdr = e->mpi->control(e->ctx, MPP_CMD_ENC_GET_HDR_SYNC, packet);
        mpp_packet_deinit(&packet);
        if (hdr != 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "mpi control enc get extra info failed");
            return -1;
        }
    }
    return rc == 0 ? 0 : -1;
}

int sensor_enc_init(void* vpcore, uint64_t type, iodev_t** ppdev)
{
    auto* core = static_cast<epcore_t*>(vpcore);
    if (!core || !ppdev) return -1;
    *ppdev = nullptr;
    auto* e = static_cast<ENCInfo*>(kzalloc(sizeof(ENCInfo)));
    if (!e) {
        // Without its state there is no encoder: the caller must not go on.
        log_error(g_logger, __FUNCTION__, __LINE__, "no mem for ENCInfo");
        return -1;
    }
    e->width = kWidth;
    e->height = kHeight;
    e->hor_stride = kWidth;
    e->ver_stride = kHeight;
    e->format = MPP_FMT_YUV420SP;
    e->type = coding_of(reg(kRegEncType), reg(kRegRgbSensorType));
    e->rc_mode = MPP_RC_FIXQP;
    e->fps_in_num = e->fps_out_num = kFps;
    e->fps_in_den = e->fps_out_den = 1;
    e->bps = (int32)(e->width * e->height / 8 * 15 * 2);
    log_info(g_logger, __FUNCTION__, __LINE__, "encInfo->width:%d encInfo->height:%d", (int)e->width,
             (int)e->height);
    log_info(g_logger, __FUNCTION__, __LINE__, "encInfo->hor_stride:%d encInfo->ver_stride:%d",
             (int)e->hor_stride, (int)e->ver_stride);
    if (sensor_enc_sizeInfo(e) != 0) {
        fail_init(e, "sensor_enc_sizeInfo fail.");
        return -1;
    }
    e->packet_size = e->frame_size;

    if (mpp_buffer_group_get(&e->buf_grp, MPP_BUFFER_TYPE_DRM, MPP_BUFFER_INTERNAL) != 0) {
        e->buf_grp = nullptr;
        fail_init(e, "mpp_buffer_group_get_internal fail.");
        return -1;
    }
    if (mpp_buffer_get(e->buf_grp, &e->frm_buf, e->frame_size + e->header_size, "sensor_enc") != 0 ||
        mpp_buffer_get(e->buf_grp, &e->pkt_buf, e->frame_size, "sensor_enc") != 0) {
        fail_init(e, "mpp_buffer_get fail.");
        return -1;
    }
    if (mpp_create(&e->ctx, &e->mpi) != 0) {
        e->ctx = nullptr;
        fail_init(e, "mpp_create fail.");
        return -1;
    }
    int64 timeout = -1; // blocking: a packet comes back for every frame put
    if (e->mpi->control(e->ctx, MPP_CMD_SET_OUTPUT_TIMEOUT, &timeout) != 0 ||
        mpp_init(e->ctx, MPP_CTX_ENC, e->type) != 0) {
        fail_init(e, "mpp_create fail.");
        return -1;
    }
    if (mpp_enc_cfg_init(&e->cfg) != 0) {
        e->cfg = nullptr;
        fail_init(e, "mpp_enc_cfg_init fail.");
        return -1;
    }

    // Only asked whether a sender runs: the callback reaches it by its id,
    // as its record goes when it ends.
    if (!epcore_worker_find(core, E_WORKER_ID_GVSP)) {
        fail_init(e, "epcore_worker_find fail.");
        return -1;
    }
    iodev_t* dev = iodev_new(core);
    if (!dev) {
        fail_init(e, "iodev_new fail.");
        return -1;
    }
    dev->id = type;
    dev->fd = -1;
    dev->fdtype = 512;
    dev->callback = sensor_enc_capture_streram;
    dev->cbpara = core;
    dev->iostate = IOSTATE_READY;
    dev->priv_data = e;
    if (epcore_iodev_add(core, dev) != 0) {
        iodev_discard(dev);
        fail_init(e, "encoder device taken.");
        return -1;
    }
    e->pdev = dev;
    if (mpp_enc_setup(e) != 0) {
        // Pictures must not go out in a coding other than the one announced.
        log_error(g_logger, __FUNCTION__, __LINE__, "mpp_enc_setup fail.");
        sensor_enc_uninit(dev);
        return -1;
    }
    *ppdev = dev;
    return 0;
}

void sensor_enc_uninit(iodev_t* dev)
{
    if (!dev) return;
    if (auto* e = static_cast<ENCInfo*>(dev->priv_data)) {
        release_mpp(e);
        dev->priv_data = nullptr;
        kfree(e);
    }
    iodev_close(dev);
}

int sensor_enc_send_image(ENCInfo* encInfo, const void* ptr, size_t len, ImageInfo* encImageInfo)
{
    if (!encImageInfo) return -1;
    epcore_t* core = encInfo ? core_of(encInfo) : nullptr;
    uint32 encType = reg(kRegEncType);
    if (!encInfo || !reg(kRegEnableRgb)) {
        free_image(core, encImageInfo);
        return 0;
    }
    if (!ptr || len > frame_room(core, encImageInfo)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "packet of %u bytes does not fit the frame", (unsigned)len);
        free_image(core, encImageInfo);
        return -1;
    }
    encImageInfo->sensorIndex = 0;
    encImageInfo->imageType = image_type_of(encType);
    encImageInfo->pixelFormat = kPixelFormat;
    encImageInfo->imageSize = (uint32)len;
    memcpy(encImageInfo->imageData, ptr, len);
    algo_sendImage(core, encImageInfo);
    return 0;
}

int sensor_enc_capture_streram(void* vpcore, void* vobj, int event, int fdtype)
{
    (void)event;
    (void)fdtype;
    auto* core = static_cast<epcore_t*>(vpcore);
    auto* dev = static_cast<iodev_t*>(vobj);
    auto* e = dev ? static_cast<ENCInfo*>(dev->priv_data) : nullptr;
    // The sender is reached by its id, while it cannot end under us.
    if (!core || !e) return -1;
    ImageInfo* img = nullptr;
    epcore_with_worker(core, E_WORKER_ID_GVSP, [&](worker_t* gvsp) { img = frame_take(gvsp); });
    if (!img) {
        wait_ms(kIdleMs);
        return 0;
    }
    if (!acceptable(e, img)) {
        free_image(core, img);
        return 0;
    }
    void* in = mpp_buffer_get_ptr(e->frm_buf);
    mpp_packet_t packet = in ? encode(e, in, img) : nullptr;
    uint32 width = img->width, height = img->height;
    free_image(core, img);
    if (!packet) return 0;
    e->pkt_eos = mpp_packet_get_eos(packet);
    size_t len = mpp_packet_get_length(packet);
    ImageInfo* out = sensor_frame_fetch(core->rgb, E_MEMTYPE_RGB);
    if (!out || len > sensor_frame_room(core->rgb)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "malloc fail.");
        free_image(core, out);
        mpp_packet_deinit(&packet);
        return -1;
    }
    out->memType = E_MEMTYPE_RGB;
    out->imageType = E_IMAGE_TYPE_H264;
    out->pixelFormat = kPixelFormat;
    out->imageSize = (uint32)len;
    out->width = out->outWidth = width;
    out->height = out->outHeight = height;
    get_local_time(&out->timeStampH, &out->timeStampL);
    memcpy(out->imageData, mpp_packet_get_pos(packet), len);
    mpp_packet_deinit(&packet);
    ImageInfo* dropped = nullptr;
    bool full = false;
    bool queued = epcore_with_worker(core, E_WORKER_ID_GVSP, [&](worker_t* gvsp) {
        EnterCriticalSection(&gvsp->datalistCS);
        if (lt_num(gvsp->data_list) > kSenderListMax) {
            full = true;
            dropped = static_cast<ImageInfo*>(lt_rm_head(gvsp->data_list));
        }
        lt_append(gvsp->data_list, out);
        LeaveCriticalSection(&gvsp->datalistCS);
    });
    if (full) log_error(g_logger, __FUNCTION__, __LINE__, "==========full===========");
    free_image(core, queued ? dropped : out);
    // The picture did not come from the camera source: there is no buffer
    // of it to give back, and index -1 says so.
    camera_source_put_frame(e->cam_ctx, -1);
    return 0;
}

void* sensor_enc_task(void* vwker)
{
    auto* wk = static_cast<worker_t*>(vwker);
    if (!wk) return nullptr;
    epcore_t* core = wk->epcore;
    // Producers hand this worker pool frames; whatever is left goes back
    // to its pool.
    worker_set_datafree(wk, frame_datafree);
    set_task_name("enc");
    iodev_t* dev = nullptr;
    ENCInfo* e = nullptr;
    void* in = nullptr;
    if (sensor_enc_init(core, E_DEVICE_ENC, &dev) == 0) {
        e = static_cast<ENCInfo*>(dev->priv_data);
        in = mpp_buffer_get_ptr(e->frm_buf);
    }
    if (!in) {
        log_error(g_logger, __FUNCTION__, __LINE__, "sensor_enc_init fail.");
    } else {
        while (!core->quit.load() && !wk->quit.load()) {
            if (ImageInfo* img = frame_take(wk)) encode_frame(core, e, in, img);
            else event_wait(wk->ioevent, kIdleMs);
        }
    }
    sensor_enc_uninit(dev);
    // Logged while still registered: once gone, the process may end under us.
    log_info(g_logger, __FUNCTION__, __LINE__, "end enc task");
    worker_destory(wk);
    return nullptr;
}

void sensor_enc_uyvy_to_nv12(const uint8_t* uyvy, uint8_t* nv12, uint32_t width, uint32_t height,
                             uint32_t hor_stride, uint32_t ver_stride)
{
    if (!uyvy || !nv12 || hor_stride < width || ver_stride < height) return;
    uint8_t* luma = nv12;
    uint8_t* chroma = nv12 + (size_t)hor_stride * ver_stride;
    for (uint32_t y = 0; y < height; y++) {
        const uint8_t* src = uyvy + (size_t)y * width * 2;
        uint8_t* dst = luma + (size_t)y * hor_stride;
        for (uint32_t x = 0; x + 1 < width; x += 2) {
            dst[x] = src[2 * x + 1];
            dst[x + 1] = src[2 * x + 3];
        }
        if (y % 2) continue;
        uint8_t* uv = chroma + (size_t)(y / 2) * hor_stride;
        for (uint32_t x = 0; x + 1 < width; x += 2) {
            uv[x] = src[2 * x];         // U
            uv[x + 1] = src[2 * x + 2]; // V
        }
    }
}

// ---- Sensor operations ----

namespace {

constexpr uint32 kCidExposure = 0x00980911;
constexpr uint32 kCidHflip = 0x00980914;
constexpr uint32 kCidVflip = 0x00980915;
constexpr uint32 kCidAnalogueGain = 0x009E0903;

constexpr uint16 kRegLineLength = 0x320C;  // high byte; low byte at 0x320D
constexpr uint16 kRegFrameLength = 0x320E; // high byte; low byte at 0x320F
constexpr uint16 kRegModeA = 0x3234;
constexpr uint16 kRegModeB = 0x3228;

// PWM outputs of the encoder's triggered cameras.
constexpr int kTriggerChip = 0;
constexpr int kVldChip = 1;

// Compressed pictures: up to 35 ms of exposure without the illuminator,
// 11 ms with it.
constexpr VldAeConfig kAe = {0x1000105c, 35000.0f, 0x10001050, 11000.0f, kTriggerChip, kVldChip, 1};

std::mutex s_aeMu;
VldAeState s_ae{VLD_AE_ON, 0, -1, -1}; // under s_aeMu


constexpr auto& subdev_of = sensor_subdev_of;

int set_ctrl(iodev_t* pdev, uint32 id, uint32 value) { return sensor_set_ctrl(subdev_of(pdev), id, (int32_t)value); }

int get_ctrl(iodev_t* pdev, uint32 id, uint32_t* value) { return sensor_get_ctrl(subdev_of(pdev), id, value); }

// A 16-bit length from its high-byte register and the one after it.
int read_length(iodev_t* pdev, uint16 high, uint32* value)
{
    return sensor_subdev_pair(subdev_of(pdev), high, (uint16)(high + 1u), value);
}

} // namespace

int sensor_enc_read_reg(iodev_t* pdev, uint32_t address, uint16_t* value)
{
    if (!value) return -1;
    return sensor_subdev_read(subdev_of(pdev), (uint16)address, value);
}

int sensor_enc_write_reg(iodev_t* pdev, uint32_t address, uint16_t value)
{
    return sensor_subdev_write(subdev_of(pdev), (uint16)address, (uint8)value);
}

int sensor_enc_set_vfilp(iodev_t* pdev, uint32_t on) { return set_ctrl(pdev, kCidVflip, on); }
int sensor_enc_set_hfilp(iodev_t* pdev, uint32_t on) { return set_ctrl(pdev, kCidHflip, on); }

int sensor_enc_get_vfilp(iodev_t* pdev, uint32_t* on)
{
    int rc = get_ctrl(pdev, kCidVflip, on);
    if (rc == 0) log_info(g_logger, __FUNCTION__, __LINE__, "ctrl.value:%d", (int)*on);
    return rc;
}

int sensor_enc_get_hfilp(iodev_t* pdev, uint32_t* on)
{
    int rc = get_ctrl(pdev, kCidHflip, on);
    if (rc == 0) log_info(g_logger, __FUNCTION__, __LINE__, "ctrl.value:%d", (int)*on);
    return rc;
}

int sensor_enc_set_gain(iodev_t* pdev, uint32_t gain) { return set_ctrl(pdev, kCidAnalogueGain, gain); }
int sensor_enc_get_gain(iodev_t* pdev, uint32_t* gain) { return get_ctrl(pdev, kCidAnalogueGain, gain); }

int sensor_enc_set_integration(iodev_t* pdev, uint32_t time)
{
    uint32 line = 0;
    if (read_length(pdev, kRegLineLength, &line) != 0) return -1;
    return set_ctrl(pdev, kCidExposure, sensor_colour_exposure_lines(time, line, true));
}

int sensor_enc_get_integration(iodev_t* pdev, uint32_t* time) { return get_ctrl(pdev, kCidExposure, time); }

int sensor_enc_set_fps(iodev_t* pdev, uint32_t fps)
{
    uint32 line = 0;
    if (read_length(pdev, kRegLineLength, &line) != 0) return -1;
    // The register holds half the frame length in 15 bits.
    const uint32 v = sensor_colour_frame_length(line, fps, true);
    int rc = sensor_enc_write_reg(pdev, kRegFrameLength, (uint16)(v >> 8));
    if (rc == 0) rc = sensor_enc_write_reg(pdev, kRegFrameLength + 1u, (uint16)(v & 0xFF));
    return rc;
}

int sensor_enc_get_fps(iodev_t* pdev, uint32_t* fps)
{
    if (!fps) return -1;
    *fps = 0;
    uint32 frame = 0, line = 0;
    if (read_length(pdev, kRegFrameLength, &frame) != 0 || read_length(pdev, kRegLineLength, &line) != 0) return -1;
    *fps = sensor_colour_rate(frame, line);
    return 0;
}

int sensor_enc_switch_mode(iodev_t* pdev, uint32_t mode)
{
    const bool triggered = mode == 1;
    int rc = 0;
    rc |= sensor_enc_write_reg(pdev, kRegModeA, triggered ? 0xB0 : 0x30);
    rc |= sensor_enc_write_reg(pdev, kRegModeB, triggered ? 0x60 : 0x40);
    rc |= sensor_enc_write_reg(pdev, kRegFrameLength, triggered ? 0x3F : 0x02);
    int sync = triggered ? 3 : 0;
    int srs = sensor_xioctl(subdev_of(pdev), (int)RKMODULE_SET_SYNC_MODE, &sync);
    if (srs != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "RKMODULE_SET_SYNC_MODE fail.");
        return srs;
    }
    // A mode half written is no mode: say so.
    return rc ? -1 : 0;
}

void sensor_enc_delay(void)
{
    sensor_pwm_enable(kVldChip, 1);
    log_info(g_logger, __FUNCTION__, __LINE__, "sensor_enc_delay");
}

int sensor_enc_auto_exposure(iodev_t* pdev, ImageInfo* image)
{
    if (!pdev || !image) return 0;
    auto* core = static_cast<epcore_t*>(pdev->cbpara);
    std::lock_guard<std::mutex> lk(s_aeMu);
    return sensor_vld_auto_exposure_with(core, &s_ae, &kAe, sensor_enc_delay, image->imageData, image->imageSize,
                                         (int)image->width, (int)image->height);
}

void sensor_enc_auto_exposure_reset(void)
{
    std::lock_guard<std::mutex> lk(s_aeMu);
    sensor_vld_ae_reset(&s_ae);
}
