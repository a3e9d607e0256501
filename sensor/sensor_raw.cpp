// Gpixel 0503 ToF driver (sensor kind 100): the capture task of worker 500.
// The capture itself has not landed: the task idles until it is stopped.
#include "sensor/sensor_raw.h"

#include "sensor/sensor_pending.h"

void* sensor_tof_task(void* vwker) { return sensor_pending_task(vwker, "tofsensor", __FUNCTION__); }
