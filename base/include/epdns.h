/* Asynchronous stub resolver of the event core: resolves host names to IPv4
 * or IPv6 addresses over UDP for outbound TCP connections, with a name
 * cache. Replies arrive on the pumps that own the resolver's client sockets;
 * every query ends exactly once, with an answer or with 404 after 5000 ms.
 *
 * Locks: the resolver's msgCS (query table, query references and the
 * callback-once flag) and cacheCS (cache table) and a server list's hostCS
 * are leaves; a query's own stateCS may be held while taking them, never the
 * other way round. No lock is held while a callback runs. */
#ifndef KORVID_EPDNS_H
#define KORVID_EPDNS_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#include "bpool.h"
#include "dynarr.h"
#include "eptype.h"
#include "frame.h"
#include "hashtab.h"
#include "mthread.h"
#include "tsock.h"

#define DNS_CLI_DEV_MAX     4
#define DNS_NAME_MAX        255    /* wire form, RFC 1035 */
#define DNS_LABEL_MAX       63
#define DNS_PTR_JUMPS_MAX   32     /* compression pointers followed in one name */
#define DNS_QUERY_LIFE_MS   5000
#define DNS_CACHE_SWEEP_MS  30000
#define DNS_CACHE_IDLE_SECS 3600
#define DNS_TIMER_LIFE      1130   /* timer command: query lifetime */
#define DNS_TIMER_SWEEP     1131   /* timer command: cache sweep */

/* Record types and classes named by the printer. */
enum {
    DNS_T_A = 1, DNS_T_NS = 2, DNS_T_CNAME = 5, DNS_T_SOA = 6, DNS_T_PTR = 12,
    DNS_T_MX = 15, DNS_T_TXT = 16, DNS_T_AAAA = 28, DNS_T_ALL = 255,
};
enum { DNS_C_IN = 1, DNS_C_ANY = 255 };

typedef struct dns_mgmt_s dns_mgmt_t;
typedef struct dns_msg_s  dns_msg_t;

/* Resolution outcome: status 200 the name is an IPv4 literal, 201 an IPv6
 * literal, the reply's RCODE (0 success) with the cache entry, 404 no answer
 * (time-out or failure, cache null). Runs exactly once per query. */
typedef int DnsCB(void* cbobj, char* name, int namelen, void* cache, int status);

typedef struct dns_host_s {
    char*         host;   /* name text or null */
    char          ip[41];
    int           port;   /* 53 when not given */
    ep_sockaddr_t addr;
} dns_host_t;

typedef struct dns_nsrv_s {
    CRITICAL_SECTION hostCS;
    arr_t*           host_list;  /* dns_host_t* */
} dns_nsrv_t;

/* One resource record. For A and AAAA, rdata holds the address bytes and ip
 * its text; for CNAME, NS and PTR rdata holds the target name as text (rdlen
 * its length); other types keep their raw data. */
typedef struct dns_rr_s {
    int      namelen;
    char*    name;
    uint16_t type;
    uint16_t rclass;
    uint32_t ttl;        /* seconds */
    uint16_t rdlen;
    uint8_t* rdata;
    char     ip[41];
    uint8_t  outofdate;
    time_t   rcvtick;    /* seconds; valid while now - rcvtick <= 2 * ttl */
} dns_rr_t;

typedef struct dns_cache_s {
    char             name[256];
    CRITICAL_SECTION rrlistCS;
    arr_t*           rr_list;   /* dns_rr_t* */
    time_t           stamp;     /* last lookup */
    int              anum;      /* valid records at the last check */
    dns_mgmt_t*      dnsmgmt;
} dns_cache_t;

struct dns_msg_s {
    uint16_t      msgid;
    char*         name;      /* the name asked for; the cache entry's name */
    int           nlen;
    uint8_t*      qname;     /* current question in label form (a CNAME target after a restart) */
    int           qnlen;
    uint16_t      qtype;
    uint16_t      qclass;
    frame_t*      reqfrm;
    dns_nsrv_t*   nsrv;      /* servers used; null: the resolver's */
    int           nsrvind;
    ep_sockaddr_t destaddr;
    int           rcode;
    int           an_num, ns_num, ar_num;
    arr_t*        an_list;
    arr_t*        ns_list;
    arr_t*        ar_list;
    frame_t*      resfrm;    /* the last decoded reply */
    DnsCB*        dnscb;
    void*         cbobj;
    uint8_t       cbexec;    /* 1 once the callback ran (msgCS) */
    iotimer_t*    lifetimer; /* msgCS */
    int           sendtimes;
    uint64_t      threadid;
    dns_mgmt_t*   dnsmgmt;

