// Gpixel 0503 ToF driver (sensor kind 100): the capture task of worker 500.
#ifndef KORVID_SENSOR_SENSOR_RAW_H
#define KORVID_SENSOR_SENSOR_RAW_H

// Body of worker 500 (ToF capture); `vwker` is the worker_t.
void* sensor_tof_task(void* vwker);

#endif
