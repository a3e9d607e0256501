// SC2210 colour driver (colour kind 4): the capture task of worker 501, whose
// pictures go to the encoder. The capture itself has not landed: the task
// idles until it is stopped.
#include "sensor/sensor_sc2210.h"

#include "sensor/sensor_pending.h"

void* sensor_sc2210_task(void* vwker) { return sensor_pending_task(vwker, "rgbsensor", __FUNCTION__); }
