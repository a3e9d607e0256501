/* Ring FIFO of pointers. Growth doubles the ring and moves the smaller of the
 * two wrapped segments so the queue stays contiguous modulo the new size. */
#include "arfifo.h"

#include "memory.h"

#include <string.h>

arfifo_t* ar_fifo_new(int size)
{
    if (size < 8) size = 8;
    auto* af = static_cast<arfifo_t*>(kzalloc(sizeof(arfifo_t)));
    if (!af) return nullptr;
    af->data = static_cast<void**>(kzalloc(sizeof(void*) * (size_t)size));
    if (!af->data) {
        kfree(af);
        return nullptr;
    }
    af->size = size;
    InitializeCriticalSection(&af->afCS);
    return af;
}

void ar_fifo_free(arfifo_t* af)
{
    ar_fifo_free_all(af, nullptr);
}

void ar_fifo_free_all(arfifo_t* af, ArFifoFree freefunc)
{
    if (!af) return;
    if (freefunc) {
        EnterCriticalSection(&af->afCS);
        for (int k = 0; k < af->num; k++) freefunc(af->data[(af->start + k) % af->size]);
        LeaveCriticalSection(&af->afCS);
    }
    kfree(af->data);
    DeleteCriticalSection(&af->afCS);
    kfree(af);
}

void ar_fifo_zero(arfifo_t* af)
{
    if (!af) return;
    EnterCriticalSection(&af->afCS);
    af->start = 0;
    __atomic_store_n(&af->num, 0, __ATOMIC_RELAXED);
    memset(af->data, 0, sizeof(void*) * (size_t)af->size);
    LeaveCriticalSection(&af->afCS);
}

/* Called with the lock held and the ring full. */
static int fifo_grow(arfifo_t* af)
{
    int S = af->size;
    /* Allocate fresh rather than realloc: a failed realloc would lose the queue. */
    auto* nd = static_cast<void**>(kalloc(sizeof(void*) * (size_t)S * 2));
    if (!nd) return -2;
    memcpy(nd, af->data, sizeof(void*) * (size_t)S);
    memset(nd + S, 0, sizeof(void*) * (size_t)S);

    if (af->start + af->num > S) {
        int w = (af->start + af->num) % S; /* items held in slots 0..w-1 */
        if (w > af->num / 2) {
            /* the head segment is the shorter: it moves to the top of the ring */
            int head = S - af->start;
            memmove(nd + S + af->start, nd + af->start, sizeof(void*) * (size_t)head);
            memset(nd + af->start, 0, sizeof(void*) * (size_t)head);
            af->start += S;
        } else {
            /* the wrapped items follow the old top; w <= num / 2 < S */
            memcpy(nd + S, nd, sizeof(void*) * (size_t)w);
            memset(nd, 0, sizeof(void*) * (size_t)w);
        }
    }
    kfree(af->data);
    af->data = nd;
    af->size = 2 * S;
    return 0;
}

int ar_fifo_push(arfifo_t* af, void* value)
{
    if (!af) return -1;
    EnterCriticalSection(&af->afCS);
    if (af->num == af->size && fifo_grow(af) < 0) {
        LeaveCriticalSection(&af->afCS);
        return -2;
    }
    af->data[(af->start + af->num) % af->size] = value;
    __atomic_store_n(&af->num, af->num + 1, __ATOMIC_RELAXED);
    LeaveCriticalSection(&af->afCS);
    return 0;
}

void* ar_fifo_out(arfifo_t* af)
{
    if (!af) return nullptr;
    EnterCriticalSection(&af->afCS);
    void* item = nullptr;
    if (af->num > 0) {
        item = af->data[af->start];
        af->data[af->start] = nullptr;
        af->start = (af->start + 1) % af->size;
        __atomic_store_n(&af->num, af->num - 1, __ATOMIC_RELAXED);
    }
    LeaveCriticalSection(&af->afCS);
    return item;
}

/* The peeks take the lock: a push that grows the ring frees the slot array a
 * lock-free reader could still be indexing. The count is a momentary value. */
static void* fifo_peek(arfifo_t* af, int i, bool from_back)
{
    if (!af) return nullptr;
    EnterCriticalSection(&af->afCS);
    void* item = nullptr;
    if (i >= 0 && i < af->num) {
        int k = from_back ? af->num - 1 - i : i;
        item = af->data[(af->start + k) % af->size];
    }
    LeaveCriticalSection(&af->afCS);
    return item;
}

void* ar_fifo_front(arfifo_t* af) { return fifo_peek(af, 0, false); }
void* ar_fifo_back(arfifo_t* af) { return fifo_peek(af, 0, true); }
void* ar_fifo_value(arfifo_t* af, int i) { return fifo_peek(af, i, false); }

int ar_fifo_num(arfifo_t* af) { return af ? __atomic_load_n(&af->num, __ATOMIC_RELAXED) : 0; }
