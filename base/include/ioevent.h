/* Queued events: one happening (readable, writable, accepted, connected,
 * timer expired, resolver reply, user command) carried from the pump that saw
 * it to the handler, and the pump's hooks, which are event records too.
 * Every event is handled on the pump that produced it; an event whose device
 * or timer is gone by then is dropped. */
#ifndef KORVID_IOEVENT_H
#define KORVID_IOEVENT_H

#include <stdint.h>
#include <time.h>

#include "eptype.h"
#include "evpump.h"

struct IOEvent_ {
    void*          res[2];
    uint8_t        externflag; /* 1 for a hook */
    int            type;       /* event number, or the hook's number */
    void*          obj;
    uint64_t       objid;      /* id of the device or timer the event is for */
    IOHandler*     callback;   /* a hook keeps its IOHookHandler* here */
    void*          cbpara;
    time_t         stamp;      /* set when queued to a worker */
    uint64_t       evpumpid;   /* thread id of the producing pump */
    uint64_t       workerid;
    IOIgnitor*     ignitor;
    void*          igpara;
    int            ignresult;
};

/* A cleared record from the core's event pool; null when none. */
ioevent_t* ioevent_fetch(epcore_t* core);
/* Back to the event pool; 0, -1 null, -10 not a record of that pool. */
int        ioevent_recycle(epcore_t* core, ioevent_t* ev);

/* 0 queued; -1 null pump; -10 no event record; or dispatch's refusal. */
int        ioevent_push(evpump_t* pump, int type, void* obj, IOHandler* cb, void* cbpara);
/* 0 queued; -101 null timer or resolver message; -100 device gone. */
int        ioevent_dispatch(evpump_t* pump, ioevent_t* ev);
/* One pass over the pump's queue and hooks; the number handled. */
int        ioevent_handle(evpump_t* pump);
/* Handles one event taken from a worker's queue and releases it. */
int        ioevent_execute(epcore_t* core, ioevent_t* ev);
ioevent_t* ioevent_pop(evpump_t* pump);
/* Drops every queued event of obj from the pump's queue; how many. */
int        ioevent_remove(evpump_t* pump, void* obj);
/* The same for any event queue (a pump's or a worker's) guarded by cs;
 * hooks are left in place. */
int        ioevent_list_drop(epcore_t* core, CRITICAL_SECTION* cs, dlist_t* list, void* obj);
int        evpump_ioevent_push(evpump_t* pump, ioevent_t* ev);
/* Event-pool destructor. */
int        ioevent_free(void* ev);

#endif
