// Device register space: the register types and the access functions.
//
// Every setting a host can configure or inspect is a 32-bit register at an
// address above 0x10000000. Three 4 KiB pages map the persistent
// configuration block (common settings, colour sensor, ToF sensor), one page
// maps the run-time record that is never saved. The field offsets below are
// the register addresses hosts use, and the block's byte image is the format
// of the configuration files, so every offset and size is pinned.
#ifndef KORVID_COMMON_CUSTOM_H
#define KORVID_COMMON_CUSTOM_H

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Pages and addresses
// ---------------------------------------------------------------------------

// Address decoding: page = address & REG_PAGE_MASK, offset = address & REG_OFFSET_MASK.
#define REG_PAGE_MASK   0xFFFFF000u
#define REG_OFFSET_MASK 0x00000FFFu

#define REG_PAGE_COMMON  0x10000000u  // CommonCfg, block bytes 0..1023
#define REG_PAGE_RGB     0x10001000u  // colour SensorInfo, block bytes 1024..2047
#define REG_PAGE_TOF     0x10002000u  // ToF SensorInfo, block bytes 2048..3071
#define REG_PAGE_IMU     0x10003000u  // write-only IMU settings (held by the IMU module)
#define REG_PAGE_RUNTIME 0x10007000u  // deviceRegMemAddr, never saved

// The IMU settings inside REG_PAGE_IMU.
#define REG_ADDR_IMU_RANGE         0x10003100u  // bits 0..7 accelerometer, bits 16..23 gyroscope range code
#define REG_ADDR_IMU_UDP_PORT      0x10003234u  // imuUdpPort
#define REG_ADDR_IMU_STREAM_ENABLE 0x10003238u  // imuStreamEnable

// Memory window above the register pages: exact start addresses of its blocks.
#define MEM_ADDR_ALGO_VERSION        0x10008000u  // depth-library version text, up to 32 bytes
#define MEM_ADDR_RGB_CAM_PARAM       0x10008020u  // colour intrinsics, CameraParam
#define MEM_ADDR_TOF_CAM_PARAM       0x10008068u  // ToF intrinsics, CameraParam
#define MEM_ADDR_EXTRIN_PARAM        0x100080C8u  // ToF-to-colour extrinsics, CameraExtrinParam
#define MEM_ADDR_FILTER_JSON         0x10008128u  // depth-library filter configuration text
#define MEM_ADDR_CAPABILITY_JSON     0x10008D28u  // "/etc/capability.json"
#define MEM_ADDR_APP_ALGO_PARAM      0x10009928u  // application-algorithm parameters
#define MEM_ADDR_APP_ALGO_VERSION    0x1000A528u  // application-algorithm version, up to 32 bytes
#define MEM_ADDR_MAC                 0x1000B128u  // MAC address (vendor storage item 3)
#define MEM_ADDR_SERIAL              0x1000B138u  // serial number (vendor storage item 1)
#define MEM_ADDR_BOARD_CODE          0x1000B148u  // board code (vendor storage item 26)
#define MEM_ADDR_USER_BIN            0x1000B178u  // "/userdata/const/user.bin" + n, n 0..0x20000
#define MEM_ADDR_FIRMWARE_TIME       0x1002B178u  // firmware build time text, 64 bytes
#define MEM_ADDR_FEATURE_CAPABILITY  0x1002B1B8u  // "/etc/feature_capability.json"
#define MEM_ADDR_CAMERA_ORIGINAL     0x1002BFF0u  // CameraOriginalInfo, 272 bytes
#define MEM_ADDR_APP_ALGO_COMMAND    0x1002D5F0u  // application command text
#define MEM_ADDR_USER_CUSTOM_BIN     0x1005C000u  // "/userdata/const/user_custom.bin" + n, n 0..0x20000
#define MEM_ADDR_USER_ID_BIN         0x1007C000u  // "/userdata/const/user_id.bin", whole
#define MEM_ADDR_DESCRIPTION_PACKAGE 0x10424000u  // "/oem/default/korvid.zip" + n

#define MEM_USER_FILE_SPAN 0x20000u  // offsets n of the two user files run 0..0x20000

// Sizes of the persistent block and its three areas.
#define DEV_CFG_AREA_SIZE 1024u
#define DEV_CFG_SIZE      3072u
#define REG_MEM_ADDR_SIZE 124u  // 31 words

// ---------------------------------------------------------------------------
// Enumerations
// ---------------------------------------------------------------------------

