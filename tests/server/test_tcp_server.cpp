// File-transfer port driven by a host over loopback: the server runs on a
// pump thread of its own behind a listener on a free port; uploads and
// downloads of every type, digests, content checks, chunk boundaries, split
// headers, concurrent uploads and a host that stops reading. The message
// handler is also fed through buffers where the split must be exact.
#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "algo/algo_app.h"
#include "algo/algo_server.h"
#include "algo/algo_tavo.h"
#include "algo/algotest.h"
#include "algo/tavo_lib.h"
#include "base/pumptest.h"
#include "base/tmpdir.h"
#include "common/persist.h"
#include "common/board.h"
#include "common/custom.h"
#include "iotimer.h"
#include "mlisten.h"
#include "modbus/modbus_task.h"
#include "platform/boardroot.h"
#include "server/tcp_server.h"
#include "simzip.h"
#include "server/filemsg.h"
#include "server/ziptest.h"
#include "sensor/linetest.h"

using algotest::LogCapture;
using algotest::Registers;
using pumptest::wait_until;

namespace {

using namespace filemsg;

Bytes pattern(size_t n, uint8_t seed = 1)
{
    Bytes b(n, '\0');
    for (size_t i = 0; i < n; i++) b[i] = (char)(seed + i * 131 + (i >> 9));
    return b;
}

Bytes zip_of(const std::vector<sim::ZipEntry>& entries)
{
    Bytes out;
    EXPECT_TRUE(sim::zip_write(entries, &out));
    return out;
}
sim::ZipEntry file_entry(const std::string& name, const std::string& data, bool link = false)
{
    sim::ZipEntry e = sim::zip_stored(name, data, link ? 0777 : 0644, 1700000000);
    if (link) e.external = (uint32_t)(S_IFLNK | 0777) << 16;
    return e;
}

// A host connected to the port.
struct Host {
    testfs::Fd fd;
    explicit Host(int port, int rcvbuf = 0)
    {
        fd.reset(socket(AF_INET, SOCK_STREAM, 0));
        if (rcvbuf) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, (sockaddr*)&a, sizeof a) != 0) fd.reset(-1);
    }
    bool send(const Bytes& b) { return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == (ssize_t)b.size(); }
    // Exactly n bytes, or what came before the end of stream or 5 s of silence.
    Bytes recv(size_t n, int ms = pumptest::kEventWaitMs)
    {
        Bytes b;
        char buf[65536];
        while (b.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, ms) != 1) break;
            ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - b.size()), 0);
            if (r <= 0) break;
            b.append(buf, (size_t)r);
        }
        return b;
    }
    // The device closed the connection (after whatever it still had to send).
    bool closed_by_device()
    {
        char buf[4096];
        for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 5000) == 1;) {
            ssize_t r = ::recv(fd, buf, sizeof buf, 0);
            if (r <= 0) return r == 0 || errno == ECONNRESET;
        }
        return false;
    }

    // A whole upload in chunks of `piece` bytes: the end's code, or -1 when
    // an earlier answer was not the expected one.
    int upload(uint32_t type, const Bytes& data, std::string md5 = "", size_t piece = 65536)
    {
        if (md5.empty()) md5 = md5_of(data);
        send(header(FILE_MSG_UPLOAD_START) + msg_header(type, md5, (uint32_t)data.size()));
        if (recv(16) != rsp(FILE_MSG_UPLOAD_START, 0)) return -1;
        for (size_t at = 0; at < data.size(); at += piece)
            if (!send(chunk(data.substr(at, piece))) || recv(16) != rsp(FILE_MSG_DATA, 0)) return -1;
        send(header(FILE_MSG_UPLOAD_END));
        Bytes r = recv(16);
        if (r.size() != 16 || r.compare(0, 12, header(FILE_MSG_UPLOAD_END)) != 0) return -1;
        return (int)get32(r, 12);
    }

    struct Download {
        int code = -1;             // answer to the request
        Bytes announce;            // 88 bytes
        std::vector<size_t> sizes; // chunk lengths
        Bytes data;
        bool ended = false;
    };
    Download download(uint32_t type)
    {
        Download d;
        send(header(FILE_MSG_DOWNLOAD) + msg_header(type, "", 0));
        Bytes r = recv(16);
        if (r.size() != 16 || r.compare(0, 12, header(FILE_MSG_DOWNLOAD)) != 0) return d;
        if ((d.code = (int)get32(r, 12)) != 0 || (d.announce = recv(88)).size() != 88) return d;
        for (send(ack());; send(ack())) {
            Bytes h = recv(12);
            if (h.size() != 12) return d;
            if (get32(h, 4) == FILE_MSG_UPLOAD_END) return d.ended = true, d;
            Bytes len = recv(4);
            size_t n = len.size() == 4 ? get32(len, 0) : 0;
            Bytes body = recv(n);
            if (len.size() != 4 || body.size() != n) return d;
            d.sizes.push_back(body.size());
            d.data += body;
        }
    }
};

// Temporary upload files left beside the targets in a board directory.
int leftovers(const BoardRoot& b, const std::string& dir)
{
    int n = 0;
    if (DIR* d = opendir(b.host(dir).c_str())) {
        while (dirent* e = readdir(d)) n += strstr(e->d_name, SAVE_TMP_MARK) != nullptr;
        closedir(d);
    }
    return n;
}

struct FileServer : ::testing::Test {
    LogCapture log;
    BoardRoot board;
    Registers regs;
    pumptest::Core core;
    mlisten_t* listener = nullptr;
    int port = 0;

    void SetUp() override
    {
        ASSERT_EQ(board.rc, 0);
        ASSERT_TRUE(pumptest::start_pumps(core.core, 1));
        listener = eptcp_mlisten(core.core, "127.0.0.1", 0, nullptr, tcp_pump, core.core);
        ASSERT_NE(listener, nullptr);
        port = mlisten_port(listener);
        ASSERT_NE(port, 0);
        ASSERT_TRUE(wait_until([&] { return Host(port).fd >= 0; }));
    }
    void TearDown() override { tcp_file_set_timeouts(0, 0); }

    std::string file(const std::string& path) { return read_host_file(board.host(path)); }
    void put(const std::string& path, const std::string& data)
    {
        std::string host = board.host(path);
        mkdir(host.substr(0, host.rfind('/')).c_str(), 0755);
        write_host_file(host, data);
    }
};

