/* Helpers for the resolver's tests: hand-built DNS messages, a name server
 * on a loopback UDP socket that the test thread answers itself, a clock the
 * test moves, and a resolver configuration file in a private folder that
 * the resolver reads in place of "/etc/resolv.conf". */
#ifndef KORVID_TEST_DNSTEST_H
#define KORVID_TEST_DNSTEST_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "base/pumptest.h"
#include "base/tmpdir.h"
#include "epdns.h"

namespace dnstest {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, unsigned v)
{
    b.push_back((uint8_t)(v >> 8));
    b.push_back((uint8_t)v);
}

inline void put32(Bytes& b, uint32_t v)
{
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}

/* Labels of a dotted name, ending in the zero byte. */
inline Bytes labels(const std::string& name)
{
    Bytes b;
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        b.push_back((uint8_t)(dot - start));
        b.insert(b.end(), name.begin() + (long)start, name.begin() + (long)dot);
        start = dot + 1;
    }
    b.push_back(0);
    return b;
}

inline Bytes ptr(unsigned offset)
{
    return {(uint8_t)(0xC0 | (offset >> 8)), (uint8_t)offset};
}

/* A message: header, one question, then records appended with rr(). */
struct Msg {
    Bytes b;
    Msg(unsigned id, unsigned rcode, const std::string& qname, unsigned an, unsigned ns, unsigned ar,
        unsigned qtype = DNS_T_A, unsigned qclass = DNS_C_IN)
    {
        put16(b, id);
        put16(b, 0x8180 | rcode);
        put16(b, 1);
        put16(b, an);
        put16(b, ns);
        put16(b, ar);
        Bytes q = labels(qname);
        b.insert(b.end(), q.begin(), q.end());
        put16(b, qtype);
        put16(b, qclass);
    }
    /* owner: label bytes (labels() or ptr()). */
    Msg& rr(const Bytes& owner, unsigned type, uint32_t ttl, const Bytes& rdata, unsigned cls = DNS_C_IN)
    {
        b.insert(b.end(), owner.begin(), owner.end());
        put16(b, type);
        put16(b, cls);
        put32(b, ttl);
        put16(b, (unsigned)rdata.size());
        b.insert(b.end(), rdata.begin(), rdata.end());
        return *this;
    }
    Msg& a(const std::string& owner, const std::string& ip, uint32_t ttl = 300)
    {
        Bytes r(4);
        inet_pton(AF_INET, ip.c_str(), r.data());
        return rr(labels(owner), DNS_T_A, ttl, r);
    }
    Msg& aaaa(const std::string& owner, const std::string& ip, uint32_t ttl = 300)
    {
        Bytes r(16);
        inet_pton(AF_INET6, ip.c_str(), r.data());
        return rr(labels(owner), DNS_T_AAAA, ttl, r);
    }
    Msg& name_rr(const std::string& owner, unsigned type, const std::string& target, uint32_t ttl = 300)
    {
        return rr(labels(owner), type, ttl, labels(target));
    }
};

/* The question name of a request, or "" when it is not one. */
inline std::string question(const Bytes& q)
{
    if (q.size() < 17) return "";
    char name[256];
    int len = 0;
    if (dns_rr_name_parse(q.data(), (int)q.size(), 12, name, sizeof name, &len) < 0) return "";
    return std::string(name, (size_t)len);
}

inline unsigned id_of(const Bytes& q) { return q.size() >= 2 ? (unsigned)(q[0] << 8 | q[1]) : 0; }

/* A name server on a loopback UDP socket; the test thread reads each query
 * and sends the answer it builds. */
struct Server {
    testfs::Fd fd;
    int port = 0;
    sockaddr_in peer{};
    explicit Server(const char* ip = "127.0.0.1", int bindport = 0)
    {
        fd.reset(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)bindport);
        inet_pton(AF_INET, ip, &a.sin_addr);
        if (bind(fd, (sockaddr*)&a, sizeof a) != 0) {
            fd.reset();
            return;
        }
        socklen_t l = sizeof a;
        getsockname(fd, (sockaddr*)&a, &l);
        port = ntohs(a.sin_port);
    }
    bool ok() const { return fd.fd >= 0; }
    /* The next query within ms; empty when none came. */
    Bytes next(int ms = pumptest::kEventWaitMs)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return {};
        Bytes b(65536);
        socklen_t l = sizeof peer;
        ssize_t n = recvfrom(fd, b.data(), b.size(), 0, (sockaddr*)&peer, &l);
        b.resize(n > 0 ? (size_t)n : 0);
        return b;
    }
    void send(const Bytes& reply)
    {
        sendto(fd, reply.data(), reply.size(), 0, (sockaddr*)&peer, sizeof peer);
    }
};

/* Seconds the resolver's clock runs ahead of the wall clock. */
inline std::atomic<long> g_ahead{0};
inline time_t clock_ahead(void) { return time(nullptr) + g_ahead.load(); }

/* "/etc/resolv.conf" read from a private folder while it lives; the
 * resolvers made meanwhile name only the servers the test adds. */
struct ResolvConf {
    testfs::TempDir dir{"korvid-dns"};
    static inline std::string path;
    explicit ResolvConf(const std::string& text = "# servers are added by the test\n")
    {
        path = dir / "resolv.conf";
        testfs::write_file(path, text);
        dns_set_path_map([](const char* p, char* buf, size_t size) -> char* {
            snprintf(buf, size, "%s", strcmp(p, "/etc/resolv.conf") == 0 ? path.c_str() : p);
            return buf;
        });
    }
    ~ResolvConf() { dns_set_path_map(nullptr); }
};

/* What a resolver callback saw. */
struct Outcome {
    pumptest::Latch done;
    std::atomic<int> status{-1};
    std::atomic<dns_cache_t*> cache{nullptr};
    static int cb(void* obj, char*, int, void* cache, int status)
    {
        auto* o = static_cast<Outcome*>(obj);
        o->status = status;
        o->cache = static_cast<dns_cache_t*>(cache);
        o->done.hit();
        return 0;
    }
    /* The first address of the entry the callback got ("" for none). */
    std::string ip(int index = 0)
    {
        char buf[41] = "";
        dns_cache_t* c = cache.load();
        if (c) dns_cache_copy_ip(c, index, buf, sizeof buf);
        return buf;
    }
};

} // namespace dnstest

#endif