// Camera model numbers of the run-time `cameraType`.
typedef enum tagCameraType {
    E_CAMERA_Tavo                 = 4,
    E_CAMERA_TavoPlus             = 5,
    E_CAMERA_TavoGrand            = 6,
    E_CAMERA_CalvoUltraGpixel0503 = 22,
    E_CAMERA_CalvoUltraIMX570     = 23,
    E_CAMERA_TavoV1               = 1006,
    E_CAMERA_TavoPlusV1_1         = 1007,
    E_CAMERA_CalvoUltraV1_1       = 2005,
    E_CAMERA_DelvoPlus            = 6002,  // set at every start
} CameraType;

// Colour encoding of `cameraRgbEncType`; 0 means no encoder.
typedef enum tagCameraRgbEncType {
    E_CAMERA_RGB_ENC_NONE  = 0,
    E_CAMERA_RGB_ENC_H264  = 1,
    E_CAMERA_RGB_ENC_H265  = 2,
    E_CAMERA_RGB_ENC_MJPEG = 3,
    E_CAMERA_RGB_ENC_JPEG  = 4,  // the default: still pictures, sent as JPEG images
} CameraRgbEncType;

// Sensor kinds held in `SensorInfo.sensorType` (ToF and colour pages share one
// numbering, so FH8320 and FH8323 have the same number on different pages).
typedef enum _SensorType {
    // colour page
    E_SMARTSENS_SC130GS = 0,  // the default monochrome colour-channel sensor
    E_SMARTSENS_SC230AI = 3,  // through the ISP
    E_SMARTSENS_SC2210  = 4,
    E_FH8323            = 900,
    // ToF page
    E_GPIXEL_0503       = 100,
    E_VD55H1            = 200,
    E_IMX570            = 300,
    E_FH8320            = 900,
    E_SENSOR_NONE       = 10000,  // no recognised sensor
} SensorType;

// `binningMode` of a sensor page.
typedef enum _BinningMode {
    E_BINNING_NONE = 0,
    E_BINNING_2X2  = 1,
    E_BINNING_4X4  = 2,
} BinningMode;

// Run-time `cpuId`.
typedef enum _CPUType {
    E_CPU_RK3588 = 0,  // also any unrecognised chip
    E_CPU_RK3568 = 1,
    E_CPU_RK3576 = 2,
} CPUType;

// Run-time `devBoardVersion`.
typedef enum _BoardVersion {
    E_BOARD_VERSION_NONE = 0,  // no match
    E_BOARD_VERSION_V1_1 = 1,
    E_BOARD_VERSION_V2_3 = 2,
} BoardVersion;

// ---------------------------------------------------------------------------
// Persistent block
// ---------------------------------------------------------------------------

// Common settings, page 0x10000000 (288 bytes; the rest of the area is zero).
typedef struct tagCommonCfg {
    uint32_t acquisitionStartStop;      // 0x000
    uint32_t acquisitionMod;            // 0x004
    uint32_t reboot;                    // 0x008
    uint32_t upgrade;                   // 0x00C
    uint32_t recovery;                  // 0x010
    uint32_t saveCfg;                   // 0x014
    uint32_t ipConfigStatus;            // 0x018
    uint32_t enableGray;                // 0x01C  reads and writes go to run-time enableRaw
    uint32_t enableAmp;                 // 0x020
    uint32_t enableDepth;               // 0x024
    uint32_t enableRgb;                 // 0x028
    uint32_t pixelFormat;               // 0x02C
    uint32_t payloadSize;               // 0x030
    uint32_t width;                     // 0x034
    uint32_t heigth;                    // 0x038
    uint32_t rgb2depth;                 // 0x03C
    uint32_t saveDefaultCfg;            // 0x040
    uint32_t enableResendPacket;        // 0x044
    uint32_t whichSensorSelect;         // 0x048  0 ToF, 1 colour, 2 device register
    uint32_t sensorAddress;             // 0x04C
    uint32_t addressValue;              // 0x050
    uint32_t masterSlaveMode;           // 0x054
    uint32_t cameraRgbEncType;          // 0x058  CameraRgbEncType
    uint32_t enableApplationAlgo;       // 0x05C  0 none, 1 avoidance, 2 pallet, 4 avoidance (2nd gen)
    uint32_t mask;                      // 0x060
    uint32_t hardWareCheck;             // 0x064
    uint32_t workMode;                  // 0x068
    uint32_t modbusAddress;             // 0x06C
    uint32_t avoidSetMode;              // 0x070
    uint32_t enableMultiMachine;        // 0x074
    uint32_t hardwareFilterTime;        // 0x078
    uint32_t trigPeriod;                // 0x07C
    uint32_t bindingRatio;              // 0x080
    uint32_t tripleFreqHdr;             // 0x084
    uint32_t configFeatureCapability;   // 0x088
    uint32_t canBaudrate;               // 0x08C
    uint32_t syncFrame;                 // 0x090
    uint32_t customParamGroup;          // 0x094
    uint32_t tofAutoExposureMax;        // 0x098
    uint32_t highthr;                   // 0x09C
    uint32_t tofAutoExposureMin;        // 0x0A0
    uint32_t applationAlgoCalibExtric;  // 0x0A4
    uint32_t trigFrame;                 // 0x0A8
    uint32_t outputControlMode;         // 0x0AC
    uint32_t outputSet;                 // 0x0B0
    uint32_t reserved[6];               // 0x0B4..0x0C8
    uint32_t trigDelay;                 // 0x0CC
    uint32_t canNodeid;                 // 0x0D0
    uint32_t canDataFormat;             // 0x0D4
    uint32_t pyramidBinningLevel;       // 0x0D8
    uint32_t algoEnableMulti;           // 0x0DC
    uint32_t microFrameSpan;            // 0x0E0
    float    photodiodeBias;            // 0x0E4
    uint32_t _3DFreqMode;               // 0x0E8
    uint32_t phaseOptions;              // 0x0EC
    uint32_t reinitProcess;             // 0x0F0
    uint32_t bindingRatio2;             // 0x0F4
    uint32_t tofDelayClose;             // 0x0F8
    uint32_t apdElectricityA;           // 0x0FC
    uint32_t apdElectricityB;           // 0x100
    uint32_t apdElectricityC;           // 0x104
    uint32_t apdRankGain;               // 0x108
    uint32_t apdCalibCount;             // 0x10C
    uint32_t rgbDelayTime;              // 0x110
    uint32_t outputIoMode;              // 0x114
    uint32_t canRsSw;                   // 0x118
    uint32_t glareLevel;                // 0x11C
} CommonCfg;

