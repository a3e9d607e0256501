/* Read-ahead file cache: a ring of fixed-size packs over a window of the
 * source, loaded on demand or by a loader thread.
 *
 * Locking: cacheCS guards the window (bgn_pack, seek position, which pack
 * number each ring slot holds); a pack's packCS guards its number, state and
 * fill; fpCS is held for a whole load, so loads are serialised and a pack's
 * bytes are written by one loader at a time. Order: cacheCS -> packCS and
 * fpCS -> packCS; cacheCS and fpCS are never held together. Readers copy a
 * pack's bytes only while holding its packCS and only when its number is the
 * one they want, so a slot that is moved to another pack meanwhile is never
 * read half-written. */
#include "filecache.h"

#include <string.h>

#include <chrono>

#include "bytescan.h"
#include "memory.h"

using bytescan::ByteSet;

namespace {

constexpr int kDefaultPackSize = 8192;
constexpr int kLoadBatch = 8;
constexpr int kMaxUnits = 5;
/* A waiter sleeps in short slices: the event object forgets a set made while
 * nobody waits, so a long single wait could oversleep a finished load. */
constexpr int kWaitSliceMs = 20;
constexpr int kAtReloadMs = 500;
constexpr int kReadReloadMs = 100;

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

file_pack_t* ring_slot(file_cache_t* c, int64_t packind)
{
    if (c->packnum <= 0 || packind < 0) return nullptr;
    return (file_pack_t*)arr_value(c->pack_list, (int)(packind % c->packnum));
}

int pack_length(file_cache_t* c, int64_t n)
{
    if (n < 0 || n >= c->packtotal) return 0;
    return n == c->packtotal - 1 ? c->residual : c->packsize;
}

/* Points a ring slot at pack number n (-1: none), emptying it. packCS taken here. */
void slot_assign(file_cache_t* c, file_pack_t* p, int64_t n)
{
    EnterCriticalSection(&p->packCS);
    p->packind = n;
    p->length = pack_length(c, n);
    p->state = 0;
    p->rcvlen = 0;
    p->unitnum = 0;
    memset(p->unitarr, 0, sizeof(p->unitarr));
    LeaveCriticalSection(&p->packCS);
}

int64_t window_end(file_cache_t* c)
{
    int64_t e = c->bgn_pack + c->packnum;
    return e < c->packtotal ? e : c->packtotal;
}

/* Moves the window so that it holds pack `sp`, keeping `prefix` packs before
 * it. cacheCS held. */
void window_cover(file_cache_t* c, int64_t sp)
{
    if (c->packnum <= 0 || sp < 0 || sp >= c->packtotal) return;
    int64_t nb = c->bgn_pack;
    if (sp < c->bgn_pack) {
        nb = sp - c->prefix;
        if (nb < 0) nb = 0;
    } else if (sp - c->bgn_pack > c->prefix) {
        nb = sp - c->prefix;
        if (nb > c->bgn_pack_max) nb = c->bgn_pack_max;
    }
    if (nb == c->bgn_pack) return;
    for (int64_t n = nb; n < nb + c->packnum; n++) {
        file_pack_t* p = ring_slot(c, n);
        int64_t want = n < c->packtotal ? n : -1;
        if (p && p->packind != want) slot_assign(c, p, want);
    }
    c->bgn_pack = nb;
}

/* Sets the read position. cacheCS held. */
void seek_locked(file_cache_t* c, int64_t pos)
{
    c->seekpos = pos;
    c->seek_pack = c->packsize > 0 ? pos / c->packsize : 0;
    window_cover(c, c->seek_pack);
}

/* Reads one pack from the source. Returns the bytes filled, negative on
 * failure. fpCS held. */
long source_read(file_cache_t* c, uint8_t* buf, int len, int64_t off)
{
    if (c->mediatype == 1 && c->hfile) {
        if (native_file_seek(c->hfile, off) != 0) return -1;
        return native_file_read(c->hfile, buf, len);
    }
    if (c->mediatype == 2 && c->cdnread) {
        long l = len;
        long n = c->cdnread(c->pmedia, buf, &l, off);
        return n > len ? len : n;
    }
    return -1;
}

/* Loads pack number `expect` into slot `p`. Without `force` only an empty
 * pack is loaded. Returns 1 when the pack is loaded afterwards, 0 when there
 * was nothing to do, -1 when the load failed. */
int load_pack(file_cache_t* c, file_pack_t* p, int64_t expect, bool force)
{
    EnterCriticalSection(&c->fpCS);
    EnterCriticalSection(&p->packCS);
    bool go = p->packind == expect && expect >= 0 && (force || p->state == 0);
    int already = p->packind == expect && p->state == 3;
    int len = p->length;
    if (go) p->state = 1;
    LeaveCriticalSection(&p->packCS);
    if (!go) {
        LeaveCriticalSection(&c->fpCS);
        return already;
    }
    long n = source_read(c, p->pbyte, len, c->offset + expect * (int64_t)c->packsize);
    int rc = -1;
    EnterCriticalSection(&p->packCS);
    if (p->packind == expect && p->state == 1) {
        if (n > 0) {
            p->rcvlen = (int)n;
            p->state = 3;
            rc = 1;
        } else {
            p->rcvlen = 0;
            p->state = 0;
        }
    }
    LeaveCriticalSection(&p->packCS);
    if (n > 0) c->totalread += n;
    else c->failread++;
    LeaveCriticalSection(&c->fpCS);
    event_set(c->avail_event, 1);
    return rc;
}

/* How a reader treats a pack that is not there yet. */
struct WaitRule {
    bool load;        /* load an empty pack itself */
    long reload_ms;   /* reload a pack still loading after this long */
    long budget_ms;   /* give up after this long (< 0: never) */
};

/* Copies bytes of pack number `expect` from `off` on. Returns the count,
 * 0 when nothing is there (and the rule says not to wait or load), -200 when
 * the bytes cannot be had, -201 when the slot no longer holds that pack. */
long pack_copy(file_cache_t* c, file_pack_t* p, int64_t expect, int off, uint8_t* dst, long want,
               const WaitRule& rule)
{
    Clock::time_point start = Clock::now();
    bool reloaded = false;
    for (;;) {
        EnterCriticalSection(&p->packCS);
        if (p->packind != expect) {
            LeaveCriticalSection(&p->packCS);
            return -201;
        }
        if (p->rcvlen > off) {
            long n = p->rcvlen - off;
            if (n > want) n = want;
            memcpy(dst, p->pbyte + off, (size_t)n);
            LeaveCriticalSection(&p->packCS);
            return n;
        }
        int st = p->state;
        LeaveCriticalSection(&p->packCS);
        if (st == 3) return -200; /* loaded, but the source ended early */
        if (st == 0) {
            if (!rule.load) return 0;
            if (load_pack(c, p, expect, false) < 0) return -200;
            continue;
        }
        long waited = elapsed_ms(start);
        if (rule.budget_ms >= 0 && waited >= rule.budget_ms) return 0;
        if (waited > rule.reload_ms) {
            if (reloaded) return -200;
            reloaded = true;
            if (load_pack(c, p, expect, true) < 0) return -200;
            continue;
        }
        event_wait(c->avail_event, kWaitSliceMs);
    }
}

/* Copies up to `want` bytes at `pos` from the pack holding it, moving the
 * window when needed. */
long fetch_at(file_cache_t* c, int64_t pos, uint8_t* dst, long want, const WaitRule& rule)
{
    long r = -201;
    /* Another thread may move the window between our look-up and the copy. */
    for (int attempt = 0; attempt < 8 && r == -201; attempt++) {
        EnterCriticalSection(&c->cacheCS);
        int64_t n = pos / c->packsize;
        window_cover(c, n);
        file_pack_t* p = ring_slot(c, n);
        LeaveCriticalSection(&c->cacheCS);
        if (!p) return -201;
        r = pack_copy(c, p, n, (int)(pos % c->packsize), dst, want, rule);
    }
    return r;
}

/* file_cache_at and the scanners wait as long as it takes. */
constexpr WaitRule kAtRule{true, kAtReloadMs, -1};

/* Forward byte stream over [pos, end) in pack-sized runs. */
struct FwdScan {
    file_cache_t* c;
    int64_t pos, end;
    uint8_t buf[4096];
    long bpos = 0, blen = 0;
    int err = 0;
    int peek()
    {
        if (pos >= end) return -1;
        if (bpos >= blen) {
            long want = end - pos < (int64_t)sizeof(buf) ? (long)(end - pos) : (long)sizeof(buf);
            long n = fetch_at(c, pos, buf, want, kAtRule);
            if (n <= 0) { err = -200; return -1; }
            bpos = 0;
            blen = n;
        }
        return buf[bpos];
    }
    void next() { pos++; bpos++; }
};

template <typename Stop>
int64_t scan_forward(file_cache_t* c, int64_t pos, int64_t limit, const char* set, int setlen, Stop stop)
{
    if (!c) return -1;
    ByteSet bs(set, setlen);
    bytescan::Range r = bytescan::forward_range(pos, limit, c->length);
    if (bs.empty || r.pos >= r.end) return pos;
    FwdScan s{c, r.pos, r.end, {}};
    return stop(s, bs);
}

template <typename Match>
int64_t scan_backward(file_cache_t* c, int64_t pos, int64_t limit, const char* set, int setlen, Match match)
{
    if (!c) return -1;
    ByteSet bs(set, setlen);
    if (bs.empty) return pos;
    auto [start, low] = bytescan::backward_range(pos, limit, c->length);
    if (start < 0) return start;
    uint8_t buf[4096];
    int64_t i = start;
    while (i >= low) {
        /* The run from the start of i's pack (or `low`) up to i. */
        int64_t from = i - i % c->packsize;
        if (from < low) from = low;
        if (i - from + 1 > (int64_t)sizeof(buf)) from = i - (int64_t)sizeof(buf) + 1;
        long want = (long)(i - from + 1);
        long n = fetch_at(c, from, buf, want, kAtRule);
        if (n != want) return -200;
        for (; i >= from; i--)
            if (match(bs, buf[i - from])) return i;
    }
    return low - 1;
}

void ring_release(file_cache_t* c)
{
    if (!c->pack_list) return;
    for (int i = 0; i < arr_num(c->pack_list); i++) file_pack_recycle((file_pack_t*)arr_value(c->pack_list, i));
    arr_zero(c->pack_list);
}

/* Makes packnum pack records over the buffer. */
int ring_build(file_cache_t* c)
{
    ring_release(c);
    for (int i = 0; i < c->packnum; i++) {
        file_pack_t* p = file_pack_fetch(c);
        if (!p) return -100;
        p->index = i;
        p->pbyte = c->pbuf + (int64_t)i * c->packsize;
        if (arr_push(c->pack_list, p) == 0) {
            file_pack_recycle(p);
            return -100;
        }
    }
    return 0;
}

void prefix_update(file_cache_t* c)
{
    int pre = (int)((float)c->packnum * c->prefix_ratio);
    /* The read position's own pack must stay inside the window. */
    if (pre >= c->packnum) pre = c->packnum - 1;
    if (pre < 0) pre = 0;
    c->prefix = pre;
    c->suffix = c->packnum - pre;
}

void bufpack_update(file_cache_t* c)
{
    int64_t n = c->packsize > 0 ? (c->bufsize + c->packsize - 1) / c->packsize : 0;
    c->bufpack = n > c->packnum ? c->packnum : (int)n;
}

} // namespace

