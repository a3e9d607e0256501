// TCP file-transfer server on port 9900: hosts upload files to the device
// (calibration, configuration block, firmware package, parameter groups,
// filter and application settings, maps) and download files from it (logs,
// a raw ToF frame, maps, the parameter export, capability files), each
// transfer carrying the file's MD5 digest.
//
// Every message field is a little-endian 32-bit word. Each connection keeps
// its own partial message and its own upload; an upload is written to a
// temporary file beside its target and replaces the target only once its
// digest (and, for the firmware package and archives, its contents) check
// out. No pump waits on a host: downloads and the work at the end of an
// upload run on transfer threads, each message bounded by the transfer
// time-out, and a connection without a whole message for that long is
// closed.
#ifndef KORVID_SERVER_TCP_SERVER_H
#define KORVID_SERVER_TCP_SERVER_H

#include <stddef.h>

#include <atomic>

#include "common/common.h"
#include "eptype.h"

// Port of the file-transfer service.
#define FILE_TRANSFER_PORT 9900

// ---------------------------------------------------------------------------
// Wire records
// ---------------------------------------------------------------------------

// Start of every message in both directions.
typedef struct _FileCommonHeader {
    uint32 msg_reqid;
    uint32 msg_type;  // FILE_MSG_*
    uint32 index;
} FileCommonHeader;

// Follows the header of an upload start, a download request and the
// device's download announcement.
#define FILE_MD5_FIELD 64
typedef struct _FileMsgHeader {
    uint32 file_type;  // _FileType
    uint32 file_lengthH;
    uint32 file_lengthL;
    char   file_md5[FILE_MD5_FIELD];  // 32 hexadecimal characters, then a zero byte
} FileMsgHeader;

// Answer to a message: its header, then the error code.
typedef struct _FileMsgRsp {
    FileCommonHeader header;
    uint32           msg_errcode;  // 0 success, 1 failure
} FileMsgRsp;

static_assert(sizeof(FileCommonHeader) == 12, "FileCommonHeader is 12 bytes");
static_assert(sizeof(FileMsgHeader) == 76, "FileMsgHeader is 76 bytes");
static_assert(sizeof(FileMsgRsp) == 16, "FileMsgRsp is 16 bytes");

// Message types.
enum {
    FILE_MSG_UPLOAD_START = 0,
    FILE_MSG_DATA = 1,  // a u32 msg_len and msg_len bytes follow
    FILE_MSG_UPLOAD_END = 2,
    FILE_MSG_DOWNLOAD = 6,
};

// Longest data chunk a host may send.
#define FILE_MSG_LEN_MAX 0x0FEFFFFFu
// Chunk size of downloads.
#define FILE_CHUNK_SIZE 0x200000u

typedef enum _FileType {
    HIGH_INTEGRAL_IMG = 0,
    LOW_INTEGRAL_IMG = 1,
    DEV_CONFIG_FILE = 2,
    CAM_INTR_FILE = 3,
    OBSTRACLE_FILE = 4,
    UPGRADE_FILE = 5,
    APD_CALIB_FILE = 6,
    DEV_LOG_FILE = 7,
    APPLATION_LOG_FILE = 8,
    TOF_RAW_IMAGE = 9,
    UPLOAD_MAP_FILE = 11,
    UPLOAD_CURRENT_MAP_FILE = 12,
    DOWNLOAD_MAP_FILE = 13,
    IMPORT_CUSTOM_PARAM_FILE = 14,
    EXPORT_CUSTOM_PARAM_FILE = 15,
    DEVICE_FILTER_FILE = 20,
    APP_ALGO_CONFIG_FILE = 21,
    PARAM_CAPILITY_FILE = 22,
    FUNC_CAPILITY_FILE = 23,
} FileType;

// Board files of the transfers.
#define CUSTOM_PARAM_FILE   "/userdata/custom_param.bin"
#define MERGE_CONFIG_FILE   "/userdata/mergeConfig.bin"
#define CAMERA_TYPE_BIN     "/userdata/cameraType.bin"
#define TOF_RAW_FILE        "/userdata/tof_raw.bin"
#define VISLOC_CONFIG_DIR   "/etc/visloc_config"

// ---------------------------------------------------------------------------
// Raw-frame request, shared with the ToF capture
// ---------------------------------------------------------------------------

// The raw-frame request (g_raw_flags, g_raw_image, g_raw_image_size) is
// shared with the ToF capture.
#include "server/raw_frame.h"

// ---------------------------------------------------------------------------
// Handlers
// ---------------------------------------------------------------------------

// IOHandler of the 9900 listener (on every pump) and of its connections;
// vpcore is the event core.
int tcp_pump(void* vpcore, void* vobj, int event, int fdtype);

// Handles every whole message waiting on the connection: 0, -1 (bad
// arguments), or -ENETDOWN once the connection has been closed.
int tcp_file_parse(epcore_t* core, iodev_t* dev);

// The download of one file on the calling thread, which may wait (each
// message bounded by the transfer time-out): receives the FileMsgHeader that
// follows `header` on the connection and sends the file. 0, -1, or
// -ENETDOWN once the connection has been closed.
int tcp_send_file(epcore_t* core, iodev_t* dev, FileCommonHeader* header);

// Imports CUSTOM_PARAM_FILE as parameter group 0 and loads the group: 0 or -1.
int custom_paramGroupParse(void);

// Time-out of each message of a transfer (sent or received whole) and of a
// connection that sends no whole message, in ms, and the longest wait for a
// raw frame. Defaults 10000 and 2000; values below 1 restore them (tests).
void tcp_file_set_timeouts(int transferMs, int rawFrameMs);

// ---------------------------------------------------------------------------
// One connection's message handling over buffers (fuzzing, tests)
// ---------------------------------------------------------------------------

// Where a connection's answers go: 0 sent, -1 failed.
typedef int (*TcpFileSink)(void* ctx, const void* data, size_t len);
typedef struct TcpFileConn TcpFileConn;

TcpFileConn* tcp_file_conn_new(TcpFileSink sink, void* ctx);
// Handles `len` bytes as they arrived after those fed before; what a download
// would receive from the host is taken from the rest of these bytes only.
// 0, or -ENETDOWN when the connection would be closed (nothing more is
// handled afterwards).
int  tcp_file_conn_feed(TcpFileConn* conn, const uint8* data, size_t len);
// Drops the connection; an unfinished upload's temporary file goes with it.
void tcp_file_conn_free(TcpFileConn* conn);

#endif
