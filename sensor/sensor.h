// Sensor operations table.
//
// Every image sensor is one registered device whose private data is a
// V4L2SensorInfo: the capture state of its V4L2 node plus 36 operation slots.
// A driver fills the slots it supports and leaves the others NULL; the rest of
// the system reaches a sensor only through these slots, testing each one
// before calling it.
#ifndef KORVID_SENSOR_SENSOR_H
#define KORVID_SENSOR_SENSOR_H

#include <stddef.h>
#include <stdint.h>

#include <linux/videodev2.h>

#include "dlist.h"
#include "eptype.h"

// Ids under which the two sensor devices (and the encoder) are registered
// in the event core.
enum {
    E_DEVICE_TOF = 10000,
    E_DEVICE_RGB = 10001,
    E_DEVICE_ENC = 10002,
};

// Every driver maps exactly this many capture buffers.
#define V4L2_SENSOR_BUFFER_NUM 4

// One memory-mapped capture buffer.
typedef struct tagV4L2SensorBuffer {
    void* start;
    int   length;  // bytes mapped
} V4L2SensorBuffer;

// One entry of the Gpixel sensor's frequency table (an item of `freq`).
typedef struct tagFreqInfo {
    void*    res[2];  // list links
    uint16_t f1;
    uint16_t f2;
    uint16_t div_i;
    uint16_t div_b;
    uint16_t div_n;
    uint16_t freq0_opt;
    uint16_t freq1_opt;
} FreqInfo;

// Capture state and operations of one sensor. Allocated zeroed by its driver,
// owned by the device through priv_data. Setters take a value, getters a
// pointer; operations return 0 unless their driver says otherwise.
typedef struct tagV4L2SensorInfo {
    uint32_t                 sensorType;  // SensorType; drivers leave it 0
    uint32_t                 width;       // frame size the capture node delivers
    uint32_t                 height;
    uint32_t                 outWidth;    // image size after raw parsing
    uint32_t                 outHeight;
    uint32_t                 format;      // V4L2 four-character pixel format
    uint32_t                 memType;     // V4L2 memory type; memory-mapped for all drivers
    enum v4l2_buf_type       buf_type;    // single- or multi-planar capture
    struct v4l2_capability   cap;
    V4L2SensorBuffer*        buffer;      // V4L2_SENSOR_BUFFER_NUM buffers
    dlist_t*                 freq;        // FreqInfo items (Gpixel only), else NULL
    void*                    aiq_ctx;     // ISP 3A context

    // Operation slots, in table order (0..35).
    int (*set_fps)(iodev_t* dev, uint32_t fps);                          // 0
    int (*get_fps)(iodev_t* dev, uint32_t* fps);                         // 1
    int (*set_first_freq)(iodev_t* dev, uint32_t freq);                  // 2  MHz
    int (*set_second_freq)(iodev_t* dev, uint32_t freq);                 // 3  MHz
    int (*set_all_freq)(iodev_t* dev, uint32_t* freqs);                  // 4
    int (*set_background_amp)(iodev_t* dev, uint32_t value);             // 5
    int (*set_other_params)(iodev_t* dev, uint32_t param, uint32_t type);// 6  type: a register address
    int (*set_integration_f0)(iodev_t* dev, uint32_t time);              // 7
    int (*set_integration_f1)(iodev_t* dev, uint32_t time);              // 8
    int (*get_integration_f0)(iodev_t* dev, uint32_t* time);             // 9
    int (*get_integration_f1)(iodev_t* dev, uint32_t* time);             // 10
    int (*set_gain)(iodev_t* dev, uint32_t gain);                        // 11
    int (*get_gain)(iodev_t* dev, uint32_t* gain);                       // 12
    int (*set_vfilp)(iodev_t* dev, uint32_t on);                         // 13
    int (*get_vfilp)(iodev_t* dev, uint32_t* on);                        // 14
    int (*set_hfilp)(iodev_t* dev, uint32_t on);                         // 15
    int (*get_hfilp)(iodev_t* dev, uint32_t* on);                        // 16
    int (*read_reg)(iodev_t* dev, uint32_t address, uint16_t* value);    // 17
    int (*write_reg)(iodev_t* dev, uint32_t address, uint16_t value);    // 18  only the low byte reaches a sensor
    int (*switch_mode)(iodev_t* dev, uint32_t mode);                     // 19
    int (*exposure_mode)(iodev_t* dev, uint32_t mode);                   // 20
    int (*vld_enable)(iodev_t* dev, uint32_t enable);                    // 21  laser driver on/off
    int (*start_stop_stream)(iodev_t* dev, uint32_t enable);             // 22
    int (*set_n_inte_length_f0)(iodev_t* dev, uint32_t length);          // 23
    int (*set_n_inte_length_f1)(iodev_t* dev, uint32_t length);          // 24
    int (*get_n_inte_length_f0)(iodev_t* dev, uint32_t* length);         // 25
    int (*get_n_inte_length_f1)(iodev_t* dev, uint32_t* length);         // 26
    int (*set_n_inte_length_f2)(iodev_t* dev, uint32_t length);          // 27
    int (*set_n_pulse_f0)(iodev_t* dev, uint32_t pulses);                // 28
    int (*set_n_pulse_f1)(iodev_t* dev, uint32_t pulses);                // 29
    int (*get_n_pulse_f0)(iodev_t* dev, uint32_t* pulses);               // 30
    int (*get_n_pulse_f1)(iodev_t* dev, uint32_t* pulses);               // 31
    // The device register space, so that drivers read their settings
    // through the same rules as hosts.
    int (*custom_read_reg)(uint32_t address, uint32_t* value);           // 32
    int (*custom_write_reg)(uint32_t address, uint32_t* value);          // 33
    int (*custom_read_mem)(uint32_t address, uint8_t* value, uint32_t len);   // 34
    int (*custom_write_mem)(uint32_t address, uint8_t* value, uint32_t len);  // 35
} V4L2SensorInfo;