/* ------------------------------------------------------------------ set-up */

file_cache_t* file_cache_init(int packnum, int packsize)
{
    if (packsize < 1) packsize = kDefaultPackSize;
    file_cache_t* c = (file_cache_t*)kzalloc(sizeof(file_cache_t));
    if (!c) return nullptr;
    InitializeCriticalSection(&c->cacheCS);
    InitializeCriticalSection(&c->fpCS);
    c->packsize = packsize;
    c->prefix_ratio = 0.1f;
    c->avail_event = event_create();
    c->pack_list = arr_new(packnum > 0 ? packnum : 4);
    c->pack_pool = bpool_init(nullptr);
    bool ok = c->avail_event && c->pack_list && c->pack_pool;
    if (ok) {
        bpool_set_unitsize(c->pack_pool, (int)sizeof(file_pack_t));
        bpool_set_allocnum(c->pack_pool, packnum > 0 ? packnum : 1);
    }
    if (ok && packnum >= 1) {
        int64_t bytes = (int64_t)packnum * packsize;
        c->pbuf = bytes <= (int64_t)1 << 40 ? (uint8_t*)kalloc((size_t)bytes) : nullptr;
        ok = c->pbuf != nullptr;
        if (ok) {
            c->bufalloc = 1;
            c->buflen = bytes;
            c->actlen = bytes;
            c->packnum = packnum;
            ok = ring_build(c) == 0;
        }
    }
    if (!ok) {
        file_cache_clean(c);
        return nullptr;
    }
    file_cache_packlist_prepare(c);
    return c;
}

