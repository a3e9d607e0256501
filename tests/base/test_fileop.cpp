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

// ------------------------------------------------------------------ transfers

TEST(FileFdRead, GathersAcrossShortReadsAndStopsAtEnd)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "abc", 3), 3);
    std::thread writer([&] {
        EXPECT_EQ(write(p[1], "defgh", 5), 5);
    });
    char buf[16] = {};
    EXPECT_EQ(filefd_read(p[0], buf, 8), 8);
    EXPECT_EQ(std::string(buf, 8), "abcdefgh");
    writer.join();

    ASSERT_EQ(write(p[1], "xyz", 3), 3);
    close(p[1]);
    EXPECT_EQ(filefd_read(p[0], buf, 8), 3);
    close(p[0]);
}

TEST(FileFdWrite, RetriesWouldBlockUntilEverythingIsWritten)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fcntl(p[1], F_SETFL, O_NONBLOCK);
    std::string data = random_bytes(1 << 20, 1);
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(p[0], buf, sizeof(buf))) > 0) got.append(buf, (size_t)n);
    });
    EXPECT_EQ(filefd_write(p[1], data.data(), (long)data.size()), (long)data.size());
    close(p[1]);
    reader.join();
    close(p[0]);
    EXPECT_TRUE(got == data);
}

TEST(FileFdWritev, ResumesAfterWouldBlockWithoutRepeatingOrLosingBytes)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    fcntl(sv[0], F_SETFL, O_NONBLOCK);
    std::vector<std::string> parts = {random_bytes(300000, 2), "", random_bytes(777, 3),
                                      random_bytes(500000, 4)};
    std::string want;
    std::vector<struct iovec> iov;
    for (auto& s : parts) {
        want += s;
        iov.push_back({s.data(), s.size()});
    }
    int64_t actnum = 0;
    // Nobody reads yet: the socket fills and the call reports would-block.
    EXPECT_EQ(filefd_writev(sv[0], iov.data(), (int)iov.size(), &actnum), 0);
    EXPECT_GT(actnum, 0);
    EXPECT_LT(actnum, (int64_t)want.size());

    std::string got;
    std::thread reader([&] {
        char buf[65536];
        while (got.size() < want.size()) {
            ssize_t n = read(sv[1], buf, sizeof(buf));
            if (n <= 0) break;
            got.append(buf, (size_t)n);
        }
    });
    long r;
    while ((r = filefd_writev(sv[0], iov.data(), (int)iov.size(), &actnum)) == 0) {
        struct pollfd pfd = {sv[0], POLLOUT, 0};
        poll(&pfd, 1, 1000);
    }
    reader.join();
    EXPECT_EQ(actnum, (int64_t)want.size());
    EXPECT_TRUE(got == want);
    close(sv[0]);
    close(sv[1]);
}

TEST(FileFdCopy, CopiesRangesAndReportsEarlyEnd)
{
    TempDir dir;
    std::string data = random_bytes(100000, 5);
    write_file(dir / "in", data);
    int in = open((dir / "in").c_str(), O_RDONLY);
    int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int64_t act = -1;

    EXPECT_EQ(filefd_copy(in, 100000, 10, out, &act), 0); // offset at the end
    EXPECT_EQ(act, 0);
    EXPECT_EQ(filefd_copy(in, 1000, 5000, out, &act), 0);
    EXPECT_EQ(act, 5000);
    EXPECT_EQ(filefd_copy(in, -7, -1, out, &act), 0); // whole file
    EXPECT_EQ(act, 100000);
    EXPECT_EQ(filefd_copy(in, 99990, 100, out, &act), -500); // runs past the end
    EXPECT_EQ(act, 10);
    close(out);
    EXPECT_TRUE(read_file(dir / "out") == data.substr(1000, 5000) + data + data.substr(99990));
    close(in);
}

// ------------------------------------------------------- tests and attributes

