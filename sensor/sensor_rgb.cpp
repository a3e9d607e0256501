// Colour capture of the colour-channel camera (colour kind 0): the task of
// worker 501. The capture itself has not landed: the task idles until it is
// stopped.
#include "sensor/sensor_rgb.h"

#include "sensor/sensor_pending.h"

void* sensor_rgb_task(void* vwker) { return sensor_pending_task(vwker, "rgbsensor", __FUNCTION__); }
