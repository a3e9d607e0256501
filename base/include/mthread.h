/* Locks, event objects and inter-process helpers.
 *
 * Critical sections are plain non-recursive mutexes embedded in the structure
 * they guard (fields named ...CS): never re-enter one you already hold, and
 * never call back into a container while holding its lock. */
#ifndef KORVID_MTHREAD_H
#define KORVID_MTHREAD_H

#include <fcntl.h>
#include <pthread.h>
#include <sys/types.h>

typedef pthread_mutex_t CRITICAL_SECTION;

int InitializeCriticalSection(CRITICAL_SECTION* cs);
int EnterCriticalSection(CRITICAL_SECTION* cs);
int LeaveCriticalSection(CRITICAL_SECTION* cs);
int DeleteCriticalSection(CRITICAL_SECTION* cs);

/* The object a worker sleeps on until another thread pokes it. */
typedef struct EventObj_ {
    int             value; /* -1: not set */
    pthread_cond_t  cond;
    pthread_mutex_t mutex;
} eventobj_t;

void* event_create(void);
/* Waits up to `millisec` ms. Returns -1 on time-out (or a null event), else the
 * value given to event_set/event_signal. Each wait first clears the value, so a
 * set made while nobody waits is not remembered. */
int   event_wait(void* ev, int millisec);
void  event_set(void* ev, int val);    /* wakes every waiter */
void  event_signal(void* ev, int val); /* wakes one waiter */
void  event_destroy(void* ev);

unsigned long get_threadid(void);
/* Runs fn(arg) on a new detached thread: 0, or the error of a thread that
 * could not be made (reported to the caller, never retried: retrying at
 * once only spins while the system is out of threads). */
int   thread_start_detached(void* (*fn)(void*), void* arg);

/* System V semaphore and shared memory (offered; the device does not use them). */
int ipc_sem_init(const char* path, int proj, int* created);
int ipc_sem_clean(int semid);
int ipc_sem_wait(int semid);
int ipc_sem_signal(int semid);

int ipc_shm_init(const char* path, int proj, long size, void** ppshm, int* created);
int ipc_shm_detach(void* pshm);
int ipc_shm_clean(int shmid);

/* Whole-file write lock on a lock file. */
typedef struct file_mutex {
    char         filename[128];
    struct flock lock_it;
    struct flock unlock_it;
    int          fcntl_fd;
} FileMutex;

FileMutex* file_mutex_init(const char* filename);
int        file_mutex_lock(FileMutex* fm);
int        file_mutex_unlock(FileMutex* fm);
int        file_mutex_locked(const char* filename);
int        file_mutex_destroy(FileMutex* fm);

#endif
