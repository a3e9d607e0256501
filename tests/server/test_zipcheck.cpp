// Archive check before unpacking: entry names and types judged from the
// central directory, and archives the reader cannot walk refused.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "server/zipcheck.h"
#include "simzip.h"

namespace {

sim::ZipEntry entry(const std::string& name, mode_t type = S_IFREG)
{
    sim::ZipEntry e = sim::zip_stored(name, name.back() == '/' ? "" : "data", 0644, 1700000000);
    if (type == S_IFLNK) e.external = (uint32_t)(S_IFLNK | 0777) << 16;
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
    struct Case {
        std::vector<sim::ZipEntry> entries;
        int verdict;
    };
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
        {{entry("ok"), entry("link", S_IFLNK)}, ZIP_CHECK_LINK},
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

    struct Case {
        const char* what;
        std::string bytes;
    };
    std::string countMore = good;
    countMore[good.size() - 22 + 8] = 3;  // entries on this disk
    countMore[good.size() - 22 + 10] = 3; // entries in all
    std::string hugeDir = good;
    hugeDir[good.size() - 22 + 12] = (char)0xF0;
    std::string zip64 = good;
    for (int i = 16; i < 20; i++) zip64[good.size() - 22 + i] = (char)0xFF;
    std::string longName = good;
    size_t central = good.find("PK\x01\x02");
    longName[central + 28] = (char)0xFF;
    longName[central + 29] = (char)0x7F;
    const Case cases[] = {
        {"empty", ""},
        {"text", "not an archive at all, just text long enough"},
        {"cut end record", good.substr(0, good.size() - 3)},
        {"more entries than the directory holds", countMore},
        {"directory larger than the archive", hugeDir},
        {"ZIP64 markers", zip64},
        {"name running past the directory", longName},
        {"directory cut away", good.substr(central + 10)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(check(c.bytes), ZIP_CHECK_UNREADABLE);
    }
}

} // namespace
