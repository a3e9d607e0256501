// NativeFile: open modes, positioned reads and writes, seeks, resizing,
// copies and sharing one handle between threads.
#include "nativefile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/tmpdir.h"

using testfs::TempDir;
using testfs::read_file;
using testfs::write_file;

namespace {

int access_of(NativeFile* h) { return fcntl(native_file_fd(h), F_GETFL) & O_ACCMODE; }

} // namespace

TEST(NativeFile, OpenFlagsChooseAccessCreationAndRecreation)
{
    TempDir dir;
    std::string missing = dir / "missing";
    EXPECT_EQ(native_file_open(missing.c_str(), 1), nullptr);
    EXPECT_EQ(native_file_open(missing.c_str(), 2), nullptr);
    EXPECT_NE(access(missing.c_str(), F_OK), 0); // nothing created

    std::string f = dir / "m";
    write_file(f, "data");
    for (auto [flag, mode] : {std::pair{0x01, O_RDONLY}, {0x20, O_RDWR}, {0x11, O_RDWR}}) {
        NativeFile* h = native_file_open(f.c_str(), flag);
        ASSERT_NE(h, nullptr) << flag;
        EXPECT_EQ(access_of(h), mode) << flag;
        EXPECT_EQ(native_file_size(h), 4);
        native_file_close(h);
    }
    EXPECT_EQ(read_file(f), "data"); // none of them truncated it

    NativeFile* h = native_file_open(f.c_str(), 0x10); // recreated empty, write-only
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(access_of(h), O_WRONLY);
    EXPECT_EQ(native_file_size(h), 0);
    native_file_close(h);
    EXPECT_EQ(read_file(f), "");
}

TEST(NativeFile, ReadWriteSeekAndResizeTrackPositionAndSize)
{
    TempDir dir;
    std::string f = dir / "rw";
    NativeFile* h = native_file_create(f.c_str(), 0x20);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(native_file_write(h, "0123456789", 10), 10);
    EXPECT_TRUE(native_file_eof(h));
    EXPECT_EQ(native_file_seek(h, 4), 0);
    char buf[16] = {};
    EXPECT_EQ(native_file_read(h, buf, 16), 6);
    EXPECT_STREQ(buf, "456789");
    EXPECT_EQ(native_file_seek(h, 2), 0);
    EXPECT_EQ(native_file_write(h, "ab", 2), 2);
    EXPECT_EQ(native_file_size(h), 10); // overwrote inside the file

    EXPECT_EQ(native_file_resize(h, 4), 0);
    EXPECT_EQ(native_file_seek(h, -1), 0); // the end, as the handle knows it
    EXPECT_EQ(native_file_offset(h), 4);
    EXPECT_EQ(native_file_write(h, "Z", 1), 1);
    EXPECT_EQ(native_file_resize(h, 8), 0);
    EXPECT_EQ(native_file_size(h), 8);
    native_file_close(h);
    EXPECT_EQ(read_file(f), std::string("01abZ\0\0\0", 8));
}

TEST(NativeFile, AFileOpenedThroughALinkKnowsItsOwnSize)
{
    TempDir dir;
    write_file(dir / "s", std::string(12345, 'q'));
    symlink((dir / "s").c_str(), (dir / "link").c_str());
    NativeFile* h = native_file_open((dir / "link").c_str(), 1);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(native_file_size(h), 12345);
    EXPECT_EQ(native_file_write(h, "x", 1), -100); // opened read-only
    native_file_close(h);
}

TEST(NativeFile, CopyAppendsARangeAtTheDestinationPosition)
{
    TempDir dir;
    write_file(dir / "src", "abcdefghij");
    NativeFile* s = native_file_open((dir / "src").c_str(), 1);
    NativeFile* d = native_file_create((dir / "dst").c_str(), 0x20);
    ASSERT_TRUE(s && d);
    EXPECT_EQ(native_file_write(d, "<", 1), 1);
    int64_t act = 0;
    EXPECT_EQ(native_file_copy(s, 2, 5, d, &act), 0);
    EXPECT_EQ(act, 5);
    EXPECT_EQ(native_file_offset(d), 6);
    EXPECT_EQ(native_file_write(d, ">", 1), 1);
    EXPECT_EQ(native_file_size(d), 7);
    native_file_close(s);
    native_file_close(d);
    EXPECT_EQ(read_file(dir / "dst"), "<cdefg>");
}

TEST(NativeFile, ThreadsSharingAHandleNeverOverlapTheirWrites)
{
    TempDir dir;
    NativeFile* h = native_file_create((dir / "shared").c_str(), 0x20);
    ASSERT_NE(h, nullptr);
    constexpr int kThreads = 4, kRecords = 500, kLen = 16;
    std::vector<std::thread> th;
    for (int t = 0; t < kThreads; t++)
        th.emplace_back([h, t] {
            char rec[kLen];
            memset(rec, 'A' + t, kLen);
            for (int i = 0; i < kRecords; i++) native_file_write(h, rec, kLen);
        });
    for (auto& x : th) x.join();
    EXPECT_EQ(native_file_size(h), kThreads * kRecords * kLen);
    native_file_close(h);
    std::string s = read_file(dir / "shared");
    ASSERT_EQ(s.size(), (size_t)kThreads * kRecords * kLen);
    int count[kThreads] = {};
    for (size_t i = 0; i < s.size(); i += kLen) {
        ASSERT_EQ(s.substr(i, kLen), std::string(kLen, s[i])) << "record " << i / kLen << " torn";
        count[s[i] - 'A']++;
    }
    for (int t = 0; t < kThreads; t++) EXPECT_EQ(count[t], kRecords);
}
