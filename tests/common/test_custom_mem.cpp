// The memory window: every read stays inside the caller's buffer and
// zero-fills what the source lacks, user-file patches stay inside their
// files, identity texts are bounded and checked, and the algorithm blocks
// answer by the running application.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "algo/algo_server.h"
#include "algo/algo_tavo.h"
#include "common/persist.h"
#include "common/regtest.h"

using regtest::RegSpace;

namespace {

constexpr uint32_t kUserSize = 131072;

struct Window : ::testing::Test {
    RegSpace r{"rk3568-imx570"};
    Window()
    {
        algo_server_reset();
        write_host_file(r.board.host("/userdata/const/user.bin"), std::string(kUserSize, '\0'));
        write_host_file(r.board.host("/userdata/const/user_custom.bin"), std::string(kUserSize, '\0'));
    }
    ~Window() override { algo_server_reset(); }
    // Reads len bytes into a buffer of exactly that size (ASan guards its end).
    int read(uint32_t address, uint32_t len, std::vector<uint8_t>* out)
    {
        out->assign(len, 0xAA);
        return Custom_MemRead(address, out->data(), len);
    }
    int write(uint32_t address, const std::string& data)
    {
        std::vector<uint8_t> buf(data.begin(), data.end());
        return Custom_MemWrite(address, buf.data(), (uint32_t)buf.size());
    }
    std::string text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }
};

TEST_F(Window, UserFilesPatchAndReadBackWithinTheirSize)
{
    struct { uint32_t base; const char* file; } files[] = {
        {MEM_ADDR_USER_BIN, "/userdata/const/user.bin"}, {MEM_ADDR_USER_CUSTOM_BIN, "/userdata/const/user_custom.bin"}};
    for (auto& f : files) {
        SCOPED_TRACE(f.file);
        std::vector<uint8_t> got;
        EXPECT_EQ(write(f.base + 16, "abcd"), 0);
        EXPECT_EQ(read(f.base + 16, 4, &got), 0);
        EXPECT_EQ(text(got), "abcd");
        // The last bytes of the file, and a read running past its end.
        EXPECT_EQ(write(f.base + kUserSize - 4, "wxyz"), 0);
        EXPECT_EQ(read(f.base + kUserSize - 4, 8, &got), 0);
        EXPECT_EQ(text(got), std::string("wxyz\0\0\0\0", 8));
        // A patch that would run past the file is refused; the file keeps its size.
        EXPECT_EQ(write(f.base + kUserSize - 4, "12345"), 0xFFFF);
        EXPECT_EQ(read_host_file(r.board.host(f.file)).size(), (size_t)kUserSize);
        // Without the file: refused, not answered as success.
        remove(r.board.host(f.file).c_str());
        EXPECT_EQ(read(f.base, 4, &got), 0xFFFF);
        EXPECT_EQ(write(f.base, "x"), 0xFFFF);
    }
}

TEST_F(Window, FirmwareTimeEndsExactlyAtUserBinsEnd)
{
    snprintf(g_firmwareTime, sizeof(g_firmwareTime), "2025-11-04 08:15:42");
    std::vector<uint8_t> got;
    EXPECT_EQ(read(MEM_ADDR_FIRMWARE_TIME, 64, &got), 0);
    EXPECT_EQ(text(got), std::string("2025-11-04 08:15:42") + std::string(45, '\0'));
    EXPECT_EQ(read(MEM_ADDR_FIRMWARE_TIME, 8, &got), 0); // a short buffer gets only its length
    EXPECT_EQ(text(got), "2025-11-");
    g_firmwareTime[0] = '\0';
}

