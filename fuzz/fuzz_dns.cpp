// Feeds arbitrary bytes to the resolver as the reply to a pending query for
// "www.example.com": the reply is decoded (the id is set to the query's so
// the rest of the message is reached) and, when accepted, handled as on the
// pump - cache, CNAME restarts, referrals and name-server look-ups. The
// resolver has no core, so it opens no socket and nothing is ever sent. The
// records are also parsed and printed one by one from the first byte after
// the header.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "epdns.h"

namespace {

int on_answer(void*, char*, int, void*, int) { return 0; }

dns_mgmt_t* resolver()
{
    static dns_mgmt_t* mgmt = dns_mgmt_init(nullptr, "127.0.0.1", "/nonexistent/resolv.conf");
    return mgmt;
}

FILE* sink()
{
    static FILE* fp = fopen("/dev/null", "w");
    return fp;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    dns_mgmt_t* mgmt = resolver();
    if (!mgmt || size > 65535) return 0;
    std::vector<uint8_t> buf(data, data + size);

    dns_msg_t* msg = dns_msg_open(mgmt, "www.example.com", -1, nullptr, on_answer, nullptr);
    if (!msg) return 0;
    if (buf.size() >= 2) {
        buf[0] = (uint8_t)(msg->msgid >> 8);
        buf[1] = (uint8_t)msg->msgid;
    }
    EnterCriticalSection(&msg->stateCS);
    int rc = dns_msg_decode(msg, buf.data(), (int)buf.size());
    if (rc == 0) msg->replied = 1;
    LeaveCriticalSection(&msg->stateCS);
    if (rc == 0) dns_msg_handle(msg);
    dns_msg_close(msg);
    dns_msg_put(msg);

    // Record by record, whatever the counts say.
    int pos = 12;
    for (int i = 0; i < 64 && pos > 0 && pos < (int)buf.size(); i++) {
        dns_rr_t* rr = nullptr;
        pos = dns_rr_parse(buf.data(), (int)buf.size(), pos, &rr, 0);
        if (rr && sink()) dns_rr_print(rr, sink());
        dns_rr_free(rr);
    }

    // Keep the cache from growing across inputs.
    dns_cache_t* c = dns_cache_mgmt_get(mgmt, "www.example.com", -1);
    if (c) dns_cache_zap(c);
    return 0;
}
