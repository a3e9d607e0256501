/* Worker threads: numbered task threads that other threads find by key and
 * feed through their data lists, and event workers that wait for queued
 * events. A task ends itself with worker_destory. */
#ifndef KORVID_WORKER_H
#define KORVID_WORKER_H

#include <stdint.h>

#include <atomic>

#include "btime.h"
#include "dlist.h"
#include "eptype.h"
#include "mthread.h"

/* Keys under which the tasks register. */
enum _WORKERID {
    E_WORKER_ID_TOF_SENSOR        = 500,
    E_WORKER_ID_RGB_SENSOR        = 501,
    E_WORKER_ID_HEARTBEAT         = 502,
    E_WORKER_ID_GVCP              = 510,
    E_WORKER_ID_GVSP              = 511,
    E_WORKER_ID_ALGO              = 512,
    E_WORKER_ID_ALGO_RGB          = 513,
    E_WORKER_ID_ALGO2             = 514,
    E_WORKER_ID_TEMP              = 515,
    E_WORKER_ID_ENC               = 516,
    E_WORKER_ID_IP                = 517,
    E_WORKER_ID_REBOOT            = 518,
    E_WORKER_ID_UPDATE            = 519,
    E_WORKER_ID_RECOVERY          = 520,
    E_WORKER_ID_TOF_INTEGRATION   = 521,
    E_WORKER_ID_WATCHDOG          = 522,
    E_WORKER_ID_NETCARD           = 523,
    E_WORKER_ID_UDP_RECV          = 524,
    E_WORKER_ID_UDP_SEND          = 525,
    E_WORKER_ID_RS485             = 526,
    E_WORKER_ID_TIMESTAMP         = 527,
    E_WORKER_ID_ISP               = 528,
    E_WORKER_ID_TOF_CPY           = 529,
    E_WORKER_ID_APD               = 530,
    E_WORKER_ID_APD_AUTO_CALIB    = 531,
    E_WORKER_ID_LED               = 532,
    E_WORKER_ID_MODBUS_TCP        = 533,
    E_WORKER_ID_APD_CURRENT_CALIB = 534,
    E_WORKER_ID_DEV_CAN_IO_TEST   = 535,
    E_WORKER_ID_STD_CANOPEN       = 536,
    E_WORKER_ID_IMU_TASK          = 537,
    E_WORKER_ID_PING              = 538,
    E_WORKER_ID_RICH_SEND_TASK    = 539,
    E_WORKER_ID_RICH_RECV_TASK    = 540,
};

/* workerid of event workers, which register under their pthread id. */
#define WORKER_EVENT_ID 10000

/* Releases one item left on a worker's data list when the worker ends;
 * core is the worker's core. The default gives the item to kfree. */
typedef void WorkerDataFree(epcore_t* core, void* item);

struct Worker_s {
    void*            res[2];
    CRITICAL_SECTION ioeventlistCS;
    dlist_t*         ioevent_list;   /* queued events (event workers) */
    CRITICAL_SECTION datalistCS;
    dlist_t*         data_list;      /* the task's mailbox */
    void*            ioevent;        /* event object; -10 on stop or free */
    ioevent_t*       curioe;         /* event being executed */
    uint64_t         threadid;       /* registry key */
    btime_t          start_time;
    uint64_t         acc_idle_time;  /* ms */
    uint64_t         acc_working_time;
    uint64_t         acc_event_num;
    uint64_t         workerid;       /* id given at creation; 10000 for event workers */
    btime_t          count_tick;     /* start of the 10-second window */
    uint64_t         working_time;   /* ms executing within the window */
    double           working_ratio;
    int              event_num;
    int              workload;
    epcore_t*        epcore;
    void*            pdev;
    std::atomic<uint8_t> quit;

    WorkerDataFree*  datafree;       /* release of items left on data_list */
    uint8_t          ending;         /* under the registry lock: no more hand-overs */
};

/* 0 created and registered; -1 null core or function; -100 no record; -2
 * no thread could be made (nothing stays registered). */
int       worker_create(epcore_t* core, uint64_t id, void* (*fn)(void*));
/* A task's last call: refuses further hand-overs, releases what is left on
 * its lists, unregisters and frees the record. */
int       worker_destory(worker_t* wk);
int       worker_stop(worker_t* wk);
uint64_t  workerid(worker_t* wk);
void      worker_set_datafree(worker_t* wk, WorkerDataFree* fn);

/* 0, -1 null core, -100 no record, -2 no thread could be made. */
int       worker_main_start(epcore_t* core, int forkone);
int       worker_main_stop(worker_t* wk);
void*     worker_proc_entry(void* wk);
int       worker_main_proc(worker_t* wk);

int        worker_ioevent_push(worker_t* wk, ioevent_t* ev);
ioevent_t* worker_ioevent_pop(worker_t* wk);
int        worker_ioevent_num(worker_t* wk);
int        worker_ioevent_remove(worker_t* wk, void* obj);
int        worker_real_load(worker_t* wk);
int        worker_perf(worker_t* wk, uint64_t* elapsed_ms, uint64_t* idle_ms,
                       uint64_t* working_ms, uint64_t* events);

worker_t* worker_new(epcore_t* core);
int       worker_free(worker_t* wk);

/* key points to a uint64_t: 1, -1 or 0; -1 for a null worker. */
int       worker_cmp_threadid(void* wk, void* key);
/* Sort comparators for arr_sort_by: a and b point to two worker_t* slots. */
int       worker_cmp_worker_by_load(void* a, void* b);
int       worker_cmp_worker_by_eventnum(void* a, void* b);

#endif
