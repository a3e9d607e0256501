// Modbus tasks: the RTU slave on the RS-485 line and the Modbus TCP server.
//
// libmodbus does the framing, the CRC and the serial and TCP handling; the
// slave builds its own answers from the result record that waits on its
// data list. Both tasks block only in bounded waits, so a stop request
// (the worker's or the core's quit flag) is seen within kPollMs.
#include "modbus/modbus_task.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <modbus.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "algo/algo_app.h"
#include "common/custom.h"
#include "common/network.h"
#include "epcore.h"
#include "log/logger.h"
#include "memory.h"
#include "peripheral/led.h"
#include "platform.h"
#include "server/udp_server.h"
#include "worker.h"

const uint8 TCP_INPUT_BITS_TAB[3] = {0xAC, 0xDB, 0x35};
const uint16 TCP_INPUT_REGISTERS_TAB[TCP_INPUT_REGISTERS_NB] = {};

namespace {

constexpr uint32 kRegEnableApplicationAlgo = 0x1000005C;
constexpr uint32 kRegModbusAddress = 0x1000006C;
constexpr uint32 kRegTofSensorType = 0x10002000;
constexpr uint32 kRegAvoidTmpParam = 0x1000700C;
constexpr uint32 kRegCpuId = 0x10007024;

constexpr uint8 kFuncReadInput = 4;
constexpr uint8 kFuncWriteSingle = 6;
constexpr uint8 kExceptionFlag = 0x80;
constexpr uint8 kIllegalDataValue = 3;
// Slave address, function code and two 16-bit fields.
constexpr int kRequestBytes = 6;
// Answer header: slave address, function code, byte count.
constexpr int kAnswerHeader = 3;
// Highest zone index of the RK3568 board with the IMX570 ToF sensor.
constexpr uint16 kZoneMax = 19;

// Longest wait between looks at the quit flags.
constexpr int kPollMs = 50;
// Lets the transceiver finish sending before the line turns round.
constexpr int kAfterAnswerMs = 100;
// A failing line is not retried in a tight loop.
constexpr int kLineErrorPauseMs = 10;
constexpr int kListenRetryMs = 1000;

static_assert(kAnswerHeader + 2 * MODBUS_READ_COUNT_MAX <= MODBUS_RTU_FRAME_MAX - 2,
              "the longest answer and its CRC fit one RTU frame");
static_assert(sizeof(SSResult) == UDP_ALGO_RESULT_SIZE);

bool stopping(worker_t* wk) { return wk->quit.load() || wk->epcore->quit.load(); }

uint32 reg_read(uint32 address)
{
    uint32 v = 0;
    Custom_RegRead(address, &v);
    return v;
}

uint16 be16(const uint8* p) { return (uint16)(p[0] << 8 | p[1]); }

// Waits until `fd` has something to read: 1, 0 when the task is asked to
// stop, -1 when the descriptor cannot be polled.
int wait_readable(worker_t* wk, int fd)
{
    while (!stopping(wk)) {
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, kPollMs);
        if (rc > 0) return 1;
        if (rc < 0 && errno != EINTR) return -1;
    }
    return 0;
}

// Sleeps up to ms, cut short by a stop request.
void pause_ms(worker_t* wk, int ms)
{
    for (int left = ms; left > 0 && !stopping(wk); left -= kPollMs) wait_ms(left < kPollMs ? left : kPollMs);
}

// The record's bytes as stored; a short record reads as zero past its end.
RS485Info record_info(const ImageInfo* rec)
{
    RS485Info info{};
    size_t n = rec->imageSize < sizeof(info) ? rec->imageSize : sizeof(info);
    memcpy(&info, rec->imageData, n);
    return info;
}

// Carries out a write of a single register; false when the value is
// refused, which goes unanswered.
bool write_register(uint16 reg, uint16 value)
{
    if (reg == MODBUS_REG_ZONE) {
        if (reg_read(kRegCpuId) == E_CPU_RK3568 && reg_read(kRegTofSensorType) == E_IMX570) {
            if (value > kZoneMax) {
                log_error(g_logger, __FUNCTION__, __LINE__, "AVOID modbus setting error:%d > %d", value, kZoneMax);
                return false;
            }
            log_info(g_logger, __FUNCTION__, __LINE__, "AVOID modbus setting:%d", value);
            uint32 v = value;
            Custom_RegWrite(kRegAvoidTmpParam, &v);
        } else {
            int ret = algo_avoid_set_zone_index2(value);
            log_info(g_logger, __FUNCTION__, __LINE__, "algo_avoid_set_zone_index ret:%d", ret);
        }
    } else if (reg == MODBUS_REG_APPLICATION) {
        uint32 v = value ? 2 : 0;
        Custom_RegWrite(kRegEnableApplicationAlgo, &v);
    }
    return true;
}

int send_answer(const ModbusRtuSink* sink, const uint8* answer, int length)
{
    if (sink && sink->send) sink->send(sink->ctx, answer, length);
    return length;
}

