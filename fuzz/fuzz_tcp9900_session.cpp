// Fuzz target for whole upload sessions on the file-transfer port: the
// input describes uploads, which are sent the way a host sends them (start
// with the right digest, data chunks, end) and cut into pieces at random
// points, so every upload gets past the digest to the content checks and
// what follows them: the block replaced, the parameter group imported and
// loaded, archives unpacked, the filter and the application settings
// applied. Each input starts on a board in the same state.
//
// Input: a session byte (bits 0-1 the application-algorithm mode 0, 1, 2 or
// 4; bit 2 a board that keeps the avoidance zone itself), then records of
// an upload: a type byte (low bits pick the file type; bit 7 a digest wrong
// in its last character; bit 6 shapes the payload into what the type
// expects: a gzip magic, a whole block, a camera type and block, an archive
// whose entries the payload names), a two-byte big-endian payload length,
// the payload, and a byte seeding the chunk size and the cut points.
//
// After each upload: an accepted block is the live block (the block the
// device would load from the stored file); after the session: nothing was
// written outside the board root and no temporary file is left.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "common/custom.h"
#include "common/persist.h"
#include "fuzz/fuzzboard.h"
#include "tests/server/filemsg.h"
#include "server/tcp_server.h"
#include "simzip.h"

namespace {

using namespace filemsg;

constexpr uint32_t kTypes[] = {DEV_CONFIG_FILE,  IMPORT_CUSTOM_PARAM_FILE, APP_ALGO_CONFIG_FILE, DEVICE_FILTER_FILE,
                               HIGH_INTEGRAL_IMG, LOW_INTEGRAL_IMG,        OBSTRACLE_FILE,       UPLOAD_MAP_FILE,
                               UPGRADE_FILE,     CAM_INTR_FILE,            APD_CALIB_FILE,       DEV_LOG_FILE};
constexpr size_t kMaxUploads = 8;

// No capture runs here: a raw-frame request gives up at once. Each session
// runs on one of the application-algorithm modes, half on an IMX570 board.
struct Device : fuzzboard::Device {
    Device() { tcp_file_set_timeouts(50, 1); }
    void reset(uint8_t session)
    {
        fuzzboard::Device::reset();
        static constexpr uint32_t kModes[] = {0, 1, 2, 4};
        reg_store(cfg.common.enableApplationAlgo, kModes[session & 3]);
        reg_store(run.cameraType, (uint32_t)E_CAMERA_DelvoPlus);
        if (session & 4) {
            reg_store(run.cpuId, (uint32_t)E_CPU_RK3568);
            reg_store(cfg.sensor[DEV_CFG_SENSOR_TOF].info.sensorType, (uint32_t)E_IMX570);
        }
    }
};

// A small generator for the chunk sizes and cut points.
struct Cuts {
    uint32_t state;
    uint32_t next(uint32_t bound)
    {
        state = state * 1103515245u + 12345u;
        return 1 + (state >> 8) % bound;
    }
};

// Entries named by the payload: a name length, the name, a data length and
// the data, repeated (at most four entries).
Bytes archive_of(const Bytes& payload, std::set<std::string>* names)
{
    std::vector<sim::ZipEntry> entries;
    size_t at = 0;
    while (entries.size() < 4 && at < payload.size()) {
        size_t nlen = (uint8_t)payload[at++] % 48;
        std::string name = payload.substr(at, nlen);
        at += name.size();
        size_t dlen = at < payload.size() ? (uint8_t)payload[at++] : 0;
        std::string data = payload.substr(std::min(at, payload.size()), dlen);
        at += data.size();
        if (name.empty()) continue;
        sim::ZipEntry e = sim::zip_stored(name, data, 0644, 1700000000);
        if (!name.empty() && (uint8_t)name[0] == 0xFF) e.external = (uint32_t)(S_IFLNK | 0777) << 16;
        entries.push_back(e);
        names->insert(name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1));
    }
    Bytes out;
    sim::zip_write(entries, &out);
    return out;
}

Bytes shaped(uint32_t type, const Bytes& payload, std::set<std::string>* names)
{
    switch (type) {
    case UPGRADE_FILE: return Bytes("\x1f\x8b", 2) + payload;
    case DEV_CONFIG_FILE: return payload.size() >= DEV_CFG_SIZE ? payload : payload + Bytes(DEV_CFG_SIZE - payload.size(), '\0');
    case IMPORT_CUSTOM_PARAM_FILE: {
        Bytes b;
        put32(b, E_CAMERA_DelvoPlus);
        Bytes block = payload.substr(0, DEV_CFG_SIZE);
        block.resize(DEV_CFG_SIZE, '\0');
        return b + block + (payload.size() > DEV_CFG_SIZE ? payload.substr(DEV_CFG_SIZE) : Bytes());
    }
    case HIGH_INTEGRAL_IMG:
    case LOW_INTEGRAL_IMG:
    case OBSTRACLE_FILE:
    case UPLOAD_MAP_FILE: return archive_of(payload, names);
    default: return payload;
    }
}

