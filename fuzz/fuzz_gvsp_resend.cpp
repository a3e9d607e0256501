// Fuzz target for the stream sender's packet-resend requests: the input is
// one datagram as the control channel receives it from a connected host. It
// is queued for a sender whose device holds a cached frame of block 1, and
// every queued request is then served against that frame; the packets go to
// a loopback socket of the target's own, where they are checked for size.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "GigE/gvcp.h"
#include "GigE/gvsp.h"
#include "epcore.h"
#include "iodev.h"
#include "memory.h"
#include "worker.h"

namespace {

constexpr uint32 kFrameBytes = 20000;
constexpr int kLargestDatagram = 8972;

struct Sender {
    epcore_t* core = epcore_new(65536, 1);
    worker_t* wk = nullptr;
    iodev_t* dev = nullptr;
    GVSPPrivData* priv = nullptr;
    int rx = -1;

    Sender()
    {
        rx = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        int room = 4 << 20;
        setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t al = sizeof(a);
        if (rx < 0 || bind(rx, (sockaddr*)&a, sizeof(a)) != 0 || getsockname(rx, (sockaddr*)&a, &al) != 0) abort();

        auto* u = static_cast<UserInfo*>(kzalloc(sizeof(UserInfo)));
        snprintf(u->user_ip, sizeof(u->user_ip), "127.0.0.1");
        u->user_port = 50001;
        snprintf(u->dest_ip, sizeof(u->dest_ip), "127.0.0.1");
        u->dest_port = ntohs(a.sin_port);
        lt_append(core->user_info, u);

        wk = worker_new(core);
        wk->workerid = wk->threadid = E_WORKER_ID_GVSP;
        worker_set_datafree(wk, frame_datafree);
        worker_thread_add(core, wk);
        if (GVSP_IodevCreate(core, E_DEVICE_GVSP, &dev) != 0) abort();
        wk->pdev = dev;
        priv = static_cast<GVSPPrivData*>(dev->priv_data);

        auto* f = static_cast<ImageInfo*>(kzalloc(sizeof(ImageInfo) + kFrameBytes));
        f->imageType = E_IMAGE_TYPE_DEPTH;
        f->imageSize = kFrameBytes;
        f->height = 10;
        f->blkId = 1;
        GVSP_AddCache(dev, f);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Sender s;
    ResendInfo parsed{};
    GVSP_ParseResend(data, (int)size, &parsed);
    GVSP_ResendRequest(s.core, data, (int)size, "127.0.0.1", 50001);
    while (GVSP_ResendImageCache(s.dev)) {}
    static uint8_t buf[65536];
    for (ssize_t n; (n = recv(s.rx, buf, sizeof(buf), 0)) >= 0;)
        if (n < 20 || n > kLargestDatagram || (buf[4] != 0x83 && buf[4] != 0x82)) abort();
    return 0;
}
