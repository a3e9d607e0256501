/* Read-ahead window over a large file or a caller's source.
 *
 * The source is cut into fixed-size packs; a ring of pack buffers holds a
 * window of consecutive packs around the read position. Readers get bytes by
 * position, by sequential read or by skipping to delimiters. Packs are loaded
 * by whichever thread asks (a reader, or a loader thread calling
 * file_cache_load_all); a reader that meets a pack still being loaded waits
 * for it briefly and reloads it itself when the load does not finish.
 *
 * Setting up (init, setbuf, setfile, setcdn, prefix ratio, buffering size)
 * and cleaning are single-threaded; reads, seeks, scans and loads may run on
 * several threads at once. */
#ifndef KORVID_FILECACHE_H
#define KORVID_FILECACHE_H

#include <stdint.h>

#include "bpool.h"
#include "dynarr.h"
#include "mthread.h"
#include "nativefile.h"

/* Fills `buf` with at most *len bytes of the source from `offset`; returns
 * the bytes filled (also in *len), negative on failure. */
typedef long (*FileCacheRead)(void* pmedia, void* buf, long* len, int64_t offset);

struct file_cache;

typedef struct file_pack {
    void*              res[2];     /* links, free for the owner's lists */
    struct file_cache* cache;
    int                index;      /* slot in the ring */
    uint8_t*           pbyte;      /* its part of the cache buffer */
    int                length;     /* pack size, or the residual for the last pack */
    void*              unitarr[8]; /* bound units */
    int                unitnum;
    CRITICAL_SECTION   packCS;
    int64_t            packind;    /* pack number in the source; -1 none */
    uint8_t            state;      /* 0 empty, 1 loading, 3 loaded */
    int                rcvlen;     /* bytes filled so far */
} file_pack_t;

typedef struct file_cache {
    CRITICAL_SECTION cacheCS;      /* window state */
    CRITICAL_SECTION fpCS;         /* source access; held for a whole load */
    uint8_t       mediatype;       /* 1 local file, 2 caller's source */
    char          filename[64];
    NativeFile*   hfile;
    void*         pmedia;
    FileCacheRead cdnread;
    int64_t       offset;          /* start of the cached range in the source */
    int64_t       length;          /* bytes of the source from `offset` */
    uint8_t       bufalloc;        /* 1 when the cache owns pbuf */
    uint8_t*      pbuf;
    int64_t       buflen;
    int64_t       actlen;          /* packnum x packsize */
    int           packsize;
    int           packnum;
    arr_t*        pack_list;       /* the ring of file_pack_t* */
    float         prefix_ratio;
    int           prefix;          /* packs kept before the read position */
    int           suffix;          /* packs kept from the read position on */
    int64_t       packtotal;
    int           residual;        /* bytes of the last pack */
    int64_t       bgn_pack;        /* first pack of the window */
    int64_t       bgn_pack_max;
    int64_t       seek_pack;       /* pack of the read position */
    int64_t       seekpos;         /* read position */
    bpool_t*      pack_pool;       /* pack records */
    int64_t       bufsize;         /* buffering target in bytes */
    int           bufpack;         /* and in packs */
    int64_t       totalread;
    int64_t       failread;
    void*         avail_event;     /* set when a pack becomes ready */
} file_cache_t;

/* packsize below 1 means 8192; packnum >= 1 allocates packnum x packsize
 * bytes owned by the cache (otherwise give a buffer with file_cache_setbuf). */
file_cache_t* file_cache_init(int packnum, int packsize);
/* Uses the caller's buffer: 0, -1 NULL cache, -2 no buffer, -3 empty,
 * -4 pack size larger than the buffer. packsize below 1 keeps the current one. */
int  file_cache_setbuf(file_cache_t* cache, void* buf, int64_t len, int packsize);
int  file_cache_clean(file_cache_t* cache);
int  file_cache_set_prefix_ratio(file_cache_t* cache, float ratio);
int  file_cache_buffering_size(file_cache_t* cache, int64_t bytes);