TEST(FileTests, ExistenceKindsAndSizes)
{
    TempDir dir;
    write_file(dir / "f", "12345");
    EXPECT_EQ(file_exist((dir / "f").c_str()), 1);
    EXPECT_EQ(file_exist((dir / "missing").c_str()), 0);
    // A failure other than a missing path still counts as existing.
    std::string longname = dir.path + "/" + std::string(5000, 'a');
    EXPECT_EQ(file_exist(longname.c_str()), 1);

    EXPECT_EQ(file_is_regular(dir.path.c_str()), 0);
    EXPECT_EQ(file_is_dir(dir.path.c_str()), 1);
    EXPECT_EQ(file_size((dir / "f").c_str()), 5);
    EXPECT_EQ(file_size((dir / "missing").c_str()), -2);
    long ino = 0;
    int64_t size = 0;
    EXPECT_EQ(file_attr((dir / "f").c_str(), &ino, &size, nullptr, nullptr, nullptr), 5);
    EXPECT_NE(ino, 0);
}

TEST(FileLines, CountsLineFeedsAcrossManyPacks)
{
    TempDir dir;
    write_file(dir / "small", "a\nb\n\nlast without end");
    EXPECT_EQ(file_lines((dir / "small").c_str()), 3);
    write_file(dir / "empty", "");
    EXPECT_EQ(file_lines((dir / "empty").c_str()), 0);
    EXPECT_EQ(file_lines((dir / "missing").c_str()), 0);

    // Far larger than the 8 x 16 KiB window, so the window slides many times.
    std::string big = random_bytes(1000003, 6);
    int64_t want = 0;
    for (char c : big) want += c == '\n';
    write_file(dir / "big", big);
    EXPECT_EQ(file_lines((dir / "big").c_str()), want);
}

// -------------------------------------------------------------- changing files

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
    EXPECT_EQ(file_dir_create((dir / "x/y/z").c_str(), 0), 0); // exists already
}

TEST(FileDirCreate, ReportsADirectoryThatCannotBeMade)
{
    TempDir dir;
    write_file(dir / "plain", "x");
    EXPECT_EQ(file_dir_create((dir / "plain/sub/dir").c_str(), 0), -2);
    EXPECT_EQ(file_dir_create((dir / "plain/sub/f.txt").c_str(), 1), -2);
}

TEST(FileRollover, DropsTheFirstLines)
{
    TempDir dir;
    std::string log = dir / "log";
    write_file(log, "l1\nl2\nl3\nl4\nl5\n");
    EXPECT_EQ(file_rollover(log.c_str(), 2), 0);
    EXPECT_EQ(read_file(log), "l3\nl4\nl5\n");
    EXPECT_EQ(file_rollover(log.c_str(), 10), 0);
    EXPECT_EQ(read_file(log), "");
    EXPECT_EQ(file_rollover(log.c_str(), 0), -2);
    EXPECT_EQ(file_rollover((dir / "missing").c_str(), 1), -3);
}

TEST(FileRollover, CountsLongLinesOnce)
{
    TempDir dir;
    std::string log = dir / "log";
    std::string longline(10000, 'x');
    write_file(log, longline + "\nkeep1\n" + longline + "\nkeep2");
    EXPECT_EQ(file_rollover(log.c_str(), 1), 0);
    EXPECT_EQ(read_file(log), "keep1\n" + longline + "\nkeep2");
}

