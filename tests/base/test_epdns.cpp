// The resolver against a name server the test runs on loopback: literals,
// answers and the cache, CNAME chains, referrals, time-outs, the clock-driven
// TTL, and the decoding of hostile replies.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base/dnstest.h"
#include "base/pumptest.h"
#include "epcore.h"
#include "epdns.h"

using namespace dnstest;
using pumptest::wait_until;

namespace {

class Resolver : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(srv.ok());
        g_ahead = 0;
        epcore_set_clock(c.core, clock_ahead);
        ASSERT_EQ(dns_nsrv_num(dns()), 0) << "the private resolv.conf names no server";
        ASSERT_EQ(epcore_dnsrv_add(c.core, "127.0.0.1", srv.port), 0);
        ASSERT_TRUE(pumptest::start_pumps(c.core, 1));
    }
    void TearDown() override { g_ahead = 0; }

    dns_mgmt_t* dns() { return static_cast<dns_mgmt_t*>(c.core->dnsmgmt); }
    int query(const char* name, Outcome& o) { return dns_query(c.core, name, -1, Outcome::cb, &o); }
    int pending()
    {
        EnterCriticalSection(&dns()->msgCS);
        int n = ht_num(dns()->msg_table);
        LeaveCriticalSection(&dns()->msgCS);
        return n;
    }

    /* Declared before the core: the core's teardown may still call back. */
    ResolvConf conf;
    Outcome o[8];
    Server srv;
    pumptest::Core c;
};

/* A reply to q: the same id and question, no records yet. */
Msg reply_to(const Bytes& q, unsigned rcode, unsigned an, unsigned ns = 0, unsigned ar = 0)
{
    return Msg(id_of(q), rcode, question(q), an, ns, ar);
}

TEST_F(Resolver, LiteralsAnswerAtOnceAndTextMerelyStartingLikeOneIsAName)
{
    EXPECT_EQ(query("127.0.0.1", o[0]), 1);
    EXPECT_EQ(o[0].status, 200);
    EXPECT_EQ(query("::1", o[1]), 2);
    EXPECT_EQ(o[1].status, 201);
    EXPECT_TRUE(srv.next(0).empty()) << "nothing sent for literals";

    EXPECT_EQ(query("1.2.3.4evil.example", o[2]), 0);
    // NXDOMAIN carries no answers: asked three times, then final.
    for (int i = 0; i < 3; i++) {
        Bytes q = srv.next();
        ASSERT_EQ(question(q), "1.2.3.4evil.example");
        srv.send(reply_to(q, 3, 0).b);
    }
    ASSERT_TRUE(o[2].done.wait_for(1));
    EXPECT_EQ(o[2].status, 3);
    EXPECT_EQ(o[2].ip(), "");
}

