// Archive check before unpacking: entry names and types judged from the
// central directory, and archives the reader cannot walk refused.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "server/zipcheck.h"
#include "simzip.h"

namespace {

sim::ZipEntry entry(const std::string& name, bool link = false)
{
    sim::ZipEntry e = sim::zip_stored(name, name.back() == '/' ? "" : "data", 0644, 1700000000);
    if (link) e.external = (uint32_t)(S_IFLNK | 0777) << 16;
    return e;
}

std::string archive(const std::vector<sim::ZipEntry>& entries)
{
    std::string out;
    EXPECT_TRUE(sim::zip_write(entries, &out));
    return out;
}

int check(const std::string& a) { return zip_check_buffer((const uint8_t*)a.data(), a.size()); }

TEST(ZipCheck, EntryNamesAndTypesAreJudged)
{
    struct Case { std::vector<sim::ZipEntry> entries; int verdict; };
    const Case cases[] = {
        {{entry("a.txt"), entry("dir/"), entry("dir/b..c/d.txt"), entry("..hidden")}, ZIP_CHECK_OK},
        {{}, ZIP_CHECK_OK},
        {{entry("a.txt"), entry("../x")}, ZIP_CHECK_PARENT},
        {{entry("dir/../../x")}, ZIP_CHECK_PARENT},
        {{entry("dir/..")}, ZIP_CHECK_PARENT},
        {{entry("dir\\..\\x")}, ZIP_CHECK_PARENT},
        {{entry("/etc/passwd")}, ZIP_CHECK_ABSOLUTE},
        {{entry("\\windows")}, ZIP_CHECK_ABSOLUTE},
        {{entry("C:x")}, ZIP_CHECK_ABSOLUTE},
        {{entry("ok"), entry("link", true)}, ZIP_CHECK_LINK},
        {{entry(std::string("a\0b", 3))}, ZIP_CHECK_BADNAME},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries.empty() ? "empty" : c.entries.back().name);
        EXPECT_EQ(check(archive(c.entries)), c.verdict);
    }
}

TEST(ZipCheck, ArchivesThatCannotBeWalkedAreRefused)
{
    std::string good = archive({entry("a.txt"), entry("b.txt")});
    ASSERT_EQ(check(good), ZIP_CHECK_OK);
    // Data before the archive and a comment after it are allowed.
    std::string commented = good;
    commented[commented.size() - 2] = 5;
    EXPECT_EQ(check("prefix" + commented + "hello"), ZIP_CHECK_OK);

    // The end record is the last 22 bytes; `central` the first directory entry.
    const size_t end = good.size() - 22, central = good.find("PK\x01\x02");
    auto patched = [&](size_t at, std::initializer_list<int> bytes) {
        std::string s = good;
        for (int b : bytes) s[at++] = (char)b;
        return s;
    };
    struct Case { const char* what; std::string bytes; };
    const Case cases[] = {
        {"empty", ""},
        {"text", "not an archive at all, just text long enough"},
        {"cut end record", good.substr(0, good.size() - 3)},
        {"more entries than the directory holds", patched(end + 8, {3, 0, 3})}, // on this disk, in all
        {"directory larger than the archive", patched(end + 12, {0xF0})},
        {"ZIP64 markers", patched(end + 16, {0xFF, 0xFF, 0xFF, 0xFF})},
        {"name running past the directory", patched(central + 28, {0xFF, 0x7F})},
        {"directory cut away", good.substr(central + 10)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(check(c.bytes), ZIP_CHECK_UNREADABLE);
    }
}

} // namespace
