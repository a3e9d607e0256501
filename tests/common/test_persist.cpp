// Persistence of the register block on a simulated board: the start-up load
// order and its corrections, the parameter groups through the group
// register, the free-space rule, saves that a kill cannot tear, the
// camera-model file and the firmware time.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "GigE/bootstrap.h"
#include "algo/algo_tavo.h"
#include "algo/algotest.h"
#include "algo/tavo_lib.h"
#include "common/custom.h"
#include "common/custom_default.h"
#include "common/persist.h"
#include "common/regtest.h"
#include "memory.h"
#include "platform/boardroot.h"

namespace {

constexpr uint32_t kMask = 0x10000060;      // a plain common word used as a marker
constexpr uint32_t kGroupReg = 0x10000094;
constexpr const char* kFilterA = "{\"median_filter\":{\"enable\":0,\"radius\":3}}";
constexpr const char* kFilterB = "{\"fly_pixel\":{\"enable\":1,\"k\":0.25}}";

// A simulated board with nothing saved yet; the block is freed at the end.
struct Persist {
    algotest::LogCapture log;
    BoardRoot board;
    explicit Persist(const char* profile = "rk3588-gpixel") : board(profile)
    {
        tavolib_reset();
        // What the hardware check finds on this board.
        g_rgbSensorType = E_SMARTSENS_SC130GS;
        g_tofSensorType = E_GPIXEL_0503;
        g_hardWireCheck = 0;
    }
    ~Persist()
    {
        Custom_RegDeInit();
        tavolib_reset();
    }
    std::string file(const std::string& board_path) { return read_host_file(board.host(board_path)); }
    bool put(const std::string& board_path, const std::string& data)
    {
        return write_host_file(board.host(board_path), data);
    }
    bool exists(const std::string& board_path) { return access(board.host(board_path).c_str(), F_OK) == 0; }
};

std::string group_cfg(int n) { return "/userdata/const/config" + std::to_string(n) + ".bin"; }
std::string group_filter(int n) { return "/userdata/const/filterJson" + std::to_string(n) + ".bin"; }

std::string block_bytes(const deviceCFG& cfg)
{
    return std::string(reinterpret_cast<const char*>(&cfg), sizeof(cfg));
}

// A saved block whose only non-zero fields are the ones set by `fill`.
template <typename Fill>
std::string saved_block(Fill fill)
{
    deviceCFG cfg{};
    fill(cfg);
    return block_bytes(cfg);
}

uint32_t reg(uint32_t address)
{
    uint32_t v = 0xDEADBEEF;
    EXPECT_EQ(Custom_RegRead(address, &v), 0) << std::hex << address;
    return v;
}

int write_reg(uint32_t address, uint32_t value) { return Custom_RegWrite(address, &value); }

deviceCFG live_block()
{
    deviceCFG copy;
    reg_block_copy_out(&copy);
    return copy;
}

std::string filter_text()
{
    std::string buf(ALGO_FILTER_TEXT_MAX, '\0');
    int len = 0;
    algo_TavoPlus_GetFilterString(reinterpret_cast<uint8*>(buf.data()), &len);
    return buf.substr(0, (size_t)len);
}

TEST(PersistStart, WithoutFilesTheBuiltInBlockLoadsAndGroupsZeroToFourAreCreated)
{
    Persist p;
    ASSERT_EQ(Custom_RegInit(), 0);
    EXPECT_EQ(reg(0x10002000), g_tofSensorType);
    EXPECT_EQ(reg(0x10001000), g_rgbSensorType);
    for (int n = 0; n <= PARAM_GROUP_MAX; n++) {
        EXPECT_EQ(p.file(group_cfg(n)).size(), DEV_CFG_SIZE) << n;
        EXPECT_NE(p.file(group_filter(n)), "<missing>") << n;
    }
    // Start-up saves groups, never the block itself.
    EXPECT_FALSE(p.exists(CONFIG_FILE));
    EXPECT_EQ(p.file(CAMERA_TYPE_FILE), "DelvoPlus");
    EXPECT_STREQ(g_firmwareTime, "2026-01-19 10:20:30");
}

TEST(PersistStart, SavedBlockThenDefaultBlockThenBuiltInAndZerosTakeTheirDefaults)
{
    // The saved block is short: the rest stays zero, and zeros get defaults.
    std::string saved = saved_block([](deviceCFG& b) {
        b.common.mask = 111;
        b.common.modbusAddress = 5;
    }).substr(0, 0x100);
    std::string deflt = saved_block([](deviceCFG& b) { b.common.mask = 222; });
    struct Case {
        bool saved, deflt;
        uint32_t mask, modbus;
    } cases[] = {{true, true, 111, 5}, {false, true, 222, 23}, {false, false, 0, 23}};
    for (const Case& c : cases) {
        Persist p;
        if (c.saved) p.put(CONFIG_FILE, saved);
        if (c.deflt) p.put(DEFAULT_CONFIG_FILE, deflt);
        ASSERT_EQ(Custom_RegInit(), 0);
        EXPECT_EQ(reg(kMask), c.mask) << c.saved << c.deflt;
        EXPECT_EQ(reg(0x1000006C), c.modbus) << c.saved << c.deflt;
        EXPECT_EQ(reg(0x100000D0), 18u);
        EXPECT_EQ(reg(0x10002000), g_tofSensorType);
    }
}

TEST(PersistStart, UnreadableBlockFilesFallBackInTurnAndNoMemoryFailsWithNothingLeftBehind)
{
    // A saved block that cannot be opened gives way to the default block,
    // which gives way to the built-in one. (A directory in its place, which
    // opens and then fails to read, is the process test's.)
    struct Unreadable {
        const char* path;
        int err;
        bool deflt;
        uint32_t mask;
    } unreadable[] = {
        {CONFIG_FILE, EACCES, true, 222},
        {CONFIG_FILE, EIO, false, 0},
        {DEFAULT_CONFIG_FILE, EIO, true, 0},
    };
    for (const Unreadable& c : unreadable) {
        SCOPED_TRACE(std::string(c.path) + " " + strerror(c.err) + (c.deflt ? " with default" : ""));
        Persist p;
        if (strcmp(c.path, CONFIG_FILE) == 0) p.put(CONFIG_FILE, saved_block([](deviceCFG& b) { b.common.mask = 111; }));
        if (c.deflt) p.put(DEFAULT_CONFIG_FILE, saved_block([](deviceCFG& b) { b.common.mask = 222; }));
        ASSERT_EQ(sim_fail_nth(c.path, SIM_REQ_OPEN, 1, c.err), 0);
        ASSERT_EQ(Custom_RegInit(), 0);
        EXPECT_EQ(reg(kMask), c.mask);
        EXPECT_EQ(reg(0x10002000), g_tofSensorType);
        EXPECT_TRUE(p.log.has(std::string(c.path) + " can not be read: started on the defaults"));
    }
    struct Case {
        long allow;
        const char* msg;
    } cases[] = {{0, "g_dev_cfg malloc fail."}, {1, "g_regMemAddr malloc fail."}};
    for (const Case& c : cases) {
        Persist p;
        kmem_fail_after(c.allow);
        int rc = Custom_RegInit();
        kmem_fail_after(-1);
        EXPECT_EQ(rc, -1);
        EXPECT_TRUE(p.log.has(c.msg)) << c.msg;
        EXPECT_EQ(g_dev_cfg, nullptr);
    }
}

// The built-in block of the board the fixture describes.
deviceCFG built_in()
{
    deviceCFG b;
    custom_default_cfg(&b, g_rgbSensorType, g_tofSensorType, E_CPU_RK3588);
    return b;
}

TEST(PersistStart, ShortAndLongBlockFilesKeepTheirBytesAndTakeTheRestFromTheDefaults)
{
    constexpr uint32_t kTofFps = 0x1000202C, kWidth = 0x10000034;
    deviceCFG deflt = built_in();
    deflt.common.mask = 222;
    deflt.sensor[DEV_CFG_SENSOR_TOF].info.fps = 12;
    deviceCFG mine = built_in();
    mine.common.mask = 111;
    std::string full = block_bytes(mine);
    struct Case {
        const char* what;
        std::string saved;  // "<none>": no config.bin
        std::string deflt;
        uint32_t mask, fps;
        const char* warning;
    } cases[] = {
        // Without a default block the built-in one fills in.
        {"empty block", "", "<none>", 0, 24, "/userdata/config.bin holds 0 bytes"},
        // The first 1000 bytes hold the common page, the rest comes from the default block.
        {"short block", full.substr(0, 1000), block_bytes(deflt), 111, 12, "/userdata/config.bin holds 1000 bytes"},
        {"long block", full + std::string(928, '\x5A'), "<none>", 111, 24, "/userdata/config.bin holds 4000 bytes"},
        // The default block itself falls back on the built-in one.
        {"short default block", "<none>", block_bytes(deflt).substr(0, 500), 222, 24,
         "/userdata/const/default_config.bin holds 500 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Persist p;
        if (c.saved != "<none>") p.put(CONFIG_FILE, c.saved);
        if (c.deflt != "<none>") p.put(DEFAULT_CONFIG_FILE, c.deflt);
        ASSERT_EQ(Custom_RegInit(), 0);
        EXPECT_EQ(reg(kMask), c.mask);
        EXPECT_EQ(reg(kTofFps), c.fps);
        EXPECT_EQ(reg(kWidth), 640u);
        EXPECT_EQ(reg(0x10002068), 3u) << "the frequency mode";
        EXPECT_TRUE(p.log.has(c.warning));
    }
}

TEST(PersistStart, ValuesNoWriteAllowsTakeTheirDefaultsAndOneWarningNamesThem)
{
    // An IMX570 board, where the frame rates have a rule too.
    const char* board = "rk3568-imx570";
    const uint32_t judged[] = {0x10002068, 0x1000202C, 0x10002014, 0x100000B0, 0x1000005C};
    std::string clean;
    std::vector<uint32_t> want;
    {
        Persist p(board);
        ASSERT_EQ(Custom_RegInit(), 0);
        ASSERT_EQ(g_tofSensorType, (uint32_t)E_IMX570);
        clean = p.file(group_cfg(0));
        for (uint32_t a : judged) want.push_back(reg(a));
    }
    ASSERT_EQ(clean.size(), DEV_CFG_SIZE);
    deviceCFG bad;
    memcpy(&bad, clean.data(), sizeof(bad));
    SensorInfo& tof = bad.sensor[DEV_CFG_SENSOR_TOF].info;
    tof.freqMode = 0x7A3B91C2;
    tof.fps = 50;
    tof.binningMode = 1;
    tof.roi_lt_x = 320;  // past 319 at binning 1
    tof.roi_br_y = 240;  // the bound itself
    bad.common.outputSet = 9;
    bad.common.enableApplationAlgo = 3;
    Persist p(board);
    p.put(CONFIG_FILE, block_bytes(bad));
    ASSERT_EQ(Custom_RegInit(), 0);
    for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(reg(judged[i]), want[i]) << std::hex << judged[i];
    EXPECT_EQ(reg(0x10002020), 240u);
    EXPECT_EQ(reg(0x10002030), 1u) << "the binning has no rule";
    EXPECT_TRUE(p.log.has("/userdata/config.bin: values no write allows, defaults taken for: freqMode, tof fps, "
                          "enableApplationAlgo, outputSet, roi_lt_x"));
}

TEST(PersistStart, AToFPageOfRandomBytesStartsWithTheSizesOfACleanStart)
{
    uint32_t width = 0, height = 0;
    {
        Persist p;
        ASSERT_EQ(Custom_RegInit(), 0);
        width = reg(0x10002004);
        height = reg(0x10002008);
    }
    for (uint32_t seed : {1u, 7u, 42u}) {
        SCOPED_TRACE(seed);
        deviceCFG b = built_in();
        uint8_t* page = reinterpret_cast<uint8_t*>(&b) + DEV_CFG_OFFSET_TOF;
        uint32_t x = seed * 2654435761u;
        for (size_t i = 4; i < sizeof(SensorInfo); i++) page[i] = (uint8_t)((x = x * 1103515245u + 12345u) >> 16);
        Persist p;
        p.put(CONFIG_FILE, block_bytes(b));
        ASSERT_EQ(Custom_RegInit(), 0);
        EXPECT_LE(reg(0x10002068), 6u);
        EXPECT_EQ(reg(0x10002004), width);
        EXPECT_EQ(reg(0x10002008), height);
    }
}

TEST(PersistStart, TemporaryFilesOfInterruptedSavesAreRemovedAndNothingElse)
{
    Persist p;
    const char* gone[] = {"/userdata/config.bin.tmp-abc123", "/userdata/const/config1.bin.tmp-zz9999",
                          "/etc/cameraType.txt.tmp-000000", "/etc/network/interfaces.tmp-q1w2e3"};
    const char* kept[] = {"/userdata/notes.tmp-longer1", "/userdata/mine.bin", "/userdata/const/.tmp-abcdef",
                          "/userdata/const/user.bin.tmp-ABCDEF"};
    for (const char* f : gone) ASSERT_TRUE(p.put(f, "partial")) << f;
    for (const char* f : kept) ASSERT_TRUE(p.put(f, "mine")) << f;
    ASSERT_EQ(Custom_RegInit(), 0);
    for (const char* f : gone) EXPECT_FALSE(p.exists(f)) << f;
    for (const char* f : kept) EXPECT_EQ(p.file(f), "mine") << f;
    EXPECT_TRUE(p.log.has("/userdata/config.bin.tmp-abc123 left by an interrupted save"));
}

TEST(PersistGroup, ShortGroupFileLoadsWithTheRestFromTheDefaults)
{
    Persist p;
    deviceCFG deflt = built_in();
    deflt.sensor[DEV_CFG_SENSOR_TOF].info.fps = 12;
    p.put(DEFAULT_CONFIG_FILE, block_bytes(deflt));
    ASSERT_EQ(Custom_RegInit(), 0);
    p.put(group_cfg(1), saved_block([](deviceCFG& b) { b.common.mask = 99; }).substr(0, 1024));
    p.put(group_filter(1), kFilterB);
    ASSERT_EQ(write_reg(kGroupReg, 0x10001), 0);
    EXPECT_EQ(reg(kMask), 99u);
    EXPECT_EQ(reg(0x1000202C), 12u);
    EXPECT_EQ(filter_text(), kFilterB);
    EXPECT_TRUE(p.log.has("/userdata/const/config1.bin holds 1024 bytes"));
}

TEST(PersistStart, GroupZeroIsSavedOnlyWhileTheGroupRegisterIsZeroAndGroupsAreNotOverwritten)
{
    Persist p;
    p.put(CONFIG_FILE, saved_block([](deviceCFG& b) { b.common.customParamGroup = 2; }));
    std::string mine = saved_block([](deviceCFG& b) { b.common.mask = 33; });
    p.put(group_cfg(3), mine);
    ASSERT_EQ(Custom_RegInit(), 0);
    EXPECT_FALSE(p.exists(group_cfg(0)));
    EXPECT_EQ(p.file(group_cfg(3)), mine);
    for (int n : {1, 2, 4}) EXPECT_EQ(p.file(group_cfg(n)).size(), DEV_CFG_SIZE) << n;
}

TEST(PersistGroup, RoundTripRestoresBlockAndFilterAndKeepsTheDetectedKinds)
{
    Persist p;
    ASSERT_EQ(Custom_RegInit(), 0);
    ASSERT_EQ(write_reg(kMask, 77), 0);
    algo_TavoPlus_SetFilterString((uint8*)kFilterA);
    ASSERT_EQ(write_reg(kGroupReg, 2), 0);
    EXPECT_EQ(reg(kGroupReg), 2u);
    EXPECT_EQ(p.file(group_filter(2)), kFilterA);

    // The file may come from another camera: its kinds must not stick.
    std::string saved = p.file(group_cfg(2));
    ASSERT_EQ(saved.size(), DEV_CFG_SIZE);
    deviceCFG other;
    memcpy(&other, saved.data(), sizeof(other));
    other.sensor[DEV_CFG_SENSOR_TOF].info.sensorType = E_IMX570;
    other.sensor[DEV_CFG_SENSOR_RGB].info.sensorType = E_SMARTSENS_SC230AI;
    other.common.hardWareCheck = 0x7F;
    p.put(group_cfg(2), block_bytes(other));

    ASSERT_EQ(write_reg(kMask, 5), 0);
    algo_TavoPlus_SetFilterString((uint8*)kFilterB);
    ASSERT_EQ(write_reg(kGroupReg, 0x10002), 0);
    EXPECT_EQ(reg(kGroupReg), 2u);
    EXPECT_EQ(reg(kMask), 77u);
    EXPECT_EQ(reg(0x10002000), g_tofSensorType);
    EXPECT_EQ(reg(0x10001000), g_rgbSensorType);
    EXPECT_EQ(reg(0x10000064), g_hardWireCheck);
    EXPECT_EQ(filter_text(), kFilterA);
}

TEST(PersistGroup, RefusedRequestsAnswer0xFFFFAndLeaveBlockAndFilterAsTheyWere)
{
    const uint32_t load1 = 0x10001;
    struct Case {
        const char* what;
        void (*setup)(Persist&);
        uint32_t value;
    } cases[] = {
        {"missing group file", [](Persist& p) { unlink(p.board.host(group_cfg(1)).c_str()); }, load1},
        {"filter text the library refuses", [](Persist& p) { p.put(group_filter(1), "not json"); }, load1},
        {"filter text longer than a group holds",
         [](Persist& p) { p.put(group_filter(1), "{\"a\":1" + std::string(PARAM_FILTER_MAX, ' ') + "}"); }, load1},
        {"missing filter file", [](Persist& p) { unlink(p.board.host(group_filter(1)).c_str()); }, load1},
        {"unreadable filter file", [](Persist&) { sim_fail_nth(group_filter(1).c_str(), SIM_REQ_OPEN, 1, EIO); }, load1},
        {"load group 5", [](Persist&) {}, 0x10005},
        {"save group 5", [](Persist&) {}, 5},
    };
    for (const Case& c : cases) {
        Persist p;
        ASSERT_EQ(Custom_RegInit(), 0);
        p.put(group_cfg(1), saved_block([](deviceCFG& b) { b.common.mask = 99; }));
        p.put(group_filter(1), kFilterB);
        ASSERT_EQ(write_reg(kMask, 44), 0);
        algo_TavoPlus_SetFilterString((uint8*)kFilterA);
        deviceCFG before = live_block();
        c.setup(p);
        EXPECT_EQ(write_reg(kGroupReg, c.value), REG_REFUSED) << c.what;
        EXPECT_EQ(block_bytes(live_block()), block_bytes(before)) << c.what;
        EXPECT_EQ(filter_text(), kFilterA) << c.what;
        EXPECT_FALSE(p.exists(group_cfg(5))) << c.what;
    }
}

TEST(PersistGroup, FilterFilesAreBoundedBothWays)
{
    Persist p;
    ASSERT_EQ(Custom_RegInit(), 0);
    // A file filling the whole 4096 bytes loads as one terminated text.
    std::string padded = "{\"a\":1" + std::string(PARAM_FILTER_MAX - 8, ' ') + "}";
    padded.insert(padded.size() - 1, " ");
    ASSERT_EQ(padded.size(), (size_t)PARAM_FILTER_MAX);
    p.put(group_filter(1), padded);
    ASSERT_EQ(write_reg(kGroupReg, 0x10001), 0);
    EXPECT_EQ(filter_text(), padded);

    // A text the group file cannot hold is refused before anything is written.
    std::string before = p.file(group_cfg(3));
    std::string longer = "{\"a\":1" + std::string(PARAM_FILTER_MAX, ' ') + "}";
    algo_TavoPlus_SetFilterString((uint8*)longer.c_str());
    ASSERT_EQ(filter_text(), longer);
    ASSERT_EQ(write_reg(kMask, 12), 0);
    EXPECT_EQ(write_reg(kGroupReg, 3), REG_REFUSED);
    EXPECT_EQ(p.file(group_cfg(3)), before);
}

TEST(PersistGroup, SavesNeedAtLeast101MiBFreeElseAnswerARefusal)
{
    Persist p;
    ASSERT_EQ(Custom_RegInit(), 0);
    std::string before = p.file(group_cfg(1));
    ASSERT_EQ(write_reg(kMask, 21), 0);

    ASSERT_EQ(sim_set_free_space("/userdata", 100ull << 20), 0);
    EXPECT_EQ(write_reg(kGroupReg, 1), REG_REFUSED);
    EXPECT_EQ(p.file(group_cfg(1)), before);
    EXPECT_TRUE(p.log.has("no space in device, can not write file."));

    // The refused save stored nothing; the next holds the block as it stood.
    ASSERT_EQ(sim_set_free_space("/userdata", 101ull << 20), 0);
    std::string block = block_bytes(live_block());
    EXPECT_EQ(write_reg(kGroupReg, 1), 0);
    EXPECT_EQ(p.file(group_cfg(1)), block);
}

TEST(PersistGroup, LoadsAndSavesRunBesideWordWritersWithoutTearingTheBlock)
{
    Persist p;
    ASSERT_EQ(Custom_RegInit(), 0);
    ASSERT_EQ(write_reg(kMask, 1), 0);
    ASSERT_EQ(write_reg(kGroupReg, 1), 0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint32_t i = 0; !done.load(); i++) {
            write_reg(0x10000070, i);
            reg(0x10000070);
        }
    });
    for (int i = 0; i < 40; i++) {
        EXPECT_EQ(write_reg(kGroupReg, i % 2 ? 0x10001 : 1), 0);
        EXPECT_EQ(reg(kMask), 1u);
    }
    done.store(true);
    writer.join();
    EXPECT_EQ(p.file(group_cfg(1)).size(), DEV_CFG_SIZE);
}

