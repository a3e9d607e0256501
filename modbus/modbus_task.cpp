// Modbus RTU slave. The slave has not landed yet: the task reports itself
// and ends.
#include "modbus/modbus_task.h"

#include "common/common.h"
#include "log/logger.h"
#include "worker.h"

void* modbus_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("modbus");
    log_error(g_logger, __FUNCTION__, __LINE__, "modbus rtu slave not available (worker %llu)",
              (unsigned long long)workerid(wk));
    worker_destory(wk);
    return nullptr;
}
