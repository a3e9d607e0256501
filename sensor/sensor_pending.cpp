// Stand-in task body for the drivers that have not landed yet.
#include "sensor/sensor_pending.h"

#include "common/common.h"
#include "epcore.h"
#include "log/logger.h"
#include "mthread.h"
#include "worker.h"

namespace {

// How often the idle task looks at its quit flags; worker_stop sets the
// flag without waking anyone.
constexpr int kQuitPollMs = 1;

} // namespace

void* sensor_pending_task(void* vwker, const char* taskName, const char* funcName)
{
    worker_t* wk = static_cast<worker_t*>(vwker);
    if (!wk) return nullptr;
    epcore_t* core = wk->epcore;
    // Producers hand this worker pool frames; whatever is left goes back
    // to its pool, never to the heap.
    worker_set_datafree(wk, frame_datafree);
    set_task_name(taskName);
    log_info(g_logger, funcName, __LINE__, "%s capture not available", taskName);
    while (!core->quit.load() && !wk->quit.load()) event_wait(wk->ioevent, kQuitPollMs);
    log_info(g_logger, funcName, __LINE__, "end task");
    worker_destory(wk);
    return nullptr;
}
