// 16-bit PGM files: bad input refused without ending the process, reads
// bounded, and a written P5 file read back.
#include "common/pnm.h"

#include "memory.h"
#include "platform/boardroot.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>
using namespace std::string_literals;

namespace {

// A stream over the bytes of a string.
struct MemFile {
    FILE* f;
    explicit MemFile(const std::string& s)
    {
        f = tmpfile();
        fwrite(s.data(), 1, s.size(), f);
        rewind(f);
    }
    ~MemFile() { fclose(f); }
};

std::string quiet_stdout_of(const std::function<void()>& fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(Pnm, MagicAfterCommentLinesAndBadMagicRefused)
{
    MemFile good("# c\n  # d\n Pf\n");
    EXPECT_EQ(get_pnm_type(good.f), 17);
    for (const char* bad : {"P8", "", "#only a comment"}) {
        MemFile m(bad);
        int type = 0;
        EXPECT_EQ(quiet_stdout_of([&] { type = get_pnm_type(m.f); }),
                  "Error: Unknown PNM/PFM file; wrong magic number!\n");
        EXPECT_EQ(type, -1) << bad;
    }
}

TEST(Pnm, HeaderAcrossCommentLinesAndBadHeadersRefusedNotFatal)
{
    MemFile m("P2\n# made by hand\n3\n# between\n 2 4095\nrest");
    int w = 0, h = 0, maxv = 0, ascii = -1, rc = 0;
    EXPECT_EQ(read_pgm_header(m.f, &w, &h, &maxv, &ascii), 12);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(maxv, 4095);
    EXPECT_EQ(ascii, 1);
    std::vector<unsigned char> buf(3); // ASan reports any write past it
    EXPECT_EQ(read_pgm_data(m.f, buf.data(), buf.size()), 3);
    EXPECT_EQ(std::string((char*)buf.data(), 3), "res");

    for (const char* bad : {"P6\n2 2\n255\n", "P5\n0 2\n255\n", "P5\n100000 100000\n65535\n", "P5\n2\n",
                            "P5\n2 2 70000\n", "P5\n99999999999999999999 2\n255\n"}) {
        MemFile b(bad);
        quiet_stdout_of([&] { rc = read_pgm_header(b.f, &w, &h, &maxv, &ascii); });
        EXPECT_EQ(rc, -1) << bad;
    }
}

TEST(Pnm, WriteThenReadBackP5)
{
    BoardRoot board;
    ASSERT_EQ(board.rc, 0);
    const uint16_t px[6] = {0x0000, 0x0123, 0x0FFF, 0xABCD, 0x8000, 0x00FF};
    FILE* f = plat_fopen("/tmp/img.pgm", "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(write_pgm_file(f, const_cast<uint16_t*>(px), 3, 2, 65535), 0);
    fclose(f);
    std::string bytes = read_host_file(board.host("/tmp/img.pgm"));
    EXPECT_EQ(bytes.substr(0, 17), "P5\n3 2\n65535\n\x00\x00\x01\x23"s); // high byte first

    pgmImage img{};
    ASSERT_EQ(readPgm_P5("/tmp/img.pgm", &img), 0);
    EXPECT_EQ(img.width, 3);
    EXPECT_EQ(img.height, 2);
    EXPECT_EQ(img.maxValue, 65535);
    EXPECT_EQ(img.pgmType, 5);
    ASSERT_NE(img.data, nullptr);
    for (int i = 0; i < 6; i++) EXPECT_EQ(img.data[i], px[i]) << i;
    kfree(img.data);
}

TEST(Pnm, ReaderRefusesBadFilesWithoutExiting)
{
    BoardRoot board;
    ASSERT_EQ(board.rc, 0);
    pgmImage img{};
    std::string out = quiet_stdout_of([&] { EXPECT_EQ(readPgm_P5("/tmp/missing.pgm", &img), -1); });
    EXPECT_EQ(out, "Error: Can't open the specified input file.\n");

    ASSERT_TRUE(write_host_file(board.host("/tmp/p6.pgm"), "P6\n1 1\n255\nabc"));
    out = quiet_stdout_of([&] { EXPECT_EQ(readPgm_P5("/tmp/p6.pgm", &img), -1); });
    EXPECT_NE(out.find("Error: Unknown PGM image format. Exiting...\n"), std::string::npos);

    // The header promises 4 x 4 samples; the file holds 3 bytes.
    ASSERT_TRUE(write_host_file(board.host("/tmp/short.pgm"), "P5\n4 4\n65535\nabc"));
    quiet_stdout_of([&] { EXPECT_EQ(readPgm_P5("/tmp/short.pgm", &img), -1); });
    EXPECT_EQ(img.data, nullptr);
}
