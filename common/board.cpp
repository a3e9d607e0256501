// Board identification, vendor storage and FPGA programming come with the
// board identification work; until then every call reports failure or
// "unknown".
#include "common/board.h"

#include "log/logger.h"

int get_cpu_id(void) { return 0; }
void hardware_check(void) {}
int compare_hardware_version(void) { return 0; }

int rkvendor_read(int vendor_id, char*, int)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "vendor storage not available, item %d", vendor_id);
    return -1;
}

int rkvendor_write(int vendor_id, const char*, int)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "vendor storage not available, item %d", vendor_id);
    return -1;
}

int vendor_storage_read(int, int, char*) { return -1; }
int vendor_storage_write(int, char*, int) { return -1; }

void get_cpuSerial(char* serial)
{
    if (serial) serial[0] = '\0';
}

int fpga_upgrade(void)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "fpga programming not available");
    return -1;
}

int fpga_upgrade_V23(void) { return fpga_upgrade(); }
int fpga_upgrade_sipm(void) { return fpga_upgrade(); }
int fpga_upgrade_name(const char*) { return fpga_upgrade(); }
