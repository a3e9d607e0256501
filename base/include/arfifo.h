/* Ring FIFO of pointers in a growable buffer, with its own lock.
 * The buffer pool keeps its fresh and recycled units in two of them.
 * The FIFO never owns the items. */
#ifndef KORVID_ARFIFO_H
#define KORVID_ARFIFO_H

#include "mthread.h"

typedef void (*ArFifoFree)(void* item);

typedef struct ar_fifo {
    CRITICAL_SECTION afCS;
    int    size;  /* capacity in slots, at least 8 */
    int    start; /* slot of the head item */
    int    num;   /* items queued */
    void** data;
} arfifo_t;

arfifo_t* ar_fifo_new(int size);
void      ar_fifo_free(arfifo_t* af);
void      ar_fifo_free_all(arfifo_t* af, ArFifoFree freefunc);
void      ar_fifo_zero(arfifo_t* af);

int   ar_fifo_push(arfifo_t* af, void* value); /* 0; -1 null FIFO; -2 growth failed */
void* ar_fifo_out(arfifo_t* af);

/* Peeks; the answer is momentary unless the caller serialises its own use. */
void* ar_fifo_front(arfifo_t* af);
void* ar_fifo_back(arfifo_t* af);
void* ar_fifo_value(arfifo_t* af, int i);
int   ar_fifo_num(arfifo_t* af);

#endif
