// Register writes: the answer codes of each page, the coupled frequency
// registers across the ToF kinds, the effects that happen before a later
// refusal, the device actions through the worker registry, the saves and
// the pacing of stream starts.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "GigE/gvcp.h"
#include "common/regtest.h"
#include "imu/imu.h"
#include "rich/rich_radar.h"
#include "server/udp_server.h"

using regtest::RegSpace;
using regtest::calls;
using regtest::wait_until;

namespace {

struct WriteCase {
    const char* what;
    void (*setup)(RegSpace&);
    uint32_t address;
    uint32_t value;
    int code;
    uint32_t stored;  // word at the address afterwards (run-time or block)
};

uint32_t stored_word(RegSpace& r, uint32_t address)
{
    uint32_t off = address & 0xFFF;
    if ((address & 0xFFFFF000) == REG_PAGE_RUNTIME) return reinterpret_cast<uint32_t*>(&r.run)[off / 4];
    uint32_t base = ((address & 0xFFFFF000) - REG_PAGE_COMMON) / 0x1000 * 1024;
    return reinterpret_cast<uint32_t*>(&r.cfg)[(base + off) / 4];
}

void none(RegSpace&) {}
void imx570(RegSpace& r) { r.tof().sensorType = E_IMX570; }
void rgb_isp(RegSpace& r) { r.rgb().sensorType = E_SMARTSENS_SC230AI; }
void user_io(RegSpace& r) { r.common().outputControlMode = 1; }
void work_mode(RegSpace& r) { r.common().workMode = 1; }
void algo_on(RegSpace& r) { r.common().enableApplationAlgo = 2; }
void binning_2x2(RegSpace& r) { r.tof().binningMode = 1; }
void multi_imx(RegSpace& r) { r.tof().sensorType = E_IMX570, r.common().enableMultiMachine = 1; }
void multi_v23(RegSpace& r)
{
    multi_imx(r), r.run.devBoardVersion = E_BOARD_VERSION_V2_3, r.common().phaseOptions = 1;
}
void tof_ae(RegSpace& r) { r.tof().enableAutoExposure = 1; }

TEST(RegisterWrite, EachPageAnswersWithItsCodes)
{
    const WriteCase cases[] = {
        {"common word", none, 0x10000004, 9, 0, 9},
        {"common page past its area", none, 0x10000400, 1, 0x8001, 0},
        {"colour padding is writable", none, 0x100013FC, 3, 0, 3},
        {"colour page past its area", none, 0x10001400, 1, 0x8001, 0},
        {"ToF page past its area", none, 0x10002400, 1, 0x8001, 0},
        {"run-time word", none, 0x10007068, 2, 0, 2},
        {"run-time page past its record", none, 0x1000707C, 1, 0x8001, 0},
        {"IMU page outside its three registers", none, 0x10003000, 1, 0x8001, 0},
        {"unmapped page", none, 0x10005000, 1, 0x8001, 0},
        {"encoding with an ISP colour sensor", rgb_isp, 0x10000058, 4, 0x8001, 0},
        {"H.264 with a monochrome sensor", none, 0x10000058, 1, 0xFFFF, 0},
        {"JPEG with a monochrome sensor", none, 0x10000058, 4, 0, 4},
        {"ISP colour target level", rgb_isp, 0x100010DC, 5, 0x8001, 0},
        {"colour target level without AE", none, 0x100010DC, 5, 0xFFFF, 0},
        {"IMX570 fps 50", imx570, 0x1000202C, 50, 0x8001, 0},
        {"IMX570 fps 30", imx570, 0x1000202C, 30, 0, 30},
        {"IMX570 fps 100", imx570, 0x1000202C, 100, 0, 100},
        {"IMX570 colour fps 31", imx570, 0x1000102C, 31, 0x8001, 0},
        {"output set without user control", none, 0x100000B0, 2, 0xFFFF, 0},
        {"output set under user control", user_io, 0x100000B0, 3, 0, 3},
        {"output set out of range", user_io, 0x100000B0, 4, 0xFFFF, 0},
        {"rgb binning in work mode 1", work_mode, 0x10001030, 1, 0x8001, 0},
        {"depth calib in work mode 1", work_mode, 0x10002094, 1, 0x8001, 0},
        {"depth calib while an algorithm runs", algo_on, 0x10002094, 1, 0x8001, 0},
        {"location algorithm", none, 0x1000005C, 3, 0xFFFF, 0},
        {"first-generation avoidance", none, 0x1000005C, 1, 0xFFFF, 0},
        {"pallet algorithm", none, 0x1000005C, 2, 0, 2},
        {"ToF target level without AE", none, 0x100020DC, 600, 0xFFFF, 0},
        {"ToF target level with AE", tof_ae, 0x100020DC, 600, 0, 600},
        {"roi_lt_x 639 unbinned", none, 0x10002014, 639, 0, 639},
        {"roi_lt_x 640 unbinned", none, 0x10002014, 640, 0xFFFF, 0},
        {"roi_br_y 240 binned", binning_2x2, 0x10002020, 240, 0, 240},
        {"roi_br_y 241 binned", binning_2x2, 0x10002020, 241, 0xFFFF, 0},
        {"nInteA 1500 multi-machine", multi_imx, 0x1000209C, 1500, 0, 1500},
        {"nInteA 1501 multi-machine", multi_imx, 0x1000209C, 1501, 0xFFFF, 0},
        {"nInteB 3000 on V2.3", multi_v23, 0x100020A0, 3000, 0, 3000},
        {"nInteB 3001 on V2.3", multi_v23, 0x100020A0, 3001, 0xFFFF, 0},
        {"parameter group out of range", none, 0x10000094, 5, 0xFFFF, 0},
        {"IMU range without the IMU device", none, REG_ADDR_IMU_RANGE, 0x20001, 0xFFFF, 0},
    };
    for (const WriteCase& c : cases) {
        RegSpace r;
        c.setup(r);
        EXPECT_EQ(r.write(c.address, c.value), c.code) << c.what;
        uint32_t page = c.address & 0xFFFFF000, off = c.address & 0xFFF;
        bool inRecord = page == REG_PAGE_RUNTIME ? off < REG_MEM_ADDR_SIZE
                                                 : page <= REG_PAGE_TOF && off < DEV_CFG_AREA_SIZE;
        if (inRecord) { EXPECT_EQ(stored_word(r, c.address), c.stored) << c.what; }
    }
}

// The frequency registers form one state machine: the ToF freqMode, the 3D
// frequency mode, the HDR switch and multi-machine operation move together.
TEST(RegisterWrite, FrequencyRegistersMoveTogetherPerToFKind)
{
    const uint32_t E8 = 0x100000E8, FM = 0x10002068, HDR = 0x10000084, MM = 0x10000074;
    const struct {
        uint32_t kind, multi, triple, freqMode, threeD, groupB, groupC, address, value;
        int code;
        uint32_t freqAfter, threeDAfter, tripleAfter;
    } cases[] = {
        // 3D frequency mode picks the ToF mode
        {300, 0, 0, 0, 0, 20, 0, E8, 1, 0, 1, 1, 0},
        {300, 0, 1, 0, 0, 20, 0, E8, 1, 0, 3, 1, 1},
        {300, 0, 0, 0, 0, 20, 0, E8, 2, 0xFFFF, 0, 0, 0},
        {100, 0, 1, 0, 0, 60, 5, E8, 2, 0xFFFF, 0, 0, 1},  // no Gpixel frequency row in mode 6
        {300, 1, 0, 1, 1, 20, 5, E8, 0, 0xFFFF, 1, 1, 0},
        {100, 1, 1, 1, 1, 60, 0, E8, 0, 0, 2, 0, 1},
        {200, 0, 0, 0, 0, 0, 0, E8, 1, 0xFFFF, 0, 0, 0},
        {200, 0, 0, 0, 0, 20, 0, E8, 7, 0, 0, 7, 0},
        // ToF freqMode keeps the 3D mode and the HDR switch in step
        {300, 0, 0, 0, 0, 20, 5, FM, 6, 0, 6, 2, 1},
        {300, 0, 0, 0, 0, 20, 0, FM, 5, 0xFFFF, 0, 0, 0},
        {300, 0, 1, 1, 1, 20, 5, FM, 2, 0, 2, 0, 1},
        {300, 1, 0, 1, 1, 20, 5, FM, 2, 0xFFFF, 1, 1, 0},
        {300, 1, 0, 1, 1, 20, 5, FM, 3, 0, 3, 1, 1},
        {300, 0, 0, 0, 0, 0, 5, FM, 3, 0xFFFF, 0, 0, 0},
        {300, 0, 0, 0, 0, 20, 5, FM, 4, 0x8001, 0, 0, 0},
        {100, 0, 0, 0, 0, 60, 5, FM, 5, 0xFFFF, 0, 0, 0},
        {100, 0, 0, 0, 0, 60, 0, FM, 3, 0, 3, 0, 1},
        {100, 0, 1, 3, 0, 0, 0, FM, 1, 0xFFFF, 3, 0, 1},
        {200, 0, 0, 0, 0, 0, 0, FM, 5, 0, 5, 0, 0},
        // The HDR switch moves the ToF mode between single and HDR forms
        {300, 0, 0, 5, 2, 20, 5, HDR, 1, 0, 6, 2, 1},
        {100, 0, 0, 5, 2, 60, 5, HDR, 1, 0, 5, 2, 1},
        {200, 0, 1, 3, 1, 20, 5, HDR, 0, 0, 1, 1, 0},
        {300, 0, 1, 6, 2, 20, 5, HDR, 0, 0, 5, 2, 0},
        {100, 0, 0, 1, 1, 60, 0, HDR, 1, 0, 3, 1, 1},
        // Multi-machine operation needs a dual-frequency mode on an IMX570
        {300, 0, 1, 2, 0, 20, 5, MM, 1, 0xFFFF, 2, 0, 1},
        {300, 0, 1, 3, 1, 20, 5, MM, 1, 0, 3, 1, 1},
        {100, 0, 1, 2, 0, 20, 5, MM, 1, 0, 2, 0, 1},
    };
    for (const auto& c : cases) {
        RegSpace r;
        r.tof().sensorType = c.kind, r.tof().freqMode = c.freqMode;
        r.tof().groupBFreq = c.groupB, r.tof().groupCFreq = c.groupC;
        r.tof().groupAFreq = c.kind == 100 ? 96 : 100;  // a first frequency every mode runs at
        r.common().enableMultiMachine = c.multi, r.common().tripleFreqHdr = c.triple, r.common()._3DFreqMode = c.threeD;
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        EXPECT_EQ(r.write(c.address, c.value), c.code);
        EXPECT_EQ(std::vector<uint32_t>({r.tof().freqMode, r.common()._3DFreqMode, r.common().tripleFreqHdr}),
                  std::vector<uint32_t>({c.freqAfter, c.threeDAfter, c.tripleAfter}));
    }
    // Work mode 1 freezes the whole family.
    for (uint32_t address : {E8, FM, HDR, MM}) {
        RegSpace r;
        r.common().workMode = 1;
        r.tof().groupBFreq = 20;
        EXPECT_EQ(r.write(address, 1), 0x8001) << std::hex << address;
        EXPECT_EQ(r.tof().freqMode, 0u);
    }
}

TEST(RegisterWrite, EffectsBeforeARefusalStay)
{
    RegSpace r;
    r.add_sensors();
    // Avoidance on an IMX570: the user/trigger IO is closed, then the
    // first-generation detector is refused.
    r.tof().sensorType = E_IMX570;
    r.common().outputControlMode = 2;
    EXPECT_EQ(r.write(0x1000005C, 1), 0xFFFF);
    EXPECT_EQ(r.common().outputControlMode, 0u);
    EXPECT_EQ(r.common().enableApplationAlgo, 0u);
    EXPECT_TRUE(r.log.has("close user/trig control io,because avoid algo is enabled"));
    EXPECT_TRUE(r.log.has("can not set avoid 1"));
    // With a trigger mode set, avoidance is refused outright.
    r.common().masterSlaveMode = 1;
    r.common().outputControlMode = 2;
    EXPECT_EQ(r.write(0x1000005C, 4), 0xFFFF);
    EXPECT_EQ(r.common().outputControlMode, 2u);

    // The relay port is stored even when the relay cannot take it.
    EXPECT_EQ(r.write(0x10007078, 21001), 0xFFFF);
    EXPECT_EQ(r.run.richRadarPort, 21001u);
    EXPECT_TRUE(r.log.has("can't find device"));
    richUDPPrivData relayPriv{};
    iodev_t* relay = r.add_device(E_DEVICE_RICH_SEND, &relayPriv);
    iodev_t* gvcp = r.add_device(E_DEVICE_GVCP, nullptr);
    strcpy(gvcp->remote_ip, "127.0.0.9");
    gvcp->remote_port = 50123;
    EXPECT_EQ(r.write(0x10007078, 21002), 0);
    EXPECT_EQ(relay->remote_port, 21002);
    EXPECT_STREQ(relay->remote_ip, "127.0.0.9");
    EXPECT_EQ(relayPriv.curGvcpPort, 50123u);

    // The colour rate drives the ToF rate before the colour page is stored.
    r.tof().sensorType = E_VD55H1;
    EXPECT_EQ(r.write(0x1000102C, 20), 0);
    EXPECT_EQ(r.tof().fps, 20u);
    EXPECT_EQ(r.rgb().fps, 20u);
    EXPECT_EQ(g_tof_fps.load(), 20u);
    EXPECT_TRUE(calls().has("set_fps:tof:20"));

    // The ToF VLD switch drives the colour sensor's VLD line.
    EXPECT_EQ(r.write(0x100020E0, 0), 0);
    EXPECT_EQ(r.tof().vldEnable, 0u);
    EXPECT_EQ(r.tof().vldTemp, 1u);
    EXPECT_TRUE(calls().has("vld:rgb:0"));
    EXPECT_FALSE(calls().has("vld:tof:0"));
}

uint8_t s_imuRegs[256];
int fake_imu_write(uint8 reg, uint8* data, uint32 length)
{
    for (uint32 i = 0; i < length; i++) s_imuRegs[(uint8)(reg + i)] = data[i];
    return 0;
}

TEST(RegisterWrite, ImuPageSetsTheImuSettingsAndRangeRegisters)
{
    RegSpace r;
    UDPServerPrivData priv{};
    priv.write_dev_reg = fake_imu_write;
    r.add_device(E_DEVICE_IMU_DATA_SEND, &priv);
    EXPECT_EQ(r.write(REG_ADDR_IMU_RANGE, 0x00020003), 0);
    EXPECT_EQ(s_imuRegs[0x41] << 8 | s_imuRegs[0x43], 0x0302);
    EXPECT_EQ(r.write(REG_ADDR_IMU_UDP_PORT, 20005), 0);
    EXPECT_EQ(imuUdpPort.load(), 20005u);
    EXPECT_EQ(r.write(REG_ADDR_IMU_STREAM_ENABLE, 1), 0);
    EXPECT_EQ(imuStreamEnable.load(), 1u);
    EXPECT_TRUE(r.log.has("imu stream start"));
    uint32_t v = 0;
    EXPECT_EQ(Custom_RegRead(REG_ADDR_IMU_STREAM_ENABLE, &v), 0x8001);
    imuUdpPort = 0;
    imuStreamEnable = 0;
}

TEST(RegisterWrite, StoredValuesReachSensorsMirrorsAndBoard)
{
    RegSpace r("rk3568-imx570");
    r.add_sensors();
    r.run.cpuId = E_CPU_RK3568;
    r.tof().sensorType = E_IMX570;

    EXPECT_EQ(r.write(0x10000080, 70), 0);
    EXPECT_TRUE(calls().has("other:tof:70:" + std::to_string(0x10000080)));
    EXPECT_EQ(r.write(0x10007020, 1), 0);
    EXPECT_TRUE(calls().has("bgamp:tof:1"));
    EXPECT_EQ(r.write(0x10000054, 0), 0);
    EXPECT_TRUE(calls().has("other:rgb:0:" + std::to_string(0x10000054)));

    // Capability bits adjusted in the caller's word too.
    struct { uint32_t cpu, in, out; } caps[] = {{E_CPU_RK3588, 0x0F, 0x0E}, {E_CPU_RK3588, 0x10, 0x70}, {E_CPU_RK3568, 0x01, 0x70}};
    for (auto& c : caps) {
        r.run.cpuId = c.cpu;
        uint32_t v = c.in;
        EXPECT_EQ(Custom_RegWrite(0x10000088, &v), 0);
        EXPECT_EQ(v, c.out);
        EXPECT_EQ(r.common().configFeatureCapability, c.out);
    }
    r.run.cpuId = E_CPU_RK3568;

    // CAN bit rate on an RK3568: 0 means 250000, in the caller's word too.
    size_t from = sim_journal_count();
    uint32_t rate = 0;
    EXPECT_EQ(Custom_RegWrite(0x1000008C, &rate), 0);
    EXPECT_EQ(rate, 250000u);
    EXPECT_EQ(r.common().canBaudrate, 250000u);
    long down = sim_journal_find("ip link set can0 down", from);
    long type = sim_journal_find("ip link set can0 type can bitrate 250000", from);
    long up = sim_journal_find("ip link set can0 up", from);
    EXPECT_TRUE(down >= 0 && type > down && up > type);

    // Output line 4 follows canRsSw; CPLD register 59 keeps its low bits.
    EXPECT_EQ(r.write(0x10000118, 1), 0);
    EXPECT_GE(sim_journal_find("echo 1 > /sys/class/gpio/gpio4/value", from), 0);
    sim_i2c_set_reg(3, 0x11, 59, 0xF1);
    EXPECT_EQ(r.write(0x10000114, 1), 0);
    unsigned reg59 = 0;
    sim_i2c_get_reg(3, 0x11, 59, &reg59);
    EXPECT_EQ(reg59, 13u);

    // FPGA programming after a trigger-mode write on a V1.1 board with the
    // A logic: the board carries the image, so the first attempt succeeds.
    r.run.devLogic = 1;
    r.run.devBoardVersion = E_BOARD_VERSION_V1_1;
    EXPECT_EQ(r.write(0x10000054, 0), 0);
    EXPECT_TRUE(r.log.has("fpga update success."));
    EXPECT_FALSE(r.log.has("fpga update fail."));
}

// Each "other parameter" register reaches its sensor operation once per
// host write, and the background amplitude only on the IMX570.
TEST(RegisterWrite, OtherParametersReachTheirSensorOperationOncePerWrite)
{
    auto taken = [] {
        std::lock_guard<std::mutex> l(calls().m);
        std::vector<std::string> out;
        out.swap(calls().calls);
        return out;
    };
    using Calls = std::vector<std::string>;
    RegSpace r("rk3568-imx570");
    r.add_sensors();
    // outputSet is taken only under user control of the outputs, which the
    // writes of 1 keep.
    user_io(r);
    for (uint32_t tofKind : {(uint32_t)E_GPIXEL_0503, (uint32_t)E_IMX570}) {
        r.tof().sensorType = tofKind;
        for (uint32_t a : {0x10000078u, 0x1000007Cu, 0x10000080u, 0x1000009Cu, 0x100000A8u, 0x100000ACu, 0x100000B0u,
                           0x100000CCu, 0x100000E0u, 0x100000F4u, 0x1000010Cu, 0x10000110u, 0x10007044u}) {
            taken();
            EXPECT_EQ(r.write(a, 1), 0) << std::hex << a;
            EXPECT_EQ(taken(), Calls{"other:tof:1:" + std::to_string(a)}) << std::hex << a;
        }
        EXPECT_EQ(r.write(0x10000054, 0), 0);
        EXPECT_EQ(taken(), Calls{"other:rgb:0:" + std::to_string(0x10000054)});
        EXPECT_EQ(r.write(0x10007020, 1), 0);
        EXPECT_EQ(taken(), tofKind == E_IMX570 ? Calls{"bgamp:tof:1"} : Calls{}) << tofKind;
    }
}

// ---- Device control ----

TEST(DeviceControl, EveryValueStartsTheActionWorker)
{
    RegSpace r;
    // Each worker ends in a board action, journalled by the board.
    struct { uint32_t address; const char* action; } actions[] = {
        {0x10000008, "reboot"}, {0x1000000C, "reboot"}, {0x10000010, "reboot"}, {0x100000F0, "killall -9 korvid"}};
    for (auto& a : actions) {
        size_t from = sim_journal_count();
        EXPECT_EQ(r.write(a.address, 0), 0);  // 0 acts like any other value
        EXPECT_GE(sim_journal_wait(a.action, from, 5000), 0) << std::hex << a.address;
    }
    // The CAN/IO test starts on 1000 only.
    EXPECT_EQ(r.write(0x10007064, 5), 0);
    EXPECT_FALSE(r.log.has("creat dev_can_io_test_task"));
    EXPECT_EQ(r.write(0x10007064, 1000), 0);
    EXPECT_TRUE(wait_until([&] { return r.log.has("============test task==========="); }));
    EXPECT_TRUE(r.log.has("creat dev_can_io_test_task"));
}

// Stands in for a running lidar receiver until it is asked to stop.
std::atomic<int> s_oldReceiverStopped{0};
void* old_receiver(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    while (!wk->quit.load()) event_wait(wk->ioevent, 5);
    s_oldReceiverStopped = 1;
    worker_destory(wk);
    return nullptr;
}

TEST(DeviceControl, ARunningReceiverIsStoppedAndGoneBeforeItIsCreatedAnew)
{
    RegSpace r;
    ASSERT_EQ(worker_create(r.core, E_WORKER_ID_RICH_RECV_TASK, old_receiver), 0);
    EXPECT_EQ(r.write(0x10007074, 1), 0);
    EXPECT_EQ(s_oldReceiverStopped.load(), 1);  // gone before the write answered
    EXPECT_TRUE(r.log.has("error can't recreat rich_recv_task"));
    EXPECT_TRUE(r.log.has("creat rich_recv_task"));
    // The new receiver runs, or ends at once where the lidar link is missing.
    EXPECT_TRUE(wait_until(
        [&] { return r.log.has("start rich radar recv task") || r.log.has("rich radar socket create fail."); }));
    EXPECT_EQ(r.write(0x10007074, 0), 0);
    EXPECT_TRUE(r.log.has("close rich radar"));
}

TEST(DeviceControl, SavesNeed101MiBElseAnswerARefusalAndHoldThePreviousValue)
{
    RegSpace r;
    for (uint64_t mib : {100ull, 101ull}) {
        SCOPED_TRACE(mib);
        ASSERT_EQ(sim_set_free_space("/userdata", mib << 20), 0);
        remove(r.board.host("/userdata/config.bin").c_str());
        r.common().saveCfg = 5;
        EXPECT_EQ(r.write(0x10000014, 6), mib == 100 ? 0xFFFF : 0);
        EXPECT_EQ(r.common().saveCfg, mib == 100 ? 5u : 6u);
        std::string file = read_host_file(r.board.host("/userdata/config.bin"));
        if (mib == 100) {
            EXPECT_EQ(file, "<missing>");
            EXPECT_TRUE(r.log.has("no space in device, can not write file."));
        } else {
            ASSERT_EQ(file.size(), (size_t)DEV_CFG_SIZE);
            deviceCFG saved;
            memcpy(&saved, file.data(), sizeof(saved));
            EXPECT_EQ(saved.common.saveCfg, 5u);  // the value before this write
        }
    }
    r.common().saveDefaultCfg = 1;
    EXPECT_EQ(r.write(0x10000040, 2), 0);
    std::string def = read_host_file(r.board.host("/userdata/const/default_config.bin"));
    ASSERT_EQ(def.size(), (size_t)DEV_CFG_SIZE);
    EXPECT_EQ(reinterpret_cast<const deviceCFG*>(def.data())->common.saveDefaultCfg, 1u);
}

// ---- Start/stop pacing ----

std::atomic<uint32_t> s_now{0};
std::atomic<uint32_t> s_slept{0};
uint32_t fake_now() { return s_now.load(); }
void fake_sleep(unsigned long ms)
{
    s_slept += (uint32_t)ms;
    s_now += (uint32_t)ms;
}

TEST(DeviceControl, AStartWithin500msOfTheLastRequestWaitsOutTheGap)
{
    RegSpace r;
    custom_set_clock(fake_now, fake_sleep);
    struct { uint32_t at, value, slept; uint8_t flag; } steps[] = {
        {100000, 1, 0, 1},    // first request: no wait
        {100100, 1, 400, 1},  // second start 100 ms later waits 400 ms
        {100550, 1, 50, 1},   // the gap counts from before the last wait
        {100600, 0, 0, 0},    // stops never wait
        {100700, 2, 400, 1},  // any other value sets the flag but stops
        {101300, 1, 0, 1},
    };
    for (auto& s : steps) {
        s_now = s.at;
        s_slept = 0;
        EXPECT_EQ(r.write(0x10000000, s.value), 0);
        EXPECT_EQ(s_slept.load(), s.slept) << s.at;
        EXPECT_EQ(g_sdk_start_flags.load(), s.flag) << s.at;
    }
    EXPECT_TRUE(r.log.has("need wait 400ms"));
    custom_set_clock(nullptr, nullptr);
}

} // namespace
