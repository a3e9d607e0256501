// Board identification, vendor storage items and FPGA programming.
#ifndef KORVID_COMMON_BOARD_H
#define KORVID_COMMON_BOARD_H

// CPU type from the OTP chip name: 2 RK3576, 1 RK3568, 0 anything else.
int get_cpu_id(void);
// Finds the ToF and colour sensors and probes the board's buses; records the
// kinds and the hardware-check word.
void hardware_check(void);
// Board version from the GPIO code and the device-tree model: 1, 2 or 0.
int compare_hardware_version(void);

// Vendor storage items: 0 or -1.
int rkvendor_read(int vendor_id, char* data, int size);
int rkvendor_write(int vendor_id, const char* data, int size);
// Logging variants that copy a text (no caller uses them).
int vendor_storage_read(int cmd, int pr_type, char* output);
int vendor_storage_write(int cmd, char* num, int pr_type);

// Copies 16 characters of the "Serial" line of "/proc/cpuinfo".
void get_cpuSerial(char* serial);

// Program the FPGA/CPLD image chosen by sensor, trigger mode and phase
// setting (or the named file): 0 or -1.
int fpga_upgrade(void);
int fpga_upgrade_V23(void);
int fpga_upgrade_sipm(void);
int fpga_upgrade_name(const char* fileName);

#endif
