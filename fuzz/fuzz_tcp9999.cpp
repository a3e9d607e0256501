// Fuzz target for the log-level port: the input is the byte stream of one
// connection, delivered in pieces to the connection's read handler through
// a socket pair, then closed by the host. The first byte n (mod 8) is
// followed by n piece lengths (1..256, cycled); the rest is the stream.
// After every piece the main logger's level must be the one the whole codes
// received so far select (20 debug, 40 info, 60 err, anything else no
// change), however the codes were split; the host's close must close the
// device.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "epcore.h"
#include "iodev.h"
#include "log/logger.h"
#include "main/main.h"

namespace {

struct Service {
    std::shared_ptr<spdlog::logger> logger =
        std::make_shared<spdlog::logger>("fuzz-camera", std::make_shared<spdlog::sinks::null_sink_mt>());
    epcore_t* core = epcore_new(65536, 1);
    Service()
    {
        if (!core) abort();
        g_logger = logger.get();
    }
};

spdlog::level::level_enum selected(int32_t code, spdlog::level::level_enum now)
{
    switch (code) {
    case LOG_CODE_DEBUG: return spdlog::level::debug;
    case LOG_CODE_INFO: return spdlog::level::info;
    case LOG_CODE_ERROR: return spdlog::level::err;
    default: return now;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Service s;
    if (size == 0) return 0;
    size_t splits = data[0] % 8;
    if (size < 1 + splits) return 0;
    const uint8_t* lens = data + 1;
    const uint8_t* stream = data + 1 + splits;
    size_t left = size - 1 - splits;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) return 0;
    iodev_t* dev = iodev_new_from_fd(s.core, sv[0], IODEV_TCP_ACCEPTED, nullptr, tcp_log_level, s.core);
    if (!dev) abort();
    s.logger->set_level(spdlog::level::info);
    spdlog::level::level_enum expected = spdlog::level::info;
    size_t whole = 0;  // stream bytes that make whole codes, applied to `expected`
    size_t fed = 0;
    for (size_t i = 0; left > 0; i++) {
        size_t n = splits ? (size_t)lens[i % splits] + 1 : left;
        if (n > left) n = left;
        if (write(sv[1], stream + fed, n) != (ssize_t)n) abort();
        fed += n;
        left -= n;
        tcp_log_level(s.core, dev, EVT_READ, IODEV_TCP_ACCEPTED);
        for (; whole + 4 <= fed; whole += 4) {
            int32_t code;
            memcpy(&code, stream + whole, 4);
            expected = selected(code, expected);
        }
        if (s.logger->level() != expected) {
            fprintf(stderr, "level %d after %zu bytes, codes select %d\n", (int)s.logger->level(), fed, (int)expected);
            abort();
        }
    }
    close(sv[1]);
    tcp_log_level(s.core, dev, EVT_READ, IODEV_TCP_ACCEPTED);
    // Closing the device closes its end of the pair.
    if (fcntl(sv[0], F_GETFD) != -1 || errno != EBADF) {
        fprintf(stderr, "the host's close left the device open\n");
        abort();
    }
    return 0;
}
