/* Growable byte frame with head and tail room; its transfers to and from
 * files and TCP sockets, and the text encodings that write into it. */
#include "frame.h"

#include "fileop.h"
#include "memory.h"
#include "patmat.h"
#include "strutil.h"
#include "trace.h"
#include "tsock.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kStep = 128;     /* blocks grow in steps of this many bytes */
constexpr int kFmtLocal = 4095; /* local buffer of the formatted prepend and insert */

inline int tail_room(const frame_t* f) { return f->size - f->start - f->len; }
inline uint8_t* content(const frame_t* f) { return f->data + f->start; }

inline void reset(frame_t* f)
{
    f->start = 0;
    f->len = 0;
    f->next = nullptr;
}

/* The next multiple of the step strictly above v. */
inline long step_above(long v) { return v - v % kStep + kStep; }

/* First block of a frame without data: zeroed, one spare byte. */
bool alloc_first(frame_t* f, long size, long start)
{
    if (size < 1 || size > INT_MAX - 1) return false;
    auto* p = static_cast<uint8_t*>(kzalloc(size_t(size) + 1));
    if (!p) return false;
    f->data = p;
    f->size = int(size);
    f->start = int(start);
    f->len = 0;
    return true;
}

/* Moves the content into a new block of newsize + 1 bytes, `shift` bytes further
 * up. The old block is released only once the new one exists, so a failed
 * growth leaves the frame exactly as it was. */
bool regrow(frame_t* f, long newsize, long shift)
{
    if (newsize > INT_MAX - 1 || long(f->start) + shift + f->len > newsize) return false;
    auto* p = static_cast<uint8_t*>(kalloc(size_t(newsize) + 1));
    if (!p) return false;
    if (f->len > 0) memcpy(p + f->start + shift, f->data + f->start, size_t(f->len));
    kfree(f->data);
    f->data = p;
    f->size = int(newsize);
    f->start += int(shift);
    return true;
}

/* Makes room for n more bytes after the content; false when it cannot. */
bool ensure_tail(frame_t* f, int n)
{
    int tail = tail_room(f);
    if (tail < n) frame_grow(f, n - tail);
    return tail_room(f) >= n;
}

/* Bytes handed in by the caller may lie inside the frame's own block, which a
 * growth releases: such bytes are copied aside first. */
class Source {
public:
    Source(const frame_t* f, const void* bytes, int n) : p_(static_cast<const uint8_t*>(bytes))
    {
        if (!f->data || !bytes || n < 1) return;
        auto b = reinterpret_cast<uintptr_t>(bytes);
        auto lo = reinterpret_cast<uintptr_t>(f->data);
        if (b < lo + uintptr_t(f->size) + 1 && b + uintptr_t(n) > lo) {
            own_ = static_cast<uint8_t*>(kalloc(size_t(n)));
            if (own_) memcpy(own_, bytes, size_t(n));
            p_ = own_;
        }
    }
    ~Source() { kfree(own_); }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    const uint8_t* get() const { return p_; }

private:
    const uint8_t* p_;
    uint8_t* own_ = nullptr;
};

inline bool is_white(uint8_t c) { return c == ' ' || (c >= 9 && c <= 13); }

/* Inserts n bytes at 0 < pos < len through the tail room. */
void insert_inside(frame_t* f, int pos, const uint8_t* bytes, int n)
{
    if (!ensure_tail(f, n)) return;
    uint8_t* at = content(f) + pos;
    memmove(at + n, at, size_t(f->len - pos));
    memcpy(at, bytes, size_t(n));
    f->len += n;
}

} // namespace

/* ================= life cycle and access ================= */

frame_p frame_new(int size)
{
    auto* f = static_cast<frame_t*>(kzalloc(sizeof(frame_t)));
    if (!f) return nullptr;
    if (size > 0 && !alloc_first(f, size, 0)) {
        kfree(f);
        return nullptr;
    }
    return f;
}

void frame_free(frame_p frame)
{
    while (frame) {
        frame_p next = frame->next;
        kfree(frame->data);
        kfree(frame);
        frame = next;
    }
}

void frame_delete(frame_p* pframe)
{
    if (!pframe) return;
    frame_free(*pframe);
    *pframe = nullptr;
}

int frame_size(frame_p frame) { return frame ? frame->size : 0; }

char* frame_string(frame_p frame)
{
    if (!frame || !frame->data || frame->start + frame->len > frame->size) return nullptr;
    frame->data[frame->start + frame->len] = 0;
    return reinterpret_cast<char*>(content(frame));
}

void frame_strip(frame_p frame)
{
    if (!frame || frame->len < 1) return;
    const uint8_t* p = content(frame);
    int b = 0, e = frame->len;
    while (b < e && is_white(p[b])) b++;
    while (e > b && is_white(p[e - 1])) e--;
    if (b == e) {
        reset(frame);
        return;
    }
    frame->start += b;
    frame->len = e - b;
}

void frame_empty(frame_p frame)
{
    if (frame) reset(frame);
}

frame_p frame_dup(frame_p frame)
{
    if (!frame) return nullptr;
    frame_p d = frame_new(frame->len);
    if (d && frame->len > 0) {
        memcpy(d->data, content(frame), size_t(frame->len));
        d->len = frame->len;
    }
    return d;
}