// One sensor page (240 bytes): colour at 0x10001000, ToF at 0x10002000.
typedef struct tagSensorInfo {
    uint32_t sensorType;             // 0x000  SensorType
    uint32_t width;                  // 0x004
    uint32_t heigth;                 // 0x008
    uint32_t maxWidth;               // 0x00C
    uint32_t maxHeigth;              // 0x010
    uint32_t roi_lt_x;               // 0x014
    uint32_t roi_lt_y;               // 0x018
    uint32_t roi_br_x;               // 0x01C
    uint32_t roi_br_y;               // 0x020
    uint32_t pixelFormat;            // 0x024
    uint32_t HDRMode;                // 0x028
    uint32_t fps;                    // 0x02C
    uint32_t binningMode;            // 0x030  BinningMode
    float    temperature;            // 0x034
    float    LD_temperature;         // 0x038
    uint32_t hfilp;                  // 0x03C  horizontal flip
    uint32_t vfilp;                  // 0x040  vertical flip
    uint32_t a_gain;                 // 0x044
    uint32_t d_gain;                 // 0x048
    uint32_t exposureMode;           // 0x04C
    uint32_t groupCFreq;             // 0x050  colour page: integration time 0
    uint32_t exposureTimeMax0;       // 0x054
    uint32_t exposureTimeMin0;       // 0x058
    uint32_t exposureTime1;          // 0x05C  colour page: integration time 1
    uint32_t nInteC;                 // 0x060
    uint32_t exposureTimeMin1;       // 0x064
    uint32_t freqMode;               // 0x068
    uint32_t groupAFreq;             // 0x06C
    uint32_t groupBFreq;             // 0x070
    uint32_t enableCalibWiggling;    // 0x074
    uint32_t enableCalibTemp;        // 0x078
    uint32_t enableUndistort;        // 0x07C
    uint32_t enableDdistaneZ;        // 0x080
    uint32_t min_amp;                // 0x084
    uint32_t max_amp;                // 0x088
    uint32_t enableFppn;             // 0x08C
    int32_t  globalOffset;           // 0x090
    uint32_t depthCalib;             // 0x094  ToF page: goes to run-time enableDepthCalib
    uint32_t newcameramatrix_scale;  // 0x098
    uint32_t nInteA;                 // 0x09C
    uint32_t nInteB;                 // 0x0A0
    uint32_t nPulseH;                // 0x0A4
    uint32_t nPulseL;                // 0x0A8
    uint32_t enableMedianFilter;     // 0x0AC
    uint32_t MedianFilterR;          // 0x0B0
    uint32_t enableMinAmpFilter;     // 0x0B4
    uint32_t enableRmFlyPixel;       // 0x0B8
    uint32_t RmFlyPixelRadus;        // 0x0BC
    float    RmFlyPixelK1;           // 0x0C0
    float    RmFlyPixelK0;           // 0x0C4
    uint32_t fusionPerferAmp;        // 0x0C8
    uint32_t enableHdr;              // 0x0CC
    uint32_t maximum_depth;          // 0x0D0
    uint32_t minimum_depth;          // 0x0D4
    uint32_t enableAutoExposure;     // 0x0D8
    uint32_t targetBrightLevel;      // 0x0DC
    uint32_t vldEnable;              // 0x0E0
    uint32_t startStopStream;        // 0x0E4  ToF page: start or stop the ToF stream
    uint32_t vldTemp;                // 0x0E8
    uint32_t tofDataMode;            // 0x0EC
} SensorInfo;

