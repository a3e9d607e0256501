// Wire layouts of the GigE Vision stream packets the sender builds and of the
// packet-resend command it serves. Every multi-byte field is big-endian and
// every struct is byte-aligned, so a struct is its datagram byte for byte.
#ifndef KORVID_GIGE_GVSP_CODEC_H
#define KORVID_GIGE_GVSP_CODEC_H

#include <stddef.h>
#include <stdint.h>

namespace gvsp {

// Big-endian unsigned fields stored as bytes: no alignment, no padding.
struct be16 {
    uint8_t b[2];
    constexpr void set(uint16_t v)
    {
        b[0] = (uint8_t)(v >> 8);
        b[1] = (uint8_t)v;
    }
    constexpr uint16_t get() const { return (uint16_t)((b[0] << 8) | b[1]); }
};

struct be32 {
    uint8_t b[4];
    constexpr void set(uint32_t v)
    {
        b[0] = (uint8_t)(v >> 24);
        b[1] = (uint8_t)(v >> 16);
        b[2] = (uint8_t)(v >> 8);
        b[3] = (uint8_t)v;
    }
    constexpr uint32_t get() const
    {
        return ((uint32_t)b[0] << 24) | ((uint32_t)b[1] << 16) | ((uint32_t)b[2] << 8) | b[3];
    }
};

// Packet formats, carried with the extended-id flag 0x80.
enum : uint8_t {
    DATA_LEADER_FORMAT = 1,
    DATA_TRAILER_FORMAT = 2,
    DATA_PAYLOAD_FORMAT = 3,
    EXTENDED_ID_FLAG = 0x80,
};

// Status and flag of a resent packet.
constexpr uint16_t kResendStatus = 0x0100;
constexpr uint16_t kResendFlag = 0x0001;

// Payload types (tagGvspPayloadType).
enum tagGvspPayloadType : uint16_t {
    GVSP_PAYLOAD_TYPE_IMAGE = 0x0001,
    GVSP_PAYLOAD_TYPE_JPEG2000 = 0x0007,
    GVSP_PAYLOAD_TYPE_H264 = 0x0008,
    GVSP_PAYLOAD_TYPE_H265 = 0x8000,
    GVSP_PAYLOAD_TYPE_MJPEG = 0x8001,
    GVSP_PAYLOAD_TYPE_AVOID = 0x8002,
    GVSP_PAYLOAD_TYPE_PALLET = 0x8003,
    GVSP_PAYLOAD_TYPE_AVOID2 = 0x8005,
};

// Common 20-byte header (GVSPLeader then SpecLeaderAdd).
struct GVSPHeader {
    be16    status;
    be16    flag;
    uint8_t format;       // 0x80 | packet format
    uint8_t packetId[3];  // 24-bit id, 0 in extended-id mode
    be32    blockId64H;
    be32    blockId64L;
    be32    packId32;
};

struct ImageLeaderPacket {
    GVSPHeader header;
    uint8_t    fieldInfo;
    uint8_t    reserved1;  // image type
    be16       payloadType;
    be32       timestampH;
    be32       timestampL;
    be32       pixelFormat;
    be32       sizeX;
    be32       sizeY;
    be32       offsetX;  // lower 32 bits of the frame index
    be32       offsetY;  // PDFlags of a depth frame
    be16       paddingX;
    be16       paddingY;
};

struct ImageTrailPacket {
    GVSPHeader header;
    be16       reserved1;
    be16       payloadType;
    be32       sizeY;
};

struct JPEGLeaderPacket {
    GVSPHeader header;
    uint8_t    fieldInfo;
    uint8_t    JPEGFlag;
    be16       payloadType;
    be32       timestampH;
    be32       timestampL;
    be32       payloadSizeH;
    be32       payloadSizeL;
    be32       timestampTickRrequencyH;  // lower 32 bits of the frame index
    be32       timestampTickRrequencyL;
    be32       dataFormat;
};

struct JPEGTrailerPacket {
    GVSPHeader header;
    be16       reserved;
    be16       payloadType;
};

struct H264LeaderPacket {
    GVSPHeader header;
    be16       reserved0;
    be16       payloadType;
    be32       payloadSizeH;
    be32       payloadSizeL;
    be16       reserved1;
    be16       packetSize;  // lower 16 bits of the data size
    be32       reserved2[4];
};

// Header of a video payload packet; the data follow at offset 28.
struct H264PayloadHeader {
    GVSPHeader header;
    be32       timeStampH;
    be32       timeStampL;
};

struct H264TrailPacket {
    GVSPHeader header;
    be16       reserved;
    be16       payloadType;
};

struct AvoidLeaderPacket {
    GVSPHeader header;
    uint8_t    fieldInfo;
    uint8_t    reserved1;
    be16       payloadType;
    be32       timestampH;
    be32       timestampL;
    be32       payloadSize;
};

struct AvoidTrailPacket {
    GVSPHeader header;
    be16       reserved1;
    be16       payloadType;
};


static_assert(sizeof(be16) == 2 && alignof(be16) == 1);
static_assert(sizeof(be32) == 4 && alignof(be32) == 1);
static_assert(sizeof(GVSPHeader) == 20);
static_assert(offsetof(GVSPHeader, format) == 4 && offsetof(GVSPHeader, blockId64H) == 8);
static_assert(offsetof(GVSPHeader, blockId64L) == 12 && offsetof(GVSPHeader, packId32) == 16);
static_assert(sizeof(ImageLeaderPacket) == 56);
static_assert(offsetof(ImageLeaderPacket, reserved1) == 21 && offsetof(ImageLeaderPacket, payloadType) == 22);
static_assert(offsetof(ImageLeaderPacket, pixelFormat) == 32 && offsetof(ImageLeaderPacket, offsetX) == 44);
static_assert(offsetof(ImageLeaderPacket, offsetY) == 48 && offsetof(ImageLeaderPacket, paddingY) == 54);
static_assert(sizeof(ImageTrailPacket) == 28 && offsetof(ImageTrailPacket, sizeY) == 24);
static_assert(sizeof(JPEGLeaderPacket) == 52);
static_assert(offsetof(JPEGLeaderPacket, payloadSizeL) == 36 && offsetof(JPEGLeaderPacket, dataFormat) == 48);
static_assert(sizeof(JPEGTrailerPacket) == 24);
static_assert(sizeof(H264LeaderPacket) == 52);
static_assert(offsetof(H264LeaderPacket, payloadType) == 22 && offsetof(H264LeaderPacket, payloadSizeL) == 28);
static_assert(offsetof(H264LeaderPacket, packetSize) == 34);
static_assert(sizeof(H264PayloadHeader) == 28);
static_assert(sizeof(H264TrailPacket) == 24);
static_assert(sizeof(AvoidLeaderPacket) == 36 && offsetof(AvoidLeaderPacket, payloadSize) == 32);
static_assert(sizeof(AvoidTrailPacket) == 24);

// Fills a header: format is DATA_*_FORMAT; resent packets carry the resend
// status and flag.
inline void put_header(GVSPHeader& h, uint8_t format, uint64_t blockId, uint32_t packId, bool resent = false)
{
    h.status.set(resent ? kResendStatus : 0);
    h.flag.set(resent ? kResendFlag : 0);
    h.format = (uint8_t)(EXTENDED_ID_FLAG | format);
    h.packetId[0] = h.packetId[1] = h.packetId[2] = 0;
    h.blockId64H.set((uint32_t)(blockId >> 32));
    h.blockId64L.set((uint32_t)blockId);
    h.packId32.set(packId);
}

}  // namespace gvsp

#endif
