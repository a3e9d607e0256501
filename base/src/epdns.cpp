/* Resolver state of the event core: the list of name servers, the given one
 * first and then those named by the resolver configuration file. */
#include "epdns.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "epcore.h"
#include "memory.h"

namespace {

constexpr int kDnsPort = 53;
constexpr const char* kResolvConf = "/etc/resolv.conf";

void host_free(void* p)
{
    dns_host_t* h = static_cast<dns_host_t*>(p);
    if (!h) return;
    kfree(h->host);
    kfree(h);
}

char* dup_text(const char* s)
{
    size_t n = strlen(s) + 1;
    char* d = static_cast<char*>(kalloc(n));
    if (d) memcpy(d, s, n);
    return d;
}

/* "nameserver <address>" lines; anything else is ignored. */
void load_resolv_conf(dns_mgmt_t* mgmt, const char* path)
{
    FILE* fp = fopen(path, "r");
    if (!fp) return;
    char line[1024];
    while (fgets(line, sizeof line, fp)) {
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

} // namespace

dns_mgmt_t* dns_mgmt_init(epcore_t* core, const char* nameserver, const char* resolv_conf)
{
    dns_mgmt_t* mgmt = static_cast<dns_mgmt_t*>(kzalloc(sizeof(dns_mgmt_t)));
    if (!mgmt) return nullptr;
    mgmt->pcore = core;
    mgmt->resolv_conf = dup_text(resolv_conf ? resolv_conf : kResolvConf);
    mgmt->nsrv = static_cast<dns_nsrv_t*>(kzalloc(sizeof(dns_nsrv_t)));
    if (!mgmt->resolv_conf || !mgmt->nsrv) {
        kfree(mgmt->resolv_conf);
        kfree(mgmt->nsrv);
        kfree(mgmt);
        return nullptr;
    }
    InitializeCriticalSection(&mgmt->nsrv->hostCS);
    mgmt->nsrv->host_list = arr_new(4);
    if (nameserver && *nameserver) dns_nsrv_append(mgmt, nameserver, kDnsPort);
    load_resolv_conf(mgmt, mgmt->resolv_conf);
    return mgmt;
}

void dns_mgmt_clean(dns_mgmt_t* mgmt)
{
    if (!mgmt) return;
    if (mgmt->nsrv) {
        arr_pop_free(mgmt->nsrv->host_list, host_free);
        DeleteCriticalSection(&mgmt->nsrv->hostCS);
        kfree(mgmt->nsrv);
    }
    kfree(mgmt->resolv_conf);
    kfree(mgmt);
}

int dns_nsrv_append(dns_mgmt_t* mgmt, const char* ip, int port)
{
    if (!mgmt || !mgmt->nsrv || !ip) return -1;
    unsigned char buf[16];
    if (inet_pton(AF_INET, ip, buf) != 1 && inet_pton(AF_INET6, ip, buf) != 1) return -100;
    dns_host_t* h = static_cast<dns_host_t*>(kzalloc(sizeof(dns_host_t)));
    if (!h) return -200;
    snprintf(h->ip, sizeof h->ip, "%s", ip);
    h->port = port > 0 ? port : kDnsPort;
    EnterCriticalSection(&mgmt->nsrv->hostCS);
    int n = mgmt->nsrv->host_list ? arr_push(mgmt->nsrv->host_list, h) : 0;
    LeaveCriticalSection(&mgmt->nsrv->hostCS);
    if (n == 0) {
        host_free(h);
        return -200;
    }
    return 0;
}

int dns_nsrv_num(dns_mgmt_t* mgmt)
{
    if (!mgmt || !mgmt->nsrv) return 0;
    EnterCriticalSection(&mgmt->nsrv->hostCS);
    int n = arr_num(mgmt->nsrv->host_list);
    LeaveCriticalSection(&mgmt->nsrv->hostCS);
    return n;
}

int dns_nb_query(dns_mgmt_t* mgmt, const char* name, int len, dns_nsrv_t* nsrv, void** cache,
                 DnsCB* cb, void* cbobj)
{
    (void)nsrv;
    if (cache) *cache = nullptr;
    if (!mgmt) return -1;
    if (!name) return -2;
    size_t n = len < 0 ? strlen(name) : (size_t)len;
    if (n == 0) return -3;

    char text[256];
    if (n < sizeof text) {
        memcpy(text, name, n);
        text[n] = '\0';
        unsigned char buf[sizeof(struct in6_addr)];
        int kind = inet_pton(AF_INET, text, buf) == 1 ? 1 : inet_pton(AF_INET6, text, buf) == 1 ? 2 : 0;
        if (kind) {
            if (cb) cb(cbobj, text, (int)n, nullptr, kind == 1 ? 200 : 201);
            return kind;
        }
    }
    /* No query goes out on the network yet. */
    return -200;
}

int dns_query(epcore_t* core, const char* name, int len, DnsCB* cb, void* cbobj)
{
    if (!core) return -1;
    void* cache = nullptr;
    return dns_nb_query(static_cast<dns_mgmt_t*>(core->dnsmgmt), name, len, nullptr, &cache, cb, cbobj);
}

int dns_msg_handle(dns_msg_t* msg)
{
    return msg ? 0 : -1;
}
