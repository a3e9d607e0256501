// Shared frame header and the small helpers every part of the device code
// leans on: clocks and sleeps, thread naming and CPU binding, file and
// free-space queries, timer descriptors, hexadecimal conversion, I2C access
// (the board CPLD included) and 12-bit pixel packing. Checksums and PGM files
// live in their own modules, pulled in here for convenience.
#ifndef KORVID_COMMON_COMMON_H
#define KORVID_COMMON_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include "dlist.h"
#include "eptype.h"

typedef uint8_t  uint8;
typedef uint16_t uint16;
typedef uint32_t uint32;
typedef uint64_t uint64;
typedef int8_t   int8;
typedef int16_t  int16;
typedef int32_t  int32;
typedef int64_t  int64;

#include "common/crc.h"
#include "common/md5.h"
#include "common/pnm.h"

/* ---- Frames ---- */

// Pool a frame came from; any other value marks a heap block.
typedef enum _MEMTYPE {
    E_MEMTYPE_RAW = 1,              // core pool raw
    E_MEMTYPE_RGB = 2,              // core pool rgb
    E_MEMTYPE_DEPTH = 3,            // core pool depth
    E_MEMTYPE_APPLATION = 4,        // core pool applation_algo
    E_MEMTYPE_APPLATION_RESULT = 5, // core pool applation_algo_result
} MEMTYPE;

// What a frame carries; the stream sender dispatches on it.
typedef enum _ImageType {
    E_IMAGE_TYPE_TEST_PACKET = 0,
    E_IMAGE_TYPE_DEPTH = 1,
    E_IMAGE_TYPE_AMP = 2,
    E_IMAGE_TYPE_RAW = 3,   // raw ToF or grey picture
    E_IMAGE_TYPE_RGB = 4,
    E_IMAGE_TYPE_JPEG = 5,
    E_IMAGE_TYPE_H264 = 6,
    E_IMAGE_TYPE_H265 = 7,
    E_IMAGE_TYPE_AVOID = 8,  // first-generation avoidance result
    E_IMAGE_TYPE_PALLET = 9,
    E_IMAGE_TYPE_MJPEG = 10,
    E_IMAGE_TYPE_AVOID2 = 11, // second-generation avoidance result
} ImageType;

// Header at the start of every frame buffer; the pixels follow directly.
typedef struct _ImageInfo {
    void*  res[2];      // list links; a frame is on at most one list
    uint32 memType;     // _MEMTYPE
    uint32 sensorIndex;
    uint32 imageType;   // _ImageType
    uint32 width;       // of the data, in pixels
    uint32 height;
    uint32 outWidth;    // announced to the host
    uint32 outHeight;
    uint32 pixelFormat; // GigE Vision pixel format code
    uint32 timeStampH;  // seconds
    uint32 timeStampL;  // nanoseconds
    int64  lTimeStampH;
    int64  lTimeStampL;
    uint64 frameIndex;
    uint32 PDFlags;
    uint64 blkId;       // GigE Vision block id
    uint32 imageSize;   // valid data bytes
    uint8  imageData[]; // the data
} ImageInfo;

// Pool units are sized header + largest data, so the header's size is part
// of the pool sizes start-up uses; keep the layout fixed.
static_assert(offsetof(ImageInfo, res) == 0);
static_assert(offsetof(ImageInfo, memType) == 16);
static_assert(offsetof(ImageInfo, sensorIndex) == 20);
static_assert(offsetof(ImageInfo, imageType) == 24);
static_assert(offsetof(ImageInfo, width) == 28);
static_assert(offsetof(ImageInfo, height) == 32);
static_assert(offsetof(ImageInfo, outWidth) == 36);
static_assert(offsetof(ImageInfo, outHeight) == 40);
static_assert(offsetof(ImageInfo, pixelFormat) == 44);
static_assert(offsetof(ImageInfo, timeStampH) == 48);
static_assert(offsetof(ImageInfo, timeStampL) == 52);
static_assert(offsetof(ImageInfo, lTimeStampH) == 56);
static_assert(offsetof(ImageInfo, lTimeStampL) == 64);
static_assert(offsetof(ImageInfo, frameIndex) == 72);
static_assert(offsetof(ImageInfo, PDFlags) == 80);
static_assert(offsetof(ImageInfo, blkId) == 88);
static_assert(offsetof(ImageInfo, imageSize) == 96);
static_assert(offsetof(ImageInfo, imageData) == 100);
static_assert(sizeof(ImageInfo) == 104);

// Command and result record of the UDP command port, 8 bytes on the wire.
// Records the device sends start AC ED and carry length 4; `result` is
// big-endian.
typedef struct _SocketInfo {
    uint8  header[2]; // first byte 0xAC
    uint8  length;    // bytes of result
    uint8  cmd;
    uint32 result;    // big-endian
} SocketInfo;

static_assert(sizeof(SocketInfo) == 8);
static_assert(offsetof(SocketInfo, length) == 2);
static_assert(offsetof(SocketInfo, cmd) == 3);
static_assert(offsetof(SocketInfo, result) == 4);

