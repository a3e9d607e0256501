// FPGA programming and vendor storage come with the board identification
// work; until then both report failure.
#include "common/board.h"

#include "log/logger.h"

int fpga_upgrade(void)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "fpga programming not available");
    return -1;
}

int rkvendor_write(int vendor_id, const char*, int)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "vendor storage not available, item %d", vendor_id);
    return -1;
}
