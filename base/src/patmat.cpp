/* Single-pattern search: shift-and, KMP (both directions), Boyer-Moore over
 * memory and files, and Sunday over one buffer or several segments. */
#include "patmat.h"

#include "memory.h"

#include <limits.h>
#include <string.h>

namespace {

/* ---- case folding ---- */

struct FoldTable {
    uint8_t t[256];
};

constexpr FoldTable make_fold(bool nocase)
{
    FoldTable f{};
    for (int c = 0; c < 256; c++) f.t[c] = (uint8_t)((nocase && c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c);
    return f;
}

constexpr FoldTable kExact = make_fold(false);
constexpr FoldTable kNoCase = make_fold(true);

inline const uint8_t* fold_for(bool nocase) { return nocase ? kNoCase.t : kExact.t; }

inline int norm_vectype(int vectype) { return vectype == 1 || vectype == 2 ? vectype : 0; }

/* The other case of an ASCII letter, or c itself. */
inline int other_case(int c)
{
    if (c >= 'a' && c <= 'z') return c - ('a' - 'A');
    if (c >= 'A' && c <= 'Z') return c + ('a' - 'A');
    return c;
}

/* Lengths below 0 mean "up to the NUL"; 0 for a null pointer. */
int norm_len(const void* p, int len)
{
    if (!p) return 0;
    if (len >= 0) return len;
    size_t n = strlen(static_cast<const char*>(p));
    return n > (size_t)INT_MAX ? INT_MAX : (int)n;
}

/* Patterns longer than the vectors' 28-bit length field cannot be recorded. */
constexpr int kMaxPatlen = (1 << 28) - 1;

/* A caller's vector is used only when it was built for this very pattern and
 * comparison mode; anything else would index its tables out of step with the
 * pattern. */
bool same_pattern(const uint8_t* vp, int vlen, int vtype, const uint8_t* p, int m, bool nocase)
{
    if (vlen != m || (vtype == 2) != nocase) return false;
    const uint8_t* f = fold_for(nocase);
    for (int i = 0; i < m; i++)
        if (f[vp[i]] != f[p[i]]) return false;
    return true;
}

/* Validated arguments of a memory search. */
struct Args {
    const uint8_t* t = nullptr;
    int n = 0;
    const uint8_t* p = nullptr;
    int m = 0;
};

bool get_args(const void* text, int textlen, const void* pattern, int patlen, Args& a)
{
    a.t = static_cast<const uint8_t*>(text);
    a.p = static_cast<const uint8_t*>(pattern);
    a.n = norm_len(text, textlen);
    a.m = norm_len(pattern, patlen);
    return a.n > 0 && a.m > 0 && a.n >= a.m;
}

/* ---- shift-and ---- */

pat_bitvec_t* bitvec_build(const uint8_t* p, int m, int vectype)
{
    if (m <= 0) return nullptr;
    int veclen = vectype == 0 ? 256 : 127;
    for (int i = 0; i < m; i++)
        if (p[i] >= veclen) return nullptr;

    size_t size = sizeof(pat_bitvec_t) + sizeof(bitarr_t) * (size_t)veclen + (size_t)m;
    auto* v = static_cast<pat_bitvec_t*>(kzalloc(size));
    if (!v) return nullptr;
    v->vectype = (uint8_t)vectype;
    v->veclen = veclen;
    v->patlen = m;
    v->bitvec = reinterpret_cast<bitarr_t*>(v + 1);
    v->pattern = reinterpret_cast<uint8_t*>(v->bitvec + veclen);
    memcpy(v->pattern, p, (size_t)m);

    for (int c = 0; c < veclen; c++) {
        if (bitarr_init(&v->bitvec[c], m) != 0) {
            pat_bitvec_free(v);
            return nullptr;
        }
    }
    for (int i = 0; i < m; i++) {
        bitarr_set(&v->bitvec[p[i]], i);
        if (vectype == 2) bitarr_set(&v->bitvec[other_case(p[i])], i);
    }
    return v;
}

const uint8_t* shift_and_core(const Args& a, pat_bitvec_t* v)
{
    bitarr_t d;
    if (bitarr_init(&d, a.m) != 0) return nullptr;
    const uint8_t* hit = nullptr;
    for (int i = 0; i < a.n; i++) {
        int c = a.t[i];
        bitarr_left(&d, 1);
        bitarr_set(&d, 0);
        if (c < v->veclen)
            bitarr_and(&d, &v->bitvec[c]);
        else
            bitarr_zero(&d); /* a byte the vector does not cover matches nothing */
        if (bitarr_get(&d, a.m - 1) == 1) {
            hit = a.t + i - (a.m - 1);
            break;
        }
    }
    bitarr_free(&d);
    return hit;
}

const uint8_t* shift_and_run(const void* text, int textlen, const void* pattern, int patlen,
                             pat_bitvec_t* vec, bool nocase)
{
    Args a;
    if (!get_args(text, textlen, pattern, patlen, a)) return nullptr;
    pat_bitvec_t* v = vec;
    if (!v || !same_pattern(v->pattern, v->patlen, v->vectype, a.p, a.m, nocase))
        v = bitvec_build(a.p, a.m, nocase ? 2 : 0);
    if (!v) return nullptr;
    const uint8_t* hit = shift_and_core(a, v);
    if (v != vec) pat_bitvec_free(v);
    return hit;
}

/* ---- Knuth-Morris-Pratt ---- */

pat_kmpvec_t* kmpvec_build(const uint8_t* p, int m, int vectype, bool reverse)
{
    if (m <= 0 || m > kMaxPatlen) return nullptr;
    size_t size = sizeof(pat_kmpvec_t) + sizeof(int) * (size_t)m + (size_t)m;
    auto* v = static_cast<pat_kmpvec_t*>(kzalloc(size));
    if (!v) return nullptr;
    v->vectype = (uint32_t)vectype;
    v->reverse = reverse ? 1 : 0;
    v->patlen = (uint32_t)m;
    v->failvec = reinterpret_cast<int*>(v + 1);
    v->pattern = reinterpret_cast<uint8_t*>(v->failvec + m);
    memcpy(v->pattern, p, (size_t)m);

    const uint8_t* f = fold_for(vectype == 2);
    auto at = [&](int k) { return f[reverse ? p[m - 1 - k] : p[k]]; };
    int* fv = v->failvec;
    fv[0] = -1;
    for (int q = 1; q < m; q++) {
        int k = fv[q - 1];
        while (k >= 0 && at(k + 1) != at(q)) k = fv[k];
        if (at(k + 1) == at(q)) k++;
        fv[q] = k;
    }
    return v;
}

const uint8_t* kmp_core(const Args& a, const pat_kmpvec_t* v)
{
    const int m = a.m;
    const uint8_t* p = v->pattern;
    const int* fv = v->failvec;
    const uint8_t* f = fold_for(v->vectype == 2);
    int k = 0;
    if (!v->reverse) {
        for (int i = 0; i < a.n; i++) {
            uint8_t c = f[a.t[i]];
            while (k > 0 && f[p[k]] != c) k = fv[k - 1] + 1;
            if (f[p[k]] == c) k++;
            if (k == m) return a.t + i - (m - 1);
        }
    } else {
        /* The reversed pattern against the text read from its end. */
        for (int i = a.n - 1; i >= 0; i--) {
            uint8_t c = f[a.t[i]];
            while (k > 0 && f[p[m - 1 - k]] != c) k = fv[k - 1] + 1;
            if (f[p[m - 1 - k]] == c) k++;
            if (k == m) return a.t + i;
        }
    }
    return nullptr;
}

const uint8_t* kmp_run(const void* text, int textlen, const void* pattern, int patlen,
                       pat_kmpvec_t* vec, bool nocase, bool reverse)
{
    Args a;
    if (!get_args(text, textlen, pattern, patlen, a)) return nullptr;
    pat_kmpvec_t* v = vec;
    if (!v || v->reverse != (reverse ? 1u : 0u) ||
        !same_pattern(v->pattern, (int)v->patlen, (int)v->vectype, a.p, a.m, nocase))
        v = kmpvec_build(a.p, a.m, nocase ? 2 : 0, reverse);
    if (!v) return nullptr;
    const uint8_t* hit = kmp_core(a, v);
    if (v != vec) pat_kmpvec_free(v);
    return hit;
}

/* ---- Boyer-Moore ---- */

pat_bmvec_t* bmvec_build(const uint8_t* p, int m, int vectype)
{
    if (m <= 0 || m > kMaxPatlen) return nullptr;
    size_t size = sizeof(pat_bmvec_t) + sizeof(int) * (size_t)m + (size_t)m;
    auto* v = static_cast<pat_bmvec_t*>(kzalloc(size));
    if (!v) return nullptr;
    auto* suff = static_cast<int*>(kalloc(sizeof(int) * (size_t)m));
    if (!suff) {
        kfree(v);
        return nullptr;
    }
    v->vectype = (uint32_t)vectype;
    v->reverse = 0;
    v->patlen = (uint32_t)m;
    v->goodsuff = reinterpret_cast<int*>(v + 1);
    v->pattern = reinterpret_cast<uint8_t*>(v->goodsuff + m);
    memcpy(v->pattern, p, (size_t)m);

    const bool nocase = vectype == 2;
    const uint8_t* f = fold_for(nocase);

    for (int c = 0; c < 256; c++) v->badch[c] = m;
    for (int i = 0; i < m - 1; i++) {
        v->badch[p[i]] = m - 1 - i;
        if (nocase) v->badch[other_case(p[i])] = m - 1 - i;
    }

    /* suff[i]: length of the longest substring ending at i that is a suffix
     * of the pattern. */
    suff[m - 1] = m;
    int g = m - 1, fpos = m - 1;
    for (int i = m - 2; i >= 0; i--) {
        if (i > g && suff[i + m - 1 - fpos] < i - g) {
            suff[i] = suff[i + m - 1 - fpos];
        } else {
            if (i < g) g = i;
            fpos = i;
            while (g >= 0 && f[p[g]] == f[p[g + m - 1 - fpos]]) g--;
            suff[i] = fpos - g;
        }
    }
    int* gs = v->goodsuff;
    for (int i = 0; i < m; i++) gs[i] = m;
    int j = 0;
    for (int i = m - 1; i >= 0; i--)
        if (suff[i] == i + 1)
            for (; j < m - 1 - i; j++)
                if (gs[j] == m) gs[j] = m - 1 - i;
    for (int i = 0; i <= m - 2; i++) gs[m - 1 - suff[i]] = m - 1 - i;

    kfree(suff);
    return v;
}

inline int bm_shift(const pat_bmvec_t* v, int i, int c)
{
    int bc = v->badch[c] - (int)v->patlen + 1 + i;
    return bc > v->goodsuff[i] ? bc : v->goodsuff[i];
}

const uint8_t* bm_core(const Args& a, const pat_bmvec_t* v)
{
    const int m = a.m;
    const uint8_t* p = v->pattern;
    const uint8_t* f = fold_for(v->vectype == 2);
    for (int j = 0; j <= a.n - m;) {
        int i = m - 1;
        while (i >= 0 && f[p[i]] == f[a.t[i + j]]) i--;
        if (i < 0) return a.t + j;
        j += bm_shift(v, i, a.t[i + j]);
    }
    return nullptr;
}

pat_bmvec_t* bm_pick(pat_bmvec_t* vec, const uint8_t* p, int m, bool nocase)
{
    if (vec && same_pattern(vec->pattern, (int)vec->patlen, (int)vec->vectype, p, m, nocase))
        return vec;
    return bmvec_build(p, m, nocase ? 2 : 0);
}

const uint8_t* bm_run(const void* text, int textlen, const void* pattern, int patlen,
                      pat_bmvec_t* vec, bool nocase)
{
    Args a;
    if (!get_args(text, textlen, pattern, patlen, a)) return nullptr;
    pat_bmvec_t* v = bm_pick(vec, a.p, a.m, nocase);
    if (!v) return nullptr;
    const uint8_t* hit = bm_core(a, v);
    if (v != vec) pat_bmvec_free(v);
    return hit;
}

/* ---- Sunday ---- */

pat_sunvec_t* sunvec_build(const uint8_t* p, int m, int vectype)
{
    if (m <= 0 || m > kMaxPatlen) return nullptr;
    auto* v = static_cast<pat_sunvec_t*>(kzalloc(sizeof(pat_sunvec_t) + (size_t)m));
    if (!v) return nullptr;
    v->vectype = (uint32_t)vectype;
    v->reverse = 0;
    v->patlen = (uint32_t)m;
    v->pattern = reinterpret_cast<uint8_t*>(v + 1);
    memcpy(v->pattern, p, (size_t)m);
    for (int c = 0; c < 256; c++) v->chloc[c] = -1;
    for (int i = 0; i < m; i++) {
        v->chloc[p[i]] = i;
        if (vectype == 2) v->chloc[other_case(p[i])] = i;
    }
    return v;
}

pat_sunvec_t* sun_pick(pat_sunvec_t* vec, const uint8_t* p, int m, bool nocase)
{
    if (vec && same_pattern(vec->pattern, (int)vec->patlen, (int)vec->vectype, p, m, nocase))
        return vec;
    return sunvec_build(p, m, nocase ? 2 : 0);
}

const uint8_t* sun_core(const Args& a, const pat_sunvec_t* v)
{
    const int m = a.m;
    const uint8_t* p = v->pattern;
    const uint8_t* f = fold_for(v->vectype == 2);
    for (int j = 0; j <= a.n - m;) {
        int i = 0;
        while (i < m && f[p[i]] == f[a.t[j + i]]) i++;
        if (i == m) return a.t + j;
        if (j + m >= a.n) break; /* last alignment: no byte follows it */
        j += m - v->chloc[a.t[j + m]];
    }
    return nullptr;
}

const uint8_t* sun_run(const void* text, int textlen, const void* pattern, int patlen,
                       pat_sunvec_t* vec, bool nocase)
{
    Args a;
    if (!get_args(text, textlen, pattern, patlen, a)) return nullptr;
    pat_sunvec_t* v = sun_pick(vec, a.p, a.m, nocase);
    if (!v) return nullptr;
    const uint8_t* hit = sun_core(a, v);
    if (v != vec) pat_sunvec_free(v);
    return hit;
}

/* ---- segmented text ---- */

inline bool seg_has_text(const mstr_t* m, int s) { return m->pbyte[s] && m->plen[s] > 0; }

/* Walks the segments from where the last access left off, so a scan that
 * moves mostly forwards costs little per byte. */
struct Cursor {
    const mstr_t* m;
    int seg = -1;      /* current segment holding text, -1 before the first */
    int64_t start = 0; /* total position of its first byte */

    explicit Cursor(const mstr_t* ms) : m(ms) {}

    /* Caller guarantees 0 <= pos < m->len. */
    void seek(int64_t pos)
    {
        if (seg < 0) {
            start = 0;
            seg = 0;
            while (!seg_has_text(m, seg)) seg++;
        }
        while (pos < start) {
            do seg--;
            while (!seg_has_text(m, seg));
            start -= m->plen[seg];
        }
        while (pos >= start + m->plen[seg]) {
            start += m->plen[seg];
            do seg++;
            while (!seg_has_text(m, seg));
        }
    }

    uint8_t at(int64_t pos)
    {
        seek(pos);
        return m->pbyte[seg][pos - start];
    }

    uint8_t* ptr(int64_t pos)
    {
        seek(pos);
        return m->pbyte[seg] + (pos - start);
    }
};

uint8_t* sun_mrun(uint8_t** segments, int* lengths, int num, const void* pattern, int patlen,
                  pat_sunvec_t* vec, int* seg, bool nocase)
{
    if (!segments || !lengths || num <= 0) return nullptr;
    const uint8_t* p = static_cast<const uint8_t*>(pattern);
    int m = norm_len(pattern, patlen);
    if (m <= 0) return nullptr;
    mstr_t ms;
    if (!mstr_init(&ms, segments, lengths, num)) return nullptr;
    if (ms.len < m) return nullptr;

    pat_sunvec_t* v = sun_pick(vec, p, m, nocase);
    if (!v) return nullptr;
    const uint8_t* f = fold_for(nocase);
    Cursor cur(&ms);
    uint8_t* hit = nullptr;
    const int64_t n = ms.len;
    for (int64_t j = 0; j <= n - m;) {
        int i = 0;
        while (i < m && f[p[i]] == f[cur.at(j + i)]) i++;
        if (i == m) {
            hit = cur.ptr(j);
            if (seg) *seg = cur.seg;
            break;
        }
        if (j + m >= n) break;
        j += m - v->chloc[cur.at(j + m)];
    }
    if (v != vec) pat_sunvec_free(v);
    return hit;
}

/* ---- Boyer-Moore over a file ---- */

int64_t bm_file_core(fbuf_t* fb, int64_t offset, const pat_bmvec_t* v, arfifo_t* fifo)
{
    const int m = (int)v->patlen;
    const uint8_t* p = v->pattern;
    const uint8_t* f = fold_for(v->vectype == 2);
    const int64_t size = fbuf_size(fb);
    int64_t first = -1;
    for (int64_t j = offset; j <= size - m;) {
        int i = m - 1;
        int c = 0;
        while (i >= 0) {
            c = fbuf_at(fb, j + i);
            if (c < 0) return first; /* read error: keep what was found */
            if (f[p[i]] != f[c]) break;
            i--;
        }
        if (i >= 0) {
            j += bm_shift(v, i, c);
            continue;
        }
        if (first < 0) first = j;
        if (!fifo) break;
        if (ar_fifo_push(fifo, reinterpret_cast<void*>(static_cast<intptr_t>(j))) != 0) return -100;
        j += v->goodsuff[0];
    }
    return first;
}

} // namespace

/* ---- vectors ---- */

pat_bitvec_t* pat_bitvec_alloc(const void* pattern, int len, int vectype)
{
    return bitvec_build(static_cast<const uint8_t*>(pattern), norm_len(pattern, len), norm_vectype(vectype));
}

void pat_bitvec_free(pat_bitvec_t* vec)
{
    if (!vec) return;
    for (int c = 0; c < vec->veclen; c++) bitarr_free(&vec->bitvec[c]);
    kfree(vec);
}

pat_kmpvec_t* pat_kmpvec_alloc(const void* pattern, int len, int vectype, int reverse)
{
    return kmpvec_build(static_cast<const uint8_t*>(pattern), norm_len(pattern, len), norm_vectype(vectype),
                        reverse != 0);
}

void pat_kmpvec_free(pat_kmpvec_t* vec) { kfree(vec); }

pat_bmvec_t* pat_bmvec_alloc(const void* pattern, int len, int vectype)
{
    return bmvec_build(static_cast<const uint8_t*>(pattern), norm_len(pattern, len), norm_vectype(vectype));
}

void pat_bmvec_free(pat_bmvec_t* vec) { kfree(vec); }

pat_sunvec_t* pat_sunvec_alloc(const void* pattern, int len, int vectype)
{
    return sunvec_build(static_cast<const uint8_t*>(pattern), norm_len(pattern, len), norm_vectype(vectype));
}

void pat_sunvec_free(pat_sunvec_t* vec) { kfree(vec); }

/* ---- searches over memory ---- */

void* shift_and_find(const void* text, int textlen, const void* pattern, int patlen, pat_bitvec_t* vec)
{
    return const_cast<uint8_t*>(shift_and_run(text, textlen, pattern, patlen, vec, false));
}

char* shift_and_find_string(const char* text, int textlen, const char* pattern, int patlen, pat_bitvec_t* vec)
{
    return (char*)shift_and_run(text, textlen, pattern, patlen, vec, true);
}

void* kmp_find_bytes(const void* text, int textlen, const void* pattern, int patlen, pat_kmpvec_t* vec)
{
    return const_cast<uint8_t*>(kmp_run(text, textlen, pattern, patlen, vec, false, false));
}

char* kmp_find_string(const char* text, int textlen, const char* pattern, int patlen, pat_kmpvec_t* vec)
{
    return (char*)kmp_run(text, textlen, pattern, patlen, vec, true, false);
}

void* kmp_rfind_bytes(const void* text, int textlen, const void* pattern, int patlen, pat_kmpvec_t* vec)
{
    return const_cast<uint8_t*>(kmp_run(text, textlen, pattern, patlen, vec, false, true));
}

char* kmp_rfind_string(const char* text, int textlen, const char* pattern, int patlen, pat_kmpvec_t* vec)
{
    return (char*)kmp_run(text, textlen, pattern, patlen, vec, true, true);
}

void* bm_find_bytes(const void* text, int textlen, const void* pattern, int patlen, pat_bmvec_t* vec)
{
    return const_cast<uint8_t*>(bm_run(text, textlen, pattern, patlen, vec, false));
}

char* bm_find_string(const char* text, int textlen, const char* pattern, int patlen, pat_bmvec_t* vec)
{
    return (char*)bm_run(text, textlen, pattern, patlen, vec, true);
}

void* sun_find_bytes(const void* text, int textlen, const void* pattern, int patlen, pat_sunvec_t* vec)
{
    return const_cast<uint8_t*>(sun_run(text, textlen, pattern, patlen, vec, false));
}

char* sun_find_string(const char* text, int textlen, const char* pattern, int patlen, pat_sunvec_t* vec)
{
    return (char*)sun_run(text, textlen, pattern, patlen, vec, true);
}

/* ---- Boyer-Moore over files ---- */

int64_t bm_find_filebuf(fbuf_t* filebuf, int64_t offset, const void* pattern, int patlen, int ignorecase,
                        pat_bmvec_t* vec, arfifo_t* fifo)
{
    int m = norm_len(pattern, patlen);
    if (!filebuf || m <= 0) return -1;
    int64_t size = fbuf_size(filebuf);
    if (offset < 0 || offset >= size || m > size) return -2;
    /* Too little left after offset: simply no match. */
    if (m > size - offset) return -1;
    pat_bmvec_t* v = bm_pick(vec, static_cast<const uint8_t*>(pattern), m, ignorecase != 0);
    if (!v) return -3;
    int64_t r = bm_file_core(filebuf, offset, v, fifo);
    if (v != vec) pat_bmvec_free(v);
    return r;
}

int64_t bm_find_file(const char* path, int64_t offset, const void* pattern, int patlen, int ignorecase,
                     pat_bmvec_t* vec, arfifo_t* fifo)
{
    int m = norm_len(pattern, patlen);
    if (!path || m <= 0) return -1;
    fbuf_t* fb = fbuf_init(path, 512);
    if (!fb) return -2;
    int64_t r = bm_find_filebuf(fb, offset, pattern, m, ignorecase, vec, fifo);
    fbuf_free(fb);
    if (r == -2) return -3;
    if (r == -3) return -4;
    return r;
}

/* ---- segmented text ---- */

mstr_t* mstr_init(mstr_t* m, uint8_t** segments, int* lengths, int num)
{
    if (num < 0 || num >= (1 << 30)) return nullptr;
    bool alloc = false;
    if (!m) {
        m = static_cast<mstr_t*>(kzalloc(sizeof(mstr_t)));
        if (!m) return nullptr;
        alloc = true;
    }
    m->pbyte = segments;
    m->plen = lengths;
    m->num = (segments && lengths) ? (uint32_t)num : 0;
    m->alloc = alloc ? 1 : 0;
    m->len = 0;
    for (int s = 0; s < (int)m->num; s++)
        if (seg_has_text(m, s)) m->len += m->plen[s];
    return m;
}

int64_t mstr_len(mstr_t* m) { return m ? m->len : -1; }

int mstr_char(mstr_t* m, int64_t pos, int* seg)
{
    if (!m) return -1;
    if (!m->pbyte || !m->plen || m->num == 0) return -3;
    if (pos < 0 || pos >= m->len) return -2;
    Cursor cur(m);
    int c = cur.at(pos);
    if (seg) *seg = cur.seg;
    return c;
}

uint8_t* mstr_p(mstr_t* m, int64_t pos, int* seg)
{
    if (!m || !m->pbyte || !m->plen || m->num == 0) return nullptr;
    if (pos < 0 || pos >= m->len) return nullptr;
    Cursor cur(m);
    uint8_t* p = cur.ptr(pos);
    if (seg) *seg = cur.seg;
    return p;
}

void mstr_free(mstr_t* m)
{
    if (m && m->alloc) kfree(m);
}

uint8_t* sun_find_mbytes(uint8_t** segments, int* lengths, int num, const void* pattern, int patlen,
                         pat_sunvec_t* vec, int* seg)
{
    return sun_mrun(segments, lengths, num, pattern, patlen, vec, seg, false);
}

uint8_t* sun_find_mstring(uint8_t** segments, int* lengths, int num, const char* pattern, int patlen,
                          pat_sunvec_t* vec, int* seg)
{
    return sun_mrun(segments, lengths, num, pattern, patlen, vec, seg, true);
}
