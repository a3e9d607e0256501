// VD55H1 ToF driver (sensor kind 200): the capture task of worker 500. The
// capture itself has not landed: the task idles until it is stopped.
#include "sensor/sensor_vd55h1.h"

#include "sensor/sensor_pending.h"

void* sensor_vd55h1_task(void* vwker) { return sensor_pending_task(vwker, "vd55h1sensor", __FUNCTION__); }
