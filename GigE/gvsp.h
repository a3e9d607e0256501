// GigE Vision stream sender: worker 511 turns the frames queued on its data
// list into stream blocks and sends them to the connected hosts. The private
// data of its UDP device is reset by the stream close under the worker's
// data-list lock.
#ifndef KORVID_GIGE_GVSP_H
#define KORVID_GIGE_GVSP_H

#include "common/common.h"
#include "dlist.h"
#include "mthread.h"

#define E_DEVICE_GVSP 10004

// Private data of the sender device (priv_data of worker 511's pdev).
typedef struct _GVSPPrivData {
    uint64           blockId;      // id of the next block; 1 at creation and after a stream close
    CRITICAL_SECTION resendCS;     // guards resend_list
    dlist_t*         resend_list;  // resend requests queued by GVCP
    dlist_t*         cache_list;   // the last frame sent (at most one), kept for resends
    int            (*send_to)(iodev_t* dev, const void* buf, int len);
} GVSPPrivData;

// Body of worker 511 (E_WORKER_ID_GVSP); `arg` is the worker_t.
void* GVSP_Task(void* arg);

#endif
