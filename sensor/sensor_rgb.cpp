// Colour capture. The driver has not landed yet: the capture task reports
// itself and ends.
#include "sensor/sensor_rgb.h"

#include "common/common.h"
#include "log/logger.h"
#include "worker.h"

void* sensor_rgb_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("rgbsensor");
    log_error(g_logger, __FUNCTION__, __LINE__, "colour capture not available (worker %llu)",
              (unsigned long long)workerid(wk));
    worker_destory(wk);
    return nullptr;
}
