// GigE Vision control channel. The channel itself has not landed yet: the
// task announces itself and ends, so the worker that starts it sees a normal
// lifecycle and the key 510 is free again afterwards.
#include "GigE/gvcp.h"

#include "common/common.h"
#include "log/logger.h"
#include "worker.h"

std::atomic<uint32> g_permit_conn_user_count{1};

void* GVCP_Task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("gvcp");
    log_info(g_logger, __FUNCTION__, __LINE__, "gvcp channel not available");
    log_info(g_logger, __FUNCTION__, __LINE__, "end gvcp task");
    worker_destory(wk);
    return nullptr;
}
