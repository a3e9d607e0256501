/* Byte-string routines of the base library and the encoding core that the
 * buffer encoders here and the frame encoders share. */
#include "strutil.h"

#include "bytescan.h"
#include "memory.h"
#include "patmat.h"

#include <errno.h>
#include <initializer_list>
#include <iconv.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

namespace {

inline const uint8_t* U(const void* p) { return static_cast<const uint8_t*>(p); }
inline char* C(const void* p) { return const_cast<char*>(static_cast<const char*>(p)); }

/* A length below 0 means "up to the NUL". */
inline int text_len(const void* p, int len) { return len < 0 ? str_len(p) : len; }

inline bool is_white(uint8_t c) { return c == ' ' || (c >= 9 && c <= 13); }
inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
inline uint8_t lower(uint8_t c) { return (c >= 'A' && c <= 'Z') ? uint8_t(c | 0x20) : c; }

constexpr int8_t hex_value_of(uint8_t c)
{
    return (c >= '0' && c <= '9') ? int8_t(c - '0')
         : (c >= 'a' && c <= 'f') ? int8_t(c - 'a' + 10)
         : (c >= 'A' && c <= 'F') ? int8_t(c - 'A' + 10)
         : int8_t(-1);
}

struct HexTable {
    int8_t v[256];
    constexpr HexTable() : v()
    {
        for (int i = 0; i < 256; i++) v[i] = hex_value_of(uint8_t(i));
    }
};
constexpr HexTable kHex;
inline int hexval(uint8_t c) { return kHex.v[c]; }

constexpr char kUpperHex[] = "0123456789ABCDEF";
constexpr char kLowerHex[] = "0123456789abcdef";

using bytescan::ByteSet;

/* Bytes in memory as a stream for the shared scanners. */
struct MemScan {
    const uint8_t* p;
    int64_t pos, end;
    int err = 0;
    int peek() const { return pos < end ? p[pos] : -1; }
    void next() { pos++; }
};

/* Escape vectors of the URI encoding types. */
struct UriVectors {
    uint32_t v[7][8];
    static constexpr void set(uint32_t* w, int c) { w[c / 32] |= 1u << (c % 32); }
    constexpr UriVectors() : v()
    {
        for (int t = 0; t < 7; t++) {
            uint32_t* w = v[t];
            for (int c = 0; c < 32; c++) set(w, c);
            switch (t) {
            case 0:
            case 1:
                for (int c : {' ', '#', '%', '?', '\x7f'}) set(w, c);
                for (int c = 128; c < 256; c++) set(w, c);
                if (t == 1)
                    for (int c : {'&', '+', ';'}) set(w, c);
                break;
            case 2:
                for (int c = 32; c < 256; c++) {
                    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
                    if (!keep) set(w, c);
                }
                break;
            case 3:
            case 4:
                for (int c : {' ', '"', '\'', '\x7f'}) set(w, c);
                for (int c = 128; c < 256; c++) set(w, c);
                if (t == 3)
                    for (int c : {'#', '%'}) set(w, c);
                break;
            default: /* 5 and 6 */
                set(w, ' ');
                set(w, '%');
                break;
            }
        }
    }
};
constexpr UriVectors kUri;

} // namespace

/* ================= encoding core ================= */

void encsink_init(encsink_t* s, void* buf, int room)
{
    memset(s, 0, sizeof(*s));
    s->buf = static_cast<uint8_t*>(buf);
    s->room = (buf && room > 0) ? room : 0;
}

int encsink_put(encsink_t* s, const void* unit, int n)
{
    s->total += n;
    if (s->stopped) return -1;
    if (!s->buf) return 0;
    if (n > s->room - s->used) {
        s->stopped = 1;
        return -1;
    }
    memcpy(s->buf + s->used, unit, size_t(n));
    s->used += n;
    if (s->drain && s->used > s->drain_above) {
        if (s->drain(s) != 0) {
            s->stopped = 1;
            return -1;
        }
        s->moved += s->used;
        s->used = 0;
    }
    return 0;
}

int encsink_finish(encsink_t* s)
{
    if (!s->drain) return s->used;
    if (!s->stopped && s->used > 0) {
        if (s->drain(s) != 0) {
            s->stopped = 1;
        } else {
            s->moved += s->used;
            s->used = 0;
        }
    }
    return s->moved;
}

static inline void put1(encsink_t* s, uint8_t c) { encsink_put(s, &c, 1); }

static inline void put_u00(encsink_t* s, uint8_t c)
{
    const uint8_t u[6] = {'\\', 'u', '0', '0', uint8_t(kUpperHex[c >> 4]), uint8_t(kUpperHex[c & 15])};
    encsink_put(s, u, 6);
}

/* The control bytes with a one-letter backslash escape, both ways; 0 for
 * any other byte or letter. */
constexpr uint8_t kCtrl[] = {8, 9, 10, 12, 13};
constexpr char kCtrlLetter[] = "btnfr";

static inline uint8_t letter_of_ctrl(uint8_t c)
{
    for (int i = 0; i < 5; i++)
        if (kCtrl[i] == c) return uint8_t(kCtrlLetter[i]);
    return 0;
}

static inline uint8_t ctrl_of_letter(uint8_t e)
{
    for (int i = 0; i < 5; i++)
        if (uint8_t(kCtrlLetter[i]) == e) return kCtrl[i];
    return 0;
}

/* A decoded number: one byte below 256, two bytes low first below 65536, else nothing. */
static inline void put_number(encsink_t* s, uint32_t v)
{
    if (v < 256) {
        put1(s, uint8_t(v));
    } else if (v < 65536) {
        const uint8_t two[2] = {uint8_t(v & 0xFF), uint8_t(v >> 8)};
        encsink_put(s, two, 2);
    }
}

