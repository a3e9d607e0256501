/* NativeFile: a file descriptor handle with its own lock, position and known
 * size, so that several threads can share one open file.
 *
 * Open flags (the low byte chooses the mode):
 *   0x01, 0x02   the file must exist (0x01 read, 0x02 read-write)
 *   0x10         recreate: an existing file is removed and made anew
 *   0x20         write access
 *   0x10000000   create with mode 0755 instead of 0644
 * The callers in this system open with 0x01: read an existing file. */
#ifndef KORVID_NATIVEFILE_H
#define KORVID_NATIVEFILE_H

#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

#include "mthread.h"

typedef struct native_file_ {
    CRITICAL_SECTION fileCS;
    char     name[128];
    int      flag;   /* the open flags given */
    int      oflag;  /* the system open flags used, kept to reopen */
    int      mode;
    time_t   ctime;
    time_t   mtime;
    long     inode;
    uint32_t mimeid;
    int      fd;
    int64_t  offset; /* current position */
    int64_t  size;   /* known size */
} NativeFile;

NativeFile* native_file_open(const char* name, int flag); /* NULL on failure */
NativeFile* native_file_create(const char* name, int flag);
int         native_file_close(NativeFile* h); /* 0, -1 NULL */

/* Under the lock; bytes moved; -1 NULL handle, -2 NULL buffer, -3 negative
 * size, -100 other error. */
long native_file_read(NativeFile* h, void* buf, long size);
long native_file_write(NativeFile* h, const void* buf, long size);
/* pos < 0 means the end. 0, -1 NULL, -100 bad descriptor, -101 other failure. */
int  native_file_seek(NativeFile* h, int64_t pos);
int  native_file_resize(NativeFile* h, int64_t newsize); /* 0, -1 NULL, -100 */
/* Copies a byte range of src to dst's position (see filefd_copy). */
int  native_file_copy(NativeFile* src, int64_t offset, int64_t length, NativeFile* dst,
                      int64_t* actnum);

/* Accessors read without the lock. */
const char* native_file_name(NativeFile* h); /* "" for NULL */
int         native_file_fd(NativeFile* h);
int64_t     native_file_size(NativeFile* h);
int64_t     native_file_offset(NativeFile* h);
int         native_file_eof(NativeFile* h);
int         native_file_attr(NativeFile* h, int64_t* size, time_t* mtime, long* inode,
                             uint32_t* mimeid);

int native_file_stat(const char* name, struct stat* st); /* lstat's result */
int native_file_remove(const char* name);                /* unlink's result */

#endif
