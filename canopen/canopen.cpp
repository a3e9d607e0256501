// CANopen node tasks. The node task (worker 536) lives until it is stopped
// and, on boards whose CPU type is not 0, runs the PDO output task under
// worker id 526, where depth processing posts its result records (on CPU
// type 0 that id belongs to the Modbus slave). The output task takes each
// record, notes its kind and gives it back to its pool.
#include "canopen/canopen.h"

#include <stddef.h>

#include "algo/algo_app.h"
#include "common/common.h"
#include "common/custom.h"
#include "epcore.h"
#include "log/logger.h"
#include "worker.h"

namespace {

constexpr int kPollMs = 5;

uint32 cpu_type() { return g_regMemAddr ? reg_load(g_regMemAddr->cpuId) : 0; }

// Until the PDO mapping lands, a record is only noted and given back.
void tpdo_record(epcore_t* core, ImageInfo* rec)
{
    if (rec->imageSize >= sizeof(RS485Info))
        log_debug(g_logger, __FUNCTION__, __LINE__, "tpdo type:%u cmd:%u", rec->imageType,
                  rec->imageData[offsetof(RS485Info, cmd)]);
    free_image(core, rec);
}

} // namespace

void* std_canopen_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    set_task_name("canopen");
    // On CPU type 0 worker 526 is the Modbus slave: leave it alone there.
    bool ownsOutput = false;
    if (cpu_type() != E_CPU_RK3588) {
        if (epcore_worker_find(core, E_WORKER_ID_RS485)) {
            log_error(g_logger, __FUNCTION__, __LINE__, "tpdo worker already running");
        } else if (worker_create(core, E_WORKER_ID_RS485, std_canopen_tpdo_parse) == 0) {
            ownsOutput = true;
        } else {
            log_error(g_logger, __FUNCTION__, __LINE__, "create tpdo worker fail.");
        }
    }
    while (!wk->quit.load() && !core->quit.load()) event_wait(wk->ioevent, kPollMs * 10);
    if (ownsOutput) epcore_worker_stop(core, E_WORKER_ID_RS485);
    log_info(g_logger, __FUNCTION__, __LINE__, "end canopen task");
    worker_destory(wk);
    return nullptr;
}

void* std_canopen_tpdo_parse(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    worker_set_datafree(wk, frame_datafree);
    set_task_name("canopen tpdo");
    frame_serve(wk, tpdo_record, kPollMs);
    log_info(g_logger, __FUNCTION__, __LINE__, "end canopen tpdo task");
    worker_destory(wk);
    return nullptr;
}