int file_cache_setbuf(file_cache_t* c, void* buf, int64_t len, int packsize)
{
    if (!c) return -1;
    if (!buf) return -2;
    if (len < 1) return -3;
    if (packsize < 1) packsize = c->packsize;
    if (packsize > len) return -4;
    ring_release(c);
    if (c->bufalloc) kfree(c->pbuf);
    c->bufalloc = 0;
    c->pbuf = (uint8_t*)buf;
    c->buflen = len;
    c->packsize = packsize;
    int64_t n = len / packsize;
    c->packnum = n > (1 << 20) ? (1 << 20) : (int)n;
    c->actlen = (int64_t)c->packnum * packsize;
    if (ring_build(c) != 0) {
        ring_release(c);
        c->packnum = 0;
        c->actlen = 0;
        return -100;
    }
    return file_cache_packlist_prepare(c);
}

int file_cache_clean(file_cache_t* c)
{
    if (!c) return -1;
    ring_release(c);
    if (c->pack_list) arr_free(c->pack_list);
    if (c->pack_pool) bpool_clean(c->pack_pool);
    if (c->bufalloc) kfree(c->pbuf);
    if (c->hfile) native_file_close(c->hfile);
    if (c->avail_event) event_destroy(c->avail_event);
    DeleteCriticalSection(&c->fpCS);
    DeleteCriticalSection(&c->cacheCS);
    kfree(c);
    return 0;
}