TEST_F(FileServer, EachUploadTypeLandsInItsFile)
{
    struct Case { uint32_t type; const char* path; Bytes data; };
    const Case cases[] = {
        {CAM_INTR_FILE, "/userdata/const/calib.json", "{\"fx\": 1.5}"},
        {APD_CALIB_FILE, "/userdata/const/GainList_simp.csv", "1,2,3\n4,5,6\n"},
        {UPGRADE_FILE, "/userdata/update.tar.gz", Bytes("\x1f\x8b\x08\x00", 4) + pattern(70000)},
        {DEVICE_FILTER_FILE, "/userdata/dev_filter.json", "{\"filter\": {\"median\": 3}}"},
        {APP_ALGO_CONFIG_FILE, "/userdata/app_algo_config.json", "{\"ZoneIndex\": 2}"},
        {DEV_CONFIG_FILE, "/userdata/config.bin", pattern(DEV_CFG_SIZE)},
        {HIGH_INTEGRAL_IMG, "/userdata/high.zip", zip_of({file_entry("high/a.bin", "AAAA")})},
        {LOW_INTEGRAL_IMG, "/userdata/low.zip", zip_of({file_entry("low.bin", "BBBB")})},
        {OBSTRACLE_FILE, "/userdata/obstracle.zip", zip_of({file_entry("obst.txt", "CCCC")})},
        {UPLOAD_MAP_FILE, "/userdata/maps.zip", zip_of({file_entry("map1/grid.pgm", "DDDD")})},
    };
    Host h(port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string md5 = md5_of(c.data);
        for (auto& ch : md5) ch = (char)toupper(ch); // digests compare without regard to case
        EXPECT_EQ(h.upload(c.type, c.data, md5, 1000), 0);
        EXPECT_EQ(file(c.path), c.data);
        EXPECT_TRUE(log.has(std::string("fileName:") + c.path));
    }
    // Archives are unpacked where their type says, after the answer.
    long unzip = sim_journal_wait("unzip -o /userdata/maps.zip -d /etc/visloc_config", 0, 5000);
    ASSERT_GE(unzip, 0);
    EXPECT_GE(sim_journal_wait("sync", (size_t)unzip, 5000), 0);
    EXPECT_EQ(file("/userdata/high/a.bin"), "AAAA");
    EXPECT_EQ(file("/userdata/low.bin"), "BBBB");
    EXPECT_EQ(file("/userdata/obst.txt"), "CCCC");
    EXPECT_EQ(file("/etc/visloc_config/map1/grid.pgm"), "DDDD");
    EXPECT_EQ(leftovers(board, "/userdata"), 0);
}

std::string last_changed(std::string md5)
{
    md5.back() = md5.back() == '0' ? '1' : '0';
    return md5;
}

// An archive whose central entry "aa/evil.txt" has "../evil.txt" in its local header.
Bytes climbing_local()
{
    Bytes a = zip_of({file_entry("aa/evil.txt", "4")});
    a.replace(a.find("aa/evil.txt"), 11, "../evil.txt");
    return a;
}

// A refused upload answers 1 and leaves the previous file and no temporary one.
TEST_F(FileServer, RefusedUploadsKeepThePreviousFile)
{
    struct Case { const char* what; uint32_t type; const char* path; Bytes data; std::string md5; }; // md5 "": the right one
    Bytes good = pattern(300000);
    const Case cases[] = {
        {"digest mismatch", CAM_INTR_FILE, "/userdata/const/calib.json", good, md5_of(good + "x")},
        {"digest wrong in its last character only", CAM_INTR_FILE, "/userdata/const/calib.json", good, last_changed(md5_of(good))},
        {"firmware without gzip magic", UPGRADE_FILE, "/userdata/update.tar.gz", "PK\x03\x04 not gzip", ""},
        {"one-byte firmware", UPGRADE_FILE, "/userdata/update.tar.gz", "\x1f", ""},
        {"short configuration block", DEV_CONFIG_FILE, "/userdata/config.bin", pattern(DEV_CFG_SIZE - 1), ""},
        {"climbing archive entry", HIGH_INTEGRAL_IMG, "/userdata/high.zip", zip_of({file_entry("ok.txt", "1"), file_entry("../x", "2")}), ""},
        {"absolute archive entry", UPLOAD_MAP_FILE, "/userdata/maps.zip", zip_of({file_entry("/etc/passwd", "root")}), ""},
        {"link archive entry", OBSTRACLE_FILE, "/userdata/obstracle.zip", zip_of({file_entry("evil", "/etc", true), file_entry("evil/x", "3")}), ""},
        {"not an archive", LOW_INTEGRAL_IMG, "/userdata/low.zip", "plain text", ""},
        {"second directory naming a climbing entry and a link", OBSTRACLE_FILE, "/userdata/obstracle.zip",
         ziptest::two_directories({file_entry("harmless-name-1.txt", "1"), file_entry("harmless-name-2.txt", "2")},
                                  {file_entry("../evil.txt", "3"), file_entry("evil", "/etc", true)}), ""},
        {"climbing name in a local header", UPLOAD_MAP_FILE, "/userdata/maps.zip", climbing_local(), ""},
    };
    Host h(port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        put(c.path, "previous");
        size_t journal = sim_journal_count();
        EXPECT_EQ(h.upload(c.type, c.data, c.md5, 100000), 1);
        EXPECT_EQ(file(c.path), "previous");
        EXPECT_EQ(sim_journal_find("unzip", journal), -1) << "nothing is unpacked";
    }
    EXPECT_EQ(file("/userdata/ok.txt"), "<missing>");
    EXPECT_EQ(file("/x"), "<missing>");
    EXPECT_EQ(file("/evil.txt"), "<missing>");
    EXPECT_EQ(leftovers(board, "/userdata"), 0);
    EXPECT_EQ(leftovers(board, "/userdata/const"), 0);
}