    /* Bookkeeping */
    CRITICAL_SECTION stateCS;  /* the question, the sends and the decoded reply */
    uint8_t       csinit;
    uint8_t       closed;      /* ended (msgCS) */
    uint8_t       replied;     /* a decoded reply waits for dns_msg_handle */
    uint8_t       nsrvown;     /* nsrv is this query's own list (referral) */
    int           refcnt;      /* references; the record is recycled at 0 */
    int           depth;       /* name-server lookups above this query */
};

struct dns_mgmt_s {
    char*            resolv_conf;
    dns_nsrv_t*      nsrv;
    CRITICAL_SECTION cacheCS;
    hashtab_t*       cache_table;   /* dns_cache_t* by name, any case */
    int              cli_dev_num;
    iodev_t*         cli_dev[DNS_CLI_DEV_MAX];
    uint32_t         msgid;
    hashtab_t*       msg_table;     /* pending dns_msg_t* by id */
    CRITICAL_SECTION msgCS;
    bpool_t*         msg_pool;
    iotimer_t*       cachetimer;    /* cacheCS */
    epcore_t*        pcore;

    std::atomic<int>     active;    /* handler calls under way */
    std::atomic<uint8_t> closing;
};

/* The host path of a board path (same contract as the platform's plat_path);
 * start-up installs the board's mapping so "/etc/resolv.conf" is read from
 * the board. Null restores the identity. */
typedef char* DnsPathMap(const char* path, char* buf, size_t size);
void        dns_set_path_map(DnsPathMap* map);

/* ---- resolver ---- */

/* nameserver: one server address tried first (or null); resolv_conf: the
 * configuration file, "/etc/resolv.conf" when null. Opens the client
 * sockets when a core is given. Null when out of memory. */
dns_mgmt_t* dns_mgmt_init(epcore_t* core, const char* nameserver, const char* resolv_conf);
/* Ends every pending query (404), closes the sockets, stops the sweep and
 * releases everything. */
void        dns_mgmt_clean(dns_mgmt_t* mgmt);

/* ---- name servers ---- */

int         dns_nsrv_load(dns_mgmt_t* mgmt, const char* nameserver, const char* resolv_conf);
/* Appends a server; port 53 when below 1. 0 appended; -1 null resolver or
 * address; -100 unparsable address; -200 out of memory. */
int         dns_nsrv_append(dns_mgmt_t* mgmt, const char* ip, int port);
int         dns_nsrv_add(dns_nsrv_t* nsrv, const char* ip, int port);
int         dns_nsrv_num(dns_mgmt_t* mgmt);
dns_nsrv_t* dns_nsrv_alloc(void);
void        dns_nsrv_free(dns_nsrv_t* nsrv);
dns_host_t* dns_host_new(const char* host, const char* ip, int port);
dns_host_t* dns_host_alloc(void);
void        dns_host_free(void* host);

/* ---- queries ---- */

/* 1 IPv4 literal, 2 IPv6 literal (the callback runs at once with 200 or
 * 201), 3 answered from the cache (the callback runs at once with 0 and the
 * entry, also left in *cache), 0 query sent (the callback runs later);
 * -1 no resolver, -2 no name, -3 empty name or one that is no host name,
 * -100 no query record, -200 no server could be sent to (no callback).
 * len < 0 means up to the NUL. nsrv: servers to ask, null for the
 * resolver's. */
int         dns_nb_query(dns_mgmt_t* mgmt, const char* name, int len, dns_nsrv_t* nsrv, void** cache,
                         DnsCB* cb, void* cbobj);
int         dns_query(epcore_t* core, const char* name, int len, DnsCB* cb, void* cbobj);

/* A registered query for name (A, IN) with its lifetime timer; not sent.
 * Null when the name cannot be encoded or no record can be had. */
dns_msg_t*  dns_msg_open(dns_mgmt_t* mgmt, const char* name, int len, dns_nsrv_t* nsrv, DnsCB* cb,
                         void* cbobj);
/* Ends the query: unregisters it, calls the callback with 404 if it has not
 * run, stops its timer and drops the table's reference. */
int         dns_msg_close(dns_msg_t* msg);
/* Encodes and sends to the next server that takes it (stateCS held).
 * 0 sent; -1 null; -200 no server took it. */
int         dns_msg_send(dns_msg_t* msg);
/* Request bytes into msg->reqfrm; their length, or -1. */
int         dns_msg_encode(dns_msg_t* msg);
/* Checks a reply against the request and parses its records into the
 * query's lists (stateCS held). 0 accepted; -1 null or short header; -2 id
 * differs; -3 question differs or is malformed; -4 a record is malformed or
 * runs past the datagram. */
int         dns_msg_decode(dns_msg_t* msg, const uint8_t* data, int len);
/* Acts on a decoded reply (run through EVT_DNS). 0, or -1 when the query is
 * gone or has no reply waiting. */
int         dns_msg_handle(dns_msg_t* msg);
/* Callback of a name-server lookup: sends the waiting query to the
 * addresses found. */