int file_cache_set_prefix_ratio(file_cache_t* c, float ratio)
{
    if (!c) return -1;
    if (!(ratio >= 0.0f)) ratio = 0.0f;
    if (ratio > 1.0f) ratio = 1.0f;
    EnterCriticalSection(&c->cacheCS);
    c->prefix_ratio = ratio;
    prefix_update(c);
    LeaveCriticalSection(&c->cacheCS);
    return 0;
}

int file_cache_buffering_size(file_cache_t* c, int64_t bytes)
{
    if (!c) return -1;
    c->bufsize = bytes > 0 ? bytes : 0;
    bufpack_update(c);
    return 0;
}

int file_cache_setfile(file_cache_t* c, const char* path, int64_t offset)
{
    if (!c || !path) return -1;
    NativeFile* h = native_file_open(path, 1);
    if (!h) return -100;
    if (c->hfile) native_file_close(c->hfile);
    c->hfile = h;
    snprintf(c->filename, sizeof(c->filename), "%s", path);
    int64_t size = native_file_size(h);
    if (offset < 0) offset = 0;
    if (offset > size) offset = size;
    c->mediatype = 1;
    c->pmedia = nullptr;
    c->cdnread = nullptr;
    c->offset = offset;
    c->length = size - offset;
    return file_cache_packlist_prepare(c);
}

int file_cache_setcdn(file_cache_t* c, void* pmedia, int64_t offset, int64_t length,
                      FileCacheRead cdnread)
{
    if (!c || !cdnread) return -1;
    if (c->hfile) {
        native_file_close(c->hfile);
        c->hfile = nullptr;
    }
    c->filename[0] = 0;
    c->mediatype = 2;
    c->pmedia = pmedia;
    c->cdnread = cdnread;
    c->offset = offset > 0 ? offset : 0;
    c->length = length > 0 ? length : 0;
    return file_cache_packlist_prepare(c);
}

int file_cache_packlist_prepare(file_cache_t* c)
{
    if (!c) return -1;
    EnterCriticalSection(&c->cacheCS);
    c->packtotal = (c->length + c->packsize - 1) / c->packsize;
    int64_t rest = c->length % c->packsize;
    c->residual = c->length == 0 ? 0 : (rest ? (int)rest : c->packsize);
    c->bgn_pack = 0;
    c->bgn_pack_max = c->packtotal > c->packnum ? c->packtotal - c->packnum : 0;
    c->seek_pack = 0;
    c->seekpos = 0;
    prefix_update(c);
    bufpack_update(c);
    for (int i = 0; i < c->packnum; i++) {
        file_pack_t* p = (file_pack_t*)arr_value(c->pack_list, i);
        slot_assign(c, p, i < c->packtotal ? i : -1);
    }
    LeaveCriticalSection(&c->cacheCS);
    return 0;
}

