/* File operations: complete transfers over descriptors and streams, file tests,
 * directory creation, copies, log-head dropping, charset conversion, paths,
 * MIME detection and the mapped scanning file buffer. */
#include "fileop.h"

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string_view>

#include "bytescan.h"
#include "filecache.h"
#include "memory.h"
#include "mimetype.h"
#include "strutil.h"

extern char** environ;

using bytescan::ByteSet;

namespace {

bool retryable(int err) { return err == EINTR || err == EAGAIN || err == EWOULDBLOCK; }

} // namespace

/* ---------------------------------------------------------------- transfers */

long filefd_read(int fd, void* buf, long size)
{
    if (fd < 0) return -1;
    if (!buf) return -2;
    if (size < 0) return -3;
    long got = 0;
    while (got < size) {
        ssize_t n = read(fd, (char*)buf + got, (size_t)(size - got));
        if (n > 0) { got += n; continue; }
        if (n == 0) break;
        if (retryable(errno)) { usleep(10000); continue; }
        return -100;
    }
    return got;
}

long filefd_write(int fd, const void* buf, long size)
{
    if (fd < 0) return -1;
    if (!buf) return -2;
    if (size < 0) return -3;
    long put = 0;
    while (put < size) {
        ssize_t n = write(fd, (const char*)buf + put, (size_t)(size - put));
        if (n >= 0) { put += n; continue; }
        if (retryable(errno)) { usleep(10000); continue; }
        return -100;
    }
    return size;
}

long filefd_writev(int fd, struct iovec* iov, int iovcnt, int64_t* actnum)
{
    if (fd < 0) return -1;
    if (!iov || iovcnt <= 0) return 0;
    long total = 0;
    int i = 0;
    while (i < iovcnt) {
        if (iov[i].iov_len == 0) { i++; continue; }
        int cnt = iovcnt - i;
        if (cnt > IOV_MAX) cnt = IOV_MAX;
        ssize_t n = writev(fd, iov + i, cnt);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return -30;
        }
        total += n;
        if (actnum) *actnum += n;
        size_t left = (size_t)n;
        while (i < iovcnt && left >= iov[i].iov_len) {
            left -= iov[i].iov_len;
            iov[i].iov_len = 0;
            i++;
        }
        if (left > 0) {
            iov[i].iov_base = (char*)iov[i].iov_base + left;
            iov[i].iov_len -= left;
        }
    }
    return total;
}

int filefd_copy(int fdin, int64_t offset, int64_t length, int fdout, int64_t* actnum)
{
    if (actnum) *actnum = 0;
    if (fdout < 0) return -2;
    struct stat st;
    if (fdin < 0 || fstat(fdin, &st) != 0) return -10;
    if (offset < 0) offset = 0;
    if (offset >= st.st_size) return 0;
    if (length < 0) length = st.st_size - offset;
    off_t off = (off_t)offset;
    int64_t left = length;
    while (left > 0) {
        size_t piece = left > 0x7FFFF000 ? (size_t)0x7FFFF000 : (size_t)left;
        ssize_t n = sendfile(fdout, fdin, &off, piece);
        if (n < 0) {
            if (retryable(errno)) { usleep(50); continue; }
            return -400;
        }
        if (n == 0) return -500;
        left -= n;
        if (actnum) *actnum += n;
    }
    return 0;
}

long file_read(FILE* fp, void* buf, long len)
{
    if (!fp) return -1;
    if (!buf) return -2;
    if (len < 1) return -3;
    long got = 0;
    while (got < len) {
        size_t n = fread((char*)buf + got, 1, (size_t)(len - got), fp);
        if (n == 0) break;
        got += (long)n;
    }
    return got;
}

long file_write(FILE* fp, const void* buf, long len)
{
    if (!fp) return -1;
    if (!buf) return -2;
    if (len < 1) return -3;
    long put = 0;
    while (put < len) {
        size_t n = fwrite((const char*)buf + put, 1, (size_t)(len - put), fp);
        if (n == 0) break;
        put += (long)n;
    }
    fflush(fp);
    return put;
}

int64_t file_seek(FILE* fp, int64_t pos, int whence)
{
    if (!fp) return -1;
    if (fseeko(fp, (off_t)pos, whence) != 0) return -100;
    return (int64_t)ftello(fp);
}