// A 1024-byte area of the block: a sensor record followed by zero padding.
typedef union tagSensorArea {
    SensorInfo info;
    uint8_t    bytes[DEV_CFG_AREA_SIZE];
} SensorArea;

// Index of a sensor area in deviceCFG::sensor; also (page - REG_PAGE_RGB) >> 12.
#define DEV_CFG_SENSOR_RGB 0
#define DEV_CFG_SENSOR_TOF 1

// The persistent configuration block and the byte image of the configuration
// files: exactly 3072 bytes, no header, no checksum.
typedef struct tagDeviceCFG {
    union {
        CommonCfg common;                        // bytes 0..287
        uint8_t   commonArea[DEV_CFG_AREA_SIZE]; // bytes 288..1023 stay zero
    };
    SensorArea sensor[2];  // [DEV_CFG_SENSOR_RGB] at 1024, [DEV_CFG_SENSOR_TOF] at 2048
} deviceCFG;

// ---------------------------------------------------------------------------
// Run-time record, page 0x10007000 (31 words, never saved)
// ---------------------------------------------------------------------------

typedef struct tagDeviceRegMemAddr {
    uint32_t cameraType;            // 0x00  CameraType
    uint32_t cameraRgbEncType;      // 0x04
    uint32_t avoidMask;             // 0x08
    uint32_t avoidTmpParam;         // 0x0C
    uint32_t rgbWorker;             // 0x10
    uint32_t enableDepthCalib;      // 0x14  mirror of 0x10002094
    uint32_t enableRaw;             // 0x18  mirror of 0x1000001C
    uint32_t avoidResult;           // 0x1C
    uint32_t enableBackgroundAmp;   // 0x20
    uint32_t cpuId;                 // 0x24  CPUType
    uint32_t obstaclesThreshold;    // 0x28
    uint32_t enableApdCalib;        // 0x2C
    float    apdTemp;               // 0x30
    float    apdVoltage;            // 0x34
    uint32_t enableBuildMap;        // 0x38
    uint32_t localtionDebugMode;    // 0x3C
    uint32_t enableLocaltion;       // 0x40
    uint32_t softwareTrigSwitch;    // 0x44
    uint32_t administratorMode;     // 0x48
    uint32_t cpldCalibDelay;        // 0x4C
    uint32_t devLogic;              // 0x50  FPGA logic variant
    uint32_t apdElectricityCalib;   // 0x54
    int32_t  MCILevel;              // 0x58
    int32_t  deviceLogLevel;        // 0x5C
    uint32_t devBoardVersion;       // 0x60  BoardVersion
    uint32_t devCanIoTest;          // 0x64
    uint32_t H4LightMode;           // 0x68
    uint32_t curGPOStatus;          // 0x6C
    uint32_t curGPIStatus;          // 0x70
    uint32_t richRadar;             // 0x74
    uint32_t richRadarPort;         // 0x78
} deviceRegMemAddr;

// ---------------------------------------------------------------------------
// Camera parameter records served through the memory window
// ---------------------------------------------------------------------------

typedef struct tagCameraParam {
    double fx, fy, cx, cy;
    double d0, d1, d2, d3, d4;
} CameraParam;

typedef struct tagCameraExtrinParam {
    double r00, r01, r02;
    double r10, r11, r12;
    double r20, r21, r22;
    double Tx, Ty, Tz;
} CameraExtrinParam;

typedef struct tagCameraOriginalInfo {
    double            tofWidth;
    double            tofHeight;
    CameraParam       tofCameraParm;
    double            rgbWidth;
    double            rgbHeight;
    CameraParam       rgbCameraParm;
    CameraExtrinParam cameraExtrinParam;
} CameraOriginalInfo;

// ---------------------------------------------------------------------------
// The register space
// ---------------------------------------------------------------------------

// Both are null until the register space is initialised; afterwards they live
// for the process.
extern deviceCFG*        g_dev_cfg;
extern deviceRegMemAddr* g_regMemAddr;

// The register space has no lock: protocol workers and internal tasks read and
// write single words concurrently. Each word is read and written whole; these
// two do that without a data race (relaxed: no ordering between words is
// promised). Use them for any field that another thread may change.
template <typename T>
inline T reg_load(const T& field)
{
    static_assert(sizeof(T) == 4, "registers are 32-bit words");
    T v;
    __atomic_load(&field, &v, __ATOMIC_RELAXED);
    return v;
}

