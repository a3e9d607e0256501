/* ZIP archives for the simulated board's zip and unzip (see simzip.h). All
 * offsets and lengths read from an archive are checked against its size
 * before use: archives come from hosts. */
#include "simzip.h"

#include <string.h>
#include <sys/stat.h>
#include <zlib.h>

namespace sim {

namespace {

constexpr uint32_t kLocalSig = 0x04034b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kEndSig = 0x06054b50;
constexpr size_t   kLocalLen = 30;
constexpr size_t   kCentralLen = 46;
constexpr size_t   kEndLen = 22;
constexpr uint16_t kMadeByUnix = 3 << 8 | 20;
constexpr uint16_t kNeeded = 20;
constexpr uint16_t kFlagEncrypted = 0x0001 | 0x0040;
constexpr uint16_t kFlagUtf8 = 0x0800;

uint16_t get16(const std::string& s, size_t at) { return (uint16_t)((uint8_t)s[at] | (uint8_t)s[at + 1] << 8); }
uint32_t get32(const std::string& s, size_t at) { return (uint32_t)get16(s, at) | (uint32_t)get16(s, at + 2) << 16; }

void put16(std::string& s, uint32_t v)
{
    s += (char)(v & 0xFF);
    s += (char)(v >> 8 & 0xFF);
}
void put32(std::string& s, uint32_t v)
{
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

/* Offset of the end record: the last signature whose comment fits the file. */
bool find_end(const std::string& a, size_t* at)
{
    if (a.size() < kEndLen) return false;
    size_t lowest = a.size() - kEndLen > 0xFFFF ? a.size() - kEndLen - 0xFFFF : 0;
    for (size_t i = a.size() - kEndLen + 1; i-- > lowest;) {
        if (get32(a, i) == kEndSig && i + kEndLen + get16(a, i + 20) <= a.size()) {
            *at = i;
            return true;
        }
    }
    return false;
}

} // namespace

bool ZipEntry::is_dir() const
{
    return (!name.empty() && name.back() == '/') || S_ISDIR(external >> 16) || (external & 0x10);
}

bool ZipEntry::is_link() const
{
    // Whatever system the archive says it was made on: a link mode is a link.
    return S_ISLNK(external >> 16);
}

bool zip_read(const std::string& a, std::vector<ZipEntry>* out)
{
    out->clear();
    size_t end;
    if (!find_end(a, &end)) return false;
    uint16_t disk = get16(a, end + 4), cd_disk = get16(a, end + 6);
    uint16_t here = get16(a, end + 8), count = get16(a, end + 10);
    uint32_t cd_size = get32(a, end + 12), cd_off = get32(a, end + 16);
    if (disk != 0 || cd_disk != 0 || here != count) return false;
    if (count == 0xFFFF || cd_off == 0xFFFFFFFF || cd_size == 0xFFFFFFFF) return false; // ZIP64
    if ((uint64_t)cd_off + cd_size > end) return false;

    size_t p = cd_off, cd_end = (size_t)cd_off + cd_size;
    for (unsigned i = 0; i < count; i++) {
        if (p + kCentralLen > cd_end || get32(a, p) != kCentralSig) return false;
        ZipEntry e;
        e.made_by = get16(a, p + 4);
        e.flags = get16(a, p + 8);
        e.method = get16(a, p + 10);
        e.dos_time = get16(a, p + 12);
        e.dos_date = get16(a, p + 14);
        e.crc = get32(a, p + 16);
        uint32_t csize = get32(a, p + 20);
        e.size = get32(a, p + 24);
        size_t nlen = get16(a, p + 28), xlen = get16(a, p + 30), clen = get16(a, p + 32);
        e.external = get32(a, p + 38);
        uint32_t local = get32(a, p + 42);
        if (p + kCentralLen + nlen + xlen + clen > cd_end) return false;
        e.name = a.substr(p + kCentralLen, nlen);
        p += kCentralLen + nlen + xlen + clen;
        if (csize == 0xFFFFFFFF || e.size == 0xFFFFFFFF || local == 0xFFFFFFFF) return false;

        // The data follows the local header, whose name and extra field may
        // differ in length from the central ones.
        if ((uint64_t)local + kLocalLen > cd_off || get32(a, local) != kLocalSig) return false;
        uint64_t data = (uint64_t)local + kLocalLen + get16(a, local + 26) + get16(a, local + 28);
        if (data + csize > cd_off) return false;
        e.raw = a.substr((size_t)data, csize);
        out->push_back(std::move(e));
    }
    return true;
}

bool zip_contents(const ZipEntry& e, size_t limit, std::string* data)
{
    data->clear();
    if ((e.flags & kFlagEncrypted) || e.size > limit) return false;
    if (e.method == 0) {
        if (e.raw.size() != e.size) return false;
        *data = e.raw;
    } else if (e.method == 8) {
        // One byte of room beyond the declared size shows a stream that runs on.
        data->resize((size_t)e.size + 1);
        z_stream z;
        memset(&z, 0, sizeof(z));
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
        z.next_in = (Bytef*)e.raw.data();
        z.avail_in = (uInt)e.raw.size();
        z.next_out = (Bytef*)data->data();
        z.avail_out = (uInt)data->size();
        int rc = inflate(&z, Z_FINISH);
        size_t made = z.total_out;
        inflateEnd(&z);
        if (rc != Z_STREAM_END || made != e.size) return false;
        data->resize(made);
    } else {
        return false;
    }
    return crc32(0, (const Bytef*)data->data(), (uInt)data->size()) == e.crc;
}

ZipEntry zip_stored(const std::string& name, std::string data, mode_t mode, time_t mtime)
{
    ZipEntry e;
    e.name = name;
    e.made_by = kMadeByUnix;
    e.size = (uint32_t)data.size();
    e.crc = crc32(0, (const Bytef*)data.data(), (uInt)data.size());
    e.raw = std::move(data);
    bool dir = !name.empty() && name.back() == '/';
    e.external = (uint32_t)((dir ? S_IFDIR : S_IFREG) | (mode & 0777)) << 16 | (dir ? 0x10 : 0);
    struct tm tm;
    if (localtime_r(&mtime, &tm) && tm.tm_year >= 80) {
        e.dos_date = (uint16_t)((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
        e.dos_time = (uint16_t)(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
    } else {
        e.dos_date = 1 << 5 | 1; // 1980-01-01, the earliest a DOS date holds
    }
    return e;
}

bool zip_write(const std::vector<ZipEntry>& entries, std::string* out)
{
    out->clear();
    if (entries.size() >= 0xFFFF) return false;
    std::string central;
    for (const auto& e : entries) {
        if (out->size() >= 0xFFFFFFFF || e.raw.size() >= 0xFFFFFFFF || e.name.size() > 0xFFFF) return false;
        uint32_t local = (uint32_t)out->size();
        uint16_t flags = e.flags & kFlagUtf8; // sizes are in the header: no data descriptor
        auto common = [&](std::string& s) {
            put16(s, kNeeded);
            put16(s, flags);
            put16(s, e.method);
            put16(s, e.dos_time);
            put16(s, e.dos_date);
            put32(s, e.crc);
            put32(s, (uint32_t)e.raw.size());
            put32(s, e.size);
            put16(s, (uint32_t)e.name.size());
            put16(s, 0); // no extra field
        };
        put32(*out, kLocalSig);
        common(*out);
        *out += e.name;
        *out += e.raw;

        put32(central, kCentralSig);
        put16(central, e.made_by);
        common(central);
        put16(central, 0); // comment
        put16(central, 0); // disk
        put16(central, 0); // internal attributes
        put32(central, e.external);
        put32(central, local);
        central += e.name;
    }
    if (out->size() + central.size() >= 0xFFFFFFFF) return false;
    uint32_t cd_off = (uint32_t)out->size();
    *out += central;
    put32(*out, kEndSig);
    put16(*out, 0);
    put16(*out, 0);
    put16(*out, (uint32_t)entries.size());
    put16(*out, (uint32_t)entries.size());
    put32(*out, (uint32_t)central.size());
    put32(*out, cd_off);
    put16(*out, 0);
    return true;
}

} // namespace sim
