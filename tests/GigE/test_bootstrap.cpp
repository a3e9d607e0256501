// Bootstrap registers: defaults per board, identity texts, write effects and
// refusals, bounds of the block and concurrent access.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "GigE/bootstrap.h"
#include "GigE/bootstrap_internal.h"
#include "common/board.h"
#include "common/network.h"
#include "common/regtest.h"

namespace {

using regtest::RegSpace;

struct Boot : RegSpace {
    explicit Boot(const char* profile = "rk3588-gpixel") : RegSpace(profile) {}
    ~Boot() { Bootstrap_RegDeInit(); }

    uint32_t word(uint32_t address)
    {
        uint32_t v = 0xDEADBEEF;
        EXPECT_EQ(Bootstrap_ReadReg(address, &v, 4), BOOTSTRAP_OK) << std::hex << address;
        return v;
    }
    int put(uint32_t address, uint32_t value) { return Bootstrap_WriteReg(address, &value, 4); }
    // A text register's bytes up to its first NUL.
    std::string text(uint32_t address, uint32_t room)
    {
        std::string s(room, '\0');
        EXPECT_EQ(Bootstrap_ReadReg(address, s.data(), room), BOOTSTRAP_OK);
        return s.substr(0, s.find('\0'));
    }
    void board_file(const std::string& path, const std::string& data) { write_host_file(board.host(path), data); }
};

void vendor(unsigned item, const std::string& text) { sim_vendor_set(item, text.data(), text.size()); }

// Vendor storage through the board identification module; a build without
// it falls back to the defaults for every item.
bool vendor_storage_works()
{
    char buf[PLAT_VENDOR_DATA_MAX + 1] = {};
    return rkvendor_read(PLAT_VENDOR_BOARD_CODE, buf, PLAT_VENDOR_DATA_MAX) == 0;
}

std::string dotted(uint32_t ip)
{
    return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 255) + "." + std::to_string((ip >> 8) & 255) +
           "." + std::to_string(ip & 255);
}

// A network setting reached the network configuration: stored in its file,
// or reported by a build that cannot store it yet.
bool configured(Boot& b, const std::string& key, uint32_t ip)
{
    std::string file = read_host_file(b.board.host("/userdata/const/net_config"));
    return file.find(key + "=" + dotted(ip) + "\n") != std::string::npos || b.log.has(key + ":" + dotted(ip) + " ");
}

// The first URL for the description package the board carries.
std::string package_url(Boot& b)
{
    char size[16];
    snprintf(size, sizeof(size), "%zX", read_host_file(b.board.host("/oem/default/korvid.zip")).size());
    return std::string("Local:korvid.zip;10424000;") + size;
}

bool touched(Boot& b, const std::string& key, const std::string& before)
{
    return read_host_file(b.board.host("/userdata/const/net_config")) != before || b.log.has(key + ":");
}

