// GigE Vision stream sender. The sender has not landed yet: the task reports
// itself and ends, so key 511 is free and producers find no sender (the
// frames they would queue go back to their pools).
#include "GigE/gvsp.h"

#include "common/common.h"
#include "log/logger.h"
#include "worker.h"

void* GVSP_Task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("gvsp");
    log_error(g_logger, __FUNCTION__, __LINE__, "gvsp stream sender not available (worker %llu)",
              (unsigned long long)workerid(wk));
    worker_destory(wk);
    return nullptr;
}
