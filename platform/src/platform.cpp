/* The seam's front: chooses the board at start and forwards each call to it.
 *
 * No exception may leave the seam, so every forwarded call is fenced; a
 * throw inside a backend or a device model becomes ENOMEM or EIO. */
#include "backend.h"

#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char* kDefaultProfile = "rk3588-gpixel";

std::atomic<const plat_backend_t*> g_backend{
#ifdef KORVID_BOARD_REAL
    real_backend()
#else
    nullptr
#endif
};

// What the last failed board open could not do, for plat_board_args to say.
char g_open_failure[768];

const plat_backend_t* board()
{
    const plat_backend_t* b = g_backend.load(std::memory_order_acquire);
    if (!b) errno = ENODEV;
    return b;
}

} // namespace

int plat_board_open(const char* root, const char* profile)
{
    return fenced(-1, [&] {
        plat_board_close();
        g_open_failure[0] = '\0';
        if (!root) {
#ifdef KORVID_BOARD_REAL
            g_backend.store(real_backend(), std::memory_order_release);
            return 0;
#else
            errno = EINVAL; // this build carries no real board
            return -1;
#endif
        }
        const plat_backend_t* b =
            sim_backend_start(root, profile ? profile : kDefaultProfile, g_open_failure, sizeof(g_open_failure));
        if (!b) return -1;
        g_backend.store(b, std::memory_order_release);
        return 0;
    });
}

int plat_board_args(int* argc, char** argv)
{
    if (!argc || !argv) {
        errno = EINVAL;
        return -1;
    }
    const char* root = nullptr;
    const char* profile = nullptr;
    int out = 0;
    for (int i = 0; i < *argc; i++) {
        const char* a = argv[i];
        const char** slot = nullptr;
        const char* value = nullptr;
        if (strcmp(a, "--board-root") == 0 || strcmp(a, "--board") == 0) {
            slot = a[7] == '-' ? &root : &profile;
            if (i + 1 >= *argc) {
                fprintf(stderr, "%s needs a value\n", a);
                errno = EINVAL;
                return -1;
            }
            value = argv[++i];
        } else if (strncmp(a, "--board-root=", 13) == 0) {
            slot = &root;
            value = a + 13;
        } else if (strncmp(a, "--board=", 8) == 0) {
            slot = &profile;
            value = a + 8;
        }
        if (slot) {
            *slot = value;
            continue;
        }
        argv[out++] = argv[i];
    }
    if (out < *argc) argv[out] = nullptr;
    *argc = out;
#ifndef KORVID_BOARD_REAL
    if (!root) {
        fprintf(stderr, "the simulated board needs --board-root DIR\n");
        errno = EINVAL;
        return -1;
    }
#endif
    if (plat_board_open(root, profile) != 0) {
        int e = errno;
        fprintf(stderr, "cannot open board %s (%s): %s\n", profile ? profile : kDefaultProfile,
                root ? root : "real", g_open_failure[0] ? g_open_failure : strerror(e));
        errno = e;
        return -1;
    }
    return 0;
}

void plat_board_close(void)
{
    const plat_backend_t* b = g_backend.exchange(nullptr, std::memory_order_acq_rel);
    if (b && b->shutdown) fenced(0, [&] {
        b->shutdown();
        return 0;
    });
#ifdef KORVID_BOARD_REAL
    // The board build falls back to the real board, as when nothing was chosen.
    g_backend.store(real_backend(), std::memory_order_release);
#endif
}

int plat_board_publish(void)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (!b->publish) return 0;
    return fenced(-1, [&] { return b->publish(); });
}

void plat_board_withdraw(void)
{
    // No errno of the interrupted code is touched, and nothing allocates.
    const plat_backend_t* b = g_backend.load(std::memory_order_acquire);
    if (!b || !b->withdraw) return;
    int e = errno;
    b->withdraw();
    errno = e;
}

int plat_board_simulated(void)
{
    const plat_backend_t* b = g_backend.load(std::memory_order_acquire);
    return b ? b->simulated : -1;
}

const char* plat_board_root(void)
{
    const plat_backend_t* b = g_backend.load(std::memory_order_acquire);
    return b ? b->root() : "";
}

