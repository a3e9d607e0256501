// V4L2 capture source for the hardware encoder: a capture node whose
// memory-mapped buffers are exported as DMA buffers and imported into the
// media-process library, so that a captured picture is encoded where the
// camera wrote it, without a copy.
#ifndef KORVID_MPP_CAMERA_SOURCE_H
#define KORVID_MPP_CAMERA_SOURCE_H

#include <stdint.h>

#include "plat_mpp.h"

// One open capture node with its buffers; used by one thread at a time.
typedef struct CamSource CamSource;

// Opens `device`, sets a width x height picture in the V4L2 layout of MPP
// frame format `format`, maps `bufcnt` buffers, imports each into the
// library, queues them and starts streaming. NULL on any failure, with
// everything undone.
CamSource* camera_source_init(const char* device, uint32_t bufcnt, uint32_t width, uint32_t height,
                              uint32_t format);
// Waits for the next filled buffer: its index, or -1.
int camera_source_get_frame(CamSource* ctx);
// Queues buffer `idx` again: 0, or -1. A negative index is no buffer and
// returns 0 at once, whatever `ctx` is.
int camera_source_put_frame(CamSource* ctx, int idx);
// The library buffer of index `idx`; NULL for an index that names none.
mpp_buffer_t camera_frame_to_buf(CamSource* ctx, int idx);
// Stops streaming, releases and unmaps every buffer, closes the node and
// frees `ctx`: 0, or -1 for no source.
int camera_source_deinit(CamSource* ctx);

// The V4L2 fourcc of an MPP frame format: the YUV and RGB layouts V4L2 has
// a code for; NV12 for any other.
uint32_t camera_source_fourcc(uint32_t format);

#endif
