// Board identification, vendor storage items and FPGA programming.
#ifndef KORVID_COMMON_BOARD_H
#define KORVID_COMMON_BOARD_H

#include <stdint.h>

// What the hardware check found: the ToF and colour sensor kinds and the
// hardware-check word (bit 0 no ToF sensor, 1 no colour sensor, 2/3 left/right
// laser-temperature sensor silent, 4 sensor-temperature sensor silent, 5 no
// real-time clock, 6 IMU silent). Written once on the main thread at start,
// before any worker runs; the register block gets a copy after every load.
extern uint32_t g_tofSensorType;
extern uint32_t g_rgbSensorType;
extern uint32_t g_hardWireCheck;

// Hardware-check word bits.
#define HW_CHECK_NO_TOF        0x01u
#define HW_CHECK_NO_RGB        0x02u
#define HW_CHECK_LD_TEMP_LEFT  0x04u
#define HW_CHECK_LD_TEMP_RIGHT 0x08u
#define HW_CHECK_SENSOR_TEMP   0x10u
#define HW_CHECK_RTC           0x20u
#define HW_CHECK_IMU           0x40u

// CPU type from the OTP chip name: 2 RK3576, 1 RK3568, 0 anything else.
int get_cpu_id(void);
// Finds the ToF and colour sensors and probes the board's buses; records the
// kinds and the hardware-check word. A graph that cannot be read ends the
// check and leaves what was recorded before.
void hardware_check(void);
// Board version from the GPIO code and the device-tree model: 1, 2 or 0.
int compare_hardware_version(void);

// Vendor storage items: 0 or -1. A read copies the item's bytes (no
// terminator added) when it fits in `size`; a write stores `size` bytes,
// at most 1024.
int rkvendor_read(int vendor_id, char* data, int size);
int rkvendor_write(int vendor_id, const char* data, int size);
// Logging variants that copy a text (no caller uses them). `cmd` is the
// item; `pr_type` 0 logs the item as text, any other value as hexadecimal
// bytes. The read terminates the text in `output`, which must hold 1025
// bytes; the write stores the text `num` without its terminator.
int vendor_storage_read(int cmd, int pr_type, char* output);
int vendor_storage_write(int cmd, char* num, int pr_type);

// Copies 16 characters of the "Serial" line of "/proc/cpuinfo" into the
// first 16 bytes of `serial` (a shorter serial is padded with zero bytes; no
// terminator beyond the 16 bytes). Without such a line the 16 bytes are zero.
void get_cpuSerial(char* serial);

// Program the FPGA/CPLD image chosen by sensor, trigger mode and phase
// setting (or the named file): 0 or -1. A write that does not take the whole
// image is a failure.
int fpga_upgrade(void);
int fpga_upgrade_V23(void);
int fpga_upgrade_sipm(void);
int fpga_upgrade_name(const char* fileName);

#endif