/* -------------------------------------------------------- tests and attributes */

int file_exist(const char* name)
{
    if (!name) return 0;
    struct stat st;
    if (stat(name, &st) == 0) return 1;
    return errno == ENOENT ? 0 : 1;
}

int file_is_regular(const char* name)
{
    struct stat st;
    if (!name || stat(name, &st) != 0) return 0;
    return S_ISREG(st.st_mode) ? 1 : 0;
}

int file_is_dir(const char* name)
{
    struct stat st;
    if (!name || stat(name, &st) != 0) return 0;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

int file_valid(FILE* fp)
{
    struct stat st;
    if (!fp || fstat(fileno(fp), &st) != 0) return 0;
    return S_ISREG(st.st_mode) ? 1 : 0;
}

int64_t file_size(const char* name)
{
    if (!name) return -1;
    struct stat st;
    if (stat(name, &st) != 0) return -2;
    return (int64_t)st.st_size;
}

int file_stat(const char* name, struct stat* st)
{
    if (!name) return -1;
    if (!st || stat(name, st) != 0) return -2;
    return 0;
}

int64_t file_attr(const char* name, long* inode, int64_t* size, time_t* atime,
                  time_t* mtime, time_t* ctime)
{
    if (!name) return -1;
    struct stat st;
    if (stat(name, &st) != 0) return -2;
    if (inode) *inode = (long)st.st_ino;
    if (size) *size = (int64_t)st.st_size;
    if (atime) *atime = st.st_atime;
    if (mtime) *mtime = st.st_mtime;
    if (ctime) *ctime = st.st_ctime;
    return (int64_t)st.st_size;
}

int64_t file_lines(const char* name)
{
    if (!file_is_regular(name)) return 0;
    file_cache_t* cache = file_cache_init(8, 16384);
    if (!cache) return 0;
    file_cache_set_prefix_ratio(cache, 0.5f);
    int64_t lines = 0;
    if (file_cache_setfile(cache, name, 0) == 0) {
        char buf[16384];
        long n;
        while ((n = file_cache_read(cache, buf, sizeof(buf), 0)) > 0)
            for (const char* p = buf; (p = (const char*)memchr(p, '\n', (size_t)(buf + n - p))); p++) lines++;
    }
    file_cache_clean(cache);
    return lines;
}

/* ------------------------------------------------------------ changing files */

int file_dir_create(const char* path, int hasfilename)
{
    if (!path) return -1;
    int len = 0;
    const char* b = string_trim(path, -1, nullptr, 0, &len);
    if (len == 0) return 0;
    char* p = str_dup(b, len);
    if (!p) return -2;
    int rc = 0;
    struct stat st;
    if (stat(p, &st) != 0) {
        /* Every ancestor first, then the path itself unless it names a file;
         * success is judged by what exists afterwards. */
        for (int i = 1; i < len; i++) {
            if (p[i] != '/') continue;
            p[i] = 0;
            mkdir(p, 0755);
            p[i] = '/';
        }
        if (!hasfilename) {
            mkdir(p, 0755);
            rc = file_is_dir(p) ? 0 : -2;
        } else {
            char* slash = strrchr(p, '/');
            if (slash && slash != p) {
                *slash = 0;
                rc = file_is_dir(p) ? 0 : -2;
            }
        }
    }
    kfree(p);
    return rc;
}

int file_rollover(const char* name, long n)
{
    if (!name) return -1;
    if (n < 1) return -2;
    FILE* in = fopen(name, "re");
    if (!in) return -3;
    size_t tlen = strlen(name) + 32;
    char* tmp = (char*)kalloc(tlen);
    if (!tmp) { fclose(in); return -5; }
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; attempt++) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        snprintf(tmp, tlen, "%s.%05ld", name, (long)tv.tv_usec);
        /* Never clobber a file that happens to carry the temporary's name. */
        fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) break;
    }
    struct stat st;
    if (fd >= 0 && fstat(fileno(in), &st) == 0) fchmod(fd, st.st_mode & 07777); /* keep the log's mode */
    FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!out) {
        if (fd >= 0) { close(fd); unlink(tmp); }
        fclose(in);
        kfree(tmp);
        return -5;
    }
    char line[4096];
    long skipped = 0;
    bool ok = true;
    while (fgets(line, sizeof(line), in)) {
        size_t l = strlen(line);
        if (skipped < n) {
            /* A line longer than the buffer arrives in pieces: count line ends only. */
            if (l > 0 && line[l - 1] == '\n') skipped++;
            continue;
        }
        if (fwrite(line, 1, l, out) != l) { ok = false; break; }
    }
    if (ferror(in)) ok = false;
    fclose(in);
    if (fflush(out) != 0) ok = false;
    if (fclose(out) != 0) ok = false;
    if (!ok || rename(tmp, name) != 0) {
        unlink(tmp);
        kfree(tmp);
        return -5;
    }
    kfree(tmp);
    return 0;
}

