// The INI-style configuration reader: parsing, lookups, changes and the
// write-back round trip.
#include "confile.h"
#include "memory.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>

#include "base/tmpdir.h"

using testfs::TempDir;
using testfs::read_file;
using testfs::write_file;

namespace {

struct Conf {
    ConfMgmt* c;
    explicit Conf(const std::string& path) : c(conf_mgmt_init(path.c_str())) {}
    ~Conf() { conf_mgmt_cleanup(c); }
    operator ConfMgmt*() const { return c; }
};

const char* kSample =
    "# network settings\n"
    "  version = 2   \n"
    "\n"
    "[IPCONFIG]\n"
    "ip = 192.168.1.10 ; static\n"
    "mask=255.255.0.0\n"
    "path=/a/b;c\n"
    "Name=first\n"
    "NAME=second\n"
    "formula = a=b+c\n"
    "empty=\n"
    "stray words here\n"
    "[ipconfig]\n"
    "ip=10.0.0.1\n"
    "[numbers]   ; numeric values\n"
    "hex=0x1F\n"
    "octal=017\n"
    "neg=-5\n"
    "bare=1F\n"
    "big=4294967295\n"
    "pi=3.25\n"
    "yes=Yes\n"
    "on=on\n"
    "one=1\n"
    "tru=TRUE\n";

const char* kSampleSaved =
    "# network settings\n"
    "version=2\n"
    "\n"
    "[IPCONFIG]\n"
    "ip=192.168.1.10  ; static\n"
    "mask=255.255.0.0\n"
    "path=/a/b;c\n"
    "Name=first\n"
    "NAME=second\n"
    "formula=a=b+c\n"
    "empty=\n"
    "stray words here\n"
    "[ipconfig]\n"
    "ip=10.0.0.1\n"
    "[numbers]  ; numeric values\n"
    "hex=0x1F\n"
    "octal=017\n"
    "neg=-5\n"
    "bare=1F\n"
    "big=4294967295\n"
    "pi=3.25\n"
    "yes=Yes\n"
    "on=on\n"
    "one=1\n"
    "tru=TRUE\n";

} // namespace

TEST(ConfFile, RoundTripNormalisesSpacingAndKeepsEverythingElse)
{
    TempDir dir;
    write_file(dir / "net.conf", kSample);
    Conf conf(dir / "net.conf");
    ASSERT_NE(conf.c, nullptr);
    EXPECT_EQ(conf_mgmt_save(conf, nullptr), 0);
    EXPECT_EQ(read_file(dir / "net.conf"), kSampleSaved);

    // Reading the normalised file again gives the same file.
    Conf again(dir / "net.conf");
    ASSERT_NE(again.c, nullptr);
    EXPECT_EQ(conf_mgmt_save(again, (dir / "copy.conf").c_str()), 0);
    EXPECT_EQ(read_file(dir / "copy.conf"), kSampleSaved);
}

