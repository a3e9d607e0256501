// Check of an uploaded ZIP archive before it is unpacked on the device: its
// central directory is read (bounds-checked, nothing inflated) and every
// entry must land inside the directory it is unpacked into, so no entry may
// carry an absolute name, a ".." component or a symbolic link, in its
// directory entry or in its local header. An archive whose directory is not
// exactly where its end record places it is not read.
#ifndef KORVID_SERVER_ZIPCHECK_H
#define KORVID_SERVER_ZIPCHECK_H

#include <stddef.h>
#include <stdint.h>

// Verdict of zip_check.
enum {
    ZIP_CHECK_OK = 0,
    ZIP_CHECK_UNREADABLE = -1, // not an archive this reader understands (also ZIP64, multi-disk,
                               // data before it, a directory elsewhere than recorded)
    ZIP_CHECK_ABSOLUTE = -2,   // an entry name starting with '/', '\\' or a drive letter
    ZIP_CHECK_PARENT = -3,     // an entry name with a ".." component
    ZIP_CHECK_LINK = -4,       // a symbolic link entry
    ZIP_CHECK_BADNAME = -5,    // an empty name or one holding a NUL byte
};

// Reads `len` bytes at `offset` of the archive into buf: true when all came.
typedef bool (*ZipReadAt)(void* ctx, uint64_t offset, void* buf, size_t len);

// Checks an archive of `size` bytes read through `read`. ZIP_CHECK_OK, or the
// first fault found.
int zip_check(ZipReadAt read, void* ctx, uint64_t size);
// The same for an archive in memory.
int zip_check_buffer(const uint8_t* data, size_t size);
// The same for an open file descriptor (read with pread).
int zip_check_fd(int fd);

#endif
