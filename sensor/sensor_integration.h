// ToF integration-time control: worker 521 re-programs the sensor's
// integration lengths and pulse counts between exposures.
#ifndef KORVID_SENSOR_SENSOR_INTEGRATION_H
#define KORVID_SENSOR_SENSOR_INTEGRATION_H

// Body of worker 521 (E_WORKER_ID_TOF_INTEGRATION), Gpixel; `arg` is the worker_t.
void* sensor_tof_integration_task(void* arg);
// Body of worker 521 (E_WORKER_ID_TOF_INTEGRATION), IMX570; `arg` is the worker_t.
void* sensor_imx570_integration_task(void* arg);

#endif
