// MD5: the RFC 1321 vectors fed whole and in pieces, and the digest of board
// files, read-only ones included.
#include "common/md5.h"

#include "platform/boardroot.h"
#include "strutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string hex(const uint8_t d[16])
{
    char s[32];
    enc_hex(d, 16, reinterpret_cast<uint8_t*>(s), 0);
    return std::string(s, sizeof(s));
}

// Digest of the text fed in pieces of `piece` bytes.
std::string md5_text(const std::string& text, size_t piece)
{
    MD5Ctx ctx;
    uint8_t d[16];
    md5_init(&ctx);
    for (size_t off = 0; off < text.size(); off += piece)
        md5_update(&ctx, text.data() + off, std::min(piece, text.size() - off));
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

TEST(Md5, Rfc1321VectorsWholeAndInPieces)
{
    for (const auto& v : kRfc1321)
        for (size_t piece : {(size_t)100, (size_t)1, (size_t)7})
            EXPECT_EQ(md5_text(v.first, piece), v.second) << '"' << v.first << "\" in pieces of " << piece;
}

// A read-only file is digested: checked in a child that gives up root, so
// the file's permissions apply. The file spans several reads.
TEST(Md5, ReadOnlyFileIsDigestedAndAMissingOneReported)
{
    BoardRoot board;
    ASSERT_EQ(board.rc, 0);
    std::string big(10007, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 131 + 7);
    std::string host = board.host("/tmp/ro.bin");
    ASSERT_TRUE(write_host_file(host, big));
    ASSERT_EQ(chmod(host.c_str(), 0444), 0);
    ASSERT_EQ(chmod(board.tmp.path.c_str(), 0755), 0);
    ASSERT_EQ(chmod(board.host("/tmp").c_str(), 0755), 0);
    std::string want = md5_text(big, 61);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) _exit(3);
        if (access(host.c_str(), W_OK) == 0) _exit(4); // permissions would not be tested
        uint8_t d[16];
        if (MD5(reinterpret_cast<const uint8_t*>("/tmp/ro.bin"), d) != 1) _exit(1);
        _exit(hex(d) == want ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    uint8_t d[16];
    testing::internal::CaptureStdout();
    EXPECT_EQ(MD5(reinterpret_cast<const uint8_t*>("/tmp/none.bin"), d), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ERROR] File in /tmp/none.bin not found.");
}