// One past a block's end is the next block's start or no block's address:
// a write there never reaches the block before it, nor does a read come
// from it.
TEST_F(Window, EachBlocksEndAddressIsTheNextBlockOrNone)
{
    write_host_file(r.board.host("/userdata/const/user.bin"), std::string(kUserSize, 'U'));
    write_host_file(r.board.host("/userdata/const/user_custom.bin"), std::string(kUserSize, 'C'));
    write_host_file(r.board.host("/userdata/const/user_id.bin"), "IDENT");
    write_host_file(r.board.host("/etc/capability.json"), "{\"c\":1}");
    write_host_file(r.board.host("/etc/feature_capability.json"), "{\"f\":2}");
    write_host_file(r.board.host("/oem/default/korvid.zip"), "0123456789");
    snprintf(g_firmwareTime, sizeof(g_firmwareTime), "FWTM");
    // text: the first bytes read; nullptr leaves the buffer untouched, ""
    // is not compared (the depth library's records).
    struct End {
        const char* block;
        uint32_t at;
        int write, read;
        const char* text;
    } ends[] = {
        {"library version", MEM_ADDR_ALGO_VERSION + 32, REG_WRITE_PROTECT, 0, ""},
        {"colour intrinsics", MEM_ADDR_RGB_CAM_PARAM + 72, REG_WRITE_PROTECT, 0, ""},
        {"ToF intrinsics", MEM_ADDR_TOF_CAM_PARAM + 72, REG_INVALID_ADDRESS, 0, nullptr},
        {"extrinsics", MEM_ADDR_EXTRIN_PARAM + 96, REG_ALGO_FAIL, 0, "{"},  // the filter text
        {"filter text", MEM_ADDR_FILTER_JSON + 3072, REG_WRITE_PROTECT, 0, "{\"c\""},
        {"capability file", MEM_ADDR_CAPABILITY_JSON + 3072, REG_NOT_IMPLEMENTED, 0xFFFF, nullptr},
        {"application parameters", MEM_ADDR_APP_ALGO_PARAM + 3072, REG_WRITE_PROTECT, 0xFFFF, nullptr},
        {"application version", MEM_ADDR_APP_ALGO_VERSION + 32, REG_INVALID_ADDRESS, 0, nullptr},
        {"user.bin", MEM_ADDR_USER_BIN + kUserSize, REG_WRITE_PROTECT, 0, "FWTM"},
        {"firmware time", MEM_ADDR_FIRMWARE_TIME + 64, REG_WRITE_PROTECT, 0, "{\"f\""},
        {"feature capability file", MEM_ADDR_FEATURE_CAPABILITY + 3072, REG_INVALID_ADDRESS, 0, nullptr},
        {"camera record", MEM_ADDR_CAMERA_ORIGINAL + 272, REG_INVALID_ADDRESS, 0, nullptr},
        {"user_custom.bin", MEM_ADDR_USER_CUSTOM_BIN + kUserSize, 0, 0, "IDEN"},  // replaces user_id.bin
        {"description package", MEM_ADDR_DESCRIPTION_PACKAGE + 10, REG_INVALID_ADDRESS, 0, ""},
    };
    for (const End& e : ends) {
        SCOPED_TRACE(e.block);
        std::vector<uint8_t> got;
        EXPECT_EQ(read(e.at, 4, &got), e.read);
        if (!e.text) {
            EXPECT_EQ(text(got), std::string(4, '\xAA'));
        } else if (*e.text) {
            EXPECT_EQ(text(got).substr(0, strlen(e.text)), e.text);
        }
        EXPECT_EQ(write(e.at, "WXYZ"), e.write);
        // A refusal does not hang on the length.
        if (e.write == REG_WRITE_PROTECT || e.write == REG_INVALID_ADDRESS) {
            EXPECT_EQ(write(e.at, ""), e.write);
        }
    }
    EXPECT_EQ(read_host_file(r.board.host("/userdata/const/user.bin")), std::string(kUserSize, 'U'));
    EXPECT_EQ(read_host_file(r.board.host("/userdata/const/user_custom.bin")), std::string(kUserSize, 'C'));
    EXPECT_EQ(read_host_file(r.board.host("/userdata/const/user_id.bin")), "WXYZ");
    g_firmwareTime[0] = '\0';
}

TEST_F(Window, DescriptionPackageChunksZeroFillTheLastOneAndStopPastTheEnd)
{
    write_host_file(r.board.host("/oem/default/korvid.zip"), "0123456789");
    // The last chunk is rounded up to 4 bytes; past it nothing is written (nullptr).
    struct { uint32_t offset, len; const char* expect; } chunks[] = {
        {0, 4, "0123"}, {8, 4, "89\0\0"}, {12, 4, "\0\0\0\0"}, {13, 4, nullptr}};
    for (auto& c : chunks) {
        std::vector<uint8_t> got;
        EXPECT_EQ(read(MEM_ADDR_DESCRIPTION_PACKAGE + c.offset, c.len, &got), 0);
        std::string want = c.expect ? std::string(c.expect, c.len) : std::string(c.len, '\xAA');
        EXPECT_EQ(text(got), want) << c.offset;
    }
    std::vector<uint8_t> got(4);
    EXPECT_EQ(Custom_GetXML(MEM_ADDR_DESCRIPTION_PACKAGE + 13, got.data(), 4), 0);
    EXPECT_EQ(text(got), std::string(4, '\0'));
}

