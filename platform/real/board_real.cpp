/* The real board: every seam call goes straight to the kernel and the shell.
 * Built only for the board itself (KORVID_BOARD=real). */
#include "backend.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

const char* real_root(void) { return ""; }

char* real_path(const char* path, char* buf, size_t size)
{
    size_t n = strlen(path);
    if (n >= size) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    memcpy(buf, path, n + 1);
    return buf;
}

int real_stat(const char* path, struct stat* st) { return stat(path, st); }
int real_statvfs(const char* path, struct statvfs* st) { return statvfs(path, st); }

int real_shell(const char* cmd, char* out, size_t size, int* kept)
{
    if (!out) return system(cmd);
    FILE* p = popen(cmd, "r");
    if (!p) return -1;
    size_t n = 0;
    while (n + 1 < size) {
        size_t got = fread(out + n, 1, size - 1 - n, p);
        if (got == 0) break;
        n += got;
    }
    out[n] = '\0';
    // Drain the rest so the command is not killed by a broken pipe.
    char sink[512];
    while (fread(sink, 1, sizeof(sink), p) > 0) {
    }
    if (kept) *kept = (int)n;
    return pclose(p);
}

int real_open(const char* path, int flags, mode_t mode) { return open(path, flags, mode); }
int real_close(int fd) { return close(fd); }
int real_ioctl(int fd, unsigned long request, void* arg) { return ioctl(fd, request, arg); }
ssize_t real_read(int fd, void* buf, size_t count) { return read(fd, buf, count); }
ssize_t real_write(int fd, const void* buf, size_t count) { return write(fd, buf, count); }

void* real_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    return mmap(addr, length, prot, flags, fd, offset);
}

int real_fstat(int fd, struct stat* st) { return fstat(fd, st); }
int real_fsync(int fd) { return fsync(fd); }
int real_rename(const char* from, const char* to) { return rename(from, to); }

const plat_backend_t kReal = {
    0,          real_root,  real_path, real_stat,  real_statvfs, real_shell, real_open,  real_close,
    real_ioctl, real_read,  real_write, real_mmap, nullptr,      real_fstat, real_fsync, real_rename,
    nullptr,    nullptr,
};

} // namespace

const plat_backend_t* real_backend(void) { return &kReal; }
