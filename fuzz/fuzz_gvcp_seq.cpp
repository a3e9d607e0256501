// Feeds a sequence of GVCP datagrams from three hosts to the request
// handler of a camera in its start-up state, so that the per-host state
// (repeated requests, control privilege, heartbeats) is reached and every
// input still replays alone. The input is a list of records: a host byte,
// a two-byte big-endian length and that many bytes of datagram. Every
// answer must acknowledge the request it answers: acknowledge code =
// command + 1, acknowledge id = request id, length field = answer - 8, sent
// to the requesting host's port.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "fuzz/gvcpfuzz.h"

namespace {

struct Host {
    const char* ip;
    uint16_t port;
};
constexpr Host kHosts[] = {{"127.0.0.1", 50000}, {"127.0.0.1", 50001}, {"127.0.0.2", 50000}};
constexpr size_t kMaxDatagrams = 24;

uint16_t be16(const uint8_t* p) { return (uint16_t)(p[0] << 8 | p[1]); }

[[noreturn]] void broken(const char* rule, uint16_t command, const gvcpfuzz::Answer& a)
{
    fprintf(stderr, "answer to command 0x%04x breaks the rule: %s (%zu bytes)\n", command, rule, a.bytes.size());
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static gvcpfuzz::Device camera;
    camera.reset();
    size_t at = 0;
    for (size_t n = 0; n < kMaxDatagrams && size - at >= 3; n++) {
        const Host& host = kHosts[data[at] % 3];
        size_t len = be16(data + at + 1) % GVCP_BUF_SIZE;
        at += 3;
        if (len > size - at) len = size - at;
        const uint8_t* d = data + at;
        at += len;

        camera.answers.clear();
        camera.decode(host.ip, host.port, d, len);
        if (camera.answers.empty()) continue;
        // Only a whole GVCP header is answered.
        if (len < GVCP_HEADER_SIZE || d[0] != GVCP_KEY) broken("answered a datagram that is not a request", 0, camera.answers[0]);
        uint16_t command = be16(d + 2), reqId = be16(d + 6);
        for (const auto& a : camera.answers) {
            if (a.bytes.size() < GVCP_HEADER_SIZE) broken("shorter than a header", command, a);
            if (be16(&a.bytes[2]) != (uint16_t)(command + 1)) broken("acknowledge code = command + 1", command, a);
            if (be16(&a.bytes[6]) != reqId) broken("acknowledge id = request id", command, a);
            if (be16(&a.bytes[4]) != a.bytes.size() - GVCP_HEADER_SIZE) broken("length field = answer - 8", command, a);
            if (a.port != host.port) broken("sent to the requesting port", command, a);
            bool broadcast = command == DISCOVERY_CMD && d[1] == GVCP_FLAG_BROADCAST;
            if (!broadcast && a.to != host.ip) broken("sent to the requesting host", command, a);
        }
    }
    return 0;
}
