// Hostile archive layouts that ordinary writers never make, for the
// archive-check tests: built from the simulated board's writer, then
// rearranged.
#ifndef KORVID_TESTS_SERVER_ZIPTEST_H
#define KORVID_TESTS_SERVER_ZIPTEST_H

#include <stdint.h>

#include <string>
#include <vector>

#include "simzip.h"

namespace ziptest {

inline uint32_t get32(const std::string& s, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = v << 8 | (uint8_t)s[at + i];
    return v;
}
inline uint16_t get16(const std::string& s, size_t at) { return (uint16_t)((uint8_t)s[at] | (uint8_t)s[at + 1] << 8); }
inline void set32(std::string& s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++) s[at + i] = (char)(v >> (8 * i));
}

inline std::string archive(const std::vector<sim::ZipEntry>& entries)
{
    std::string out;
    sim::zip_write(entries, &out);
    return out;
}

// Where a written archive's directory starts (it has no comment).
inline size_t directory_at(const std::string& a) { return get32(a, a.size() - 22 + 16); }

// Two central directories over two sets of entries of the same count: the
// end record's offset names the directory of `hidden`, stepping back its
// size from the end record finds the one of `shown`. `shown` needs the
// longer names, so that reading by the offset stays inside the recorded size.
inline std::string two_directories(const std::vector<sim::ZipEntry>& shown, const std::vector<sim::ZipEntry>& hidden)
{
    std::string h = archive(hidden), s = archive(shown);
    size_t hAt = directory_at(h), sAt = directory_at(s);
    std::string hLocals = h.substr(0, hAt), hCentral = h.substr(hAt, h.size() - 22 - hAt);
    std::string sLocals = s.substr(0, sAt), sCentral = s.substr(sAt, s.size() - 22 - sAt);
    // The shown entries' data now follows the hidden entries' data.
    for (size_t p = 0; p + 46 <= sCentral.size(); p += 46 + get16(sCentral, p + 28))
        set32(sCentral, p + 42, get32(sCentral, p + 42) + (uint32_t)hLocals.size());
    std::string out = hLocals + sLocals + hCentral + sCentral;
    std::string end = s.substr(s.size() - 22);
    set32(end, 16, (uint32_t)(hLocals.size() + sLocals.size()));
    return out + end;
}

} // namespace ziptest

#endif
