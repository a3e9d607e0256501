// VD55H1 ToF driver (sensor kind 200): the capture task of worker 500.
#ifndef KORVID_SENSOR_SENSOR_VD55H1_H
#define KORVID_SENSOR_SENSOR_VD55H1_H

// Body of worker 500 (ToF capture); `vwker` is the worker_t.
void* sensor_vd55h1_task(void* vwker);

#endif