template <typename T>
inline void reg_store(T& field, T value)
{
    static_assert(sizeof(T) == 4, "registers are 32-bit words");
    __atomic_store(&field, &value, __ATOMIC_RELAXED);
}

// Byte offset of a word inside the block, and its address, for a page.
#define DEV_CFG_OFFSET_RGB 1024u
#define DEV_CFG_OFFSET_TOF 2048u

// ---------------------------------------------------------------------------
// Register and memory access
// ---------------------------------------------------------------------------

// Result codes of the four access functions.
#define REG_OK              0x0000
#define REG_NOT_IMPLEMENTED 0x8001  // no such register, or not writable in the present mode
#define REG_ALGO_FAIL       0x8002  // the application algorithm or depth processing refused the text
#define REG_INVALID_ADDRESS 0x8003  // no block to write at the address
#define REG_WRITE_PROTECT   0x8004  // the address lies in a block hosts only read
#define REG_BAD_ALIGNMENT   0x8005  // the address is not that of a 32-bit word
#define REG_REFUSED         0xFFFF  // value refused, or the block could not be served
// The device could not carry the request out (no room, a file it could not
// write); unlike REG_REFUSED, never an invitation to fetch a file.
#define REG_NOT_DONE        0x8FFF

// Host access: the read_reg, write_reg, read_mem and write_mem callbacks of
// the protocol devices. Callable from any thread.
int Custom_RegRead(uint32_t address, uint32_t* value);
int Custom_RegWrite(uint32_t address, uint32_t* value);
int Custom_MemRead(uint32_t address, uint8_t* value, uint32_t len);
int Custom_MemWrite(uint32_t address, uint8_t* value, uint32_t len);

// A sensor driver's own write (a rate it lowers to what its sensor runs
// at, the integration lengths its capture raises at a restart): the write
// rules apply, but not the limits on what hosts set.
int Custom_DriverRegWrite(uint32_t address, uint32_t* value);

// Judges a block read from a file by the write rules, the ToF and colour
// kinds being the detected ones: each field holding a value no host write
// could have left takes its value from `defaults`. The number of fields
// replaced; their names, comma separated, go to `names` (cut to `size`).
int custom_check_cfg(deviceCFG* cfg, const deviceCFG* defaults, uint32_t tofKind, uint32_t rgbKind, char* names,
                     size_t size);

// The register-triggered device actions of the common page; called by
// Custom_RegWrite before the word is stored. 0, or a negative number.
int Custom_DeviceControl(uint32_t address, uint32_t* value);
// Pass-through behind 0x10000050: operation 1 writes, 0 reads the register
// sensorAddress of the device whichSensorSelect names (0 ToF sensor, 2 the
// register space, others the colour sensor). 0, or REG_REFUSED for a
// pass-through onto 0x10000050 itself.
int Custom_SensorRegReadWrite(uint32_t address, uint32_t* value, uint32_t operation);
// Description-package chunk at `address` without the range test.
int Custom_GetXML(uint32_t address, uint8_t* value, uint32_t len);

// The block as 32-bit words and the run-time record, for direct field reads
// (null before the register space is initialised).
uint32_t*         get_device_cfg(void);
deviceRegMemAddr* get_reg_mem_addr(void);

// Set while a stream start requested through 0x10000000 is in force.
extern std::atomic<uint8_t> g_sdk_start_flags;
// The last ToF frame rate handed to the ToF sensor.
extern std::atomic<uint32_t> g_tof_fps;

// Whole-block access. Word access takes no lock; loading, replacing and
// saving the whole block do, so that a save never writes a half-replaced
// block. The copies move word by word, so concurrent word readers see each
// word either old or new.
void reg_block_lock(void);
void reg_block_unlock(void);
// Copies the block out (caller holds the lock or accepts a moving image).
void reg_block_copy_out(deviceCFG* out);
// Replaces the block with `len` bytes of `data` (at most 3072), the rest
// zero. The caller holds the lock.
void reg_block_copy_in(const void* data, size_t len);

struct RegBlockLock {
    RegBlockLock() { reg_block_lock(); }
    ~RegBlockLock() { reg_block_unlock(); }
    RegBlockLock(const RegBlockLock&) = delete;
    RegBlockLock& operator=(const RegBlockLock&) = delete;
};

// Clock of the start/stop pacing (monotonic ms and a sleep); tests replace
// it. Null arguments restore the system clock.
void custom_set_clock(uint32_t (*now_ms)(void), void (*sleep_ms)(unsigned long));

// ---------------------------------------------------------------------------
// Layout pins: these offsets are register addresses hosts use.
// ---------------------------------------------------------------------------

