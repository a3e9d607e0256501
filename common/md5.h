// MD5 digest (RFC 1321) of a whole file, used to check transferred files.
#ifndef KORVID_COMMON_MD5_H
#define KORVID_COMMON_MD5_H

#include <stddef.h>
#include <stdint.h>

// Streaming digest state.
typedef struct _MD5Ctx {
    uint32_t state[4];
    uint64_t count;     // bytes fed so far
    uint8_t  block[64]; // partial block
} MD5Ctx;

void md5_init(MD5Ctx* ctx);
void md5_update(MD5Ctx* ctx, const void* data, size_t len);
void md5_final(MD5Ctx* ctx, uint8_t digest[16]);

// Digest of the board file at filepath into result (16 bytes): 1, or 0 with
// "[ERROR] File in %s not found." on standard output.
int MD5(const uint8_t* filepath, uint8_t* result);

#endif
