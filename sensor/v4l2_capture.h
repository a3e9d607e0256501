// V4L2 capture core shared by the sensor drivers: preparing a capture node
// (format, buffers, mappings), the buffer cycle (queue, stream on/off,
// dequeue, requeue), the hand-over of captured bytes into pool frames and on
// to a consumer worker, the raw-frame request, the capture loop with its
// time-out restart, the sensor register and control requests, the locked
// look-ups of workers and sensor devices, and the colour sensors' frame
// timing. A driver keeps only its own tables, modes and operations.
#ifndef KORVID_SENSOR_V4L2_CAPTURE_H
#define KORVID_SENSOR_V4L2_CAPTURE_H

#include <stdint.h>

#include <atomic>
#include <functional>

#include <linux/videodev2.h>

#include "bpool.h"
#include "common/common.h"
#include "sensor/sensor.h"

// ---- ToF capture state shared by the ToF capture callbacks ----

// Number stamped into the next ToF frame.
extern std::atomic<uint64> g_tof_frameIndex;
// 0 until the first frame after a task start has been dropped.
extern std::atomic<int> g_lost_raw;
// The ToF sensor's sub-device descriptor for the integration-time task; -1
// while no ToF sensor is open.
extern std::atomic<int> g_ctrlFd;

// Takes the start-time offset (wall clock minus monotonic time) that turns
// buffer time stamps into wall-clock time, and zeroes the frame counter.
void sensor_capture_clock_start(void);
// Stamps a frame with the start-time offset plus a buffer time (monotonic ns).
void sensor_capture_stamp(ImageInfo* img, uint64_t bufNs);
// Frames counted towards a once-a-second rate report.
typedef struct tagSensorFpsCounter {
    std::atomic<uint32> count{0};
    std::atomic<uint32> tick{0}; // when the last report went out
} SensorFpsCounter;
// Starts counting from now.
void sensor_fps_start(SensorFpsCounter* c);
// Counts one frame; once 1000 ms or more have passed since the last report,
// logs `fmt` (with the count) at debug level and starts counting again.
void sensor_fps_count(SensorFpsCounter* c, const char* fmt);
// The same on the ToF capture road's own counter.
void sensor_capture_count(const char* fmt);

// ---- Capture node ----

// The record and the sub-device descriptor of a sensor device (NULL and -1
// without one).
V4L2SensorInfo* sensor_info_of(iodev_t* dev);
int sensor_subdev_of(const iodev_t* dev);

// A register-space word as the drivers read their settings: 0 when unreadable.
uint32_t sensor_reg(uint32_t address);
// Writes a register-space word through the same rules as hosts: 0 or -1.
int sensor_reg_put(uint32_t address, uint32_t value);
// One 8-bit register of the sensor behind sub-device `fd`, through the
// private register requests: 0, or the failing request's result (a failed
// read gives 0).
int sensor_subdev_write(int fd, uint16_t addr, uint8_t val);
int sensor_subdev_read(int fd, uint16_t addr, uint16_t* val);
// The byte of one sensor register (0 when unreadable).
uint8_t sensor_subdev_byte(int fd, uint16_t addr);
// A 16-bit value kept in two byte registers, high byte first: 0, or -1 when
// either read failed (*value then holds what was read, 0 for the rest).
int sensor_subdev_pair(int fd, uint16_t hi, uint16_t lo, uint32_t* value);
// A 32-bit value in four byte registers from `addr` up, most significant
// byte first.
uint32_t sensor_subdev_be32(int fd, uint16_t addr);
void sensor_subdev_write_be32(int fd, uint16_t addr, uint32_t value);
// A V4L2 control of node `fd`: 0, or -1 after "VIDIOC_S_CTRL:%s" /
// "VIDIOC_G_CTRL:%s" with the error text (a failed read gives 0).
int sensor_set_ctrl(int fd, uint32_t id, int32_t value);
int sensor_get_ctrl(int fd, uint32_t id, uint32_t* value);
// Register `reg` of laser driver `index` (0 to 2) behind sub-device `fd`:
// 0, or the failing request's result (a failed read gives 0).
int sensor_laser_read(int fd, uint32_t index, uint32_t reg, uint16_t* val);
// Writes register `reg` of all three laser drivers: 0, or the failures' bits.
int sensor_laser_write_all(int fd, uint32_t reg, uint8_t val);
// The capture node of entity `entity` in media graph `graph` into `node`
// (SENSOR_NODE_NAME_MAX bytes), logged as "find dev_name:%s". 0, or -1
// after "media_device_new fail.", "media_get_entity_by_name fail." or
// "media_entity_get_devname fail.".
int sensor_find_node(const char* graph, const char* entity, char* node);
// A new, not yet registered sensor device `id` on capture node `fd` and
// sub-device `subfd` (-1 none) with a zeroed V4L2SensorInfo as its private
// data, handing its frames to worker `consumerId`. NULL after
// "epcore_worker_find fail." or "no mem", with both descriptors closed.
iodev_t* sensor_device_new(epcore_t* core, uint64_t consumerId, uint64_t id, int fd, int subfd);
// Opens capture node `node` (read-write, non-blocking) into *fd and the
// sensor sub-device feeding it (read-write, logged as "subDev:%s") into
// *subfd. 0, or -1 after `openFail` or `subFail` with nothing left open.
int sensor_open_node(const char* node, const char* openFail, const char* subFail, int* fd, int* subfd);
// Sets the sensor pad formats `formats` (media-ctl's text form) on media
// device `mediaDev`; a failure is logged as "set format %s fail." and the
// set-up goes on.
void sensor_set_pad_format(const char* mediaDev, const char* formats);
// Runs fn on the table and device registered under `id` (E_DEVICE_TOF or
// E_DEVICE_RGB) under the sensor-operations lock, so that the device's
// capture task cannot tear the record down meanwhile; false when there is
// no such device.
bool sensor_with_device(epcore_t* core, uint64_t id, const std::function<void(V4L2SensorInfo*, iodev_t*)>& fn);
// Signals worker `id`'s event with `value` when the worker exists.
void sensor_worker_signal(epcore_t* core, uint64_t id, int value);