/* ------------------------------------------------------- position and data */

int64_t file_cache_seek_to(file_cache_t* c, int64_t pos)
{
    if (!c || c->length <= 0 || c->packnum <= 0) return -1;
    if (pos < 0) pos = 0;
    if (pos > c->length - 1) pos = c->length - 1;
    EnterCriticalSection(&c->cacheCS);
    seek_locked(c, pos);
    LeaveCriticalSection(&c->cacheCS);
    return pos;
}

int64_t file_cache_seek(file_cache_t* c, int64_t pos)
{
    int64_t r = file_cache_seek_to(c, pos);
    if (r >= 0) file_cache_load_all(c);
    return r;
}

int file_cache_at(file_cache_t* c, int64_t pos)
{
    if (!c || pos < 0 || pos >= c->length) return -1;
    uint8_t b;
    long n = fetch_at(c, pos, &b, 1, kAtRule);
    if (n == 1) return b;
    return n == -201 ? -201 : -200;
}

namespace {
long read_common(file_cache_t* c, void* buf, long len, const WaitRule& rule)
{
    if (!c || !buf || len < 0) return -1;
    EnterCriticalSection(&c->cacheCS);
    if (c->seekpos >= c->length) {
        LeaveCriticalSection(&c->cacheCS);
        return -200;
    }
    long total = 0;
    while (total < len && c->seekpos < c->length && c->packnum > 0) {
        int64_t pos = c->seekpos;
        int64_t n = pos / c->packsize;
        window_cover(c, n);
        file_pack_t* p = ring_slot(c, n);
        LeaveCriticalSection(&c->cacheCS);
        long got = p ? pack_copy(c, p, n, (int)(pos % c->packsize), (uint8_t*)buf + total,
                                 len - total, rule)
                     : -201;
        EnterCriticalSection(&c->cacheCS);
        if (got <= 0) break;
        total += got;
        seek_locked(c, pos + got);
    }
    LeaveCriticalSection(&c->cacheCS);
    return total;
}
} // namespace

long file_cache_read(file_cache_t* c, void* buf, long len, int nowait)
{
    return read_common(c, buf, len,
                       nowait ? WaitRule{false, kReadReloadMs, 0} : WaitRule{true, kReadReloadMs, -1});
}

long file_cache_recv(file_cache_t* c, void* buf, long len, int waitms)
{
    return read_common(c, buf, len, WaitRule{true, kReadReloadMs, waitms > 0 ? waitms : 0});
}

int64_t file_cache_skip_over(file_cache_t* c, int64_t pos, int64_t limit, const char* set, int setlen)
{
    return scan_forward(c, pos, limit, set, setlen, bytescan::skip_over<FwdScan>);
}

int64_t file_cache_skip_to(file_cache_t* c, int64_t pos, int64_t limit, const char* set, int setlen)
{
    return scan_forward(c, pos, limit, set, setlen, bytescan::skip_to<FwdScan>);
}

int64_t file_cache_skip_esc_to(file_cache_t* c, int64_t pos, int64_t limit, const char* set, int setlen)
{
    return scan_forward(c, pos, limit, set, setlen, bytescan::skip_esc_to<FwdScan>);
}

int64_t file_cache_skip_quote_to(file_cache_t* c, int64_t pos, int64_t limit, const char* set, int setlen)
{
    return scan_forward(c, pos, limit, set, setlen, bytescan::skip_quote_to<FwdScan>);
}

int64_t file_cache_rskip_over(file_cache_t* c, int64_t pos, int64_t limit, const char* set, int setlen)
{
    return scan_backward(c, pos, limit, set, setlen, [](const ByteSet& bs, int ch) { return !bs.has(ch); });
}

int64_t file_cache_rskip_to(file_cache_t* c, int64_t pos, int64_t limit, const char* set, int setlen)
{
    return scan_backward(c, pos, limit, set, setlen, [](const ByteSet& bs, int ch) { return bs.has(ch); });
}

int file_cache_eof(file_cache_t* c)
{
    if (!c) return 1;
    EnterCriticalSection(&c->cacheCS);
    int r = c->seekpos >= c->length;
    LeaveCriticalSection(&c->cacheCS);
    return r;
}

