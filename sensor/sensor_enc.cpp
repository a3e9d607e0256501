// Hardware encoder: the task of worker 516, which compresses the camera
// pictures queued on its list. The encoding itself has not landed: the task
// idles until it is stopped.
#include "sensor/sensor_enc.h"

#include "sensor/sensor_pending.h"

void* sensor_enc_task(void* vwker) { return sensor_pending_task(vwker, "enc", __FUNCTION__); }
