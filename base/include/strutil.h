/* Byte-string routines of the base library: bounded copies, comparisons,
 * trimming, number parsing, counted strings, searches, time texts, escaping
 * and encoding into caller buffers, delimiter skipping, tokenising, random
 * strings and character-set conversion.
 *
 * Texts are bytes. A length argument below 0 means "up to the terminating
 * NUL"; a length of 0 is an empty input. A null text or an empty input gives
 * the routine's neutral result (0, NULL or the input pointer). No routine
 * keeps state or takes a lock (GetRandStr draws from the process's rand()). */
#ifndef KORVID_STRUTIL_H
#define KORVID_STRUTIL_H

#include <stdint.h>
#include <time.h>

#include "hashtab.h" /* ckstr_t: the counted string {p, len} */

/* ---- copy, length and duplicates ---- */

int   str_len(const void* text);
/* Copies src with its NUL; returns a pointer to the NUL written (NULL for a null dst). */
char* str_cpy(char* dst, const char* src);
/* Copies at most n bytes, stopping after a copied NUL; terminates when n bytes
 * went without one. Returns a pointer to the NUL written. */
char* str_ncpy(char* dst, const char* src, int n);
/* Copies at most min(dstlen, srclen) characters and always a NUL after them:
 * dst must hold dstlen + 1 bytes. Returns the characters copied. */
int   str_secpy(void* dst, int dstlen, const void* src, int srclen);
char* str_cat(char* dst, const char* src);
char* str_ncat(char* dst, const char* src, int n);
/* Appends at most min(dstlen, srclen) characters after dst's text and
 * terminates: dstlen counts the characters that may still be added, so dst
 * holds strlen(dst) + dstlen + 1 bytes. */
char* str_secat(char* dst, int dstlen, const void* src, int srclen);
/* Heap copy (kalloc) of len bytes plus a NUL; NULL for null or empty input. */
char* str_dup(const void* text, int len);
/* Copies min(dstlen, srclen) bytes; -1 null dst or dstlen < 1, -2 null src. */
int   secure_memcpy(void* dst, int dstlen, const void* src, int srclen);
/* Copy that is correct for overlapping areas; returns len. */
long  sec_memcpy(void* dst, const void* src, long len);

/* ---- comparisons: 0 equal, <0 when the first sorts first ---- */

int str_cmp(const char* s1, const char* s2);
int str_ncmp(const char* s1, const char* s2, int n);
int str_casecmp(const char* s1, const char* s2);
int str_ncasecmp(const char* s1, const char* s2, int n);

ckstr_t* ckstr_new(const char* p, int len);
void     ckstr_free(ckstr_t* ck);
int      ckstr_cmp(const ckstr_t* a, const ckstr_t* b);
int      ckstr_casecmp(const ckstr_t* a, const ckstr_t* b);

/* ---- trimming and case (white space: space and bytes 9..13) ---- */

char* str_trim_head(char* text);
char* str_trim_tail(char* text);
char* str_trim(char* text);
/* Without changing the text: pointer to the first byte that is neither white
 * space nor in set; *plen = length up to and including the last such byte. */
char* string_trim(const void* text, int len, const void* set, int setlen, int* plen);
int   string_tolower(void* text, int len);
int   string_toupper(void* text, int len);
/* Hex digit character of 0..15; '.' for anything else. */
char  toHex(int value, int upper);

/* ---- numbers: each returns the characters consumed ---- */

int  str_atoi(const void* text, int len, int* pval);
int  str_atou(const void* text, int len, uint32_t* pval);
int  str_hextoi(const void* text, int len, int* pval);
int  str_hextou(const void* text, int len, uint32_t* pval);
/* Optional blanks and sign, then digits 0-9a-fA-F in the given base (< 2: 10);
 * returns the value and sets *pterm to the first byte not used. */
long str_to_int(const void* text, int len, int base, char** pterm);
/* Multi-byte integer: 7 bits per byte, most significant first, high bit on
 * every byte but the last, at most 5 bytes. */
int  str_mbi2uint(const void* bytes, int len, uint32_t* pval);
int  str_uint2mbi(uint32_t value, void* bytes);

/* ---- time texts ---- */

/* GMT: fmt 0 "Sun, 06 Nov 1994 08:49:37 GMT", else "Sunday, 06-Nov-1994 08:49:37 GMT". */
int    str_time2gmt(const time_t* t, char* buf, int len, int fmt);
/* Local "YYYY-MM-DD hh:mm:ss", or "YYYY-MM-DD" when fmt is non-zero. */
int    str_datetime(const time_t* t, char* buf, int len, int fmt);
time_t str_gmt2time(const char* text, int len, time_t* ptm);

/* ---- searches: pointer to the match or NULL ---- */

char* str_str2(const char* text, int len, const char* sub, int sublen);
char* str_str(const char* text, int len, const char* sub, int sublen);
void* str_rk_find(const void* bytes, int len, const void* pattern, int patlen);
void* str_find_bytes(const void* bytes, int len, const void* pattern, int patlen);
/* Last occurrence whose last byte lies at or before index pos. */
void* str_rfind_bytes(const void* bytes, int pos, const void* pattern, int patlen);

/* ---- skipping: pointer into the text ---- */

