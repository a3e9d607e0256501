/* Private requests of the camera kernel drivers: the sensor sub-devices
 * ('Q' group) and the Rockchip camera interface ('V' group).
 *
 * The kernel drivers declare most of these with a pointer type as the
 * size argument, so the size field says 8 while the payload is the small
 * record below; the numbers are what binds, and they are checked here. */
#ifndef KORVID_SENSOR_IOCTL_H
#define KORVID_SENSOR_IOCTL_H

#include <linux/ioctl.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One sensor register: a 16-bit address holding a byte. A read returns the
 * value in `val` and clears the byte after it, so the two bytes after the
 * address read as a 16-bit value with the upper byte 0. */
struct regval {
    uint16_t addr;
    uint8_t  val;
};

/* One register of laser driver `index` (0 to 2); a read returns it in `val`.
 * The CPLD requests use the same record with `index` 0. */
struct phx3d3018 {
    uint8_t index;
    uint8_t reg;
    uint8_t val;
};

/* Laser-driver temperatures: raw readings, 65535 when there is none. */
struct sensor_ld_temp {
    uint16_t first;
    uint16_t unused;
    uint16_t second;
};

#define SENSOR_IOC_RW(nr, size) _IOC(_IOC_READ | _IOC_WRITE, 'Q', (nr), (size))

#define SENSOR_IOC_READ_REG     SENSOR_IOC_RW(192, 8) /* struct regval */
#define SENSOR_IOC_WRITE_REG    SENSOR_IOC_RW(193, 8) /* struct regval */
#define SENSOR_IOC_INTEG_BLOCK  SENSOR_IOC_RW(195, 8) /* four big-endian uint16: length, pulses, length/ratio, pulses */
#define SENSOR_IOC_CPLD_WORD    SENSOR_IOC_RW(195, 4) /* uint32 word, the answer left in it */
#define SENSOR_IOC_VLD_ENABLE   SENSOR_IOC_RW(196, 4) /* uint32 enable */
#define SENSOR_IOC_LASER_READ   SENSOR_IOC_RW(197, 8) /* struct phx3d3018 */
#define SENSOR_IOC_LASER_WRITE  SENSOR_IOC_RW(198, 8) /* struct phx3d3018 */
#define SENSOR_IOC_LASER_TEMP   SENSOR_IOC_RW(199, 8) /* struct sensor_ld_temp */
#define SENSOR_IOC_TRIG_FILTER  SENSOR_IOC_RW(199, 4) /* uint32 hardware-trigger filter time */
#define SENSOR_IOC_TRIG_PERIOD  SENSOR_IOC_RW(200, 4) /* uint32 hardware-trigger period */
#define SENSOR_IOC_TRIG_SEC     SENSOR_IOC_RW(201, 4) /* uint32 returned: last trigger, seconds */
#define SENSOR_IOC_TRIG_NSEC    SENSOR_IOC_RW(202, 4) /* uint32 returned: last trigger, nanoseconds */
#define SENSOR_IOC_CPLD_READ    SENSOR_IOC_RW(203, 8) /* struct phx3d3018 {0, reg, val} */
#define SENSOR_IOC_CPLD_WRITE   SENSOR_IOC_RW(204, 8) /* struct phx3d3018 {0, reg, val} */

/* Sensor synchronisation (trigger) mode, an int. */
#define RKMODULE_SET_SYNC_MODE  _IOW('V', 214, int)
/* Capture-node memory mode, an int (1 at preparation). */
#define RKCIF_SET_MEMORY_MODE   _IOW('V', 193, int)

#ifdef __cplusplus
}
static_assert(SENSOR_IOC_READ_REG == 0xC00851C0u, "sensor register read");
static_assert(SENSOR_IOC_WRITE_REG == 0xC00851C1u, "sensor register write");
static_assert(SENSOR_IOC_INTEG_BLOCK == 0xC00851C3u, "integration block");
static_assert(SENSOR_IOC_CPLD_WORD == 0xC00451C3u, "CPLD word");
static_assert(SENSOR_IOC_VLD_ENABLE == 0xC00451C4u, "laser enable");
static_assert(SENSOR_IOC_LASER_READ == 0xC00851C5u, "laser register read");
static_assert(SENSOR_IOC_LASER_WRITE == 0xC00851C6u, "laser register write");
static_assert(SENSOR_IOC_LASER_TEMP == 0xC00851C7u, "laser temperatures");
static_assert(SENSOR_IOC_TRIG_FILTER == 0xC00451C7u, "trigger filter");
static_assert(SENSOR_IOC_TRIG_PERIOD == 0xC00451C8u, "trigger period");
static_assert(SENSOR_IOC_TRIG_SEC == 0xC00451C9u, "trigger seconds");
static_assert(SENSOR_IOC_TRIG_NSEC == 0xC00451CAu, "trigger nanoseconds");
static_assert(SENSOR_IOC_CPLD_READ == 0xC00851CBu, "CPLD register read");
static_assert(SENSOR_IOC_CPLD_WRITE == 0xC00851CCu, "CPLD register write");
static_assert(RKMODULE_SET_SYNC_MODE == 0x400456D6u, "sync mode");
static_assert(RKCIF_SET_MEMORY_MODE == 0x400456C1u, "memory mode");
static_assert(sizeof(struct regval) == 4 && sizeof(struct phx3d3018) == 3 && sizeof(struct sensor_ld_temp) == 6,
              "payload layouts");
#endif

#endif
