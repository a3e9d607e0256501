/* Growable byte frame: a heap block with a run of content somewhere inside
 * it, head room before and tail room after, so bytes can be added or taken
 * at either end without moving the rest in the common case.
 *
 * Blocks grow in steps of 128 bytes and always keep one spare byte after
 * `size` for a terminator. Whenever the last content byte goes the frame is
 * reset (start 0, len 0, next NULL; the block stays). When memory runs out
 * a growth keeps the old block and content and the addition is refused.
 * A frame has no lock: one owner uses it at a time.
 *
 * The second half moves frames to and from files and TCP sockets and
 * converts bytes into a frame under a text encoding; the encoding rules are
 * the ones the buffer encoders of strutil use. */
#ifndef KORVID_FRAME_H
#define KORVID_FRAME_H

#include <stdint.h>
#include <stdio.h>
#include <time.h>

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

/* ---- files (reads refuse more than 64 MiB; exactly 64 MiB is accepted) ---- */

#define FRAME_FILE_MAX 67108864L

/* Appends the whole file (opened read-only): the bytes read, 0 when it cannot
 * be opened (or no room can be made); -1 null argument, -2 no file status,
 * -100 larger than 64 MiB. */
int frame_file_load(frame_p frame, const char* path);
/* Writes the content to a new file: the bytes written; -1 null or empty
 * frame, null path, open failure, or a write that failed (disk full). */
int frame_file_dump(frame_p frame, const char* path);
/* Seeks to fpos when fpos >= 0 (-101 on failure), then appends up to flen
 * bytes: the bytes read, or the read's result when below 1; -1 null argument
 * or no room, -100 flen above 64 MiB. */
int frame_file_read(frame_p frame, FILE* fp, long fpos, long flen);
/* Seeks when fpos >= 0 (-101) and writes the content: the bytes written;
 * -1 null or empty frame, null FILE, or a write the stream reports failed. */
int frame_file_write(frame_p frame, FILE* fp, long fpos);
/* The same on a descriptor (lseek from the start); -1 also for fd < 0. */
int frame_filefd_read(frame_p frame, int fd, long fpos, long flen);
int frame_filefd_write(frame_p frame, int fd, long fpos);

/* ---- TCP transfers: *actnum (when given) is set to 0 on entry and receives
 * the bytes moved; -20 peer closed, -30 error, -70 descriptor -1 ---- */

/* Appends what arrives within waitms (<= 0: no limit): the total, 0 on
 * time-out (bytes received so far stay appended, see actnum), -20, -30,
 * -70; 0 for a null frame. */
int frame_tcp_recv(frame_p frame, int fd, int waitms, int* actnum);
/* Sends the content (it stays): bytes sent, 0 on time-out, -30, -70; 0 for
 * a null or empty frame. */
int frame_tcp_send(frame_p frame, int fd, int waitms, int* actnum);
/* Non-blocking receive straight into the tail when the amount waiting is
 * known: bytes appended, -20, -30, -1 fd -1, -2 null frame. */
int frame_tcp_nbzc_recv(frame_p frame, int fd, int* actnum, int* perr);
/* Non-blocking drain of the socket (a null frame drops the data): bytes
 * received, -20 (after appending what came first), -30, -1 fd -1. */
int frame_tcp_nb_recv(frame_p frame, int fd, int* actnum, int* perr);
/* Non-blocking send of the content (it stays): bytes sent, -30, -1 fd -1;
 * 0 for a null or empty frame. */
int frame_tcp_nb_send(frame_p frame, int fd, int* actnum);

/* ---- text encodings: they add at the tail unless said otherwise; a null
 * destination where allowed only counts ---- */

/* Base64 of src's content replaces dst's content, with a 0 byte after it
 * (dst null: in place). 0; -1 null src or no room; 0 for empty content. */
int frame_bin_to_base64(frame_p src, frame_p dst);
/* Decoded bytes replace dst's content, with a 0 byte after them (dst null:
 * in place). 0; -1 null src or no room. */
int frame_base64_to_bin(frame_p src, frame_p dst);
/* Appends two upper-case hex digits per byte: 0; -1 null or empty byte
 * frame or no room, -2 null text frame. */
int frame_bin_to_ascii(frame_p bytes, frame_p text);
/* Appends one byte per digit pair: 0; -100 at a non-digit (earlier bytes
 * stay); -1 null or empty text or no room, -2 null byte frame. */
int frame_ascii_to_bin(frame_p text, frame_p bytes);
/* Backslash escapes of the bytes in esc (lengths < 0: up to the NUL); bytes appended. */
int frame_slash_add(const void* src, int len, const void* esc, int chlen, frame_p dst);
int frame_slash_strip(const void* src, int len, const void* esc, int chlen, frame_p dst);
int frame_json_escape(const void* src, int len, frame_p dst);
int frame_json_unescape(const void* src, int size, frame_p dst);
/* Percent-encoding under an escape vector of eight words (NULL: the default
 * set); bytes appended (or needed for a null frame). */
int frame_uri_encode(frame_p frame, const void* src, int size, const uint32_t* escvec);
/* Bytes appended; -1 null frame, -2 null src. */
int frame_uri_decode(frame_p frame, const void* src, int size);
int frame_html_escape(const void* src, int len, frame_p dst);
/* Appends "YYYY-MM-DD hh:mm:ss" in local time (NULL: now; time 0 as
 * "0000-00-00 00:00:00"): 0, -1 null frame or a time that cannot be shown. */
int frame_add_time(frame_p frame, const time_t* curtm);

#endif
