/* Growable bit array; the shift-and pattern search keeps its state and its
 * per-byte masks in these. */
#include "bitarr.h"

#include "memory.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

namespace {

constexpr int BITS = 64;

inline int words_for(long bits) { return (int)((bits + BITS - 1) / BITS); }

inline int used_words(const bitarr_t* bar) { return words_for(bar->bitnum); }

/* Clears every storage bit from `from` upward. */
void clear_from(bitarr_t* bar, int from)
{
    if (!bar->bitarr) return;
    int w = from / BITS;
    if (w >= bar->unitnum) return;
    int r = from % BITS;
    if (r) {
        bar->bitarr[w] &= (UINT64_C(1) << r) - 1;
        w++;
    }
    if (w < bar->unitnum) memset(bar->bitarr + w, 0, sizeof(uint64_t) * (size_t)(bar->unitnum - w));
}

/* Sets the size to `bitnum`, growing the storage when needed. Bits beyond the
 * smaller of the two sizes are cleared, so a shrink followed by a grow never
 * brings old bits back. */
bool set_size(bitarr_t* bar, int bitnum)
{
    int need = words_for(bitnum);
    if (need > bar->unitnum) {
        auto* words = static_cast<uint64_t*>(kzalloc(sizeof(uint64_t) * (size_t)need));
        if (!words) return false;
        if (bar->bitarr) {
            memcpy(words, bar->bitarr, sizeof(uint64_t) * (size_t)bar->unitnum);
            kfree(bar->bitarr);
        }
        bar->bitarr = words;
        bar->unitnum = need;
    }
    int old = bar->bitnum;
    clear_from(bar, bitnum < old ? bitnum : old);
    bar->bitnum = (uint32_t)bitnum;
    return true;
}

/* Checks the arguments of a one-bit operation and makes index i valid:
 * 0, or the result to return (-1 NULL, -2 negative, -100 cannot grow). */
int reach(bitarr_t* bar, int i)
{
    if (!bar) return -1;
    if (i < 0) return -2;
    if (i < (int)bar->bitnum) return 0;
    return i != INT_MAX && set_size(bar, i + 1) ? 0 : -100;
}

} // namespace

int bitarr_init(bitarr_t* bar, int bitnum)
{
    if (!bar) return -1;
    if (bitnum < 0) return -2;
    bar->alloc = 0;
    bar->bitnum = 0;
    bar->unitnum = 0;
    bar->bitarr = nullptr;
    return set_size(bar, bitnum) ? 0 : -100;
}

bitarr_t* bitarr_alloc(int bitnum)
{
    if (bitnum < 0) return nullptr;
    auto* bar = static_cast<bitarr_t*>(kzalloc(sizeof(bitarr_t)));
    if (!bar) return nullptr;
    if (!set_size(bar, bitnum)) {
        kfree(bar);
        return nullptr;
    }
    bar->alloc = 1;
    return bar;
}

bitarr_t* bitarr_resize(bitarr_t* bar, int bitnum)
{
    if (!bar) return bitarr_alloc(bitnum);
    if (bitnum < 0) return nullptr;
    if ((int)bar->bitnum == bitnum) return bar;
    return set_size(bar, bitnum) ? bar : nullptr;
}

void bitarr_free(bitarr_t* bar)
{
    if (!bar) return;
    kfree(bar->bitarr);
    if (bar->alloc) {
        kfree(bar);
        return;
    }
    bar->bitarr = nullptr;
    bar->unitnum = 0;
    bar->bitnum = 0;
}

int bitarr_set(bitarr_t* bar, int i)
{
    if (int r = reach(bar, i)) return r;
    bar->bitarr[i / BITS] |= UINT64_C(1) << (i % BITS);
    return 0;
}

int bitarr_unset(bitarr_t* bar, int i)
{
    if (int r = reach(bar, i)) return r;
    bar->bitarr[i / BITS] &= ~(UINT64_C(1) << (i % BITS));
    return 0;
}

int bitarr_get(bitarr_t* bar, int i)
{
    if (int r = reach(bar, i)) return r;
    return (int)((bar->bitarr[i / BITS] >> (i % BITS)) & 1);
}

