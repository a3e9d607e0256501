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
#include "mpp/camera_source.h"
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
    CamSource*         cam_ctx;    // camera source; never set
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

// ---- Sensor operations of the colour camera behind the encoder ----
// They act on the camera's sub-device (pdev->subdevFd); no operations table
// holds them. Each returns 0, or -1 (or the failing request's result).

// One 8-bit sensor register at a 16-bit address.
int sensor_enc_read_reg(iodev_t* pdev, uint32_t address, uint16_t* value);
int sensor_enc_write_reg(iodev_t* pdev, uint32_t address, uint16_t value);
// Flip and analogue-gain controls; the getters leave 0 on failure.
int sensor_enc_set_vfilp(iodev_t* pdev, uint32_t on);
int sensor_enc_get_vfilp(iodev_t* pdev, uint32_t* on);
int sensor_enc_set_hfilp(iodev_t* pdev, uint32_t on);
int sensor_enc_get_hfilp(iodev_t* pdev, uint32_t* on);
int sensor_enc_set_gain(iodev_t* pdev, uint32_t gain);
int sensor_enc_get_gain(iodev_t* pdev, uint32_t* gain);
// Exposure control in lines from `time` microseconds at the 148.5 MHz pixel
// clock and the line length of 0x320C/0x320D; refused while the line length
// is 0.
int sensor_enc_set_integration(iodev_t* pdev, uint32_t time);
int sensor_enc_get_integration(iodev_t* pdev, uint32_t* time);
// Frame length (0x320E/0x320F) for `fps` frames per second from the line
// length; a zero divisor writes 0.
int sensor_enc_set_fps(iodev_t* pdev, uint32_t fps);
// Frames per second from the frame and line lengths (0 when either is 0).
int sensor_enc_get_fps(iodev_t* pdev, uint32_t* fps);
// Mode 1 (triggered, synchronisation mode 3) or free running (mode 0).
int sensor_enc_switch_mode(iodev_t* pdev, uint32_t mode);
// Automatic exposure of a compressed picture, switching the illuminator off
// after five pictures at the floor and on again after five at the limit.
// Returns 1 when it switched, else 0.
int sensor_enc_auto_exposure(iodev_t* pdev, ImageInfo* image);
// The illuminator timer's action: enables the illuminator PWM output.
void sensor_enc_delay(void);
// Restarts the automatic exposure's switching state (illuminator in use).
void sensor_enc_auto_exposure_reset(void);

// GigE Vision code of 4:2:2 UYVY pictures (the FH8320's), which the encoder
// converts to its 4:2:0 semi-planar input instead of copying.
#define ENC_PIXEL_UYVY 0x0210001F
// Converts a width x height UYVY picture into NV12 laid out with the given
// strides (luma rows, then interleaved U/V rows from the even picture rows).
void sensor_enc_uyvy_to_nv12(const uint8_t* uyvy, uint8_t* nv12, uint32_t width, uint32_t height,
                             uint32_t hor_stride, uint32_t ver_stride);

#endif
