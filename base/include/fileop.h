/* File operations: complete-transfer wrappers around descriptors and streams,
 * file tests and attributes, directory creation, copies, log-head dropping,
 * character-set conversion of files, path helpers, MIME detection, and
 * memory-mapped windows with a scanning file buffer (fbuf_t).
 *
 * Nothing here keeps global state; every function reports through its
 * return code. */
#ifndef KORVID_FILEOP_H
#define KORVID_FILEOP_H

#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

/* Descriptor transfers. Interrupted or would-block calls sleep 10 ms and retry.
 * -1 bad fd, -2 NULL buffer, -3 negative size, -100 other error. */
long filefd_read(int fd, void* buf, long size);  /* bytes read (short at end of file) */
long filefd_write(int fd, const void* buf, long size); /* size once all is written */

/* Writes the vector completely; `iov` is advanced in place past what went out.
 * Returns the total written (also added to *actnum); 0 when the descriptor
 * would block (*actnum tells how much went out first); -30 other error;
 * -1 bad fd. */
long filefd_writev(int fd, struct iovec* iov, int iovcnt, int64_t* actnum);

/* sendfile copy of `length` bytes (negative: to the end) from `offset`
 * (negative: 0). 0 (also when offset is at or past the end), -2 bad output,
 * -10 input cannot be examined, -500 input ended early, -400 other error;
 * *actnum = bytes copied. */
int filefd_copy(int fdin, int64_t offset, int64_t length, int fdout, int64_t* actnum);

/* Stream transfers: -1 NULL stream, -2 NULL buffer, -3 len < 1. */
long    file_read(FILE* fp, void* buf, long len);
long    file_write(FILE* fp, const void* buf, long len);
int64_t file_seek(FILE* fp, int64_t pos, int whence); /* new position; -100 on failure */

/* Tests and attributes. */
int     file_exist(const char* name); /* 1 unless stat says the path is missing */
int     file_is_regular(const char* name);
int     file_is_dir(const char* name);
int     file_valid(FILE* fp);
int64_t file_size(const char* name); /* -1 NULL, -2 stat failed */
int     file_stat(const char* name, struct stat* st); /* 0, -2 */
int64_t file_attr(const char* name, long* inode, int64_t* size, time_t* atime,
                  time_t* mtime, time_t* ctime); /* size, -2 */
int64_t file_lines(const char* name); /* line feeds in a regular file, else 0 */

/* Changes to files. */
/* Creates the directories of `path` (not its last part when hasfilename);
 * 0, -1 NULL, -2 when the directory could not be made. */
int file_dir_create(const char* path, int hasfilename);
/* Drops the first n lines: 0, -1 NULL, -2 n < 1, -3 cannot open, -5 no temporary. */
int file_rollover(const char* name, long n);
/* 0 when the range was copied (*actnum tells the amount); -1 NULL source,
 * -2 NULL destination, -10 source cannot be examined, -100 offset at or past
 * the end, -200 source cannot be opened, -300 destination cannot be created;
 * filefd_copy's -400 / -500 when the copy itself failed. */
int file_copy(const char* src, int64_t offset, int64_t length, const char* dst,
              int64_t* actnum);
int file_copy2fp(const char* src, int64_t offset, int64_t length, FILE* fp,
                 int64_t* actnum);
/* Input bytes converted; -1 NULL set names, -2 NULL file names, -10 source
 * cannot be examined or opened, -100 pair not supported or destination
 * cannot be created. */
int64_t file_conv_charset(const char* from, const char* to, const char* src,
                          const char* dst);

/* Paths. */
int         WinPath2UnixPath(char* path, int len); /* length; -2 empty */
int         UnixPath2WinPath(char* path, int len);
const char* file_extname(const char* name);  /* ".ext" or "" */
const char* file_basename(const char* name);
/* Absolute form of `rel` (NULL: the working directory); length, -2 bad buffer,
 * -3 when the path cannot be resolved or does not fit. */
int file_get_absolute_path(const char* rel, char* abs, int abslen);
/* Directory part of the absolute path, with its trailing separator; its length
 * (copied when `path` is given); -100 no separator. */
int file_abspath(const char* file, char* path, int pathlen);

/* MIME type of a regular file through the system's `file` command.
 * `mime` must hold 128 bytes; `mgmt` NULL means the process-wide MIME table.
 * Presets "application/octet-stream" and ids 30440; returns the MIME table
 * lookup's result; -100 when the file is missing or not regular. */
struct MimeMgmt_;
int file_mime_type(struct MimeMgmt_* mgmt, const char* name, char* mime,
                   uint32_t* mimeid, uint32_t* appid);

/* Mapped windows. Maps the page-aligned window covering offset .. offset+length
 * (cut at the file end); prot 0 means read-write, flags 0 means shared.
 * Returns the address of byte `offset`; NULL on failure. */
void* file_mmap(void* addr, int fd, int64_t offset, int64_t length, int prot,
                int flags, void** map, int64_t* maplen, int64_t* mapoff);
int   file_munmap(void* map, int64_t maplen);

/* Read-only file seen through a sliding mapped window. */
typedef struct file_buf_s {
    char*    fname;
    int      fd;
    int64_t  fsize;     /* size at open */
    int      pagecount; /* pages per window, at least 8 */
    int      pagesize;
    int      mapsize;   /* pagecount x pagesize */
    int64_t  mapoff;    /* file offset of the current window */
    int64_t  maplen;
    uint8_t* pbyte;     /* current window, NULL when none */
    void*    mapaddr;
} fbuf_t;

fbuf_t* fbuf_init(const char* name, int pagecount);
void    fbuf_free(fbuf_t* fb);
int     fbuf_fd(fbuf_t* fb);
int64_t fbuf_size(fbuf_t* fb);
int     fbuf_mmap(fbuf_t* fb, int64_t pos); /* 0, -1 NULL, -2 outside, -3 map failed */
int     fbuf_at(fbuf_t* fb, int64_t pos);   /* byte value; -1 NULL, -2 outside, -3 map failed */
/* Pointer to byte `pos` and the bytes left in its window: 0, else as fbuf_mmap. */
int     fbuf_ptr(fbuf_t* fb, int64_t pos, uint8_t** p, int64_t* len);
long    fbuf_read(fbuf_t* fb, int64_t pos, void* buf, long len); /* count; -1, -2 */

/* Scanners: at most `limit` bytes (negative: no limit); a NULL or empty set
 * returns `pos`. Forward scans end at the end of the scanned range, backward
 * ones one before it, when nothing stops them. */
int64_t fbuf_skip_to(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen);
int64_t fbuf_rskip_to(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen);
int64_t fbuf_skip_over(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen);
int64_t fbuf_rskip_over(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen);
int64_t fbuf_skip_quote_to(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen);
int64_t fbuf_skip_esc_to(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen);

#endif
