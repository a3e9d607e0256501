// Device-action tasks. Releasing the controlling host before a reboot needs
// the GigE Vision bootstrap block, which comes with the protocol work; until
// then the tasks only report themselves and end.
#include "main/task.h"

#include "log/logger.h"
#include "worker.h"

void* REBOOT_Task(void* arg)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "reboot not available (worker %llu)",
              (unsigned long long)workerid(static_cast<worker_t*>(arg)));
    worker_destory(static_cast<worker_t*>(arg));
    return nullptr;
}

void* ReinitProcess_Task(void* arg)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "process restart not available (worker %llu)",
              (unsigned long long)workerid(static_cast<worker_t*>(arg)));
    worker_destory(static_cast<worker_t*>(arg));
    return nullptr;
}
