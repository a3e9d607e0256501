// Archive check before unpacking: entry names and types judged from the
// central directory and the local headers, and archives the reader cannot
// walk, or that another reader would walk differently, refused.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "server/zipcheck.h"
#include "simzip.h"
#include "server/ziptest.h"

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
    // A comment after it is allowed.
    std::string commented = good;
    commented[commented.size() - 2] = 5;
    EXPECT_EQ(check(commented + "hello"), ZIP_CHECK_OK);

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
        {"local header offset into the directory", patched(central + 42, {(int)(central & 0xFF), (int)(central >> 8)})},
        {"no local header where the entry says", patched(central + 42, {1})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(check(c.bytes), ZIP_CHECK_UNREADABLE);
    }
}

// The unpacker finds the directory through the end record's offset; the
// check must read the very same directory and entries, or it judges names
// the unpacker never sees.
TEST(ZipCheck, ArchivesAnotherReaderWouldWalkDifferentlyAreRefused)
{
    const std::vector<sim::ZipEntry> shown = {entry("harmless-name-1.txt"), entry("harmless-name-2.txt")};
    const std::vector<sim::ZipEntry> hidden = {entry("../evil.txt"), entry("evil", true)};
    std::string twoDirs = ziptest::two_directories(shown, hidden);
    std::vector<sim::ZipEntry> unpacked;
    ASSERT_TRUE(sim::zip_read(twoDirs, &unpacked));
    ASSERT_EQ(unpacked.size(), 2u);
    EXPECT_EQ(unpacked[0].name, "../evil.txt") << "the unpacker reads the hidden directory";
    EXPECT_TRUE(unpacked[1].is_link());

    std::string good = archive(shown);
    const size_t end = good.size() - 22, dir = ziptest::directory_at(good);
    std::string gap = good;
    gap.insert(dir, "gap!");
    ziptest::set32(gap, gap.size() - 22 + 16, (uint32_t)dir);
    std::string extra = archive({entry("harmless-name-1.txt"), entry("harmless-name-2.txt"), entry("../x")});
    extra[extra.size() - 22 + 8] = 2;  // the end record counts two of the three entries
    extra[extra.size() - 22 + 10] = 2;
    std::string signatureInComment = good;
    signatureInComment[end + 20] = 6;
    signatureInComment += "abPK\x05\x06";
    std::string trailing = good + "tail";

    struct Case { const char* what; std::string bytes; };
    const Case cases[] = {
        {"two directories", twoDirs},
        {"data before the archive", "prefix" + good},
        {"gap between the data and the directory", gap},
        {"entries beyond the recorded count", extra},
        {"second end record in the comment", signatureInComment},
        {"bytes after the end record", trailing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(check(c.bytes), ZIP_CHECK_UNREADABLE);
    }
}

TEST(ZipCheck, LocalHeaderNamesAreJudgedToo)
{
    // The local header names what the central entry calls "aa/evil.txt".
    std::string climbing = archive({entry("ok.txt"), entry("aa/evil.txt")});
    size_t local = climbing.find("aa/evil.txt");
    ASSERT_LT(local, ziptest::directory_at(climbing));
    climbing.replace(local, 11, "../evil.txt");
    EXPECT_EQ(check(climbing), ZIP_CHECK_PARENT);
    std::string absolute = climbing;
    absolute.replace(local, 11, "/etc/passwd");
    EXPECT_EQ(check(absolute), ZIP_CHECK_ABSOLUTE);
}

} // namespace
