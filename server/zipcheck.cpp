// Central-directory reader for uploaded archives: finds the end record,
// walks the directory entry by entry with every length checked against the
// archive's size, and judges each entry name and type, and the name in the
// local header each entry points to. Unpackers find the directory through
// the end record's offset or by stepping back its size from the end record:
// both must lead to the same place, or one could read a directory this
// check never saw.
#include "server/zipcheck.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr uint32_t kEndSig = 0x06054b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr uint32_t kLocalSig = 0x04034b50;
constexpr size_t kEndSize = 22;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr size_t kCommentMax = 0xFFFF;

uint16_t get16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
uint32_t get32(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }

int judge_name(const uint8_t* name, size_t len)
{
    if (len == 0 || memchr(name, 0, len)) return ZIP_CHECK_BADNAME;
    if (name[0] == '/' || name[0] == '\\') return ZIP_CHECK_ABSOLUTE;
    if (len >= 2 && name[1] == ':' && ((name[0] | 0x20) >= 'a' && (name[0] | 0x20) <= 'z')) return ZIP_CHECK_ABSOLUTE;
    size_t start = 0;
    for (size_t i = 0; i <= len; i++) {
        if (i == len || name[i] == '/' || name[i] == '\\') {
            if (i - start == 2 && name[start] == '.' && name[start + 1] == '.') return ZIP_CHECK_PARENT;
            start = i + 1;
        }
    }
    return ZIP_CHECK_OK;
}

struct Buffer {
    const uint8_t* data;
    size_t size;
};

bool buffer_read(void* ctx, uint64_t offset, void* buf, size_t len)
{
    auto* b = static_cast<Buffer*>(ctx);
    if (offset > b->size || len > b->size - offset) return false;
    memcpy(buf, b->data + offset, len);
    return true;
}

bool fd_read(void* ctx, uint64_t offset, void* buf, size_t len)
{
    int fd = *static_cast<int*>(ctx);
    size_t got = 0;
    while (got < len) {
        ssize_t n = pread(fd, static_cast<uint8_t*>(buf) + got, len - got, (off_t)(offset + got));
        if (n > 0) got += (size_t)n;
        else if (n == 0 || errno != EINTR) return false;
    }
    return true;
}

} // namespace

int zip_check(ZipReadAt read, void* ctx, uint64_t size)
{
    if (!read || size < kEndSize) return ZIP_CHECK_UNREADABLE;
    // The end record sits in the last 22 bytes plus at most a 64 KiB comment.
    size_t tailLen = (size_t)(size < kEndSize + kCommentMax ? size : kEndSize + kCommentMax);
    uint64_t tailAt = size - tailLen;
    std::vector<uint8_t> tail(tailLen);
    if (!read(ctx, tailAt, tail.data(), tailLen)) return ZIP_CHECK_UNREADABLE;
    size_t end = tailLen;
    for (size_t i = tailLen - kEndSize + 1; i-- > 0;) {
        if (get32(&tail[i]) == kEndSig && i + kEndSize + get16(&tail[i + 20]) <= tailLen) {
            end = i;
            break;
        }
    }
    if (end == tailLen) return ZIP_CHECK_UNREADABLE;
    // Readers differ in how they search for the end record: accept only an
    // archive where every search finds this one, its comment running to the
    // archive's end and holding no other end signature.
    if (end + kEndSize + get16(&tail[end + 20]) != tailLen) return ZIP_CHECK_UNREADABLE;
    for (size_t i = end + 1; i + 4 <= tailLen; i++)
        if (get32(&tail[i]) == kEndSig) return ZIP_CHECK_UNREADABLE;
    const uint8_t* e = &tail[end];
    uint16_t disk = get16(e + 4), cdDisk = get16(e + 6);
    uint16_t onDisk = get16(e + 8), total = get16(e + 10);
    uint32_t cdSize = get32(e + 12), cdOffset = get32(e + 16);
    // Multi-disk sets and ZIP64 archives are not read here.
    if (disk != 0 || cdDisk != 0 || onDisk != total || total == 0xFFFF || cdSize == 0xFFFFFFFFu ||
        cdOffset == 0xFFFFFFFFu)
        return ZIP_CHECK_UNREADABLE;
    uint64_t endAt = tailAt + end;
    // The directory ends where the end record starts and begins at the
    // recorded offset: nothing before the archive, no gap, no second directory.
    if ((uint64_t)cdOffset + cdSize != endAt) return ZIP_CHECK_UNREADABLE;
    uint64_t pos = cdOffset;
    uint64_t cdEnd = endAt;
    uint8_t fixed[kCentralSize];
    uint8_t local[kLocalSize];
    std::vector<uint8_t> name;
    for (unsigned i = 0; i < total; i++) {
        if (cdEnd - pos < kCentralSize || !read(ctx, pos, fixed, kCentralSize)) return ZIP_CHECK_UNREADABLE;
        if (get32(fixed) != kCentralSig) return ZIP_CHECK_UNREADABLE;
        uint16_t nameLen = get16(fixed + 28), extraLen = get16(fixed + 30), commentLen = get16(fixed + 32);
        uint32_t external = get32(fixed + 38), localAt = get32(fixed + 42);
        uint64_t entryLen = kCentralSize + (uint64_t)nameLen + extraLen + commentLen;
        if (cdEnd - pos < entryLen) return ZIP_CHECK_UNREADABLE;
        name.resize(nameLen);
        if (nameLen && !read(ctx, pos + kCentralSize, name.data(), nameLen)) return ZIP_CHECK_UNREADABLE;
        int verdict = judge_name(name.data(), nameLen);
        if (verdict != ZIP_CHECK_OK) return verdict;
        // Whatever system made it, a link mode would be restored as a link.
        if (((external >> 16) & S_IFMT) == S_IFLNK) return ZIP_CHECK_LINK;
        // Some unpackers take the name from the local header instead.
        if ((uint64_t)localAt + kLocalSize > cdOffset || !read(ctx, localAt, local, kLocalSize) ||
            get32(local) != kLocalSig)
            return ZIP_CHECK_UNREADABLE;
        uint16_t localNameLen = get16(local + 26);
        if ((uint64_t)localAt + kLocalSize + localNameLen > cdOffset) return ZIP_CHECK_UNREADABLE;
        name.resize(localNameLen);
        if (localNameLen && !read(ctx, localAt + kLocalSize, name.data(), localNameLen)) return ZIP_CHECK_UNREADABLE;
        verdict = judge_name(name.data(), localNameLen);
        if (verdict != ZIP_CHECK_OK) return verdict;
        pos += entryLen;
    }
    // Entries beyond the recorded count would be seen by an unpacker that
    // walks the directory to its end.
    if (pos != cdEnd) return ZIP_CHECK_UNREADABLE;
    return ZIP_CHECK_OK;
}

int zip_check_buffer(const uint8_t* data, size_t size)
{
    if (!data) return ZIP_CHECK_UNREADABLE;
    Buffer b{data, size};
    return zip_check(buffer_read, &b, size);
}

int zip_check_fd(int fd)
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return ZIP_CHECK_UNREADABLE;
    return zip_check(fd_read, &fd, (uint64_t)st.st_size);
}
