/* Growable array of bits in 64-bit words, with whole-array shifts and
 * bitwise combination; plus a fixed 256-bit map of byte values.
 * Bit i is bit (i % 64) of word i / 64; storage bits at or above `bitnum`
 * are always 0. No lock. */
#ifndef KORVID_BITARR_H
#define KORVID_BITARR_H

#include <stdint.h>

typedef struct bit_arr_s {
    uint32_t  alloc : 1;   /* header allocated here: bitarr_free releases it */
    uint32_t  bitnum : 31; /* size in bits */
    int       unitnum;     /* 64-bit words allocated */
    uint64_t* bitarr;
} bitarr_t;

/* NULL when memory is exhausted or bitnum is negative. */
bitarr_t* bitarr_alloc(int bitnum);
/* Prepares a caller's header: 0; -1 NULL; -2 negative size; -100 no memory. */
int       bitarr_init(bitarr_t* bar, int bitnum);
/* NULL bar: as bitarr_alloc. Returns the array, NULL when growth fails
 * (the array is then left as it was). */
bitarr_t* bitarr_resize(bitarr_t* bar, int bitnum);
void      bitarr_free(bitarr_t* bar);

/* An index at or past the size grows the array first (new bits 0).
 * 0 (or the bit for get); -1 NULL; -2 negative index; -100 growth failed. */
int bitarr_set(bitarr_t* bar, int i);
int bitarr_unset(bitarr_t* bar, int i);
int bitarr_get(bitarr_t* bar, int i);

/* Bit i moves to i + n (left) or i - n (right); vacated bits are 0.
 * 0; -1 NULL; -2 negative n. */
int bitarr_left(bitarr_t* bar, int n);
int bitarr_right(bitarr_t* bar, int n);

/* Combine src into dst over the bits both have; sizes never change.
 * 0; -1 for a null argument. */
int bitarr_and(bitarr_t* dst, bitarr_t* src);
int bitarr_or(bitarr_t* dst, bitarr_t* src);
int bitarr_xor(bitarr_t* dst, bitarr_t* src);

int  bitarr_filled(bitarr_t* bar); /* 1 every bit set (also for size 0), 0, -1 NULL */
int  bitarr_zero(bitarr_t* bar);
void bitarr_print(bitarr_t* bar);

/* 256-bit map of byte values: eight uint32 words, byte c in bit c % 32 of
 * word c / 32. Only the low 8 bits of c count. */
uint32_t bit_mask_get(const uint32_t* map, int c);
void     bit_mask_set(uint32_t* map, int c);
void     bit_mask_unset(uint32_t* map, int c);

#endif