int64_t file_cache_filesize(file_cache_t* c) { return c ? c->length : 0; }
int64_t file_cache_offset(file_cache_t* c) { return c ? c->offset : 0; }
int     file_cache_packsize(file_cache_t* c) { return c ? c->packsize : 0; }
int     file_cache_packnum(file_cache_t* c) { return c ? c->packnum : 0; }

int64_t file_cache_readpos(file_cache_t* c)
{
    if (!c) return 0;
    EnterCriticalSection(&c->cacheCS);
    int64_t r = c->seekpos;
    LeaveCriticalSection(&c->cacheCS);
    return r;
}

int file_cache_filled(file_cache_t* c)
{
    if (!c) return 0;
    EnterCriticalSection(&c->cacheCS);
    int full = 1;
    for (int64_t n = c->bgn_pack; n < window_end(c) && full; n++) {
        file_pack_t* p = ring_slot(c, n);
        EnterCriticalSection(&p->packCS);
        if (p->packind != n || p->state != 3) full = 0;
        LeaveCriticalSection(&p->packCS);
    }
    LeaveCriticalSection(&c->cacheCS);
    return full;
}

int64_t file_cache_len(file_cache_t* c, int* packs)
{
    if (packs) *packs = 0;
    if (!c) return 0;
    EnterCriticalSection(&c->cacheCS);
    int64_t bytes = 0;
    int cnt = 0;
    int64_t off = c->packsize > 0 ? c->seekpos % c->packsize : 0;
    for (int64_t n = c->seek_pack; n >= c->bgn_pack && n < window_end(c); n++) {
        file_pack_t* p = ring_slot(c, n);
        EnterCriticalSection(&p->packCS);
        bool ok = p->packind == n && p->state == 3 && p->rcvlen > off;
        bool whole = ok && p->rcvlen == p->length;
        if (ok) {
            bytes += p->rcvlen - off;
            cnt++;
        }
        LeaveCriticalSection(&p->packCS);
        off = 0;
        if (!whole) break;
    }
    LeaveCriticalSection(&c->cacheCS);
    if (packs) *packs = cnt;
    return bytes;
}

uint8_t* file_cache_ptr(file_cache_t* c)
{
    if (!c) return nullptr;
    EnterCriticalSection(&c->cacheCS);
    uint8_t* r = nullptr;
    if (c->seekpos < c->length) {
        file_pack_t* p = ring_slot(c, c->seek_pack);
        int64_t off = c->seekpos % c->packsize;
        if (p) {
            EnterCriticalSection(&p->packCS);
            if (p->packind == c->seek_pack && p->state == 3 && p->rcvlen > off) r = p->pbyte + off;
            LeaveCriticalSection(&p->packCS);
        }
    }
    LeaveCriticalSection(&c->cacheCS);
    return r;
}

int file_cache_buffering_ratio(file_cache_t* c, int* percent)
{
    int r = 100;
    if (c && c->bufsize > 0 && !file_cache_filled(c)) {
        int64_t have = file_cache_len(c, nullptr);
        int64_t left = c->length - file_cache_readpos(c);
        int64_t target = c->bufsize < left ? c->bufsize : left;
        r = target <= 0 || have >= target ? 100 : (int)(have * 100 / target);
    }
    if (percent) *percent = r;
    return r;
}

/* ----------------------------------------------------------------- loading */

namespace {
/* Empty packs from the read position to the window end, at most `max`. */
int collect_empty(file_cache_t* c, file_pack_t** packs, int64_t* inds, int max)
{
    int cnt = 0;
    EnterCriticalSection(&c->cacheCS);
    int64_t from = c->seek_pack > c->bgn_pack ? c->seek_pack : c->bgn_pack;
    for (int64_t n = from; n < window_end(c) && cnt < max; n++) {
        file_pack_t* p = ring_slot(c, n);
        EnterCriticalSection(&p->packCS);
        if (p->packind == n && p->state == 0) {
            packs[cnt] = p;
            inds[cnt++] = n;
        }
        LeaveCriticalSection(&p->packCS);
    }
    LeaveCriticalSection(&c->cacheCS);
    return cnt;
}
} // namespace

int file_cache_load_all(file_cache_t* c)
{
    if (!c) return 0;
    file_pack_t* packs[kLoadBatch];
    int64_t inds[kLoadBatch];
    int cnt = collect_empty(c, packs, inds, kLoadBatch);
    int loaded = 0;
    for (int i = 0; i < cnt; i++)
        if (load_pack(c, packs[i], inds[i], false) > 0) loaded++;
    return loaded;
}

