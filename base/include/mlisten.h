/* Multi-pump listeners: a TCP or UDP port registered once on the core and
 * opened on every pump, now and whenever a pump starts later. With
 * SO_REUSEPORT each pump adds a socket of its own; every pump watches all
 * sockets of the record. */
#ifndef KORVID_MLISTEN_H
#define KORVID_MLISTEN_H

#include "dynarr.h"
#include "eptype.h"

typedef struct mlisten_st_ {
    char       localip[41];  /* empty for all addresses */
    int        port;
    int        reuseport;    /* 1 once a socket of this record took SO_REUSEPORT */
    void*      para;
    IOHandler* cb;
    void*      cbpara;
    int        fdtype;       /* IODEV_TCP_LISTEN or IODEV_UDP_LISTEN */
    arr_t*     devlist;      /* listening devices made for this record */
    epcore_t*  pcore;
    arr_t*     openedby;     /* pumps that already made their sockets for it */
} mlisten_t;

/* Registers (or finds) the record and opens it on every running pump.
 * Port 0 makes a new record on a port the kernel chooses when the first
 * pump opens it; mlisten_port tells that port from then on (0 before).
 * Null for a port outside 0..65535 or a null core. */
mlisten_t* mlisten_open(epcore_t* core, const char* localip, int port, int fdtype,
                        void* para, IOHandler* cb, void* cbpara);
/* 1 removed and closed; 0 not registered; -1 null; -2 without core. */
int        mlisten_close(mlisten_t* ml);
int        mlisten_port(mlisten_t* ml);
const char* mlisten_lip(mlisten_t* ml);   /* "" for none */

mlisten_t* mlisten_alloc(const char* localip, int port, int fdtype, void* para,
                         IOHandler* cb, void* cbpara);
/* Closes the record's devices and frees it. */
void       mlisten_free(void* ml);
int        mlisten_iodev_add(mlisten_t* ml, iodev_t* dev);   /* append unless present */

/* Core side. */
int        epcore_mlisten_init(epcore_t* core);
int        epcore_mlisten_clean(epcore_t* core);
int        epcore_mlisten_add(epcore_t* core, mlisten_t* ml);
mlisten_t* epcore_mlisten_get(epcore_t* core, const char* localip, int port);
mlisten_t* epcore_mlisten_del(epcore_t* core, mlisten_t* ml);
/* Run by each starting pump: opens every registered record on it. */
int        epcore_mlisten_create(epcore_t* core, evpump_t* pump);

#endif