#define KORVID_PIN(T, f, off) static_assert(offsetof(T, f) == (off), #T "." #f " moved")

static_assert(sizeof(CommonCfg) == 288, "CommonCfg is 288 bytes");
KORVID_PIN(CommonCfg, acquisitionStartStop, 0x000);
KORVID_PIN(CommonCfg, acquisitionMod, 0x004);
KORVID_PIN(CommonCfg, reboot, 0x008);
KORVID_PIN(CommonCfg, upgrade, 0x00C);
KORVID_PIN(CommonCfg, recovery, 0x010);
KORVID_PIN(CommonCfg, saveCfg, 0x014);
KORVID_PIN(CommonCfg, ipConfigStatus, 0x018);
KORVID_PIN(CommonCfg, enableGray, 0x01C);
KORVID_PIN(CommonCfg, enableAmp, 0x020);
KORVID_PIN(CommonCfg, enableDepth, 0x024);
KORVID_PIN(CommonCfg, enableRgb, 0x028);
KORVID_PIN(CommonCfg, pixelFormat, 0x02C);
KORVID_PIN(CommonCfg, payloadSize, 0x030);
KORVID_PIN(CommonCfg, width, 0x034);
KORVID_PIN(CommonCfg, heigth, 0x038);
KORVID_PIN(CommonCfg, rgb2depth, 0x03C);
KORVID_PIN(CommonCfg, saveDefaultCfg, 0x040);
KORVID_PIN(CommonCfg, enableResendPacket, 0x044);
KORVID_PIN(CommonCfg, whichSensorSelect, 0x048);
KORVID_PIN(CommonCfg, sensorAddress, 0x04C);
KORVID_PIN(CommonCfg, addressValue, 0x050);
KORVID_PIN(CommonCfg, masterSlaveMode, 0x054);
KORVID_PIN(CommonCfg, cameraRgbEncType, 0x058);
KORVID_PIN(CommonCfg, enableApplationAlgo, 0x05C);
KORVID_PIN(CommonCfg, mask, 0x060);
KORVID_PIN(CommonCfg, hardWareCheck, 0x064);
KORVID_PIN(CommonCfg, workMode, 0x068);
KORVID_PIN(CommonCfg, modbusAddress, 0x06C);
KORVID_PIN(CommonCfg, avoidSetMode, 0x070);
KORVID_PIN(CommonCfg, enableMultiMachine, 0x074);
KORVID_PIN(CommonCfg, hardwareFilterTime, 0x078);
KORVID_PIN(CommonCfg, trigPeriod, 0x07C);
KORVID_PIN(CommonCfg, bindingRatio, 0x080);
KORVID_PIN(CommonCfg, tripleFreqHdr, 0x084);
KORVID_PIN(CommonCfg, configFeatureCapability, 0x088);
KORVID_PIN(CommonCfg, canBaudrate, 0x08C);
KORVID_PIN(CommonCfg, syncFrame, 0x090);
KORVID_PIN(CommonCfg, customParamGroup, 0x094);
KORVID_PIN(CommonCfg, tofAutoExposureMax, 0x098);
KORVID_PIN(CommonCfg, highthr, 0x09C);
KORVID_PIN(CommonCfg, tofAutoExposureMin, 0x0A0);
KORVID_PIN(CommonCfg, applationAlgoCalibExtric, 0x0A4);
KORVID_PIN(CommonCfg, trigFrame, 0x0A8);
KORVID_PIN(CommonCfg, outputControlMode, 0x0AC);
KORVID_PIN(CommonCfg, outputSet, 0x0B0);
KORVID_PIN(CommonCfg, reserved, 0x0B4);
KORVID_PIN(CommonCfg, trigDelay, 0x0CC);
KORVID_PIN(CommonCfg, canNodeid, 0x0D0);
KORVID_PIN(CommonCfg, canDataFormat, 0x0D4);
KORVID_PIN(CommonCfg, pyramidBinningLevel, 0x0D8);
KORVID_PIN(CommonCfg, algoEnableMulti, 0x0DC);
KORVID_PIN(CommonCfg, microFrameSpan, 0x0E0);
KORVID_PIN(CommonCfg, photodiodeBias, 0x0E4);
KORVID_PIN(CommonCfg, _3DFreqMode, 0x0E8);
KORVID_PIN(CommonCfg, phaseOptions, 0x0EC);
KORVID_PIN(CommonCfg, reinitProcess, 0x0F0);
KORVID_PIN(CommonCfg, bindingRatio2, 0x0F4);
KORVID_PIN(CommonCfg, tofDelayClose, 0x0F8);
KORVID_PIN(CommonCfg, apdElectricityA, 0x0FC);
KORVID_PIN(CommonCfg, apdElectricityB, 0x100);
KORVID_PIN(CommonCfg, apdElectricityC, 0x104);
KORVID_PIN(CommonCfg, apdRankGain, 0x108);
KORVID_PIN(CommonCfg, apdCalibCount, 0x10C);
KORVID_PIN(CommonCfg, rgbDelayTime, 0x110);
KORVID_PIN(CommonCfg, outputIoMode, 0x114);
KORVID_PIN(CommonCfg, canRsSw, 0x118);
KORVID_PIN(CommonCfg, glareLevel, 0x11C);

