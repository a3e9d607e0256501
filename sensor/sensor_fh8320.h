// FH8320 camera driver (ToF kind 900): the capture task of worker 500, whose
// pictures go to the encoder.
#ifndef KORVID_SENSOR_SENSOR_FH8320_H
#define KORVID_SENSOR_SENSOR_FH8320_H

// Body of worker 500 (camera capture); `vwker` is the worker_t.
void* sensor_fh8320_task(void* vwker);

#endif
