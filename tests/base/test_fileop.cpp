// Descriptor and stream transfers, file tests, copies, log-head dropping,
// charset conversion, paths, MIME detection and the mapped file buffer.
#include "fileop.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/mman.h>
#include <atomic>
#include <random>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/tmpdir.h"

using testfs::TempDir;
using testfs::read_file;
using testfs::write_file;

namespace {

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, 0);
    for (auto& c : s) c = (char)(rng() & 0xFF);
    return s;
}

} // namespace

TEST(FileFdRead, GathersShortReadsAndStopsAtTheEnd)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    testfs::Fd rd(p[0]), wr(p[1]);
    ASSERT_EQ(write(wr, "abc", 3), 3);
    std::thread writer([&] { EXPECT_EQ(write(wr, "defgh", 5), 5); });
    char buf[16] = {};
    EXPECT_EQ(filefd_read(rd, buf, 8), 8);
    EXPECT_EQ(std::string(buf, 8), "abcdefgh");
    writer.join();
    ASSERT_EQ(write(wr, "xyz", 3), 3);
    wr.reset();
    EXPECT_EQ(filefd_read(rd, buf, 8), 3); // end of file after 3 bytes
}

TEST(FileFdWritev, ResumesAfterWouldBlockWithoutRepeatingOrLosingBytes)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    testfs::Fd wr(sv[0]), rd(sv[1]);
    fcntl(wr, F_SETFL, O_NONBLOCK);
    std::string parts[] = {random_bytes(300000, 2), "", random_bytes(777, 3), random_bytes(500000, 4)};
    std::string want = parts[0] + parts[2] + parts[3], got;
    std::vector<struct iovec> iov;
    for (auto& part : parts) iov.push_back({part.data(), part.size()});
    int64_t actnum = 0;
    // Nobody reads yet: the socket fills and the call reports would-block.
    EXPECT_EQ(filefd_writev(wr, iov.data(), (int)iov.size(), &actnum), 0);
    EXPECT_TRUE(actnum > 0 && actnum < (int64_t)want.size()) << actnum;

    std::thread reader([&] {
        char buf[65536];
        for (ssize_t n; got.size() < want.size() && (n = read(rd, buf, sizeof(buf))) > 0;) got.append(buf, (size_t)n);
    });
    while (filefd_writev(wr, iov.data(), (int)iov.size(), &actnum) == 0) {
        struct pollfd pfd = {wr, POLLOUT, 0};
        poll(&pfd, 1, 1000);
    }
    reader.join();
    EXPECT_EQ(actnum, (int64_t)want.size());
    EXPECT_TRUE(got == want);
}