char* plat_path(const char* path, char* buf, size_t size)
{
    const plat_backend_t* b = board();
    if (!b) return nullptr;
    if (!path || !buf || size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    return fenced<char*>(nullptr, [&] { return b->path(path, buf, size); });
}

FILE* plat_fopen(const char* path, const char* mode)
{
    char host[PATH_MAX];
    if (!mode) {
        errno = EINVAL;
        return nullptr;
    }
    if (!plat_path(path, host, sizeof(host))) return nullptr;
    return fopen(host, mode);
}

int plat_access(const char* path, int mode)
{
    char host[PATH_MAX];
    if (!plat_path(path, host, sizeof(host))) return -1;
    return access(host, mode);
}

int plat_stat(const char* path, struct stat* st)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (!path || !st) {
        errno = EINVAL;
        return -1;
    }
    return fenced(-1, [&] { return b->stat(path, st); });
}

int plat_statvfs(const char* path, struct statvfs* st)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (!path || !st) {
        errno = EINVAL;
        return -1;
    }
    return fenced(-1, [&] { return b->statvfs(path, st); });
}

int plat_shell(const char* cmd)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (!cmd) {
        errno = EINVAL;
        return -1;
    }
    return fenced(-1, [&] { return b->shell(cmd, nullptr, 0, nullptr); });
}

int plat_shell_output(const char* cmd, char* out, size_t size)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (!cmd || !out || size == 0) {
        errno = EINVAL;
        return -1;
    }
    out[0] = '\0';
    return fenced(-1, [&] {
        int kept = 0;
        if (b->shell(cmd, out, size, &kept) == -1) return -1;
        return kept;
    });
}

int plat_open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, unsigned int);
        va_end(ap);
    }
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    return fenced(-1, [&] { return b->open(path, flags, mode); });
}

int plat_close(int fd)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    return fenced(-1, [&] { return b->close(fd); });
}

int plat_fstat(int fd, struct stat* st)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (!st) {
        errno = EINVAL;
        return -1;
    }
    return fenced(-1, [&] { return b->fstat(fd, st); });
}

int plat_ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    const plat_backend_t* b = board();
    if (!b) return -1;
    return fenced(-1, [&] { return b->ioctl(fd, request, arg); });
}

ssize_t plat_read(int fd, void* buf, size_t count)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    return fenced<ssize_t>(-1, [&] { return b->read(fd, buf, count); });
}

ssize_t plat_write(int fd, const void* buf, size_t count)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    return fenced<ssize_t>(-1, [&] { return b->write(fd, buf, count); });
}

int plat_fsync(int fd)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    return fenced(-1, [&] { return b->fsync(fd); });
}

int plat_rename(const char* from, const char* to)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (!from || !to) {
        errno = EINVAL;
        return -1;
    }
    return fenced(-1, [&] { return b->rename(from, to); });
}

void* plat_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    const plat_backend_t* b = board();
    if (!b) return MAP_FAILED;
    return fenced<void*>(MAP_FAILED, [&] { return b->mmap(addr, length, prot, flags, fd, offset); });
}

int plat_munmap(void* addr, size_t length)
{
    // Node buffers are ordinary shared mappings of the model's memfd.
    return munmap(addr, length);
}

int plat_poll(struct pollfd* fds, nfds_t nfds, int timeout)
{
    // Node descriptors are real and carry their readiness themselves.
    return poll(fds, nfds, timeout);
}

int plat_sched_setscheduler(int policy, int priority)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (b->simulated) return sim_sched_request(policy, priority);
    sched_param sp{};
    sp.sched_priority = priority;
    int rc = pthread_setschedparam(pthread_self(), policy, &sp);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

int plat_sched_setaffinity(int cpu)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (cpu < 0 || cpu >= CPU_SETSIZE) {
        errno = EINVAL;
        return -1;
    }
    if (b->simulated) return sim_affinity_request(cpu);
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    int rc = pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

int plat_socket(int domain, int type, int protocol)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (b->simulated) return fenced(-1, [&] { return sim_socket_open(domain, type, protocol); });
    return socket(domain, type, protocol);
}

int plat_bind(int fd, const struct sockaddr* addr, socklen_t len)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (b->simulated) return fenced(-1, [&] { return sim_socket_bind(fd, addr, len); });
    return bind(fd, addr, len);
}

int plat_setsockopt(int fd, int level, int name, const void* value, socklen_t len)
{
    const plat_backend_t* b = board();
    if (!b) return -1;
    if (b->simulated) return fenced(-1, [&] { return sim_socket_setopt(fd, level, name, value, len); });
    return setsockopt(fd, level, name, value, len);
}