TEST(FileCopy, CopiesRangesIntoANewPrivateFile)
{
    TempDir dir;
    std::string data = random_bytes(70000, 7);
    write_file(dir / "src", data);
    write_file(dir / "dst", "old contents that must go");
    int64_t act = 0;
    EXPECT_EQ(file_copy((dir / "src").c_str(), 100, 1000, (dir / "dst").c_str(), &act), 0);
    EXPECT_EQ(act, 1000);
    EXPECT_TRUE(read_file(dir / "dst") == data.substr(100, 1000));
    EXPECT_EQ(file_copy((dir / "src").c_str(), 0, -1, (dir / "new").c_str(), &act), 0);
    EXPECT_TRUE(read_file(dir / "new") == data);
    struct stat st;
    stat((dir / "new").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    EXPECT_EQ(file_copy((dir / "missing").c_str(), 0, 1, (dir / "o").c_str(), &act), -10);
    EXPECT_EQ(file_copy((dir / "src").c_str(), 70000, 1, (dir / "o").c_str(), &act), -100);
    EXPECT_EQ(file_copy((dir / "src").c_str(), 0, 1, (dir / "nodir/o").c_str(), &act), -300);
    // A range running past the end is reported, not passed off as success.
    EXPECT_EQ(file_copy((dir / "src").c_str(), 69000, 5000, (dir / "o").c_str(), &act), -500);
    EXPECT_EQ(act, 1000);
}

TEST(FileCopy, ToStreamKeepsBufferedBytesFirst)
{
    TempDir dir;
    write_file(dir / "src", "0123456789");
    FILE* fp = fopen((dir / "out").c_str(), "w");
    fputs("head:", fp);
    int64_t act = 0;
    EXPECT_EQ(file_copy2fp((dir / "src").c_str(), 3, 4, fp, &act), 0);
    EXPECT_EQ(act, 4);
    fclose(fp);
    EXPECT_EQ(read_file(dir / "out"), "head:3456");
}

TEST(FileConvCharset, ConvertsAndKeepsSequencesSplitAcrossPieces)
{
    TempDir dir;
    // "é" straddles the 1024-byte piece boundary.
    std::string src = std::string(1023, 'a') + "\xC3\xA9" + std::string(3000, 'b') + "\xC3\xA9";
    write_file(dir / "u8", src);
    EXPECT_EQ(file_conv_charset("UTF-8", "ISO-8859-1", (dir / "u8").c_str(), (dir / "l1").c_str()),
              (int64_t)src.size());
    EXPECT_TRUE(read_file(dir / "l1") == std::string(1023, 'a') + "\xE9" + std::string(3000, 'b') + "\xE9");

    EXPECT_EQ(file_conv_charset("ISO-8859-1", "UTF-8", (dir / "l1").c_str(), (dir / "back").c_str()),
              (int64_t)src.size() - 2);
    EXPECT_TRUE(read_file(dir / "back") == src);
}

TEST(FileConvCharset, ExpandingConversionLosesNothing)
{
    TempDir dir;
    std::string src = random_bytes(5000, 8);
    for (auto& c : src) c = (char)('A' + (uint8_t)c % 26);
    write_file(dir / "in", src);
    // Every input piece grows fourfold, past the output buffer.
    EXPECT_EQ(file_conv_charset("ASCII", "UTF-32LE", (dir / "in").c_str(), (dir / "out").c_str()), 5000);
    std::string out = read_file(dir / "out");
    ASSERT_EQ(out.size(), 20000u);
    for (size_t i = 0; i < src.size(); i++) {
        ASSERT_EQ(out[i * 4], src[i]);
        ASSERT_EQ(out.substr(i * 4 + 1, 3), std::string(3, '\0'));
    }
}

TEST(FileConvCharset, InvalidBytesPassThroughAndErrorCodes)
{
    TempDir dir;
    write_file(dir / "bad", "ok\xFF\xFEok");
    EXPECT_EQ(file_conv_charset("UTF-8", "ISO-8859-1", (dir / "bad").c_str(), (dir / "o").c_str()), 6);
    EXPECT_EQ(read_file(dir / "o"), "ok\xFF\xFEok");
    EXPECT_EQ(file_conv_charset("UTF-8", "UTF-8", (dir / "missing").c_str(), (dir / "o").c_str()), -10);
    EXPECT_EQ(file_conv_charset("NO-SUCH-SET", "UTF-8", (dir / "bad").c_str(), (dir / "o").c_str()), -100);
}

// ------------------------------------------------------------------- paths

TEST(FilePaths, SeparatorsExtensionsAndBaseNames)
{
    char p[] = "a\\b\\c\\d";
    EXPECT_EQ(WinPath2UnixPath(p, 4), 4);
    EXPECT_STREQ(p, "a/b/c\\d");
    EXPECT_EQ(WinPath2UnixPath(p, -1), 7);
    EXPECT_STREQ(p, "a/b/c/d");
    EXPECT_EQ(UnixPath2WinPath(p, -1), 7);
    EXPECT_STREQ(p, "a\\b\\c\\d");

    struct { const char* name; const char* ext; const char* base; } cases[] = {
        {"archive.tar.gz", ".gz", "archive.tar.gz"},
        {".profile", "", ".profile"},
        {"/home/u/.profile", "", ".profile"},
        {"dir.d/file", "", "file"},
        {"dir.d\\file.txt", ".txt", "file.txt"},
        {"/abc", "", "/abc"},
        {"noext", "", "noext"},
        {"a/b.", ".", "b."},
    };
    for (auto& c : cases) {
        EXPECT_STREQ(file_extname(c.name), c.ext) << c.name;
        EXPECT_STREQ(file_basename(c.name), c.base) << c.name;
    }
}

TEST(FileAbsolutePath, ResolvesWithoutChangingTheWorkingDirectory)
{
    TempDir dir;
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.path.c_str(), real), nullptr);
    std::string rdir = real;
    mkdir((dir / "sub").c_str(), 0755);
    write_file(dir / "f.txt", "x");
    symlink((dir / "f.txt").c_str(), (dir / "link").c_str());
    char cwd_before[PATH_MAX], cwd_after[PATH_MAX];
    ASSERT_NE(getcwd(cwd_before, sizeof(cwd_before)), nullptr);

    char abs[PATH_MAX];
    std::string rel = dir / "sub/../f.txt";
    EXPECT_EQ(file_get_absolute_path(rel.c_str(), abs, sizeof(abs)), (int)(rdir + "/f.txt").size());
    EXPECT_EQ(std::string(abs), rdir + "/f.txt");
    // The file's own name is kept: a link is not followed.
    EXPECT_GT(file_get_absolute_path((dir / "sub/../link").c_str(), abs, sizeof(abs)), 0);
    EXPECT_EQ(std::string(abs), rdir + "/link");
    EXPECT_GT(file_get_absolute_path((dir / "sub/.").c_str(), abs, sizeof(abs)), 0);
    EXPECT_EQ(std::string(abs), rdir + "/sub");
    EXPECT_GT(file_get_absolute_path(nullptr, abs, sizeof(abs)), 0);
    EXPECT_STREQ(abs, cwd_before);

    EXPECT_EQ(file_get_absolute_path(rel.c_str(), abs, 4), -3);
    EXPECT_EQ(file_get_absolute_path((dir / "nowhere/x").c_str(), abs, sizeof(abs)), -3);
    ASSERT_NE(getcwd(cwd_after, sizeof(cwd_after)), nullptr);
    EXPECT_STREQ(cwd_before, cwd_after);

    char dpart[PATH_MAX];
    EXPECT_EQ(file_abspath(rel.c_str(), dpart, sizeof(dpart)), (int)rdir.size() + 1);
    EXPECT_EQ(std::string(dpart), rdir + "/");
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

