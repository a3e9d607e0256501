// SC2210 colour driver (colour kind 4): the capture task of worker 501, whose
// pictures go to the encoder.
#ifndef KORVID_SENSOR_SENSOR_SC2210_H
#define KORVID_SENSOR_SENSOR_SC2210_H

// Body of worker 501 (colour capture); `vwker` is the worker_t.
void* sensor_sc2210_task(void* vwker);

#endif