TEST(FileFdCopy, CopiesFromTheOffsetToTheEnd)
{
    TempDir dir;
    std::string data = random_bytes(100000, 5);
    write_file(dir / "in", data);
    testfs::Fd in(open((dir / "in").c_str(), O_RDONLY));
    testfs::Fd out(open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    int64_t act = -1;
    EXPECT_EQ(filefd_copy(in, 100000, 10, out, &act), 0); // offset at the end: nothing to do
    EXPECT_EQ(act, 0);
    EXPECT_EQ(filefd_copy(in, -7, -1, out, &act), 0); // whole file
    EXPECT_TRUE(read_file(dir / "out") == data);
}

TEST(FileTests, ExistenceAndLineCounts)
{
    TempDir dir;
    write_file(dir / "f", "a\nb\n\nlast without end");
    EXPECT_EQ(file_exist((dir / "f").c_str()), 1);
    EXPECT_EQ(file_exist((dir / "missing").c_str()), 0);
    // A failure other than a missing path still counts as existing.
    std::string longname = dir.path + "/" + std::string(5000, 'a');
    EXPECT_EQ(file_exist(longname.c_str()), 1);
    EXPECT_EQ(file_size((dir / "missing").c_str()), -2);
    EXPECT_EQ(file_lines((dir / "f").c_str()), 3);
    EXPECT_EQ(file_lines(dir.path.c_str()), 0);

    // Far larger than the 8 x 16 KiB window, so the window slides many times.
    std::string big = random_bytes(1000003, 6);
    write_file(dir / "big", big);
    EXPECT_EQ(file_lines((dir / "big").c_str()), (int64_t)std::count(big.begin(), big.end(), '\n'));
}

TEST(FileDirCreate, MakesParentsAndLeavesTheFileName)
{
    TempDir dir;
    std::string f = dir / "a/b/c.txt";
    EXPECT_EQ(file_dir_create(f.c_str(), 1), 0);
    EXPECT_EQ(file_is_dir((dir / "a/b").c_str()), 1);
    EXPECT_EQ(file_exist(f.c_str()), 0);

    std::string d = "  " + (dir / "x/y/z") + " \n";
    EXPECT_EQ(file_dir_create(d.c_str(), 0), 0);
    EXPECT_EQ(file_is_dir((dir / "x/y/z").c_str()), 1);

    // A directory that cannot be made is reported.
    write_file(dir / "plain", "x");
    EXPECT_EQ(file_dir_create((dir / "plain/sub/dir").c_str(), 0), -2);
    EXPECT_EQ(file_dir_create((dir / "plain/sub/f.txt").c_str(), 1), -2);
}

TEST(FileRollover, DropsTheFirstLinesCountingLongLinesOnce)
{
    TempDir dir;
    std::string log = dir / "log";
    write_file(log, "l1\nl2\nl3\nl4\nl5\n");
    EXPECT_EQ(file_rollover(log.c_str(), 2), 0);
    EXPECT_EQ(read_file(log), "l3\nl4\nl5\n");
    EXPECT_EQ(file_rollover(log.c_str(), 0), -2);
    EXPECT_EQ(file_rollover((dir / "missing").c_str(), 1), -3);

    std::string longline(10000, 'x'); // longer than the line buffer
    write_file(log, longline + "\nkeep1\n" + longline + "\nkeep2");
    EXPECT_EQ(file_rollover(log.c_str(), 1), 0);
    EXPECT_EQ(read_file(log), "keep1\n" + longline + "\nkeep2");
}

TEST(FileCopy, CopiesRangesIntoANewPrivateFileOrAStream)
{
    TempDir dir;
    std::string data = random_bytes(70000, 7);
    write_file(dir / "src", data);
    write_file(dir / "dst", "old contents that must go");
    int64_t act = 0;
    EXPECT_EQ(file_copy((dir / "src").c_str(), 100, 1000, (dir / "dst").c_str(), &act), 0);
    EXPECT_EQ(act, 1000);
    EXPECT_TRUE(read_file(dir / "dst") == data.substr(100, 1000));
    EXPECT_EQ(file_copy((dir / "src").c_str(), 70000, 1, (dir / "o").c_str(), &act), -100);
    EXPECT_EQ(file_copy((dir / "src").c_str(), 0, 1, (dir / "nodir/o").c_str(), &act), -300);
    // A range running past the end is reported, not passed off as success.
    EXPECT_EQ(file_copy((dir / "src").c_str(), 69000, 5000, (dir / "o").c_str(), &act), -500);
    EXPECT_EQ(act, 1000);
    struct stat st;
    stat((dir / "o").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    FILE* fp = fopen((dir / "out").c_str(), "w");
    fputs("head:", fp); // still buffered: it must go out before the copied bytes
    EXPECT_EQ(file_copy2fp((dir / "src").c_str(), 3, 4, fp, &act), 0);
    fclose(fp);
    EXPECT_EQ(read_file(dir / "out"), "head:" + data.substr(3, 4));
}

TEST(FileConvCharset, KeepsSplitSequencesLosesNothingAndPassesBadBytes)
{
    TempDir dir;
    // "é" straddles the 1024-byte piece boundary.
    std::string src = std::string(1023, 'a') + "\xC3\xA9" + std::string(3000, 'b') + "\xC3\xA9";
    write_file(dir / "u8", src);
    EXPECT_EQ(file_conv_charset("UTF-8", "ISO-8859-1", (dir / "u8").c_str(), (dir / "l1").c_str()),
              (int64_t)src.size());
    EXPECT_TRUE(read_file(dir / "l1") == std::string(1023, 'a') + "\xE9" + std::string(3000, 'b') + "\xE9");

    // Every input piece grows fourfold, past the output buffer.
    EXPECT_EQ(file_conv_charset("ISO-8859-1", "UTF-32LE", (dir / "l1").c_str(), (dir / "wide").c_str()),
              (int64_t)src.size() - 2);
    std::string wide = read_file(dir / "wide");
    ASSERT_EQ(wide.size(), 4 * (src.size() - 2));
    EXPECT_EQ(wide.substr(4 * 1023, 8), std::string("\xE9\0\0\0b\0\0\0", 8));

    write_file(dir / "bad", "ok\xFF\xFEok");
    EXPECT_EQ(file_conv_charset("UTF-8", "ISO-8859-1", (dir / "bad").c_str(), (dir / "o").c_str()), 6);
    EXPECT_EQ(read_file(dir / "o"), "ok\xFF\xFEok");
    EXPECT_EQ(file_conv_charset("NO-SUCH-SET", "UTF-8", (dir / "bad").c_str(), (dir / "o").c_str()), -100);
}

TEST(FilePaths, SeparatorsExtensionsAndBaseNames)
{
    char p[] = "a\\b\\c\\d";
    EXPECT_EQ(WinPath2UnixPath(p, 4), 4);
    EXPECT_STREQ(p, "a/b/c\\d");
    EXPECT_EQ(UnixPath2WinPath(p, -1), 7);
    EXPECT_STREQ(p, "a\\b\\c\\d");

    struct { const char* name; const char* ext; const char* base; } cases[] = {
        {"archive.tar.gz", ".gz", "archive.tar.gz"},
        {"/home/u/.profile", "", ".profile"},
        {"dir.d/file", "", "file"},
        {"dir.d\\file.txt", ".txt", "file.txt"},
        {"/abc", "", "/abc"},
    };
    for (auto& c : cases) {
        EXPECT_STREQ(file_extname(c.name), c.ext) << c.name;
        EXPECT_STREQ(file_basename(c.name), c.base) << c.name;
    }
}

TEST(FileAbsolutePath, ResolvesTheDirectoryAndKeepsTheName)
{
    TempDir dir;
    char real[PATH_MAX], cwd[PATH_MAX];
    ASSERT_NE(realpath(dir.path.c_str(), real), nullptr);
    std::string rdir = real;
    mkdir((dir / "sub").c_str(), 0755);
    write_file(dir / "f.txt", "x");
    symlink((dir / "f.txt").c_str(), (dir / "link").c_str());

    char abs[PATH_MAX];
    std::string rel = dir / "sub/../f.txt";
    EXPECT_EQ(file_get_absolute_path(rel.c_str(), abs, sizeof(abs)), (int)(rdir + "/f.txt").size());
    EXPECT_EQ(std::string(abs), rdir + "/f.txt");
    // The file's own name is kept: a link is not followed.
    EXPECT_GT(file_get_absolute_path((dir / "sub/../link").c_str(), abs, sizeof(abs)), 0);
    EXPECT_EQ(std::string(abs), rdir + "/link");
    EXPECT_GT(file_get_absolute_path(nullptr, abs, sizeof(abs)), 0);
    EXPECT_STREQ(abs, getcwd(cwd, sizeof(cwd)));
    EXPECT_EQ(file_get_absolute_path(rel.c_str(), abs, 4), -3);
    EXPECT_EQ(file_get_absolute_path((dir / "nowhere/x").c_str(), abs, sizeof(abs)), -3);

    EXPECT_EQ(file_abspath(rel.c_str(), abs, sizeof(abs)), (int)rdir.size() + 1);
    EXPECT_EQ(std::string(abs), rdir + "/");
}

TEST(FileAbsolutePath, ConcurrentCallersSeeTheirOwnDirectories)
{
    TempDir dir;
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.path.c_str(), real), nullptr);
    // Names built by appending: GCC 12 at -O3 warns spuriously on "d" + string.
    auto sub = [](int i) {
        std::string s("d");
        s += std::to_string(i);
        return s;
    };
    for (int i = 0; i < 4; i++) {
        mkdir((dir / sub(i)).c_str(), 0755);
        write_file(dir / (sub(i) + "/f"), "x");
    }
    std::vector<std::thread> th;
    std::atomic<int> wrong{0};
    for (int i = 0; i < 4; i++)
        th.emplace_back([&, i] {
            std::string rel = dir / (sub(i) + "/f");
            std::string want = std::string(real) + "/" + sub(i) + "/f";
            char abs[PATH_MAX];
            for (int k = 0; k < 300; k++)
                if (file_get_absolute_path(rel.c_str(), abs, sizeof(abs)) < 0 || want != abs) wrong++;
        });
    for (auto& t : th) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(FileMimeType, DetectsTextAndNeverLetsAShellReadTheName)
{
    TempDir dir;
    // A shell would expand the variable, so the name itself needs no '/'.
    std::string marker = dir / "pwned";
    setenv("KORVID_PWNED", marker.c_str(), 1);
    std::string evil = dir / "x; touch \"$KORVID_PWNED\" $(touch \"$KORVID_PWNED\")";
    std::string dash = dir / "-v";
    char mime[128];
    uint32_t id = 0, app = 0;
    for (const std::string& name : {evil, dash}) {
        write_file(name, "just some plain words\n");
        EXPECT_EQ(file_mime_type(nullptr, name.c_str(), mime, &id, &app), 0) << name;
        EXPECT_EQ(std::string(mime).rfind("text/plain", 0), 0u) << mime;
        EXPECT_EQ(id, 1060u);
    }
    EXPECT_EQ(file_exist(marker.c_str()), 0);
    EXPECT_EQ(file_mime_type(nullptr, dir.path.c_str(), mime, &id, &app), -100);
    EXPECT_STREQ(mime, "application/octet-stream");
}

TEST(FileMmap, MapsThePageWindowAroundTheOffset)
{
    TempDir dir;
    write_file(dir / "m", random_bytes(20000, 9));
    testfs::Fd fd(open((dir / "m").c_str(), O_RDONLY));
    void* map = nullptr;
    int64_t maplen = 0, mapoff = -1;
    ASSERT_NE(file_mmap(nullptr, fd, 5000, 100000, PROT_READ, MAP_PRIVATE, &map, &maplen, &mapoff), nullptr);
    EXPECT_EQ(mapoff, 5000 - 5000 % sysconf(_SC_PAGESIZE));
    EXPECT_EQ(maplen, 20000 - mapoff); // cut at the file end
    EXPECT_EQ(file_munmap(map, maplen), 0);
}

TEST(FileBuf, SlidesItsWindowAndMatchesPlainReads)
{
    TempDir dir;
    std::string data = random_bytes(100000, 10);
    write_file(dir / "b", data);
    fbuf_t* fb = fbuf_init((dir / "b").c_str(), 2); // raised to 8 pages
    ASSERT_NE(fb, nullptr);
    int64_t window = fb->mapsize;
    EXPECT_EQ(window, 8 * fb->pagesize);
    EXPECT_EQ(fbuf_at(fb, 0), (uint8_t)data[0]);
    EXPECT_EQ(fbuf_at(fb, window), (uint8_t)data[window]); // crossing maps the next window
    EXPECT_EQ(fb->mapoff, window);
    for (int64_t i = 0; i < 100000; i += 7) ASSERT_EQ(fbuf_at(fb, i), (uint8_t)data[i]) << i;
    EXPECT_EQ(fbuf_at(fb, 100000), -2);
    char buf[200000];
    long n = fbuf_read(fb, 10, buf, sizeof(buf)); // stops at the window end
    EXPECT_EQ(n, window - 10);
    EXPECT_EQ(memcmp(buf, data.data() + 10, (size_t)n), 0);
    fbuf_free(fb);
}

TEST(FileBuf, ScannersAgreeWithAPlainModelAcrossWindows)
{
    TempDir dir;
    //                 0123456789012345678901234567890123
    std::string data = "  key = \"a;b\" ; x\\;y 'q;' ;end" + random_bytes(150000, 11);
    for (size_t i = 34; i < data.size(); i++) data[i] = "abc;\\\"'xyz "[(uint8_t)data[i] % 11];
    write_file(dir / "r", data);
    fbuf_t* fb = fbuf_init((dir / "r").c_str(), 8);
    ASSERT_NE(fb, nullptr);
    EXPECT_EQ(fbuf_skip_esc_to(fb, 15, -1, ";", 1), 23);   // passes \;
    EXPECT_EQ(fbuf_skip_quote_to(fb, 15, -1, ";", 1), 26); // passes \; and 'q;'
    EXPECT_EQ(fbuf_rskip_over(fb, 7, -1, " =", 2), 4);
    EXPECT_EQ(fbuf_rskip_to(fb, 20, 3, "=", 1), 17); // one before the range
    EXPECT_EQ(fbuf_skip_to(fb, 3, -1, nullptr, 0), 3); // no set: the position itself

    std::mt19937 rng(12);
    for (int k = 0; k < 300; k++) {
        int64_t pos = rng() % data.size();
        int64_t limit = (k % 3 == 0) ? -1 : (int64_t)(rng() % (k % 3 == 1 ? 16 : 70000));
        const char* set = (k % 2) ? "z" : ";'";
        auto in = [&](int64_t i) { return strchr(set, data[i]) != nullptr; };
        int64_t end = limit < 0 ? (int64_t)data.size() : std::min<int64_t>(data.size(), pos + limit);
        int64_t low = limit < 0 ? 0 : std::max<int64_t>(0, pos - limit + 1);
        int64_t want = pos, rwant = pos;
        while (want < end && !in(want)) want++;
        while (rwant >= low && !in(rwant)) rwant--;
        ASSERT_EQ(fbuf_skip_to(fb, pos, limit, set, -1), want);
        ASSERT_EQ(fbuf_rskip_to(fb, pos, limit, set, -1), rwant);
    }
    fbuf_free(fb);
}
