/* Kernel timerfds as devices: the device code makes the timerfd and arms
 * it; the pump reads each expiry count and hands the handler EVT_READ. */
#include "eptimerfd.h"

#include "epcore.h"
#include "iodev.h"

iodev_t* eptimerfd_bind(epcore_t* core, int fd, int id, void* para, IOHandler* ioh, void* iohpara)
{
    if (!core || fd == -1) return nullptr;
    iodev_t* dev = iodev_new(core);
    if (!dev) return nullptr;
    dev->id = (uint64_t)id;
    dev->fd = fd;
    dev->fdtype = IODEV_TIMER;
    dev->para = para;
    dev->callback = ioh;
    dev->cbpara = iohpara;
    dev->iostate = IOSTATE_READY;
    dev->rwflag = WATCH_READ;
    if (epcore_iodev_add(core, dev) < 0) {
        /* Another device holds this id: give the record back but leave the
         * caller's descriptor to the caller. */
        iodev_discard(dev);
        return nullptr;
    }
    iodev_bind_evpump(dev, BIND_SELECT_SILENT, nullptr);
    return dev;
}
