// ToF integration-time control of the IMX570: worker 521 sends the CPLD the
// integration length of each exposure between two exposures, after the
// sensor's readout, when the multi-camera capture signals which exposure
// comes next. (The Gpixel task lives with its driver, sensor_raw.)
#include "sensor/sensor_integration.h"

#include <sched.h>

#include "common/common.h"
#include "common/custom.h"
#include "epcore.h"
#include "iodev.h"
#include "log/logger.h"
#include "mthread.h"
#include "platform.h"
#include "sensor/sensor.h"
#include "sensor/sensor_imx570.h"
#include "sensor/v4l2_capture.h"
#include "sensor_ioctl.h"
#include "worker.h"

namespace {

constexpr uint32 kRegInteA = 0x1000209C;
constexpr uint32 kRegInteB = 0x100020A0;
constexpr uint32 kRegBoardVersion = 0x10007060;
constexpr int kEventWaitMs = 5000;

constexpr auto& reg = sensor_reg;

// One exposure signal `e`; `lastRate` is the rate this task set last.
void imx570_apply(epcore_t* core, int e, uint32* lastRate)
{
    const uint32 phaseOpt = g_phaseOptions.load();
    uint32 len = reg(kRegInteA);
    const uint32 board = reg(kRegBoardVersion);
    int settleMs;
    if (len <= 1500) {
        settleMs = phaseOpt == 0 ? 11 : 8;
    } else {
        len = phaseOpt == 0 ? (len > 2500 ? 2500 : len) : (len > 3000 ? 3000 : len);
        settleMs = phaseOpt == 0 ? 16 : 12;
    }
    {
        SensorOpsGuard guard;
        if (!epcore_iodev_find(core, E_DEVICE_TOF)) return;
    }
    wait_ms((unsigned long)settleMs);
    // Looked up again after the pause: the capture may have ended meanwhile.
    SensorOpsGuard guard;
    iodev_t* dev = nullptr;
    V4L2SensorInfo* ops = sensor_info_find(core, E_DEVICE_TOF, &dev);
    if (!dev) return;
    uint32 word = e == 1 ? (reg(kRegInteB) << 8 | 0x10) : (len << 8 | 0x08);
    sensor_xioctl(dev->subdevFd, (int)SENSOR_IOC_CPLD_WORD, &word);
    if (e == 1 || board != E_BOARD_VERSION_V2_3) return;
    uint32 target;
    if (len <= 1500) target = phaseOpt == 0 ? 18 : phaseOpt == 1 ? 24 : 2380;
    else target = phaseOpt == 0 ? 12 : 16;
    if (target == *lastRate) return;
    if (ops && ops->set_fps) ops->set_fps(dev, target);
    *lastRate = target;
}

} // namespace

void* sensor_imx570_integration_task(void* arg)
{
    auto* wk = static_cast<worker_t*>(arg);
    if (!wk) return nullptr;
    epcore_t* core = wk->epcore;
    set_task_name("tof_integration");
    if (plat_sched_setscheduler(SCHED_RR, 99) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "pthread_setschedparam");
        // Ends like any task, so its record does not stay registered.
        worker_destory(wk);
        return nullptr;
    }
    uint32 lastRate = 0;
    while (!core->quit.load() && !wk->quit.load()) {
        int e = event_wait(wk->ioevent, kEventWaitMs);
        if (e == -1 || core->quit.load() || wk->quit.load()) continue;
        imx570_apply(core, e, &lastRate);
    }
    // Logged while still registered: once gone, the process may end under us.
    log_info(g_logger, __FUNCTION__, __LINE__, "end tof integration task");
    worker_destory(wk);
    return nullptr;
}