TEST_F(FileServer, ConfigurationUploadReplacesTheBlockKeepingTheDetectedHardware)
{
    g_rgbSensorType = E_SMARTSENS_SC2210;
    g_tofSensorType = E_IMX570;
    g_hardWireCheck = 0x5A;
    deviceCFG block{};
    block.common.workMode = 3;
    block.common.hardWareCheck = 1;
    block.sensor[DEV_CFG_SENSOR_TOF].info.sensorType = E_GPIXEL_0503;
    block.sensor[DEV_CFG_SENSOR_TOF].info.fps = 15;
    Bytes data((const char*)&block, sizeof block);
    Host h(port);
    EXPECT_EQ(h.upload(DEV_CONFIG_FILE, data + "trailing bytes are ignored"), 0);
    EXPECT_EQ(reg_load(regs.cfg.common.workMode), 3u);
    EXPECT_EQ(reg_load(regs.tof().fps), 15u);
    EXPECT_EQ(reg_load(regs.tof().sensorType), (uint32_t)E_IMX570);
    EXPECT_EQ(reg_load(regs.cfg.sensor[DEV_CFG_SENSOR_RGB].info.sensorType), (uint32_t)E_SMARTSENS_SC2210);
    EXPECT_EQ(reg_load(regs.cfg.common.hardWareCheck), 0x5Au);

    // Values no host write could leave take their defaults.
    block.sensor[DEV_CFG_SENSOR_TOF].info.freqMode = 4;
    block.sensor[DEV_CFG_SENSOR_TOF].info.fps = 50;
    EXPECT_EQ(h.upload(DEV_CONFIG_FILE, Bytes((const char*)&block, sizeof block)), 0);
    EXPECT_EQ(reg_load(regs.tof().freqMode), 3u);
    EXPECT_EQ(reg_load(regs.tof().fps), 24u);
    EXPECT_TRUE(log.has("new block: values no write allows, defaults taken for: freqMode, tof fps"));
    EXPECT_EQ(h.upload(DEV_CONFIG_FILE, data + "trailing bytes are ignored"), 0);

    // A short block touches neither the live block nor the saved file.
    EXPECT_EQ(h.upload(DEV_CONFIG_FILE, data.substr(0, 100)), 1);
    EXPECT_EQ(reg_load(regs.cfg.common.workMode), 3u);
    EXPECT_EQ(file("/userdata/config.bin").size(), data.size() + 26);
}

// Start-up could not read config.bin: an upload keeps it under a name of
// its own before it takes the file's place.
TEST_F(FileServer, ConfigurationUploadKeepsAnUnreadableSavedBlockAside)
{
    const Bytes before = pattern(DEV_CFG_SIZE, 9);
    put(CONFIG_FILE, before);
    ASSERT_EQ(sim_fail_nth(CONFIG_FILE, SIM_REQ_OPEN, 1, EIO), 0);
    ASSERT_EQ(Custom_RegInit(), 0);
    deviceCFG block{};
    block.common.workMode = 3;
    Bytes data((const char*)&block, sizeof block);
    Host h(port);
    EXPECT_EQ(h.upload(DEV_CONFIG_FILE, data), 0);
    EXPECT_EQ(file("/userdata/config.bin.unread-1"), before);
    EXPECT_EQ(file(CONFIG_FILE), data);
    EXPECT_TRUE(log.has("kept as /userdata/config.bin.unread-1"));
    Custom_RegDeInit();
    g_dev_cfg = &regs.cfg;
    g_regMemAddr = &regs.run;
}

TEST_F(FileServer, ParameterGroupImportChecksSizeAndCameraType)
{
    reg_store(regs.run.cameraType, (uint32_t)E_CAMERA_DelvoPlus);
    Bytes block = pattern(DEV_CFG_SIZE, 9);
    struct Case { const char* what; Bytes file; const char* logged; };
    const Case cases[] = {
        {"3072 bytes", pattern(DEV_CFG_SIZE), "fileSize error"},
        {"3073 bytes", pattern(DEV_CFG_SIZE + 1), "no room for the camera type"},
        {"3075 bytes", pattern(DEV_CFG_SIZE + 3), "no room for the camera type"},
        {"other camera", words({E_CAMERA_TavoPlus}) + block + "{}", "camera type not match."},
    };
    Host h(port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(h.upload(IMPORT_CUSTOM_PARAM_FILE, c.file), 1);
        EXPECT_TRUE(log.has(c.logged));
        EXPECT_EQ(file("/userdata/const/config0.bin"), "<missing>");
    }

    EXPECT_EQ(h.upload(IMPORT_CUSTOM_PARAM_FILE, words({E_CAMERA_DelvoPlus}) + block), 0);
    EXPECT_EQ(file("/userdata/const/config0.bin"), block);
    EXPECT_EQ(file("/userdata/const/filterJson0.bin"), Bytes(4, '\0'));
    EXPECT_EQ(h.upload(IMPORT_CUSTOM_PARAM_FILE, words({E_CAMERA_DelvoPlus}) + block + "{\"a\":1}"), 0);
    EXPECT_EQ(file("/userdata/const/filterJson0.bin"), Bytes("{\"a\":1}") + Bytes(4, '\0'));
    // The group was loaded into the live block.
    EXPECT_EQ(reg_load(regs.cfg.common.acquisitionMod), get32(block, 4));
}

TEST_F(FileServer, ParameterGroupImportThatCannotBeLoadedIsRefusedAndStoresNothing)
{
    reg_store(regs.run.cameraType, (uint32_t)E_CAMERA_DelvoPlus);
    Bytes block = pattern(DEV_CFG_SIZE, 9);
    Bytes head = words({E_CAMERA_DelvoPlus}) + block;
    Host h(port);
    ASSERT_EQ(h.upload(IMPORT_CUSTOM_PARAM_FILE, head + "{\"a\":1}"), 0);
    const Bytes cfg = file("/userdata/const/config0.bin"), filter = file("/userdata/const/filterJson0.bin");
    uint32_t mod = reg_load(regs.cfg.common.acquisitionMod);

    struct Case { const char* what; Bytes text; };
    const Case cases[] = {
        // More than a group load reads: it would arrive cut and be refused.
        {"6000-byte filter text", "{\"a\":\"" + Bytes(5992, 'x') + "\"}"},
        {"4097-byte filter text", "{\"a\":\"" + Bytes(4089, 'x') + "\"}"},
        {"filter text the library refuses", "{\"a\":"},
    };
    Bytes other = pattern(DEV_CFG_SIZE, 77);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(h.upload(IMPORT_CUSTOM_PARAM_FILE, words({E_CAMERA_DelvoPlus}) + other + c.text), 1);
        EXPECT_TRUE(file("/userdata/const/config0.bin") == cfg);
        EXPECT_TRUE(file("/userdata/const/filterJson0.bin") == filter);
        EXPECT_EQ(reg_load(regs.cfg.common.acquisitionMod), mod);
    }
    // The longest text a group holds still goes through.
    Bytes longest = "{\"a\":\"" + Bytes(4088, 'x') + "\"}";
    ASSERT_EQ(longest.size(), (size_t)PARAM_FILTER_MAX);
    EXPECT_EQ(h.upload(IMPORT_CUSTOM_PARAM_FILE, head + longest), 0);
    EXPECT_TRUE(file("/userdata/const/filterJson0.bin") == longest + Bytes(4, '\0'));
    EXPECT_EQ(leftovers(board, "/userdata/const"), 0);
}

TEST_F(FileServer, UploadIsSyncedBeforeItReplacesItsTarget)
{
    Host h(port);
    sim_fileop_clear();
    EXPECT_EQ(h.upload(CAM_INTR_FILE, "{\"fx\": 2.5}"), 0);
    EXPECT_EQ(h.upload(CAM_INTR_FILE, pattern(300000), "", 70000), 0);
    EXPECT_EQ(renames_onto("/userdata/const/calib.json"), (std::vector<std::string>{"synced", "synced"}));
    EXPECT_EQ(file("/userdata/const/calib.json"), pattern(300000));
}

