// Fuzz target for the file-transfer port's message handler: the input is
// the byte stream of one connection, delivered in pieces. The first byte n
// (mod 16) is followed by n piece lengths (1..256, cycled); the rest is the
// stream. Uploads land in a simulated board under a temporary root with a
// register block of its own; answers go to a sink that only counts them.
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "common/custom.h"
#include "platform.h"
#include "server/tcp_server.h"
#include "simboard.h"

namespace {

struct Board {
    std::string root;
    deviceCFG cfg{};
    deviceRegMemAddr run{};

    Board()
    {
        char tmpl[] = "/tmp/korvid-fuzz-tcp-XXXXXX";
        if (!mkdtemp(tmpl) || plat_board_open(tmpl, "rk3568-imx570") != 0) abort();
        root = tmpl;
        sim_set_free_space("/userdata", 1ull << 30);
        g_dev_cfg = &cfg;
        g_regMemAddr = &run;
        run.cameraType = E_CAMERA_DelvoPlus;
        // No capture runs here: a raw-frame request gives up at once.
        tcp_file_set_timeouts(50, 1);
    }
    ~Board()
    {
        g_dev_cfg = nullptr;
        g_regMemAddr = nullptr;
        plat_board_close();
        nftw(root.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
    }
};

Board& board()
{
    static Board b;
    return b;
}

int count_sink(void* ctx, const void*, size_t len)
{
    *static_cast<size_t*>(ctx) += len;
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    board();
    if (size == 0) return 0;
    size_t splits = data[0] % 16;
    if (size < 1 + splits) return 0;
    const uint8_t* lens = data + 1;
    const uint8_t* stream = data + 1 + splits;
    size_t left = size - 1 - splits;
    size_t answered = 0;
    TcpFileConn* c = tcp_file_conn_new(count_sink, &answered);
    for (size_t i = 0; left > 0; i++) {
        size_t n = splits ? (size_t)lens[i % splits] + 1 : left;
        if (n > left) n = left;
        if (tcp_file_conn_feed(c, stream, n) != 0) break;
        stream += n;
        left -= n;
    }
    tcp_file_conn_free(c);
    return 0;
}