int         dns_msg_nsrv_cb(void* cbobj, char* name, int namelen, void* cache, int status);
/* Lifetime expiry of the query with this id (timer command 1130). */
int         dns_msg_lifecheck(dns_mgmt_t* mgmt, iotimer_t* timer);
dns_msg_t*  dns_msg_fetch(dns_mgmt_t* mgmt);
int         dns_msg_recycle(dns_msg_t* msg);
int         dns_msg_init(void* msg);
int         dns_msg_free(void* msg);
int         dns_msg_mgmt_add(dns_mgmt_t* mgmt, dns_msg_t* msg);
/* The pending query with this id, with a reference the caller drops with
 * dns_msg_put. */
dns_msg_t*  dns_msg_mgmt_get(dns_mgmt_t* mgmt, uint16_t msgid);
void        dns_msg_put(dns_msg_t* msg);
dns_msg_t*  dns_msg_mgmt_del(dns_mgmt_t* mgmt, uint16_t msgid);
int         dns_msg_cmp_msgid(void* msg, void* key);      /* key: uint16_t* */
unsigned long dns_msg_hash_msgid(void* key);

/* ---- records ---- */

/* Reads a possibly compressed name at pos. Pointers must point before the
 * part of the name that holds them; at most DNS_PTR_JUMPS_MAX are followed;
 * labels are at most 63 bytes and the name 255. The dotted text (root: "")
 * goes to name (namesize >= 256 holds any name), its length to *namelen.
 * Returns the position after the name where it started, or -1. */
int         dns_rr_name_parse(const uint8_t* msg, int msglen, int pos, char* name, int namesize,
                              int* namelen);
/* One record at pos into *prr (received at now). The position after it, or
 * -1 when it is malformed or runs past the datagram. */
int         dns_rr_parse(const uint8_t* msg, int msglen, int pos, dns_rr_t** prr, time_t now);
dns_rr_t*   dns_rr_dup(const dns_rr_t* rr);
dns_rr_t*   dns_rr_alloc(void);
void        dns_rr_free(void* rr);
void        dns_rr_print(const dns_rr_t* rr, FILE* fp);
/* "www.example.com" (a final dot allowed) into labels; the length written
 * with the final zero, or -1 (empty label, label over 63, name over 255). */
int         hostn_to_dns_format(const char* name, int len, uint8_t* out, int outsize);
/* Uncompressed labels into dotted text; the text length or -1. */
int         hostn_to_dot_format(const uint8_t* qname, int qnlen, char* out, int outsize);

/* ---- cache ---- */

/* Valid (unexpired) record counts use the resolver's clock. */
dns_cache_t* dns_cache_open(dns_mgmt_t* mgmt, const char* name, int len);
int          dns_cache_close(dns_cache_t* cache);
int          dns_cache_verify(dns_cache_t* cache);
int          dns_cache_check(dns_cache_t* cache);
int          dns_cache_a_num(dns_cache_t* cache);
int          dns_cache_getip(dns_cache_t* cache, int index, char* buf, int len);
int          dns_cache_copy_ip(dns_cache_t* cache, int index, char* buf, int len);
/* Up to num address texts into ips; how many. */
int          dns_cache_getiplist(dns_cache_t* cache, char (*ips)[41], int num);
/* The index of the address put in *addr, or -100 when none parses. */
int          dns_cache_sockaddr(dns_cache_t* cache, int index, int port, ep_sockaddr_t* addr);
int          dns_cache_copy(dns_cache_t* src, dns_cache_t* dst);
/* Takes rr: 1 added, 0 an identical record only took its receive time. */
int          dns_cache_add(dns_cache_t* cache, dns_rr_t* rr);
/* 1 when a valid A or AAAA record is owned by name, else 0. */
int          dns_cache_find_A_rr(dns_cache_t* cache, const char* name);
int          dns_cache_zap(dns_cache_t* cache);
int          dns_cache_num(dns_mgmt_t* mgmt);
/* The sweep: drops entries idle over 3600 s without valid records; the
 * number left. */
int          dns_cache_lifecheck(dns_mgmt_t* mgmt);
int          dns_cache_mgmt_add(dns_mgmt_t* mgmt, dns_cache_t* cache);
dns_cache_t* dns_cache_mgmt_get(dns_mgmt_t* mgmt, const char* name, int len);
dns_cache_t* dns_cache_mgmt_del(dns_mgmt_t* mgmt, dns_cache_t* cache);
dns_cache_t* dns_cache_alloc(void);
void         dns_cache_free(void* cache);
int          dns_cache_cmp_name(void* cache, void* name);

/* ---- pump side ---- */

/* IOHandler of the client sockets and the timers (cbpara: the resolver). */
int         dns_pump(void* mgmt, void* obj, int event, int fdtype);
/* Reads every waiting datagram of a client socket. The number read. */
int         dns_recv(dns_mgmt_t* mgmt, iodev_t* dev);

#endif
