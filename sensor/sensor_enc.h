// Hardware encoder: the task of worker 516, which compresses the YUV
// pictures the cameras queue on its list to H.264, H.265 or MJPEG with the
// board's media-process library and hands each compressed picture, in the
// producer's own pool frame, to the stream sender.
#ifndef KORVID_SENSOR_SENSOR_ENC_H
#define KORVID_SENSOR_SENSOR_ENC_H

#include <stddef.h>
#include <stdint.h>

#include "common/common.h"
#include "eptype.h"
#include "plat_mpp.h"

// The encoder's state, owned by the encoder device (its priv_data).
typedef struct tagENCInfo {
    uint32_t           type;       // MPP_CODING_*
    uint32_t           format;     // MPP_FMT_*
    uint32_t           width;
    uint32_t           height;
    uint32_t           hor_stride;
    uint32_t           ver_stride;
    mpp_ctx_t          ctx;
    mpp_api_t*         mpi;
    mpp_buffer_group_t buf_grp;
    mpp_buffer_t       frm_buf;    // input picture: frame_size + header_size bytes
    mpp_buffer_t       pkt_buf;    // output packet: frame_size bytes
    int32_t            sei_mode;
    int32_t            header_mode;
    mpp_enc_cfg_t      cfg;
    void*              cam_ctx;    // camera source; never set
    size_t             header_size;
    size_t             frame_size;
    size_t             packet_size;
    // Rate control.
    int32_t            fps_in_flex;
    int32_t            fps_in_den;
    int32_t            fps_in_num;
    int32_t            fps_out_flex;
    int32_t            fps_out_den;
    int32_t            fps_out_num;
    int32_t            bps;
    int32_t            bps_max;
    int32_t            bps_min;
    int32_t            rc_mode;    // MPP_RC_*
    int32_t            gop_mode;
    int32_t            gop_len;
    int32_t            vi_len;
    uint32_t           split_mode;
    uint32_t           split_arg;
    uint32_t           frm_eos;
    uint32_t           pkt_eos;
    uint32_t           frm_pkt_cnt;
    int32_t            frame_num;
    uint64_t           frame_count;  // pictures encoded
    uint64_t           stream_size;  // compressed bytes produced
    iodev_t*           pdev;         // the encoder device
} ENCInfo;

// Body of worker 516 (encoder); `vwker` is the worker_t.
void* sensor_enc_task(void* vwker);

// Builds the encoder state, the library objects and the encoder device
// (registered in the core under `type`, handed back in *ppdev). 0, or -1
// with everything released.
int sensor_enc_init(void* vpcore, uint64_t type, iodev_t** ppdev);

// Releases what sensor_enc_init built: the library objects, the state and
// the device (closed).
void sensor_enc_uninit(iodev_t* dev);

// Frame and header sizes from the strides and format: 0, or -1 for a format
// that is not YUV 4:2:0.
int sensor_enc_sizeInfo(ENCInfo* encInfo);

// The encoder configuration and controls for the coding type and rate
// control of `encInfo`: 0, or -1 when the library refuses one of them.
int mpp_enc_setup(ENCInfo* encInfo);

// Hands a compressed picture on in the producer's frame `encImageInfo`
// (which it owns from here): released when the colour stream is off or the
// packet does not fit, else relabelled, filled with the `len` bytes at `ptr`
// and passed to the stream gate. 0, or -1 when the frame was refused.
int sensor_enc_send_image(ENCInfo* encInfo, const void* ptr, size_t len, ImageInfo* encImageInfo);

// The encoder device's callback (its descriptor is -1, so no event calls it):
// encodes a frame taken off the stream sender's list into a new colour-pool
// frame queued back on that list.
int sensor_enc_capture_streram(void* vpcore, void* vobj, int event, int fdtype);

// GigE Vision code of 4:2:2 UYVY pictures (the FH8320's), which the encoder
// converts to its 4:2:0 semi-planar input instead of copying.
#define ENC_PIXEL_UYVY 0x0210001F
// Converts a width x height UYVY picture into NV12 laid out with the given
// strides (luma rows, then interleaved U/V rows from the even picture rows).
void sensor_enc_uyvy_to_nv12(const uint8_t* uyvy, uint8_t* nv12, uint32_t width, uint32_t height,
                             uint32_t hor_stride, uint32_t ver_stride);

#endif
