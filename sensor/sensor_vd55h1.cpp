// VD55H1 ToF capture. The driver has not landed yet: the capture task
// reports itself and ends.
#include "sensor/sensor_vd55h1.h"

#include "common/common.h"
#include "log/logger.h"
#include "worker.h"

void* sensor_vd55h1_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("vd55h1sensor");
    log_error(g_logger, __FUNCTION__, __LINE__, "vd55h1 tof capture not available (worker %llu)",
              (unsigned long long)workerid(wk));
    worker_destory(wk);
    return nullptr;
}