TEST_F(Resolver, RequestIsWellFormedAndAnswersFillTheCache)
{
    ASSERT_EQ(query("cam.Example.com", o[0]), 0);
    Bytes q = srv.next();
    Bytes want_q = labels("cam.Example.com");
    ASSERT_EQ(q.size(), 12 + want_q.size() + 4);
    EXPECT_NE(id_of(q), 0u);
    EXPECT_EQ(Bytes(q.begin() + 2, q.begin() + 12), (Bytes{0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(q.begin() + 12, q.end() - 4), want_q);
    EXPECT_EQ(Bytes(q.end() - 4, q.end()), (Bytes{0, 1, 0, 1}));

    // The question comes back in another case: still the same name.
    Msg r(id_of(q), 0, "CAM.example.COM", 2, 0, 0);
    r.a("cam.example.com", "10.1.2.3", 60).aaaa("cam.example.com", "2001:db8::1", 60);
    srv.send(r.b);
    ASSERT_TRUE(o[0].done.wait_for(1));
    ASSERT_EQ(o[0].status, 0);
    EXPECT_EQ(dns_cache_a_num(o[0].cache), 2);
    EXPECT_EQ(o[0].ip(0), "10.1.2.3");
    EXPECT_EQ(o[0].ip(1), "2001:0db8:0000:0000:0000:0000:0000:0001");

    void* cache = nullptr;
    EXPECT_EQ(dns_nb_query(dns(), "CAM.EXAMPLE.COM", -1, nullptr, &cache, Outcome::cb, &o[1]), 3);
    EXPECT_EQ(cache, o[0].cache.load());
    EXPECT_TRUE(srv.next(0).empty()) << "answered from the cache";
    ep_sockaddr_t addr;
    EXPECT_EQ(dns_cache_sockaddr(o[0].cache, 5, 80, &addr), 0) << "past the end wraps to the first";
    EXPECT_EQ(addr.family, AF_INET);
}

TEST_F(Resolver, CnameChainsAreFollowedInOneReplyAndByAskingForTheTarget)
{
    ASSERT_EQ(query("www.example.com", o[0]), 0);
    Bytes q = srv.next();
    Msg r = reply_to(q, 0, 3);
    r.rr(ptr(12), DNS_T_CNAME, 300, labels("edge.cdn.net"));
    r.name_rr("edge.cdn.net", DNS_T_CNAME, "e1.cdn.net").a("e1.cdn.net", "10.0.0.7");
    srv.send(r.b);
    ASSERT_TRUE(o[0].done.wait_for(1));
    EXPECT_EQ(o[0].ip(), "10.0.0.7");

    // Only the alias: the same query goes on for the canonical name.
    ASSERT_EQ(query("img.example.com", o[1]), 0);
    q = srv.next();
    Msg alias = reply_to(q, 0, 2);
    alias.name_rr("img.example.com", DNS_T_CNAME, "static.cdn.net");
    alias.name_rr("static.cdn.net", DNS_T_CNAME, "s1.cdn.net");
    srv.send(alias.b);
    Bytes q2 = srv.next();
    EXPECT_EQ(question(q2), "s1.cdn.net");
    EXPECT_EQ(id_of(q2), id_of(q));
    EXPECT_EQ(o[1].done.count(), 0);
    srv.send(reply_to(q2, 0, 1).a("s1.cdn.net", "10.0.0.8").b);
    ASSERT_TRUE(o[1].done.wait_for(1));
    EXPECT_EQ(o[1].ip(), "10.0.0.8");
    EXPECT_EQ(query("img.example.com", o[2]), 3) << "the alias keeps the address";
}

TEST_F(Resolver, ReplyWithAnotherQuestionIsNotAcceptedAndAnotherIdIsIgnored)
{
    struct Case { const char* what; std::string name; unsigned type, cls; } cases[] = {
        {"other name", "evil.example", DNS_T_A, DNS_C_IN},
        {"other type", "q.example", DNS_T_AAAA, DNS_C_IN},
        {"other class", "q.example", DNS_T_A, 3},
    };
    int i = 0;
    for (const Case& k : cases) {
        Outcome& out = o[i++];
        ASSERT_EQ(query("q.example", out), 0) << k.what;
        Bytes q = srv.next();
        Msg bad(id_of(q), 0, k.name, 1, 0, 0, k.type, k.cls);
        bad.a(k.name, "10.6.6.6");
        srv.send(bad.b);
        ASSERT_TRUE(out.done.wait_for(1)) << k.what;
        EXPECT_EQ(out.status, 404) << k.what;
        EXPECT_EQ(query("q.example", o[7]), 0) << k.what << ": nothing was cached";
        Bytes again = srv.next();
        srv.send(reply_to(again, 3, 0).b); /* end it: three NXDOMAINs */
        for (int n = 0; n < 2; n++) srv.send(reply_to(srv.next(), 3, 0).b);
        ASSERT_TRUE(o[7].done.wait_for(i));
    }

    ASSERT_EQ(query("late.example", o[5]), 0);
    Bytes q = srv.next();
    Msg stray = Msg(id_of(q) ^ 0x5a5a, 0, "late.example", 1, 0, 0);
    srv.send(stray.a("late.example", "10.6.6.6").b);
    srv.send(reply_to(q, 0, 1).a("late.example", "10.5.5.5").b);
    ASSERT_TRUE(o[5].done.wait_for(1));
    EXPECT_EQ(o[5].ip(), "10.5.5.5");
}

TEST_F(Resolver, EmptyAnswersGoToTheNextServerUpToThreeSends)
{
    Server s2, s3;
    ASSERT_EQ(epcore_dnsrv_add(c.core, "127.0.0.1", s2.port), 0);
    ASSERT_EQ(epcore_dnsrv_add(c.core, "127.0.0.1", s3.port), 0);
    ASSERT_EQ(query("empty.example", o[0]), 0);
    for (Server* s : {&srv, &s2, &s3}) {
        Bytes q = s->next();
        ASSERT_EQ(question(q), "empty.example");
        EXPECT_EQ(o[0].done.count(), 0);
        s->send(reply_to(q, 0, 0).b);
    }
    ASSERT_TRUE(o[0].done.wait_for(1));
    EXPECT_EQ(o[0].status, 0);
    EXPECT_TRUE(srv.next(0).empty());
    EXPECT_TRUE(wait_until([&] { return pending() == 0; })); // the record goes after its callback
}

TEST_F(Resolver, UnansweredQueryEndsWith404AfterItsLifetime)
{
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(query("slow.example", o[0]), 0);
    Bytes q = srv.next();
    ASSERT_TRUE(o[0].done.wait_for(1, 8000));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(o[0].status, 404);
    EXPECT_GE(ms.count(), DNS_QUERY_LIFE_MS - 100);
    EXPECT_TRUE(wait_until([&] { return pending() == 0; })); // the record goes after its callback
    EXPECT_EQ(dns_msg_mgmt_get(dns(), (uint16_t)id_of(q)), nullptr);
}

TEST_F(Resolver, CachedRecordLivesTwiceItsTtl)
{
    ASSERT_EQ(query("ttl.example", o[0]), 0);
    srv.send(reply_to(srv.next(), 0, 1).a("ttl.example", "10.4.4.4", 60).b);
    ASSERT_TRUE(o[0].done.wait_for(1));
    ASSERT_EQ(o[0].status, 0);

    g_ahead = 100;
    EXPECT_EQ(query("ttl.example", o[1]), 3);
    EXPECT_TRUE(srv.next(0).empty());
    g_ahead = 121;
    EXPECT_EQ(query("ttl.example", o[2]), 0);
    Bytes q = srv.next();
    EXPECT_EQ(question(q), "ttl.example");
    srv.send(reply_to(q, 0, 1).a("ttl.example", "10.4.4.4", 60).b);
    ASSERT_TRUE(o[2].done.wait_for(1));
    EXPECT_EQ(o[2].ip(), "10.4.4.4") << "the same record takes the new receive time";
}

TEST_F(Resolver, SweepDropsIdleEntriesWithoutValidRecords)
{
    dns_cache_t* old = dns_cache_open(dns(), "old.example", -1);
    dns_cache_t* kept = dns_cache_open(dns(), "kept.example", -1);
    ASSERT_TRUE(old && kept);
    Msg m(1, 0, "x", 2, 0, 0);
    m.a("old.example", "10.1.1.1", 10).a("kept.example", "10.2.2.2", 100000);
    int pos = 12 + (int)labels("x").size() + 4;
    for (dns_cache_t* e : {old, kept}) {
        dns_rr_t* rr = nullptr;
        pos = dns_rr_parse(m.b.data(), (int)m.b.size(), pos, &rr, clock_ahead());
        ASSERT_GT(pos, 0);
        EXPECT_EQ(dns_cache_add(e, rr), 1);
    }
    EXPECT_EQ(dns_cache_lifecheck(dns()), 2);
    g_ahead = 3601;
    EXPECT_EQ(dns_cache_lifecheck(dns()), 1);
    EXPECT_EQ(dns_cache_mgmt_get(dns(), "old.example", -1), nullptr);
    EXPECT_EQ(dns_cache_mgmt_get(dns(), "KEPT.example", -1), kept);
}

TEST_F(Resolver, ReferralsGoToTheGlueOrToTheLookedUpServer)
{
    Server glue("127.0.0.57", 53);
    if (!glue.ok()) GTEST_SKIP() << "cannot bind 127.0.0.57:53 here";

    // A reply without answers is asked again up to three sends; only then
    // is its referral followed.
    ASSERT_EQ(query("deep.example", o[0]), 0);
    for (int i = 0; i < 3; i++) {
        Msg ref = reply_to(srv.next(), 0, 0, 1, 1);
        ref.name_rr("deep.example", DNS_T_NS, "ns1.example").a("ns1.example", "127.0.0.57");
        srv.send(ref.b);
    }
    Bytes q = glue.next();
    ASSERT_EQ(question(q), "deep.example");
    glue.send(reply_to(q, 0, 1).a("deep.example", "10.9.9.9").b);
    ASSERT_TRUE(o[0].done.wait_for(1));
    EXPECT_EQ(o[0].ip(), "10.9.9.9");

    ASSERT_EQ(query("far.example", o[1]), 0);
    for (int i = 0; i < 3; i++) {
        Msg bare = reply_to(srv.next(), 0, 0, 1, 0);
        srv.send(bare.name_rr("far.example", DNS_T_NS, "ns2.example").b);
    }
    Bytes nsq = srv.next();
    ASSERT_EQ(question(nsq), "ns2.example");
    srv.send(reply_to(nsq, 0, 1).a("ns2.example", "127.0.0.57").b);
    q = glue.next();
    ASSERT_EQ(question(q), "far.example");
    glue.send(reply_to(q, 0, 1).a("far.example", "10.8.8.8").b);
    ASSERT_TRUE(o[1].done.wait_for(1));
    EXPECT_EQ(o[1].ip(), "10.8.8.8");
}

/* ---- decoding, without sockets ---- */

class Decode : public ::testing::Test {
protected:
    void SetUp() override
    {
        mgmt = dns_mgmt_init(nullptr, "127.0.0.1", "/nonexistent/resolv.conf");
        ASSERT_NE(mgmt, nullptr);
        msg = dns_msg_open(mgmt, "a.example", -1, nullptr, nullptr, nullptr);
        ASSERT_NE(msg, nullptr);
    }
    void TearDown() override
    {
        dns_msg_close(msg);
        dns_msg_put(msg);
        dns_mgmt_clean(mgmt);
    }
    int decode(const Bytes& b) { return dns_msg_decode(msg, b.data(), (int)b.size()); }
    Msg reply(unsigned an) { return Msg(msg->msgid, 0, "a.example", an, 0, 0); }

    dns_mgmt_t* mgmt = nullptr;
    dns_msg_t* msg = nullptr;
};

TEST_F(Decode, HostileRepliesAreRefused)
{
    const unsigned ans = 12 + 11 + 4; /* first answer's offset */
    auto one = [&](const Bytes& owner, unsigned type, const Bytes& rdata) {
        Msg r = reply(1);
        r.rr(owner, type, 60, rdata);
        return r.b;
    };
    Bytes loop = one(ptr(ans), DNS_T_A, {1, 2, 3, 4});                  /* points at itself */
    Bytes ahead = one(ptr(ans + 2), DNS_T_A, {1, 2, 3, 4});             /* points forward */
    Bytes pingpong = one({1, 'x', 0xC0, (uint8_t)ans}, DNS_T_A, {1, 2, 3, 4});
    Bytes label64 = one(Bytes{64}, DNS_T_A, {1, 2, 3, 4});
    std::string big;
    for (int i = 0; i < 5; i++) big += std::string(63, 'a' + i) + ".";
    Bytes longname = one(labels(big.substr(0, big.size() - 1)), DNS_T_A, {1, 2, 3, 4});
    Bytes shortA = one(labels("a.example"), DNS_T_A, {1, 2, 3});
    Bytes pastEnd = one(labels("a.example"), DNS_T_A, {1, 2, 3, 4});
    pastEnd[pastEnd.size() - 5] = 9; /* RDLENGTH 9, four bytes there */
    Bytes cut = one(labels("a.example"), DNS_T_A, {1, 2, 3, 4});
    cut.resize(cut.size() - 6);
    Bytes manyCounts = reply(0).b;
    manyCounts[6] = 0x03; /* ANCOUNT 768, no room for them */
    Bytes cnameOut = one(labels("a.example"), DNS_T_CNAME, {3, 'a', 'b', 'c', 0});
    cnameOut[cnameOut.size() - 6] = 2; /* RDLENGTH 2: the target runs out of the record */
    Bytes whole = reply(0).b;
    Bytes header(whole.begin(), whole.begin() + 11);

    struct Case { const char* what; const Bytes& b; int want; } cases[] = {
        {"pointer to itself", loop, -4},       {"forward pointer", ahead, -4},
        {"pointer back into a loop", pingpong, -4}, {"label type 64", label64, -4},
        {"name over 255", longname, -4},       {"A of 3 bytes", shortA, -4},
        {"RDLENGTH past the end", pastEnd, -4}, {"record cut short", cut, -4},
        {"counts past the end", manyCounts, -4}, {"target outside its record", cnameOut, -4},
        {"short header", header, -1},
    };
    for (const Case& c : cases) EXPECT_EQ(decode(c.b), c.want) << c.what;
    EXPECT_EQ(decode(one(labels("a.example"), DNS_T_A, {1, 2, 3, 4})), 0) << "and a sound one still passes";
}

TEST_F(Decode, NameParserBoundsLabelsLengthAndJumps)
{
    char name[256];
    int len = -1;
    Bytes l63 = labels(std::string(63, 'z') + ".ok");
    EXPECT_EQ(dns_rr_name_parse(l63.data(), (int)l63.size(), 0, name, sizeof name, &len), (int)l63.size());
    EXPECT_EQ(len, 66);
    // A chain of backward pointers longer than the jump limit.
    Bytes chain{1, 'q', 0};
    for (int i = 0; i < DNS_PTR_JUMPS_MAX + 1; i++) {
        Bytes p = ptr(i == 0 ? 0 : (unsigned)(chain.size() - 2));
        chain.insert(chain.end(), p.begin(), p.end());
    }
    int last = (int)chain.size() - 2;
    EXPECT_EQ(dns_rr_name_parse(chain.data(), (int)chain.size(), last, name, sizeof name, &len), -1);
    EXPECT_EQ(dns_rr_name_parse(chain.data(), (int)chain.size(), 5, name, sizeof name, &len), 7);
    EXPECT_STREQ(name, "q");
    EXPECT_EQ(dns_rr_name_parse(chain.data(), 2, 0, name, sizeof name, &len), -1) << "no final zero";
}

TEST(DnsNames, HostNamesEncodeOnlyWhenTheyAreNames)
{
    uint8_t out[300];
    EXPECT_EQ(hostn_to_dns_format("www.example.com.", -1, out, sizeof out), 17);
    char back[256];
    EXPECT_EQ(hostn_to_dot_format(out, 17, back, sizeof back), 15);
    EXPECT_STREQ(back, "www.example.com");
    for (const char* bad : {"", ".", "a..b", ".a"})
        EXPECT_EQ(hostn_to_dns_format(bad, -1, out, sizeof out), -1) << bad;
    EXPECT_EQ(hostn_to_dns_format(std::string(64, 'x').c_str(), -1, out, sizeof out), -1);
}

TEST(DnsConfig, ResolvConfNameserverLinesFollowTheGivenServer)
{
    ResolvConf conf("# comment\n\n  NameServer\t10.1.1.1  \nnameserver 1.2.3.4evil\nsearch example\n"
                    "nameserver ::1\nnameserver\n#nameserver 10.9.9.9\n");
    dns_mgmt_t* m = dns_mgmt_init(nullptr, "192.0.2.1", nullptr);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(dns_nsrv_num(m), 3);
    const char* want[] = {"192.0.2.1", "10.1.1.1", "::1"};
    for (int i = 0; i < 3; i++)
        EXPECT_STREQ(static_cast<dns_host_t*>(arr_value(m->nsrv->host_list, i))->ip, want[i]);
    EXPECT_EQ(dns_nsrv_append(m, "10.0.0.1:53", 53), -100);
    dns_mgmt_clean(m);

    m = dns_mgmt_init(nullptr, nullptr, "/nonexistent/resolv.conf");
    ASSERT_NE(m, nullptr) << "a missing file is no error";
    EXPECT_EQ(dns_nsrv_num(m), 0);
    dns_mgmt_clean(m);
}

} // namespace
