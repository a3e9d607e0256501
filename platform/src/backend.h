/* What a board answers behind the seam: the real board or the simulated one.
 * The front (platform.cpp) picks one at start and forwards every call to it. */
#ifndef KORVID_PLATFORM_BACKEND_H
#define KORVID_PLATFORM_BACKEND_H

#include "platform.h"

#include <errno.h>
#include <new>
#include <sys/types.h>

typedef struct PlatBackend_ {
    int     simulated;
    const char* (*root)(void);
    char*   (*path)(const char* path, char* buf, size_t size);
    int     (*stat)(const char* path, struct stat* st);
    int     (*statvfs)(const char* path, struct statvfs* st);
    /* out NULL: the output is not wanted. Returns the system(3) status. */
    int     (*shell)(const char* cmd, char* out, size_t size, int* kept);
    int     (*open)(const char* path, int flags, mode_t mode);
    int     (*close)(int fd);
    int     (*ioctl)(int fd, unsigned long request, void* arg);
    ssize_t (*read)(int fd, void* buf, size_t count);
    ssize_t (*write)(int fd, const void* buf, size_t count);
    void*   (*mmap)(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
    void    (*shutdown)(void);
    int     (*fstat)(int fd, struct stat* st);
    int     (*fsync)(int fd);
    int     (*rename)(const char* from, const char* to);
    int     (*publish)(void);  /* NULL: nothing to publish */
    void    (*withdraw)(void); /* async-signal-safe; NULL with publish */
} plat_backend_t;

/* The simulated board: lays out `root` from the profile and returns its
 * backend, or NULL with errno and, in `why`, what failed (an unknown
 * profile with the profiles there are, a path and its reason). */
const plat_backend_t* sim_backend_start(const char* root, const char* profile, char* why, size_t why_size);
/* The simulated board's answer to a scheduling request of the calling thread. */
int sim_sched_request(int policy, int priority);
/* The simulated board's answer to pinning the calling thread to `cpu`. */
int sim_affinity_request(int cpu);
/* The simulated board's sockets: CAN sockets are nodes on its bus, any
 * other socket goes to the host. */
int sim_socket_open(int domain, int type, int protocol);
int sim_socket_bind(int fd, const struct sockaddr* addr, socklen_t len);
int sim_socket_setopt(int fd, int level, int name, const void* value, socklen_t len);

#ifdef KORVID_BOARD_REAL
const plat_backend_t* real_backend(void);
#endif

/* Runs a call so that no exception leaves the seam: allocation failure
 * becomes ENOMEM, any other throw EIO, and `failure` is returned. */
template <class R, class F>
R fenced(R failure, F&& f)
{
    try {
        return f();
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
    } catch (...) {
        errno = EIO;
    }
    return failure;
}

#endif