TEST_F(FileServer, ApplicationSettingsReachTheAvoidance)
{
    algo_server_reset();
    reg_store(regs.cfg.common.enableApplationAlgo, 4u);
    Bytes text = "{\"ZoneIndex\": 5, \"Sensitivity\": 2}";
    Host h(port);
    EXPECT_EQ(h.upload(APP_ALGO_CONFIG_FILE, text), 0);
    // Handed over after the answer.
    char got[256] = {};
    EXPECT_TRUE(wait_until([&] {
        return algo_server_get_params(ALGO_APP_AVOID2, got, sizeof got) >= 0 && strstr(got, "Sensitivity");
    }));
}

// Avoidance settings taken on an RK3568 with an IMX570: the zone of the
// settings becomes the default zone and is saved, the IO lines select the
// running zone (none when they read 3), and the temporary parameter is reset.
// Another chip, ToF sensor or application sees none of it; the
// first-generation detector takes no settings, so nothing follows there.
TEST_F(FileServer, AvoidanceSettingsOnAnRK3568IMX570FollowTheLinesAndAreSaved)
{
    linetest::LineControl lines;
    struct Case {
        uint32_t cpu, sensor, mode, lines;
        int code;
        bool follows;
        int zone;  // the avoidance's running zone afterwards
    };
    const Case cases[] = {
        {E_CPU_RK3568, E_IMX570, 4, 1, 0, true, 1},  // the lines select 3 - 1: zone index 1
        {E_CPU_RK3568, E_IMX570, 4, 3, 0, true, 5},  // no selection: the settings' zone runs
        {E_CPU_RK3588, E_IMX570, 4, 1, 0, false, 5},
        {E_CPU_RK3576, E_IMX570, 4, 1, 0, false, 5},
        {E_CPU_RK3568, E_GPIXEL_0503, 4, 1, 0, false, 5},
        {E_CPU_RK3568, E_VD55H1, 4, 1, 0, false, 5},
        {E_CPU_RK3568, E_IMX570, 2, 1, 0, false, 6},
        {E_CPU_RK3568, E_IMX570, 0, 1, 0, false, 6},
        {E_CPU_RK3568, E_IMX570, 1, 1, 1, false, 6},
    };
    Host h(port);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "cpu " << c.cpu << " sensor " << c.sensor << " mode " << c.mode
                                        << " lines " << c.lines);
        algo_server_reset();
        std::string running = "{\"ZoneIndex\":6}";
        ASSERT_EQ(algo_avoid_set_params2(reinterpret_cast<uint8*>(running.data()), (uint32_t)running.size()), 0);
        unlink(board.host(CONFIG_FILE).c_str());
        reg_store(regs.run.cpuId, c.cpu);
        reg_store(regs.tof().sensorType, c.sensor);
        reg_store(regs.cfg.common.enableApplationAlgo, c.mode);
        reg_store(regs.cfg.common.avoidSetMode, 77u);
        reg_store(regs.run.avoidTmpParam, 0u);
        lines.lines = c.lines;
        EXPECT_EQ(h.upload(APP_ALGO_CONFIG_FILE, c.mode == 2 ? "{\"PalletWidth\":1200}" : "{\"ZoneIndex\":5}"),
                  c.code);
        // What follows an upload is done before the connection's next
        // message is answered.
        ASSERT_TRUE(h.send(header(3)));
        ASSERT_EQ(h.recv(16), rsp(3, 0));
        EXPECT_EQ(algo_avoid_get_zone_index2(), c.zone);
        EXPECT_EQ(reg_load(regs.cfg.common.avoidSetMode), c.follows ? 5u : 77u);
        std::string saved = file(CONFIG_FILE);
        if (c.follows) {
            ASSERT_EQ(saved.size(), (size_t)DEV_CFG_SIZE);
            auto block = std::make_unique<deviceCFG>();
            memcpy(block.get(), saved.data(), sizeof(deviceCFG));
            EXPECT_EQ(block->common.avoidSetMode, 5u);
        } else {
            EXPECT_EQ(saved, "<missing>");
        }
        EXPECT_EQ(reg_load(regs.run.avoidTmpParam), c.follows ? 0xFFFFu : 0u);
    }
}

// Settings nested far deeper than any real file are refused whole: the
// avoidance keeps its parameters and still takes zone commands, which copy
// and rewrite them (at such a depth that exhausted the stack).
TEST_F(FileServer, DeeplyNestedApplicationSettingsAreRefused)
{
    algo_server_reset();
    reg_store(regs.cfg.common.enableApplationAlgo, 4u);
    const size_t levels = (ALGO_SERVER_PARAM_MAX - 16) / 2;
    Bytes text = "{\"Zones\":" + Bytes(levels, '[') + Bytes(levels, ']') + "}";
    ASSERT_LE(text.size(), (size_t)ALGO_SERVER_PARAM_MAX);
    Host h(port);
    EXPECT_EQ(h.upload(APP_ALGO_CONFIG_FILE, text), 1);
    EXPECT_EQ(file("/userdata/app_algo_config.json"), "<missing>");
    // A zone command over the serial line, as a controller sends it.
    const uint8_t zone[] = {23, 6, 0x00, (uint8_t)MODBUS_REG_ZONE, 0, 4};
    EXPECT_EQ(modbus_rtu_handle(zone, sizeof zone, nullptr, nullptr), 6);
    EXPECT_EQ(algo_avoid_get_zone_index2(), 4);
    EXPECT_TRUE(log.has("algo_avoid_set_params2 fail. ret:-2"));
    char kept[256] = {};
    algo_server_get_params(ALGO_APP_AVOID2, kept, sizeof kept);
    EXPECT_STREQ(kept, "{\"ZoneIndex\":4,\"Zones\":[{\"Near\":500,\"Far\":1500,\"Width\":800}]}");
}