static_assert(sizeof(SensorInfo) == 240, "SensorInfo is 240 bytes");
KORVID_PIN(SensorInfo, sensorType, 0x000);
KORVID_PIN(SensorInfo, width, 0x004);
KORVID_PIN(SensorInfo, heigth, 0x008);
KORVID_PIN(SensorInfo, maxWidth, 0x00C);
KORVID_PIN(SensorInfo, maxHeigth, 0x010);
KORVID_PIN(SensorInfo, roi_lt_x, 0x014);
KORVID_PIN(SensorInfo, roi_lt_y, 0x018);
KORVID_PIN(SensorInfo, roi_br_x, 0x01C);
KORVID_PIN(SensorInfo, roi_br_y, 0x020);
KORVID_PIN(SensorInfo, pixelFormat, 0x024);
KORVID_PIN(SensorInfo, HDRMode, 0x028);
KORVID_PIN(SensorInfo, fps, 0x02C);
KORVID_PIN(SensorInfo, binningMode, 0x030);
KORVID_PIN(SensorInfo, temperature, 0x034);
KORVID_PIN(SensorInfo, LD_temperature, 0x038);
KORVID_PIN(SensorInfo, hfilp, 0x03C);
KORVID_PIN(SensorInfo, vfilp, 0x040);
KORVID_PIN(SensorInfo, a_gain, 0x044);
KORVID_PIN(SensorInfo, d_gain, 0x048);
KORVID_PIN(SensorInfo, exposureMode, 0x04C);
KORVID_PIN(SensorInfo, groupCFreq, 0x050);
KORVID_PIN(SensorInfo, exposureTimeMax0, 0x054);
KORVID_PIN(SensorInfo, exposureTimeMin0, 0x058);
KORVID_PIN(SensorInfo, exposureTime1, 0x05C);
KORVID_PIN(SensorInfo, nInteC, 0x060);
KORVID_PIN(SensorInfo, exposureTimeMin1, 0x064);
KORVID_PIN(SensorInfo, freqMode, 0x068);
KORVID_PIN(SensorInfo, groupAFreq, 0x06C);
KORVID_PIN(SensorInfo, groupBFreq, 0x070);
KORVID_PIN(SensorInfo, enableCalibWiggling, 0x074);
KORVID_PIN(SensorInfo, enableCalibTemp, 0x078);
KORVID_PIN(SensorInfo, enableUndistort, 0x07C);
KORVID_PIN(SensorInfo, enableDdistaneZ, 0x080);
KORVID_PIN(SensorInfo, min_amp, 0x084);
KORVID_PIN(SensorInfo, max_amp, 0x088);
KORVID_PIN(SensorInfo, enableFppn, 0x08C);
KORVID_PIN(SensorInfo, globalOffset, 0x090);
KORVID_PIN(SensorInfo, depthCalib, 0x094);
KORVID_PIN(SensorInfo, newcameramatrix_scale, 0x098);
KORVID_PIN(SensorInfo, nInteA, 0x09C);
KORVID_PIN(SensorInfo, nInteB, 0x0A0);
KORVID_PIN(SensorInfo, nPulseH, 0x0A4);
KORVID_PIN(SensorInfo, nPulseL, 0x0A8);
KORVID_PIN(SensorInfo, enableMedianFilter, 0x0AC);
KORVID_PIN(SensorInfo, MedianFilterR, 0x0B0);
KORVID_PIN(SensorInfo, enableMinAmpFilter, 0x0B4);
KORVID_PIN(SensorInfo, enableRmFlyPixel, 0x0B8);
KORVID_PIN(SensorInfo, RmFlyPixelRadus, 0x0BC);
KORVID_PIN(SensorInfo, RmFlyPixelK1, 0x0C0);
KORVID_PIN(SensorInfo, RmFlyPixelK0, 0x0C4);
KORVID_PIN(SensorInfo, fusionPerferAmp, 0x0C8);
KORVID_PIN(SensorInfo, enableHdr, 0x0CC);
KORVID_PIN(SensorInfo, maximum_depth, 0x0D0);
KORVID_PIN(SensorInfo, minimum_depth, 0x0D4);
KORVID_PIN(SensorInfo, enableAutoExposure, 0x0D8);
KORVID_PIN(SensorInfo, targetBrightLevel, 0x0DC);
KORVID_PIN(SensorInfo, vldEnable, 0x0E0);
KORVID_PIN(SensorInfo, startStopStream, 0x0E4);
KORVID_PIN(SensorInfo, vldTemp, 0x0E8);
KORVID_PIN(SensorInfo, tofDataMode, 0x0EC);

