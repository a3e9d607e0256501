/* The board's media-process library as the encoder sees it: buffer groups
 * and buffers, an encoder context with its function table, the encoder
 * configuration set key by key, and the frame and packet objects that carry
 * pictures in and compressed pictures out.
 *
 * On an ordinary host the simulated board answers every call (and records
 * it, see simboard.h); its encoder turns a frame's bytes into a short
 * deterministic packet. Calls return 0 on success and a negative value on
 * failure; getters of objects that are missing return 0 or NULL. No call
 * throws. One context is used by one thread at a time. */
#ifndef KORVID_PLAT_MPP_H
#define KORVID_PLAT_MPP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Objects (opaque) ---- */

typedef struct MppCtxObj_*         mpp_ctx_t;
typedef struct MppBufferGroupObj_* mpp_buffer_group_t;
typedef struct MppBufferObj_*      mpp_buffer_t;
typedef struct MppFrameObj_*       mpp_frame_t;
typedef struct MppPacketObj_*      mpp_packet_t;
typedef struct MppMetaObj_*        mpp_meta_t;
typedef struct MppEncCfgObj_*      mpp_enc_cfg_t;

/* ---- Numbers the library defines ---- */

/* Coding types. */
#define MPP_CODING_H264  7u
#define MPP_CODING_MJPEG 8u
#define MPP_CODING_VP8   9u
#define MPP_CODING_H265  0x1000004u

/* Frame formats: YUV 4:2:0 semi-planar and planar. Bits 20..23 flag a
 * compressed (FBC) layout of the base format in the low bits. */
#define MPP_FMT_YUV420SP   0u
#define MPP_FMT_YUV420P    4u
#define MPP_FMT_FBC_MASK   0x00F00000u
#define MPP_FMT_BASE_MASK  0x000FFFFFu

/* Buffer memory and group modes. */
#define MPP_BUFFER_TYPE_DRM 3u
#define MPP_BUFFER_INTERNAL 0u

/* Context kinds. */
#define MPP_CTX_DEC 0
#define MPP_CTX_ENC 1

/* Rate-control modes. */
#define MPP_RC_VBR   0
#define MPP_RC_CBR   1
#define MPP_RC_FIXQP 2
#define MPP_RC_AVBR  3

/* Control commands and their parameter. */
#define MPP_CMD_SET_OUTPUT_TIMEOUT 0x200007u /* int64_t*: ms, -1 blocking */
#define MPP_CMD_ENC_SET_CFG        0x320001u /* mpp_enc_cfg_t */
#define MPP_CMD_ENC_GET_HDR_SYNC   0x32000Du /* mpp_packet_t receiving the stream header */
#define MPP_CMD_ENC_SET_SEI_CFG    0x32000Fu /* int* */
#define MPP_CMD_ENC_SET_HEADER_MODE 0x328001u /* int* */

/* Metadata key of the packet a frame's encoding is written into ("opkt"). */
#define MPP_META_KEY_OUTPUT_PACKET \
    (((uint32_t)'o' << 24) | ((uint32_t)'p' << 16) | ((uint32_t)'k' << 8) | (uint32_t)'t')

/* ---- Context ---- */

typedef struct MppApi_ {
    int (*control)(mpp_ctx_t ctx, uint32_t cmd, void* param);
    /* Encodes a frame into the packet attached to its metadata. */
    int (*encode_put_frame)(mpp_ctx_t ctx, mpp_frame_t frame);
    /* The packet of the frame put last: the one attached to it. */
    int (*encode_get_packet)(mpp_ctx_t ctx, mpp_packet_t* packet);
    int (*reset)(mpp_ctx_t ctx);
} mpp_api_t;

int mpp_create(mpp_ctx_t* ctx, mpp_api_t** mpi);
int mpp_init(mpp_ctx_t ctx, int kind, uint32_t coding);
int mpp_destroy(mpp_ctx_t ctx);

/* ---- Buffers ---- */

int   mpp_buffer_group_get(mpp_buffer_group_t* group, uint32_t type, uint32_t mode);
int   mpp_buffer_group_put(mpp_buffer_group_t group);
int   mpp_buffer_get(mpp_buffer_group_t group, mpp_buffer_t* buffer, size_t size, const char* tag);
void* mpp_buffer_get_ptr(mpp_buffer_t buffer);
int   mpp_buffer_put(mpp_buffer_t buffer);

/* ---- Encoder configuration ---- */

int mpp_enc_cfg_init(mpp_enc_cfg_t* cfg);
int mpp_enc_cfg_deinit(mpp_enc_cfg_t cfg);
int mpp_enc_cfg_set_s32(mpp_enc_cfg_t cfg, const char* key, int32_t value);
int mpp_enc_cfg_set_u32(mpp_enc_cfg_t cfg, const char* key, uint32_t value);

/* ---- Frames ---- */

int        mpp_frame_init(mpp_frame_t* frame);
int        mpp_frame_deinit(mpp_frame_t* frame);
void       mpp_frame_set_width(mpp_frame_t frame, uint32_t width);
void       mpp_frame_set_height(mpp_frame_t frame, uint32_t height);
void       mpp_frame_set_hor_stride(mpp_frame_t frame, uint32_t stride);
void       mpp_frame_set_ver_stride(mpp_frame_t frame, uint32_t stride);
void       mpp_frame_set_fmt(mpp_frame_t frame, uint32_t format);
void       mpp_frame_set_eos(mpp_frame_t frame, uint32_t eos);
void       mpp_frame_set_buffer(mpp_frame_t frame, mpp_buffer_t buffer);
mpp_meta_t mpp_frame_get_meta(mpp_frame_t frame);
int        mpp_meta_set_packet(mpp_meta_t meta, uint32_t key, mpp_packet_t packet);

/* ---- Packets ---- */

/* A packet whose data is the buffer's memory; it does not own the buffer. */
int    mpp_packet_init_with_buffer(mpp_packet_t* packet, mpp_buffer_t buffer);
int    mpp_packet_deinit(mpp_packet_t* packet);
void   mpp_packet_set_length(mpp_packet_t packet, size_t length);
void*  mpp_packet_get_pos(mpp_packet_t packet);
size_t mpp_packet_get_length(mpp_packet_t packet);
uint32_t mpp_packet_get_eos(mpp_packet_t packet);

#ifdef __cplusplus
}
#endif

#endif