// Settings texts are handed over before their file replaces the stored one:
// a text depth processing or the running application refuses is answered
// 1 and leaves the stored file byte for byte and the running settings; a
// text they take is stored and runs. Without an application algorithm
// nothing judges the application settings, which are stored as they come.
TEST_F(FileServer, SettingsUploadsTheLibrariesRefuseKeepTheStoredFileAndTheRunningSettings)
{
    const Bytes refused = "median_filter: on; fly_pixel: off";
    auto filter = [] {
        std::string text(ALGO_FILTER_TEXT_MAX, '\0');
        int len = 0;
        algo_TavoPlus_GetFilterString(reinterpret_cast<uint8*>(text.data()), &len);
        return text.substr(0, (size_t)len);
    };
    auto params = [](uint32_t app) {
        char text[4096] = {};
        algo_server_get_params(app, text, sizeof text);
        return std::string(text);
    };
    algo_server_reset();
    Host h(port);
    const Bytes stored = "{\"median_filter\":{\"enable\":0}}";
    ASSERT_EQ(h.upload(DEVICE_FILTER_FILE, stored), 0);
    EXPECT_EQ(file("/userdata/dev_filter.json"), stored);
    EXPECT_EQ(filter(), stored);
    for (const Bytes& text : {refused, Bytes(), Bytes("{\"median_filter\":")}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(h.upload(DEVICE_FILTER_FILE, text), 1);
        EXPECT_EQ(file("/userdata/dev_filter.json"), stored);
        EXPECT_EQ(filter(), stored);
    }

    struct App { uint32_t mode, app; Bytes good; };
    const App apps[] = {{4, ALGO_APP_AVOID2, "{\"ZoneIndex\":3,\"Sensitivity\":2}"},
                        {2, ALGO_APP_PALLET, "{\"PalletWidth\":1200}"}};
    for (const App& a : apps) {
        SCOPED_TRACE(a.mode);
        reg_store(regs.cfg.common.enableApplationAlgo, a.mode);
        ASSERT_EQ(h.upload(APP_ALGO_CONFIG_FILE, a.good), 0);
        EXPECT_EQ(file("/userdata/app_algo_config.json"), a.good);
        EXPECT_EQ(params(a.app), a.good);
        EXPECT_EQ(h.upload(APP_ALGO_CONFIG_FILE, refused), 1);
        EXPECT_EQ(file("/userdata/app_algo_config.json"), a.good);
        EXPECT_EQ(params(a.app), a.good);
    }
    // The first-generation detector is not part of this system: nothing
    // takes its settings.
    reg_store(regs.cfg.common.enableApplationAlgo, 1u);
    EXPECT_EQ(h.upload(APP_ALGO_CONFIG_FILE, "{\"ZoneIndex\":1}"), 1);
    EXPECT_EQ(file("/userdata/app_algo_config.json"), apps[1].good);
    reg_store(regs.cfg.common.enableApplationAlgo, 0u);
    EXPECT_EQ(h.upload(APP_ALGO_CONFIG_FILE, refused), 0);
    EXPECT_EQ(file("/userdata/app_algo_config.json"), refused);
    EXPECT_EQ(leftovers(board, "/userdata"), 0);
}

// Settings taken whose file then cannot replace the stored one (a directory
// stands in its place): the upload is refused and what ran before runs again.
TEST_F(FileServer, SettingsWhoseFileCannotBeStoredAreTakenBack)
{
    algo_server_reset();
    const Bytes running = "{\"median_filter\":{\"enable\":1}}", avoid = "{\"ZoneIndex\":4}";
    ASSERT_EQ(algo_TavoPlus_SetFilterString(reinterpret_cast<uint8*>(const_cast<char*>(running.c_str()))), 0);
    ASSERT_EQ(algo_avoid_set_params2(reinterpret_cast<uint8*>(const_cast<char*>(avoid.c_str())),
                                     (uint32_t)avoid.size()), 0);
    reg_store(regs.cfg.common.enableApplationAlgo, 4u);
    for (const char* path : {"/userdata/dev_filter.json", "/userdata/app_algo_config.json"})
        ASSERT_EQ(mkdir(board.host(path).c_str(), 0755), 0) << path;
    Host h(port);
    EXPECT_EQ(h.upload(DEVICE_FILTER_FILE, "{\"fly_pixel\":{\"enable\":0}}"), 1);
    EXPECT_EQ(h.upload(APP_ALGO_CONFIG_FILE, "{\"ZoneIndex\":7}"), 1);
    std::string text(ALGO_FILTER_TEXT_MAX, '\0');
    int len = 0;
    algo_TavoPlus_GetFilterString(reinterpret_cast<uint8*>(text.data()), &len);
    EXPECT_EQ(text.substr(0, (size_t)len), running);
    EXPECT_EQ(algo_avoid_get_zone_index2(), 4);
    EXPECT_EQ(leftovers(board, "/userdata"), 0);
}

// The board path of the one temporary file beside `target`, "" when there
// is not exactly one.
std::string temporary_beside(const BoardRoot& b, const std::string& target)
{
    std::string dir = target.substr(0, target.rfind('/'));
    std::string prefix = target.substr(dir.size() + 1) + SAVE_TMP_MARK;
    std::vector<std::string> found;
    if (DIR* d = opendir(b.host(dir).c_str())) {
        while (dirent* e = readdir(d))
            if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) found.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    return found.size() == 1 ? found[0] : "";
}

