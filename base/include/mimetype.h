/* MIME table: maps file extensions, MIME type texts and numeric MIME ids to
 * each other. A built-in table is indexed once into a process-wide manager;
 * callers can also make managers of their own rows.
 *
 * Extension and MIME-text lookups ignore ASCII case. Output texts point into
 * the matching row and are not released by the caller. */
#ifndef KORVID_MIMETYPE_H
#define KORVID_MIMETYPE_H

#include <stdint.h>

#include "dynarr.h"
#include "hashtab.h"

typedef struct mime_item {
    uint32_t mimeid;       /* the row's numeric id */
    uint32_t appid;        /* id of the document kind the row belongs to */
    char     extname[16];  /* extension with its leading '.', at most 15 */
    char     mime[96];     /* MIME type text, at most 95 */
} MimeItem;

typedef struct MimeMgmt_ {
    hashtab_t* mime_tab;     /* by extension */
    hashtab_t* mimeid_tab;   /* by id */
    hashtab_t* mimetype_tab; /* by MIME text */
    arr_t*     mime_list;    /* rows added at run time; NULL in the process-wide manager */
} MimeMgmt;

/* The built-in rows. */
extern const MimeItem g_mime[];
extern const int      g_mime_num;

/* The process-wide manager and whether it is built. */
extern MimeMgmt* g_mimemgmt;
extern int       g_mimemgmt_init;

/* Returns the process-wide manager, building it on the first call. */
MimeMgmt* mime_type_init(void);
/* Releases a manager; the process-wide one is built again by the next init. 0, -1 NULL. */
int       mime_type_clean(MimeMgmt* mgmt);

MimeMgmt* mime_type_alloc(int tabsize);
void      mime_type_free(MimeMgmt* mgmt);
/* 0; -1 NULL manager, -2 empty MIME text, -3 empty extension, -100 out of memory. */
int       mime_type_add(MimeMgmt* mgmt, const char* mime, const char* ext, uint32_t mimeid, uint32_t appid);

/* `ext`: an extension with its dot or any file name (its last '.' onward).
 * 0; -1 NULL manager, -2 NULL name, -100 no '.' or no match. */
int mime_type_get_by_extname(MimeMgmt* mgmt, const char* ext, const char** mime, uint32_t* mimeid,
                             uint32_t* appid);
/* 0; -1 NULL manager, -100 no match. */
int mime_type_get_by_mimeid(MimeMgmt* mgmt, uint32_t mimeid, const char** mime, const char** ext,
                            uint32_t* appid);
/* Parameters after the type ("text/html; charset=utf-8") are ignored.
 * 0; -1 NULL manager, -2 NULL text, -100 no match. */
int mime_type_get_by_mime(MimeMgmt* mgmt, const char* mime, const char** ext, uint32_t* mimeid,
                          uint32_t* appid);
/* By MIME text when given, else by id when non-zero, else by extension. */
MimeItem* mime_type_get(MimeMgmt* mgmt, const char* mime, uint32_t mimeid, const char* ext);

#endif
