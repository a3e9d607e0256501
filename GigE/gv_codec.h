// Wire codec of the GigE Vision messages: the GVCP command and
// acknowledgement layouts (every multi-byte field big-endian on the wire)
// and their encoders and decoders. The structs below are the wire layouts
// themselves, held in host order: a field's offset in the struct is its
// offset in the datagram, pinned by static_assert, and the codec moves each
// field at that offset. The stream sender and its resend handling share it.
#ifndef KORVID_GIGE_GV_CODEC_H
#define KORVID_GIGE_GV_CODEC_H

#include <stddef.h>
#include <string.h>

#include "common/common.h"

// Command codes.
typedef enum tagGVCP_CMD {
    DISCOVERY_CMD = 0x0002,
    DISCOVERY_ACK = 0x0003,
    FORCEIP_CMD = 0x0004,
    FORCEIP_ACK = 0x0005,
    PACKETRESEND_CMD = 0x0040,
    READREG_CMD = 0x0080,
    READREG_ACK = 0x0081,
    WRITEREG_CMD = 0x0082,
    WRITEREG_ACK = 0x0083,
    READMEM_CMD = 0x0084,
    READMEM_ACK = 0x0085,
    WRITEMEM_CMD = 0x0086,
    WRITEMEM_ACK = 0x0087,
} GVCP_CMD;

// Status codes of the acknowledgements (GigE Vision's numbering).
#define GEV_STATUS_SUCCESS           0x0000
#define GEV_STATUS_NOT_IMPLEMENTED   0x8001
#define GEV_STATUS_INVALID_PARAMETER 0x8002
#define GEV_STATUS_INVALID_ADDRESS   0x8003
#define GEV_STATUS_WRITE_PROTECT     0x8004
#define GEV_STATUS_BAD_ALIGNMENT     0x8005
#define GEV_STATUS_ACCESS_DENIED     0x8006
#define GEV_STATUS_INVALID_HEADER    0x800E
#define GEV_STATUS_ERROR             0xFFFF

#define GVCP_KEY            0x42
#define GVCP_FLAG_BROADCAST 0x11  // a discovery asking for a broadcast answer
#define GVCP_HEADER_SIZE    8u

// Records of the handler: a datagram holds at most this many items.
#define GVCP_READREG_MAX  135u
#define GVCP_WRITEREG_MAX 67u
#define GVCP_MEM_MAX      3072u
#define GVCP_BUF_SIZE     4096u

typedef struct tagGVCPHeader {
    uint8  keyValue;
    uint8  flag;
    uint16 command;
    uint16 length;  // bytes after the header
    uint16 reqId;
} GVCPHeader;

typedef struct tagGVCPHeaderAck {
    uint16 status;
    uint16 acknowledge;
    uint16 length;
    uint16 ackId;
} GVCPHeaderAck;

typedef struct tagGVCPDiscoverAck {
    GVCPHeaderAck header;
    uint32 version;
    uint32 deviceMode;
    uint16 reserved1;
    uint16 macAddressH;
    uint32 macAddressL;
    uint32 ipConfigOption;
    uint32 ipConfigCurrent;
    uint32 cameraType;
    uint32 cameraRGBEncType;
    uint32 reserved4;
    uint32 currentIp;
    uint32 reserved5[3];
    uint32 currentMask;
    uint32 reserved8[3];
    uint32 currentGateway;
    char   manufacturerName[32];
    char   moduleName[32];
    char   deviceVersion[32];
    char   manufacturerSpecificInformation[48];
    char   serialNumber[16];
    char   userDefinedName[16];
} GVCPDiscoverAck;

typedef struct tagForceIpCmd {
    GVCPHeader header;
    uint16 reserved1;
    uint16 macAddressHigh;
    uint32 macAddressLow;
    uint32 reserved2[3];
    uint32 staticIp;
    uint32 reserved5[3];
    uint32 staticMask;
    uint32 reserved8[3];
    uint32 staticGateway;
} ForceIpCmd;

typedef struct tagGVCPReadMemCmd {
    GVCPHeader header;
    uint32 memAddress;
    uint16 reserved1;
    uint16 count;
} GVCPReadMemCmd;

// Header of a memory write; memValue follows.
typedef struct tagGVCPWriteMemCmd {
    GVCPHeader header;
    uint32 memAddress;
} GVCPWriteMemCmd;

// Header of a memory-read acknowledgement; memValue follows.
typedef struct tagGVCPReadMemAck {
    GVCPHeaderAck header;
    uint32 memAddress;
} GVCPReadMemAck;

// Acknowledgement of register and memory writes.
typedef struct tagGVCPWriteAck {
    GVCPHeaderAck header;
    uint16 reserved1;
    uint16 index;
} GVCPWriteAck;

typedef struct tagRegInfo {
    uint32 regAddress;
    uint32 regValue;
} RegInfo;

typedef struct tagGVCPPacketResendCmd {
    GVCPHeader header;
    uint16 streamChannelIndex;
    uint16 reserved1;
    uint32 firstPacketId;
    uint32 lastPacketId;
    uint32 blockId64H;
    uint32 blockId64L;
} GVCPPacketResendCmd;