TEST(ConfFile, GettersReadTheirTypes)
{
    TempDir dir;
    write_file(dir / "net.conf", kSample);
    Conf conf(dir / "net.conf");
    ASSERT_NE(conf.c, nullptr);

    struct {
        const char* sect;
        const char* key;
        const char* str;
    } strings[] = {
        {nullptr, "version", "2"},
        {"IPCONFIG", "ip", "192.168.1.10"},
        {"ipconfig", "IP", "192.168.1.10"}, // the first section of that name wins
        {"IPCONFIG", "path", "/a/b;c"},      // ';' without a blank before it
        {"IPCONFIG", "name", "first"},       // the first of duplicate keys wins
        {"IPCONFIG", "formula", "a=b+c"},
        {"IPCONFIG", "empty", nullptr},
        {"IPCONFIG", "stray words here", nullptr},
        {"IPCONFIG", "missing", nullptr},
        {"nosuch", "ip", nullptr},
        {nullptr, "ip", nullptr},
    };
    for (auto& s : strings) {
        const char* got = conf_get_string(conf, s.sect, s.key);
        if (s.str) EXPECT_STREQ(got, s.str) << s.key;
        else EXPECT_EQ(got, nullptr) << s.key;
    }

    struct {
        const char* key;
        int i;
        uint32_t u;
        long hex;
        double d;
        bool b;
    } numbers[] = {
        {"hex", 31, 31u, 31, 31.0, false},
        {"octal", 17, 17u, 23, 17.0, false},
        {"neg", -5, 4294967291u, -5, -5.0, false},
        {"bare", 1, 1u, 31, 1.0, false},
        {"big", 2147483647, 4294967295u, 0x4294967295L, 4294967295.0, false},
        {"pi", 3, 3u, 3, 3.25, false},
        {"yes", 0, 0u, 0, 0.0, true},
        {"on", 0, 0u, 0, 0.0, false},
        {"one", 1, 1u, 1, 1.0, true},
        {"tru", 0, 0u, 0, 0.0, true},
        {"missing", -1, 0u, -1, 0.0, false},
    };
    for (auto& n : numbers) {
        EXPECT_EQ(conf_get_int(conf, "NUMBERS", n.key), n.i) << n.key;
        EXPECT_EQ(conf_get_ulong(conf, "NUMBERS", n.key), n.u) << n.key;
        EXPECT_EQ(conf_get_hexlong(conf, "NUMBERS", n.key), n.hex) << n.key;
        EXPECT_DOUBLE_EQ(conf_get_double(conf, "NUMBERS", n.key), n.d) << n.key;
        EXPECT_EQ(conf_get_bool(conf, "NUMBERS", n.key), n.b) << n.key;
    }
    EXPECT_EQ(conf_get_int(conf, "IPCONFIG", "empty"), -1);
}

TEST(ConfFile, SettersChangeOnlyExistingKeys)
{
    TempDir dir;
    write_file(dir / "s.conf", "top=1\n[A]\nmode = 3 ; fast\nflag=no\nx=\n[B]\nmode=9\n");
    Conf conf(dir / "s.conf");
    ASSERT_NE(conf.c, nullptr);
    struct {
        const char* sect;
        const char* key;
        int rc;
    } cases[] = {
        {"A", "mode", 0}, {"a", "MODE", 0}, {nullptr, "top", 0}, {"A", "absent", -3},
        {"Z", "mode", -2}, {nullptr, "mode", -3},
    };
    for (auto& c : cases) EXPECT_EQ(conf_set_string(conf, c.sect, c.key, "v"), c.rc) << c.key;

    EXPECT_EQ(conf_set_int(conf, "A", "mode", -42), 0);
    EXPECT_EQ(conf_set_hexlong(conf, "B", "mode", 0xBEEF), 0);
    EXPECT_EQ(conf_set_bool(conf, "A", "flag", true), 0);
    EXPECT_EQ(conf_set_ulong(conf, nullptr, "top", 4000000000u), 0);
    EXPECT_EQ(conf_set_double(conf, "A", "x", 1e300), 0); // cut at 30 characters
    EXPECT_EQ(strlen(conf_get_string(conf, "A", "x")), 30u);
    EXPECT_EQ(conf_set_double(conf, "A", "x", 0.5), 0);
    EXPECT_EQ(conf_get_hexlong(conf, "B", "mode"), 0xBEEF);
    EXPECT_TRUE(conf_get_bool(conf, "A", "flag"));
    EXPECT_EQ(conf_get_ulong(conf, nullptr, "top"), 4000000000u);

    EXPECT_EQ(conf_mgmt_save(conf, nullptr), 0);
    EXPECT_EQ(read_file(dir / "s.conf"),
              "top=4000000000\n[A]\nmode=-42  ; fast\nflag=yes\nx=0.500000\n[B]\nmode=0XBEEF\n");

    EXPECT_EQ(conf_set_string(conf, "A", "flag", nullptr), 0); // leaves the key without a value
    EXPECT_EQ(conf_get_string(conf, "A", "flag"), nullptr);
}