const uint32_t* uri_escape_vector(int type)
{
    if (type < 0 || type > 6) type = 0;
    return kUri.v[type];
}

/* Every byte as it is (an escape rule with an empty set). */
static void put_all(encsink_t* s, const uint8_t* src, int len)
{
    for (int i = 0; i < len; i++) put1(s, src[i]);
}

/* Copies bytes from src[i] on up to the next backslash that has a byte after
 * it; returns that backslash's index (len when there is none, or when the sink
 * stopped). */
static int copy_to_escape(const uint8_t* src, int len, int i, encsink_t* s)
{
    while (i < len && !s->stopped && (src[i] != '\\' || i == len - 1)) put1(s, src[i++]);
    return s->stopped ? len : i;
}

void enc_slash_add(const uint8_t* src, int len, const uint8_t* set, int setlen, encsink_t* s)
{
    if (!set || setlen < 1) return put_all(s, src, len);
    const ByteSet in(set, setlen);
    for (int i = 0; i < len && !s->stopped; i++) {
        uint8_t c = src[i];
        if (in.has(c)) {
            uint8_t e = letter_of_ctrl(c);
            const uint8_t u[2] = {'\\', e ? e : c};
            encsink_put(s, u, 2);
        } else if (c < 32) {
            put_u00(s, c);
        } else {
            put1(s, c);
        }
    }
}

void enc_slash_strip(const uint8_t* src, int len, const uint8_t* set, int setlen, encsink_t* s)
{
    if (!set || setlen < 1) return put_all(s, src, len);
    const ByteSet in(set, setlen);
    for (int i = 0; (i = copy_to_escape(src, len, i, s)) < len;) {
        uint8_t e = src[i + 1];
        if ((e == 'u' || e == 'x') && len - i >= 3 && hexval(src[i + 2]) >= 0) {
            uint32_t v = 0;
            int j = i + 2;
            for (int k = 0; k < 4 && j < len && hexval(src[j]) >= 0; k++, j++)
                v = v * 16 + uint32_t(hexval(src[j]));
            put_number(s, v);
            i = j;
            continue;
        }
        /* Quotes, slash, backslash and other letters stand for themselves. */
        uint8_t d = ctrl_of_letter(e);
        if (!d) d = e;
        if (in.has(d)) {
            put1(s, d);
        } else {
            const uint8_t u[2] = {'\\', e};
            encsink_put(s, u, 2);
        }
        i += 2;
    }
}

void enc_json_escape(const uint8_t* src, int len, encsink_t* s)
{
    for (int i = 0; i < len && !s->stopped; i++) {
        uint8_t c = src[i];
        uint8_t e = (c == '"' || c == '\\') ? c : letter_of_ctrl(c);
        if (e) {
            const uint8_t u[2] = {'\\', e};
            encsink_put(s, u, 2);
        } else if (c < 32) {
            put_u00(s, c);
        } else {
            put1(s, c);
        }
    }
}

void enc_json_unescape(const uint8_t* src, int len, encsink_t* s)
{
    for (int i = 0; (i = copy_to_escape(src, len, i, s)) < len;) {
        uint8_t e = src[i + 1];
        i += 2;
        if (uint8_t d = ctrl_of_letter(e)) {
            put1(s, d);
            continue;
        }
        switch (e) {
        case '"':
        case '\'':
        case '\\':
        case '/': /* a valid JSON escape; dropping it would lose the slash */
            put1(s, e);
            break;
        case 'u':
        case 'x': {
            if (e == 'u' && i >= len) return; /* "\u" at the very end ends the conversion */
            uint32_t v = 0;
            int k = 0;
            while (i < len && hexval(src[i]) >= 0 && (e == 'x' || k < 4)) {
                if (v < 0x10000) v = v * 16 + uint32_t(hexval(src[i]));
                i++;
                k++;
            }
            if (k > 0) put_number(s, v);
            break;
        }
        default:
            if (is_digit(e)) {
                uint32_t v = uint32_t(e - '0');
                while (i < len && is_digit(src[i])) {
                    if (v < 0x10000) v = v * 10 + uint32_t(src[i] - '0');
                    i++;
                }
                put_number(s, v);
            }
            /* any other escape drops both characters */
            break;
        }
    }
}

void enc_uri_encode(const uint8_t* src, int len, const uint32_t* escvec, encsink_t* s)
{
    if (!escvec) escvec = kUri.v[0];
    for (int i = 0; i < len; i++) {
        uint8_t c = src[i];
        if (escvec[c / 32] & (1u << (c % 32))) {
            const uint8_t u[3] = {'%', uint8_t(kUpperHex[c >> 4]), uint8_t(kUpperHex[c & 15])};
            encsink_put(s, u, 3);
        } else {
            put1(s, c);
        }
    }
}

void enc_uri_decode(const uint8_t* src, int len, encsink_t* s)
{
    int i = 0;
    while (i < len) {
        uint8_t c = src[i];
        if (c == '+') {
            put1(s, ' ');
            i++;
        } else if (c != '%') {
            put1(s, c);
            i++;
        } else if (i + 1 >= len) {
            break; /* incomplete escape at the end */
        } else if (hexval(src[i + 1]) < 0) {
            put1(s, src[i + 1]); /* the '%' is dropped, the character kept */
            i += 2;
        } else if (i + 2 >= len) {
            break;
        } else if (hexval(src[i + 2]) < 0) {
            i += 3; /* '%', one digit and a non-digit are all dropped */
        } else {
            put1(s, uint8_t(hexval(src[i + 1]) * 16 + hexval(src[i + 2])));
            i += 3;
        }
    }
}

void enc_html_escape(const uint8_t* src, int len, encsink_t* s)
{
    for (int i = 0; i < len; i++) {
        switch (src[i]) {
        case '<': encsink_put(s, "&lt;", 4); break;
        case '>': encsink_put(s, "&gt;", 4); break;
        case '&': encsink_put(s, "&amp;", 5); break;
        case '"': encsink_put(s, "&quot;", 6); break;
        default: put1(s, src[i]); break;
        }
    }
}