struct Answers {
    Bytes bytes;
    static int sink(void* ctx, const void* data, size_t len)
    {
        static_cast<Answers*>(ctx)->bytes.append(static_cast<const char*>(data), len);
        return 0;
    }
    // The code of the last answer to an upload end, -1 when none came.
    int64_t end_code() const
    {
        for (size_t at = bytes.size() / 16 * 16; at >= 16; at -= 16) {
            const uint8_t* r = reinterpret_cast<const uint8_t*>(bytes.data()) + at - 16;
            uint32_t type = r[4] | r[5] << 8 | r[6] << 16 | (uint32_t)r[7] << 24;
            if (type == FILE_MSG_UPLOAD_END) return r[12] | r[13] << 8 | r[14] << 16 | (uint32_t)r[15] << 24;
        }
        return -1;
    }
};

[[noreturn]] void broken(const char* what, const std::string& detail = "")
{
    fprintf(stderr, "upload session breaks a rule: %s %s\n", what, detail.c_str());
    abort();
}

// The live block against the block the device loads from `path` (which
// must hold what was sent, `sent`).
void check_live_block(Device& d, const char* path, const Bytes& sent)
{
    Bytes stored = fuzzboard::Board::read_all(d.board.host(path));
    if (stored != sent) broken("the stored file is not what was sent", path);
    deviceCFG live;
    memcpy(&live, &d.cfg, sizeof live);
    deviceCFG loaded;
    memcpy(&loaded, stored.data(), sizeof loaded);
    Custom_BlockReplace(&loaded);
    if (memcmp(&live, &d.cfg, sizeof live) != 0) broken("an accepted block is not the live block", path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Device d;
    if (size < 1) return 0;
    d.reset(data[0]);
    size_t at = 1;
    Answers answers;
    TcpFileConn* c = tcp_file_conn_new(Answers::sink, &answers);
    std::set<std::string> named;
    bool open = true;
    for (size_t n = 0; open && n < kMaxUploads && size - at >= 4; n++) {
        uint8_t pick = data[at];
        uint32_t type = kTypes[(pick & 0x3F) % (sizeof kTypes / sizeof kTypes[0])];
        size_t len = (size_t)data[at + 1] << 8 | data[at + 2];
        at += 3;
        if (len > size - at) len = size - at;
        Bytes payload(reinterpret_cast<const char*>(data + at), len);
        at += len;
        Cuts cuts{at < size ? data[at++] * 2654435761u : 1u};
        Bytes file = pick & 0x40 ? shaped(type, payload, &named) : payload;

        std::string md5 = md5_of(file);
        if (pick & 0x80) md5.back() = md5.back() == '0' ? '1' : '0';
        Bytes stream = header(FILE_MSG_UPLOAD_START, 7, 0) + msg_header(type, md5, (uint32_t)file.size());
        uint32_t piece = cuts.next(8192);
        for (size_t off = 0; off < file.size(); off += piece) stream += chunk(file.substr(off, piece));
        stream += header(FILE_MSG_UPLOAD_END, 7, 0);

        answers.bytes.clear();
        for (size_t off = 0; off < stream.size();) {
            size_t cut = std::min<size_t>(cuts.next(1500), stream.size() - off);
            if (tcp_file_conn_feed(c, reinterpret_cast<const uint8_t*>(stream.data()) + off, cut) != 0) {
                open = false;
                break;
            }
            off += cut;
        }
        if (!open) break;
        int64_t code = answers.end_code();
        if (type == DEV_LOG_FILE) continue;  // refused at the start: its end belongs to no upload
        if (code < 0) broken("an upload end was not answered");
        if (code == 0 && (pick & 0x80)) broken("an upload with a wrong digest was accepted");
        if (code == 0 && type == DEV_CONFIG_FILE) check_live_block(d, CONFIG_FILE, file);
        if (code == 0 && type == IMPORT_CUSTOM_PARAM_FILE)
            check_live_block(d, "/userdata/const/config0.bin", file.substr(4, DEV_CFG_SIZE));
    }
    tcp_file_conn_free(c);
    if (!d.board.nothing_outside()) broken("something was written outside the board root");
    std::vector<std::string> left = d.board.temporary_files(named);
    if (!left.empty()) broken("a temporary file was left:", left[0]);
    return 0;
}
