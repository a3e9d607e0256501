// TCP file-transfer server. The transfers have not landed yet: every
// connection is accepted and closed at once, so a host sees the service
// refuse its transfer rather than hang.
#include "server/tcp_server.h"

#include "eptcp.h"
#include "eptype.h"
#include "iodev.h"
#include "log/logger.h"

int tcp_pump(void* vpcore, void* vobj, int event, int fdtype)
{
    epcore_t* core = static_cast<epcore_t*>(vpcore);
    iodev_t* dev = static_cast<iodev_t*>(vobj);
    switch (event) {
    case EVT_ACCEPT: {
        if (fdtype != IODEV_TCP_LISTEN) return -1;
        if (!core || !dev) return -1;
        for (;;) {
            int ret = 0;
            iodev_t* ndev = eptcp_accept(core, dev, nullptr, &ret, tcp_pump, vpcore, BIND_NONE);
            if (!ndev) {
                if (ret == -200) continue; // that connection was closed for want of a record
                break;
            }
            log_error(g_logger, __FUNCTION__, __LINE__, "file transfer not available, fd %d closed", iodev_fd(ndev));
            iodev_close(ndev);
        }
        return 0;
    }
    case EVT_READ:
    case EVT_INVALID:
        if (fdtype == IODEV_TCP_ACCEPTED && dev) iodev_close(dev);
        return 0;
    default:
        return 0;
    }
}
