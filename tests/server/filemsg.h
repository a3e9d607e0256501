// File-transfer messages as a host writes them, for the file-server tests
// and the session fuzzer: little-endian words, the request header, the
// upload and download header with its digest field, data chunks, answers.
#ifndef KORVID_TESTS_SERVER_FILEMSG_H
#define KORVID_TESTS_SERVER_FILEMSG_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <initializer_list>
#include <string>

#include "common/md5.h"
#include "server/tcp_server.h"

namespace filemsg {

using Bytes = std::string;

inline void put32(Bytes& b, uint32_t v)
{
    for (int i = 0; i < 4; i++) b.push_back((char)(v >> (8 * i)));
}
inline uint32_t get32(const Bytes& b, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = v << 8 | (uint8_t)b[at + i];
    return v;
}

// The digest as the header carries it: 32 lower-case hex digits.
inline std::string md5_of(const Bytes& data)
{
    MD5Ctx c;
    md5_init(&c);
    md5_update(&c, data.data(), data.size());
    uint8_t d[16];
    md5_final(&c, d);
    char hex[33];
    for (int i = 0; i < 16; i++) snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
}

inline Bytes words(std::initializer_list<uint32_t> ws)
{
    Bytes b;
    for (uint32_t w : ws) put32(b, w);
    return b;
}
inline Bytes header(uint32_t type, uint32_t reqid = 7, uint32_t index = 3) { return words({reqid, type, index}); }
inline Bytes msg_header(uint32_t fileType, const std::string& md5, uint32_t lenL = 0)
{
    Bytes field(FILE_MD5_FIELD, '\0');
    memcpy(field.data(), md5.data(), md5.size() < 32 ? md5.size() : 32);
    return words({fileType, 0, lenL}) + field;
}
inline Bytes chunk(const Bytes& data) { return header(FILE_MSG_DATA) + words({(uint32_t)data.size()}) + data; }
inline Bytes rsp(uint32_t type, uint32_t code) { return header(type) + words({code}); }
inline Bytes ack(uint32_t code = 0) { return header(0, 0, 0) + words({code}); }

} // namespace filemsg

#endif
