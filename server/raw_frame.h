// The raw-frame request of the file-transfer download: the download sets the
// flag and waits; the ToF capture copies the next frame into the image,
// stores its size and only then clears the flag, so a download that sees
// the flag clear finds a whole frame of the stated size.
#ifndef KORVID_SERVER_RAW_FRAME_H
#define KORVID_SERVER_RAW_FRAME_H

#include <atomic>

#include "common/common.h"

// Room for the largest raw frame any ToF sensor delivers.
#define RAW_IMAGE_MAX 33177600u

// Set (1) by the download, cleared by the capture once g_raw_image holds a
// frame (release order: image and size first).
extern std::atomic<uint8> g_raw_flags;
// Written by the capture only while g_raw_flags is set.
extern uint8 g_raw_image[RAW_IMAGE_MAX];
extern std::atomic<uint32> g_raw_image_size;

#endif
