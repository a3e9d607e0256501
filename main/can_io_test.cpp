// The CAN and IO production test comes with the production-test work; until
// then the task reports itself and ends, leaving the result register as
// written (1000: not run).
#include "main/can_io_test.h"

#include "log/logger.h"
#include "worker.h"

void* dev_can_io_test_task(void* arg)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "can/io test not available (worker %llu)",
              (unsigned long long)workerid(static_cast<worker_t*>(arg)));
    worker_destory(static_cast<worker_t*>(arg));
    return nullptr;
}