char* skipTo(const void* p, int len, const void* set, int setlen);
char* skipOver(const void* p, int len, const void* set, int setlen);
/* Backwards from p (its last byte) over len bytes; p - len when nothing found. */
char* rskipTo(const void* p, int len, const void* set, int setlen);
char* rskipOver(const void* p, int len, const void* set, int setlen);
char* skipEscTo(const void* p, int len, const void* set, int setlen);
char* skipQuoteTo(const void* p, int len, const void* set, int setlen);
char* skipToPeer(const void* p, int len, int leftch, int rightch);

/* ---- buffer encoders ---- */

int   bin_to_ascii(const void* src, int binlen, void* dst, int* asclen, int uppercase);
int   ascii_to_bin(const void* src, int len, void* dst, int* binlen);
int   bin_to_base64(const void* src, int binlen, void* dst, int* asclen);
int   base64_to_bin(const void* src, int len, void* dst, int* binlen);
int   string_escape(const void* src, int len, const void* set, int setlen, void* dst, int dstlen);
int   string_strip(const void* src, int len, const void* set, int setlen, void* dst, int dstlen);
char* string_strip_dup(const void* src, int len, const void* set, int setlen);
int   json_escape(const void* src, int size, void* dst, int dstlen);
int   json_strip(const void* src, int size, void* dst, int dstlen);
char* json_strip_dup(const void* src, int size);
/* Returns the length the whole encoding needs; writes the units that fit. */
int   uri_encode(const void* src, int size, void* dst, int dstlen, int type);
/* Writes what fits and a NUL (dst holds dstlen + 1); returns the whole decoded length. */
int   uri_decode(const void* src, int size, void* dst, int dstlen);
int   html_escape(const void* src, int size, void* dst, int dstlen);

/* ---- other ---- */

int str_value_by_key(const void* text, int len, const char* key, void** pval, int* vallen);
int string_tokenize(const void* text, int len, const void* sep, int seplen,
                    void** list, int* lens, int max);
int GetRandStr(void* buf, int size, int type);
int conv_charset(const char* fromcode, const char* tocode, const void* src, int srclen,
                 void* dst, int* dstlen);

/* ---- encoding core shared by the buffer encoders above and the frame encoders ----
 *
 * The escaping rules write through a sink. A unit (one output byte or one
 * escape sequence) goes in whole or not at all; once a unit does not fit the
 * sink stops writing but keeps counting. A sink without a buffer only counts.
 * A sink with a drain hands its buffer on (to a frame) whenever it holds more
 * than drain_above bytes; a failing drain stops the sink. */
typedef struct EncSink_ {
    uint8_t* buf;         /* output area, NULL: count only */
    int      room;        /* bytes buf can take */
    int      used;        /* bytes in buf now */
    int      total;       /* bytes of every unit offered, fitting or not */
    int      moved;       /* bytes handed on by the drain */
    int      stopped;     /* set when a unit did not fit or the drain failed */
    int      drain_above; /* drain when used exceeds this */
    int    (*drain)(struct EncSink_* s); /* 0, or -1 to stop */
    void*    ctx;         /* the drain's own data */
} encsink_t;

void encsink_init(encsink_t* s, void* buf, int room);
/* Offers one unit; 0 when written (or counted), -1 when the sink is stopped. */
int  encsink_put(encsink_t* s, const void* unit, int n);
/* Drains what is still buffered; returns the bytes written in all. */
int  encsink_finish(encsink_t* s);

/* Escape vector of the URI encoding types 0..6 (eight words, bit c%32 of word
 * c/32 set when byte c is escaped); type 0 for unknown types. */
const uint32_t* uri_escape_vector(int type);

void enc_slash_add(const uint8_t* src, int len, const uint8_t* set, int setlen, encsink_t* s);
void enc_slash_strip(const uint8_t* src, int len, const uint8_t* set, int setlen, encsink_t* s);
void enc_json_escape(const uint8_t* src, int len, encsink_t* s);
void enc_json_unescape(const uint8_t* src, int len, encsink_t* s);
void enc_uri_encode(const uint8_t* src, int len, const uint32_t* escvec, encsink_t* s);
void enc_uri_decode(const uint8_t* src, int len, encsink_t* s);
void enc_html_escape(const uint8_t* src, int len, encsink_t* s);

/* Fixed-size codings write straight into dst. */
/* Base64 of len bytes: 4*ceil(len/3) characters, no terminator. Groups are
 * converted last to first, so dst may equal src (in-place encoding). */
int  enc_base64(const uint8_t* src, int len, uint8_t* dst);
/* Decodes up to 3*ceil(len/4) bytes, forwards, so dst may equal src.
 * *skipped is set to 1 when a character other than white space was skipped
 * or a lone final symbol dropped. */
int  enc_base64_decode(const uint8_t* src, int len, uint8_t* dst, int* skipped);
/* Two hex digits per byte, high nibble first. */
void enc_hex(const uint8_t* src, int len, uint8_t* dst, int upper);
/* One byte per digit pair (an odd last digit dropped); *nbytes receives the
 * bytes written; -100 at the first non-digit, else the byte count. */
int  enc_hex_decode(const uint8_t* src, int len, uint8_t* dst, int* nbytes);

#endif
