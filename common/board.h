// Board identification, vendor storage items and FPGA programming.
#ifndef KORVID_COMMON_BOARD_H
#define KORVID_COMMON_BOARD_H

// Programs the FPGA image chosen by sensor, trigger mode and phase setting:
// 0 or -1.
int fpga_upgrade(void);
// Stores `size` bytes as vendor storage item `vendor_id`: 0 or -1.
int rkvendor_write(int vendor_id, const char* data, int size);

#endif
