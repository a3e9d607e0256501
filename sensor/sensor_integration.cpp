// ToF integration-time control. The Gpixel task lives with its driver
// (sensor_raw); the IMX570 task has not landed and reports itself and ends.
#include "sensor/sensor_integration.h"

#include "common/common.h"
#include "log/logger.h"
#include "worker.h"

void* sensor_imx570_integration_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("tof_integration");
    log_error(g_logger, __FUNCTION__, __LINE__, "imx570 integration-time control not available (worker %llu)",
              (unsigned long long)workerid(wk));
    worker_destory(wk);
    return nullptr;
}