frame_p frame_realloc(frame_p frame, int size)
{
    if (!frame) return frame_new(size);
    if (size < 0 || size >= frame->size) return frame;
    auto* p = static_cast<uint8_t*>(kzalloc(size_t(size) + 1));
    if (!p) return frame;
    int keep = frame->len < size ? frame->len : size;
    if (keep > 0) memcpy(p, content(frame), size_t(keep));
    kfree(frame->data);
    frame->data = p;
    frame->size = size;
    frame->start = 0;
    frame->len = keep;
    if (keep == 0) reset(frame);
    return frame;
}

int frame_attach(frame_p frame, void* buf, int len)
{
    if (!frame || !buf || len < 1) return -1;
    if (frame->data != buf) kfree(frame->data);
    frame->data = static_cast<uint8_t*>(buf);
    frame->size = len;
    frame->start = 0;
    frame->len = len;
    return len;
}

void frame_print(frame_p frame, FILE* fp, int start, int count, int margin)
{
    if (!frame || !fp || frame->len < 1 || start >= frame->len) return;
    if (start < 0) start = 0;
    if (count < 0 || count > frame->len - start) count = frame->len - start;
    printOctet(fp, content(frame), start, count, margin);
}

/* ================= growing ================= */

void frame_grow(frame_p frame, int n)
{
    if (!frame || n <= 0) return;
    if (!frame->data) {
        alloc_first(frame, step_above(long(frame->size) + n), 0);
        return;
    }
    /* Reuse the head room when it is large and the content small enough to move cheaply. */
    if (frame->start > n && frame->start > kStep - 1 && long(frame->len) <= 4L * frame->start) {
        memmove(content(frame) - n, content(frame), size_t(frame->len));
        frame->start -= n;
        return;
    }
    regrow(frame, step_above(long(frame->size) + n), 0);
}

void frame_grow_to(frame_p frame, int total)
{
    if (!frame || total <= 0) return;
    if (!frame->data) {
        alloc_first(frame, step_above(total), 0);
        return;
    }
    /* The same as growing the tail by what is missing. */
    if (total > frame->size) frame_grow(frame, total - frame->size);
}

void frame_grow_head(frame_p frame, int n)
{
    if (!frame || n <= 0) return;
    if (!frame->data) {
        long inc = step_above(n);
        alloc_first(frame, inc, inc);
        return;
    }
    if (n < frame->start) return;
    int tail = tail_room(frame);
    /* Reuse the tail room when it is large and at least the content's size. */
    if (tail > kStep - 1 && tail > n && tail >= frame->len) {
        memmove(content(frame) + n, content(frame), size_t(frame->len));
        frame->start += n;
        return;
    }
    long inc = step_above(long(frame->size) + n) - frame->size;
    regrow(frame, frame->size + inc, inc);
}

/* ================= adding bytes ================= */

void frame_put_first(frame_p frame, uint8_t byte)
{
    if (!frame) return;
    if (!frame->data && !alloc_first(frame, kStep, kStep / 2)) return;
    if (frame->start == 0) frame_grow_head(frame, kStep);
    if (frame->start == 0) return;
    frame->data[--frame->start] = byte;
    frame->len++;
}

void frame_put_nfirst(frame_p frame, const void* bytes, int n)
{
    if (!frame || !bytes || n < 1) return;
    Source src(frame, bytes, n);
    if (!src.get()) return;
    if (!frame->data && !alloc_first(frame, step_above(n), n)) return;
    if (frame->start < n) frame_grow_head(frame, n);
    if (frame->start < n) return;
    frame->start -= n;
    memcpy(content(frame), src.get(), size_t(n));
    frame->len += n;
}

void frame_put_last(frame_p frame, uint8_t byte)
{
    if (!frame) return;
    if (!frame->data && !alloc_first(frame, kStep, kStep / 2)) return;
    if (!ensure_tail(frame, 1)) return;
    content(frame)[frame->len++] = byte;
}

void frame_put_nlast(frame_p frame, const void* bytes, int n)
{
    if (!frame || !bytes || n < 1) return;
    Source src(frame, bytes, n);
    if (!src.get()) return;
    if (!frame->data && !alloc_first(frame, step_above(n), 0)) return;
    if (!ensure_tail(frame, n)) return;
    memcpy(content(frame) + frame->len, src.get(), size_t(n));
    frame->len += n;
}

void frame_put(frame_p frame, int pos, uint8_t byte)
{
    if (!frame || pos < 0) return;
    if (pos == 0)
        frame_put_first(frame, byte);
    else if (pos >= frame->len)
        frame_put_last(frame, byte);
    else
        insert_inside(frame, pos, &byte, 1);
}

void frame_putn(frame_p frame, int pos, const void* bytes, int n)
{
    if (!frame || pos < 0 || !bytes || n < 1) return;
    if (pos == 0) {
        frame_put_nfirst(frame, bytes, n);
    } else if (pos >= frame->len) {
        frame_put_nlast(frame, bytes, n);
    } else {
        Source src(frame, bytes, n);
        if (src.get()) insert_inside(frame, pos, src.get(), n);
    }
}

void frame_append(frame_p frame, const char* text)
{
    if (text && *text) frame_put_nlast(frame, text, int(strlen(text)));
}

void frame_prepend(frame_p frame, const char* text)
{
    if (text && *text) frame_put_nfirst(frame, text, int(strlen(text)));
}

