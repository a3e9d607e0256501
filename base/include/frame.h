/* Growable byte frame: a heap block with a run of content somewhere inside
 * it, head room before and tail room after, so bytes can be added or taken
 * at either end without moving the rest in the common case.
 *
 * Blocks grow in steps of 128 bytes and always keep one spare byte after
 * `size` for a terminator. Whenever the last content byte goes the frame is
 * reset (start 0, len 0, next NULL; the block stays). When memory runs out
 * a growth keeps the old block and content and the addition is refused.
 * A frame has no lock: one owner uses it at a time. */
#ifndef KORVID_FRAME_H
#define KORVID_FRAME_H

#include <stdint.h>
#include <stdio.h>

typedef struct frame_s {
    uint8_t*        data;  /* size + 1 bytes, or NULL before the first allocation */
    int             size;  /* usable bytes of the block */
    int             start; /* offset of the first content byte (head room) */
    int             len;   /* content bytes; tail room = size - start - len */
    struct frame_s* next;  /* chain link; frame_free releases the whole chain */
} frame_t, *frame_p;

/* ---- life cycle and access ---- */

frame_p frame_new(int size);
void    frame_free(frame_p frame);
void    frame_delete(frame_p* pframe);
int     frame_size(frame_p frame);
/* Terminates the content with a 0 byte and returns it. */
char*   frame_string(frame_p frame);
void    frame_strip(frame_p frame);
void    frame_empty(frame_p frame);
frame_p frame_dup(frame_p frame);
/* Only shrinks: keeps the first min(len, size) content bytes at offset 0. */
frame_p frame_realloc(frame_p frame, int size);
/* Takes the caller's heap block (at least len + 1 bytes) as the content. */
int     frame_attach(frame_p frame, void* buf, int len);
void    frame_print(frame_p frame, FILE* fp, int start, int count, int margin);

/* ---- growing ---- */

void frame_grow(frame_p frame, int n);
void frame_grow_to(frame_p frame, int total);
void frame_grow_head(frame_p frame, int n);

/* ---- adding bytes ---- */

void frame_put_first(frame_p frame, uint8_t byte);
void frame_put_nfirst(frame_p frame, const void* bytes, int n);
void frame_put_last(frame_p frame, uint8_t byte);
void frame_put_nlast(frame_p frame, const void* bytes, int n);
void frame_put(frame_p frame, int pos, uint8_t byte);
void frame_putn(frame_p frame, int pos, const void* bytes, int n);
void frame_append(frame_p frame, const char* text);
void frame_prepend(frame_p frame, const char* text);
void frame_insert(frame_p frame, int pos, const char* text);
void frame_appendf(frame_p frame, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void frame_prependf(frame_p frame, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void frame_insertf(frame_p frame, int pos, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void frame_append_nbytes(frame_p frame, uint8_t byte, int n);
void frame_set(frame_p frame, int pos, uint8_t byte);
void frame_setn(frame_p frame, int pos, const void* bytes, int n);

/* ---- taking and reading bytes: -1 for a null frame, empty content, a null
 * buffer, a count below 1 or a position outside the content ---- */

int frame_get_first(frame_p frame);
int frame_get_last(frame_p frame);
int frame_get(frame_p frame, int pos);
int frame_get_nfirst(frame_p frame, void* buf, int n);
int frame_get_nlast(frame_p frame, void* buf, int n);
int frame_getn(frame_p frame, int pos, void* buf, int n);
int frame_read(frame_p frame, int pos);
int frame_readn(frame_p frame, int pos, void* buf, int n);

/* ---- deleting ---- */

void frame_del_first(frame_p frame, int n);
void frame_del_last(frame_p frame, int n);
void frame_del(frame_p frame, int pos, int n);
void frame_trunc(frame_p frame, int len);
/* 0; -1 for a null or empty frame, or when memory runs out. */
int  frame_replace(frame_p frame, int pos, int len, const void* bytes, int bytelen);

/* ---- search and bits ---- */

/* Content position of the first (backward: last) occurrence within len bytes
 * from pos (len < 0: to the end); -1 null frame or pos outside the content,
 * -2 null or empty pattern, -3 pattern longer than the range, -100 not found. */
int frame_search(frame_p frame, int pos, int len, const void* pattern, int patlen, int backward);
int frame_search_string(frame_p frame, int pos, int len, const char* pattern, int backward);
/* Number of replacements; -1 bad frame or pos, -2 bad pattern, negative
 * bytelen or pattern longer than the range, -100 nothing found. */
int frame_search_replace(frame_p frame, int pos, int len, const void* pattern, int patlen,
                         const void* bytes, int bytelen, int backward);
int frame_search_string_replace(frame_p frame, int pos, int len, const char* pattern,
                                const void* bytes, int bytelen, int backward);

/* Bit i is bit 7 - (i % 8) of content byte i / 8. */
int frame_bit_set(frame_p frame, int bitpos, int value);
int frame_bit_get(frame_p frame, int bitpos);
/* 0; -1 null or empty (or memory exhausted), -2 offset < 0. */
int frame_bit_shift_left(frame_p frame, int offset);
int frame_bit_shift_right(frame_p frame, int offset);

#endif