static_assert(sizeof(SensorArea) == DEV_CFG_AREA_SIZE, "a sensor area is 1024 bytes");
static_assert(sizeof(deviceCFG) == DEV_CFG_SIZE, "deviceCFG is 3072 bytes");
static_assert(alignof(deviceCFG) == 4, "deviceCFG is an array of 32-bit words");
KORVID_PIN(deviceCFG, common, 0);
KORVID_PIN(deviceCFG, sensor, DEV_CFG_AREA_SIZE);
static_assert(offsetof(deviceCFG, sensor) + DEV_CFG_SENSOR_RGB * sizeof(SensorArea) == 1024,
              "colour area at byte 1024");
static_assert(offsetof(deviceCFG, sensor) + DEV_CFG_SENSOR_TOF * sizeof(SensorArea) == 2048,
              "ToF area at byte 2048");

static_assert(sizeof(deviceRegMemAddr) == REG_MEM_ADDR_SIZE, "deviceRegMemAddr is 31 words");
KORVID_PIN(deviceRegMemAddr, cameraType, 0x00);
KORVID_PIN(deviceRegMemAddr, cameraRgbEncType, 0x04);
KORVID_PIN(deviceRegMemAddr, avoidMask, 0x08);
KORVID_PIN(deviceRegMemAddr, avoidTmpParam, 0x0C);
KORVID_PIN(deviceRegMemAddr, rgbWorker, 0x10);
KORVID_PIN(deviceRegMemAddr, enableDepthCalib, 0x14);
KORVID_PIN(deviceRegMemAddr, enableRaw, 0x18);
KORVID_PIN(deviceRegMemAddr, avoidResult, 0x1C);
KORVID_PIN(deviceRegMemAddr, enableBackgroundAmp, 0x20);
KORVID_PIN(deviceRegMemAddr, cpuId, 0x24);
KORVID_PIN(deviceRegMemAddr, obstaclesThreshold, 0x28);
KORVID_PIN(deviceRegMemAddr, enableApdCalib, 0x2C);
KORVID_PIN(deviceRegMemAddr, apdTemp, 0x30);
KORVID_PIN(deviceRegMemAddr, apdVoltage, 0x34);
KORVID_PIN(deviceRegMemAddr, enableBuildMap, 0x38);
KORVID_PIN(deviceRegMemAddr, localtionDebugMode, 0x3C);
KORVID_PIN(deviceRegMemAddr, enableLocaltion, 0x40);
KORVID_PIN(deviceRegMemAddr, softwareTrigSwitch, 0x44);
KORVID_PIN(deviceRegMemAddr, administratorMode, 0x48);
KORVID_PIN(deviceRegMemAddr, cpldCalibDelay, 0x4C);
KORVID_PIN(deviceRegMemAddr, devLogic, 0x50);
KORVID_PIN(deviceRegMemAddr, apdElectricityCalib, 0x54);
KORVID_PIN(deviceRegMemAddr, MCILevel, 0x58);
KORVID_PIN(deviceRegMemAddr, deviceLogLevel, 0x5C);
KORVID_PIN(deviceRegMemAddr, devBoardVersion, 0x60);
KORVID_PIN(deviceRegMemAddr, devCanIoTest, 0x64);
KORVID_PIN(deviceRegMemAddr, H4LightMode, 0x68);
KORVID_PIN(deviceRegMemAddr, curGPOStatus, 0x6C);
KORVID_PIN(deviceRegMemAddr, curGPIStatus, 0x70);
KORVID_PIN(deviceRegMemAddr, richRadar, 0x74);
KORVID_PIN(deviceRegMemAddr, richRadarPort, 0x78);

static_assert(sizeof(CameraParam) == 72, "CameraParam is 72 bytes");
static_assert(sizeof(CameraExtrinParam) == 96, "CameraExtrinParam is 96 bytes");
static_assert(sizeof(CameraOriginalInfo) == 272, "CameraOriginalInfo is 272 bytes");
KORVID_PIN(CameraOriginalInfo, tofCameraParm, 16);
KORVID_PIN(CameraOriginalInfo, rgbWidth, 88);
KORVID_PIN(CameraOriginalInfo, rgbCameraParm, 104);
KORVID_PIN(CameraOriginalInfo, cameraExtrinParam, 176);

#undef KORVID_PIN

#endif  // KORVID_COMMON_CUSTOM_H