// Reads one byte per finished save from the child; false on time-out.
bool wait_saves(int fd, int count)
{
    for (int got = 0; got < count;) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 10000) <= 0) return false;
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n <= 0) return false;
        got++;
    }
    return true;
}

TEST(PersistGroup, KilledSaveLeavesTheOldOrTheNewFileNeverATornOne)
{
    Persist p;
    ASSERT_EQ(Custom_RegInit(), 0);
    algo_TavoPlus_SetFilterString((uint8*)kFilterA);
    ASSERT_EQ(Custom_ParamGroup(1), 0);
    deviceCFG base = live_block();
    for (int round = 0; round < 16; round++) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Saves until killed, each with its own marker.
            close(fds[0]);
            for (uint32_t i = 1;; i++) {
                reg_store(g_dev_cfg->common.mask, i);
                // The saved block, the default block and groups 0 and 1.
                if (write_reg(0x10000014, 1) != 0 || write_reg(0x10000040, 1) != 0) _exit(2);
                if (Custom_ParamGroup(1) != 0) _exit(3);
                if (write(fds[1], "s", 1) != 1) _exit(4);
            }
        }
        close(fds[1]);
        bool saving = wait_saves(fds[0], 1 + round % 4);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        close(fds[0]);
        ASSERT_TRUE(saving) << "child stopped saving, status " << status;

        for (const std::string& path : {std::string(CONFIG_FILE), std::string(DEFAULT_CONFIG_FILE), group_cfg(0),
                                        group_cfg(1)}) {
            std::string cfg = p.file(path);
            ASSERT_EQ(cfg.size(), DEV_CFG_SIZE) << path << " round " << round;
            deviceCFG got;
            memcpy(&got, cfg.data(), sizeof(got));
            // Only the marker and the save registers' own words may differ.
            got.common.mask = base.common.mask;
            got.common.saveCfg = base.common.saveCfg;
            got.common.saveDefaultCfg = base.common.saveDefaultCfg;
            EXPECT_EQ(block_bytes(got), block_bytes(base)) << path << " round " << round;
        }
        for (int n : {0, 1}) EXPECT_EQ(p.file(group_filter(n)), kFilterA) << "round " << round;
    }
    // Whatever temporary files the kills left, the next start removes.
    Custom_RegDeInit();
    ASSERT_EQ(Custom_RegInit(), 0);
    for (const char* dir : {"/userdata", "/userdata/const"}) {
        DIR* d = opendir(p.board.host(dir).c_str());
        ASSERT_NE(d, nullptr);
        while (dirent* e = readdir(d)) EXPECT_EQ(strstr(e->d_name, SAVE_TMP_MARK), nullptr) << dir << "/" << e->d_name;
        closedir(d);
    }
}

