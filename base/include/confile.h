/* INI-style configuration reader.
 *
 * Reads a text file of [sections] and key=value lines into memory, answers
 * typed lookups by section and key, changes values of existing keys and writes
 * the file back line by line in the order read, keeping blank lines, comments
 * and layout (spacing is normalised). Section names and keys are
 * case-insensitive; the first of duplicate keys or sections wins. A manager is
 * used by one thread at a time: there is no lock. */
#ifndef KORVID_CONFILE_H
#define KORVID_CONFILE_H

#include <stdint.h>

#include "dynarr.h"
#include "hashtab.h"

/* One physical line. cfgtype: 0 blank, 1 comment line, 2 [section],
 * 3 key=value, 4 [section] with an inline comment, 5 key=value with an
 * inline comment, 6 any other text (kept and written back as read). */
typedef struct cfg_line {
    int        line;    /* 0-based line number */
    char*      rawstr;  /* the trimmed line */
    uint8_t    cfgtype;
    char*      key;     /* key, or the section name of a header */
    char*      value;   /* NULL when empty */
    char*      comment; /* inline comment from its ';' or '#' */
    hashtab_t* htsect;  /* a header's key table */
} CFGLine;

typedef struct _ConfMgmt {
    char       confile[128];
    arr_t*     line_list;    /* CFGLine* in file order */
    CFGLine    default_sect; /* keys before the first header */
    hashtab_t* sect_table;   /* header lines by name */
} ConfMgmt;

/* NULL when the file is missing, cannot be read or memory runs out. */
ConfMgmt* conf_mgmt_init(const char* file);
/* Appends the lines of `file`: 0, -1 NULL manager, -2 NULL or missing file,
 * (or a name longer than 127 characters), -3 cannot be opened, -100 out of
 * memory. */
int conf_mgmt_read(ConfMgmt* conf, const char* file);
/* Writes every line to `file` (NULL: the file read), flushed and synced:
 * 0, -1 NULL manager, -3 cannot be opened for writing, -4 write failed. */
int conf_mgmt_save(ConfMgmt* conf, const char* file);
int conf_mgmt_cleanup(ConfMgmt* conf);

/* Lookups; `sect` NULL means the keys before the first header. */
char*    conf_get_string(ConfMgmt* conf, const char* sect, const char* key);
int      conf_get_int(ConfMgmt* conf, const char* sect, const char* key);       /* -1 missing */
uint32_t conf_get_ulong(ConfMgmt* conf, const char* sect, const char* key);     /* 0 missing */
long     conf_get_hexlong(ConfMgmt* conf, const char* sect, const char* key);   /* -1 missing */
double   conf_get_double(ConfMgmt* conf, const char* sect, const char* key);    /* 0.0 missing */
bool     conf_get_bool(ConfMgmt* conf, const char* sect, const char* key);      /* false missing */

/* Change the value of an existing key; never create sections or keys.
 * 0, -1 NULL manager or key, -2 no such section, -3 no such key,
 * -100 out of memory (value unchanged). */
int conf_set_string(ConfMgmt* conf, const char* sect, const char* key, const char* value);
int conf_set_int(ConfMgmt* conf, const char* sect, const char* key, int value);
int conf_set_ulong(ConfMgmt* conf, const char* sect, const char* key, uint32_t value);
int conf_set_hexlong(ConfMgmt* conf, const char* sect, const char* key, long value);
int conf_set_double(ConfMgmt* conf, const char* sect, const char* key, double value);
int conf_set_bool(ConfMgmt* conf, const char* sect, const char* key, bool value);

#endif
