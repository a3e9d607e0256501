// Hardware encoder. The encoder has not landed yet: the task reports
// itself and ends.
#include "sensor/sensor_enc.h"

#include "common/common.h"
#include "log/logger.h"
#include "worker.h"

void* sensor_enc_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("enc");
    log_error(g_logger, __FUNCTION__, __LINE__, "hardware encoder not available (worker %llu)",
              (unsigned long long)workerid(wk));
    worker_destory(wk);
    return nullptr;
}