// Answer to a read of input registers: the record's data for the register
// the present mode serves, 0 for none.
int answer_read(const uint8* req, const ImageInfo* rec, const ModbusRtuSink* sink)
{
    uint16 reg = be16(req + 2);
    uint16 count = be16(req + 4);
    uint32 mode = reg_read(kRegEnableApplicationAlgo);
    bool avoid = reg == MODBUS_REG_AVOID_RESULT && mode == 4;
    bool pallet = reg == MODBUS_REG_PALLET_RESULT && mode == 2;
    if (!rec || (!avoid && !pallet)) return 0;

    // Zeroed: registers past the record's data read as 0.
    uint8 out[MODBUS_RTU_FRAME_MAX] = {};
    out[0] = req[0];
    out[1] = kFuncReadInput;
    if (count < 1 || count > MODBUS_READ_COUNT_MAX) {
        out[1] |= kExceptionFlag;
        out[2] = kIllegalDataValue;
        return send_answer(sink, out, kAnswerHeader);
    }
    out[2] = (uint8)(count * 2);
    RS485Info info = record_info(rec);
    uint8* p = out + kAnswerHeader;
    if (avoid) {
        memcpy(p, &info.result, 4);
    } else {
        for (const void* field : {(const void*)&info.x, (const void*)&info.y, (const void*)&info.yaw,
                                  (const void*)&info.result, (const void*)&info.height}) {
            memcpy(p, field, 4);
            p += 4;
        }
    }
    return send_answer(sink, out, kAnswerHeader + count * 2);
}

// The line's end of the slave: the transceiver turned to transmit, then the
// answer with its CRC.
int line_send(void* ctx, const uint8* answer, int length)
{
    GPIO_Control(MODBUS_DIR_GPIO, 1);
    int rc = modbus_send_raw_request(static_cast<modbus_t*>(ctx), answer, length);
    if (rc < 0) log_error(g_logger, __FUNCTION__, __LINE__, "modbus send fail:%s", modbus_strerror(errno));
    return rc;
}

void close_free(modbus_t* ctx)
{
    modbus_close(ctx);
    modbus_free(ctx);
}

/* ---- TCP endpoint ---- */

std::mutex s_endpointMu;
std::string s_endpointIp;
int s_endpointPort = 0;

void tcp_endpoint(std::string* ip, int* port)
{
    {
        std::lock_guard<std::mutex> lk(s_endpointMu);
        *ip = s_endpointIp;
        *port = s_endpointPort ? s_endpointPort : MODBUS_TCP_PORT;
    }
    if (!ip->empty()) return;
    uint32 addr = 0, mask = 0, macH = 0, macL = 0;
    GetLocalInfo(&addr, &mask, &macH, &macL);
    in_addr a{htonl(addr)};
    char text[INET_ADDRSTRLEN];
    *ip = inet_ntop(AF_INET, &a, text, sizeof(text)) ? text : "0.0.0.0";
}

// Before a read or write of the register tables, the tables take the result
// service's latest answer: index bytes into registers 0..7, res bytes into
// 8..15, one byte per register. A failed query leaves them as they were.
void refresh_from_service(worker_t* wk, modbus_mapping_t* map, const uint8* query, int length, int header)
{
    if (length < header + 3) return;
    uint16 start = be16(query + header + 1);
    uint16* table = nullptr;
    if (start >= TCP_INPUT_REGISTERS_ADDRESS && start <= TCP_INPUT_REGISTERS_ADDRESS + TCP_INPUT_REGISTERS_NB)
        table = map->tab_input_registers;
    else if (start >= TCP_REGISTERS_ADDRESS && start <= TCP_REGISTERS_ADDRESS + TCP_REGISTERS_NB_MAX)
        table = map->tab_registers;
    if (!table) return;
    SSResult r{};
    if (recvForAlgo(wk, reinterpret_cast<uint8*>(&r), 1) != 0) return;
    for (int i = 0; i < 8; i++) {
        table[i] = r.index[i];
        table[8 + i] = r.res[i];
    }
}

// Serves one connected client until it goes away or the task is stopped.
void serve_client(worker_t* wk, modbus_t* ctx, modbus_mapping_t* map, uint8* query, int header)
{
    while (wait_readable(wk, modbus_get_socket(ctx)) == 1) {
        int rc = modbus_receive(ctx, query);
        if (rc == 0) continue;
        if (rc < 0) return;
        refresh_from_service(wk, map, query, rc, header);
        modbus_reply(ctx, query, rc, map);
    }
}

} // namespace

int modbus_rtu_handle(const uint8* frame, int length, const ImageInfo* record, const ModbusRtuSink* sink)
{
    if (!frame || length < kRequestBytes) return 0;
    // Every slave on the line takes a broadcast; an answer would collide.
    bool broadcast = frame[0] == MODBUS_BROADCAST_ADDRESS;
    switch (frame[1]) {
    case kFuncWriteSingle:
        if (!write_register(be16(frame + 2), be16(frame + 4)) || broadcast) return 0;
        return send_answer(sink, frame, kRequestBytes);
    case kFuncReadInput:
        return broadcast ? 0 : answer_read(frame, record, sink);
    default:
        return 0;
    }
}