// Gives a frame back: memType 1..5 to that pool of the core (vpcore is an
// epcore_t*), anything else to the heap. A null frame is ignored.
void free_image(void* vpcore, ImageInfo* imageInfo);
// Gives back every frame on `frames` with free_image, emptying the list;
// how many. Callers move frames here under their list lock and call this
// after it, so no pool lock nests in a list lock.
int frames_release(void* vpcore, dlist_t* frames);

// Frames travel between workers on the receiver's data list, under its
// datalistCS; these are the moves every frame worker makes.

// Takes the frame at the head of the worker's data list; NULL when none.
ImageInfo* frame_take(worker_t* wk);
// Leaves `image` as the only frame waiting on the list of the worker
// registered under `id` and wakes it, while the worker cannot end; frames
// that were waiting go back with free_image (after the locks, so no pool
// lock nests in them). When no live worker is there (none, or it is ending)
// `image` goes back the same way. True when the worker took it.
bool frame_post_latest_to(void* vpcore, uint64_t id, ImageInfo* image);
// Takes frames off the worker's list and hands each to `use` (which owns
// it), sleeping up to idleMs while there is none, until the worker or its
// core is stopped.
void frame_serve(worker_t* wk, void (*use)(epcore_t* core, ImageInfo* image), int idleMs);
// Release of frames left on a worker's lists (its WorkerDataFree).
void frame_datafree(epcore_t* core, void* item);

/* ---- Time ---- */

uint32 get_tickcount(void);  // monotonic milliseconds, wraps at 2^32
uint64 getTimestamp(void);   // wall-clock milliseconds since 1970
void   wait_ms(unsigned long a);
// The depth library's current frame time stamp.
void   get_local_time(uint32* psec, uint32* pnsec);

/* ---- Threads and files ---- */

void   set_task_name(const char* name);
int    bind_cpu_core(int cpuIndex); // 0, or -1 when the system refuses
uint32 get_fileSize(const char* path);
uint32 get_fileContext(const char* fileName, uint8* fileBuf, uint32 bufSize);
// Rewrites a board file whole (truncate, write, flush, sync): 0, or -1 when
// it cannot be opened or written.
int    put_fileContext(const char* fileName, const void* data, size_t size);
// Replaces a board file whole so that a kill or power loss leaves either the
// old file or the new one, never a torn one: the data go to a temporary file
// beside it, which is synced and renamed over it (the file keeps its
// permissions; a new one gets 0644). 0, or -1 with the old file untouched.
int    put_fileAtomic(const char* fileName, const void* data, size_t size);
// The temporary file of a replacement is named after its target: the
// target's name, SAVE_TMP_MARK and six letters or digits.
#define SAVE_TMP_MARK ".tmp-"
// Creates a new temporary file beside `fileName` for writing, with the
// target's permissions (0644 for a new target): its descriptor, its board
// path in tmp; -1 when it cannot be made.
int    save_tmp_open(const char* fileName, char* tmp, size_t size);
// Renames a written and synced temporary file over its target, then syncs
// the directory so that the rename lasts: 0, or -1 (the temporary file is
// left to the caller).
int    save_tmp_rename(const char* tmp, const char* fileName);
// Removes the temporary files that interrupted replacements left in the
// directories the board keeps its files in; the number removed.
int    save_tmp_sweep(void);
int    get_deviceFreeSpace(const char* dir, uint64* freeSpace); // MiB
uint8  get_random(void);
void   save_img(void* start, uint32 size, int flags);
int    get_input_dev(const char* name);

/* ---- Timers (timerfd) ---- */

int timerCreate(void);
// First expiry after timeout ms, then every 1 s + (timeout % 1000) ms.
int startTimer(int timerfd, int timeout);
int stopTimer(int timerfd);

/* ---- Numbers and text ---- */

void   float2hex(float f, uint32* hex);
void   hex2float(uint32 hex, float* f);
void   int2byte(uint32 val, uint8* bytes);
uint32 byte2int(const uint8* bytes);
bool   is_hex(char c);
uint8  char_to_hex(char c);
int    hex_string_format(char* str, char* hex_str);
int    isContinuousOnes(int num);
void   BubbleSort(int* arr, int as);

/* ---- I2C (i2c-dev) ---- */

int i2c_read16bit(int fd, uint16 addr, uint16 reg, uint16* val);
int i2c_read08bit(int fd, uint16 addr, uint16 reg, uint8* val);
int i2c_write16bit(int fd, uint8 addr, uint8 reg, uint16 val);
int i2c_read08addr08bit(int fd, uint8 addr, uint8 reg, uint8* val);
int i2c_write08addr08bit(int fd, uint8 addr, uint8 reg, uint8 val);
// Board CPLD at 0x11 on "/dev/i2c-3": rwFlag 0 read, 1 write, other values
// close the bus (reopened on the next call).
int i2c_cpld_rw(uint8 reg, uint8* readVal, uint8 writeVal, uint8 rwFlag);

/* ---- Pixels ---- */

void mono12_to_mono12packed(uint16* ptrIn, uint8* ptrOut, uint32 width, uint32 height);
void mono12_to_mono12p(uint16* ptrIn, uint8* ptrOut, uint32 width, uint32 height);

#endif
