// The INI-style configuration reader: parsing, lookups, changes and the
// write-back round trip.
#include "confile.h"
#include "memory.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <iterator>
#include <string>

#include "base/tmpdir.h"

using testfs::TempDir;
using testfs::read_file;
using testfs::write_file;

namespace {

// A manager over a file, written first when a text is given.
struct Conf {
    ConfMgmt* c;
    explicit Conf(const std::string& path) : c(conf_mgmt_init(path.c_str())) {}
    Conf(const std::string& path, const std::string& text)
        : c(write_file(path, text) ? conf_mgmt_init(path.c_str()) : nullptr) {}
    ~Conf() { conf_mgmt_cleanup(c); }
    operator ConfMgmt*() const { return c; }
};

// The sample file, line by line, with the form a line is written back in
// where the spacing changes.
const struct {
    const char* read;
    const char* saved;
} kLines[] = {
    {"# network settings", nullptr},
    {"  version = 2   ", "version=2"},
    {"", nullptr},
    {"; more comment   ", "; more comment"},
    {"[IPCONFIG]", nullptr},
    {"ip = 192.168.1.10 ; static", "ip=192.168.1.10  ; static"},
    {"path=/a/b;c", nullptr},
    {"Name=first", nullptr},
    {"NAME=second", nullptr},
    {"formula = a=b+c", "formula=a=b+c"},
    {"empty=", nullptr},
    {"stray words here", nullptr},
    {"[ipconfig]", nullptr},
    {"ip=10.0.0.1", nullptr},
    {"[numbers]   ; numeric values", "[numbers]  ; numeric values"},
    {"hex=0x1F", nullptr},
    {"octal=017", nullptr},
    {"neg=-5", nullptr},
    {"bare=1F", nullptr},
    {"big=4294967295", nullptr},
    {"pi=3.25", nullptr},
    {"yes=Yes", nullptr},
    {"on=on", nullptr},
};

std::string sample(bool saved)
{
    std::string s;
    for (const auto& l : kLines) s += std::string(saved && l.saved ? l.saved : l.read) + "\n";
    return s;
}

} // namespace

TEST(ConfFile, RoundTripNormalisesSpacingAndKeepsEverythingElse)
{
    TempDir dir;
    Conf conf(dir / "net.conf", sample(false));
    ASSERT_NE(conf.c, nullptr);
    EXPECT_EQ(conf_mgmt_save(conf, nullptr), 0);
    EXPECT_EQ(read_file(dir / "net.conf"), sample(true));

    // Reading the normalised file again gives the same file.
    Conf again(dir / "net.conf");
    ASSERT_NE(again.c, nullptr);
    EXPECT_EQ(conf_mgmt_save(again, (dir / "copy.conf").c_str()), 0);
    EXPECT_EQ(read_file(dir / "copy.conf"), sample(true));
}

TEST(ConfFile, GettersReadTheirTypes)
{
    TempDir dir;
    Conf conf(dir / "net.conf", sample(false));
    ASSERT_NE(conf.c, nullptr);

    struct {
        const char* sect;
        const char* key;
        const char* str;
    } strings[] = {
        {nullptr, "version", "2"},
        {"ipconfig", "IP", "192.168.1.10"}, // the first section of that name wins
        {"IPCONFIG", "path", "/a/b;c"},      // ';' without a blank before it
        {"IPCONFIG", "name", "first"},       // the first of duplicate keys wins
        {"IPCONFIG", "formula", "a=b+c"},
        {"IPCONFIG", "empty", nullptr},
        {"IPCONFIG", "stray words here", nullptr},
        {"nosuch", "ip", nullptr},
    };
    for (auto& s : strings) {
        const char* got = conf_get_string(conf, s.sect, s.key);
        if (s.str) EXPECT_STREQ(got, s.str) << s.key;
        else EXPECT_EQ(got, nullptr) << s.key;
    }

    struct {
        const char* key;
        int i;
        long hex;
        bool b;
    } numbers[] = {
        {"hex", 31, 31, false}, {"octal", 17, 23, false}, {"neg", -5, -5, false}, {"bare", 1, 31, false},
        {"big", 2147483647, 0x4294967295L, false},           // int saturates
        {"yes", 0, 0, true},    {"on", 0, 0, false},        {"missing", -1, -1, false},
    };
    for (auto& n : numbers) {
        EXPECT_EQ(conf_get_int(conf, "NUMBERS", n.key), n.i) << n.key;
        EXPECT_EQ(conf_get_hexlong(conf, "NUMBERS", n.key), n.hex) << n.key;
        EXPECT_EQ(conf_get_bool(conf, "NUMBERS", n.key), n.b) << n.key;
    }
    EXPECT_EQ(conf_get_ulong(conf, "NUMBERS", "big"), 4294967295u);
    EXPECT_EQ(conf_get_ulong(conf, "NUMBERS", "hex"), 31u);
    EXPECT_DOUBLE_EQ(conf_get_double(conf, "NUMBERS", "pi"), 3.25);
}

