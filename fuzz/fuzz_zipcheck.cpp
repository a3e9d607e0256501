// Fuzz target for the central-directory check of uploaded archives: the
// input is the whole archive, checked from memory and from a file.
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include "server/zipcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int inMemory = zip_check_buffer(data, size);
    FILE* fp = tmpfile();
    if (!fp) return 0;
    if (fwrite(data, 1, size, fp) == size && fflush(fp) == 0) {
        if (zip_check_fd(fileno(fp)) != inMemory) __builtin_trap();
    }
    fclose(fp);
    return 0;
}
