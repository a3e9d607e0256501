// Feeds one arbitrary datagram to the GVCP request handler, as it would
// come from one of three hosts on loopback, on a camera in its start-up
// state (every input starts afresh, so a finding replays alone).
#include <stdint.h>
#include <stddef.h>

#include "fuzz/gvcpfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static gvcpfuzz::Device camera;
    if (size >= GVCP_BUF_SIZE) return 0;  // the task receives at most 4095 bytes
    camera.reset();
    // One of three hosts, so per-host state (repeats, control) is reached.
    camera.decode("127.0.0.1", (uint16_t)(50000 + size % 3), data, size);
    return 0;
}
