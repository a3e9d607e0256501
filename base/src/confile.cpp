/* INI-style configuration reader: parse, typed lookups, in-place value
 * changes and a line-by-line write-back. */
#include "confile.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "memory.h"
#include "strutil.h"

namespace {

constexpr int kSectTableSize = 100;
constexpr int kKeyTableSize = 300;

int line_cmp(void* value, void* key)
{
    const char* k = ((CFGLine*)value)->key;
    if (!k || !key) return 1;
    return strcasecmp(k, (const char*)key);
}

bool is_blank(char c) { return c == ' ' || (c >= 9 && c <= 13); }

/* *out = heap copy of [b, e) without surrounding white space, NULL when that
 * is empty. Returns false only when memory runs out. */
bool dup_trimmed(const char* b, const char* e, char** out)
{
    while (b < e && is_blank(*b)) b++;
    while (e > b && is_blank(e[-1])) e--;
    *out = str_dup(b, (int)(e - b));
    return *out || e == b;
}

void free_line(CFGLine* l)
{
    if (!l) return;
    kfree(l->rawstr);
    kfree(l->key);
    kfree(l->value);
    kfree(l->comment);
    if (l->htsect) ht_free(l->htsect);
}

void free_line_item(void* p)
{
    free_line((CFGLine*)p);
    kfree(p);
}

/* Classifies a trimmed line and fills key, value and comment. Returns false
 * when memory runs out. */
bool parse_line(CFGLine* l, const char* t, size_t n)
{
    if (n == 0) { l->cfgtype = 0; return true; }
    if (t[0] == ';' || t[0] == '#') { l->cfgtype = 1; return true; }

    /* An inline comment starts at ';' or '#' right after a blank. */
    const char* cm = nullptr;
    for (size_t i = 1; i < n; i++)
        if ((t[i] == ';' || t[i] == '#') && (t[i - 1] == ' ' || t[i - 1] == '\t')) {
            cm = t + i;
            break;
        }
    const char* end = cm ? cm : t + n;
    const char* close = t[0] == '[' ? (const char*)memchr(t, ']', (size_t)(end - t)) : nullptr;
    if (cm) {
        l->comment = str_dup(cm, (int)(t + n - cm));
        if (!l->comment) return false;
    }
    if (close) {
        l->cfgtype = cm ? 4 : 2;
        if (close > t + 1) {
            l->key = str_dup(t + 1, (int)(close - t - 1));
            if (!l->key) return false;
        }
        return true;
    }
    const char* eq = (const char*)memchr(t, '=', (size_t)(end - t));
    if (!eq) {
        l->cfgtype = 6; /* no key: kept verbatim */
        return true;
    }
    l->cfgtype = cm ? 5 : 3;
    return dup_trimmed(t, eq, &l->key) && dup_trimmed(eq + 1, end, &l->value);
}

CFGLine* find_section(ConfMgmt* conf, const char* sect)
{
    if (!sect) return &conf->default_sect;
    return (CFGLine*)ht_get(conf->sect_table, (void*)sect);
}

CFGLine* find_key(ConfMgmt* conf, const char* sect, const char* key)
{
    if (!conf || !key) return nullptr;
    CFGLine* s = find_section(conf, sect);
    if (!s || !s->htsect) return nullptr;
    return (CFGLine*)ht_get(s->htsect, (void*)key);
}

} // namespace

ConfMgmt* conf_mgmt_init(const char* file)
{
    if (!file || access(file, F_OK) != 0) return nullptr;
    ConfMgmt* conf = (ConfMgmt*)kzalloc(sizeof(ConfMgmt));
    if (!conf) return nullptr;
    conf->line_list = arr_new(16);
    conf->sect_table = ht_only_new(kSectTableSize, line_cmp);
    conf->default_sect.htsect = ht_only_new(kKeyTableSize, line_cmp);
    conf->default_sect.cfgtype = 2;
    if (!conf->line_list || !conf->sect_table || !conf->default_sect.htsect ||
        conf_mgmt_read(conf, file) != 0) {
        /* A manager that missed lines would truncate the file on save. */
        conf_mgmt_cleanup(conf);
        return nullptr;
    }
    return conf;
}