// -------------------------------------------------------------------- MIME

TEST(FileMimeType, DetectsTextAndLooksUpItsIds)
{
    TempDir dir;
    write_file(dir / "note", "just some plain words\n");
    char mime[128];
    uint32_t id = 0, app = 0;
    EXPECT_EQ(file_mime_type(nullptr, (dir / "note").c_str(), mime, &id, &app), 0);
    EXPECT_EQ(std::string(mime).rfind("text/plain", 0), 0u) << mime;
    EXPECT_EQ(id, 1060u);
    EXPECT_EQ(app, 160u);

    EXPECT_EQ(file_mime_type(nullptr, (dir / "missing").c_str(), mime, &id, &app), -100);
    EXPECT_STREQ(mime, "application/octet-stream");
    EXPECT_EQ(id, 30440u);
    EXPECT_EQ(file_mime_type(nullptr, dir.path.c_str(), mime, &id, &app), -100);
}

TEST(FileMimeType, FileNamesAreNeverInterpretedByAShell)
{
    TempDir dir;
    // A shell would expand the variable, so the name itself needs no '/'.
    std::string marker = dir / "pwned";
    setenv("KORVID_PWNED", marker.c_str(), 1);
    std::string evil = dir / "x; touch \"$KORVID_PWNED\" $(touch \"$KORVID_PWNED\")";
    write_file(evil, "plain text\n");
    std::string dash = dir / "-v";
    write_file(dash, "plain text\n");
    char mime[128];
    uint32_t id = 0, app = 0;
    EXPECT_EQ(file_mime_type(nullptr, evil.c_str(), mime, &id, &app), 0);
    EXPECT_EQ(std::string(mime).rfind("text/plain", 0), 0u) << mime;
    EXPECT_EQ(file_exist(marker.c_str()), 0);
    EXPECT_EQ(file_mime_type(nullptr, dash.c_str(), mime, &id, &app), 0);
    EXPECT_EQ(std::string(mime).rfind("text/plain", 0), 0u) << mime;
}

