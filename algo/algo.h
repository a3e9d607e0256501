// Depth processing: the intake worker for raw ToF frames (512), the depth
// computation worker (514), colour processing (513), the stream gate in
// front of the GVSP sender (511) and the application-mode notification.
// Frames are pool buffers behind an ImageInfo header; whoever takes one off
// a list owns it and gives it back with free_image.
#ifndef KORVID_ALGO_ALGO_H
#define KORVID_ALGO_ALGO_H

#include <atomic>

#include "algo/algo_app.h"
#include "algo/algo_tavo.h"
#include "common/common.h"

// Running frame number stamped into the frames depth processing produces;
// the stream close sets it to 0.
extern std::atomic<uint64> g_frameIndex;

// GigE Vision pixel format of the depth and amplitude images (Mono16).
#define ALGO_PIXEL_MONO16 0x01100007u

// Worker bodies; `arg` is the worker_t.
void* algo_task(void* arg);       // 512: depth intake; starts 510 and 514
void* algo_depth_task(void* arg); // 514: depth computation
void* algo_rgb_task(void* arg);   // 513: colour processing

// Takes ownership of a pool frame and returns 0: queued for the GVSP
// sender when its stream is open and the sender's list has room, released
// otherwise.
int algo_sendImage(void* vpcore, ImageInfo* image);

// Turns one raw frame into depth and amplitude images of the size the
// library reports, for the streams that are open, and passes them (and the
// raw frame) to algo_sendImage. Takes ownership of `raw`. Returns the number
// of images computed.
int algo_depth_process(void* vpcore, ImageInfo* raw);

// The application-algorithm mode (enableApplationAlgo) changed.
void algo_status_notity(uint32 status);

#endif