// ioctl through the board, repeated while it fails with EINTR.
int sensor_xioctl(int fh, int request, void* arg);
// Buffer type for the capabilities a node reports: single-planar whenever the
// node offers it, else multi-planar; 0 when it offers neither.
uint32_t sensor_capture_type(uint32_t capabilities);
// Prepares the capture node pdev->fd for the V4L2SensorInfo in priv_data:
// capabilities, format (set only when it differs), buffers (as many as the
// node grants, at most V4L2_SENSOR_BUFFER_NUM) and their mappings. A buffer
// that cannot be mapped fails the preparation; whatever was mapped is
// released again. 0 or -1.
int sensor_init_device(iodev_t* pdev);
// Buffers the preparation mapped.
int sensor_buffer_count(const V4L2SensorInfo* info);
// Queues every mapped buffer and starts streaming: 0, or -1 when the stream
// did not start ("sensor start fail.").
int sensor_start_capturing(iodev_t* pdev);
// Stops streaming: 0, or -1 ("sensor stop fail").
int sensor_stop_capturing(iodev_t* pdev);
// Releases a sensor device: sub-device, mappings, frequency list, record,
// capture node and the device itself.
void sensor_uninit(void* vdev);
// 2 x 2 averaging of a 16-bit image (ceil(width / 2) values per row pair).
int sensor_binning(uint16_t* ptrIn, uint16_t* ptrOut, uint32_t width, uint32_t height);

// One dequeued buffer.
typedef struct tagSensorCapture {
    struct v4l2_buffer buf;
    struct v4l2_plane  plane;   // plane 0 of a multi-planar node
    const uint8_t*     data;    // its mapping
    uint32_t           bytes;   // bytes used, bounded by the mapping
    uint64_t           stampNs; // buffer time stamp
} SensorCapture;

// 0 with *cap filled, or -1 (nothing dequeued, or a buffer the preparation
// did not map, which is queued back).
int sensor_dequeue(iodev_t* pdev, SensorCapture* cap);
int sensor_requeue(iodev_t* pdev, SensorCapture* cap);

// ---- Frames ----

