/* Locks, event objects, System V IPC and lock-file mutexes. */
#include "mthread.h"

#include "memory.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/time.h>
#include <unistd.h>

int InitializeCriticalSection(CRITICAL_SECTION* cs) { return pthread_mutex_init(cs, nullptr); }
int EnterCriticalSection(CRITICAL_SECTION* cs) { return pthread_mutex_lock(cs); }
int LeaveCriticalSection(CRITICAL_SECTION* cs) { return pthread_mutex_unlock(cs); }
int DeleteCriticalSection(CRITICAL_SECTION* cs) { return pthread_mutex_destroy(cs); }

void* event_create(void)
{
    auto* ev = static_cast<eventobj_t*>(kzalloc(sizeof(eventobj_t)));
    if (!ev) return nullptr;
    ev->value = -1;
    pthread_cond_init(&ev->cond, nullptr);
    pthread_mutex_init(&ev->mutex, nullptr);
    return ev;
}

int event_wait(void* vev, int millisec)
{
    auto* ev = static_cast<eventobj_t*>(vev);
    if (!ev) return -1;

    struct timeval now;
    gettimeofday(&now, nullptr);
    struct timespec deadline;
    deadline.tv_sec = now.tv_sec + millisec / 1000;
    long long nsec = (long long)(millisec % 1000) * 1000000LL + (long long)now.tv_usec * 1000LL;
    /* Carry whole seconds so the nanoseconds stay below one second. */
    deadline.tv_sec += (time_t)(nsec / 1000000000LL);
    deadline.tv_nsec = (long)(nsec % 1000000000LL);

    pthread_mutex_lock(&ev->mutex);
    ev->value = -1;
    int rc = pthread_cond_timedwait(&ev->cond, &ev->mutex, &deadline);
    /* Read under the lock: a setter may be storing a new value concurrently. */
    int val = ev->value;
    pthread_mutex_unlock(&ev->mutex);

    if (rc == ETIMEDOUT) return -1;
    return val;
}

static void event_poke(void* vev, int val, bool all)
{
    auto* ev = static_cast<eventobj_t*>(vev);
    if (!ev) return;
    pthread_mutex_lock(&ev->mutex);
    ev->value = val;
    if (all) pthread_cond_broadcast(&ev->cond);
    else pthread_cond_signal(&ev->cond);
    pthread_mutex_unlock(&ev->mutex);
}

void event_set(void* ev, int val) { event_poke(ev, val, true); }
void event_signal(void* ev, int val) { event_poke(ev, val, false); }

void event_destroy(void* vev)
{
    auto* ev = static_cast<eventobj_t*>(vev);
    if (!ev) return;
    pthread_mutex_destroy(&ev->mutex);
    pthread_cond_destroy(&ev->cond);
    kfree(ev);
}

unsigned long get_threadid(void) { return (unsigned long)pthread_self(); }