namespace {
int copy_open_source(const char* src, int64_t* offset)
{
    struct stat st;
    if (stat(src, &st) != 0) return -10;
    if (*offset < 0) *offset = 0;
    if (*offset >= st.st_size) return -100;
    int fd = open(src, O_RDONLY | O_CLOEXEC);
    return fd < 0 ? -200 : fd;
}
} // namespace

int file_copy(const char* src, int64_t offset, int64_t length, const char* dst, int64_t* actnum)
{
    if (actnum) *actnum = 0;
    if (!src) return -1;
    if (!dst) return -2;
    int in = copy_open_source(src, &offset);
    if (in < 0) return in;
    int out = open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) { close(in); return -300; }
    int rc = filefd_copy(in, offset, length, out, actnum);
    close(in);
    if (close(out) != 0 && rc == 0) rc = -400;
    return rc;
}

int file_copy2fp(const char* src, int64_t offset, int64_t length, FILE* fp, int64_t* actnum)
{
    if (actnum) *actnum = 0;
    if (!src) return -1;
    if (!fp) return -2;
    int in = copy_open_source(src, &offset);
    if (in < 0) return in;
    fflush(fp); /* buffered bytes of the stream go out before the copied ones */
    int rc = filefd_copy(in, offset, length, fileno(fp), actnum);
    close(in);
    return rc;
}

int64_t file_conv_charset(const char* from, const char* to, const char* src, const char* dst)
{
    if (!from || !to) return -1;
    if (!src || !dst) return -2;
    struct stat st;
    if (stat(src, &st) != 0) return -10;
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1) return -100;
    int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0) { iconv_close(cd); return -10; }
    int out = open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) { close(in); iconv_close(cd); return -100; }

    char ibuf[1024 + 8];
    char obuf[2048];
    size_t pending = 0; /* bytes kept from the previous piece */
    int64_t consumed = 0;
    bool eof = false, stop = false;
    while (!stop && (!eof || pending > 0)) {
        if (!eof) {
            long n = filefd_read(in, ibuf + pending, 1024);
            if (n <= 0) eof = true;
            else pending += (size_t)n;
            if (pending == 0) break;
        }
        char* ip = ibuf;
        size_t ileft = pending;
        char* op = obuf;
        size_t oleft = sizeof(obuf);
        bool keep = false;
        while (ileft > 0) {
            size_t r = iconv(cd, &ip, &ileft, &op, &oleft);
            if (r != (size_t)-1) break;
            if (errno == EILSEQ || errno == EINVAL) {
                if (!eof && ileft < 4) { keep = true; break; }
                if (oleft == 0) {
                    if (filefd_write(out, obuf, (long)(op - obuf)) < 0) { stop = true; break; }
                    op = obuf;
                    oleft = sizeof(obuf);
                }
                *op++ = *ip++;
                oleft--;
                ileft--;
            } else if (errno == E2BIG) {
                /* The output buffer is full: drain it and convert the rest. */
                if (op == obuf) { stop = true; break; }
                if (filefd_write(out, obuf, (long)(op - obuf)) < 0) { stop = true; break; }
                op = obuf;
                oleft = sizeof(obuf);
            } else {
                stop = true;
                break;
            }
        }
        if (eof && !keep && ileft == 0) {
            /* Close any shift state of the target set. */
            iconv(cd, nullptr, nullptr, &op, &oleft);
        }
        if (op > obuf && filefd_write(out, obuf, (long)(op - obuf)) < 0) stop = true;
        consumed += (int64_t)(pending - ileft);
        memmove(ibuf, ip, ileft);
        pending = stop ? 0 : ileft;
        if (eof && !keep && pending == 0) break;
    }
    close(out);
    close(in);
    iconv_close(cd);
    return consumed;
}