void frame_insert(frame_p frame, int pos, const char* text)
{
    if (text && *text) frame_putn(frame, pos, text, int(strlen(text)));
}

void frame_appendf(frame_p frame, const char* fmt, ...)
{
    if (!frame || !fmt) return;
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    int tail = frame->data ? tail_room(frame) : 0;
    /* Format straight into the tail; the spare byte takes the terminator. */
    int n = frame->data ? vsnprintf(reinterpret_cast<char*>(content(frame) + frame->len), size_t(tail) + 1, fmt, ap)
                        : vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n > 0 && n > tail) {
        if (!frame->data)
            alloc_first(frame, step_above(n), 0);
        else
            frame_grow(frame, n - tail + 1);
        if (frame->data && tail_room(frame) >= n)
            vsnprintf(reinterpret_cast<char*>(content(frame) + frame->len), size_t(tail_room(frame)) + 1, fmt, again);
        else
            n = 0; /* no room could be made: nothing is added */
    }
    va_end(again);
    if (n > 0) frame->len += n;
}

namespace {
/* Formats into a local buffer, or a heap block for long texts, and hands the text on. */
template <typename Put>
void format_and_put(const char* fmt, va_list ap, Put put)
{
    char local[kFmtLocal];
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(local, sizeof local, fmt, ap);
    if (n >= kFmtLocal) {
        auto* big = static_cast<char*>(kalloc(size_t(n) + 1));
        if (big) {
            vsnprintf(big, size_t(n) + 1, fmt, again);
            put(big, n);
            kfree(big);
        }
    } else if (n > 0) {
        put(local, n);
    }
    va_end(again);
}
} // namespace

void frame_prependf(frame_p frame, const char* fmt, ...)
{
    if (!frame || !fmt) return;
    va_list ap;
    va_start(ap, fmt);
    format_and_put(fmt, ap, [frame](const char* s, int n) { frame_put_nfirst(frame, s, n); });
    va_end(ap);
}

void frame_insertf(frame_p frame, int pos, const char* fmt, ...)
{
    if (!frame || !fmt || pos < 0) return;
    va_list ap;
    va_start(ap, fmt);
    format_and_put(fmt, ap, [frame, pos](const char* s, int n) { frame_putn(frame, pos, s, n); });
    va_end(ap);
}

void frame_append_nbytes(frame_p frame, uint8_t byte, int n)
{
    if (!frame || n < 1) return;
    if (!frame->data && !alloc_first(frame, step_above(n), 0)) return;
    if (!ensure_tail(frame, n)) return;
    memset(content(frame) + frame->len, byte, size_t(n));
    frame->len += n;
}

void frame_set(frame_p frame, int pos, uint8_t byte)
{
    if (frame && pos >= 0 && pos < frame->len) content(frame)[pos] = byte;
}

void frame_setn(frame_p frame, int pos, const void* bytes, int n)
{
    if (!frame || !bytes || n < 1 || pos < 0 || pos >= frame->len) return;
    int m = n < frame->len - pos ? n : frame->len - pos;
    memmove(content(frame) + pos, bytes, size_t(m));
}

/* ================= taking and reading ================= */

int frame_get_first(frame_p frame)
{
    if (!frame || frame->len < 1) return -1;
    int b = content(frame)[0];
    frame_del_first(frame, 1);
    return b;
}

int frame_get_last(frame_p frame)
{
    if (!frame || frame->len < 1) return -1;
    int b = content(frame)[frame->len - 1];
    frame_del_last(frame, 1);
    return b;
}

int frame_get(frame_p frame, int pos)
{
    if (!frame || pos < 0 || pos >= frame->len) return -1;
    int b = content(frame)[pos];
    frame_del(frame, pos, 1);
    return b;
}

int frame_get_nfirst(frame_p frame, void* buf, int n)
{
    if (!frame || frame->len < 1 || !buf || n < 1) return -1;
    int m = n < frame->len ? n : frame->len;
    memcpy(buf, content(frame), size_t(m));
    frame_del_first(frame, m);
    return m;
}

int frame_get_nlast(frame_p frame, void* buf, int n)
{
    if (!frame || frame->len < 1 || !buf || n < 1) return -1;
    int m = n < frame->len ? n : frame->len;
    memcpy(buf, content(frame) + frame->len - m, size_t(m));
    frame_del_last(frame, m);
    return m;
}

int frame_getn(frame_p frame, int pos, void* buf, int n)
{
    if (!frame || frame->len < 1 || !buf || n < 1 || pos < 0 || pos >= frame->len) return -1;
    int m = n < frame->len - pos ? n : frame->len - pos;
    memcpy(buf, content(frame) + pos, size_t(m));
    frame_del(frame, pos, m);
    return m;
}

int frame_read(frame_p frame, int pos)
{
    if (!frame || pos < 0 || pos >= frame->len) return -1;
    return content(frame)[pos];
}

int frame_readn(frame_p frame, int pos, void* buf, int n)
{
    if (!frame || frame->len < 1 || !buf || n < 1 || pos < 0 || pos >= frame->len) return -1;
    int m = n < frame->len - pos ? n : frame->len - pos;
    memcpy(buf, content(frame) + pos, size_t(m));
    return m;
}

/* ================= deleting ================= */