// A unit of `pool` with its header zeroed but for `memType` (the pool it
// goes back to); NULL when the pool is empty.
ImageInfo* sensor_frame_fetch(bpool_t* pool, uint32 memType);
// A unit for a capture that waits for the node itself and so takes its unit
// before the wait: from the raw or the colour pool by `memType`. An empty
// pool logs "no mem" (raw) or "malloc fail." (colour) and pauses `pauseMs`,
// since nothing else would slow the capture loop down; NULL then.
ImageInfo* sensor_frame_before_wait(epcore_t* core, uint32 memType, int pauseMs);
// Data bytes one unit of `pool` holds after its header.
uint32_t sensor_frame_room(const bpool_t* pool);
// A unit of the core's raw or colour pool (by `memType`, as
// sensor_frame_fetch) for the dequeued buffer `cap`, which it can hold whole. NULL otherwise, with the buffer queued back and
// *rc the capture's result: -1 when the pool is empty ("no mem"), 0 when the
// frame is larger than a unit (dropped, never cut).
ImageInfo* sensor_frame_for(epcore_t* core, iodev_t* pdev, uint32 memType, SensorCapture* cap, int* rc);
// Hands `img` to worker `consumer` whose list holds at most one frame: a new
// frame is dropped while the slot is full (also when the worker is missing).
// 1 queued, 0 dropped (and released).
int sensor_handover_drop_new(epcore_t* core, uint64_t consumer, ImageInfo* img);
// The same, replacing a frame already waiting. Returns the frames replaced.
int sensor_handover_replace_old(epcore_t* core, uint64_t consumer, ImageInfo* img);
// Two dequeued buffers of one frame, the first placed behind the second
// (at its byte count) and the second at the start. Both must be the same
// size and fit `room` bytes together, else the pair is spoilt.
typedef struct tagSensorPair {
    uint32_t first = 0; // bytes of the first buffer
    bool     ok = true;
} SensorPair;
// Copies buffer `index` (0 first, 1 second) of the pair into `dst`.
void sensor_pair_copy(SensorPair* pair, uint8_t* dst, uint32_t room, int index, const SensorCapture& cap);

// ---- Colour sensors' frame timing ----

// Pixel clocks of the colour sensors (Hz): the doubled-line sensors count
// line lengths in pairs of clocks.
#define SENSOR_COLOUR_CLOCK_DOUBLED 148500000ull
#define SENSOR_COLOUR_CLOCK_SINGLE  36000000ull
// Clocks in a line whose length register reads `line`; never 0.
uint32_t sensor_colour_line_clocks(uint32_t line, bool doubled);
// Frame length (lines) for `fps` frames per second: 15 bits for a
// doubled-line sensor, else 16, saturating. A rate of 0 counts as 1, as does
// a line length of 0, so a frame length is never 0.
uint32_t sensor_colour_frame_length(uint32_t line, uint32_t fps, bool doubled);
// Frame rate of frame length `frame` and line length `line` at the doubled
// clock; 0 when either is 0.
uint32_t sensor_colour_rate(uint32_t frame, uint32_t line);
// Exposure in lines for `us` microseconds (float arithmetic, truncated).
uint32_t sensor_colour_exposure_lines(uint32_t us, uint32_t line, bool doubled);

// Serves a pending raw-frame request from `bytes` bytes of `data`; an empty
// frame leaves the request for the next one.
void sensor_raw_serve(const uint8_t* data, uint32_t bytes);

// ---- Capture loop ----

// A capture callback that waits for the node by itself gets the loop's epoll
// descriptor in `event`.
typedef struct tagSensorLoop {
    int  waitMs;      // a wait this long without a frame is a time-out
    int  failLimit;   // consecutive failures that end the loop for a restart
    bool selfWaiting; // the callback waits by itself
    bool quietTimeout = false; // a time-out is not logged
} SensorLoop;

// Runs the device's callback per readable event until the worker or its core
// is stopped. A time-out and a callback result of 2 count as failures, any
// other result resets the count. 1: the failure limit was reached (the
// worker's quit flag is then set), 0: stopped, -1: no epoll instance.
int sensor_capture_loop(worker_t* wk, iodev_t* dev, const SensorLoop* loop);
// Makes `wk` the calling thread's capture worker, whose stop flags the waits
// below look at (the capture loop does this itself).
void sensor_capture_bind(worker_t* wk);
// Waits up to `ms` for the epoll set, looking at the stop flags of the
// calling thread's capture worker between short slices. 1 ready, 0 time-out,
// -1 error, -2 stopped.
int sensor_wait_readable(int epfd, int ms);
// True when the calling thread's capture worker or its core is stopped.
bool sensor_capture_stopped(void);
// Sleeps up to `ms`, ending early when the capture worker is stopped.
void sensor_capture_pause(int ms);

#endif