TEST(BootstrapInit, EveryWordOfTheBlockHasItsDefaultOnEachBoard)
{
    struct Case {
        const char* profile;
        uint32_t tofKind;
    } cases[] = {
        {"rk3588-gpixel", E_GPIXEL_0503}, {"rk3568-imx570", E_IMX570}, {"rk3568-v23", E_GPIXEL_0503},
        {"rk3588-vd55h1", E_VD55H1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        Boot b(c.profile);
        b.tof().sensorType = c.tofKind;
        b.run.devLogic = 0;
        vendor(PLAT_VENDOR_BOARD_CODE, "short");
        vendor(PLAT_VENDOR_SERIAL, "123");
        ASSERT_EQ(Bootstrap_RegInit(), 0);
        ASSERT_NE(g_bootstarpReg, nullptr);

        int cpu = get_cpu_id();
        std::string code = cpu == E_CPU_RK3568 ? (c.tofKind == E_IMX570 ? "FA31511400000000" : "F831511400000000")
                                               : "F131411400000000";
        char cpuSerial[129] = {};
        get_cpuSerial(cpuSerial);
        uint32_t ip = 0, mask = 0, macH = 0, macL = 0;
        GetLocalInfo(&ip, &mask, &macH, &macL);

        std::map<uint32_t, uint32_t> words = {
            {0x0000, 0x00020001}, {0x0004, 0x80000001}, {0x0008, macH},       {0x000C, macL},
            {0x0010, 7},          {0x0014, 7},          {0x0600, 1},          {0x0670, 1000},
            {0x0904, 1},          {0x092C, 0x80000000}, {0x0934, 0xF8600007}, {0x0938, 5000},
            {0x0940, 100000000},  {0x0960, 0x40000000}, {0x0D1C, 3959},       {0x0D20, 0x80000007},
            {0x0D24, 0x80000007},
        };
        struct Text {
            uint32_t address, room;
            std::string value;
        } texts[] = {
            {0x0048, 32, "Vornak"},
            {0x0068, 32, "korvid"},
            {0x0088, 32, "V1.1.000000_260120"},
            {0x00A8, 48, code},
            {0x00D8, 16, std::string(cpuSerial).substr(0, 16)},
            {0x0200, 512, package_url(b)},
            {0x0400, 512, "korvid.zip"},
        };

        std::vector<uint8_t> block(BOOTSTRAP_REG_SIZE, 0xAA);
        ASSERT_EQ(Bootstrap_ReadReg(0, block.data(), BOOTSTRAP_REG_SIZE), BOOTSTRAP_OK);
        std::vector<uint8_t> expect(BOOTSTRAP_REG_SIZE, 0);
        for (auto [a, v] : words) memcpy(&expect[a], &v, 4);
        for (const Text& t : texts) memcpy(&expect[t.address], t.value.data(), std::min<size_t>(t.value.size(), t.room));
        for (uint32_t a = 0; a < BOOTSTRAP_REG_SIZE; a++)
            ASSERT_EQ(block[a], expect[a]) << "byte 0x" << std::hex << a;

        EXPECT_EQ(b.run.devLogic, (uint32_t)E_2024_06_BEHIND);  // characters "31"
        EXPECT_TRUE(b.log.has("dev vender:" + code));
        EXPECT_TRUE(b.log.has("dev logic:E_2024_06_BEHIND"));
    }
}

TEST(BootstrapInit, VersionIsTheFirstLineOfItsFileAndTheUrlGivesThePackageSize)
{
    struct Case {
        const char* file;     // "/etc/.device_version"
        const char* version;  // as a host reads 32 bytes
        size_t zip;           // size of the description package
        const char* url;
    } cases[] = {
        {"V2.3.000017_251104\nbuilt by ci\n", "V2.3.000017_251104", 0x1A2B, "Local:korvid.zip;10424000;1A2B"},
        {"V2.3.000017_251104", "V2.3.000017_251104", 1, "Local:korvid.zip;10424000;1"},
        {"", "", 0, "Local:korvid.zip;10424000;0"},
        {"0123456789abcdef0123456789ABCDEF-too-long\n", "0123456789abcdef0123456789ABCDEF", 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Boot b;
        b.board_file("/etc/.device_version", c.file);
        if (c.zip) b.board_file("/oem/default/korvid.zip", std::string(c.zip, 'z'));
        else remove(b.board.host("/oem/default/korvid.zip").c_str());
        ASSERT_EQ(Bootstrap_RegInit(), 0);
        EXPECT_EQ(b.text(0x0088, 32), c.version);
        EXPECT_TRUE(b.log.has(std::string("dev version:") + c.version));
        EXPECT_EQ(b.text(0x00A8, 48).size(), 16u);  // a full 32-byte version leaves the next register alone
        if (c.url) {
            EXPECT_EQ(b.text(0x0200, 512), c.url);
        }
    }
}

TEST(BootstrapInit, VendorTextsLongerThanNineCharactersAreUsedCutAndDecideTheVariant)
{
    struct Case {
        std::string code, serial;
        std::string info, sn;  // expected registers; "" the defaults
        uint32_t variant;
    } cases[] = {
        {"F14511400", "SN1234567", "", "", 1},  // 9 characters each: defaults
        {"F145114000", "SN12345678", "F145114000", "SN12345678", 0},
        {"F14B" + std::string(56, 'C'), "SERIAL-0123456789-XYZ", "F14B" + std::string(44, 'C'), "SERIAL-012345678", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        Boot b;
        if (!vendor_storage_works()) GTEST_SKIP() << "vendor storage not available in this build";
        b.run.devLogic = 7;
        vendor(PLAT_VENDOR_BOARD_CODE, c.code);
        vendor(PLAT_VENDOR_SERIAL, c.serial);
        ASSERT_EQ(Bootstrap_RegInit(), 0);
        char cpuSerial[129] = {};
        get_cpuSerial(cpuSerial);
        std::string info = c.info.empty() ? bootstrap::default_board_code(get_cpu_id(), 0) : c.info;
        EXPECT_EQ(b.text(0x00A8, 48), info);
        EXPECT_EQ(b.text(0x00D8, 16), c.sn.empty() ? std::string(cpuSerial).substr(0, 16) : c.sn);
        EXPECT_EQ(b.word(0x00E8), 0u);  // the serial stays in its 16 bytes
        EXPECT_EQ(b.run.devLogic, c.variant);
    }
}

TEST(BootstrapInit, LogicVariantFromYearAndMonthCharacters)
{
    regtest::LogCapture log;
    struct Case {
        const char* code;
        uint32_t variant;
    } cases[] = {
        {"FA31511400000000", 1}, {"F131411400000000", 1},  // "31": no date
        {"F146000000", 1},  // 4*12+6 = 54, not below 54
        {"F145000000", 0}, {"F14B000000", 1}, {"F14b000000", 1}, {"F14A000000", 1},
        {"F13C000000", 0},  // 3*12+12 = 48
        {"F149000000", 1}, {"F159000000", 1}, {"F101000000", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(bootstrap::hardware_variant(c.code), c.variant) << c.code;
    EXPECT_TRUE(log.has("dev id:F145000000,4:4,5:5,53?54,"));
    EXPECT_FALSE(log.has("error string"));

    // A month that is neither a digit 1..9 nor a, b, c: taken as year 4, month 6.
    for (const char* bad : {"F140000000", "F14D000000", "F14z000000", "F1"})
        EXPECT_EQ(bootstrap::hardware_variant(bad), 1u) << bad;
    EXPECT_TRUE(log.has("error string"));
    EXPECT_TRUE(log.has("dev id:F14D000000,4:4,6:D,54?54,"));
}

TEST(BootstrapWrite, PersistentAddressAndMaskAreCheckedStoredAndConfigured)
{
    struct Case {
        uint32_t address, value;
        int rc;
        bool goes;  // reaches the network configuration
    } cases[] = {
        {0x064C, 0x7F000001, BOOTSTRAP_REFUSED, false},  // 127.0.0.1
        {0x064C, 0x0A0000FF, BOOTSTRAP_REFUSED, false},  // 10.0.0.255
        {0x064C, 0x0A000000, BOOTSTRAP_REFUSED, false},  // 10.0.0.0
        {0x064C, 0xE0000001, BOOTSTRAP_REFUSED, false},  // 224.0.0.1
        {0x064C, 0xC0A80132, BOOTSTRAP_OK, true},        // 192.168.1.50
        {0x064C, 0xDFFFFFFE, BOOTSTRAP_OK, true},        // 223.255.255.254
        {0x064C, 0, BOOTSTRAP_OK, false},
        {0x065C, 0, BOOTSTRAP_OK, false},
        {0x065C, 0xFFFFFF00, BOOTSTRAP_OK, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.address << " " << dotted(c.value));
        Boot b;
        ASSERT_EQ(Bootstrap_RegInit(), 0);
        const std::string key = c.address == 0x064C ? "IPADDRESS" : "NETMASK";
        std::string before = read_host_file(b.board.host("/userdata/const/net_config"));
        EXPECT_EQ(b.put(c.address, c.value), c.rc);
        EXPECT_EQ(b.word(c.address), c.value);  // stored even when refused
        EXPECT_EQ(c.goes ? configured(b, key, c.value) : touched(b, key, before), c.goes);
        char msg[32];
        snprintf(msg, sizeof(msg), "invalid ip:0x%x", c.value);
        EXPECT_EQ(b.log.has(msg), c.rc == BOOTSTRAP_REFUSED);
    }
}

TEST(BootstrapWrite, ZeroGatewayBecomesTheFirstHostOfThePersistentNetwork)
{
    Boot b;
    ASSERT_EQ(Bootstrap_RegInit(), 0);
    ASSERT_EQ(b.put(0x064C, 0xC0A80132), BOOTSTRAP_OK);  // 192.168.1.50
    EXPECT_EQ(b.put(0x066C, 0), BOOTSTRAP_OK);
    EXPECT_TRUE(configured(b, "GATEWAY", 0xC0A80101));
    EXPECT_EQ(b.word(0x066C), 0u);  // the block keeps what the host wrote

    EXPECT_EQ(b.put(0x066C, 0x0A0102FE), BOOTSTRAP_OK);
    EXPECT_TRUE(configured(b, "GATEWAY", 0x0A0102FE));
    EXPECT_EQ(b.word(0x066C), 0x0A0102FEu);
}

TEST(BootstrapWrite, HeartbeatTimeoutIsStoredAsWrittenAndAppliedWithin1To999999)
{
    Boot b;
    ASSERT_EQ(Bootstrap_RegInit(), 0);
    for (auto [written, applied] : {std::pair{0u, 5000u}, std::pair{1000000u, 5000u}, std::pair{999999u, 999999u},
                                    std::pair{1u, 1u}, std::pair{3000u, 3000u}}) {
        EXPECT_EQ(b.put(0x0938, written), BOOTSTRAP_OK);
        EXPECT_EQ(b.word(0x0938), written);
        EXPECT_EQ(Bootstrap_HeartbeatTimeout(), applied) << written;
    }
}

// Worker 511 as the stream sender registers it, without a thread;
// freeing it releases the frames left on its list.
struct FakeSender {
    epcore_t* core;
    worker_t* wk = worker_new(core);
    explicit FakeSender(epcore_t* c) : core(c)
    {
        wk->workerid = wk->threadid = E_WORKER_ID_GVSP;
        worker_set_datafree(wk, frame_datafree);
        worker_thread_add(core, wk);
    }
    ~FakeSender() { worker_thread_del(core, wk), worker_free(wk); }
};

TEST(BootstrapWrite, PacketSizeQueuesAZeroTestFrameOfAtMost1500Bytes)
{
    Boot b;
    ASSERT_EQ(Bootstrap_RegInit(), 0);
    // Without a stream sender the frame is released (the leak check sees it).
    EXPECT_EQ(b.put(0x0D04, 1400), BOOTSTRAP_OK);

    FakeSender gvsp(b.core);
    struct Case {
        uint32_t value, queued;  // queued 0: nothing
    } cases[] = {{9000, 1500}, {576, 576}, {0x00010000, 0}, {0xABCD05DC, 1500}, {1500, 1500}, {1501, 1500}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(b.put(0x0D04, c.value), BOOTSTRAP_OK);
        EXPECT_EQ(b.word(0x0D04), c.value);  // the sender still uses the written size
        if (c.queued) n++;
        ASSERT_EQ(lt_num(gvsp.wk->data_list), n);  // no thread: nothing else touches the list
        auto* f = static_cast<ImageInfo*>(lt_last(gvsp.wk->data_list));
        if (!c.queued) continue;
        EXPECT_EQ(f->imageType, (uint32_t)E_IMAGE_TYPE_TEST_PACKET);
        EXPECT_EQ(f->imageSize, c.queued);
        EXPECT_EQ(f->memType, 0u);
        std::string data((const char*)f->imageData, c.queued);
        EXPECT_EQ(data, std::string(c.queued, '\0'));
    }
}

TEST(BootstrapAccess, AccessesThatRunPastTheBlockCopyNothing)
{
    Boot b;
    ASSERT_EQ(Bootstrap_RegInit(), 0);
    const uint32_t last = BOOTSTRAP_REG_SIZE - 4;
    ASSERT_EQ(b.put(last, 0x11223344), BOOTSTRAP_OK);
    EXPECT_EQ(b.word(last), 0x11223344u);

    struct Case {
        uint32_t address, length;
        int rc;
    } cases[] = {
        {last, 4, BOOTSTRAP_OK},
        {0, BOOTSTRAP_REG_SIZE, BOOTSTRAP_OK},
        {BOOTSTRAP_REG_SIZE, 0, BOOTSTRAP_OK},
        {last + 1, 4, BOOTSTRAP_NOT_IMPLEMENTED},
        {BOOTSTRAP_REG_SIZE, 1, BOOTSTRAP_NOT_IMPLEMENTED},
        {0x0FFFFFFC, 4, BOOTSTRAP_NOT_IMPLEMENTED},
        {0xFFFFFFFF, 2, BOOTSTRAP_NOT_IMPLEMENTED},  // address + length wraps
        {4, 0xFFFFFFFF, BOOTSTRAP_NOT_IMPLEMENTED},
        {0x9F00, 0x200, BOOTSTRAP_NOT_IMPLEMENTED},  // a READMEM across the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.address << "+" << c.length);
        if (c.length > BOOTSTRAP_REG_SIZE) {
            // The buffers would not hold such a length: only the refusal counts.
            uint8_t small[8];
            EXPECT_EQ(Bootstrap_WriteReg(c.address, small, c.length), c.rc);
            continue;
        }
        std::vector<uint8_t> buf(c.length, 0x5A);
        EXPECT_EQ(Bootstrap_ReadReg(c.address, buf.data(), c.length), c.rc);
        if (c.rc == BOOTSTRAP_OK) continue;
        EXPECT_EQ(buf, std::vector<uint8_t>(c.length, 0));  // no stale bytes
        std::vector<uint8_t> ones(c.length, 0xEE);
        EXPECT_EQ(Bootstrap_WriteReg(c.address, ones.data(), c.length), c.rc);
    }
    EXPECT_EQ(b.word(last), 0x11223344u);  // no refused write touched the end
    EXPECT_EQ(Bootstrap_ReadReg(0, nullptr, 4), BOOTSTRAP_REFUSED);
    EXPECT_EQ(Bootstrap_WriteReg(0, nullptr, 4), BOOTSTRAP_REFUSED);

    // Without a block every access is refused.
    Bootstrap_RegDeInit();
    EXPECT_EQ(g_bootstarpReg, nullptr);
    uint32_t v = 0x5A5A5A5A;
    EXPECT_EQ(Bootstrap_ReadReg(0x0670, &v, 4), BOOTSTRAP_NOT_IMPLEMENTED);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(Bootstrap_WriteReg(0x0670, &v, 4), BOOTSTRAP_NOT_IMPLEMENTED);
    EXPECT_EQ(Bootstrap_HeartbeatTimeout(), 5000u);
}

TEST(BootstrapAccess, ConcurrentAccessAndRebuildsKeepEveryCopyWhole)
{
    Boot b;
    ASSERT_EQ(Bootstrap_RegInit(), 0);
    const std::string names[2] = {"AAAAAAAAAAAAAAAA", "bbbbbbbbbbbbbbbb"};
    const uint32_t speeds[2] = {0x03E803E8u, 0x00640064u};
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    // The link-speed task and a host naming the device write; two readers
    // accept only whole values (or none while the block is rebuilt).
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; !done.load(); i++) Bootstrap_WriteReg(REG_LINK_SPEED, &speeds[i & 1], 4);
    });
    threads.emplace_back([&] {
        for (int i = 0; !done.load(); i++) Bootstrap_WriteReg(REG_USER_DEFINED, names[i & 1].data(), 16);
    });
    for (int r = 0; r < 2; r++) {
        threads.emplace_back([&] {
            while (!done.load()) {
                uint32_t speed = 0;
                Bootstrap_ReadReg(REG_LINK_SPEED, &speed, 4);
                if (speed != 0 && speed != 1000 && speed != speeds[0] && speed != speeds[1]) torn++;
                char name[16];
                Bootstrap_ReadReg(REG_USER_DEFINED, name, 16);
                std::string s(name, 16);
                if (s != std::string(16, '\0') && s != names[0] && s != names[1]) torn++;
            }
        });
    }
    for (int i = 0; i < 10; i++) {
        Bootstrap_RegDeInit();
        EXPECT_EQ(Bootstrap_RegInit(), 0);
    }
    done = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
