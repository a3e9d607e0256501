/* Single-pattern search over bytes and text: shift-and (bit-parallel),
 * Knuth-Morris-Pratt forwards and backwards, Boyer-Moore over memory and
 * over files, and Sunday's quick search over one buffer or over a text made
 * of several segments.
 *
 * Each method has a pattern vector that can be built once and handed to many
 * searches; a search given none (or one built for another pattern, case mode
 * or direction) builds its own and frees it before returning.
 * "_string" searches ignore ASCII case (A-Z fold to a-z); "_bytes" searches
 * compare exactly. Lengths below 0 mean "up to the terminating NUL". */
#ifndef KORVID_PATMAT_H
#define KORVID_PATMAT_H

#include <stdint.h>

#include "arfifo.h"
#include "bitarr.h"
#include "fileop.h"

/* Vector types; any other value given to an allocator means 0. */
#define PAT_VEC_BYTES 0 /* exact bytes */
#define PAT_VEC_ASCII 1 /* exact 7-bit characters */
#define PAT_VEC_NOCASE 2 /* ASCII case folded */

/* Shift-and vector: bitvec[c] has bit i set when pattern byte i matches c.
 * Types 1 and 2 cover byte values 0..126 only (veclen 127): their allocator
 * refuses a pattern holding a larger byte, and a larger text byte never
 * matches. Use type 0 for such patterns. */
typedef struct pattern_bitvector_s {
    uint8_t   vectype;
    bitarr_t* bitvec; /* veclen arrays of patlen bits */
    int       veclen; /* 256 for type 0, 127 for types 1 and 2 */
    uint8_t*  pattern;
    int       patlen;
} pat_bitvec_t;

typedef struct pattern_kmpvector_s {
    uint32_t vectype : 3;
    uint32_t reverse : 1; /* built over the reversed pattern, for kmp_rfind_* */
    uint32_t patlen : 28;
    uint8_t* pattern;
    int*     failvec; /* per byte: end of the longest proper border, -1 none */
} pat_kmpvec_t;

typedef struct pattern_bmvector_s {
    uint32_t vectype : 3;
    uint32_t reverse : 1;
    uint32_t patlen : 28;
    uint8_t* pattern;
    int      badch[256];
    int*     goodsuff; /* per pattern byte */
} pat_bmvec_t;

typedef struct pattern_sunvector_s {
    uint32_t vectype : 3;
    uint32_t reverse : 1;
    uint32_t patlen : 28;
    uint8_t* pattern;
    int      chloc[256]; /* last index of each byte in the pattern, -1 absent */
} pat_sunvec_t;

/* Vectors: NULL for an empty pattern or when memory is exhausted. */
pat_bitvec_t* pat_bitvec_alloc(const void* pattern, int len, int vectype);
void          pat_bitvec_free(pat_bitvec_t* vec);
pat_kmpvec_t* pat_kmpvec_alloc(const void* pattern, int len, int vectype, int reverse);
void          pat_kmpvec_free(pat_kmpvec_t* vec);
pat_bmvec_t*  pat_bmvec_alloc(const void* pattern, int len, int vectype);
void          pat_bmvec_free(pat_bmvec_t* vec);
pat_sunvec_t* pat_sunvec_alloc(const void* pattern, int len, int vectype);
void          pat_sunvec_free(pat_sunvec_t* vec);

/* Searches over memory: the first match in the text (kmp_rfind_*: the last),
 * or NULL. A null or empty text or pattern, or a text shorter than the
 * pattern, gives NULL. */
void* shift_and_find(const void* text, int textlen, const void* pattern, int patlen,
                     pat_bitvec_t* vec);
char* shift_and_find_string(const char* text, int textlen, const char* pattern, int patlen,
                            pat_bitvec_t* vec);
void* kmp_find_bytes(const void* text, int textlen, const void* pattern, int patlen,
                     pat_kmpvec_t* vec);
char* kmp_find_string(const char* text, int textlen, const char* pattern, int patlen,
                      pat_kmpvec_t* vec);
void* kmp_rfind_bytes(const void* text, int textlen, const void* pattern, int patlen,
                      pat_kmpvec_t* vec);
char* kmp_rfind_string(const char* text, int textlen, const char* pattern, int patlen,
                       pat_kmpvec_t* vec);
void* bm_find_bytes(const void* text, int textlen, const void* pattern, int patlen,
                    pat_bmvec_t* vec);
char* bm_find_string(const char* text, int textlen, const char* pattern, int patlen,
                     pat_bmvec_t* vec);
void* sun_find_bytes(const void* text, int textlen, const void* pattern, int patlen,
                     pat_sunvec_t* vec);
char* sun_find_string(const char* text, int textlen, const char* pattern, int patlen,
                      pat_sunvec_t* vec);

/* Boyer-Moore over a file: the offset of the first match at or after
 * `offset`, or -1 when there is none. With a FIFO every match offset is
 * pushed to it (as (void*)(intptr_t)offset, so offset 0 is a null item: count
 * with ar_fifo_num) and the search goes on to the end.
 * bm_find_file: -1 bad arguments, -2 file not readable, -3 offset at or past
 * the end or pattern longer than the file, -4 no vector.
 * bm_find_filebuf: -1 bad arguments, -2 range (as -3 above), -3 no vector.
 * Fewer bytes than the pattern left after offset: -1 (no match).
 * Both: -100 when the FIFO cannot take a match. A read error ends the search
 * with what was found before it. */
int64_t bm_find_file(const char* path, int64_t offset, const void* pattern, int patlen,
                     int ignorecase, pat_bmvec_t* vec, arfifo_t* fifo);
int64_t bm_find_filebuf(fbuf_t* filebuf, int64_t offset, const void* pattern, int patlen,
                        int ignorecase, pat_bmvec_t* vec, arfifo_t* fifo);

/* A text held in several segments. Only segments with a pointer and a
 * positive length hold text; positions count across them. */
typedef struct mstr_s {
    uint8_t** pbyte; /* the caller's array of segment pointers */
    int*      plen;  /* the caller's array of segment lengths */
    uint32_t  num : 30;
    uint32_t  alloc : 1; /* record allocated by mstr_init */
    int64_t   len;
} mstr_t;

/* NULL record: one is allocated. NULL when memory is exhausted or num < 0. */
mstr_t*  mstr_init(mstr_t* m, uint8_t** segments, int* lengths, int num);
int64_t  mstr_len(mstr_t* m); /* -1 for NULL */
/* Byte at a total position; *seg (when given) gets its segment index.
 * -1 NULL record, -2 position out of range, -3 no segments. */
int      mstr_char(mstr_t* m, int64_t pos, int* seg);
uint8_t* mstr_p(mstr_t* m, int64_t pos, int* seg); /* NULL when mstr_char fails */
void     mstr_free(mstr_t* m);

/* Sunday search across segments: the match start inside its segment, with
 * that segment's index in *seg; NULL when there is no match. */
uint8_t* sun_find_mbytes(uint8_t** segments, int* lengths, int num, const void* pattern,
                         int patlen, pat_sunvec_t* vec, int* seg);
uint8_t* sun_find_mstring(uint8_t** segments, int* lengths, int num, const char* pattern,
                          int patlen, pat_sunvec_t* vec, int* seg);

#endif