int thread_start_detached(void* (*fn)(void*), void* arg)
{
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    rc = pthread_create(&tid, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

/* ---- System V semaphores ---- */

namespace {
union semun_arg {
    int              val;
    struct semid_ds* buf;
    unsigned short*  array;
};

int sem_op(int semid, short op)
{
    if (semid < 0) return -1;
    struct sembuf sb;
    sb.sem_num = 0;
    sb.sem_op = op;
    sb.sem_flg = SEM_UNDO;
    (void)semop(semid, &sb, 1);
    return 0;
}
} // namespace

int ipc_sem_init(const char* path, int proj, int* created)
{
    key_t key = ftok(path, proj);
    if (key == (key_t)-1) return -100;

    int semid = semget(key, 1, IPC_CREAT | IPC_EXCL | 0666);
    if (semid >= 0) {
        if (created) *created = 1;
    } else if (errno == EEXIST) {
        semid = semget(key, 1, 0666);
        if (semid < 0) return -200;
        if (created) *created = 0;
    } else {
        return -200;
    }

    semun_arg arg;
    arg.val = 1;
    if (semctl(semid, 0, SETVAL, arg) < 0) {
        semctl(semid, 0, IPC_RMID);
        return -300;
    }
    return semid;
}

int ipc_sem_clean(int semid)
{
    if (semid < 0) return -1;
    return semctl(semid, 0, IPC_RMID);
}

int ipc_sem_wait(int semid) { return sem_op(semid, -1); }
int ipc_sem_signal(int semid) { return sem_op(semid, 1); }

/* ---- System V shared memory ---- */

int ipc_shm_init(const char* path, int proj, long size, void** ppshm, int* created)
{
    if (size < 1) return -1;
    if (!ppshm) return -2;
    key_t key = ftok(path, proj);
    if (key == (key_t)-1) return -100;

    int shmid = shmget(key, (size_t)size, IPC_CREAT | IPC_EXCL | 0600);
    if (shmid >= 0) {
        if (created) *created = 1;
    } else if (errno == EEXIST) {
        shmid = shmget(key, (size_t)size, 0600);
        if (shmid < 0) return -201;
        if (created) *created = 0;
    } else {
        return -200;
    }
    *ppshm = shmat(shmid, nullptr, 0);
    return shmid;
}

int ipc_shm_detach(void* pshm)
{
    if (!pshm) return -1;
    return shmdt(pshm);
}

int ipc_shm_clean(int shmid)
{
    if (shmid < 0) return -1;
    return shmctl(shmid, IPC_RMID, nullptr);
}

/* ---- Lock-file mutex ---- */

static int lock_op(FileMutex* fm, struct flock* fl, const char* failmsg)
{
    if (!fm) return -1;
    if (fm->fcntl_fd < 0) return -2;
    while (fcntl(fm->fcntl_fd, F_SETLKW, fl) < 0) {
        if (errno == EINTR) continue;
        perror(failmsg);
        return -100;
    }
    return 0;
}

FileMutex* file_mutex_init(const char* filename)
{
    if (!filename) return nullptr;
    auto* fm = static_cast<FileMutex*>(kzalloc(sizeof(FileMutex)));
    if (!fm) return nullptr;

    strncpy(fm->filename, filename, sizeof(fm->filename) - 1);
    fm->lock_it.l_type = F_WRLCK;
    fm->lock_it.l_whence = SEEK_SET;
    fm->lock_it.l_start = 0;
    fm->lock_it.l_len = 0;
    fm->unlock_it = fm->lock_it;
    fm->unlock_it.l_type = F_UNLCK;

    fm->fcntl_fd = open(fm->filename, O_CREAT | O_WRONLY, 0644);
    if (fm->fcntl_fd < 0) {
        perror("file_mutex_init: open lock file failed");
        kfree(fm);
        return nullptr;
    }
    return fm;
}

int file_mutex_lock(FileMutex* fm)
{
    return lock_op(fm, fm ? &fm->lock_it : nullptr, "file_mutex_lock: lock failed");
}

int file_mutex_unlock(FileMutex* fm)
{
    return lock_op(fm, fm ? &fm->unlock_it : nullptr, "file_mutex_unlock: unlock failed");
}

int file_mutex_locked(const char* filename)
{
    if (!filename) return -1;
    int fd = open(filename, O_CREAT | O_WRONLY, 0644);
    if (fd < 0) {
        perror("file_mutex_locked: open lock file failed");
        return -100;
    }
    struct flock fl;
    memset(&fl, 0, sizeof(fl));
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &fl) < 0) {
        perror("file_mutex_locked: fcntl GETLK error");
        close(fd);
        return -100;
    }
    close(fd);
    return fl.l_type == F_UNLCK ? 0 : (int)fl.l_pid;
}

int file_mutex_destroy(FileMutex* fm)
{
    if (!fm) return -1;
    if (fm->fcntl_fd >= 0) close(fm->fcntl_fd);
    unlink(fm->filename);
    kfree(fm);
    return 0;
}