static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int enc_base64(const uint8_t* src, int len, uint8_t* dst)
{
    if (len < 1) return 0;
    int groups = (len + 2) / 3;
    for (int g = groups - 1; g >= 0; g--) {
        int n = len - 3 * g;
        if (n > 3) n = 3;
        /* Read the group before writing: the output may overlay the input. */
        uint32_t b0 = src[3 * g];
        uint32_t b1 = n > 1 ? src[3 * g + 1] : 0;
        uint32_t b2 = n > 2 ? src[3 * g + 2] : 0;
        uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        uint8_t* o = dst + 4 * g;
        o[0] = uint8_t(kB64[(v >> 18) & 63]);
        o[1] = uint8_t(kB64[(v >> 12) & 63]);
        o[2] = n > 1 ? uint8_t(kB64[(v >> 6) & 63]) : uint8_t('=');
        o[3] = n > 2 ? uint8_t(kB64[v & 63]) : uint8_t('=');
    }
    return 4 * groups;
}

static inline int b64val(uint8_t c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int enc_base64_decode(const uint8_t* src, int len, uint8_t* dst, int* skipped)
{
    int out = 0, nv = 0, odd = 0;
    uint32_t acc = 0;
    for (int i = 0; i < len; i++) {
        uint8_t c = src[i];
        if (c == '=') break;
        int v = b64val(c);
        if (v < 0) {
            if (!is_white(c)) odd = 1;
            continue;
        }
        acc = (acc << 6) | uint32_t(v);
        if (++nv == 4) {
            dst[out++] = uint8_t(acc >> 16);
            dst[out++] = uint8_t(acc >> 8);
            dst[out++] = uint8_t(acc);
            nv = 0;
            acc = 0;
        }
    }
    if (nv == 2) {
        dst[out++] = uint8_t(acc >> 4);
    } else if (nv == 3) {
        dst[out++] = uint8_t(acc >> 10);
        dst[out++] = uint8_t(acc >> 2);
    } else if (nv == 1) {
        odd = 1;
    }
    if (skipped) *skipped = odd;
    return out;
}

void enc_hex(const uint8_t* src, int len, uint8_t* dst, int upper)
{
    const char* digits = upper ? kUpperHex : kLowerHex;
    for (int i = 0; i < len; i++) {
        dst[2 * i] = uint8_t(digits[src[i] >> 4]);
        dst[2 * i + 1] = uint8_t(digits[src[i] & 15]);
    }
}

int enc_hex_decode(const uint8_t* src, int len, uint8_t* dst, int* nbytes)
{
    int out = 0;
    int result = 0;
    for (int i = 0; i < len; i += 2) {
        int hi = hexval(src[i]);
        if (hi < 0) {
            result = -100;
            break;
        }
        if (i + 1 >= len) break; /* odd last digit */
        int lo = hexval(src[i + 1]);
        if (lo < 0) {
            result = -100;
            break;
        }
        dst[out++] = uint8_t(hi * 16 + lo);
    }
    if (nbytes) *nbytes = out;
    return result < 0 ? result : out;
}

/* ================= copy, length and duplicates ================= */

int str_len(const void* text) { return text ? int(strlen(static_cast<const char*>(text))) : 0; }

char* str_cpy(char* dst, const char* src)
{
    if (!dst) return nullptr;
    char* d = dst;
    if (src)
        while ((*d = *src++) != 0) d++;
    else
        *d = 0;
    return d;
}

char* str_ncpy(char* dst, const char* src, int n)
{
    if (!dst) return nullptr;
    char* d = dst;
    for (int i = 0; src && i < n; i++) {
        if ((*d = src[i]) == 0) return d;
        d++;
    }
    *d = 0;
    return d;
}

int str_secpy(void* dst, int dstlen, const void* src, int srclen)
{
    if (!dst || dstlen < 0) return 0;
    char* d = static_cast<char*>(dst);
    const char* s = static_cast<const char*>(src);
    int n = 0;
    if (s) {
        srclen = text_len(s, srclen);
        int lim = dstlen < srclen ? dstlen : srclen;
        while (n < lim && s[n]) {
            d[n] = s[n];
            n++;
        }
    }
    d[n] = 0;
    return n;
}

char* str_cat(char* dst, const char* src)
{
    if (!dst) return nullptr;
    str_cpy(dst + strlen(dst), src);
    return dst;
}

char* str_ncat(char* dst, const char* src, int n)
{
    if (!dst) return nullptr;
    str_ncpy(dst + strlen(dst), src, n);
    return dst;
}

char* str_secat(char* dst, int dstlen, const void* src, int srclen)
{
    if (!dst) return nullptr;
    str_secpy(dst + strlen(dst), dstlen, src, srclen);
    return dst;
}

char* str_dup(const void* text, int len)
{
    if (!text) return nullptr;
    len = text_len(text, len);
    if (len < 1) return nullptr;
    char* p = static_cast<char*>(kalloc(size_t(len) + 1));
    if (!p) return nullptr;
    memcpy(p, text, size_t(len));
    p[len] = 0;
    return p;
}

int secure_memcpy(void* dst, int dstlen, const void* src, int srclen)
{
    if (!dst || dstlen < 1) return -1;
    if (!src) return -2;
    srclen = text_len(src, srclen);
    int n = dstlen < srclen ? dstlen : srclen;
    if (n > 0) memcpy(dst, src, size_t(n));
    return n;
}

long sec_memcpy(void* dst, const void* src, long len)
{
    if (len < 1 || dst == src || !dst || !src) return 0;
    memmove(dst, src, size_t(len));
    return len;
}

/* ================= comparisons ================= */

/* At most n bytes, stopping after a NUL; a null text compares as "". */
static int compare(const char* s1, const char* s2, int n, bool fold)
{
    const uint8_t* a = U(s1 ? s1 : "");
    const uint8_t* b = U(s2 ? s2 : "");
    for (int i = 0; i < n; i++) {
        uint8_t x = fold ? lower(a[i]) : a[i];
        uint8_t y = fold ? lower(b[i]) : b[i];
        if (x != y) return int(x) - int(y);
        if (!x) return 0; /* both end here */
    }
    return 0;
}

int str_cmp(const char* s1, const char* s2) { return compare(s1, s2, INT_MAX, false); }
int str_ncmp(const char* s1, const char* s2, int n) { return compare(s1, s2, n, false); }
int str_casecmp(const char* s1, const char* s2) { return compare(s1, s2, INT_MAX, true); }
int str_ncasecmp(const char* s1, const char* s2, int n) { return compare(s1, s2, n, true); }

ckstr_t* ckstr_new(const char* p, int len)
{
    ckstr_t* ck = static_cast<ckstr_t*>(kzalloc(sizeof(ckstr_t)));
    if (!ck) return nullptr;
    ck->p = const_cast<char*>(p);
    ck->len = len;
    return ck;
}

void ckstr_free(ckstr_t* ck) { kfree(ck); }

static int ckstr_compare(const ckstr_t* a, const ckstr_t* b, bool fold)
{
    int la = (a && a->p) ? text_len(a->p, a->len) : 0;
    int lb = (b && b->p) ? text_len(b->p, b->len) : 0;
    if (la == 0 || lb == 0) return la == lb ? 0 : (la == 0 ? -1 : 1);
    int n = la < lb ? la : lb;
    int r = compare(a->p, b->p, n, fold);
    if (r != 0) return r;
    /* Equal over n bytes: both texts end inside the counted range, or the
     * shorter one is a prefix of the longer. */
    return memchr(a->p, 0, size_t(n)) ? 0 : la - lb;
}

int ckstr_cmp(const ckstr_t* a, const ckstr_t* b) { return ckstr_compare(a, b, false); }
int ckstr_casecmp(const ckstr_t* a, const ckstr_t* b) { return ckstr_compare(a, b, true); }

/* ================= trimming and case ================= */

char* str_trim_head(char* text)
{
    if (!text) return nullptr;
    char* p = text;
    while (is_white(uint8_t(*p))) p++;
    if (!*p) {
        text[0] = 0;
        return text;
    }
    return p;
}

char* str_trim_tail(char* text)
{
    if (!text) return nullptr;
    size_t n = strlen(text);
    while (n > 0 && is_white(uint8_t(text[n - 1]))) text[--n] = 0;
    return text;
}

char* str_trim(char* text)
{
    if (!text) return nullptr;
    str_trim_tail(text);
    return str_trim_head(text);
}

char* string_trim(const void* text, int len, const void* set, int setlen, int* plen)
{
    if (!text) return nullptr;
    len = text_len(text, len);
    setlen = set ? text_len(set, setlen) : 0;
    const ByteSet in(set, setlen);
    const uint8_t* p = U(text);
    int b = 0;
    while (b < len && (is_white(p[b]) || in.has(p[b]))) b++;
    if (b == len) return C(p + len);
    int e = len - 1;
    while (e > b && (is_white(p[e]) || in.has(p[e]))) e--;
    if (plen) *plen = e - b + 1;
    return C(p + b);
}

static int change_case(void* text, int len, bool up)
{
    if (!text) return -1;
    len = text_len(text, len);
    if (len < 1) return -2;
    uint8_t* p = static_cast<uint8_t*>(text);
    for (int i = 0; i < len; i++) {
        if (up && p[i] >= 'a' && p[i] <= 'z') p[i] = uint8_t(p[i] - 32);
        if (!up && p[i] >= 'A' && p[i] <= 'Z') p[i] = uint8_t(p[i] + 32);
    }
    return 0;
}

int string_tolower(void* text, int len) { return change_case(text, len, false); }
int string_toupper(void* text, int len) { return change_case(text, len, true); }

char toHex(int value, int upper)
{
    if (value < 0 || value > 15) return '.';
    return upper ? kUpperHex[value] : kLowerHex[value];
}

/* ================= numbers ================= */

/* Accumulates digits of the given radix (10 or 16) from the start of the text. */
static int parse_digits(const void* text, int len, int radix, uint32_t* out)
{
    uint32_t v = 0;
    int i = 0;
    if (text) {
        len = text_len(text, len);
        const uint8_t* p = U(text);
        for (; i < len; i++) {
            int d = radix == 10 ? (is_digit(p[i]) ? p[i] - '0' : -1) : hexval(p[i]);
            if (d < 0) break;
            v = v * uint32_t(radix) + uint32_t(d);
        }
    }
    *out = v;
    return i;
}

template <int Radix, typename T> static int parse_as(const void* text, int len, T* pval)
{
    uint32_t v;
    int n = parse_digits(text, len, Radix, &v);
    if (pval) *pval = T(v);
    return n;
}

int str_atoi(const void* text, int len, int* pval) { return parse_as<10>(text, len, pval); }
int str_atou(const void* text, int len, uint32_t* pval) { return parse_as<10>(text, len, pval); }
int str_hextoi(const void* text, int len, int* pval) { return parse_as<16>(text, len, pval); }
int str_hextou(const void* text, int len, uint32_t* pval) { return parse_as<16>(text, len, pval); }

long str_to_int(const void* text, int len, int base, char** pterm)
{
    if (pterm) *pterm = C(text);
    if (!text) return 0;
    len = text_len(text, len);
    if (base < 2) base = 10;
    const uint8_t* p = U(text);
    int i = 0;
    while (i < len && (p[i] == ' ' || p[i] == '\t')) i++;
    bool neg = false;
    if (i < len && (p[i] == '+' || p[i] == '-')) neg = p[i++] == '-';
    int first = i;
    unsigned long v = 0; /* unsigned, so an overflowing text wraps instead of faulting */
    for (; i < len && hexval(p[i]) >= 0; i++) v = v * (unsigned long)base + (unsigned long)hexval(p[i]);
    if (i == first) return 0; /* nothing but blanks or a lone sign */
    if (pterm) *pterm = C(p + i);
    return neg ? long(0ul - v) : long(v);
}

int str_mbi2uint(const void* bytes, int len, uint32_t* pval)
{
    if (!bytes || len < 1) return -1;
    const uint8_t* p = U(bytes);
    int lim = len < 5 ? len : 5;
    uint32_t v = 0;
    int i = 0;
    while (i < lim) {
        uint8_t c = p[i++];
        v = (v << 7) | (c & 0x7F);
        if (!(c & 0x80)) break;
    }
    if (pval) *pval = v;
    return i;
}

int str_uint2mbi(uint32_t value, void* bytes)
{
    int n = 1;
    for (uint32_t v = value >> 7; v; v >>= 7) n++;
    if (bytes) {
        uint8_t* p = static_cast<uint8_t*>(bytes);
        for (int i = n - 1; i >= 0; i--) {
            p[i] = uint8_t((value & 0x7F) | (i == n - 1 ? 0 : 0x80));
            value >>= 7;
        }
    }
    return n;
}

/* ================= time texts ================= */

static const char* const kWeekAbbr[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char* const kWeekFull[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                         "Thursday", "Friday", "Saturday"};
static const char* const kMonAbbr[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int str_time2gmt(const time_t* t, char* buf, int len, int fmt)
{
    if (!buf || len < 36) return -1;
    time_t now = t ? *t : time(nullptr);
    struct tm tm;
    if (!gmtime_r(&now, &tm)) return -1;
    if (fmt == 0)
        snprintf(buf, size_t(len), "%s, %02d %s %4d %02d:%02d:%02d GMT", kWeekAbbr[tm.tm_wday], tm.tm_mday,
                 kMonAbbr[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    else
        snprintf(buf, size_t(len), "%s, %02d-%s-%4d %02d:%02d:%02d GMT", kWeekFull[tm.tm_wday], tm.tm_mday,
                 kMonAbbr[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return 0;
}

int str_datetime(const time_t* t, char* buf, int len, int fmt)
{
    if (!buf || len < 20) return -1;
    time_t now = t ? *t : time(nullptr);
    struct tm tm;
    if (!localtime_r(&now, &tm)) return -1;
    if (fmt)
        snprintf(buf, size_t(len), "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    else
        snprintf(buf, size_t(len), "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                 tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return 0;
}

namespace {
/* Reads at most maxd decimal digits at p[*i]; -1 when there is none. */
long read_num(const uint8_t* p, int len, int* i, int maxd)
{
    if (*i >= len || !is_digit(p[*i])) return -1;
    long v = 0;
    for (int k = 0; k < maxd && *i < len && is_digit(p[*i]); k++) v = v * 10 + (p[(*i)++] - '0');
    return v;
}

/* Year rule of date texts: below 80 is 2000 + v, 80..1900 counts from 1900,
 * 1901..1969 is refused (-1); the result is years since 1900. */
int year_since_1900(long v)
{
    if (v < 80) return int(v + 100);
    if (v <= 1900) return int(v);
    if (v < 1970) return -1;
    return int(v - 1900);
}

/* Index of an English name whose first three letters (any case) start p. */
int name_index(const uint8_t* p, int len, int i, const char* const* names, int count)
{
    if (len - i < 3) return -1;
    for (int k = 0; k < count; k++)
        if (lower(p[i]) == lower(uint8_t(names[k][0])) && lower(p[i + 1]) == lower(uint8_t(names[k][1])) &&
            lower(p[i + 2]) == lower(uint8_t(names[k][2])))
            return k;
    return -1;
}

bool is_letter(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_date_sep(uint8_t c) { return c == ' ' || c == '\t' || c == ',' || c == '-'; }
} // namespace

time_t str_gmt2time(const char* text, int len, time_t* ptm)
{
    if (!text) return 0;
    len = text_len(text, len);
    const uint8_t* p = U(text);
    int i = 0;
    while (i < len && (p[i] == ' ' || p[i] == '\t')) i++;
    if (i >= len) return 0;

    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);

    if (is_digit(p[i])) {
        long f[6] = {-1, -1, -1, -1, -1, -1};
        for (int k = 0; k < 6; k++) {
            while (i < len && !is_digit(p[i])) i++;
            f[k] = read_num(p, len, &i, k == 0 ? 4 : 2);
            if (f[k] < 0) break;
        }
        int y = year_since_1900(f[0]);
        if (y < 0) return 0;
        /* Fields missing at the end take their lowest value: "2024" is 1 January 2024, 00:00:00. */
        long mon = f[1] < 0 ? 1 : f[1];
        long day = f[2] < 0 ? 1 : f[2];
        long hour = f[3] < 0 ? 0 : f[3];
        long min = f[4] < 0 ? 0 : f[4];
        long sec = f[5] < 0 ? 0 : f[5];
        if (mon < 1 || mon > 12 || day < 1 || day > 31 || hour > 23 || min > 59 || sec > 60) return 0;
        tm.tm_year = y;
        tm.tm_mon = int(mon - 1);
        tm.tm_mday = int(day);
        tm.tm_hour = int(hour);
        tm.tm_min = int(min);
        tm.tm_sec = int(sec);
    } else {
        /* "Sun, 06 Nov 1994 08:49:37 GMT" and "Sunday, 06-Nov-94 08:49:37 GMT" */
        if (name_index(p, len, i, kWeekAbbr, 7) < 0) return 0;
        while (i < len && is_letter(p[i])) i++;
        while (i < len && is_date_sep(p[i])) i++;
        long day = read_num(p, len, &i, 2);
        if (day < 1 || day > 31) return 0;
        while (i < len && is_date_sep(p[i])) i++;
        int mon = name_index(p, len, i, kMonAbbr, 12);
        if (mon < 0) return 0;
        while (i < len && is_letter(p[i])) i++;
        while (i < len && is_date_sep(p[i])) i++;
        long year = read_num(p, len, &i, 4);
        if (year < 0) return 0;
        int y = year_since_1900(year);
        if (y < 0) return 0;
        while (i < len && is_date_sep(p[i])) i++;
        long hour = read_num(p, len, &i, 2);
        if (hour < 0 || hour > 23 || i >= len || p[i++] != ':') return 0;
        long min = read_num(p, len, &i, 2);
        if (min < 0 || min > 59 || i >= len || p[i++] != ':') return 0;
        long sec = read_num(p, len, &i, 2);
        if (sec < 0 || sec > 60) return 0;
        tm.tm_year = y;
        tm.tm_mon = mon;
        tm.tm_mday = int(day);
        tm.tm_hour = int(hour);
        tm.tm_min = int(min);
        tm.tm_sec = int(sec);
    }
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    if (t == time_t(-1)) return 0;
    if (ptm) *ptm = t;
    return t;
}

/* ================= searches ================= */

char* str_str2(const char* text, int len, const char* sub, int sublen)
{
    if (!text || !sub) return nullptr;
    len = text_len(text, len);
    sublen = text_len(sub, sublen);
    if (len < 1 || sublen < 1 || sublen > len) return nullptr;
    for (int i = 0; i <= len - sublen; i++)
        if (memcmp(text + i, sub, size_t(sublen)) == 0) return C(text + i);
    return nullptr;
}

/* Rabin-Karp over unsigned bytes with the given base and modulus. */
static const uint8_t* rabin_karp(const uint8_t* t, int len, const uint8_t* pat, int m, uint64_t base, uint64_t mod)
{
    if (m < 1 || m > len) return nullptr;
    uint64_t hp = 0, ht = 0, pw = 1;
    for (int i = 0; i < m; i++) {
        hp = (hp * base + pat[i]) % mod;
        ht = (ht * base + t[i]) % mod;
        if (i > 0) pw = (pw * base) % mod;
    }
    for (int i = 0;; i++) {
        if (hp == ht && memcmp(t + i, pat, size_t(m)) == 0) return t + i;
        if (i >= len - m) return nullptr;
        ht = (ht + mod - (t[i] * pw) % mod) % mod;
        ht = (ht * base + t[i + m]) % mod;
    }
}

char* str_str(const char* text, int len, const char* sub, int sublen)
{
    if (!text || !sub) return nullptr;
    len = text_len(text, len);
    sublen = text_len(sub, sublen);
    return C(rabin_karp(U(text), len, U(sub), sublen, 31, 1000000));
}

void* str_rk_find(const void* bytes, int len, const void* pattern, int patlen)
{
    if (!bytes || !pattern || len < 1 || patlen < 1) return nullptr;
    return C(rabin_karp(U(bytes), len, U(pattern), patlen, 256, 961748941));
}

void* str_find_bytes(const void* bytes, int len, const void* pattern, int patlen)
{
    if (!bytes || !pattern || len < 1 || patlen < 1 || patlen > len) return nullptr;
    const uint8_t* p = U(bytes);
    const uint8_t* pat = U(pattern);
    const uint8_t* end = p + len - patlen; /* last possible start */
    while (p <= end) {
        p = static_cast<const uint8_t*>(memchr(p, pat[0], size_t(end - p) + 1));
        if (!p) return nullptr;
        if (memcmp(p + 1, pat + 1, size_t(patlen) - 1) == 0) return C(p);
        p++;
    }
    return nullptr;
}

void* str_rfind_bytes(const void* bytes, int pos, const void* pattern, int patlen)
{
    if (!bytes || !pattern || pos < 0 || patlen < 1 || patlen - 1 > pos) return nullptr;
    const uint8_t* p = U(bytes);
    const uint8_t* pat = U(pattern);
    for (int s = pos - patlen + 1; s >= 0; s--)
        if (p[s] == pat[0] && memcmp(p + s, pat, size_t(patlen)) == 0) return C(p + s);
    return nullptr;
}

/* ================= skipping ================= */

template <int64_t (*Scan)(MemScan&, const ByteSet&)>
static char* skip_with(const void* p, int len, const void* set, int setlen)
{
    if (!p) return nullptr;
    MemScan s{U(p), 0, text_len(p, len)};
    return C(U(p) + Scan(s, ByteSet(set, setlen)));
}

/* Backwards from p over at most len bytes while membership equals in_set. */
static char* rskip_while(const void* p, int len, const void* set, int setlen, bool in_set)
{
    if (!p) return nullptr;
    const ByteSet in(set, setlen);
    const uint8_t* s = U(p);
    int i = 0;
    while (i < len && in.has(*(s - i)) == in_set) i++;
    return C(s - i);
}

char* skipTo(const void* p, int len, const void* set, int setlen)
{
    return skip_with<bytescan::skip_to<MemScan>>(p, len, set, setlen);
}

char* skipOver(const void* p, int len, const void* set, int setlen)
{
    return skip_with<bytescan::skip_over<MemScan>>(p, len, set, setlen);
}

char* rskipTo(const void* p, int len, const void* set, int setlen) { return rskip_while(p, len, set, setlen, false); }
char* rskipOver(const void* p, int len, const void* set, int setlen) { return rskip_while(p, len, set, setlen, true); }

char* skipEscTo(const void* p, int len, const void* set, int setlen)
{
    return skip_with<bytescan::skip_esc_to<MemScan>>(p, len, set, setlen);
}

char* skipQuoteTo(const void* p, int len, const void* set, int setlen)
{
    return skip_with<bytescan::skip_quote_to<MemScan>>(p, len, set, setlen);
}

char* skipToPeer(const void* p, int len, int leftch, int rightch)
{
    if (!p) return nullptr;
    len = text_len(p, len);
    const uint8_t* s = U(p);
    if (len < 1 || s[0] != uint8_t(leftch)) return C(p);
    int depth = 0;
    for (int i = 0; i < len; i++) {
        if (s[i] == uint8_t(leftch) && (i == 0 || leftch != rightch)) {
            depth++;
        } else if (s[i] == uint8_t(rightch)) {
            if (--depth == 0) return C(s + i);
        }
    }
    return C(s + len);
}

/* ================= buffer encoders ================= */

int bin_to_ascii(const void* src, int binlen, void* dst, int* asclen, int uppercase)
{
    if (!src || binlen < 1) return -1;
    if (!dst) return -2;
    enc_hex(U(src), binlen, static_cast<uint8_t*>(dst), uppercase);
    if (asclen) *asclen = 2 * binlen;
    return 2 * binlen;
}

int ascii_to_bin(const void* src, int len, void* dst, int* binlen)
{
    if (binlen && !dst) *binlen = 0;
    if (!src) return -1;
    len = text_len(src, len);
    if (len < 1) return -1;
    if (!dst) return -2;
    int n = 0;
    int r = enc_hex_decode(U(src), len, static_cast<uint8_t*>(dst), &n);
    if (binlen) *binlen = n;
    return r;
}

int bin_to_base64(const void* src, int binlen, void* dst, int* asclen)
{
    if (!src || binlen < 1) return -1;
    if (!dst || !asclen || *asclen < 1) return -2;
    long groups = (long(binlen) + 2) / 3;
    long need = 4 * groups;
    if (long(*asclen) <= need + 2 * ((groups + 18) / 19)) return -100;
    uint8_t* d = static_cast<uint8_t*>(dst);
    enc_base64(U(src), binlen, d);
    d[need] = 0;
    *asclen = int(need);
    return 0;
}

int base64_to_bin(const void* src, int len, void* dst, int* binlen)
{
    if (!src) return -1;
    if (!dst || !binlen || *binlen < 1) return -2;
    len = text_len(src, len);
    if (len < 1) {
        *binlen = 0;
        return 0;
    }
    int room = *binlen;
    if (long(room) < 3 * ((long(len) + 3) / 4)) return -100;
    int skipped = 0;
    uint8_t* d = static_cast<uint8_t*>(dst);
    int n = enc_base64_decode(U(src), len, d, &skipped);
    /* The terminator goes in only when the room holds it: the room is the caller's buffer size. */
    if (n < room) d[n] = 0;
    *binlen = n;
    return skipped;
}

/* Runs enc over the text into a sink on dst; false for a null or empty text. */
template <typename Enc>
static bool encode(const void* src, int len, void* dst, int dstlen, encsink_t* s, Enc enc)
{
    if (!src) return false;
    len = text_len(src, len);
    if (len < 1) return false;
    encsink_init(s, dst, dstlen);
    enc(U(src), len, s);
    return true;
}

/* A new NUL-terminated copy of the text run through strip(dst, len). */
template <typename Strip> static char* strip_dup(const void* src, int len, Strip strip)
{
    if (!src) return nullptr;
    len = text_len(src, len);
    if (len < 1) return nullptr;
    char* d = static_cast<char*>(kalloc(size_t(len) + 1));
    if (!d) return nullptr;
    d[strip(d, len)] = 0;
    return d;
}

int string_escape(const void* src, int len, const void* set, int setlen, void* dst, int dstlen)
{
    encsink_t s;
    auto enc = [&](const uint8_t* p, int n, encsink_t* k) {
        enc_slash_add(p, n, U(set), set ? text_len(set, setlen) : 0, k);
    };
    return dst && encode(src, len, dst, dstlen, &s, enc) ? encsink_finish(&s) : 0;
}

int string_strip(const void* src, int len, const void* set, int setlen, void* dst, int dstlen)
{
    encsink_t s;
    auto enc = [&](const uint8_t* p, int n, encsink_t* k) {
        enc_slash_strip(p, n, U(set), set ? text_len(set, setlen) : 0, k);
    };
    return dst && encode(src, len, dst, dstlen, &s, enc) ? encsink_finish(&s) : 0;
}

char* string_strip_dup(const void* src, int len, const void* set, int setlen)
{
    return strip_dup(src, len, [&](char* d, int n) { return string_strip(src, n, set, setlen, d, n); });
}

int json_escape(const void* src, int size, void* dst, int dstlen)
{
    encsink_t s;
    if (!encode(src, size, dst, dstlen, &s, enc_json_escape)) return 0;
    return dst ? encsink_finish(&s) : s.total;
}

int json_strip(const void* src, int size, void* dst, int dstlen)
{
    encsink_t s;
    if (!encode(src, size, dst, dstlen, &s, enc_json_unescape)) return 0;
    return dst ? encsink_finish(&s) : s.total;
}

char* json_strip_dup(const void* src, int size)
{
    return strip_dup(src, size, [&](char* d, int n) { return json_strip(src, n, d, n); });
}

int uri_encode(const void* src, int size, void* dst, int dstlen, int type)
{
    encsink_t s;
    auto enc = [&](const uint8_t* p, int n, encsink_t* k) { enc_uri_encode(p, n, uri_escape_vector(type), k); };
    return encode(src, size, dst, dstlen, &s, enc) ? s.total : 0;
}

int uri_decode(const void* src, int size, void* dst, int dstlen)
{
    if (!src) return 0;
    size = text_len(src, size);
    encsink_t s;
    encsink_init(&s, dst, dstlen);
    if (size > 0) enc_uri_decode(U(src), size, &s);
    if (dst && dstlen >= 0) static_cast<uint8_t*>(dst)[s.used] = 0;
    return s.total;
}

int html_escape(const void* src, int size, void* dst, int dstlen)
{
    encsink_t s;
    return encode(src, size, dst, dstlen, &s, enc_html_escape) ? s.total : 0;
}

/* ================= other ================= */

int str_value_by_key(const void* text, int len, const char* key, void** pval, int* vallen)
{
    if (pval) *pval = nullptr;
    if (vallen) *vallen = 0;
    if (!text) return -1;
    len = text_len(text, len);
    if (len < 1) return -1;
    if (!key) return -2;
    int keylen = str_len(key);
    const uint8_t* p = U(text);
    const uint8_t* k = U(kmp_find_bytes(text, len, key, keylen, nullptr));
    if (!k) return -100;
    int i = int(k - p) + keylen;
    while (i < len && (p[i] == ' ' || p[i] == '\t')) i++;
    if (i >= len || p[i] != '=') return -101;
    i++;
    int b = i, e;
    if (i < len && (p[i] == '"' || p[i] == '\'')) {
        uint8_t q = p[i];
        b = ++i;
        while (i < len && p[i] != q) i += (p[i] == '\\') ? 2 : 1;
        e = i < len ? i : len;
    } else {
        while (i < len && p[i] != '\t' && p[i] != ' ' && p[i] != ',' && p[i] != ';') i++;
        e = i;
    }
    if (pval) *pval = C(p + b);
    if (vallen) *vallen = e - b;
    return e - b;
}

int string_tokenize(const void* text, int len, const void* sep, int seplen, void** list, int* lens, int max)
{
    if (max < 1) return 0;
    for (int i = 0; i < max; i++) {
        if (list) list[i] = nullptr;
        if (lens) lens[i] = 0;
    }
    if (!text) return 0;
    len = text_len(text, len);
    if (!sep) {
        sep = " \t,;";
        seplen = 4;
    } else {
        seplen = text_len(sep, seplen);
    }
    if (len < 1 || seplen < 1) return 0;
    const uint8_t* p = U(text);
    const uint8_t* end = p + len;
    const uint8_t* cur = U(skipOver(p, len, sep, seplen));
    int n = 0;
    while (cur < end && n < max) {
        const uint8_t* stop = U(skipQuoteTo(cur, int(end - cur), sep, seplen));
        if (list) list[n] = C(cur);
        if (lens) lens[n] = int(stop - cur);
        n++;
        cur = U(skipOver(stop, int(end - stop), sep, seplen));
    }
    return n;
}

int GetRandStr(void* buf, int size, int type)
{
    if (!buf || size < 1) return 0;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    srand(unsigned(uint32_t(uint64_t(tv.tv_usec) + 1000000ull * uint64_t(tv.tv_sec))));

    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    static const char kAlnum[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    static const char kName[] = "0123456789_-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    static const char kPunct[] = "~!@#$%^&*(),.[]|?:;0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    static const char kLowerPlain[] = "123456789abcdefghkmnpqrstuvwxyz";
    static const char kUpperPlain[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZ";
    static_assert(sizeof(kLetters) - 1 == 52 && sizeof(kAlnum) - 1 == 62 && sizeof(kName) - 1 == 64 &&
                  sizeof(kPunct) - 1 == 81 && sizeof(kLowerPlain) - 1 == 31 && sizeof(kUpperPlain) - 1 == 33);

    const char* alpha = nullptr;
    int n = 0;
    switch (type) {
    case 0: alpha = kLetters, n = 52; break;
    case 1: alpha = kAlnum, n = 62; break;
    case 2:
    case 3: alpha = kName, n = 64; break;
    case 4: alpha = kPunct, n = 81; break;
    case 20: alpha = kLowerPlain, n = 31; break;
    case 21: alpha = kUpperPlain, n = 33; break;
    default: break;
    }
    uint8_t* b = static_cast<uint8_t*>(buf);
    for (int i = 0; i < size; i++) {
        if (!alpha)
            b[i] = uint8_t(rand() % 256);
        else if (type == 2 && i == 0)
            b[i] = uint8_t(kLetters[rand() % 52]);
        else
            b[i] = uint8_t(alpha[rand() % n]);
    }
    return size;
}

int conv_charset(const char* fromcode, const char* tocode, const void* src, int srclen, void* dst, int* dstlen)
{
    if (!fromcode || !tocode) return -1;
    if (!src) return -2;
    srclen = text_len(src, srclen);
    if (srclen < 1) return -2;
    if (!dst || !dstlen || *dstlen < 1) return -3;
    iconv_t cd = iconv_open(tocode, fromcode);
    if (cd == iconv_t(-1)) return -100;

    char* in = C(src);
    size_t inleft = size_t(srclen);
    char* out = static_cast<char*>(dst);
    size_t outleft = size_t(*dstlen);
    while (inleft > 0) {
        if (iconv(cd, &in, &inleft, &out, &outleft) != size_t(-1)) break;
        if ((errno == EILSEQ || errno == EINVAL) && outleft > 0) {
            /* Pass an unconvertible byte through unchanged and resume after it. */
            *out++ = *in++;
            outleft--;
            inleft--;
            continue;
        }
        break; /* output full or another error */
    }
    if (inleft == 0) iconv(cd, nullptr, nullptr, &out, &outleft); /* shift back to the initial state */
    iconv_close(cd);
    *dstlen = int(out - static_cast<char*>(dst));
    return srclen - int(inleft);
}
