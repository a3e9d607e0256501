/* ZIP archives for the simulated board's zip and unzip: reading an archive's
 * entries (stored or deflated), checking and inflating their contents, and
 * writing an archive. Bytes in, bytes out: where files come from and go to is
 * the shell runner's business. No ZIP64, no encryption, no multi-disk sets. */
#ifndef KORVID_SIMZIP_H
#define KORVID_SIMZIP_H

#include <stdint.h>
#include <sys/types.h>
#include <string>
#include <time.h>
#include <vector>

namespace sim {

struct ZipEntry {
    std::string name;
    uint16_t    made_by = 0;
    uint16_t    flags = 0;
    uint16_t    method = 0; /* 0 stored, 8 deflated */
    uint16_t    dos_time = 0;
    uint16_t    dos_date = 0;
    uint32_t    crc = 0;
    uint32_t    size = 0;     /* uncompressed */
    uint32_t    external = 0; /* Unix mode in the high 16 bits when made on Unix */
    std::string raw;          /* the bytes as stored in the archive */

    bool     is_dir() const;
    bool     is_link() const;
    /* DOS date and time as one ordered number. */
    uint32_t stamp() const { return (uint32_t)dos_date << 16 | dos_time; }
};

/* The entries of an archive in central-directory order; false when the bytes
 * are not an archive this board reads. */
bool zip_read(const std::string& archive, std::vector<ZipEntry>* out);
/* An entry's contents, inflated and checked against its CRC; false when the
 * entry is encrypted, of another method, larger than `limit` or corrupt. */
bool zip_contents(const ZipEntry& e, size_t limit, std::string* data);
/* A stored entry for a file (or a directory when `name` ends in '/'). */
ZipEntry zip_stored(const std::string& name, std::string data, mode_t mode, time_t mtime);
/* The archive holding `entries` in order; false when it would need ZIP64. */
bool zip_write(const std::vector<ZipEntry>& entries, std::string* out);

} // namespace sim

#endif
