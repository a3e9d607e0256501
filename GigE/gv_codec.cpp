// GigE Vision wire codec: each field of a layout moves big-endian at its
// offset in the layout struct, text fields byte for byte.
#include "GigE/gv_codec.h"

#include <type_traits>

namespace gv {
namespace {

template <typename F>
void put_field(uint8* base, size_t off, const F& v)
{
    if constexpr (std::is_array_v<F>) {
        if constexpr (sizeof(v[0]) == 1) {
            memcpy(base + off, v, sizeof(F));
        } else {
            for (size_t i = 0; i < std::extent_v<F>; i++) put_field(base, off + i * sizeof(v[0]), v[i]);
        }
    } else if constexpr (sizeof(F) == 1) {
        base[off] = (uint8)v;
    } else if constexpr (sizeof(F) == 2) {
        put16(base + off, (uint16)v);
    } else {
        static_assert(sizeof(F) == 4, "GVCP fields are 1, 2 or 4 bytes");
        put32(base + off, (uint32)v);
    }
}

template <typename F>
void get_field(const uint8* base, size_t off, F& v)
{
    if constexpr (std::is_array_v<F>) {
        if constexpr (sizeof(v[0]) == 1) {
            memcpy(v, base + off, sizeof(F));
        } else {
            for (size_t i = 0; i < std::extent_v<F>; i++) get_field(base, off + i * sizeof(v[0]), v[i]);
        }
    } else if constexpr (sizeof(F) == 1) {
        v = (F)base[off];
    } else if constexpr (sizeof(F) == 2) {
        v = (F)get16(base + off);
    } else {
        v = (F)get32(base + off);
    }
}

}  // namespace

// Field lists of the layouts: F(field) for each member after the embedded header.
#define GV_HDR_FIELDS(F) F(keyValue) F(flag) F(command) F(length) F(reqId)
#define GV_ACK_FIELDS(F) F(status) F(acknowledge) F(length) F(ackId)
#define GV_DISCOVER_FIELDS(F)                                                                                       \
    F(version) F(deviceMode) F(reserved1) F(macAddressH) F(macAddressL) F(ipConfigOption) F(ipConfigCurrent)       \
    F(cameraType) F(cameraRGBEncType) F(reserved4) F(currentIp) F(reserved5) F(currentMask) F(reserved8)           \
    F(currentGateway) F(manufacturerName) F(moduleName) F(deviceVersion) F(manufacturerSpecificInformation)       \
    F(serialNumber) F(userDefinedName)
#define GV_FORCEIP_FIELDS(F)                                                                                        \
    F(reserved1) F(macAddressHigh) F(macAddressLow) F(reserved2) F(staticIp) F(reserved5) F(staticMask)          \
    F(reserved8) F(staticGateway)
#define GV_READMEM_FIELDS(F) F(memAddress) F(reserved1) F(count)
#define GV_WRITEMEM_FIELDS(F) F(memAddress)
#define GV_READMEM_ACK_FIELDS(F) F(memAddress)
#define GV_WRITE_ACK_FIELDS(F) F(reserved1) F(index)
#define GV_REGINFO_FIELDS(F) F(regAddress) F(regValue)
#define GV_RESEND_FIELDS(F) F(streamChannelIndex) F(reserved1) F(firstPacketId) F(lastPacketId) F(blockId64H) F(blockId64L)

#define GV_ENC(f) put_field(out, offsetof(T, f), in.f);
#define GV_DEC(f) get_field(buf, offsetof(T, f), out->f);

// A layout without an embedded header.
#define GV_CODEC_PLAIN(Type, FIELDS)                                 \
    void encode(uint8* out, const Type& in)                          \
    {                                                                \
        using T = Type;                                              \
        FIELDS(GV_ENC)                                               \
    }                                                                \
    bool decode(const uint8* buf, size_t len, Type* out)             \
    {                                                                \
        using T = Type;                                              \
        if (!buf || !out || len < sizeof(T)) return false;           \
        FIELDS(GV_DEC)                                               \
        return true;                                                 \
    }

// A layout that starts with a command or acknowledgement header.
#define GV_CODEC_WITH_HEADER(Type, FIELDS)                           \
    void encode(uint8* out, const Type& in)                          \
    {                                                                \
        using T = Type;                                              \
        encode(out, in.header);                                      \
        FIELDS(GV_ENC)                                               \
    }                                                                \
    bool decode(const uint8* buf, size_t len, Type* out)             \
    {                                                                \
        using T = Type;                                              \
        if (!out || len < sizeof(T) || !decode(buf, len, &out->header)) return false; \
        FIELDS(GV_DEC)                                               \
        return true;                                                 \
    }

void encode(uint8* out, const GVCPHeader& in)
{
    using T = GVCPHeader;
    GV_HDR_FIELDS(GV_ENC)
}

bool decode(const uint8* buf, size_t len, GVCPHeader* out)
{
    using T = GVCPHeader;
    if (!buf || !out || len < sizeof(T) || buf[0] != GVCP_KEY) return false;
    GV_HDR_FIELDS(GV_DEC)
    return true;
}

GV_CODEC_PLAIN(GVCPHeaderAck, GV_ACK_FIELDS)
GV_CODEC_PLAIN(RegInfo, GV_REGINFO_FIELDS)
GV_CODEC_WITH_HEADER(GVCPDiscoverAck, GV_DISCOVER_FIELDS)
GV_CODEC_WITH_HEADER(ForceIpCmd, GV_FORCEIP_FIELDS)
GV_CODEC_WITH_HEADER(GVCPReadMemCmd, GV_READMEM_FIELDS)
GV_CODEC_WITH_HEADER(GVCPWriteMemCmd, GV_WRITEMEM_FIELDS)
GV_CODEC_WITH_HEADER(GVCPReadMemAck, GV_READMEM_ACK_FIELDS)
GV_CODEC_WITH_HEADER(GVCPWriteAck, GV_WRITE_ACK_FIELDS)
GV_CODEC_WITH_HEADER(GVCPPacketResendCmd, GV_RESEND_FIELDS)

uint32 item_count(const GVCPHeader& h, size_t datagramLen, uint32 unit, uint32 max, bool* short_, bool* over)
{
    size_t arrived = datagramLen > GVCP_HEADER_SIZE ? datagramLen - GVCP_HEADER_SIZE : 0;
    size_t declared = h.length;
    bool cut = declared > arrived;
    size_t n = (cut ? arrived : declared) / unit;
    bool capped = n > max;
    if (capped) n = max;
    if (short_) *short_ = cut;
    if (over) *over = capped;
    return (uint32)n;
}

}  // namespace gv