void frame_del_first(frame_p frame, int n)
{
    if (!frame || n < 1) return;
    if (n >= frame->len) {
        reset(frame);
        return;
    }
    frame->start += n;
    frame->len -= n;
}

void frame_del_last(frame_p frame, int n)
{
    if (!frame || n < 1) return;
    if (n >= frame->len) {
        reset(frame);
        return;
    }
    frame->len -= n;
}

void frame_del(frame_p frame, int pos, int n)
{
    if (!frame || pos < 0 || pos >= frame->len || n < 1) return;
    if (pos == 0) {
        frame_del_first(frame, n);
    } else if (long(pos) + n >= frame->len) {
        frame->len = pos;
    } else {
        uint8_t* at = content(frame) + pos;
        memmove(at, at + n, size_t(frame->len - pos - n));
        frame->len -= n;
    }
}

void frame_trunc(frame_p frame, int len)
{
    if (frame && len > 0 && len < frame->len) frame->len = len;
}

int frame_replace(frame_p frame, int pos, int len, const void* bytes, int bytelen)
{
    if (!frame || frame->len < 1) return -1;
    if (pos < 0) pos = 0;
    if (pos > frame->len) pos = frame->len;
    int rest = frame->len - pos;
    if (len < 0) len = 0;
    if (len > rest) len = rest;
    if (!bytes || bytelen < 0) bytelen = 0;
    if (len == 0 && bytelen == 0) return 0;
    if (len == 0) {
        int before = frame->len;
        frame_putn(frame, pos, bytes, bytelen);
        return frame->len == before + bytelen ? 0 : -1;
    }
    if (bytelen == 0) {
        frame_del(frame, pos, len);
        return 0;
    }
    if (bytelen <= len) {
        uint8_t* at = content(frame) + pos;
        memmove(at, bytes, size_t(bytelen));
        memmove(at + bytelen, at + len, size_t(rest - len));
        frame->len -= len - bytelen;
        return 0;
    }
    Source src(frame, bytes, bytelen);
    if (!src.get()) return -1;
    int more = bytelen - len;
    if (!ensure_tail(frame, more)) return -1;
    uint8_t* at = content(frame) + pos;
    memmove(at + bytelen, at + len, size_t(rest - len));
    memcpy(at, src.get(), size_t(bytelen));
    frame->len += more;
    return 0;
}

/* ================= search and bits ================= */

int frame_search(frame_p frame, int pos, int len, const void* pattern, int patlen, int backward)
{
    if (!frame || pos < 0 || pos >= frame->len) return -1;
    if (!pattern || patlen < 1) return -2;
    int rest = frame->len - pos;
    int range = (len < 0 || len > rest) ? rest : len;
    if (patlen > range) return -3;
    const uint8_t* base = content(frame) + pos;
    const uint8_t* hit = nullptr;
    if (patlen == 1) {
        uint8_t c = *static_cast<const uint8_t*>(pattern);
        if (!backward) {
            hit = static_cast<const uint8_t*>(memchr(base, c, size_t(range)));
        } else {
            for (int i = range - 1; i >= 0 && !hit; i--)
                if (base[i] == c) hit = base + i;
        }
    } else {
        hit = static_cast<const uint8_t*>(backward ? kmp_rfind_bytes(base, range, pattern, patlen, nullptr)
                                                   : kmp_find_bytes(base, range, pattern, patlen, nullptr));
    }
    return hit ? int(hit - content(frame)) : -100;
}

int frame_search_string(frame_p frame, int pos, int len, const char* pattern, int backward)
{
    return frame_search(frame, pos, len, pattern, pattern ? int(strlen(pattern)) : 0, backward);
}

int frame_search_replace(frame_p frame, int pos, int len, const void* pattern, int patlen, const void* bytes,
                         int bytelen, int backward)
{
    if (!frame || pos < 0 || pos >= frame->len) return -1;
    if (!pattern || patlen < 1 || bytelen < 0 || (bytelen > 0 && !bytes)) return -2;
    int rest = frame->len - pos;
    int range = (len < 0 || len > rest) ? rest : len;
    if (patlen > range) return -2;

    /* The pattern and the new bytes may point into the frame, which the replacements change. */
    Source pat(frame, pattern, patlen);
    Source rep(frame, bytes, bytelen);
    if (!pat.get() || (bytelen > 0 && !rep.get())) return -1;

    int count = 0;
    bool found = false;
    long lo = pos, end = long(pos) + range;
    while (end - lo >= patlen && lo < frame->len) {
        int at = frame_search(frame, int(lo), int(end - lo), pat.get(), patlen, backward);
        if (at < 0) break;
        found = true;
        if (frame_replace(frame, at, patlen, rep.get(), bytelen) != 0) break; /* memory exhausted */
        count++;
        if (backward) {
            end = at;
        } else {
            lo = long(at) + bytelen;
            end += bytelen - patlen;
        }
    }
    return count > 0 ? count : (found ? 0 : -100);
}

int frame_search_string_replace(frame_p frame, int pos, int len, const char* pattern, const void* bytes, int bytelen,
                                int backward)
{
    return frame_search_replace(frame, pos, len, pattern, pattern ? int(strlen(pattern)) : 0, bytes, bytelen,
                                backward);
}