/* -------------------------------------------------------------------- paths */

namespace {
int swap_separators(char* path, int len, char from, char to)
{
    if (!path || !*path) return -2;
    int n = 0;
    while ((len < 0 || n < len) && path[n]) {
        if (path[n] == from) path[n] = to;
        n++;
    }
    return n;
}
} // namespace

int WinPath2UnixPath(char* path, int len) { return swap_separators(path, len, '\\', '/'); }
int UnixPath2WinPath(char* path, int len) { return swap_separators(path, len, '/', '\\'); }

const char* file_extname(const char* name)
{
    if (!name) return "";
    /* Only the last path component can hold the extension. */
    const char* base = name;
    for (const char* p = name; *p; p++)
        if (*p == '/' || *p == '\\') base = p + 1;
    const char* dot = strrchr(base, '.');
    if (!dot || dot == base) return base + strlen(base);
    return dot;
}

const char* file_basename(const char* name)
{
    if (!name) return "";
    const char* last = nullptr;
    for (const char* p = name; *p; p++)
        if (*p == '/' || *p == '\\') last = p;
    if (!last || last == name) return name;
    return last + 1;
}

int file_get_absolute_path(const char* rel, char* abs, int abslen)
{
    if (!abs || abslen < 2) return -2;
    char res[PATH_MAX];
    if (!rel || !*rel) {
        if (!getcwd(res, sizeof(res))) return -3;
    } else if (file_is_regular(rel)) {
        /* Resolve the directory, keep the file's own name. */
        const char* base = file_basename(rel);
        if (base == rel && (*rel == '/' || *rel == '\\')) base = rel + 1;
        std::string_view dir(rel, (size_t)(base - rel));
        char dbuf[PATH_MAX];
        if (dir.empty()) { dbuf[0] = '.'; dbuf[1] = 0; }
        else {
            if (dir.size() >= sizeof(dbuf)) return -3;
            memcpy(dbuf, dir.data(), dir.size());
            dbuf[dir.size()] = 0;
        }
        if (!realpath(dbuf, res)) return -3;
        size_t l = strlen(res);
        size_t bl = strlen(base);
        if (l + 1 + bl >= sizeof(res)) return -3;
        if (l == 0 || res[l - 1] != '/') res[l++] = '/';
        memcpy(res + l, base, bl + 1);
    } else {
        if (!realpath(rel, res)) return -3;
    }
    size_t l = strlen(res);
    if (l >= (size_t)abslen) return -3;
    memcpy(abs, res, l + 1);
    return (int)l;
}

int file_abspath(const char* file, char* path, int pathlen)
{
    char full[PATH_MAX];
    int len = file_get_absolute_path(file, full, sizeof(full));
    if (len < 0) return len;
    int cut = -1;
    for (int i = 0; i < len; i++)
        if (full[i] == '/' || full[i] == '\\') cut = i;
    if (cut < 0) return -100;
    int dl = cut + 1;
    if (path) {
        if (pathlen <= dl) return -2;
        memcpy(path, full, (size_t)dl);
        path[dl] = 0;
    }
    return dl;
}

/* --------------------------------------------------------------------- MIME */

