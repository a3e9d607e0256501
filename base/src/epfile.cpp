/* Plain descriptors and standard input as devices, and the console
 * command handler for standard input ("show" lists the devices). */
#include "epfile.h"

#include <errno.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "epcore.h"
#include "iodev.h"
#include "strutil.h"

namespace {

constexpr int kLineMax = 511;

iodev_t* bind_fd(epcore_t* core, int fd, int fdtype, void* para, IOHandler* cb, void* cbpara)
{
    if (!core || fd < 0) return nullptr;
    iodev_t* dev = iodev_new_from_fd(core, fd, fdtype, para, cb, cbpara);
    if (!dev) return nullptr;
    iodev_bind_evpump(dev, BIND_SELECT, nullptr);
    return dev;
}

int waiting(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

/* One line of what is waiting on fd, read a byte at a time so the lines
 * after it stay in the descriptor and nothing blocks: ended by a newline,
 * by kLineMax characters or by the end of what is waiting. Returns its
 * length without the newline, or -1 when nothing was waiting. */
int read_line(int fd, char* line)
{
    int have = 0;
    bool any = false;
    while (have < kLineMax && waiting(fd) > 0) {
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        any = true;
        if (c == '\n') break;
        line[have++] = c;
    }
    line[have] = '\0';
    return any ? have : -1;
}

} // namespace

iodev_t* epfile_bind_fd(epcore_t* core, int fd, void* para, IOHandler* cb, void* cbpara)
{
    return bind_fd(core, fd, IODEV_FILE, para, cb, cbpara);
}

iodev_t* epfile_bind_stdin(epcore_t* core, void* para, IOHandler* cb, void* cbpara)
{
    return bind_fd(core, STDIN_FILENO, IODEV_STDIN, para, cb, cbpara);
}

int epstdin_callback(void* cbpara, void* obj, int event, int fdtype)
{
    (void)cbpara;
    if (event == EVT_INVALID) return -100;
    if (event != EVT_READ || fdtype != IODEV_STDIN) return 0;
    auto* dev = static_cast<iodev_t*>(obj);
    int fd = iodev_fd(dev);
    if (fd < 0) return 0;
    /* Edge-triggered: take every line waiting now, or the later ones would
     * sit unread until more input arrives. */
    char line[kLineMax + 1];
    while (read_line(fd, line) >= 0) {
        char* cmd = str_trim(line);
        if (strncasecmp(cmd, "show", 4) == 0) iodev_print(iodev_epcore(dev));
    }
    return 0;
}