// ------------------------------------------------------------- mapped windows

TEST(FileMmap, MapsThePageWindowAroundTheOffset)
{
    TempDir dir;
    std::string data = random_bytes(20000, 9);
    write_file(dir / "m", data);
    int fd = open((dir / "m").c_str(), O_RDONLY);
    void* map = nullptr;
    int64_t maplen = 0, mapoff = -1;
    uint8_t* p = (uint8_t*)file_mmap(nullptr, fd, 5000, 100000, PROT_READ, MAP_PRIVATE, &map, &maplen, &mapoff);
    ASSERT_NE(p, nullptr);
    long ps = sysconf(_SC_PAGESIZE);
    EXPECT_EQ(mapoff, 5000 - 5000 % ps);
    EXPECT_EQ(maplen, 20000 - mapoff); // cut at the file end
    EXPECT_EQ(memcmp(p, data.data() + 5000, 15000), 0);
    EXPECT_EQ(file_munmap(map, maplen), 0);
    EXPECT_EQ(file_mmap(nullptr, fd, 20000, 1, PROT_READ, MAP_PRIVATE, &map, &maplen, &mapoff), nullptr);
    close(fd);
}

TEST(FileBuf, SlidesItsWindowAndMatchesPlainReads)
{
    TempDir dir;
    std::string data = random_bytes(100000, 10);
    write_file(dir / "b", data);
    fbuf_t* fb = fbuf_init((dir / "b").c_str(), 2); // raised to 8 pages
    ASSERT_NE(fb, nullptr);
    EXPECT_EQ(fb->pagecount, 8);
    int64_t window = fb->mapsize;

    EXPECT_EQ(fbuf_at(fb, 0), (uint8_t)data[0]);
    EXPECT_EQ(fbuf_at(fb, window - 1), (uint8_t)data[window - 1]);
    EXPECT_EQ(fb->mapoff, 0);
    EXPECT_EQ(fbuf_at(fb, window), (uint8_t)data[window]);
    EXPECT_EQ(fb->mapoff, window);
    for (int64_t i = 0; i < 100000; i += 7) ASSERT_EQ(fbuf_at(fb, i), (uint8_t)data[i]) << i;
    EXPECT_EQ(fbuf_at(fb, 100000), -2);
    EXPECT_EQ(fbuf_at(fb, -1), -2);

    char buf[200000];
    long n = fbuf_read(fb, 10, buf, sizeof(buf)); // stops at the window end
    EXPECT_EQ(n, window - 10);
    EXPECT_EQ(memcmp(buf, data.data() + 10, (size_t)n), 0);
    uint8_t* p;
    int64_t left;
    EXPECT_EQ(fbuf_ptr(fb, 99990, &p, &left), 0);
    EXPECT_EQ(left, 10);
    EXPECT_EQ(memcmp(p, data.data() + 99990, 10), 0);
    EXPECT_EQ(fbuf_read(fb, 100000, buf, 1), -2);
    fbuf_free(fb);
    EXPECT_EQ(fbuf_init((dir / "missing").c_str(), 8), nullptr);
}