TEST(PersistFiles, CameraModelFileNamesEachTypeWithoutNewline)
{
    Persist p;
    struct Case {
        uint32_t type;
        const char* name;
    } cases[] = {{2005, "CalvoUltraV1_1"}, {7, "unknow"}};
    for (const Case& c : cases) {
        write_cameraType2File(c.type);
        EXPECT_EQ(p.file(CAMERA_TYPE_FILE), c.name);
        EXPECT_TRUE(p.log.has(std::string("this camera is ") + c.name));
    }
    // A directory in its place cannot be replaced.
    unlink(p.board.host(CAMERA_TYPE_FILE).c_str());
    ASSERT_EQ(mkdir(p.board.host(CAMERA_TYPE_FILE).c_str(), 0755), 0);
    write_cameraType2File(4);
    EXPECT_TRUE(p.log.has("can not open /etc/cameraType.txt"));
}

TEST(PersistFiles, FirmwareTimeComesFromTheKernelBuildTimeOrStaysEmpty)
{
    struct Case {
        const char* version;  // nullptr: no file
        const char* time;
    } cases[] = {
        {"Linux version 5.10.160 (b@k) #1 SMP Tue Nov 4 08:15:42 CST 2025\n", "2025-11-04 08:15:42"},
        {"Linux version 5.10.160 (b@k) #1 SMP PREEMPT Tue Nov 4 08:15:42 CST 2025\n", ""},
        {nullptr, ""},
    };
    Persist p;
    for (const Case& c : cases) {
        snprintf(g_firmwareTime, sizeof(g_firmwareTime), "stale");
        if (c.version) p.put("/proc/version", c.version);
        else unlink(p.board.host("/proc/version").c_str());
        get_firmwareTime();
        EXPECT_STREQ(g_firmwareTime, c.time) << (c.version ? c.version : "no file");
    }
}