int conf_mgmt_read(ConfMgmt* conf, const char* file)
{
    if (!conf) return -1;
    if (!file || access(file, F_OK) != 0) return -2;
    /* A cut name would make a later save write some other file. */
    if (file != conf->confile && strlen(file) >= sizeof(conf->confile)) return -2;
    FILE* fp = fopen(file, "re");
    if (!fp) return -3;
    if (file != conf->confile) snprintf(conf->confile, sizeof(conf->confile), "%s", file);

    CFGLine* cur = &conf->default_sect;
    char buf[512];
    bool split = false; /* the previous piece was cut before its line end */
    int rc = 0;
    for (;;) {
        memset(buf, 0, sizeof(buf));
        if (!fgets(buf, 511, fp)) break;
        size_t blen = strlen(buf);
        bool ends = blen > 0 && buf[blen - 1] == '\n';
        /* A line of exactly the piece size leaves only its line end behind. */
        if (split && (strcmp(buf, "\n") == 0 || strcmp(buf, "\r\n") == 0)) {
            split = false;
            continue;
        }
        split = !ends;

        char* t = buf;
        while (is_blank(*t)) t++;
        size_t n = strlen(t);
        while (n > 0 && is_blank(t[n - 1])) t[--n] = 0;

        CFGLine* l = (CFGLine*)kzalloc(sizeof(CFGLine));
        if (!l) { rc = -100; break; }
        l->line = arr_num(conf->line_list);
        if (n > 0 && !(l->rawstr = str_dup(t, (int)n))) { kfree(l); rc = -100; break; }
        if (!parse_line(l, t, n) || arr_push(conf->line_list, l) == 0) {
            free_line_item(l);
            rc = -100;
            break;
        }
        if (l->cfgtype == 2 || l->cfgtype == 4) {
            l->htsect = ht_only_new(kKeyTableSize, line_cmp);
            if (!l->htsect) { rc = -100; break; }
            if (l->key) ht_set(conf->sect_table, l->key, l);
            cur = l;
        } else if ((l->cfgtype == 3 || l->cfgtype == 5) && l->key) {
            ht_set(cur->htsect, l->key, l); /* a repeated key keeps its first line */
        }
    }
    if (rc == 0 && ferror(fp)) rc = -3; /* e.g. a directory: opens, but gives no lines */
    fclose(fp);
    return rc;
}

int conf_mgmt_save(ConfMgmt* conf, const char* file)
{
    if (!conf) return -1;
    if (!file) file = conf->confile;
    FILE* fp = fopen(file, "we");
    if (!fp) return -3;
    auto s = [](const char* p) { return p ? p : ""; };
    bool ok = true;
    for (int i = 0; i < arr_num(conf->line_list) && ok; i++) {
        CFGLine* l = (CFGLine*)arr_value(conf->line_list, i);
        int r = 0;
        switch (l->cfgtype) {
        case 0: r = fputs("\n", fp); break;
        case 2: r = fprintf(fp, "[%s]\n", s(l->key)); break;
        case 3: r = fprintf(fp, "%s=%s\n", s(l->key), s(l->value)); break;
        case 4: r = fprintf(fp, "[%s]  %s\n", s(l->key), s(l->comment)); break;
        case 5: r = fprintf(fp, "%s=%s  %s\n", s(l->key), s(l->value), s(l->comment)); break;
        default: r = fprintf(fp, "%s\n", s(l->rawstr)); break;
        }
        if (r < 0) ok = false;
    }
    if (fflush(fp) != 0) ok = false;
    if (fsync(fileno(fp)) != 0 && errno != EINVAL) ok = false;
    if (fclose(fp) != 0) ok = false;
    return ok ? 0 : -4;
}