int frame_bit_set(frame_p frame, int bitpos, int value)
{
    if (!frame || bitpos < 0 || bitpos / 8 >= frame->len) return -1;
    uint8_t mask = uint8_t(0x80 >> (bitpos % 8));
    uint8_t& b = content(frame)[bitpos / 8];
    b = value ? uint8_t(b | mask) : uint8_t(b & ~mask);
    return 0;
}

int frame_bit_get(frame_p frame, int bitpos)
{
    if (!frame || bitpos < 0 || bitpos / 8 >= frame->len) return -1;
    return (content(frame)[bitpos / 8] >> (7 - bitpos % 8)) & 1;
}

int frame_bit_shift_left(frame_p frame, int offset)
{
    if (!frame || frame->len < 1) return -1;
    if (offset < 0) return -2;
    int s = offset % 8;
    if (s == 0) return 0;
    uint8_t* p = content(frame);
    uint8_t carry = uint8_t(p[0] >> (8 - s));
    if (carry && frame->start == 0) {
        /* Make the head room first so a failed growth leaves the bits untouched. */
        frame_grow_head(frame, kStep);
        if (frame->start == 0) return -1;
        p = content(frame);
    }
    for (int i = 0; i < frame->len; i++)
        p[i] = uint8_t((p[i] << s) | (i + 1 < frame->len ? p[i + 1] >> (8 - s) : 0));
    if (carry) frame_put_first(frame, carry);
    if (content(frame)[frame->len - 1] == 0) frame_del_last(frame, 1);
    return 0;
}

int frame_bit_shift_right(frame_p frame, int offset)
{
    if (!frame || frame->len < 1) return -1;
    if (offset < 0) return -2;
    int s = offset % 8;
    if (s == 0) return 0;
    uint8_t* p = content(frame);
    uint8_t carry = uint8_t(p[frame->len - 1] << (8 - s));
    if (carry && tail_room(frame) == 0) {
        frame_grow(frame, 1);
        if (tail_room(frame) == 0) return -1;
        p = content(frame);
    }
    for (int i = frame->len - 1; i >= 0; i--)
        p[i] = uint8_t((p[i] >> s) | (i > 0 ? p[i - 1] << (8 - s) : 0));
    if (carry) frame_put_last(frame, carry);
    if (content(frame)[0] == 0) frame_del_first(frame, 1);
    return 0;
}


/* ================= files ================= */

namespace {

/* Room for n more bytes after the content of a frame that is to receive an
 * encoder's output: a frame without data first gets 128 bytes with the
 * content in the middle, as single-byte appends do. */
bool encoder_tail(frame_t* f, int n)
{
    if (!f->data && !alloc_first(f, kStep, kStep / 2)) return false;
    return ensure_tail(f, n);
}

inline uint8_t* tail(const frame_t* f) { return content(f) + f->len; }

} // namespace

int frame_file_load(frame_p frame, const char* path)
{
    if (!frame || !path) return -1;
    struct stat st;
    if (file_stat(path, &st) != 0) return -2;
    if (st.st_size > FRAME_FILE_MAX) return -100;
    /* Read-only: loading must not need write permission on the file. */
    FILE* fp = fopen(path, "rb");
    if (!fp) return 0;
    int want = int(st.st_size);
    int got = 0;
    if (want > 0 && ensure_tail(frame, want)) {
        long n = file_read(fp, tail(frame), want);
        if (n > 0) {
            frame->len += int(n);
            got = int(n);
        }
    }
    fclose(fp);
    return got;
}

int frame_file_dump(frame_p frame, const char* path)
{
    if (!frame || frame->len < 1 || !path) return -1;
    FILE* fp = fopen(path, "wb");
    if (!fp) return -1;
    long n = file_write(fp, content(frame), frame->len);
    /* A full disk shows only when the buffered bytes are flushed: the stream's
     * error flag and the close tell whether the bytes reached the file. */
    bool failed = ferror(fp) != 0;
    if (fclose(fp) != 0) failed = true;
    return failed ? -1 : int(n);
}

int frame_file_read(frame_p frame, FILE* fp, long fpos, long flen)
{
    if (!frame || !fp) return -1;
    if (flen > FRAME_FILE_MAX) return -100;
    if (fpos >= 0 && file_seek(fp, fpos, SEEK_SET) < 0) return -101;
    if (flen < 1) {
        uint8_t none;
        return int(file_read(fp, &none, flen));
    }
    if (!ensure_tail(frame, int(flen))) return -1;
    long n = file_read(fp, tail(frame), flen);
    if (n > 0) frame->len += int(n);
    return int(n);
}

int frame_file_write(frame_p frame, FILE* fp, long fpos)
{
    if (!frame || frame->len < 1 || !fp) return -1;
    if (fpos >= 0 && file_seek(fp, fpos, SEEK_SET) < 0) return -101;
    bool failed_before = ferror(fp) != 0;
    long n = file_write(fp, content(frame), frame->len);
    if (!failed_before && ferror(fp)) return -1;
    return int(n);
}

int frame_filefd_read(frame_p frame, int fd, long fpos, long flen)
{
    if (!frame || fd < 0) return -1;
    if (flen > FRAME_FILE_MAX) return -100;
    if (fpos >= 0 && lseek(fd, off_t(fpos), SEEK_SET) < 0) return -101;
    if (flen < 1) {
        uint8_t none;
        return int(filefd_read(fd, &none, flen));
    }
    if (!ensure_tail(frame, int(flen))) return -1;
    long n = filefd_read(fd, tail(frame), flen);
    if (n > 0) frame->len += int(n);
    return int(n);
}