TEST(ConfFile, CommentsAndBlanksComeBackAsTheyWere)
{
    TempDir dir;
    write_file(dir / "c.conf", "# one\n\n; two   \n\n\n#three\n");
    Conf conf(dir / "c.conf");
    ASSERT_NE(conf.c, nullptr);
    EXPECT_EQ(conf_mgmt_save(conf, nullptr), 0);
    EXPECT_EQ(read_file(dir / "c.conf"), "# one\n\n; two\n\n\n#three\n");
}

TEST(ConfFile, LongLinesAreSplitWithoutInventingBlankLines)
{
    TempDir dir;
    std::string exact = "k=" + std::string(508, 'v'); // 510 characters: one piece
    std::string longer = "j=" + std::string(600, 'w');
    write_file(dir / "l.conf", exact + "\n" + longer + "\nafter=1\n");
    Conf conf(dir / "l.conf");
    ASSERT_NE(conf.c, nullptr);
    EXPECT_EQ(std::string(conf_get_string(conf, nullptr, "k")), std::string(508, 'v'));
    EXPECT_EQ(std::string(conf_get_string(conf, nullptr, "j")), std::string(508, 'w'));
    EXPECT_EQ(conf_get_int(conf, nullptr, "after"), 1);
    EXPECT_EQ(arr_num(conf.c->line_list), 4);
}

TEST(ConfFile, MissingUnreadableAndUnwritableFiles)
{
    TempDir dir;
    EXPECT_EQ(conf_mgmt_init((dir / "missing").c_str()), nullptr);
    EXPECT_EQ(conf_mgmt_init(dir.path.c_str()), nullptr); // a directory cannot be read as lines
    write_file(dir / "ok.conf", "a=1\n");
    Conf conf(dir / "ok.conf");
    ASSERT_NE(conf.c, nullptr);
    EXPECT_EQ(conf_mgmt_save(conf, (dir / "no/such/dir").c_str()), -3);
    EXPECT_EQ(conf_mgmt_read(conf, (dir / "missing").c_str()), -2);

    // A name that would be cut is refused rather than saved somewhere else.
    std::string deep = dir.path;
    while (deep.size() < 140) {
        deep += "/dddddddddd";
        mkdir(deep.c_str(), 0755);
    }
    write_file(deep + "/x.conf", "a=1\n");
    EXPECT_EQ(conf_mgmt_init((deep + "/x.conf").c_str()), nullptr);
}

TEST(ConfFile, SecondFileAppendsItsLines)
{
    TempDir dir;
    write_file(dir / "a", "[S]\nk=1\n");
    write_file(dir / "b", "[T]\nk=2\n");
    Conf conf(dir / "a");
    ASSERT_NE(conf.c, nullptr);
    EXPECT_EQ(conf_mgmt_read(conf, (dir / "b").c_str()), 0);
    EXPECT_EQ(conf_get_int(conf, "S", "k"), 1);
    EXPECT_EQ(conf_get_int(conf, "T", "k"), 2);
    EXPECT_STREQ(conf.c->confile, (dir / "b").c_str());
}

TEST(ConfFile, OutOfMemoryNeverLeavesAHalfReadManager)
{
    TempDir dir;
    write_file(dir / "m.conf", kSample);
    bool succeeded = false;
    for (long n = 0; n < 2000 && !succeeded; n++) {
        kmem_fail_after(n);
        ConfMgmt* c = conf_mgmt_init((dir / "m.conf").c_str());
        kmem_fail_after(-1);
        if (c) {
            succeeded = true;
            EXPECT_EQ(conf_get_int(c, "NUMBERS", "hex"), 31);
            EXPECT_EQ(arr_num(c->line_list), 25);
            conf_mgmt_cleanup(c);
        }
    }
    EXPECT_TRUE(succeeded);
}