TEST(PersistFiles, AtomicReplaceKeepsModeAndLeavesTheOldFileWhenItCannotWrite)
{
    Persist p;
    const std::string path = "/userdata/const/keep.bin";
    p.put(path, "old");
    ASSERT_EQ(chmod(p.board.host(path).c_str(), 0600), 0);
    ASSERT_EQ(put_fileAtomic(path.c_str(), "new data", 8), 0);
    EXPECT_EQ(p.file(path), "new data");
    struct stat st;
    ASSERT_EQ(stat(p.board.host(path).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // No directory for it: nothing is written and the call says so.
    EXPECT_EQ(put_fileAtomic("/userdata/nodir/x.bin", "x", 1), -1);
    EXPECT_FALSE(p.exists("/userdata/nodir/x.bin"));
    EXPECT_EQ(put_fileAtomic(nullptr, "x", 1), -1);
}

TEST(FactoryReset, ReleasesTheHostRestoresTheDefaultFilesAndRebootsLast)
{
    regtest::RegSpace r;
    ASSERT_EQ(Bootstrap_RegInit(), 0);
    for (const char* dir : {"/userdata/const", "/userdata/default", "/oem/default"})
        mkdir(r.board.host(dir).c_str(), 0755);
    const std::pair<const char*, const char*> files[] = {
        {"/userdata/config.bin", "current"},
        {"/userdata/const/default_config.bin", "default block"},
        {"/userdata/const/default_newconfig.cfg", "default newconfig"},
        {"/userdata/const/filter.json", "default filter"},
        {"/oem/default/filter.json", "user filter"},
        {"/userdata/const/config1.bin", "group 1"},
        {"/userdata/const/filterJson2.bin", "filter 2"},
        {"/userdata/const/newconfig3.cfg", "newconfig 3"},
    };
    for (const auto& f : files) ASSERT_TRUE(write_host_file(r.board.host(f.first), f.second)) << f.first;
    const uint32_t held[][2] = {{REG_CONTROL_CHANNEL_PRIVILEGE, 2}, {REG_PRIMARY_APPLICATION_PORT, 50000},
                                {REG_PRIMARY_APPLICATION_IP_ADDRESS, 0xC0A86405}};
    for (const auto& h : held) Bootstrap_WriteReg(h[0], &h[1], 4);

    size_t from = sim_journal_count();
    EXPECT_EQ(r.write(0x10000010, 1), 0);
    long reboot = sim_journal_wait("reboot", from, 5000);
    ASSERT_GE(reboot, 0);
    EXPECT_TRUE(pumptest::wait_until([&] { return epcore_worker_find(r.core, E_WORKER_ID_RECOVERY) == nullptr; }));
    // Nothing but the network task's own commands (it runs beside the reset)
    // comes after the reboot.
    EXPECT_TRUE(pumptest::wait_until([&] { return epcore_worker_find(r.core, E_WORKER_ID_IP) == nullptr; }));
    for (size_t i = (size_t)reboot + 1; i < sim_journal_count(); i++) {
        sim_journal_t e{};
        ASSERT_EQ(sim_journal_get(i, &e), 0);
        EXPECT_TRUE(strcmp(e.event, "network") == 0 || strcmp(e.event, "service") == 0) << e.cmd;
    }

    long userFilter = sim_journal_find("rm -rf /oem/default/filter.json", from);
    long block = sim_journal_find("cp /userdata/const/default_config.bin /userdata/config.bin", from);
    EXPECT_GE(userFilter, 0);
    EXPECT_LT(userFilter, block);
    EXPECT_LT(block, reboot);
    for (const auto& h : held) {
        uint32_t v = 0xDEADBEEF;
        Bootstrap_ReadReg(h[0], &v, 4);
        EXPECT_EQ(v, 0u) << std::hex << h[0];
    }
    EXPECT_EQ(read_host_file(r.board.host("/userdata/config.bin")), "default block");
    EXPECT_EQ(read_host_file(r.board.host("/userdata/newconfig.cfg")), "default newconfig");
    EXPECT_EQ(read_host_file(r.board.host("/userdata/default/filter.json")), "default filter");
    for (const char* gone : {"/oem/default/filter.json", "/userdata/const/config1.bin",
                             "/userdata/const/filterJson2.bin", "/userdata/const/newconfig3.cfg"})
        EXPECT_NE(access(r.board.host(gone).c_str(), F_OK), 0) << gone;
    Bootstrap_RegDeInit();
}

} // namespace