void modbus_tcp_set_endpoint(const char* ip, int port)
{
    std::lock_guard<std::mutex> lk(s_endpointMu);
    s_endpointIp = ip ? ip : "";
    s_endpointPort = port;
}

void* modbus_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, frame_datafree);
    set_task_name("modbus");

    // libmodbus opens the line by its host path.
    char path[PATH_MAX];
    modbus_t* ctx = plat_path(MODBUS_RTU_DEVICE, path, sizeof(path))
                        ? modbus_new_rtu(path, MODBUS_RTU_BAUD, 'N', 8, 1)
                        : nullptr;
    if (!ctx) {
        log_error(g_logger, __FUNCTION__, __LINE__, "modbus_new_rtu fail.");
        worker_destory(wk);
        return nullptr;
    }
    modbus_set_debug(ctx, FALSE);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        worker_destory(wk);
        return nullptr;
    }
    uint32 address = reg_read(kRegModbusAddress);
    if (address > MODBUS_SLAVE_MAX) {
        log_error(g_logger, __FUNCTION__, __LINE__, "error modbus address:0x%x", address);
        close_free(ctx);
        worker_destory(wk);
        return nullptr;
    }
    if (address == 0) address = MODBUS_SLAVE_DEFAULT;
    else log_info(g_logger, __FUNCTION__, __LINE__, "modbusAddress:0x%x", address);
    modbus_set_slave(ctx, (int)address);

    const ModbusRtuSink sink{line_send, ctx};
    uint8 frame[MODBUS_RTU_FRAME_MAX];
    while (!core->quit.load() && !wk->quit.load()) {
        GPIO_Control(MODBUS_DIR_GPIO, 0);
        int ready = wait_readable(wk, modbus_get_socket(ctx));
        if (ready == 0) continue;
        // Frames for other slaves come back as 0.
        int rc = ready > 0 ? modbus_receive(ctx, frame) : -1;
        if (rc <= 0) {
            if (rc < 0) pause_ms(wk, kLineErrorPauseMs);
            continue;
        }
        ImageInfo* rec = frame_take(wk);
        if (modbus_rtu_handle(frame, rc, rec, &sink) > 0) wait_ms(kAfterAnswerMs);
        free_image(core, rec);
    }
    close_free(ctx);
    // Logged while still registered: whoever waits for the task to go may
    // take the logger away once it has.
    log_info(g_logger, __FUNCTION__, __LINE__, "end modbus task");
    worker_destory(wk);
    return nullptr;
}

void* modbus_tcp_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("modbus tcp");
    if (recvForAlgo(wk, nullptr, 0) != 0) log_error(g_logger, __FUNCTION__, __LINE__, "canopen_init fail.");

    std::string ip;
    int port = 0;
    tcp_endpoint(&ip, &port);
    modbus_t* ctx = modbus_new_tcp(ip.c_str(), port);
    uint8* query = ctx ? static_cast<uint8*>(kzalloc(MODBUS_TCP_MAX_ADU_LENGTH)) : nullptr;
    if (!query) {
        log_error(g_logger, __FUNCTION__, __LINE__, "modbus_new_tcp fail.");
        if (ctx) modbus_free(ctx);
        recvForAlgo(wk, nullptr, 2);
        worker_destory(wk);
        return nullptr;
    }
    int header = modbus_get_header_length(ctx);
    printf("header_length:%d\n", header);
    modbus_set_debug(ctx, TRUE);

    modbus_mapping_t* map = modbus_mapping_new_start_address(
        TCP_BITS_ADDRESS, TCP_BITS_NB, TCP_INPUT_BITS_ADDRESS, TCP_INPUT_BITS_NB, TCP_REGISTERS_ADDRESS,
        TCP_REGISTERS_NB_MAX, TCP_INPUT_REGISTERS_ADDRESS, TCP_INPUT_REGISTERS_NB);
    if (!map) {
        fprintf(stderr, "Failed to allocate the mapping: %s\n", modbus_strerror(errno));
        modbus_free(ctx);
        kfree(query);
        recvForAlgo(wk, nullptr, 2);
        worker_destory(wk);
        return nullptr;
    }
    modbus_set_bits_from_bytes(map->tab_input_bits, 0, TCP_INPUT_BITS_NB, TCP_INPUT_BITS_TAB);
    for (int i = 0; i < TCP_INPUT_REGISTERS_NB; i++) map->tab_input_registers[i] = TCP_INPUT_REGISTERS_TAB[i];

    while (!stopping(wk)) {
        int server = modbus_tcp_listen(ctx, 1);
        if (server < 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "modbus_tcp_listen fail:%s", modbus_strerror(errno));
            pause_ms(wk, kListenRetryMs);
            continue;
        }
        if (wait_readable(wk, server) == 1 && modbus_tcp_accept(ctx, &server) >= 0)
            serve_client(wk, ctx, map, query, header);
        modbus_close(ctx);
        if (server >= 0) close(server);
    }

    modbus_mapping_free(map);
    kfree(query);
    close_free(ctx);
    recvForAlgo(wk, nullptr, 2);
    worker_destory(wk);
    return nullptr;
}