#define GV_PIN(T, f, off) static_assert(offsetof(T, f) == (off), #T "." #f " is not at its wire offset")
static_assert(sizeof(GVCPHeader) == 8 && sizeof(GVCPHeaderAck) == 8);
GV_PIN(GVCPHeader, flag, 1);
GV_PIN(GVCPHeader, command, 2);
GV_PIN(GVCPHeader, length, 4);
GV_PIN(GVCPHeader, reqId, 6);
GV_PIN(GVCPHeaderAck, acknowledge, 2);
GV_PIN(GVCPHeaderAck, length, 4);
GV_PIN(GVCPHeaderAck, ackId, 6);
static_assert(sizeof(GVCPDiscoverAck) == 256);
GV_PIN(GVCPDiscoverAck, version, 8);
GV_PIN(GVCPDiscoverAck, macAddressH, 18);
GV_PIN(GVCPDiscoverAck, macAddressL, 20);
GV_PIN(GVCPDiscoverAck, cameraType, 32);
GV_PIN(GVCPDiscoverAck, currentIp, 44);
GV_PIN(GVCPDiscoverAck, currentMask, 60);
GV_PIN(GVCPDiscoverAck, currentGateway, 76);
GV_PIN(GVCPDiscoverAck, manufacturerName, 80);
GV_PIN(GVCPDiscoverAck, moduleName, 112);
GV_PIN(GVCPDiscoverAck, deviceVersion, 144);
GV_PIN(GVCPDiscoverAck, manufacturerSpecificInformation, 176);
GV_PIN(GVCPDiscoverAck, serialNumber, 224);
GV_PIN(GVCPDiscoverAck, userDefinedName, 240);
static_assert(sizeof(ForceIpCmd) == 64);
GV_PIN(ForceIpCmd, macAddressHigh, 10);
GV_PIN(ForceIpCmd, macAddressLow, 12);
GV_PIN(ForceIpCmd, staticIp, 28);
GV_PIN(ForceIpCmd, staticMask, 44);
GV_PIN(ForceIpCmd, staticGateway, 60);
static_assert(sizeof(GVCPReadMemCmd) == 16);
GV_PIN(GVCPReadMemCmd, memAddress, 8);
GV_PIN(GVCPReadMemCmd, count, 14);
static_assert(sizeof(GVCPWriteMemCmd) == 12 && sizeof(GVCPReadMemAck) == 12);
static_assert(sizeof(GVCPWriteAck) == 12);
GV_PIN(GVCPWriteAck, index, 10);
static_assert(sizeof(RegInfo) == 8);
static_assert(sizeof(GVCPPacketResendCmd) == 28);
GV_PIN(GVCPPacketResendCmd, streamChannelIndex, 8);
GV_PIN(GVCPPacketResendCmd, firstPacketId, 12);
GV_PIN(GVCPPacketResendCmd, lastPacketId, 16);
GV_PIN(GVCPPacketResendCmd, blockId64H, 20);
GV_PIN(GVCPPacketResendCmd, blockId64L, 24);
#undef GV_PIN

namespace gv {

inline uint16 get16(const uint8* p) { return (uint16)((p[0] << 8) | p[1]); }
inline uint32 get32(const uint8* p)
{
    return ((uint32)p[0] << 24) | ((uint32)p[1] << 16) | ((uint32)p[2] << 8) | (uint32)p[3];
}
inline void put16(uint8* p, uint16 v)
{
    p[0] = (uint8)(v >> 8);
    p[1] = (uint8)v;
}
inline void put32(uint8* p, uint32 v)
{
    p[0] = (uint8)(v >> 24);
    p[1] = (uint8)(v >> 16);
    p[2] = (uint8)(v >> 8);
    p[3] = (uint8)v;
}

// Decoders take the datagram and its length: false (nothing decoded) when
// the datagram is shorter than the layout, or, for a command header, when
// its key is not 0x42. Encoders write sizeof(layout) bytes.
bool decode(const uint8* buf, size_t len, GVCPHeader* out);
bool decode(const uint8* buf, size_t len, GVCPHeaderAck* out);
bool decode(const uint8* buf, size_t len, GVCPDiscoverAck* out);
bool decode(const uint8* buf, size_t len, ForceIpCmd* out);
bool decode(const uint8* buf, size_t len, GVCPReadMemCmd* out);
bool decode(const uint8* buf, size_t len, GVCPWriteMemCmd* out);
bool decode(const uint8* buf, size_t len, GVCPReadMemAck* out);
bool decode(const uint8* buf, size_t len, GVCPWriteAck* out);
bool decode(const uint8* buf, size_t len, RegInfo* out);
bool decode(const uint8* buf, size_t len, GVCPPacketResendCmd* out);

void encode(uint8* out, const GVCPHeader& in);
void encode(uint8* out, const GVCPHeaderAck& in);
void encode(uint8* out, const GVCPDiscoverAck& in);
void encode(uint8* out, const ForceIpCmd& in);
void encode(uint8* out, const GVCPReadMemCmd& in);
void encode(uint8* out, const GVCPWriteMemCmd& in);
void encode(uint8* out, const GVCPReadMemAck& in);
void encode(uint8* out, const GVCPWriteAck& in);
void encode(uint8* out, const RegInfo& in);
void encode(uint8* out, const GVCPPacketResendCmd& in);

// Items of `unit` bytes a request carries: the count its header declares,
// bounded by the bytes that arrived after the header and by `max`.
// *short_ is set when the declared length runs past the datagram, *over when
// the count was cut to `max`.
uint32 item_count(const GVCPHeader& h, size_t datagramLen, uint32 unit, uint32 max, bool* short_, bool* over);

}  // namespace gv

#endif
