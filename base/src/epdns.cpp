/* Asynchronous stub resolver of the event core: name servers from the given
 * address and the resolver configuration file, queries sent over the
 * resolver's UDP client sockets and matched to replies by id, a name cache
 * with TTL-based validity swept every 30 s, and the reply handling that
 * follows CNAME chains and referrals.
 *
 * Query records are shared between the thread that starts a query, the pump
 * that reads its reply, the pump (or worker) that handles the reply and the
 * pump that runs its lifetime timer. A record carries a reference count;
 * every record handed out is also in a process-wide set of live records, so
 * a queued reply event whose query has gone since is recognised and dropped
 * without touching freed memory. */
#include "epdns.h"

#include <ctype.h>
#include <stddef.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <unordered_set>

#include "btime.h"
#include "epcore.h"
#include "epudp.h"
#include "evpump.h"
#include "ioevent.h"
#include "iodev.h"
#include "iotimer.h"
#include "memory.h"
#include "trace.h"

namespace {

constexpr int kDnsPort = 53;
constexpr const char* kResolvConf = "/etc/resolv.conf";
/* Asked when no server is configured at all. */
constexpr const char* kDefaultServer = "8.8.8.8";
constexpr int kCacheBuckets = 300;
constexpr int kMsgBuckets = 200;
constexpr int kMsgBatch = 32;
constexpr int kHeaderLen = 12;
constexpr int kMinRecordLen = 11;      /* root name, type, class, TTL, RDLENGTH */
constexpr int kResendEmpty = 3;        /* sends before an empty answer is final */
/* Referrals and CNAME restarts send again; this bounds a query that servers
 * keep sending elsewhere. */
constexpr int kMaxSends = 16;
/* Name-server look-ups started for glue-less referrals, nested. */
constexpr int kMaxNsDepth = 3;
constexpr int kCleanWaitMs = 2000;

std::atomic<DnsPathMap*> g_pathmap{nullptr};

/* Every query record between its fetch and its recycle. */
std::mutex g_liveLock;
std::unordered_set<dns_msg_t*>* g_live = nullptr;

thread_local int t_depth = 0;

uint16_t be16(const uint8_t* p) { return (uint16_t)((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

char* dup_text(const char* s, int n)
{
    char* d = static_cast<char*>(kalloc((size_t)n + 1));
    if (!d) return nullptr;
    memcpy(d, s, (size_t)n);
    d[n] = '\0';
    return d;
}

time_t mgmt_now(dns_mgmt_t* mgmt)
{
    return epcore_now(mgmt ? mgmt->pcore : nullptr);
}

bool rr_valid(const dns_rr_t* rr, time_t now)
{
    return (int64_t)now - (int64_t)rr->rcvtick <= 2 * (int64_t)rr->ttl;
}

bool rr_is_addr(const dns_rr_t* rr)
{
    return rr->type == DNS_T_A || rr->type == DNS_T_AAAA;
}

/* ---- live query records ---- */

void live_add(dns_msg_t* msg)
{
    std::lock_guard<std::mutex> g(g_liveLock);
    if (!g_live) g_live = new std::unordered_set<dns_msg_t*>();
    g_live->insert(msg);
    msg->refcnt = 1;
}

bool live_ref(dns_msg_t* msg)
{
    std::lock_guard<std::mutex> g(g_liveLock);
    if (!g_live || !g_live->count(msg) || msg->refcnt <= 0) return false;
    msg->refcnt++;
    return true;
}

/* true when this was the last reference (the record has left the set). */
bool live_unref(dns_msg_t* msg)
{
    std::lock_guard<std::mutex> g(g_liveLock);
    if (--msg->refcnt > 0) return false;
    g_live->erase(msg);
    if (g_live->empty()) {
        delete g_live;
        g_live = nullptr;
    }
    return true;
}

bool msg_closed(dns_msg_t* msg)
{
    EnterCriticalSection(&msg->dnsmgmt->msgCS);
    bool c = msg->closed;
    LeaveCriticalSection(&msg->dnsmgmt->msgCS);
    return c;
}

/* The right to run the callback, taken once. */
bool claim_callback(dns_msg_t* msg)
{
    EnterCriticalSection(&msg->dnsmgmt->msgCS);
    bool mine = !msg->cbexec;
    msg->cbexec = 1;
    LeaveCriticalSection(&msg->dnsmgmt->msgCS);
    return mine;
}

void free_rr_list(arr_t** list)
{
    if (*list) arr_pop_free(*list, dns_rr_free);
    *list = nullptr;
}

void free_reply(dns_msg_t* msg)
{
    free_rr_list(&msg->an_list);
    free_rr_list(&msg->ns_list);
    free_rr_list(&msg->ar_list);
    msg->an_num = msg->ns_num = msg->ar_num = 0;
    if (msg->resfrm) frame_free(msg->resfrm);
    msg->resfrm = nullptr;
}

/* Everything a record holds besides its lock. */
void msg_release_parts(dns_msg_t* msg)
{
    kfree(msg->name);
    kfree(msg->qname);
    msg->name = nullptr;
    msg->qname = nullptr;
    if (msg->reqfrm) frame_free(msg->reqfrm);
    msg->reqfrm = nullptr;
    free_reply(msg);
    if (msg->nsrvown) dns_nsrv_free(msg->nsrv);
    msg->nsrv = nullptr;
    msg->nsrvown = 0;
}

/* A server list of this query's own (referral targets); replaces the one
 * in use. Caller holds stateCS. */
void msg_use_servers(dns_msg_t* msg, dns_nsrv_t* list)
{
    if (msg->nsrvown) dns_nsrv_free(msg->nsrv);
    msg->nsrv = list;
    msg->nsrvown = 1;
    msg->nsrvind = 0;
}

/* Sets the question to name (a CNAME target). Caller holds stateCS. */
bool msg_set_question(dns_msg_t* msg, const char* name)
{
    uint8_t buf[DNS_NAME_MAX + 1];
    int n = hostn_to_dns_format(name, -1, buf, sizeof buf);
    if (n < 0) return false;
    uint8_t* q = static_cast<uint8_t*>(kalloc((size_t)n));
    if (!q) return false;
    memcpy(q, buf, (size_t)n);
    kfree(msg->qname);
    msg->qname = q;
    msg->qnlen = n;
    return true;
}

void open_client_sockets(dns_mgmt_t* mgmt)
{
    if (!mgmt->pcore) return;
    iodev_t* devs[DNS_CLI_DEV_MAX] = {};
    int num = DNS_CLI_DEV_MAX;
    int retval = 0;
    epudp_client(mgmt->pcore, nullptr, 0, mgmt, &retval, dns_pump, mgmt, devs, &num);
    for (int i = 0; i < num && i < DNS_CLI_DEV_MAX; i++) mgmt->cli_dev[i] = devs[i];
    mgmt->cli_dev_num = num < 0 ? 0 : (num > DNS_CLI_DEV_MAX ? DNS_CLI_DEV_MAX : num);
}

/* "nameserver <address>" lines; anything else is ignored. */
void load_resolv_conf(dns_mgmt_t* mgmt, const char* path)
{
    char mapped[1024];
    DnsPathMap* map = g_pathmap.load();
    if (map) {
        if (!map(path, mapped, sizeof mapped)) return;
        path = mapped;
    }
    FILE* fp = fopen(path, "r");
    if (!fp) return;
    char line[1024];
    while (fgets(line, sizeof line, fp)) {
        size_t n = strlen(line);
        if (n == sizeof line - 1 && line[n - 1] != '\n') {
            /* A line over 1023 characters: the rest is not a new line. */
            int c;
            while ((c = fgetc(fp)) != EOF && c != '\n') {}
        }
        char* p = line;
        while (*p && isspace((unsigned char)*p)) p++;
        if (strncasecmp(p, "nameserver", 10) != 0) continue;
        p += 10;
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
        char* end = p;
        while (*end && !isspace((unsigned char)*end)) end++;
        *end = '\0';
        if (*p) dns_nsrv_append(mgmt, p, kDnsPort);
    }
    fclose(fp);
}

void ad_text(const uint8_t* b, int type, char* ip)
{
    if (type == DNS_T_A) {
        snprintf(ip, 41, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    } else {
        snprintf(ip, 41, "%04x:%04x:%04x:%04x:%04x:%04x:%04x:%04x", be16(b), be16(b + 2), be16(b + 4),
                 be16(b + 6), be16(b + 8), be16(b + 10), be16(b + 12), be16(b + 14));
    }
}

bool same_rr(const dns_rr_t* a, const dns_rr_t* b)
{
    if (a->type != b->type || a->rclass != b->rclass || a->rdlen != b->rdlen) return false;
    if (strcasecmp(a->name ? a->name : "", b->name ? b->name : "") != 0) return false;
    return a->rdlen == 0 || (a->rdata && b->rdata && memcmp(a->rdata, b->rdata, a->rdlen) == 0);
}

/* Index-th valid address record (clamped to the last), under rrlistCS.
 * Returns the count of valid address records. */
int nth_addr(dns_cache_t* cache, int index, char* buf, int len)
{
    time_t now = mgmt_now(cache->dnsmgmt);
    int count = 0;
    const dns_rr_t* pick = nullptr;
    if (index < 0) index = 0;
    EnterCriticalSection(&cache->rrlistCS);
    for (int i = 0; i < arr_num(cache->rr_list); i++) {
        auto* rr = static_cast<dns_rr_t*>(arr_value(cache->rr_list, i));
        if (!rr || !rr_is_addr(rr) || !rr_valid(rr, now)) continue;
        if (count <= index) pick = rr; /* past the end: the last one */
        count++;
    }
    if (buf && len > 0) {
        if (pick) snprintf(buf, (size_t)len, "%s", pick->ip);
        else buf[0] = '\0';
    }
    LeaveCriticalSection(&cache->rrlistCS);
    return count;
}

/* Follows the CNAME chain in the answers from name; the last target. */
const char* chain_end(arr_t* answers, const char* name)
{
    const char* cur = name;
    for (int hops = 0; hops <= arr_num(answers); hops++) {
        const char* next = nullptr;
        for (int i = 0; i < arr_num(answers); i++) {
            auto* rr = static_cast<dns_rr_t*>(arr_value(answers, i));
            if (rr && rr->type == DNS_T_CNAME && rr->rdata && strcasecmp(rr->name, cur) == 0) {
                next = reinterpret_cast<const char*>(rr->rdata);
                break;
            }
        }
        if (!next) break;
        cur = next;
    }
    return cur;
}

bool has_cname(arr_t* answers)
{
    for (int i = 0; i < arr_num(answers); i++) {
        auto* rr = static_cast<dns_rr_t*>(arr_value(answers, i));
        if (rr && rr->type == DNS_T_CNAME && rr->rdata) return true;
    }
    return false;
}

/* Glue addresses in the additional records for the authority's name
 * servers; a new list, or null with the first glue-less server name in
 * nsname (empty when there is no NS record). */
dns_nsrv_t* referral_servers(dns_msg_t* msg, char* nsname, int size)
{
    nsname[0] = '\0';
    dns_nsrv_t* list = nullptr;
    for (int i = 0; i < arr_num(msg->ns_list); i++) {
        auto* ns = static_cast<dns_rr_t*>(arr_value(msg->ns_list, i));
        if (!ns || ns->type != DNS_T_NS || !ns->rdata) continue;
        const char* target = reinterpret_cast<const char*>(ns->rdata);
        bool glue = false;
        for (int j = 0; j < arr_num(msg->ar_list); j++) {
            auto* ar = static_cast<dns_rr_t*>(arr_value(msg->ar_list, j));
            if (!ar || !rr_is_addr(ar) || strcasecmp(ar->name, target) != 0) continue;
            if (!list) list = dns_nsrv_alloc();
            if (list && dns_nsrv_add(list, ar->ip, kDnsPort) == 0) glue = true;
        }
        if (!glue && !nsname[0]) snprintf(nsname, (size_t)size, "%s", target);
    }
    if (list && arr_num(list->host_list) == 0) {
        dns_nsrv_free(list);
        list = nullptr;
    }
    return list;
}

struct NsLink {
    dns_mgmt_t* mgmt;
    uint16_t    msgid;
};

void handle_datagram(dns_mgmt_t* mgmt, iodev_t* dev, frame_t** pfrm)
{
    frame_t* frm = *pfrm;
    const uint8_t* data = frm->data + frm->start;
    int len = frm->len;
    if (len < 2) return;
    dns_msg_t* msg = dns_msg_mgmt_get(mgmt, be16(data));
    if (!msg) return; /* for no pending query */

    EnterCriticalSection(&msg->stateCS);
    if (msg->replied || msg_closed(msg)) {
        /* A reply already waits to be handled, or the query ended. */
        LeaveCriticalSection(&msg->stateCS);
        dns_msg_put(msg);
        return;
    }
    int rc = dns_msg_decode(msg, data, len);
    if (rc == 0) {
        msg->replied = 1;
        /* The frame stays with the query; the next datagram gets a new one. */
        msg->resfrm = frm;
        *pfrm = frame_new(512);
    }
    LeaveCriticalSection(&msg->stateCS);

    if (rc < 0) {
        dns_msg_close(msg);
    } else {
        evpump_t* pump = dev->evpump ? dev->evpump : evpump_thread_self(mgmt->pcore);
        if (!pump || ioevent_push(pump, EVT_DNS, msg, nullptr, nullptr) != 0) dns_msg_handle(msg);
    }
    dns_msg_put(msg);
}

void sweep(dns_mgmt_t* mgmt, iotimer_t* timer)
{
    dns_cache_lifecheck(mgmt);
    EnterCriticalSection(&mgmt->cacheCS);
    if (mgmt->cachetimer == timer) {
        mgmt->cachetimer = nullptr;
        if (ht_num(mgmt->cache_table) > 0 && !mgmt->closing.load())
            mgmt->cachetimer = iotimer_start(mgmt->pcore, DNS_CACHE_SWEEP_MS, DNS_TIMER_SWEEP, mgmt, dns_pump, mgmt);
    }
    LeaveCriticalSection(&mgmt->cacheCS);
}

} // namespace

/* ------------------------------------------------------------------ */
/* Resolver                                                            */

void dns_set_path_map(DnsPathMap* map)
{
    g_pathmap.store(map);
}

dns_mgmt_t* dns_mgmt_init(epcore_t* core, const char* nameserver, const char* resolv_conf)
{
    void* mem = kzalloc(sizeof(dns_mgmt_t));
    if (!mem) return nullptr;
    dns_mgmt_t* mgmt = new (mem) dns_mgmt_t();
    mgmt->pcore = core;
    mgmt->msgid = 1;
    InitializeCriticalSection(&mgmt->cacheCS);
    InitializeCriticalSection(&mgmt->msgCS);
    const char* conf = resolv_conf ? resolv_conf : kResolvConf;
    mgmt->resolv_conf = dup_text(conf, (int)strlen(conf));
    mgmt->nsrv = dns_nsrv_alloc();
    mgmt->cache_table = ht_new(kCacheBuckets, dns_cache_cmp_name);
    mgmt->msg_table = ht_only_new(kMsgBuckets, dns_msg_cmp_msgid);
    mgmt->msg_pool = bpool_init(nullptr);
    if (!mgmt->resolv_conf || !mgmt->nsrv || !mgmt->cache_table || !mgmt->msg_table || !mgmt->msg_pool) {
        dns_mgmt_clean(mgmt);
        return nullptr;
    }
    ht_set_hash_func(mgmt->msg_table, dns_msg_hash_msgid);
    bpool_set_unitsize(mgmt->msg_pool, sizeof(dns_msg_t));
    bpool_set_allocnum(mgmt->msg_pool, kMsgBatch);
    bpool_set_freefunc(mgmt->msg_pool, dns_msg_free);

    dns_nsrv_load(mgmt, nameserver, mgmt->resolv_conf);
    open_client_sockets(mgmt);
    return mgmt;
}

void dns_mgmt_clean(dns_mgmt_t* mgmt)
{
    if (!mgmt) return;
    mgmt->closing.store(1);

    /* No more replies: the sockets leave their pumps with their queued events. */
    for (int i = 0; i < mgmt->cli_dev_num; i++) {
        if (mgmt->cli_dev[i]) iodev_close(mgmt->cli_dev[i]);
        mgmt->cli_dev[i] = nullptr;
    }
    mgmt->cli_dev_num = 0;

    if (mgmt->cache_table) {
        EnterCriticalSection(&mgmt->cacheCS);
        iotimer_t* t = mgmt->cachetimer;
        mgmt->cachetimer = nullptr;
        LeaveCriticalSection(&mgmt->cacheCS);
        if (t) iotimer_stop(t);
    }

    /* End every pending query, one at a time: callbacks may look up others. */
    while (mgmt->msg_table) {
        EnterCriticalSection(&mgmt->msgCS);
        dns_msg_t* msg = ht_num(mgmt->msg_table) > 0 ? static_cast<dns_msg_t*>(ht_value(mgmt->msg_table, 0))
                                                     : nullptr;
        bool ref = msg && live_ref(msg);
        LeaveCriticalSection(&mgmt->msgCS);
        if (!msg) break;
        dns_msg_close(msg);
        if (ref) dns_msg_put(msg);
    }

    /* Handlers already under way finish with the records they hold. */
    btime_t start;
    btime(&start);
    for (;;) {
        bool idle = mgmt->active.load() == 0 && (!mgmt->msg_pool || bpool_fetched_num(mgmt->msg_pool) == 0);
        if (idle) break;
        btime_t now;
        btime(&now);
        if (btime_diff_ms(&start, &now) > kCleanWaitMs) {
            trlogfile(g_trace_log, 1, __FILE__, __LINE__,
                      "dns_mgmt_clean: queries still in use after %d ms, resolver left allocated\n",
                      kCleanWaitMs);
            return;
        }
        usleep(1000);
    }

    if (mgmt->cache_table) ht_free_all(mgmt->cache_table, dns_cache_free);
    if (mgmt->msg_table) ht_free(mgmt->msg_table);
    if (mgmt->msg_pool) bpool_clean(mgmt->msg_pool);
    dns_nsrv_free(mgmt->nsrv);
    kfree(mgmt->resolv_conf);
    DeleteCriticalSection(&mgmt->cacheCS);
    DeleteCriticalSection(&mgmt->msgCS);
    mgmt->~dns_mgmt_t();
    kfree(mgmt);
}

/* ------------------------------------------------------------------ */
/* Name servers                                                        */

int dns_nsrv_load(dns_mgmt_t* mgmt, const char* nameserver, const char* resolv_conf)
{
    if (!mgmt) return -1;
    if (nameserver && *nameserver) dns_nsrv_append(mgmt, nameserver, kDnsPort);
    load_resolv_conf(mgmt, resolv_conf ? resolv_conf : kResolvConf);
    return dns_nsrv_num(mgmt);
}

dns_host_t* dns_host_alloc(void)
{
    return static_cast<dns_host_t*>(kzalloc(sizeof(dns_host_t)));
}

void dns_host_free(void* p)
{
    auto* h = static_cast<dns_host_t*>(p);
    if (!h) return;
    kfree(h->host);
    kfree(h);
}

dns_host_t* dns_host_new(const char* host, const char* ip, int port)
{
    if (!ip) return nullptr;
    if (port < 1) port = kDnsPort;
    ep_sockaddr_t addr;
    if (sock_addr_parse(ip, -1, port, &addr) != 1) return nullptr;
    dns_host_t* h = dns_host_alloc();
    if (!h) return nullptr;
    if (host && !(h->host = dup_text(host, (int)strlen(host)))) {
        dns_host_free(h);
        return nullptr;
    }
    snprintf(h->ip, sizeof h->ip, "%s", ip);
    h->port = port;
    h->addr = addr;
    h->addr.socktype = SOCK_DGRAM;
    return h;
}

dns_nsrv_t* dns_nsrv_alloc(void)
{
    auto* n = static_cast<dns_nsrv_t*>(kzalloc(sizeof(dns_nsrv_t)));
    if (!n) return nullptr;
    n->host_list = arr_new(4);
    if (!n->host_list) {
        kfree(n);
        return nullptr;
    }
    InitializeCriticalSection(&n->hostCS);
    return n;
}

void dns_nsrv_free(dns_nsrv_t* nsrv)
{
    if (!nsrv) return;
    arr_pop_free(nsrv->host_list, dns_host_free);
    DeleteCriticalSection(&nsrv->hostCS);
    kfree(nsrv);
}

int dns_nsrv_add(dns_nsrv_t* nsrv, const char* ip, int port)
{
    if (!nsrv || !ip) return -1;
    ep_sockaddr_t probe;
    if (sock_addr_parse(ip, -1, port > 0 ? port : kDnsPort, &probe) != 1) return -100;
    dns_host_t* h = dns_host_new(nullptr, ip, port);
    if (!h) return -200;
    EnterCriticalSection(&nsrv->hostCS);
    int n = arr_push(nsrv->host_list, h);
    LeaveCriticalSection(&nsrv->hostCS);
    if (n == 0) {
        dns_host_free(h);
        return -200;
    }
    return 0;
}

int dns_nsrv_append(dns_mgmt_t* mgmt, const char* ip, int port)
{
    if (!mgmt || !mgmt->nsrv || !ip) return -1;
    return dns_nsrv_add(mgmt->nsrv, ip, port);
}

int dns_nsrv_num(dns_mgmt_t* mgmt)
{
    if (!mgmt || !mgmt->nsrv) return 0;
    EnterCriticalSection(&mgmt->nsrv->hostCS);
    int n = arr_num(mgmt->nsrv->host_list);
    LeaveCriticalSection(&mgmt->nsrv->hostCS);
    return n;
}

/* ------------------------------------------------------------------ */
/* Queries                                                             */

int dns_query(epcore_t* core, const char* name, int len, DnsCB* cb, void* cbobj)
{
    if (!core) return -1;
    void* cache = nullptr;
    return dns_nb_query(static_cast<dns_mgmt_t*>(core->dnsmgmt), name, len, nullptr, &cache, cb, cbobj);
}

int dns_nb_query(dns_mgmt_t* mgmt, const char* name, int len, dns_nsrv_t* nsrv, void** cache, DnsCB* cb,
                 void* cbobj)
{
    if (cache) *cache = nullptr;
    if (!mgmt || mgmt->closing.load()) return -1;
    if (!name) return -2;
    size_t n = len < 0 ? strlen(name) : strnlen(name, (size_t)len);
    if (n == 0) return -3;
    if (n > DNS_NAME_MAX) return -3;
    char text[DNS_NAME_MAX + 1];
    memcpy(text, name, n);
    text[n] = '\0';

    ep_sockaddr_t addr;
    if (sock_addr_parse(text, (int)n, 0, &addr) == 1) {
        int kind = addr.family == AF_INET ? 1 : 2;
        if (cb) cb(cbobj, text, (int)n, nullptr, kind == 1 ? 200 : 201);
        return kind;
    }

    uint8_t wire[DNS_NAME_MAX + 1];
    if (hostn_to_dns_format(text, (int)n, wire, sizeof wire) < 0) return -3;

    dns_cache_t* entry = dns_cache_mgmt_get(mgmt, text, (int)n);
    if (entry && dns_cache_a_num(entry) > 0) {
        if (cache) *cache = entry;
        if (cb) cb(cbobj, text, (int)n, entry, 0);
        return 3;
    }

    dns_msg_t* msg = dns_msg_open(mgmt, text, (int)n, nsrv, cb, cbobj);
    if (!msg) return -100;
    EnterCriticalSection(&msg->stateCS);
    int rc = dns_msg_send(msg);
    LeaveCriticalSection(&msg->stateCS);
    if (rc < 0) {
        /* Reported by the result alone. */
        claim_callback(msg);
        dns_msg_close(msg);
    }
    dns_msg_put(msg);
    return rc < 0 ? -200 : 0;
}

dns_msg_t* dns_msg_fetch(dns_mgmt_t* mgmt)
{
    if (!mgmt || !mgmt->msg_pool) return nullptr;
    auto* msg = static_cast<dns_msg_t*>(bpool_fetch(mgmt->msg_pool));
    if (!msg) return nullptr;
    dns_msg_init(msg);
    msg->dnsmgmt = mgmt;
    live_add(msg);
    return msg;
}

int dns_msg_init(void* p)
{
    auto* msg = static_cast<dns_msg_t*>(p);
    if (!msg) return -1;
    /* The lock lives as long as the record; everything else starts clear. */
    static_assert(offsetof(dns_msg_t, stateCS) + sizeof(CRITICAL_SECTION) == offsetof(dns_msg_t, csinit),
                  "the lock and its flag close the query fields");
    memset(msg, 0, offsetof(dns_msg_t, stateCS));
    if (!msg->csinit) InitializeCriticalSection(&msg->stateCS);
    msg->csinit = 1;
    msg->closed = msg->replied = msg->nsrvown = 0;
    msg->refcnt = 0;
    msg->depth = 0;
    return 0;
}

int dns_msg_recycle(dns_msg_t* msg)
{
    if (!msg) return -1;
    msg_release_parts(msg);
    dns_mgmt_t* mgmt = msg->dnsmgmt;
    return bpool_recycle(mgmt->msg_pool, msg);
}

int dns_msg_free(void* p)
{
    auto* msg = static_cast<dns_msg_t*>(p);
    if (!msg) return -1;
    msg_release_parts(msg);
    if (msg->csinit) DeleteCriticalSection(&msg->stateCS);
    kfree(msg);
    return 0;
}

void dns_msg_put(dns_msg_t* msg)
{
    if (msg && live_unref(msg)) dns_msg_recycle(msg);
}

int dns_msg_cmp_msgid(void* value, void* key)
{
    auto* msg = static_cast<dns_msg_t*>(value);
    return msg && key && msg->msgid == *static_cast<uint16_t*>(key) ? 0 : 1;
}

unsigned long dns_msg_hash_msgid(void* key)
{
    return key ? *static_cast<uint16_t*>(key) : 0;
}

int dns_msg_mgmt_add(dns_mgmt_t* mgmt, dns_msg_t* msg)
{
    if (!mgmt || !msg) return -1;
    EnterCriticalSection(&mgmt->msgCS);
    int r = ht_set(mgmt->msg_table, &msg->msgid, msg);
    LeaveCriticalSection(&mgmt->msgCS);
    return r < 0 ? -200 : 0;
}

dns_msg_t* dns_msg_mgmt_get(dns_mgmt_t* mgmt, uint16_t msgid)
{
    if (!mgmt || !mgmt->msg_table) return nullptr;
    EnterCriticalSection(&mgmt->msgCS);
    auto* msg = static_cast<dns_msg_t*>(ht_get(mgmt->msg_table, &msgid));
    if (msg && !live_ref(msg)) msg = nullptr;
    LeaveCriticalSection(&mgmt->msgCS);
    return msg;
}

dns_msg_t* dns_msg_mgmt_del(dns_mgmt_t* mgmt, uint16_t msgid)
{
    if (!mgmt || !mgmt->msg_table) return nullptr;
    EnterCriticalSection(&mgmt->msgCS);
    auto* msg = static_cast<dns_msg_t*>(ht_delete(mgmt->msg_table, &msgid));
    LeaveCriticalSection(&mgmt->msgCS);
    return msg;
}

dns_msg_t* dns_msg_open(dns_mgmt_t* mgmt, const char* name, int len, dns_nsrv_t* nsrv, DnsCB* cb, void* cbobj)
{
    if (!mgmt || !name) return nullptr;
    int n = len < 0 ? (int)strlen(name) : (int)strnlen(name, (size_t)len);
    uint8_t wire[DNS_NAME_MAX + 1];
    int qn = hostn_to_dns_format(name, n, wire, sizeof wire);
    if (qn < 0) return nullptr;
    dns_msg_t* msg = dns_msg_fetch(mgmt);
    if (!msg) return nullptr;
    msg->name = dup_text(name, n);
    msg->qname = static_cast<uint8_t*>(kalloc((size_t)qn));
    if (!msg->name || !msg->qname) {
        dns_msg_put(msg);
        return nullptr;
    }
    msg->nlen = n;
    memcpy(msg->qname, wire, (size_t)qn);
    msg->qnlen = qn;
    msg->qtype = DNS_T_A;
    msg->qclass = DNS_C_IN;
    msg->nsrv = nsrv;
    msg->dnscb = cb;
    msg->cbobj = cbobj;
    msg->threadid = get_threadid();
    msg->depth = t_depth;

    /* The table's reference, besides the caller's; taken before the record
     * can be found. */
    live_ref(msg);
    /* The next id of the 16-bit counter, skipping 0 and ids still pending. */
    EnterCriticalSection(&mgmt->msgCS);
    bool stored = false;
    for (int tries = 0; tries < 65536 && !stored; tries++) {
        uint16_t id = (uint16_t)mgmt->msgid++;
        if (id == 0 || ht_get(mgmt->msg_table, &id)) continue;
        msg->msgid = id;
        stored = ht_set(mgmt->msg_table, &msg->msgid, msg) > 0;
        if (!stored) break;
    }
    LeaveCriticalSection(&mgmt->msgCS);
    if (!stored) {
        dns_msg_put(msg);
        dns_msg_put(msg);
        return nullptr;
    }

    iotimer_t* t = iotimer_start(mgmt->pcore, DNS_QUERY_LIFE_MS, DNS_TIMER_LIFE, (void*)(uintptr_t)msg->msgid,
                                 dns_pump, mgmt);
    EnterCriticalSection(&mgmt->msgCS);
    msg->lifetimer = t;
    LeaveCriticalSection(&mgmt->msgCS);
    return msg;
}

int dns_msg_close(dns_msg_t* msg)
{
    if (!msg || !msg->dnsmgmt) return -1;
    dns_mgmt_t* mgmt = msg->dnsmgmt;
    EnterCriticalSection(&mgmt->msgCS);
    if (msg->closed) {
        LeaveCriticalSection(&mgmt->msgCS);
        return 0;
    }
    msg->closed = 1;
    if (ht_get(mgmt->msg_table, &msg->msgid) == msg) ht_delete(mgmt->msg_table, &msg->msgid);
    iotimer_t* timer = msg->lifetimer;
    msg->lifetimer = nullptr;
    bool call = !msg->cbexec;
    msg->cbexec = 1;
    LeaveCriticalSection(&mgmt->msgCS);

    if (timer) iotimer_stop(timer);
    if (call && msg->dnscb) msg->dnscb(msg->cbobj, msg->name, msg->nlen, nullptr, 404);
    dns_msg_put(msg); /* the table's reference */
    return 0;
}

int dns_msg_encode(dns_msg_t* msg)
{
    if (!msg || !msg->qname) return -1;
    if (!msg->reqfrm) msg->reqfrm = frame_new(kHeaderLen + msg->qnlen + 4);
    if (!msg->reqfrm) return -1;
    frame_empty(msg->reqfrm);
    uint8_t hdr[kHeaderLen] = {(uint8_t)(msg->msgid >> 8), (uint8_t)msg->msgid, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    uint8_t tail[4] = {(uint8_t)(msg->qtype >> 8), (uint8_t)msg->qtype, (uint8_t)(msg->qclass >> 8),
                       (uint8_t)msg->qclass};
    frame_put_nlast(msg->reqfrm, hdr, sizeof hdr);
    frame_put_nlast(msg->reqfrm, msg->qname, msg->qnlen);
    frame_put_nlast(msg->reqfrm, tail, sizeof tail);
    int want = kHeaderLen + msg->qnlen + 4;
    return msg->reqfrm->len == want ? want : -1;
}

int dns_msg_send(dns_msg_t* msg)
{
    if (!msg || !msg->dnsmgmt) return -1;
    dns_mgmt_t* mgmt = msg->dnsmgmt;
    if (mgmt->closing.load() || msg->sendtimes >= kMaxSends) return -200;
    int len = dns_msg_encode(msg);
    if (len < 0) return -200;
    const uint8_t* req = msg->reqfrm->data + msg->reqfrm->start;

    dns_nsrv_t* list = msg->nsrv ? msg->nsrv : mgmt->nsrv;
    if (!list) return -200;
    if (list == mgmt->nsrv && dns_nsrv_num(mgmt) == 0) dns_nsrv_append(mgmt, kDefaultServer, kDnsPort);

    int ret = -200;
    EnterCriticalSection(&list->hostCS);
    int n = arr_num(list->host_list);
    for (int i = 0; i < n && ret < 0; i++) {
        int idx = (msg->nsrvind + i) % n;
        auto* host = static_cast<dns_host_t*>(arr_value(list->host_list, idx));
        if (!host) continue;
        for (int d = 0; d < mgmt->cli_dev_num; d++) {
            iodev_t* dev = mgmt->cli_dev[d];
            if (!dev || dev->fd < 0 || dev->family != host->addr.family) continue;
            ssize_t w;
            do {
                w = sendto(dev->fd, req, (size_t)len, MSG_NOSIGNAL, &host->addr.u.addr,
                           (socklen_t)host->addr.socklen);
            } while (w < 0 && errno == EINTR);
            if (w == len) {
                msg->nsrvind = idx + 1;
                msg->sendtimes++;
                msg->destaddr = host->addr;
                ret = 0;
                break;
            }
        }
    }
    LeaveCriticalSection(&list->hostCS);
    return ret;
}

int dns_msg_decode(dns_msg_t* msg, const uint8_t* data, int len)
{
    if (!msg || !data || len < kHeaderLen) return -1;
    if (be16(data) != msg->msgid) return -2;
    int rcode = data[3] & 0x0F;
    int qd = be16(data + 4), an = be16(data + 6), ns = be16(data + 8), ar = be16(data + 10);
    if (qd != 1) return -3;

    char qn[DNS_NAME_MAX + 1], want[DNS_NAME_MAX + 1];
    int qlen = 0;
    int pos = dns_rr_name_parse(data, len, kHeaderLen, qn, sizeof qn, &qlen);
    if (pos < 0 || pos + 4 > len) return -3;
    if (hostn_to_dot_format(msg->qname, msg->qnlen, want, sizeof want) < 0) return -3;
    if (strcasecmp(qn, want) != 0 || be16(data + pos) != msg->qtype || be16(data + pos + 2) != msg->qclass)
        return -3;
    pos += 4;

    /* Every record takes at least 11 bytes: counts the datagram cannot hold
     * are refused before any is read. */
    if ((int64_t)(an + ns + ar) * kMinRecordLen > len - pos) return -4;

    time_t now = mgmt_now(msg->dnsmgmt);
    arr_t* lists[3] = {arr_new(an > 0 ? an : 4), arr_new(ns > 0 ? ns : 4), arr_new(ar > 0 ? ar : 4)};
    int counts[3] = {an, ns, ar};
    int rc = (lists[0] && lists[1] && lists[2]) ? 0 : -4;
    for (int k = 0; k < 3 && rc == 0; k++) {
        for (int i = 0; i < counts[k]; i++) {
            dns_rr_t* rr = nullptr;
            pos = dns_rr_parse(data, len, pos, &rr, now);
            if (pos < 0 || !rr || arr_push(lists[k], rr) == 0) {
                dns_rr_free(rr);
                rc = -4;
                break;
            }
        }
    }
    if (rc < 0) {
        for (arr_t*& l : lists) free_rr_list(&l);
        return rc;
    }
    free_reply(msg);
    msg->rcode = rcode;
    msg->an_num = an;
    msg->ns_num = ns;
    msg->ar_num = ar;
    msg->an_list = lists[0];
    msg->ns_list = lists[1];
    msg->ar_list = lists[2];
    return 0;
}

int dns_msg_handle(dns_msg_t* msg)
{
    if (!msg || !live_ref(msg)) return -1;
    dns_mgmt_t* mgmt = msg->dnsmgmt;
    mgmt->active.fetch_add(1);

    enum { NONE, WAIT, ANSWER, NSLOOKUP } act = NONE;
    dns_cache_t* entry = nullptr;
    int status = 0;
    char nsname[DNS_NAME_MAX + 1] = "";

    EnterCriticalSection(&msg->stateCS);
    if (!msg->replied || msg_closed(msg)) {
        LeaveCriticalSection(&msg->stateCS);
        dns_msg_put(msg);
        mgmt->active.fetch_sub(1);
        return -1;
    }
    msg->replied = 0;
    status = msg->rcode;
    entry = dns_cache_open(mgmt, msg->name, msg->nlen);

    /* 1-2: the addresses answered go into the entry. */
    int added = 0;
    for (int i = 0; entry && i < arr_num(msg->an_list); i++) {
        auto* rr = static_cast<dns_rr_t*>(arr_value(msg->an_list, i));
        if (!rr || !rr_is_addr(rr)) continue;
        arr_set(msg->an_list, i, nullptr);
        added += dns_cache_add(entry, rr);
    }
    if (!entry) act = ANSWER;
    else if (added > 0) act = ANSWER;

    /* 3: nothing answered: the next server. */
    if (act == NONE && msg->an_num == 0 && msg->sendtimes < kResendEmpty && dns_msg_send(msg) == 0) act = WAIT;

    /* 4: a canonical name: its cached addresses, or ask for it. */
    if (act == NONE && has_cname(msg->an_list)) {
        char qtext[DNS_NAME_MAX + 1];
        if (hostn_to_dot_format(msg->qname, msg->qnlen, qtext, sizeof qtext) >= 0) {
            char target[DNS_NAME_MAX + 1];
            snprintf(target, sizeof target, "%s", chain_end(msg->an_list, qtext));
            if (strcasecmp(target, qtext) != 0 && !dns_cache_find_A_rr(entry, target)) {
                dns_cache_t* other = dns_cache_mgmt_get(mgmt, target, -1);
                if (other && other != entry && dns_cache_a_num(other) > 0) {
                    dns_cache_copy(other, entry);
                } else if (msg_set_question(msg, target) && dns_msg_send(msg) == 0) {
                    act = WAIT;
                }
            }
        }
    }

    /* 5 */
    if (act == NONE && dns_cache_a_num(entry) > 0) act = ANSWER;

    /* 6: a referral, to the glue addresses or through a look-up of the
     * server's own name. */
    if (act == NONE && msg->an_num == 0) {
        dns_nsrv_t* glue = referral_servers(msg, nsname, sizeof nsname);
        if (glue) {
            msg_use_servers(msg, glue);
            if (dns_msg_send(msg) == 0) act = WAIT;
            nsname[0] = '\0';
        } else if (nsname[0] && msg->depth < kMaxNsDepth && msg->sendtimes < kMaxSends) {
            act = NSLOOKUP;
        }
    }
    if (act == NONE) act = ANSWER;
    int depth = msg->depth;
    LeaveCriticalSection(&msg->stateCS);

    if (act == NSLOOKUP) {
        auto* link = static_cast<NsLink*>(kalloc(sizeof(NsLink)));
        int rc = -100;
        if (link) {
            link->mgmt = mgmt;
            link->msgid = msg->msgid;
            void* c = nullptr;
            t_depth = depth + 1;
            rc = dns_nb_query(mgmt, nsname, -1, nullptr, &c, dns_msg_nsrv_cb, link);
            t_depth = 0;
            /* Without a query and without a callback the link is still ours. */
            if (rc < 0) kfree(link);
        }
        if (rc < 0) act = ANSWER;
    }
    if (act == ANSWER) {
        /* 7, and the answers above. */
        if (entry && claim_callback(msg) && msg->dnscb) msg->dnscb(msg->cbobj, msg->name, msg->nlen, entry, status);
        dns_msg_close(msg);
    }
    dns_msg_put(msg);
    mgmt->active.fetch_sub(1);
    return 0;
}

int dns_msg_nsrv_cb(void* cbobj, char* name, int namelen, void* cache, int status)
{
    (void)namelen;
    auto* link = static_cast<NsLink*>(cbobj);
    if (!link) return -1;
    dns_mgmt_t* mgmt = link->mgmt;
    uint16_t id = link->msgid;
    kfree(link);
    mgmt->active.fetch_add(1);
    dns_msg_t* msg = dns_msg_mgmt_get(mgmt, id);
    if (!msg) {
        mgmt->active.fetch_sub(1);
        return -1;
    }

    dns_nsrv_t* list = dns_nsrv_alloc();
    if (list) {
        if ((status == 200 || status == 201) && name) {
            dns_nsrv_add(list, name, kDnsPort);
        } else if (status == 0 && cache) {
            char ips[DNS_CLI_DEV_MAX * 4][41];
            int n = dns_cache_getiplist(static_cast<dns_cache_t*>(cache), ips, DNS_CLI_DEV_MAX * 4);
            for (int i = 0; i < n; i++) dns_nsrv_add(list, ips[i], kDnsPort);
        }
    }
    bool sent = false;
    if (list && arr_num(list->host_list) > 0) {
        EnterCriticalSection(&msg->stateCS);
        if (!msg_closed(msg)) {
            msg_use_servers(msg, list);
            list = nullptr;
            sent = dns_msg_send(msg) == 0;
        }
        LeaveCriticalSection(&msg->stateCS);
    }
    dns_nsrv_free(list);
    if (!sent) dns_msg_close(msg); /* 404 */
    dns_msg_put(msg);
    mgmt->active.fetch_sub(1);
    return sent ? 0 : -1;
}

int dns_msg_lifecheck(dns_mgmt_t* mgmt, iotimer_t* timer)
{
    if (!mgmt || !timer) return -1;
    auto id = (uint16_t)(uintptr_t)iotimer_para(timer);
    dns_msg_t* msg = dns_msg_mgmt_get(mgmt, id);
    if (!msg) return 0;
    EnterCriticalSection(&mgmt->msgCS);
    bool mine = msg->lifetimer == timer;
    if (mine) msg->lifetimer = nullptr; /* this timer is being handled: nothing to stop */
    LeaveCriticalSection(&mgmt->msgCS);
    if (mine) dns_msg_close(msg);
    dns_msg_put(msg);
    return mine ? 1 : 0;
}

/* ------------------------------------------------------------------ */
/* Records                                                             */

int dns_rr_name_parse(const uint8_t* msg, int msglen, int pos, char* name, int namesize, int* namelen)
{
    if (namelen) *namelen = 0;
    if (!msg || !name || namesize < 1 || pos < 0 || pos >= msglen) return -1;
    int out = 0;
    int wire = 1; /* the final zero */
    int jumps = 0;
    int end = -1;
    int segstart = pos; /* first byte of the stretch being read */
    int p = pos;
    for (;;) {
        if (p >= msglen) return -1;
        uint8_t c = msg[p];
        if ((c & 0xC0) == 0xC0) {
            if (p + 1 >= msglen) return -1;
            int target = ((c & 0x3F) << 8) | msg[p + 1];
            /* Only backwards, before the stretch holding the pointer: every
             * jump lands lower, so no chain of pointers can loop. */
            if (target >= segstart || ++jumps > DNS_PTR_JUMPS_MAX) return -1;
            if (end < 0) end = p + 2;
            p = segstart = target;
            continue;
        }
        if (c & 0xC0) return -1; /* reserved label types */
        if (c == 0) {
            if (end < 0) end = p + 1;
            break;
        }
        if (c > DNS_LABEL_MAX || c > msglen - p - 1) return -1;
        wire += c + 1;
        if (wire > DNS_NAME_MAX) return -1;
        int need = (out ? 1 : 0) + c;
        if (out + need + 1 > namesize) return -1;
        if (out) name[out++] = '.';
        memcpy(name + out, msg + p + 1, c);
        out += c;
        p += 1 + c;
    }
    name[out] = '\0';
    if (namelen) *namelen = out;
    return end;
}

dns_rr_t* dns_rr_alloc(void)
{
    return static_cast<dns_rr_t*>(kzalloc(sizeof(dns_rr_t)));
}

void dns_rr_free(void* p)
{
    auto* rr = static_cast<dns_rr_t*>(p);
    if (!rr) return;
    kfree(rr->name);
    kfree(rr->rdata);
    kfree(rr);
}

dns_rr_t* dns_rr_dup(const dns_rr_t* rr)
{
    if (!rr) return nullptr;
    dns_rr_t* d = dns_rr_alloc();
    if (!d) return nullptr;
    *d = *rr;
    d->name = nullptr;
    d->rdata = nullptr;
    if (rr->name && !(d->name = dup_text(rr->name, rr->namelen))) {
        dns_rr_free(d);
        return nullptr;
    }
    if (rr->rdata && rr->rdlen) {
        d->rdata = static_cast<uint8_t*>(kalloc((size_t)rr->rdlen + 1));
        if (!d->rdata) {
            dns_rr_free(d);
            return nullptr;
        }
        memcpy(d->rdata, rr->rdata, rr->rdlen);
        d->rdata[rr->rdlen] = 0;
    }
    return d;
}

int dns_rr_parse(const uint8_t* msg, int msglen, int pos, dns_rr_t** prr, time_t now)
{
    if (prr) *prr = nullptr;
    if (!msg || !prr) return -1;
    char nm[DNS_NAME_MAX + 1];
    int nl = 0;
    int p = dns_rr_name_parse(msg, msglen, pos, nm, sizeof nm, &nl);
    if (p < 0 || msglen - p < 10) return -1;
    uint16_t type = be16(msg + p);
    uint16_t cls = be16(msg + p + 2);
    uint32_t ttl = be32(msg + p + 4);
    int rdlen = be16(msg + p + 8);
    p += 10;
    if (rdlen > msglen - p) return -1; /* runs past the datagram */

    dns_rr_t* rr = dns_rr_alloc();
    if (!rr) return -1;
    rr->name = dup_text(nm, nl);
    rr->namelen = nl;
    rr->type = type;
    rr->rclass = cls;
    rr->ttl = ttl > 0x7FFFFFFFu ? 0 : ttl; /* a TTL with the top bit set means 0 */
    rr->rcvtick = now;
    bool ok = rr->name != nullptr;
    if (ok && (type == DNS_T_A || type == DNS_T_AAAA)) {
        int want = type == DNS_T_A ? 4 : 16;
        ok = rdlen == want;
        if (ok) {
            ad_text(msg + p, type, rr->ip);
            rr->rdata = static_cast<uint8_t*>(kalloc((size_t)want + 1));
            ok = rr->rdata != nullptr;
            if (ok) {
                memcpy(rr->rdata, msg + p, (size_t)want);
                rr->rdata[want] = 0;
                rr->rdlen = (uint16_t)want;
            }
        }
    } else if (ok && (type == DNS_T_CNAME || type == DNS_T_NS || type == DNS_T_PTR)) {
        char tn[DNS_NAME_MAX + 1];
        int tl = 0;
        int tp = dns_rr_name_parse(msg, msglen, p, tn, sizeof tn, &tl);
        /* The target's own labels stay inside the record's data. */
        ok = rdlen > 0 && tp >= 0 && tp <= p + rdlen;
        if (ok) {
            rr->rdata = reinterpret_cast<uint8_t*>(dup_text(tn, tl));
            rr->rdlen = (uint16_t)tl;
            ok = rr->rdata != nullptr;
        }
    } else if (ok && rdlen > 0) {
        rr->rdata = static_cast<uint8_t*>(kalloc((size_t)rdlen + 1));
        ok = rr->rdata != nullptr;
        if (ok) {
            memcpy(rr->rdata, msg + p, (size_t)rdlen);
            rr->rdata[rdlen] = 0;
            rr->rdlen = (uint16_t)rdlen;
        }
    }
    if (!ok) {
        dns_rr_free(rr);
        return -1;
    }
    *prr = rr;
    return p + rdlen;
}

void dns_rr_print(const dns_rr_t* rr, FILE* fp)
{
    if (!rr || !fp) return;
    fputs(rr->name ? rr->name : "", fp);
    switch (rr->type) {
    case DNS_T_A:     fputs(" A", fp); break;
    case DNS_T_NS:    fputs(" NS", fp); break;
    case DNS_T_CNAME: fputs(" CNAME", fp); break;
    case DNS_T_SOA:   fputs(" SOA", fp); break;
    case DNS_T_PTR:   fputs(" PTR", fp); break;
    case DNS_T_MX:    fputs(" MX", fp); break;
    case DNS_T_TXT:   fputs(" TXT", fp); break;
    case DNS_T_AAAA:  fputs(" AAAA", fp); break;
    case DNS_T_ALL:   fputs(" ALL", fp); break;
    default:          fprintf(fp, " %u-Unknown", rr->type); break;
    }
    if (rr->rclass == DNS_C_IN) fputs(" IN", fp);
    else if (rr->rclass == DNS_C_ANY) fputs(" ANY", fp);
    else fprintf(fp, " %u-Unknown", rr->rclass);
    fprintf(fp, " %u/%d", rr->ttl, rr->outofdate);
    if (rr_is_addr(rr)) fprintf(fp, " %s", rr->ip);
    else if ((rr->type == DNS_T_CNAME || rr->type == DNS_T_NS) && rr->rdata) fprintf(fp, " %s", (const char*)rr->rdata);
    fputc('\n', fp);
}

int hostn_to_dns_format(const char* name, int len, uint8_t* out, int outsize)
{
    if (!name || !out) return -1;
    int n = len < 0 ? (int)strlen(name) : (int)strnlen(name, (size_t)len);
    if (n > 0 && name[n - 1] == '.') n--; /* a fully qualified name */
    if (n == 0) return -1;
    int o = 0;
    int start = 0;
    for (int i = 0; i <= n; i++) {
        if (i < n && name[i] != '.') continue;
        int l = i - start;
        if (l == 0 || l > DNS_LABEL_MAX || o + 1 + l + 1 > outsize || o + 1 + l + 1 > DNS_NAME_MAX) return -1;
        out[o++] = (uint8_t)l;
        memcpy(out + o, name + start, (size_t)l);
        o += l;
        start = i + 1;
    }
    out[o++] = 0;
    return o;
}

int hostn_to_dot_format(const uint8_t* qname, int qnlen, char* out, int outsize)
{
    if (!qname || !out || outsize < 1) return -1;
    int o = 0;
    int p = 0;
    while (p < qnlen && qname[p]) {
        int l = qname[p];
        if (l > DNS_LABEL_MAX || p + 1 + l > qnlen) return -1;
        if (o + (o ? 1 : 0) + l + 1 > outsize) return -1;
        if (o) out[o++] = '.';
        memcpy(out + o, qname + p + 1, (size_t)l);
        o += l;
        p += 1 + l;
    }
    if (p >= qnlen) return -1; /* no final zero */
    out[o] = '\0';
    return o;
}

/* ------------------------------------------------------------------ */
/* Cache                                                               */

dns_cache_t* dns_cache_alloc(void)
{
    auto* c = static_cast<dns_cache_t*>(kzalloc(sizeof(dns_cache_t)));
    if (!c) return nullptr;
    c->rr_list = arr_new(4);
    if (!c->rr_list) {
        kfree(c);
        return nullptr;
    }
    InitializeCriticalSection(&c->rrlistCS);
    return c;
}

void dns_cache_free(void* p)
{
    auto* c = static_cast<dns_cache_t*>(p);
    if (!c) return;
    arr_pop_free(c->rr_list, dns_rr_free);
    DeleteCriticalSection(&c->rrlistCS);
    kfree(c);
}

int dns_cache_cmp_name(void* value, void* key)
{
    auto* c = static_cast<dns_cache_t*>(value);
    return c && key && strcasecmp(c->name, static_cast<const char*>(key)) == 0 ? 0 : 1;
}

static bool cache_key(const char* name, int len, char* key)
{
    if (!name) return false;
    size_t n = len < 0 ? strlen(name) : strnlen(name, (size_t)len);
    if (n == 0 || n > DNS_NAME_MAX) return false;
    memcpy(key, name, n);
    key[n] = '\0';
    return true;
}

dns_cache_t* dns_cache_mgmt_get(dns_mgmt_t* mgmt, const char* name, int len)
{
    char key[DNS_NAME_MAX + 1];
    if (!mgmt || !mgmt->cache_table || !cache_key(name, len, key)) return nullptr;
    EnterCriticalSection(&mgmt->cacheCS);
    auto* c = static_cast<dns_cache_t*>(ht_get(mgmt->cache_table, key));
    if (c) c->stamp = mgmt_now(mgmt);
    LeaveCriticalSection(&mgmt->cacheCS);
    return c;
}

int dns_cache_mgmt_add(dns_mgmt_t* mgmt, dns_cache_t* cache)
{
    if (!mgmt || !cache) return -1;
    EnterCriticalSection(&mgmt->cacheCS);
    int r = ht_set(mgmt->cache_table, cache->name, cache);
    if (r > 0 && !mgmt->cachetimer && !mgmt->closing.load())
        mgmt->cachetimer = iotimer_start(mgmt->pcore, DNS_CACHE_SWEEP_MS, DNS_TIMER_SWEEP, mgmt, dns_pump, mgmt);
    LeaveCriticalSection(&mgmt->cacheCS);
    return r > 0 ? 0 : -200;
}

dns_cache_t* dns_cache_mgmt_del(dns_mgmt_t* mgmt, dns_cache_t* cache)
{
    if (!mgmt || !cache) return nullptr;
    EnterCriticalSection(&mgmt->cacheCS);
    dns_cache_t* c = nullptr;
    if (ht_get(mgmt->cache_table, cache->name) == cache) c = static_cast<dns_cache_t*>(ht_delete(mgmt->cache_table, cache->name));
    LeaveCriticalSection(&mgmt->cacheCS);
    return c;
}

dns_cache_t* dns_cache_open(dns_mgmt_t* mgmt, const char* name, int len)
{
    char key[DNS_NAME_MAX + 1];
    if (!mgmt || !mgmt->cache_table || !cache_key(name, len, key)) return nullptr;
    EnterCriticalSection(&mgmt->cacheCS);
    auto* c = static_cast<dns_cache_t*>(ht_get(mgmt->cache_table, key));
    LeaveCriticalSection(&mgmt->cacheCS);
    if (!c) {
        dns_cache_t* fresh = dns_cache_alloc();
        if (!fresh) return nullptr;
        snprintf(fresh->name, sizeof fresh->name, "%s", key);
        fresh->dnsmgmt = mgmt;
        EnterCriticalSection(&mgmt->cacheCS);
        c = static_cast<dns_cache_t*>(ht_get(mgmt->cache_table, key));
        bool mine = !c;
        if (mine) {
            if (ht_set(mgmt->cache_table, fresh->name, fresh) > 0) {
                c = fresh;
                if (!mgmt->cachetimer && !mgmt->closing.load())
                    mgmt->cachetimer =
                        iotimer_start(mgmt->pcore, DNS_CACHE_SWEEP_MS, DNS_TIMER_SWEEP, mgmt, dns_pump, mgmt);
            } else {
                mine = false;
            }
        }
        LeaveCriticalSection(&mgmt->cacheCS);
        if (!mine || c != fresh) dns_cache_free(fresh);
        if (!c) return nullptr;
    }
    EnterCriticalSection(&mgmt->cacheCS);
    c->stamp = mgmt_now(mgmt);
    LeaveCriticalSection(&mgmt->cacheCS);
    return c;
}

int dns_cache_close(dns_cache_t* cache)
{
    return cache ? 0 : -1;
}

int dns_cache_verify(dns_cache_t* cache)
{
    if (!cache) return 0;
    time_t now = mgmt_now(cache->dnsmgmt);
    EnterCriticalSection(&cache->rrlistCS);
    for (int i = arr_num(cache->rr_list) - 1; i >= 0; i--) {
        auto* rr = static_cast<dns_rr_t*>(arr_value(cache->rr_list, i));
        if (!rr || !rr_valid(rr, now)) dns_rr_free(arr_delete(cache->rr_list, i));
    }
    int n = arr_num(cache->rr_list);
    LeaveCriticalSection(&cache->rrlistCS);
    return n;
}

int dns_cache_check(dns_cache_t* cache)
{
    if (!cache) return 0;
    time_t now = mgmt_now(cache->dnsmgmt);
    int n = 0;
    EnterCriticalSection(&cache->rrlistCS);
    for (int i = 0; i < arr_num(cache->rr_list); i++) {
        auto* rr = static_cast<dns_rr_t*>(arr_value(cache->rr_list, i));
        if (!rr) continue;
        if (rr_valid(rr, now)) n++;
        else rr->outofdate = 1;
    }
    cache->anum = n;
    LeaveCriticalSection(&cache->rrlistCS);
    return n;
}

int dns_cache_a_num(dns_cache_t* cache)
{
    if (!cache) return 0;
    return nth_addr(cache, 0, nullptr, 0);
}

int dns_cache_getip(dns_cache_t* cache, int index, char* buf, int len)
{
    if (!cache) return 0;
    int n = nth_addr(cache, index, buf, len);
    dns_mgmt_t* mgmt = cache->dnsmgmt;
    if (mgmt) {
        EnterCriticalSection(&mgmt->cacheCS);
        cache->stamp = mgmt_now(mgmt);
        LeaveCriticalSection(&mgmt->cacheCS);
    }
    return n;
}

int dns_cache_copy_ip(dns_cache_t* cache, int index, char* buf, int len)
{
    if (!cache || !buf || len < 1) return -1;
    int n = nth_addr(cache, index, buf, len);
    return n > 0 ? 0 : -1;
}

int dns_cache_getiplist(dns_cache_t* cache, char (*ips)[41], int num)
{
    if (!cache || !ips || num < 1) return 0;
    time_t now = mgmt_now(cache->dnsmgmt);
    int n = 0;
    EnterCriticalSection(&cache->rrlistCS);
    for (int i = 0; i < arr_num(cache->rr_list) && n < num; i++) {
        auto* rr = static_cast<dns_rr_t*>(arr_value(cache->rr_list, i));
        if (rr && rr_is_addr(rr) && rr_valid(rr, now)) snprintf(ips[n++], 41, "%s", rr->ip);
    }
    LeaveCriticalSection(&cache->rrlistCS);
    return n;
}

int dns_cache_sockaddr(dns_cache_t* cache, int index, int port, ep_sockaddr_t* addr)
{
    if (!cache || !addr) return -1;
    char ips[16][41];
    int n = dns_cache_getiplist(cache, ips, 16);
    if (index < 0 || index >= n) index = 0;
    for (int k = 0; k < n; k++) {
        int i = (index + k) % n;
        if (sock_addr_parse(ips[i], -1, port, addr) == 1) return i;
    }
    return -100;
}

int dns_cache_copy(dns_cache_t* src, dns_cache_t* dst)
{
    if (!src || !dst || src == dst) return 0;
    time_t now = mgmt_now(src->dnsmgmt);
    arr_t* dups = arr_new(4);
    if (!dups) return 0;
    EnterCriticalSection(&src->rrlistCS);
    for (int i = 0; i < arr_num(src->rr_list); i++) {
        auto* rr = static_cast<dns_rr_t*>(arr_value(src->rr_list, i));
        if (!rr || !rr_valid(rr, now)) continue;
        dns_rr_t* d = dns_rr_dup(rr);
        if (d && arr_push(dups, d) == 0) dns_rr_free(d);
    }
    LeaveCriticalSection(&src->rrlistCS);
    int n = 0;
    for (int i = 0; i < arr_num(dups); i++) {
        dns_cache_add(dst, static_cast<dns_rr_t*>(arr_value(dups, i)));
        n++;
    }
    arr_free(dups);
    return n;
}

int dns_cache_add(dns_cache_t* cache, dns_rr_t* rr)
{
    if (!cache || !rr) {
        dns_rr_free(rr);
        return -1;
    }
    EnterCriticalSection(&cache->rrlistCS);
    for (int i = 0; i < arr_num(cache->rr_list); i++) {
        auto* old = static_cast<dns_rr_t*>(arr_value(cache->rr_list, i));
        if (old && same_rr(old, rr)) {
            old->rcvtick = rr->rcvtick;
            old->ttl = rr->ttl;
            old->outofdate = 0;
            LeaveCriticalSection(&cache->rrlistCS);
            dns_rr_free(rr);
            return 0;
        }
    }
    int n = arr_push(cache->rr_list, rr);
    LeaveCriticalSection(&cache->rrlistCS);
    if (n == 0) {
        dns_rr_free(rr);
        return -1;
    }
    return 1;
}

int dns_cache_find_A_rr(dns_cache_t* cache, const char* name)
{
    if (!cache || !name) return 0;
    time_t now = mgmt_now(cache->dnsmgmt);
    int found = 0;
    EnterCriticalSection(&cache->rrlistCS);
    for (int i = 0; i < arr_num(cache->rr_list) && !found; i++) {
        auto* rr = static_cast<dns_rr_t*>(arr_value(cache->rr_list, i));
        found = rr && rr_is_addr(rr) && rr_valid(rr, now) && rr->name && strcasecmp(rr->name, name) == 0;
    }
    LeaveCriticalSection(&cache->rrlistCS);
    return found;
}

int dns_cache_zap(dns_cache_t* cache)
{
    if (!cache) return -1;
    EnterCriticalSection(&cache->rrlistCS);
    while (arr_num(cache->rr_list) > 0) dns_rr_free(arr_pop(cache->rr_list));
    LeaveCriticalSection(&cache->rrlistCS);
    return 0;
}

int dns_cache_num(dns_mgmt_t* mgmt)
{
    if (!mgmt || !mgmt->cache_table) return 0;
    EnterCriticalSection(&mgmt->cacheCS);
    int n = ht_num(mgmt->cache_table);
    LeaveCriticalSection(&mgmt->cacheCS);
    return n;
}

int dns_cache_lifecheck(dns_mgmt_t* mgmt)
{
    if (!mgmt || !mgmt->cache_table) return 0;
    time_t now = mgmt_now(mgmt);
    arr_t* gone = arr_new(4);
    EnterCriticalSection(&mgmt->cacheCS);
    for (int i = ht_num(mgmt->cache_table) - 1; i >= 0; i--) {
        auto* c = static_cast<dns_cache_t*>(ht_value(mgmt->cache_table, i));
        if (!c) continue;
        int valid = dns_cache_check(c);
        if (valid == 0 && (int64_t)now - (int64_t)c->stamp > DNS_CACHE_IDLE_SECS && gone &&
            arr_push(gone, c) > 0)
            ht_delete(mgmt->cache_table, c->name);
    }
    int left = ht_num(mgmt->cache_table);
    LeaveCriticalSection(&mgmt->cacheCS);
    if (gone) arr_pop_free(gone, dns_cache_free);
    return left;
}

/* ------------------------------------------------------------------ */
/* Pump side                                                           */

int dns_pump(void* p, void* obj, int event, int fdtype)
{
    auto* mgmt = static_cast<dns_mgmt_t*>(p);
    if (!mgmt || !obj) return -1;
    mgmt->active.fetch_add(1);
    if (!mgmt->closing.load()) {
        if (event == EVT_READ && fdtype == IODEV_UDP_CLIENT) {
            dns_recv(mgmt, static_cast<iodev_t*>(obj));
        } else if (event == EVT_TIMEOUT) {
            auto* timer = static_cast<iotimer_t*>(obj);
            if (iotimer_cmdid(timer) == DNS_TIMER_LIFE) dns_msg_lifecheck(mgmt, timer);
            else if (iotimer_cmdid(timer) == DNS_TIMER_SWEEP) sweep(mgmt, timer);
        }
    }
    mgmt->active.fetch_sub(1);
    return 0;
}

int dns_recv(dns_mgmt_t* mgmt, iodev_t* dev)
{
    if (!mgmt || !dev) return -1;
    /* A heap frame per pass: a datagram may be up to 64 KiB. */
    frame_t* frm = frame_new(512);
    if (!frm) return -1;
    int n = 0;
    for (;;) {
        frame_empty(frm);
        ep_sockaddr_t from;
        int alen = 0;
        int r = epudp_recvfrom(dev, frm, &from, &alen);
        if (r < 0) break; /* drained (edge-triggered: read until EAGAIN) */
        n++;
        if (r > 0) handle_datagram(mgmt, dev, &frm);
        if (!frm) break;
    }
    if (frm) frame_free(frm);
    return n;
}
