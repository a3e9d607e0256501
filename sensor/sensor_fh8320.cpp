// FH8320 camera driver (ToF kind 900): the capture task of worker 500, whose
// pictures go to the encoder. The capture itself has not landed: the task
// idles until it is stopped.
#include "sensor/sensor_fh8320.h"

#include "sensor/sensor_pending.h"

void* sensor_fh8320_task(void* vwker) { return sensor_pending_task(vwker, "fh8320sensor", __FUNCTION__); }
