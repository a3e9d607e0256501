/* Asynchronous stub resolver state owned by the event core. For now it holds
 * the name servers (the given one, then those of the resolver configuration
 * file); queries, the cache and the client sockets come later. */
#ifndef KORVID_EPDNS_H
#define KORVID_EPDNS_H

#include "dynarr.h"
#include "eptype.h"
#include "mthread.h"

typedef struct dns_host_s {
    char* host;    /* name text or null */
    char  ip[41];
    int   port;    /* 53 when not given */
} dns_host_t;

typedef struct dns_nsrv_s {
    CRITICAL_SECTION hostCS;
    arr_t*           host_list;
} dns_nsrv_t;

typedef struct dns_mgmt_s {
    char*       resolv_conf;
    dns_nsrv_t* nsrv;
    epcore_t*   pcore;
} dns_mgmt_t;

typedef struct dns_msg_s dns_msg_t;

/* Resolution outcome: status 200 the name is an IPv4 literal, 201 an IPv6
 * literal, the reply's RCODE with the cache entry, 404 no answer (cache null). */
typedef int DnsCB(void* cbobj, char* name, int namelen, void* cache, int status);

/* nameserver: one server address tried first (or null); resolv_conf: the
 * configuration file, "/etc/resolv.conf" when null. Null when out of memory. */
dns_mgmt_t* dns_mgmt_init(epcore_t* core, const char* nameserver, const char* resolv_conf);
void        dns_mgmt_clean(dns_mgmt_t* mgmt);
/* Appends a server; port 53 when below 1. 0 appended; -1 null resolver or
 * address; -100 unparsable address; -200 out of memory. */
int         dns_nsrv_append(dns_mgmt_t* mgmt, const char* ip, int port);
int         dns_nsrv_num(dns_mgmt_t* mgmt);
/* 1 IPv4 literal, 2 IPv6 literal (the callback runs at once with 200 or 201),
 * 3 answered from the cache, 0 query sent; -1 no resolver, -2 no name,
 * -3 empty name, -100 no query record, -200 no server could be sent to.
 * Queries over the network are not sent yet: a name that is not a literal
 * gives -200. len < 0 means up to the NUL. */
int         dns_nb_query(dns_mgmt_t* mgmt, const char* name, int len, dns_nsrv_t* nsrv, void** cache,
                         DnsCB* cb, void* cbobj);
int         dns_query(epcore_t* core, const char* name, int len, DnsCB* cb, void* cbobj);
/* Handles a decoded reply on the pump; nothing sends queries yet. */
int         dns_msg_handle(dns_msg_t* msg);

#endif