int file_cache_load_one(file_cache_t* c)
{
    if (!c) return 0;
    file_pack_t* p;
    int64_t ind;
    if (collect_empty(c, &p, &ind, 1) == 0) return 0;
    load_pack(c, p, ind, false);
    return 1;
}

/* ------------------------------------------------------------------- packs */

int file_pack_init(file_pack_t* p, file_cache_t* c)
{
    if (!p) return -1;
    memset(p, 0, sizeof(*p));
    p->cache = c;
    p->packind = -1;
    InitializeCriticalSection(&p->packCS);
    return 0;
}

int file_pack_free(file_pack_t* p)
{
    if (!p) return -1;
    DeleteCriticalSection(&p->packCS);
    kfree(p);
    return 0;
}

file_pack_t* file_pack_fetch(file_cache_t* c)
{
    if (!c) return nullptr;
    file_pack_t* p = (file_pack_t*)(c->pack_pool ? bpool_fetch(c->pack_pool) : kzalloc(sizeof(file_pack_t)));
    if (p) file_pack_init(p, c);
    return p;
}

int file_pack_recycle(file_pack_t* p)
{
    if (!p) return -1;
    bpool_t* pool = p->cache ? p->cache->pack_pool : nullptr;
    if (!pool) return file_pack_free(p);
    DeleteCriticalSection(&p->packCS);
    if (bpool_recycle(pool, p) != 0) kfree(p);
    return 0;
}

uint8_t* file_pack_buf(file_pack_t* p) { return p ? p->pbyte : nullptr; }
int      file_pack_size(file_pack_t* p) { return p ? p->length : 0; }

int file_pack_len(file_pack_t* p)
{
    if (!p) return 0;
    EnterCriticalSection(&p->packCS);
    int r = p->rcvlen;
    LeaveCriticalSection(&p->packCS);
    return r;
}

int file_pack_exit_load(file_pack_t* p)
{
    return file_pack_state_to(p, 0);
}

int file_pack_state_to(file_pack_t* p, int state)
{
    if (!p) return -1;
    EnterCriticalSection(&p->packCS);
    p->state = (uint8_t)state;
    if (state == 0) p->rcvlen = 0;
    else if (state == 3) p->rcvlen = p->length; /* loaded means the whole pack is there */
    LeaveCriticalSection(&p->packCS);
    return 0;
}

int file_pack_ready_notify(file_pack_t* p)
{
    if (!p || !p->cache) return -1;
    event_set(p->cache->avail_event, 1);
    return 0;
}

int file_pack_bind_unit(file_pack_t* p, void* unit)
{
    if (!p || !unit) return -1;
    EnterCriticalSection(&p->packCS);
    int rc = 0;
    for (int i = 0; i < p->unitnum; i++)
        if (p->unitarr[i] == unit) rc = -100;
    if (rc == 0 && p->unitnum >= kMaxUnits) rc = -200;
    if (rc == 0) p->unitarr[p->unitnum++] = unit;
    LeaveCriticalSection(&p->packCS);
    return rc;
}

int file_pack_unbind_unit(file_pack_t* p, void* unit)
{
    if (!p || !unit) return -1;
    EnterCriticalSection(&p->packCS);
    int rc = -100;
    for (int i = 0; i < p->unitnum; i++) {
        if (p->unitarr[i] != unit) continue;
        memmove(&p->unitarr[i], &p->unitarr[i + 1], sizeof(void*) * (size_t)(p->unitnum - i - 1));
        p->unitarr[--p->unitnum] = nullptr;
        rc = 0;
        break;
    }
    LeaveCriticalSection(&p->packCS);
    return rc;
}

int file_pack_unbind_all(file_pack_t* p)
{
    if (!p) return -1;
    EnterCriticalSection(&p->packCS);
    p->unitnum = 0;
    memset(p->unitarr, 0, sizeof(p->unitarr));
    LeaveCriticalSection(&p->packCS);
    return 0;
}

int file_pack_reload(file_pack_t* p)
{
    if (!p || !p->cache) return -1;
    EnterCriticalSection(&p->packCS);
    int64_t ind = p->packind;
    LeaveCriticalSection(&p->packCS);
    return load_pack(p->cache, p, ind, true) > 0 ? 0 : -1;
}