/* Sources; both rebuild the window. setfile: 0, -1 NULL, -100 cannot open. */
int  file_cache_setfile(file_cache_t* cache, const char* path, int64_t offset);
int  file_cache_setcdn(file_cache_t* cache, void* pmedia, int64_t offset, int64_t length,
                       FileCacheRead cdnread);
int  file_cache_packlist_prepare(file_cache_t* cache);

/* Moves the read position (clamped to the last byte) and loads up to 8
 * packs; returns the new position, -1 NULL cache or empty source. */
int64_t file_cache_seek(file_cache_t* cache, int64_t pos);
int64_t file_cache_seek_to(file_cache_t* cache, int64_t pos); /* without loading */
/* The byte at `pos`: -1 beyond the end, -200 not available, -201 no pack. */
int  file_cache_at(file_cache_t* cache, int64_t pos);
/* Copy from the read position and advance it: bytes copied, -200 at the end,
 * -1 bad arguments. read waits for packs being loaded unless nowait; recv
 * waits at most waitms in total. */
long file_cache_read(file_cache_t* cache, void* buf, long len, int nowait);
long file_cache_recv(file_cache_t* cache, void* buf, long len, int waitms);

/* Scanners: at most `limit` bytes (negative: to the end); a NULL or empty set
 * returns `pos`; -1 NULL cache; -200 when a byte cannot be had. */
int64_t file_cache_skip_over(file_cache_t* cache, int64_t pos, int64_t limit, const char* set, int setlen);
int64_t file_cache_rskip_over(file_cache_t* cache, int64_t pos, int64_t limit, const char* set, int setlen);
int64_t file_cache_skip_to(file_cache_t* cache, int64_t pos, int64_t limit, const char* set, int setlen);
int64_t file_cache_rskip_to(file_cache_t* cache, int64_t pos, int64_t limit, const char* set, int setlen);
int64_t file_cache_skip_esc_to(file_cache_t* cache, int64_t pos, int64_t limit, const char* set, int setlen);
int64_t file_cache_skip_quote_to(file_cache_t* cache, int64_t pos, int64_t limit, const char* set, int setlen);

int      file_cache_eof(file_cache_t* cache);
int64_t  file_cache_filesize(file_cache_t* cache);
int64_t  file_cache_offset(file_cache_t* cache);
int      file_cache_packsize(file_cache_t* cache);
int      file_cache_packnum(file_cache_t* cache);
int64_t  file_cache_readpos(file_cache_t* cache);
int      file_cache_filled(file_cache_t* cache); /* 1 when every pack of the window is loaded */
/* Loaded bytes contiguous from the read position (*packs: packs they span). */
int64_t  file_cache_len(file_cache_t* cache, int* packs);
/* The byte at the read position, NULL when its pack is not loaded. Valid
 * until the read position moves. */
uint8_t* file_cache_ptr(file_cache_t* cache);
int      file_cache_buffering_ratio(file_cache_t* cache, int* percent);

/* Loads empty packs of the window from the read position on, at most 8;
 * returns how many were loaded. */
int  file_cache_load_all(file_cache_t* cache);
int  file_cache_load_one(file_cache_t* cache); /* 1 when an empty pack was loaded */

/* Pack records. */
int          file_pack_init(file_pack_t* pack, file_cache_t* cache);
int          file_pack_free(file_pack_t* pack);
file_pack_t* file_pack_fetch(file_cache_t* cache);
int          file_pack_recycle(file_pack_t* pack);
uint8_t*     file_pack_buf(file_pack_t* pack);
int          file_pack_size(file_pack_t* pack);
int          file_pack_len(file_pack_t* pack);
int          file_pack_exit_load(file_pack_t* pack);
int          file_pack_state_to(file_pack_t* pack, int state);
int          file_pack_ready_notify(file_pack_t* pack);
/* 0; -100 already bound; -200 when 5 units are bound already. */
int          file_pack_bind_unit(file_pack_t* pack, void* unit);
int          file_pack_unbind_unit(file_pack_t* pack, void* unit);
int          file_pack_unbind_all(file_pack_t* pack);
/* Loads the pack from the source now (waiting for a load in progress). */
int          file_pack_reload(file_pack_t* pack);

#endif
