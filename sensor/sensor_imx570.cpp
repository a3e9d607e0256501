// IMX570 board-line control. The sensor's kernel driver relays 32-bit
// control words to the CPLD through a private sub-device request; boards of
// version 2 drive the output lines through CPLD register 59 on I2C instead.
// The rest of the IMX570 driver lands with the sensor capture work: until
// then the capture task reports itself and ends, and the frequency tables
// are never loaded.
#include "sensor/sensor_imx570.h"

#include <atomic>

#include "common/common.h"
#include "common/custom.h"
#include "log/logger.h"
#include "platform.h"
#include "sensor/sensor_pending.h"
#include "worker.h"

namespace {

constexpr unsigned long kCpldControl = 0xC00451C3ul;
constexpr uint8 kCpldOutputReg = 59;

std::atomic<int> s_ctrlFd{-1};

uint32_t board_version()
{
    return g_regMemAddr ? reg_load(g_regMemAddr->devBoardVersion) : 0;
}

} // namespace

uint32_t sensor_imx570_gpio_control(int theSubdevFd, uint32_t gpioRw, uint32_t* gpioRwValue)
{
    if (theSubdevFd != -1) {
        s_ctrlFd.store(theSubdevFd);
        return 0;
    }
    int fd = s_ctrlFd.load();
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "subdevFd error");
        return 0;
    }
    uint32_t value = gpioRwValue ? *gpioRwValue : 0;
    uint32_t word;
    if (gpioRw == 2) {
        word = value ? 0x10302u : 0x302u;
    } else if (gpioRw == 1) {
        word = 0x102u;
    } else if (gpioRw == 0 && board_version() == E_BOARD_VERSION_V2_3) {
        // CPLD register 59 takes the lines inverted; curGPOStatus reports
        // them with the two bits exchanged.
        static constexpr uint8 kCpldLevel[4] = {3, 1, 2, 0};
        static constexpr uint32_t kGpoStatus[4] = {0, 2, 1, 3};
        uint8 level = value < 4 ? kCpldLevel[value] : 3;
        if (g_dev_cfg && reg_load(g_dev_cfg->common.outputIoMode)) level += 12;
        i2c_cpld_rw(kCpldOutputReg, nullptr, level, 1);
        if (g_regMemAddr) reg_store(g_regMemAddr->curGPOStatus, value < 4 ? kGpoStatus[value] : 0u);
        return 1;
    } else if (gpioRw == 0) {
        word = (value << 16) | 0x202u;
    } else {
        return 1;
    }
    plat_ioctl(fd, kCpldControl, &word);
    if (gpioRwValue) *gpioRwValue = word;
    return 1;
}

freqAllInfo* getFrequencyAllInfo(void) { return nullptr; }

void frequencyAllInfoDeinit(freqAllInfo* info) { delete info; }

// The capture itself has not landed: the task idles until it is stopped.
void* sensor_imx570_task(void* vwker) { return sensor_pending_task(vwker, "imx570sensor", __FUNCTION__); }
