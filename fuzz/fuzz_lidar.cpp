// Fuzz target for the lidar relay's packet converter: the input, cut or
// padded with zeros, is one packet (converted with itself as the next one)
// or, past 1206 bytes, a pair of packets. Each input is converted as the
// sender does and with both fills directly, and then goes through the ring
// with the sender draining it (no destination: nothing leaves). A point
// count out of range aborts.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "rich/rich_radar.h"

namespace {

void check(const MsopData& out)
{
    if (out.dot_num > RICH_POINTS || out.dot_num % RICH_CHANNELS != 0) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static MsopData sender{};
    udp_pack_t pair[2];
    memset(pair, 0, sizeof pair);
    size_t n = size > sizeof pair ? sizeof pair : size;
    memcpy(pair, data, n);
    if (size <= RICH_PACK_SIZE) pair[1] = pair[0];

    MsopData out{};
    if (rich_convert(pair, &out) == 0) check(out);
    for (int start = -1; start < RICH_BLOCKS; start++) {
        if (start < 0) fill_nostart(pair, &out);
        else fill_havestart(pair, start, &out);
        check(out);
    }

    rich_ring_put(&pair[0], RICH_PACK_SIZE);
    rich_ring_put(&pair[1], RICH_PACK_SIZE);
    rich_send_pending(nullptr, &sender);
    check(sender);
    return 0;
}