int frame_filefd_write(frame_p frame, int fd, long fpos)
{
    if (!frame || frame->len < 1 || fd < 0) return -1;
    if (fpos >= 0 && lseek(fd, off_t(fpos), SEEK_SET) < 0) return -101;
    return int(filefd_write(fd, content(frame), frame->len));
}

/* ================= TCP transfers ================= */

namespace {

constexpr int kRecvChunk = 524288; /* one receive when the amount waiting is not known */

/* Results of one receive step besides a byte count, -20 and -30. */
constexpr int kInterrupted = 0;
constexpr int kWouldBlock = -1;

inline void set_count(int* p, int v)
{
    if (p) *p = v;
}

/* The calling thread's receive buffer. 512 KiB would overflow a worker
 * thread's stack, so each thread takes one heap block on first use and
 * releases it when it ends. NULL when memory runs out. */
uint8_t* recv_buffer()
{
    struct Holder {
        uint8_t* p = nullptr;
        ~Holder() { kfree(p); }
    };
    thread_local Holder h;
    if (!h.p) h.p = static_cast<uint8_t*>(kalloc(kRecvChunk));
    return h.p;
}

int64_t now_ms()
{
    /* Monotonic, so a step of the wall clock cannot stretch or cut a limit. */
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

/* The time left of a limit of waitms (<= 0: none). */
class TimeLimit {
public:
    explicit TimeLimit(int waitms) : waitms_(waitms), begin_(waitms > 0 ? now_ms() : 0) {}
    /* Milliseconds left: -1 without a limit, 0 once it has run out. */
    int left() const
    {
        if (waitms_ <= 0) return -1;
        int64_t rest = waitms_ - (now_ms() - begin_);
        return rest > 0 ? int(rest) : 0;
    }

private:
    int waitms_;
    int64_t begin_;
};

/* Receives the `want` bytes that wait straight into the frame's tail: 0 when
 * all arrived, kWouldBlock when the socket ran dry first, -20, -30 (also
 * when no room can be made). */
int recv_to_tail(frame_t* f, int fd, int want, int* got, int* perr)
{
    if (!ensure_tail(f, want)) {
        set_count(perr, ENOMEM);
        return SOCK_ERR_IO;
    }
    for (int done = 0; done < want;) {
        ssize_t n = recv(fd, tail(f), size_t(want - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            f->len += int(n);
            done += int(n);
            *got += int(n);
            continue;
        }
        if (n == 0) return SOCK_ERR_CLOSED;
        set_count(perr, errno);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
        return SOCK_ERR_IO;
    }
    return 0;
}

/* One receive of up to 512 KiB through the thread's buffer, appended to the
 * frame (dropped for a null frame): the bytes, kInterrupted, kWouldBlock,
 * -20, -30 (also when memory runs out). */
int recv_chunk(frame_t* f, int fd, int* got, int* perr)
{
    uint8_t* buf = recv_buffer();
    if (!buf) {
        set_count(perr, ENOMEM);
        return SOCK_ERR_IO;
    }
    ssize_t n = recv(fd, buf, kRecvChunk, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        if (f) {
            int before = f->len;
            frame_put_nlast(f, buf, int(n));
            if (f->len != before + int(n)) {
                set_count(perr, ENOMEM);
                return SOCK_ERR_IO;
            }
        }
        *got += int(n);
        return int(n);
    }
    if (n == 0) return SOCK_ERR_CLOSED;
    set_count(perr, errno);
    if (errno == EINTR) return kInterrupted;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    return SOCK_ERR_IO;
}

} // namespace

int frame_tcp_recv(frame_p frame, int fd, int waitms, int* actnum)
{
    set_count(actnum, 0);
    if (fd < 0) return SOCK_ERR_BADFD;
    if (!frame) return 0;
    TimeLimit limit(waitms);
    int got = 0;
    int result;
    for (;;) {
        int left = limit.left();
        if (left == 0) {
            result = 0;
            break;
        }
        /* Wait within the time left: retrying at once would spin on a
         * non-blocking socket, and a blocking receive would outlast the limit. */
        int ready = sock_read_ready(fd, left);
        if (ready == 0) continue;
        if (ready < 0) {
            result = SOCK_ERR_IO;
            break;
        }
        int waiting = sock_unread_data(fd);
        if (waiting > 0) {
            int rc = recv_to_tail(frame, fd, waiting, &got, nullptr);
            if (rc == kWouldBlock) continue;
            result = rc < 0 ? rc : got;
            break;
        }
        int rc = recv_chunk(frame, fd, &got, nullptr);
        if (rc >= 0 || rc == kWouldBlock) continue;
        result = rc;
        break;
    }
    set_count(actnum, got);
    return result;
}

int frame_tcp_send(frame_p frame, int fd, int waitms, int* actnum)
{
    set_count(actnum, 0);
    if (fd < 0) return SOCK_ERR_BADFD;
    if (!frame || frame->len < 1) return 0;
    TimeLimit limit(waitms);
    int sent = 0;
    int result;
    for (;;) {
        int left = limit.left();
        if (left == 0) {
            result = 0;
            break;
        }
        /* Wait for room within the time left rather than retrying at once. */
        int ready = sock_write_ready(fd, left);
        if (ready == 0) continue;
        if (ready < 0) {
            result = SOCK_ERR_IO;
            break;
        }
        ssize_t n = send(fd, content(frame) + sent, size_t(frame->len - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += int(n);
            if (sent >= frame->len) {
                result = sent;
                break;
            }
        } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            result = SOCK_ERR_IO;
            break;
        }
    }
    set_count(actnum, sent);
    return result;
}

int frame_tcp_nbzc_recv(frame_p frame, int fd, int* actnum, int* perr)
{
    set_count(actnum, 0);
    set_count(perr, 0);
    if (fd < 0) return -1;
    if (!frame) return -2;
    int got = 0;
    int result;
    for (;;) {
        int waiting = sock_unread_data(fd);
        if (waiting > 0) {
            int rc = recv_to_tail(frame, fd, waiting, &got, perr);
            result = (rc == 0 || rc == kWouldBlock) ? got : rc;
            break;
        }
        int rc = recv_chunk(frame, fd, &got, perr);
        if (rc >= 0) continue;
        result = rc == kWouldBlock ? got : rc;
        break;
    }
    set_count(actnum, got);
    return result;
}

int frame_tcp_nb_recv(frame_p frame, int fd, int* actnum, int* perr)
{
    set_count(actnum, 0);
    set_count(perr, 0);
    if (fd < 0) return -1;
    int got = 0;
    int rc;
    while ((rc = recv_chunk(frame, fd, &got, perr)) >= 0) {
    }
    set_count(actnum, got);
    return rc == kWouldBlock ? got : rc;
}

int frame_tcp_nb_send(frame_p frame, int fd, int* actnum)
{
    set_count(actnum, 0);
    if (fd < 0) return -1;
    if (!frame || frame->len < 1) return 0;
    int sent = 0;
    int result = 0;
    while (sent < frame->len) {
        ssize_t n = send(fd, content(frame) + sent, size_t(frame->len - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += int(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) result = SOCK_ERR_IO;
        break;
    }
    set_count(actnum, sent);
    return result < 0 ? result : sent;
}

/* ================= text encodings ================= */

namespace {

/* Staging of escaped output: units collect in a 4 KiB buffer that is
 * appended to the frame whenever it holds more than drain_above bytes, so
 * the frame grows in few steps. Without a frame the units are only counted. */
class FrameSink {
public:
    FrameSink(frame_t* f, int drain_above)
    {
        encsink_init(&s_, f ? buf_ : nullptr, sizeof buf_);
        if (!f) return;
        s_.ctx = f;
        s_.drain_above = drain_above;
        s_.drain = &FrameSink::drain;
    }
    FrameSink(const FrameSink&) = delete;
    FrameSink& operator=(const FrameSink&) = delete;
    encsink_t* get() { return &s_; }
    /* Bytes appended, or needed when counting. */
    int finish() { return s_.buf ? encsink_finish(&s_) : s_.total; }

private:
    static int drain(encsink_t* s)
    {
        auto* f = static_cast<frame_t*>(s->ctx);
        if (!encoder_tail(f, s->used)) return -1;
        memcpy(tail(f), s->buf, size_t(s->used));
        f->len += s->used;
        return 0;
    }

    uint8_t buf_[4096];
    encsink_t s_;
};

/* Drain points: leave room in the 4 KiB buffer for the longest unit. */
constexpr int kDrainSix = 4087; /* units up to 6 bytes ("\u00XX", "&quot;") */
constexpr int kDrainTwo = 4091; /* units of 1 or 2 bytes */
constexpr int kDrainThree = 4093; /* units up to 3 bytes ("%XX") */
constexpr int kDrainOne = 4095;

/* Source bytes that lie in the destination frame's block would be released
 * by its growth while the encoder still reads them: they are copied aside. */
class EncSource {
public:
    EncSource(const frame_t* dst, const void* src, int len) : p_(static_cast<const uint8_t*>(src))
    {
        if (!dst || !dst->data || !src || len < 1) return;
        auto b = reinterpret_cast<uintptr_t>(src);
        auto lo = reinterpret_cast<uintptr_t>(dst->data);
        if (b < lo + uintptr_t(dst->size) + 1 && b + uintptr_t(len) > lo) {
            own_ = static_cast<uint8_t*>(kalloc(size_t(len)));
            if (own_) memcpy(own_, src, size_t(len));
            p_ = own_;
        }
    }
    ~EncSource() { kfree(own_); }
    EncSource(const EncSource&) = delete;
    EncSource& operator=(const EncSource&) = delete;
    const uint8_t* get() const { return p_; }

private:
    const uint8_t* p_;
    uint8_t* own_ = nullptr;
};

/* Runs an escaping rule over src into dst (null: count only). */
template <typename Rule>
int escape_into(frame_t* dst, const void* src, int len, int drain_above, Rule rule)
{
    EncSource in(dst, src, len);
    if (!in.get()) return 0;
    FrameSink sink(dst, drain_above);
    rule(in.get(), len, sink.get());
    return sink.finish();
}

inline int text_len(const void* p, int len) { return len < 0 ? str_len(p) : len; }

} // namespace

int frame_bin_to_base64(frame_p src, frame_p dst)
{
    if (!src) return -1;
    if (src->len < 1) return 0;
    if (!dst) dst = src;
    long out = 4L * ((long(src->len) + 2) / 3);
    if (out > INT_MAX - 1) return -1;
    if (dst == src) {
        /* Groups are converted last to first, so the text can overlay the bytes. */
        if (!ensure_tail(src, int(out - src->len))) return -1;
        enc_base64(content(src), src->len, content(src));
    } else {
        /* dst's old content is replaced: only the room from its start counts. */
        int keep = dst->len;
        dst->len = 0;
        if (!ensure_tail(dst, int(out))) {
            dst->len = keep;
            return -1;
        }
        enc_base64(content(src), src->len, content(dst));
    }
    dst->len = int(out);
    content(dst)[out] = 0;
    return 0;
}

int frame_base64_to_bin(frame_p src, frame_p dst)
{
    if (!src) return -1;
    if (!dst) dst = src;
    int n;
    if (dst == src) {
        /* Decoding runs forwards and never writes ahead of what it reads. */
        n = src->len > 0 ? enc_base64_decode(content(src), src->len, content(src), nullptr) : 0;
    } else {
        long cap = 3L * ((long(src->len) + 3) / 4);
        int keep = dst->len;
        dst->len = 0;
        if (cap > 0 && !ensure_tail(dst, int(cap))) {
            dst->len = keep;
            return -1;
        }
        n = src->len > 0 ? enc_base64_decode(content(src), src->len, content(dst), nullptr) : 0;
    }
    dst->len = n;
    if (n == 0) reset(dst);
    if (dst->data) content(dst)[n] = 0;
    return 0;
}

int frame_bin_to_ascii(frame_p bytes, frame_p text)
{
    if (!bytes || bytes->len < 1) return -1;
    if (!text) return -2;
    long out = 2L * bytes->len;
    if (out > INT_MAX - 1 || !encoder_tail(text, int(out))) return -1;
    /* Appending a frame's hex to itself is safe: each pair lands past every
     * byte still to be read. */
    enc_hex(content(bytes), bytes->len, tail(text), 1);
    text->len += int(out);
    return 0;
}

int frame_ascii_to_bin(frame_p text, frame_p bytes)
{
    if (!text || text->len < 1) return -1;
    if (!bytes) return -2;
    if (!encoder_tail(bytes, text->len / 2)) return -1;
    int n = 0;
    int r = enc_hex_decode(content(text), text->len, tail(bytes), &n);
    bytes->len += n;
    return r < 0 ? r : 0;
}

int frame_slash_add(const void* src, int len, const void* esc, int chlen, frame_p dst)
{
    if (!src || !dst) return 0;
    len = text_len(src, len);
    if (len < 1) return 0;
    int setlen = esc ? text_len(esc, chlen) : 0;
    return escape_into(dst, src, len, kDrainSix, [&](const uint8_t* p, int n, encsink_t* s) {
        enc_slash_add(p, n, static_cast<const uint8_t*>(esc), setlen, s);
    });
}

int frame_slash_strip(const void* src, int len, const void* esc, int chlen, frame_p dst)
{
    if (!src || !dst) return 0;
    len = text_len(src, len);
    if (len < 1) return 0;
    int setlen = esc ? text_len(esc, chlen) : 0;
    return escape_into(dst, src, len, kDrainTwo, [&](const uint8_t* p, int n, encsink_t* s) {
        enc_slash_strip(p, n, static_cast<const uint8_t*>(esc), setlen, s);
    });
}

int frame_json_escape(const void* src, int len, frame_p dst)
{
    if (!src || len < 1) return 0;
    return escape_into(dst, src, len, kDrainSix, enc_json_escape);
}

int frame_json_unescape(const void* src, int size, frame_p dst)
{
    if (!src || size < 1) return 0;
    return escape_into(dst, src, size, kDrainTwo, enc_json_unescape);
}

int frame_uri_encode(frame_p frame, const void* src, int size, const uint32_t* escvec)
{
    if (!src || size < 1) return 0;
    const uint32_t* vec = escvec ? escvec : uri_escape_vector(0);
    return escape_into(frame, src, size, kDrainThree,
                       [vec](const uint8_t* p, int n, encsink_t* s) { enc_uri_encode(p, n, vec, s); });
}

int frame_uri_decode(frame_p frame, const void* src, int size)
{
    if (!frame) return -1;
    if (!src) return -2;
    size = text_len(src, size);
    if (size < 1) return 0;
    return escape_into(frame, src, size, kDrainOne, enc_uri_decode);
}

int frame_html_escape(const void* src, int len, frame_p dst)
{
    if (!src) return 0;
    len = text_len(src, len);
    if (len < 1) return 0;
    return escape_into(dst, src, len, kDrainSix, enc_html_escape);
}

int frame_add_time(frame_p frame, const time_t* curtm)
{
    if (!frame) return -1;
    char text[32] = "0000-00-00 00:00:00";
    time_t t = curtm ? *curtm : time(nullptr);
    if (t != 0 && str_datetime(&t, text, int(sizeof text), 0) != 0) return -1;
    constexpr int kLen = 19;
    if (!encoder_tail(frame, kLen)) return -1;
    memcpy(tail(frame), text, kLen);
    frame->len += kLen;
    return 0;
}
