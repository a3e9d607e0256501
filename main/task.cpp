// Supervision and device-action tasks. Until the supervision work lands every
// task only reports itself and ends, and the readers report failure.
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

namespace {

void* not_available(const char* what, void* arg)
{
    log_error(g_logger, __FUNCTION__, __LINE__, "%s not available (worker %llu)", what,
              (unsigned long long)workerid(static_cast<worker_t*>(arg)));
    worker_destory(static_cast<worker_t*>(arg));
    return nullptr;
}

} // namespace

void* temp_task(void* arg) { return not_available("temperature task", arg); }
void* netcard_task(void* arg) { return not_available("link speed task", arg); }
void* led_task(void* arg) { return not_available("status led task", arg); }
void* ping_task(void* arg) { return not_available("ping task", arg); }
void* watchdog_task(void* arg) { return not_available("watchdog task", arg); }
void* TimeStamp_Task(void* arg) { return not_available("time stamp task", arg); }
void* UPDATE_Task(void* arg) { return not_available("update task", arg); }

int sensor_tof_get_sensor_temperature(int, float* temp)
{
    if (temp) *temp = -1000.0f;
    return -1;
}

int sensor_tof_get_ld_temperature(int, float* temp, float*)
{
    if (temp) *temp = -1000.0f;
    return -1;
}

void cpld_heartbeats(uint32) {}
int watchdog_init(void) { return -1; }
int feed_watchdog(void) { return -1; }
int close_watchdog(void) { return -1; }