TEST_F(Window, WholeFilesAreBoundedByTheRequest)
{
    std::vector<uint8_t> got;
    // user_id.bin: missing is refused, present is copied up to the request.
    EXPECT_EQ(read(MEM_ADDR_USER_ID_BIN, 16, &got), 0xFFFF);
    EXPECT_EQ(write(MEM_ADDR_USER_ID_BIN, "identity"), 0);
    EXPECT_EQ(read(MEM_ADDR_USER_ID_BIN, 4, &got), 0);
    EXPECT_EQ(text(got), "iden");
    EXPECT_EQ(read(MEM_ADDR_USER_ID_BIN, 12, &got), 0);
    EXPECT_EQ(text(got), std::string("identity\0\0\0\0", 12));

    // Capability files: below 3072 bytes served, from 3072 refused.
    for (uint32_t address : {MEM_ADDR_CAPABILITY_JSON, MEM_ADDR_FEATURE_CAPABILITY}) {
        const char* file = address == MEM_ADDR_CAPABILITY_JSON ? "/etc/capability.json" : "/etc/feature_capability.json";
        write_host_file(r.board.host(file), std::string(3071, 'c'));
        EXPECT_EQ(read(address, 16, &got), 0);
        EXPECT_EQ(text(got), std::string(16, 'c'));
        write_host_file(r.board.host(file), std::string(3072, 'c'));
        EXPECT_EQ(read(address, 16, &got), 0xFFFF);
    }
    EXPECT_TRUE(r.log.has("fileSize too big"));

    // Camera records: a short request gets their first bytes only.
    EXPECT_EQ(read(MEM_ADDR_TOF_CAM_PARAM, 8, &got), 0);
    EXPECT_EQ(read(MEM_ADDR_CAMERA_ORIGINAL, 272, &got), 0);
    EXPECT_EQ(read(MEM_ADDR_ALGO_VERSION, 32, &got), 0);
    EXPECT_EQ(text(got).substr(0, strlen(algo_TavoPlus_GetLibVersion())), algo_TavoPlus_GetLibVersion());

    // Any other address: nothing, answered 0.
    EXPECT_EQ(read(0x10008004, 4, &got), 0);
    EXPECT_EQ(text(got), std::string(4, '\xAA'));
}

TEST_F(Window, LongFilterTextGoesToAFileOnlyWith101MiBFree)
{
    std::string longText = "{\"pad\":\"" + std::string(3100, 'f') + "\"}";
    algo_TavoPlus_SetFilterString(reinterpret_cast<uint8*>(longText.data()));
    for (uint64_t mib : {100ull, 101ull}) {
        SCOPED_TRACE(mib);
        sim_set_free_space("/userdata", mib << 20);
        remove(r.board.host("/userdata/dev_filter.json").c_str());
        std::vector<uint8_t> got;
        int rc = read(MEM_ADDR_FILTER_JSON, 64, &got);
        std::string file = read_host_file(r.board.host("/userdata/dev_filter.json"));
        if (mib == 100) {
            EXPECT_EQ(rc, REG_NOT_DONE);  // served neither way
            EXPECT_EQ(file, "<missing>");
        } else {
            EXPECT_EQ(rc, 0xFFFF);  // the host fetches the file instead
            EXPECT_EQ(file.size(), longText.size());
        }
    }
    algo_TavoPlus_SetFilterString(nullptr);
    std::vector<uint8_t> got;
    EXPECT_EQ(read(MEM_ADDR_FILTER_JSON, 4, &got), 0);
}

