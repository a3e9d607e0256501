/* Byte sets, scan ranges and the forward scanners that the string routines,
 * the mapped file buffer and the file cache share. A scanner walks a stream
 * with peek() (the next byte, or -1 at the end), next(), pos and err. */
#ifndef KORVID_BYTESCAN_H
#define KORVID_BYTESCAN_H

#include <stdint.h>
#include <string.h>

namespace bytescan {

/* Membership table of a byte set; setlen < 0 means up to the NUL. */
struct ByteSet {
    bool in[256] = {};
    bool empty = true;
    ByteSet(const void* set, int setlen)
    {
        if (!set) return;
        const uint8_t* s = static_cast<const uint8_t*>(set);
        if (setlen < 0) setlen = (int)strlen(static_cast<const char*>(set));
        for (int i = 0; i < setlen; i++) in[s[i]] = true;
        empty = setlen <= 0;
    }
    bool has(int c) const { return in[(uint8_t)c]; }
};

/* The bytes a forward scan of at most `limit` bytes (negative: no limit) from
 * `pos` covers in `size` bytes: [pos, end), pos raised to 0. */
struct Range {
    int64_t pos, end;
};
inline Range forward_range(int64_t pos, int64_t limit, int64_t size)
{
    if (pos < 0) pos = 0;
    return {pos, limit >= 0 && pos + limit < size ? pos + limit : size};
}

/* The same backwards: from `start` (pos cut to the last byte) down to `low`;
 * a scan that meets nothing ends at low - 1. */
struct BackRange {
    int64_t start, low;
};
inline BackRange backward_range(int64_t pos, int64_t limit, int64_t size)
{
    int64_t start = pos < size ? pos : size - 1;
    int64_t low = limit < 0 ? 0 : start - limit + 1;
    return {start, low < 0 ? 0 : low};
}

/* Where a scan that met no stop ends: the stream's error, else its end. */
template <typename Stream> int64_t at_end(const Stream& s) { return s.err ? s.err : s.pos; }

/* The first byte in the set. */
template <typename Stream> int64_t skip_to(Stream& s, const ByteSet& bs)
{
    for (int c; (c = s.peek()) >= 0; s.next())
        if (bs.has(c)) return s.pos;
    return at_end(s);
}

/* The first byte not in the set. */
template <typename Stream> int64_t skip_over(Stream& s, const ByteSet& bs)
{
    for (int c; (c = s.peek()) >= 0; s.next())
        if (!bs.has(c)) return s.pos;
    return at_end(s);
}

/* The first byte in the set that no backslash escapes. */
template <typename Stream> int64_t skip_esc_to(Stream& s, const ByteSet& bs)
{
    for (int c; (c = s.peek()) >= 0;) {
        if (bs.has(c)) return s.pos;
        s.next();
        if (c == '\\' && s.peek() >= 0) s.next();
    }
    return at_end(s);
}

/* As skip_esc_to, also passing quoted runs up to their closing quote. */
template <typename Stream> int64_t skip_quote_to(Stream& s, const ByteSet& bs)
{
    for (int c; (c = s.peek()) >= 0;) {
        if (bs.has(c)) return s.pos;
        s.next();
        if (c == '\\') {
            if (s.peek() >= 0) s.next();
        } else if (c == '"' || c == '\'') {
            for (int q; (q = s.peek()) >= 0;) {
                s.next();
                if (q == '\\') {
                    if (s.peek() >= 0) s.next();
                } else if (q == c) {
                    break;
                }
            }
        }
    }
    return at_end(s);
}

} // namespace bytescan

#endif