#define V4L2_SENSOR_OPS_NUM 36

// The operations table is exactly 36 pointer slots, in the order above.
#define KORVID_SLOT(f, n)                                                                  \
    static_assert(offsetof(V4L2SensorInfo, f) ==                                           \
                      offsetof(V4L2SensorInfo, set_fps) + (n) * sizeof(void (*)(void)),    \
                  "slot " #f " is not slot " #n)
KORVID_SLOT(set_fps, 0);
KORVID_SLOT(get_fps, 1);
KORVID_SLOT(set_first_freq, 2);
KORVID_SLOT(set_second_freq, 3);
KORVID_SLOT(set_all_freq, 4);
KORVID_SLOT(set_background_amp, 5);
KORVID_SLOT(set_other_params, 6);
KORVID_SLOT(set_integration_f0, 7);
KORVID_SLOT(set_integration_f1, 8);
KORVID_SLOT(get_integration_f0, 9);
KORVID_SLOT(get_integration_f1, 10);
KORVID_SLOT(set_gain, 11);
KORVID_SLOT(get_gain, 12);
KORVID_SLOT(set_vfilp, 13);
KORVID_SLOT(get_vfilp, 14);
KORVID_SLOT(set_hfilp, 15);
KORVID_SLOT(get_hfilp, 16);
KORVID_SLOT(read_reg, 17);
KORVID_SLOT(write_reg, 18);
KORVID_SLOT(switch_mode, 19);
KORVID_SLOT(exposure_mode, 20);
KORVID_SLOT(vld_enable, 21);
KORVID_SLOT(start_stop_stream, 22);
KORVID_SLOT(set_n_inte_length_f0, 23);
KORVID_SLOT(set_n_inte_length_f1, 24);
KORVID_SLOT(get_n_inte_length_f0, 25);
KORVID_SLOT(get_n_inte_length_f1, 26);
KORVID_SLOT(set_n_inte_length_f2, 27);
KORVID_SLOT(set_n_pulse_f0, 28);
KORVID_SLOT(set_n_pulse_f1, 29);
KORVID_SLOT(get_n_pulse_f0, 30);
KORVID_SLOT(get_n_pulse_f1, 31);
KORVID_SLOT(custom_read_reg, 32);
KORVID_SLOT(custom_write_reg, 33);
KORVID_SLOT(custom_read_mem, 34);
KORVID_SLOT(custom_write_mem, 35);
#undef KORVID_SLOT
static_assert(sizeof(V4L2SensorInfo) ==
                  offsetof(V4L2SensorInfo, set_fps) + V4L2_SENSOR_OPS_NUM * sizeof(void (*)(void)),
              "the table ends with slot 35");

// The sensor device registered under id (E_DEVICE_TOF or E_DEVICE_RGB), and
// its table; NULL when there is no such device or it carries no table, in
// which case the caller skips the operation.
V4L2SensorInfo* sensor_info_find(epcore_t* core, uint64_t id, iodev_t** dev);

// A capture task tears its sensor record down while register writes reach
// the record's operations from other threads: the teardown and every caller
// from the lookup to its last operation hold this lock (recursive: an
// operation may write registers that reach the sensor again).
void sensor_ops_lock(void);
void sensor_ops_unlock(void);
#ifdef __cplusplus
struct SensorOpsGuard {
    SensorOpsGuard() { sensor_ops_lock(); }
    ~SensorOpsGuard() { sensor_ops_unlock(); }
    SensorOpsGuard(const SensorOpsGuard&) = delete;
    SensorOpsGuard& operator=(const SensorOpsGuard&) = delete;
};
#endif

// Register addresses of the ToF drivers' read_reg/write_reg: without bit 16
// a 16-bit sensor register; with bit 16 a laser-driver register, its number
// in bits 0-7 and the laser-driver index (0 to 2) in bits 17-24.
#define SENSOR_REG_LASER_FLAG 0x10000u

int      sensor_reg_is_laser(uint32_t address);
uint32_t sensor_laser_index(uint32_t address);
uint32_t sensor_laser_reg(uint32_t address);
uint32_t sensor_laser_address(uint32_t index, uint32_t reg);

// Media graph look-ups of a capture node.
#define SENSOR_NODE_NAME_MAX 32  // room sub_node, sensorName and media_device need

// The sensor sub-device feeding capture node `vnode` (a path such as
// "/dev/video0"): scans "/dev/media0" to "/dev/media63" for the graph that
// holds `vnode` and gives that graph's first sensor entity's device node and
// name (each at most SENSOR_NODE_NAME_MAX bytes with the NUL). 0 or -1.
int sensor_find_subdev(const char* vnode, char* sub_node, char* sensorName);
// The media node ("/dev/mediaN", at most SENSOR_NODE_NAME_MAX bytes with
// the NUL) of the open capture node `fd`. 0 or -1.
int sensor_find_media_device(int fd, char* media_device);

#endif  // KORVID_SENSOR_SENSOR_H