namespace {
/* Runs `file -bi -- name` without a shell and returns its first output line. */
int run_file_command(const char* name, char* line, size_t linesz)
{
    int pfd[2];
    if (pipe2(pfd, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pfd[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    char a0[] = "file", a1[] = "-bi", a2[] = "--";
    char* argv[] = {a0, a1, a2, const_cast<char*>(name), nullptr};
    pid_t pid;
    int rc = posix_spawnp(&pid, "file", &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(pfd[1]);
    if (rc != 0) { close(pfd[0]); return -1; }
    size_t got = 0;
    char buf[512];
    bool done = false;
    for (;;) {
        ssize_t n = read(pfd[0], buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && !done; i++) {
            if (buf[i] == '\n') done = true;
            else if (got + 1 < linesz) line[got++] = buf[i];
        }
        /* Keep draining so the child never blocks on a full pipe. */
    }
    line[got] = 0;
    close(pfd[0]);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return 0;
}
} // namespace

int file_mime_type(struct MimeMgmt_* mgmt, const char* name, char* mime, uint32_t* mimeid,
                   uint32_t* appid)
{
    if (mime) strcpy(mime, "application/octet-stream");
    if (mimeid) *mimeid = 30440;
    if (appid) *appid = 30440;
    if (!name || !file_is_regular(name)) return -100;
    char line[127];
    if (run_file_command(name, line, sizeof(line)) != 0) return -100;
    char* p = str_trim(line);
    if (!*p) return -100;
    if (mime) strcpy(mime, p);
    p[strcspn(p, ",; \t")] = 0; /* the type alone, without parameters */
    if (!mgmt) mgmt = mime_type_init();
    const char* ext = nullptr;
    uint32_t id = 0, app = 0;
    int rc = mime_type_get_by_mime(mgmt, p, &ext, &id, &app);
    if (rc == 0) {
        if (mimeid) *mimeid = id;
        if (appid) *appid = app;
    }
    return rc;
}

/* ------------------------------------------------------------ mapped windows */

void* file_mmap(void* addr, int fd, int64_t offset, int64_t length, int prot, int flags,
                void** map, int64_t* maplen, int64_t* mapoff)
{
    if (fd <= 0 || length <= 0 || offset < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0) return nullptr;
    if (offset >= st.st_size) return nullptr;
    int64_t end = offset + length;
    if (end > st.st_size || end < offset) end = st.st_size;
    long ps = sysconf(_SC_PAGESIZE);
    if (ps <= 0) ps = 4096;
    int64_t moff = offset - offset % ps;
    int64_t mlen = end - moff;
    void* m = mmap(addr, (size_t)mlen, prot ? prot : PROT_READ | PROT_WRITE,
                   flags ? flags : MAP_SHARED, fd, (off_t)moff);
    if (m == MAP_FAILED) return nullptr;
    if (map) *map = m;
    if (maplen) *maplen = mlen;
    if (mapoff) *mapoff = moff;
    return (char*)m + (offset - moff);
}

int file_munmap(void* map, int64_t maplen)
{
    if (!map || maplen <= 0) return -1;
    return munmap(map, (size_t)maplen);
}

fbuf_t* fbuf_init(const char* name, int pagecount)
{
    if (!name) return nullptr;
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    fbuf_t* fb = (fbuf_t*)kzalloc(sizeof(fbuf_t));
    size_t nl = strlen(name);
    char* fname = (char*)kalloc(nl + 1);
    if (!fb || !fname || fstat(fd, &st) != 0) {
        kfree(fb);
        kfree(fname);
        close(fd);
        return nullptr;
    }
    memcpy(fname, name, nl + 1);
    fb->fname = fname;
    fb->fd = fd;
    fb->fsize = (int64_t)st.st_size;
    long ps = sysconf(_SC_PAGESIZE);
    fb->pagesize = ps >= 512 && ps <= (1 << 24) ? (int)ps : 4096;
    if (pagecount < 8) pagecount = 8;
    int maxpages = (1 << 30) / fb->pagesize; /* keep mapsize within an int */
    if (pagecount > maxpages) pagecount = maxpages;
    fb->pagecount = pagecount;
    fb->mapsize = pagecount * fb->pagesize;
    return fb;
}

void fbuf_free(fbuf_t* fb)
{
    if (!fb) return;
    if (fb->mapaddr) munmap(fb->mapaddr, (size_t)fb->maplen);
    if (fb->fd >= 0) close(fb->fd);
    kfree(fb->fname);
    kfree(fb);
}

int fbuf_fd(fbuf_t* fb) { return fb ? fb->fd : -1; }

int64_t fbuf_size(fbuf_t* fb) { return fb ? fb->fsize : -1; }

int fbuf_mmap(fbuf_t* fb, int64_t pos)
{
    if (!fb) return -1;
    if (pos < 0 || pos >= fb->fsize) return -2;
    if (fb->pbyte && pos >= fb->mapoff && pos < fb->mapoff + fb->maplen) return 0;
    if (fb->mapaddr) munmap(fb->mapaddr, (size_t)fb->maplen);
    fb->mapaddr = nullptr;
    fb->pbyte = nullptr;
    int64_t off = pos - pos % fb->pagesize;
    int64_t len = fb->fsize - off;
    if (len > fb->mapsize) len = fb->mapsize;
    void* m = mmap(nullptr, (size_t)len, PROT_READ, MAP_SHARED, fb->fd, (off_t)off);
    if (m == MAP_FAILED) {
        fb->maplen = 0;
        return -3;
    }
    fb->mapaddr = m;
    fb->pbyte = (uint8_t*)m;
    fb->mapoff = off;
    fb->maplen = len;
    return 0;
}

int fbuf_at(fbuf_t* fb, int64_t pos)
{
    int rc = fbuf_mmap(fb, pos);
    if (rc < 0) return rc;
    return fb->pbyte[pos - fb->mapoff];
}

int fbuf_ptr(fbuf_t* fb, int64_t pos, uint8_t** p, int64_t* len)
{
    int rc = fbuf_mmap(fb, pos);
    if (rc < 0) return rc;
    if (p) *p = fb->pbyte + (pos - fb->mapoff);
    if (len) *len = fb->mapoff + fb->maplen - pos;
    return 0;
}

long fbuf_read(fbuf_t* fb, int64_t pos, void* buf, long len)
{
    if (!fb || !buf || len < 0) return -1;
    if (len == 0) return 0;
    uint8_t* p;
    int64_t avail;
    int rc = fbuf_ptr(fb, pos, &p, &avail);
    if (rc < 0) return rc;
    long n = avail < len ? (long)avail : len;
    memcpy(buf, p, (size_t)n);
    return n;
}

/* ------------------------------------------------------------------ scanners */

namespace {

/* Forward byte stream over [pos, end) that walks window by window. */
struct FwdScan {
    fbuf_t* fb;
    int64_t pos, end;
    uint8_t* p = nullptr;
    int64_t left = 0;
    int err = 0;
    /* Next byte or -1 at the end (err set on a mapping failure). */
    int peek()
    {
        if (pos >= end) return -1;
        if (left <= 0) {
            int64_t len;
            int rc = fbuf_ptr(fb, pos, &p, &len);
            if (rc < 0) { err = rc; return -1; }
            left = len;
        }
        return *p;
    }
    void next() { pos++; p++; left--; }
};

template <typename Stop>
int64_t scan_forward(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen, Stop stop)
{
    if (!fb) return -1;
    ByteSet bs(set, setlen);
    bytescan::Range r = bytescan::forward_range(pos, limit, fb->fsize);
    if (bs.empty || r.pos >= r.end) return pos;
    FwdScan s{fb, r.pos, r.end};
    return stop(s, bs);
}

template <typename Match>
int64_t scan_backward(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen, Match match)
{
    if (!fb) return -1;
    ByteSet bs(set, setlen);
    if (bs.empty) return pos;
    auto [start, low] = bytescan::backward_range(pos, limit, fb->fsize);
    if (start < 0) return start;
    for (int64_t i = start; i >= low; i--) {
        int c = fbuf_at(fb, i);
        if (c < 0) return c;
        if (match(bs, c)) return i;
    }
    return low - 1;
}

} // namespace

int64_t fbuf_skip_to(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen)
{
    return scan_forward(fb, pos, limit, set, setlen, bytescan::skip_to<FwdScan>);
}

int64_t fbuf_skip_over(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen)
{
    return scan_forward(fb, pos, limit, set, setlen, bytescan::skip_over<FwdScan>);
}

int64_t fbuf_skip_esc_to(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen)
{
    return scan_forward(fb, pos, limit, set, setlen, bytescan::skip_esc_to<FwdScan>);
}

int64_t fbuf_skip_quote_to(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen)
{
    return scan_forward(fb, pos, limit, set, setlen, bytescan::skip_quote_to<FwdScan>);
}

int64_t fbuf_rskip_to(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen)
{
    return scan_backward(fb, pos, limit, set, setlen,
                         [](const ByteSet& bs, int c) { return bs.has(c); });
}

int64_t fbuf_rskip_over(fbuf_t* fb, int64_t pos, int64_t limit, const char* set, int setlen)
{
    return scan_backward(fb, pos, limit, set, setlen,
                         [](const ByteSet& bs, int c) { return !bs.has(c); });
}