TEST(ConfFile, SettersChangeOnlyExistingKeys)
{
    TempDir dir;
    Conf conf(dir / "s.conf", "top=1\n[A]\nmode = 3 ; fast\nflag=no\nx=\n[B]\nmode=9\n");
    ASSERT_NE(conf.c, nullptr);
    EXPECT_EQ(conf_set_string(conf, "A", "absent", "v"), -3);
    EXPECT_EQ(conf_set_string(conf, "Z", "mode", "v"), -2);
    EXPECT_EQ(conf_set_string(conf, nullptr, "mode", "v"), -3);

    EXPECT_EQ(conf_set_int(conf, "a", "MODE", -42), 0);
    EXPECT_EQ(conf_set_hexlong(conf, "B", "mode", 0xBEEF), 0);
    EXPECT_EQ(conf_set_bool(conf, "A", "flag", true), 0);
    EXPECT_EQ(conf_set_ulong(conf, nullptr, "top", 4000000000u), 0);
    EXPECT_EQ(conf_set_double(conf, "A", "x", 1e300), 0); // cut at 30 characters
    EXPECT_EQ(strlen(conf_get_string(conf, "A", "x")), 30u);
    EXPECT_EQ(conf_set_double(conf, "A", "x", 0.5), 0);
    EXPECT_EQ(conf_mgmt_save(conf, nullptr), 0);
    EXPECT_EQ(read_file(dir / "s.conf"),
              "top=4000000000\n[A]\nmode=-42  ; fast\nflag=yes\nx=0.500000\n[B]\nmode=0XBEEF\n");
}

TEST(ConfFile, LongLinesAreSplitWithoutInventingBlankLines)
{
    // A line is read in pieces of 510 characters; one of exactly that length
    // leaves no blank line behind.
    TempDir dir;
    std::string exact = "k=" + std::string(508, 'v');
    std::string longer = "j=" + std::string(600, 'w');
    Conf lines(dir / "l.conf", exact + "\n" + longer + "\nafter=1\n");
    ASSERT_NE(lines.c, nullptr);
    EXPECT_EQ(std::string(conf_get_string(lines, nullptr, "j")), std::string(508, 'w'));
    EXPECT_EQ(conf_get_int(lines, nullptr, "after"), 1);
    EXPECT_EQ(arr_num(lines.c->line_list), 4);
}

TEST(ConfFile, MissingUnreadableAndUnwritableFiles)
{
    TempDir dir;
    EXPECT_EQ(conf_mgmt_init((dir / "missing").c_str()), nullptr);
    EXPECT_EQ(conf_mgmt_init(dir.path.c_str()), nullptr); // a directory cannot be read as lines
    write_file(dir / "b.conf", "[T]\nk=2\n");
    Conf conf(dir / "ok.conf", "[S]\nk=1\n");
    ASSERT_NE(conf.c, nullptr);
    EXPECT_EQ(conf_mgmt_save(conf, (dir / "no/such/dir").c_str()), -3);
    EXPECT_EQ(conf_mgmt_read(conf, (dir / "missing").c_str()), -2);
    EXPECT_EQ(conf_mgmt_read(conf, (dir / "b.conf").c_str()), 0); // appends its lines
    EXPECT_EQ(conf_get_int(conf, "S", "k") + conf_get_int(conf, "T", "k"), 3);

    // A name that would be cut is refused rather than saved somewhere else.
    std::string deep = dir.path;
    while (deep.size() < 140) {
        deep += "/dddddddddd";
        mkdir(deep.c_str(), 0755);
    }
    write_file(deep + "/x.conf", "a=1\n");
    EXPECT_EQ(conf_mgmt_init((deep + "/x.conf").c_str()), nullptr);
}

TEST(ConfFile, OutOfMemoryNeverLeavesAHalfReadManager)
{
    TempDir dir;
    write_file(dir / "m.conf", sample(false));
    bool succeeded = false;
    for (long n = 0; n < 2000 && !succeeded; n++) {
        kmem_fail_after(n);
        ConfMgmt* c = conf_mgmt_init((dir / "m.conf").c_str());
        kmem_fail_after(-1);
        if (c) {
            succeeded = true;
            EXPECT_EQ(conf_get_int(c, "NUMBERS", "hex"), 31);
            EXPECT_EQ(arr_num(c->line_list), int(std::size(kLines)));
            conf_mgmt_cleanup(c);
        }
    }
    EXPECT_TRUE(succeeded);
}