// Settings uploads of one kind from several hosts whose ends arrive
// together are taken one at a time: after every round the settings that run
// are the stored file, and that is the text of an upload answered 0. Every
// fourth round the first host's file cannot replace the stored one: it is
// answered 1, and what it puts back is not left over another host's text.
TEST_F(FileServer, SettingsUploadsEndingTogetherLeaveRunningWhatIsStored)
{
    constexpr int kHosts = 4, kRounds = 40;
    algo_server_reset();
    reg_store(regs.cfg.common.enableApplationAlgo, 2u);
    struct Kind {
        uint32_t type;
        const char* path;
        std::string (*running)();
        std::string (*text)(int round, int host);
    };
    const Kind kinds[] = {
        {DEVICE_FILTER_FILE, "/userdata/dev_filter.json",
         [] {
             std::string text(ALGO_FILTER_TEXT_MAX, '\0');
             int len = 0;
             algo_TavoPlus_GetFilterString(reinterpret_cast<uint8*>(text.data()), &len);
             return text.substr(0, (size_t)len);
         },
         [](int round, int host) {
             return "{\"Filter\":\"up" + std::to_string(host) + "-" + std::to_string(round) + "\"}";
         }},
        {APP_ALGO_CONFIG_FILE, "/userdata/app_algo_config.json",
         [] {
             char text[4096] = {};
             algo_server_get_params(ALGO_APP_PALLET, text, sizeof text);
             return std::string(text);
         },
         [](int round, int host) { return "{\"PalletWidth\":" + std::to_string(1000 + round * kHosts + host) + "}"; }},
    };
    std::vector<std::unique_ptr<Host>> hosts;
    for (int i = 0; i < kHosts; i++) hosts.push_back(std::make_unique<Host>(port));
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.path);
        ASSERT_EQ(hosts[0]->upload(k.type, k.text(-1, 0)), 0);
        int disagreements = 0;
        std::string first;
        for (int round = 0; round < kRounds; round++) {
            const bool failing = round % 4 == 3;
            std::vector<std::string> texts;
            for (int i = 0; i < kHosts; i++) {
                Host& h = *hosts[i];
                texts.push_back(k.text(round, i));
                ASSERT_TRUE(h.send(header(FILE_MSG_UPLOAD_START) + msg_header(k.type, md5_of(texts[i]))));
                ASSERT_EQ(h.recv(16), rsp(FILE_MSG_UPLOAD_START, 0));
                if (failing && i == 0) {
                    std::string tmp = temporary_beside(board, k.path);
                    ASSERT_NE(tmp, "");
                    ASSERT_EQ(sim_fail_nth(tmp.c_str(), SIM_REQ_RENAME, 1, EIO), 0) << tmp;
                }
                ASSERT_TRUE(h.send(chunk(texts[i])));
                ASSERT_EQ(h.recv(16), rsp(FILE_MSG_DATA, 0));
            }
            // The ends go out back to back, each round in another order.
            for (int i = 0; i < kHosts; i++)
                ASSERT_TRUE(hosts[(i + round) % kHosts]->send(header(FILE_MSG_UPLOAD_END)));
            std::vector<std::string> accepted;
            for (int i = 0; i < kHosts; i++) {
                const bool fails = failing && i == 0;
                ASSERT_EQ(hosts[i]->recv(16), rsp(FILE_MSG_UPLOAD_END, fails ? 1 : 0)) << "round " << round;
                if (!fails) accepted.push_back(texts[i]);
            }
            std::string stored = file(k.path), running = k.running();
            EXPECT_NE(std::find(accepted.begin(), accepted.end(), stored), accepted.end()) << stored;
            if (running != stored && disagreements++ == 0)
                first = "round " + std::to_string(round) + ": running " + running + " stored " + stored;
        }
        EXPECT_EQ(disagreements, 0) << "of " << kRounds << " rounds, first " << first;
    }
    EXPECT_EQ(leftovers(board, "/userdata"), 0);
}

TEST_F(FileServer, ChunksAndUploadsOfTwoHostsDoNotMix)
{
    Bytes a = pattern(400000, 3), b = pattern(300000, 77);
    Host ha(port), hb(port);
    ASSERT_TRUE(ha.send(header(FILE_MSG_UPLOAD_START) + msg_header(CAM_INTR_FILE, md5_of(a))));
    ASSERT_TRUE(hb.send(header(FILE_MSG_UPLOAD_START) + msg_header(APD_CALIB_FILE, md5_of(b))));
    EXPECT_EQ(ha.recv(16), rsp(0, 0));
    EXPECT_EQ(hb.recv(16), rsp(0, 0));
    for (size_t at = 0; at < a.size(); at += 50000) {
        ASSERT_TRUE(ha.send(chunk(a.substr(at, 50000))));
        if (at < b.size()) { ASSERT_TRUE(hb.send(chunk(b.substr(at, 50000)))); }
        EXPECT_EQ(ha.recv(16), rsp(1, 0));
        if (at < b.size()) { EXPECT_EQ(hb.recv(16), rsp(1, 0)); }
    }
    ASSERT_TRUE(hb.send(header(FILE_MSG_UPLOAD_END)));
    ASSERT_TRUE(ha.send(header(FILE_MSG_UPLOAD_END)));
    EXPECT_EQ(hb.recv(16), rsp(2, 0));
    EXPECT_EQ(ha.recv(16), rsp(2, 0));
    EXPECT_EQ(file("/userdata/const/calib.json"), a);
    EXPECT_EQ(file("/userdata/const/GainList_simp.csv"), b);
}

// Every message of a burst that arrives at once is answered (splits are
// covered by the fed handler below, which the pump reads into).
TEST_F(FileServer, BatchedMessagesAreAllAnswered)
{
    Bytes data = pattern(1000);
    Host burst(port);
    ASSERT_TRUE(burst.send(header(FILE_MSG_UPLOAD_START) + msg_header(CAM_INTR_FILE, md5_of(data)) +
                           chunk(data.substr(0, 10)) + chunk(data.substr(10)) + header(FILE_MSG_UPLOAD_END) + header(4)));
    EXPECT_EQ(burst.recv(80), rsp(0, 0) + rsp(1, 0) + rsp(1, 0) + rsp(2, 0) + rsp(4, 0));
    EXPECT_EQ(file("/userdata/const/calib.json"), data);
}

TEST_F(FileServer, OverlongChunkIsLoggedAndTheConnectionClosed)
{
    Host h(port);
    ASSERT_TRUE(h.send(header(FILE_MSG_DATA) + words({0x0FF00000}) + Bytes(64, 'x')));
    EXPECT_TRUE(h.closed_by_device());
    EXPECT_TRUE(log.has("too long msgLen:0xff00000"));
}

TEST_F(FileServer, DownloadsAnnounceAndSendTheFileInChunks)
{
    struct Case { uint32_t type; const char* path; size_t size; std::vector<size_t> chunks; };
    const Case cases[] = {
        {APD_CALIB_FILE, "/userdata/const/GainList_simp.csv", 10, {10}},
        {DEVICE_FILTER_FILE, "/userdata/dev_filter.json", 0x200000, {0x200000}},
        {APP_ALGO_CONFIG_FILE, "/userdata/app_algo_config.json", 0x200001, {0x200000, 1}},
        {PARAM_CAPILITY_FILE, "/etc/capability.json", 0x400000, {0x200000, 0x200000}},
        {FUNC_CAPILITY_FILE, "/etc/feature_capability.json", 0, {}},
    };
    Host h(port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Bytes data = pattern(c.size, (uint8_t)c.type);
        put(c.path, data);
        auto d = h.download(c.type);
        EXPECT_EQ(d.code, 0);
        EXPECT_EQ(d.announce, header(0, 0, 0) + msg_header(c.type, md5_of(data), (uint32_t)c.size));
        EXPECT_EQ(d.sizes, c.chunks);
        EXPECT_TRUE(d.ended);
        EXPECT_EQ(d.data, data);
    }
}

