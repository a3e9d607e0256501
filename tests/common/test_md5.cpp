#include "common/md5.h"

#include "platform/boardroot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string hex(const uint8_t d[16])
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; i++) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string md5_text(const std::string& text)
{
    MD5Ctx ctx;
    uint8_t d[16];
    md5_init(&ctx);
    md5_update(&ctx, text.data(), text.size());
    md5_final(&ctx, d);
    return hex(d);
}

const std::pair<const char*, const char*> kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

} // namespace

TEST(Md5, Rfc1321Vectors)
{
    for (const auto& v : kRfc1321) EXPECT_EQ(md5_text(v.first), v.second) << '"' << v.first << '"';
}

TEST(Md5, DigestOfBoardFileAndMissingFile)
{
    BoardRoot board;
    ASSERT_EQ(board.rc, 0);
    ASSERT_TRUE(write_host_file(board.host("/tmp/m.bin"), "message digest"));
    uint8_t d[16];
    ASSERT_EQ(MD5(reinterpret_cast<const uint8_t*>("/tmp/m.bin"), d), 1);
    EXPECT_EQ(hex(d), "f96b697d7cb7938d525a2f31aaf161d0");

    // Longer than one read: blocks straddle the reads and the final padding.
    std::string big(10007, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 131 + 7);
    ASSERT_TRUE(write_host_file(board.host("/tmp/big.bin"), big));
    ASSERT_EQ(MD5(reinterpret_cast<const uint8_t*>("/tmp/big.bin"), d), 1);
    std::string whole = hex(d);
    MD5Ctx ctx;
    md5_init(&ctx);
    for (size_t off = 0; off < big.size(); off += 61)
        md5_update(&ctx, big.data() + off, std::min<size_t>(61, big.size() - off));
    md5_final(&ctx, d);
    EXPECT_EQ(whole, hex(d));

    testing::internal::CaptureStdout();
    EXPECT_EQ(MD5(reinterpret_cast<const uint8_t*>("/tmp/none.bin"), d), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ERROR] File in /tmp/none.bin not found.");
}

// A read-only file is digested: checked in a child that gives up root, so
// the file's permissions apply.
TEST(Md5, ReadOnlyFileIsDigested)
{
    BoardRoot board;
    ASSERT_EQ(board.rc, 0);
    std::string host = board.host("/tmp/ro.bin");
    ASSERT_TRUE(write_host_file(host, "abc"));
    ASSERT_EQ(chmod(host.c_str(), 0444), 0);
    ASSERT_EQ(chmod(board.tmp.path.c_str(), 0755), 0);
    ASSERT_EQ(chmod(board.host("/tmp").c_str(), 0755), 0);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) _exit(3);
        if (access(host.c_str(), W_OK) == 0) _exit(4); // permissions would not be tested
        uint8_t d[16];
        if (MD5(reinterpret_cast<const uint8_t*>("/tmp/ro.bin"), d) != 1) _exit(1);
        _exit(hex(d) == "900150983cd24fb0d6963f7d28e17f72" ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
