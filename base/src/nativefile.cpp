/* NativeFile: a shared file handle whose position and size moves are
 * serialised by its own lock. */
#include "nativefile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "fileop.h"
#include "memory.h"

namespace {

int access_mode(int flag)
{
    int low = flag & 0x0F, high = flag & 0xF0, w = flag & 0x22;
    if (low == 0) {
        if (w) return O_RDWR;
        return (flag & 0x10) ? O_WRONLY : O_RDONLY;
    }
    return (high || w) ? O_RDWR : O_RDONLY;
}

bool retryable(int err) { return err == EINTR || err == EAGAIN || err == EWOULDBLOCK; }

/* Reopens with the stored flags after a failure that left the descriptor
 * unusable. Called with the lock held. */
void reopen(NativeFile* h)
{
    if (h->fd >= 0) close(h->fd);
    h->fd = open(h->name, h->oflag, (mode_t)h->mode);
}

} // namespace

NativeFile* native_file_open(const char* name, int flag)
{
    if (!name || !*name || strlen(name) >= sizeof(((NativeFile*)nullptr)->name)) return nullptr;
    struct stat st;
    bool exists = lstat(name, &st) == 0;
    int low = flag & 0xFF;
    if (!exists && (low == 1 || low == 2)) return nullptr;
    if (exists && low == 0x10) {
        if (unlink(name) != 0) return nullptr;
        exists = false;
    }
    int mode = (flag & 0x10000000) ? 0755 : 0644;
    int oflag = access_mode(flag) | O_CLOEXEC | (exists ? 0 : O_CREAT);
    int fd = open(name, oflag, (mode_t)mode);
    if (fd < 0) return nullptr;
    NativeFile* h = (NativeFile*)kzalloc(sizeof(NativeFile));
    if (!h) {
        close(fd);
        return nullptr;
    }
    InitializeCriticalSection(&h->fileCS);
    snprintf(h->name, sizeof(h->name), "%s", name);
    h->flag = flag;
    h->oflag = oflag;
    h->mode = mode;
    h->fd = fd;
    /* The opened file's own status: lstat of a symbolic link would give the
     * link's size, not the file's. */
    if (exists && fstat(fd, &st) == 0) {
        h->inode = (long)st.st_ino;
        h->size = (int64_t)st.st_size;
        h->mtime = st.st_mtime;
        h->ctime = st.st_ctime;
    }
    return h;
}

NativeFile* native_file_create(const char* name, int flag) { return native_file_open(name, flag | 0x10); }

int native_file_close(NativeFile* h)
{
    if (!h) return -1;
    DeleteCriticalSection(&h->fileCS);
    if (h->fd >= 0) close(h->fd);
    kfree(h);
    return 0;
}

long native_file_read(NativeFile* h, void* buf, long size)
{
    if (!h) return -1;
    if (!buf) return -2;
    if (size < 0) return -3;
    EnterCriticalSection(&h->fileCS);
    long got = 0, rc = 0;
    while (got < size) {
        ssize_t n = read(h->fd, (char*)buf + got, (size_t)(size - got));
        if (n > 0) { got += n; continue; }
        if (n == 0) break;
        if (retryable(errno)) { usleep(500); continue; }
        rc = -100;
        break;
    }
    h->offset += got;
    LeaveCriticalSection(&h->fileCS);
    return rc < 0 ? rc : got;
}

long native_file_write(NativeFile* h, const void* buf, long size)
{
    if (!h) return -1;
    if (!buf) return -2;
    if (size < 0) return -3;
    EnterCriticalSection(&h->fileCS);
    long put = 0, rc = 0;
    while (put < size) {
        ssize_t n = write(h->fd, (const char*)buf + put, (size_t)(size - put));
        if (n >= 0) { put += n; continue; }
        if (retryable(errno)) { usleep(500); continue; }
        rc = -100;
        break;
    }
    h->offset += put;
    if (h->offset > h->size) h->size = h->offset;
    LeaveCriticalSection(&h->fileCS);
    return rc < 0 ? rc : put;
}

int native_file_seek(NativeFile* h, int64_t pos)
{
    if (!h) return -1;
    EnterCriticalSection(&h->fileCS);
    int rc = -101;
    if (pos < 0) pos = h->size;
    if (h->fd < 0) {
        rc = -100;
    } else if (h->offset == pos) {
        rc = 0;
    } else {
        for (int attempt = 0; attempt < 3; attempt++) {
            if (h->fd < 0) { rc = -100; break; }
            if (lseek(h->fd, (off_t)pos, SEEK_SET) == (off_t)pos) {
                h->offset = pos;
                rc = 0;
                break;
            }
            if (errno == EBADF) { rc = -100; break; }
            if (errno != EINTR) reopen(h);
        }
    }
    LeaveCriticalSection(&h->fileCS);
    return rc;
}

int native_file_resize(NativeFile* h, int64_t newsize)
{
    if (!h) return -1;
    if (newsize < 0) return -100;
    EnterCriticalSection(&h->fileCS);
    int rc = -100;
    for (int attempt = 0; attempt < 3 && h->fd >= 0; attempt++) {
        if (ftruncate(h->fd, (off_t)newsize) == 0) {
            h->size = newsize;
            rc = 0;
            break;
        }
        if (errno == EBADF || errno == EINVAL) break;
        if (errno != EINTR) {
            reopen(h);
            /* The reopened descriptor starts at 0: put it back where we were. */
            if (h->fd >= 0) lseek(h->fd, (off_t)h->offset, SEEK_SET);
        }
    }
    LeaveCriticalSection(&h->fileCS);
    return rc;
}

int native_file_copy(NativeFile* src, int64_t offset, int64_t length, NativeFile* dst,
                     int64_t* actnum)
{
    if (actnum) *actnum = 0;
    if (!src) return -1;
    if (!dst) return -2;
    int64_t moved = 0;
    EnterCriticalSection(&dst->fileCS);
    int rc = filefd_copy(src->fd, offset, length, dst->fd, &moved);
    /* sendfile wrote at the destination's position and moved it. */
    dst->offset += moved;
    if (dst->offset > dst->size) dst->size = dst->offset;
    LeaveCriticalSection(&dst->fileCS);
    if (actnum) *actnum = moved;
    return rc;
}

const char* native_file_name(NativeFile* h) { return h ? h->name : ""; }
int         native_file_fd(NativeFile* h) { return h ? h->fd : -1; }
int64_t     native_file_size(NativeFile* h) { return h ? h->size : 0; }
int64_t     native_file_offset(NativeFile* h) { return h ? h->offset : 0; }
int         native_file_eof(NativeFile* h) { return h ? (h->offset >= h->size) : 1; }

int native_file_attr(NativeFile* h, int64_t* size, time_t* mtime, long* inode, uint32_t* mimeid)
{
    if (!h) return -1;
    if (size) *size = h->size;
    if (mtime) *mtime = h->mtime;
    if (inode) *inode = h->inode;
    if (mimeid) *mimeid = h->mimeid;
    return 0;
}

int native_file_stat(const char* name, struct stat* st)
{
    if (!name || !st) return -1;
    return lstat(name, st);
}

int native_file_remove(const char* name)
{
    if (!name) return -1;
    return unlink(name);
}
