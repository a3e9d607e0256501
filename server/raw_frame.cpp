// Storage of the raw-frame request shared by the file-transfer download and
// the ToF capture.
#include "server/raw_frame.h"

std::atomic<uint8> g_raw_flags{0};
uint8 g_raw_image[RAW_IMAGE_MAX];
std::atomic<uint32> g_raw_image_size{0};
