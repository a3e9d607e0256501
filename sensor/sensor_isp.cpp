// ISP colour capture. The path has not landed yet: the task reports itself
// and ends.
#include "sensor/sensor_isp.h"

#include "common/common.h"
#include "log/logger.h"
#include "worker.h"

void* sensor_isp_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("isp sensor");
    log_error(g_logger, __FUNCTION__, __LINE__, "isp colour capture not available (worker %llu)",
              (unsigned long long)workerid(wk));
    worker_destory(wk);
    return nullptr;
}
