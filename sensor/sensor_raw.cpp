// Gpixel ToF capture. The driver has not landed yet: the capture task
// reports itself and ends, so no raw frames are produced.
#include "sensor/sensor_raw.h"

#include "common/common.h"
#include "log/logger.h"
#include "worker.h"

void* sensor_tof_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("tofsensor");
    log_error(g_logger, __FUNCTION__, __LINE__, "gpixel tof capture not available (worker %llu)",
              (unsigned long long)workerid(wk));
    worker_destory(wk);
    return nullptr;
}
