// Parameter groups and the factory reset come with the persistence work;
// until then a group request fails and the reset task only reports itself.
#include "common/persist.h"

#include "log/logger.h"
#include "worker.h"

char g_firmwareTime[FIRMWARE_TIME_SIZE] = {};

int Custom_ParamGroup(uint32 value)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "param group %u not available", value);
    return -1;
}

void get_firmwareTime(void) {}

void* RECOVERY_Task(void* arg)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "factory reset not available (worker %llu)",
              (unsigned long long)workerid(static_cast<worker_t*>(arg)));
    worker_destory(static_cast<worker_t*>(arg));
    return nullptr;
}
