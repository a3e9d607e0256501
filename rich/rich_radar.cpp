// The lidar relay comes with the protocol work; until then the receiver
// and the sender report themselves and end.
#include "rich/rich_radar.h"

#include "log/logger.h"
#include "worker.h"

void* rich_recv_task(void* arg)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "rich radar recv not available (worker %llu)",
              (unsigned long long)workerid(static_cast<worker_t*>(arg)));
    worker_destory(static_cast<worker_t*>(arg));
    return nullptr;
}

void* rich_send_task(void* arg)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "rich radar send not available (worker %llu)",
              (unsigned long long)workerid(static_cast<worker_t*>(arg)));
    worker_destory(static_cast<worker_t*>(arg));
    return nullptr;
}
