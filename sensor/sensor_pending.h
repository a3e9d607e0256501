// Body shared by the capture and encoder tasks whose drivers have not
// landed: the task names its thread, reports that its capture is not
// available and stays registered until it is stopped, so the stream start
// and stop see an ordinary worker lifecycle.
#ifndef KORVID_SENSOR_SENSOR_PENDING_H
#define KORVID_SENSOR_SENSOR_PENDING_H

#include "eptype.h"

// Runs on the worker `vwker` until its own or its core's quit flag is set;
// items left on its data list go back as frames (free_image). Ends the
// worker with worker_destory.
void* sensor_pending_task(void* vwker, const char* taskName, const char* funcName);

#endif
