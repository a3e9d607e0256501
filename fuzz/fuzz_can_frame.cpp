// Fuzz target for the production test's reading of CAN frames from the
// fixture: the input is the bytes of one read from the CAN socket. A frame
// taken must hold its length within its kind, and the answer check must
// never look past it; a broken bound aborts.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "main/can_io_test.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CanIoFrame f;
    memset(&f, 0xA5, sizeof(f));
    if (can_io_frame_parse(data, size, &f) != 0) return 0;
    if (size != 16 && size != 72) abort();
    if (f.len > (size == 16 ? 8 : 64)) abort();
    if (memcmp(f.data, data + 8, f.len) != 0) abort();
    uint32_t id;
    memcpy(&id, data, sizeof(id));
    if (f.id != id) abort();
    int answer = can_io_frame_answers(&f, id);
    if (answer && (f.len < 1 || f.data[0] != 0x40)) abort();
    return 0;
}