TEST_F(FileServer, BuiltDownloadsRunTheirCommands)
{
    put("/var/log/camera.log", "log line\n");
    put("/etc/visloc_config/m.yaml", "map: 1\n");
    put("/build_maps/b.pgm", "P5");
    put("/userdata/const/config0.bin", pattern(DEV_CFG_SIZE));
    put("/userdata/const/filterJson0.bin", "{}");
    reg_store(regs.run.cameraType, (uint32_t)E_CAMERA_DelvoPlus);
    Host h(port);
    auto logs = h.download(DEV_LOG_FILE);
    EXPECT_TRUE(logs.ended);
    EXPECT_GE(sim_journal_find("zip -r -u /userdata/camera_log.zip /var/log/camera* /var/log/data_process.* /var/log/syslog*", 0), 0);
    EXPECT_TRUE(log.has("fileMsgHeader.file_md5:" + md5_of(logs.data)));
    EXPECT_TRUE(h.download(UPLOAD_CURRENT_MAP_FILE).ended);
    EXPECT_GE(sim_journal_find("cd /etc/visloc_config && zip -r -u /current_maps.zip * && cd -", 0), 0);
    EXPECT_TRUE(h.download(DOWNLOAD_MAP_FILE).ended);
    // The map directory is emptied once the end has gone out.
    EXPECT_GE(sim_journal_wait("rm -rf /build_maps/* ", 0, 5000), 0);
    EXPECT_EQ(file("/build_maps/b.pgm"), "<missing>");
    EXPECT_EQ(h.download(EXPORT_CUSTOM_PARAM_FILE).data, words({E_CAMERA_DelvoPlus}) + pattern(DEV_CFG_SIZE) + "{}");
}

TEST_F(FileServer, DownloadRefusalsAndUnknownTypes)
{
    Host h(port);
    // Nothing to send: refused with 1 and nothing announced; the connection
    // stays, so the next answer is that of the next message.
    for (uint32_t t : {(uint32_t)APD_CALIB_FILE, (uint32_t)EXPORT_CUSTOM_PARAM_FILE, (uint32_t)DEVICE_FILTER_FILE,
                       (uint32_t)PARAM_CAPILITY_FILE, (uint32_t)FUNC_CAPILITY_FILE, (uint32_t)CAM_INTR_FILE, 99u}) {
        SCOPED_TRACE(t);
        ASSERT_TRUE(h.send(header(FILE_MSG_DOWNLOAD) + msg_header(t, "") + header(3)));
        EXPECT_EQ(h.recv(32), rsp(6, 1) + rsp(3, 0));
    }
    // The host declines the announced file: the connection stays.
    put("/etc/capability.json", "{}");
    ASSERT_TRUE(h.send(header(FILE_MSG_DOWNLOAD) + msg_header(PARAM_CAPILITY_FILE, "")));
    EXPECT_EQ(h.recv(16), rsp(6, 0));
    EXPECT_EQ(h.recv(88).size(), 88u);
    ASSERT_TRUE(h.send(ack(3)));
    ASSERT_TRUE(wait_until([&] { return log.has("msg_errcode:3"); }));
    for (uint32_t t : {3u, 4u, 5u, 7u, 0xFFFFFFFFu}) {
        ASSERT_TRUE(h.send(header(t)));
        EXPECT_EQ(h.recv(16), rsp(t, 0));
    }
}