TEST(FileBuf, ScannersStopWhereTheyShould)
{
    TempDir dir;
    //                 0123456789012345678901234567890123
    std::string text = "  key = \"a;b\" ; x\\;y 'q;' ;end";
    write_file(dir / "t", text);
    fbuf_t* fb = fbuf_init((dir / "t").c_str(), 8);
    ASSERT_NE(fb, nullptr);
    int64_t size = (int64_t)text.size();
    struct {
        const char* what;
        int64_t got, want;
    } cases[] = {
        {"skip_over blanks", fbuf_skip_over(fb, 0, -1, " ", 1), 2},
        {"skip_to '='", fbuf_skip_to(fb, 0, -1, "=", 1), 6},
        {"skip_to none", fbuf_skip_to(fb, 0, -1, "@", 1), size},
        {"skip_to limited", fbuf_skip_to(fb, 0, 4, "=", 1), 4},
        {"esc_to passes \\;", fbuf_skip_esc_to(fb, 15, -1, ";", 1), 23},
        {"quote_to passes both", fbuf_skip_quote_to(fb, 15, -1, ";", 1), 26},
        {"rskip_to ';'", fbuf_rskip_to(fb, 1000, -1, ";", 1), 26},
        {"rskip_to none", fbuf_rskip_to(fb, 5, -1, "=", 1), -1},
        {"rskip_to limited", fbuf_rskip_to(fb, 20, 3, "=", 1), 17},
        {"rskip_over", fbuf_rskip_over(fb, 7, -1, " =", 2), 4},
        {"null set", fbuf_skip_to(fb, 3, -1, nullptr, 0), 3},
        {"empty set", fbuf_rskip_over(fb, 3, -1, "", 0), 3},
    };
    for (auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
    fbuf_free(fb);
}

TEST(FileBuf, ScannersAgreeWithAPlainModelAcrossWindows)
{
    TempDir dir;
    std::string data = random_bytes(150000, 11);
    for (auto& c : data) c = "abc;\\\"'xyz "[(uint8_t)c % 11];
    write_file(dir / "r", data);
    fbuf_t* fb = fbuf_init((dir / "r").c_str(), 8);
    ASSERT_NE(fb, nullptr);
    std::mt19937 rng(12);
    for (int k = 0; k < 300; k++) {
        int64_t pos = rng() % data.size();
        int64_t limit = (k % 3 == 0) ? -1 : (int64_t)(rng() % 70000);
        const char* set = (k % 2) ? "z" : ";'";
        int setlen = (int)strlen(set);
        int64_t end = limit < 0 ? (int64_t)data.size() : std::min<int64_t>(data.size(), pos + limit);
        int64_t want = end;
        for (int64_t i = pos; i < end; i++)
            if (memchr(set, data[i], setlen)) { want = i; break; }
        ASSERT_EQ(fbuf_skip_to(fb, pos, limit, set, setlen), want);
        int64_t low = limit < 0 ? 0 : std::max<int64_t>(0, pos - limit + 1);
        int64_t rwant = low - 1;
        for (int64_t i = pos; i >= low; i--)
            if (memchr(set, data[i], setlen)) { rwant = i; break; }
        ASSERT_EQ(fbuf_rskip_to(fb, pos, limit, set, setlen), rwant);
    }
    fbuf_free(fb);
}