int conf_mgmt_cleanup(ConfMgmt* conf)
{
    if (!conf) return -1;
    if (conf->line_list) arr_pop_free(conf->line_list, free_line_item);
    if (conf->default_sect.htsect) ht_free(conf->default_sect.htsect);
    if (conf->sect_table) ht_free(conf->sect_table);
    kfree(conf);
    return 0;
}

char* conf_get_string(ConfMgmt* conf, const char* sect, const char* key)
{
    CFGLine* l = find_key(conf, sect, key);
    return l ? l->value : nullptr;
}

/* A value "0x..." or "0X..." longer than its prefix is hexadecimal. */
static bool hex_prefixed(const char* v) { return v[0] == '0' && (v[1] == 'x' || v[1] == 'X') && v[2]; }

int conf_get_int(ConfMgmt* conf, const char* sect, const char* key)
{
    const char* v = conf_get_string(conf, sect, key);
    if (!v) return -1;
    long r = hex_prefixed(v) ? strtol(v + 2, nullptr, 16) : strtol(v, nullptr, 10);
    /* Saturate as a 32-bit strtol does, rather than wrapping. */
    if (r > INT_MAX) return INT_MAX;
    if (r < INT_MIN) return INT_MIN;
    return (int)r;
}

uint32_t conf_get_ulong(ConfMgmt* conf, const char* sect, const char* key)
{
    const char* v = conf_get_string(conf, sect, key);
    if (!v) return 0;
    return (uint32_t)(hex_prefixed(v) ? strtoul(v + 2, nullptr, 16) : strtoul(v, nullptr, 10));
}

long conf_get_hexlong(ConfMgmt* conf, const char* sect, const char* key)
{
    const char* v = conf_get_string(conf, sect, key);
    if (!v) return -1;
    return strtol(v, nullptr, 16);
}

double conf_get_double(ConfMgmt* conf, const char* sect, const char* key)
{
    const char* v = conf_get_string(conf, sect, key);
    return v ? strtod(v, nullptr) : 0.0;
}

bool conf_get_bool(ConfMgmt* conf, const char* sect, const char* key)
{
    const char* v = conf_get_string(conf, sect, key);
    if (!v) return false;
    return strcasecmp(v, "yes") == 0 || strcasecmp(v, "true") == 0 || strcmp(v, "1") == 0;
}

int conf_set_string(ConfMgmt* conf, const char* sect, const char* key, const char* value)
{
    if (!conf || !key) return -1;
    CFGLine* s = find_section(conf, sect);
    if (!s) return -2;
    CFGLine* l = s->htsect ? (CFGLine*)ht_get(s->htsect, (void*)key) : nullptr;
    if (!l) return -3;
    char* nv = nullptr;
    if (value && *value && !(nv = str_dup(value, -1))) return -100;
    kfree(l->value);
    l->value = nv;
    return 0;
}

/* The value formatted into at most 30 characters ("%f" of a huge value
 * runs past any small buffer, so it is cut there). */
__attribute__((format(printf, 4, 5)))
static int set_formatted(ConfMgmt* conf, const char* sect, const char* key, const char* fmt, ...)
{
    char buf[31];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return conf_set_string(conf, sect, key, buf);
}

int conf_set_int(ConfMgmt* conf, const char* sect, const char* key, int value)
{
    return set_formatted(conf, sect, key, "%d", value);
}

int conf_set_ulong(ConfMgmt* conf, const char* sect, const char* key, uint32_t value)
{
    return set_formatted(conf, sect, key, "%u", value);
}

int conf_set_hexlong(ConfMgmt* conf, const char* sect, const char* key, long value)
{
    return set_formatted(conf, sect, key, "0X%lX", value);
}

int conf_set_double(ConfMgmt* conf, const char* sect, const char* key, double value)
{
    return set_formatted(conf, sect, key, "%f", value);
}

int conf_set_bool(ConfMgmt* conf, const char* sect, const char* key, bool value)
{
    return conf_set_string(conf, sect, key, value ? "yes" : "no");
}