// The capture side: once the flag is set, fills the image `lateMs` later and
// clears the flag.
std::thread capture_raw(const std::atomic<bool>& stop, int lateMs = 0)
{
    return std::thread([&stop, lateMs] {
        while (!stop.load()) {
            if (g_raw_flags.load(std::memory_order_acquire)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(lateMs));
                for (uint32_t i = 0; i < 4000; i++) g_raw_image[i] = (uint8_t)(i * 7);
                g_raw_image_size = 4000;
                g_raw_flags.store(0, std::memory_order_release);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

// The frame is sent whenever the capture fills it within the raw-frame wait,
// also after the connection's idle time-out (the connection is the
// transfer's meanwhile); without a frame the request is refused. The late
// frame comes a little past a short idle time-out, and long before the
// raw-frame wait ends.
TEST_F(FileServer, RawFrameComesFromTheCaptureWithinItsWaitOrTheRequestIsRefused)
{
    std::atomic<bool> stop{false};
    for (int lateMs : {0, 300}) {
        SCOPED_TRACE(lateMs);
        tcp_file_set_timeouts(250, 20000);
        stop = false;
        std::thread capture = capture_raw(stop, lateMs);
        Host h(port);
        auto d = h.download(TOF_RAW_IMAGE);
        stop = true;
        capture.join();
        ASSERT_TRUE(d.ended);
        ASSERT_EQ(d.data.size(), 4000u);
        EXPECT_EQ((uint8_t)d.data[3999], (uint8_t)(3999 * 7));
    }

    tcp_file_set_timeouts(0, 50);
    Host h2(port);
    ASSERT_TRUE(h2.send(header(FILE_MSG_DOWNLOAD) + msg_header(TOF_RAW_IMAGE, "") + header(3)));
    EXPECT_EQ(h2.recv(32), rsp(6, 1) + rsp(3, 0));
    EXPECT_TRUE(log.has("no raw frame captured"));
    g_raw_flags.store(0);
}

// A host that stops reading mid-download holds only its own transfer: the
// pump answers other hosts and fires its timers while the download still
// waits, and the stalled host is dropped after the transfer time-out.
TEST_F(FileServer, StalledDownloadIsDroppedAndThePumpGoesOn)
{
    tcp_file_set_timeouts(200, 0);
    put("/etc/capability.json", pattern(0x600000));
    Host stalled(port, 4096);
    ASSERT_TRUE(stalled.send(header(FILE_MSG_DOWNLOAD) + msg_header(PARAM_CAPILITY_FILE, "")));
    EXPECT_EQ(stalled.recv(16 + 88).size(), 104u);
    ASSERT_TRUE(stalled.send(ack()));
    // From here on the host reads nothing.
    pumptest::Latch fired;
    auto cb = [](void* para, void*, int, int) {
        static_cast<pumptest::Latch*>(para)->hit();
        return 0;
    };
    ASSERT_NE(iotimer_start(core.core, 20, 0, nullptr, cb, &fired), nullptr);
    Host other(port);
    ASSERT_TRUE(other.send(header(9)));
    EXPECT_EQ(other.recv(16), rsp(9, 0));
    EXPECT_TRUE(fired.wait_for(1));
    EXPECT_TRUE(wait_until([&] { return log.has("send chunk fail"); }));
    EXPECT_TRUE(stalled.closed_by_device());
}

// With the full time-outs, hosts that never acknowledge their downloads and
// one that sends nothing at all do not delay the others: the pump answers
// while those transfers still wait.
TEST_F(FileServer, DownloadsThatAreNeverAcknowledgedDoNotHoldThePump)
{
    tcp_file_set_timeouts(5000, 0);
    put("/etc/capability.json", pattern(0x300000));
    std::vector<std::unique_ptr<Host>> stalled;
    for (int i = 0; i < 12; i++) {
        stalled.push_back(std::make_unique<Host>(port));
        ASSERT_TRUE(stalled.back()->send(header(FILE_MSG_DOWNLOAD) + msg_header(PARAM_CAPILITY_FILE, "")));
        ASSERT_EQ(stalled.back()->recv(16 + 88).size(), 104u) << i;
    }
    Host other(port);
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(other.send(header(9)));
        EXPECT_EQ(other.recv(16, 1000), rsp(9, 0)) << "answered while 12 downloads wait";
    }
    EXPECT_FALSE(log.has("announce /etc/capability.json fail")) << "the pump did not wait for them";
    // A host gone ends its transfer at once.
    stalled.clear();
    auto failed = [&] {
        int n = 0;
        for (const auto& line : log.sink->last_formatted())
            n += line.find("announce /etc/capability.json fail") != std::string::npos;
        return n;
    };
    EXPECT_TRUE(wait_until([&] { return failed() == 12; }));
}

// Transfer threads of this process, by the name the board lists them under.
int transfer_threads()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            n += read_host_file(std::string("/proc/self/task/") + e->d_name + "/comm") == "tcp_transfer\n";
        closedir(d);
    }
    return n;
}

// Twenty hosts ask for a download at once and never acknowledge it: sixteen
// are served side by side, each holding its thread for the transfer
// time-out, and the other four as threads come free.
TEST_F(FileServer, NoMoreThanSixteenTransfersRunAndTheRestAreServedInTurn)
{
    ASSERT_TRUE(wait_until([] { return transfer_threads() == 0; })) << "transfer threads of earlier tests still run";
    tcp_file_set_timeouts(2000, 0);
    put("/etc/capability.json", "{}");
    std::vector<std::unique_ptr<Host>> hosts;
    for (int i = 0; i < 20; i++) {
        hosts.push_back(std::make_unique<Host>(port));
        ASSERT_TRUE(hosts.back()->send(header(FILE_MSG_DOWNLOAD) + msg_header(PARAM_CAPILITY_FILE, "")));
    }
    std::vector<size_t> got(hosts.size()); // of the answer and the announcement
    int most = 0;
    EXPECT_TRUE(wait_until([&] {
        most = std::max(most, transfer_threads());
        size_t served = 0;
        for (size_t i = 0; i < hosts.size(); i++) {
            got[i] += hosts[i]->recv(104 - got[i], 0).size();
            served += got[i] == 104;
        }
        return served == hosts.size();
    }));
    EXPECT_EQ(most, 16);
}

// A host that sends without ever reading its answers fills its buffers: the
// pump does not wait for room but closes it, and answers others meanwhile.
TEST_F(FileServer, HostThatNeverReadsItsAnswersIsClosedWithoutDelayingOthers)
{
    tcp_file_set_timeouts(30000, 0);
    Host deaf(port, 4096), other(port);
    Bytes burst;
    for (int i = 0; i < 4096; i++) burst += header(9);
    // Until the device takes no more: it closed the connection, or it stopped reading.
    for (size_t sent = 0; sent < (16u << 20);) {
        pollfd p{deaf.fd, POLLOUT, 0};
        if (poll(&p, 1, 1000) != 1) break;
        size_t at = sent % burst.size(); // whole headers only
        ssize_t n = ::send(deaf.fd, burst.data() + at, burst.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) break;
        sent += (size_t)n;
    }
    ASSERT_TRUE(other.send(header(9)));
    EXPECT_EQ(other.recv(16, 3000), rsp(9, 0)) << "answered while the other's answers pile up";
    EXPECT_TRUE(deaf.closed_by_device());
    EXPECT_TRUE(log.has("send answer fail"));
}

// A connection that sends no whole message within the transfer time-out is
// closed; one that keeps sending whole messages stays. The busy host sends
// ten times per time-out, so only a stall of most of a second on a loaded
// machine could make it look quiet; it goes on for longer than one time-out.
TEST_F(FileServer, QuietConnectionsAreClosed)
{
    tcp_file_set_timeouts(1000, 0);
    Host quiet(port), trickle(port), busy(port);
    ASSERT_TRUE(trickle.send(header(9).substr(0, 5)));
    for (int i = 0; i < 14; i++) {
        ASSERT_TRUE(busy.send(header(9)));
        ASSERT_EQ(busy.recv(16), rsp(9, 0));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(quiet.closed_by_device());
    EXPECT_TRUE(trickle.closed_by_device()) << "part of a header is not a message";
    ASSERT_TRUE(busy.send(header(9)));
    EXPECT_EQ(busy.recv(16), rsp(9, 0));
}

TEST_F(FileServer, FedHandlerActsOnlyOnWholeFields)
{
    Bytes out;
    auto sink = [](void* ctx, const void* data, size_t len) { return static_cast<Bytes*>(ctx)->append((const char*)data, len), 0; };
    TcpFileConn* c = tcp_file_conn_new(sink, &out);
    Bytes data = pattern(777);
    Bytes start = header(FILE_MSG_UPLOAD_START) + msg_header(CAM_INTR_FILE, md5_of(data));
    for (size_t i = 0; i < start.size(); i++) {
        EXPECT_EQ(out.size(), 0u) << "answered after " << i << " bytes";
        ASSERT_EQ(tcp_file_conn_feed(c, (const uint8_t*)&start[i], 1), 0);
    }
    EXPECT_EQ(out, rsp(0, 0));
    Bytes rest = chunk(data) + header(FILE_MSG_UPLOAD_END) + header(3);
    ASSERT_EQ(tcp_file_conn_feed(c, (const uint8_t*)rest.data(), rest.size()), 0);
    EXPECT_EQ(out, rsp(0, 0) + rsp(1, 0) + rsp(2, 0) + rsp(3, 0));
    // The longest chunk still allowed is taken: a header after it is still chunk data.
    TcpFileConn* longest = tcp_file_conn_new(sink, &out);
    Bytes max = header(FILE_MSG_DATA) + words({0x0FEFFFFF}) + Bytes(1000, 'y') + header(5);
    EXPECT_EQ(tcp_file_conn_feed(longest, (const uint8_t*)max.data(), max.size()), 0);
    tcp_file_conn_free(longest);
    EXPECT_EQ(out.size(), 64u);
    Bytes tooLong = header(FILE_MSG_DATA) + words({0x0FF00000});
    EXPECT_EQ(tcp_file_conn_feed(c, (const uint8_t*)tooLong.data(), tooLong.size()), -ENETDOWN);
    EXPECT_EQ(tcp_file_conn_feed(c, (const uint8_t*)rest.data(), rest.size()), -ENETDOWN);
    tcp_file_conn_free(c);
    EXPECT_EQ(file("/userdata/const/calib.json"), data);
}

} // namespace