TEST_F(Window, AlgorithmBlocksAnswerByTheRunningApplication)
{
    // The first-generation detector (1) is never loaded.
    struct { uint32_t algo; int readParams, readVersion, writeParams; } cases[] = {
        {0, 0xFFFF, 0xFFFF, 0x8001}, {1, 0xFFFF, 0xFFFF, 0x8002}, {2, 0, 0, 0}, {3, 0xFFFF, 0xFFFF, 0x8001},
        {4, 0, 0, 0}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.algo);
        r.common().enableApplationAlgo = c.algo;
        std::vector<uint8_t> got;
        EXPECT_EQ(read(MEM_ADDR_APP_ALGO_PARAM, 3072, &got), c.readParams);
        if (c.readParams == 0) { EXPECT_EQ(got[0], '{'); }
        EXPECT_EQ(read(MEM_ADDR_APP_ALGO_VERSION, 32, &got), c.readVersion);
        EXPECT_EQ(write(MEM_ADDR_APP_ALGO_PARAM, "{\"ZoneIndex\":0}"), c.writeParams);
    }
    // Refused parameters of the second generation.
    r.common().enableApplationAlgo = 4;
    EXPECT_EQ(write(MEM_ADDR_APP_ALGO_PARAM, "not json"), 0x8002);
    EXPECT_TRUE(r.log.has("algo_avoid_set_params2 fail."));
    // Commands go to the running application and answer its result.
    EXPECT_EQ(write(MEM_ADDR_APP_ALGO_COMMAND, "{\"SetZoneIndex\":3}"), 0);
    EXPECT_NE(write(MEM_ADDR_APP_ALGO_COMMAND, "{\"SetZoneIndex\":99}"), 0);
    // Without an application nothing takes them.
    r.common().enableApplationAlgo = 0;
    EXPECT_EQ(write(MEM_ADDR_APP_ALGO_COMMAND, "{\"SetZoneIndex\":99}"), 0x8001);
}

TEST_F(Window, AvoidanceParametersOnAnRK3568IMX570SetTheZoneAndSave)
{
    r.run.cpuId = E_CPU_RK3568;
    r.tof().sensorType = E_IMX570;
    r.common().enableApplationAlgo = 4;
    EXPECT_EQ(write(MEM_ADDR_APP_ALGO_PARAM, "{\"ZoneIndex\":5}"), 0);
    EXPECT_EQ(r.common().avoidSetMode, 5u);
    EXPECT_EQ(r.run.avoidTmpParam, 0xFFFFu);
    EXPECT_TRUE(r.log.has("AVOID default setting:5"));
    EXPECT_EQ(read_host_file(r.board.host("/userdata/config.bin")).size(), (size_t)DEV_CFG_SIZE);
    // Parameters without a usable zone: the host's text is named escaped.
    EXPECT_EQ(write(MEM_ADDR_APP_ALGO_PARAM, "{\"ZoneIndex\":\"\x7f\xc3\xa9\"}"), 0);
    EXPECT_TRUE(r.log.has("{\"ZoneIndex\":\"\\x7f\\xc3\\xa9\"} parse error:"));
}

TEST_F(Window, IdentityTextsAreBoundedAndTheMacMustBeHex)
{
    struct { const char* text; int code; } macs[] = {
        {"02564b000002", 0}, {"02:56:4b:00:00:02", 0xFFFF}, {"0256zz000002", 0xFFFF}, {"02564b00000", 0xFFFF}};
    for (auto& m : macs) EXPECT_EQ(write(MEM_ADDR_MAC, m.text), m.code) << m.text;
    // Texts without a terminator and longer than an item are cut, never overrun.
    std::string longText(4096, '7');
    EXPECT_EQ(write(MEM_ADDR_SERIAL, longText), 0);
    EXPECT_EQ(write(MEM_ADDR_BOARD_CODE, longText), 0);
    EXPECT_EQ(write(MEM_ADDR_MAC, longText), 0xFFFF);  // 127 digits: odd
    std::string binary("\x01\x02\x03", 3);
    EXPECT_EQ(write(0x10010000 + 0x20000 + 0x50000, binary), REG_INVALID_ADDRESS);  // logged with its length
}

TEST_F(Window, ApdCalibrationStatusLandsInUserBin)
{
    r.run.cpuId = E_CPU_RK3568;
    write_host_file(r.board.host("/userdata/const/Auto_Calib_GainList.csv"), "gain,bias\n1,2\n3,4\n");
    EXPECT_EQ(r.write(0x1000702C, 0), 0);
    EXPECT_EQ(read_host_file(r.board.host("/userdata/const/user.bin"))[1], 1);
    EXPECT_TRUE(r.log.has("apd calib file ok"));
    remove(r.board.host("/userdata/const/Auto_Calib_GainList.csv").c_str());
    EXPECT_EQ(r.write(0x1000702C, 0), 0xFFFF);
    EXPECT_EQ(read_host_file(r.board.host("/userdata/const/user.bin"))[1], 0);
    EXPECT_TRUE(r.log.has("error can't recreat apd_task"));
}

} // namespace