int bitarr_left(bitarr_t* bar, int n)
{
    if (!bar) return -1;
    if (n < 0) return -2;
    if (n == 0) return 0;
    if (n >= (int)bar->bitnum) return bitarr_zero(bar);

    uint64_t* w = bar->bitarr;
    int nw = used_words(bar);
    int ws = n / BITS, bs = n % BITS;
    for (int k = nw - 1; k >= 0; k--) {
        uint64_t v = 0;
        if (k >= ws) {
            v = w[k - ws] << bs;
            if (bs && k - ws - 1 >= 0) v |= w[k - ws - 1] >> (BITS - bs);
        }
        w[k] = v;
    }
    /* drop what was pushed past the size */
    clear_from(bar, bar->bitnum);
    return 0;
}

int bitarr_right(bitarr_t* bar, int n)
{
    if (!bar) return -1;
    if (n < 0) return -2;
    if (n == 0) return 0;
    if (n >= (int)bar->bitnum) return bitarr_zero(bar);

    uint64_t* w = bar->bitarr;
    int nw = used_words(bar);
    int ws = n / BITS, bs = n % BITS;
    for (int k = 0; k < nw; k++) {
        uint64_t v = 0;
        if (k + ws < nw) {
            v = w[k + ws] >> bs;
            if (bs && k + ws + 1 < nw) v |= w[k + ws + 1] << (BITS - bs);
        }
        w[k] = v;
    }
    return 0;
}

namespace {

enum class Op { And, Or, Xor };

int combine(bitarr_t* dst, bitarr_t* src, Op op)
{
    if (!dst || !src) return -1;
    int m = dst->bitnum < src->bitnum ? (int)dst->bitnum : (int)src->bitnum;
    int full = m / BITS, r = m % BITS;
    uint64_t* d = dst->bitarr;
    const uint64_t* s = src->bitarr;
    auto apply = [op](uint64_t a, uint64_t b, uint64_t mask) -> uint64_t {
        switch (op) {
        case Op::And: return a & (b | ~mask);
        case Op::Or: return a | (b & mask);
        case Op::Xor: return a ^ (b & mask);
        }
        return a;
    };
    for (int k = 0; k < full; k++) d[k] = apply(d[k], s[k], ~UINT64_C(0));
    if (r) d[full] = apply(d[full], s[full], (UINT64_C(1) << r) - 1);
    return 0;
}

} // namespace

int bitarr_and(bitarr_t* dst, bitarr_t* src) { return combine(dst, src, Op::And); }
int bitarr_or(bitarr_t* dst, bitarr_t* src) { return combine(dst, src, Op::Or); }
int bitarr_xor(bitarr_t* dst, bitarr_t* src) { return combine(dst, src, Op::Xor); }

int bitarr_filled(bitarr_t* bar)
{
    if (!bar) return -1;
    int full = bar->bitnum / BITS, r = bar->bitnum % BITS;
    for (int k = 0; k < full; k++)
        if (bar->bitarr[k] != ~UINT64_C(0)) return 0;
    if (r) {
        uint64_t mask = (UINT64_C(1) << r) - 1;
        if ((bar->bitarr[full] & mask) != mask) return 0;
    }
    return 1;
}

int bitarr_zero(bitarr_t* bar)
{
    if (!bar) return -1;
    if (bar->bitarr) memset(bar->bitarr, 0, sizeof(uint64_t) * (size_t)bar->unitnum);
    return 0;
}

void bitarr_print(bitarr_t* bar)
{
    if (!bar) return;
    printf("bitarr: bitnum=%d  unitnum=%d\n", (int)bar->bitnum, bar->unitnum);
    printf("----|");
    for (int c = 0; c < 32; c++) {
        if (c % 8 == 0)
            printf("%-2d", c);
        else
            printf("--");
    }
    printf("\n");
    int n = bar->bitnum;
    for (int i = 0; i < n; i++) {
        if (i % 32 == 0) {
            if (i) printf("\n");
            printf(" %-2d |", i / 32);
        }
        printf("%d ", (int)((bar->bitarr[i / BITS] >> (i % BITS)) & 1));
    }
    if (n) printf("\n");
}

uint32_t bit_mask_get(const uint32_t* map, int c)
{
    if (!map) return 0;
    c &= 0xFF;
    return map[c / 32] & (UINT32_C(1) << (c % 32));
}

void bit_mask_set(uint32_t* map, int c)
{
    if (!map) return;
    c &= 0xFF;
    map[c / 32] |= UINT32_C(1) << (c % 32);
}

void bit_mask_unset(uint32_t* map, int c)
{
    if (!map) return;
    c &= 0xFF;
    map[c / 32] &= ~(UINT32_C(1) << (c % 32));
}
