// Plain-descriptor and standard-input devices: what becomes a device, how
// a datagram and a pipe reach the handler through a pump, and the console
// handler's "show" command fed through a pipe on descriptor 0.
#include "epfile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/pumptest.h"
#include "hashtab.h"

using pumptest::Core;
using pumptest::ManualPump;

namespace {

struct Seen {
    std::vector<int> events;
    std::vector<int> fdtypes;
    std::string data;
};

int reader(void* cbpara, void* obj, int event, int fdtype)
{
    auto* s = static_cast<Seen*>(cbpara);
    s->events.push_back(event);
    s->fdtypes.push_back(fdtype);
    char buf[64];
    ssize_t n;
    while ((n = read(iodev_fd(static_cast<iodev_t*>(obj)), buf, sizeof buf)) > 0) s->data.append(buf, (size_t)n);
    return 0;
}

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(EpFile, OnlyAValidDescriptorOnACoreBecomesADevice)
{
    Core c;
    EXPECT_EQ(epfile_bind_fd(c.core, -1, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(epfile_bind_fd(c.core, -2, nullptr, nullptr, nullptr), nullptr);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(epfile_bind_fd(nullptr, p[0], nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(fd_open(p[0])) << "a refused descriptor stays the caller's";
    close(p[0]);
    close(p[1]);
}

TEST(EpFile, PipeAndDatagramReachTheHandlerThroughThePump)
{
    Core c;
    ManualPump mp(c.core);
    int p[2], d[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, d), 0);
    Seen sp, sd;
    int para = 0;
    iodev_t* pdev = epfile_bind_fd(c.core, p[0], &para, reader, &sp);
    iodev_t* ddev = epfile_bind_fd(c.core, d[0], nullptr, reader, &sd);
    ASSERT_NE(pdev, nullptr);
    ASSERT_NE(ddev, nullptr);
    EXPECT_EQ(iodev_fdtype(pdev), IODEV_FILE);
    EXPECT_EQ(pdev->iostate, IOSTATE_READY);
    EXPECT_EQ(iodev_rwflag(pdev), WATCH_READ);
    EXPECT_EQ(pdev->bindtype, (unsigned)BIND_SELECT);
    EXPECT_EQ(iodev_evpump(pdev), mp.pump);
    EXPECT_EQ(iodev_para(pdev), &para);
    EXPECT_EQ(epcore_iodev_find(c.core, iodev_id(ddev)), ddev);

    ASSERT_EQ(write(p[1], "line\n", 5), 5);
    ASSERT_EQ(send(d[1], "dgram", 5, 0), 5);
    mp.pass();
    EXPECT_EQ(sp.events, std::vector<int>{EVT_READ});
    EXPECT_EQ(sp.fdtypes, std::vector<int>{IODEV_FILE});
    EXPECT_EQ(sp.data, "line\n");
    EXPECT_EQ(sd.events, std::vector<int>{EVT_READ});
    EXPECT_EQ(sd.data, "dgram");

    /* The device owns its descriptor from now on. */
    EXPECT_EQ(iodev_close(pdev), 0);
    EXPECT_FALSE(fd_open(p[0]));
    iodev_close(ddev);
    close(p[1]);
    close(d[1]);
}

/* Descriptor 0 replaced by a pipe for the test and put back afterwards. */
struct PipedStdin {
    int saved = dup(STDIN_FILENO);
    int wr = -1;
    PipedStdin()
    {
        int p[2];
        if (pipe(p) != 0) return;
        dup2(p[0], STDIN_FILENO);
        close(p[0]);
        wr = p[1];
    }
    ~PipedStdin()
    {
        close(wr);
        dup2(saved, STDIN_FILENO);
        close(saved);
    }
    void type(const std::string& s) { ASSERT_EQ(write(wr, s.data(), s.size()), (ssize_t)s.size()); }
};

int count_lines(const std::string& s)
{
    int n = 0;
    for (char ch : s) n += ch == '\n';
    return n;
}

int device_count(epcore_t* core)
{
    EnterCriticalSection(&core->devicetableCS);
    int n = ht_num(core->device_table);
    LeaveCriticalSection(&core->devicetableCS);
    return n;
}

TEST(EpFile, ShowOnStandardInputPrintsOneLinePerDevice)
{
    PipedStdin in; /* put back only after the core has gone */
    ASSERT_GE(in.wr, 0);
    Core c;
    ManualPump mp(c.core);
    iodev_t* dev = epfile_bind_stdin(c.core, nullptr, epstdin_callback, nullptr);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(iodev_fd(dev), 0);
    EXPECT_EQ(iodev_fdtype(dev), IODEV_STDIN);
    int devices = device_count(c.core);

    struct Case {
        const char* typed;
        int shows;
    } cases[] = {
        {"SHOW\n", 1},
        {"  show devices \t\n", 1},      /* trimmed; only the beginning counts */
        {"help\nxshow\n", 0},
        {"show\nShOw\n", 2},             /* every waiting line is taken at once */
        {"sh", 0},                       /* a partial line does not block the pump */
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.typed);
        in.type(k.typed);
        testing::internal::CaptureStdout();
        mp.pass();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(count_lines(out), k.shows * devices) << out;
        if (k.shows) {
            EXPECT_NE(out.find("FD=0 STDIN Local<:0> Remote<:0>\n"), std::string::npos) << out;
        }
    }
    iodev_close(dev); /* closes descriptor 0; the fixture puts it back */
}

TEST(EpFile, StdinHandlerAnswersByEventAndType)
{
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    iodev_t dev{};
    dev.fd = p[0];
    ASSERT_EQ(write(p[1], "show\n", 5), 5);
    EXPECT_EQ(epstdin_callback(nullptr, &dev, EVT_INVALID, IODEV_STDIN), -100);
    EXPECT_EQ(epstdin_callback(nullptr, &dev, EVT_WRITE, IODEV_STDIN), 0);
    EXPECT_EQ(epstdin_callback(nullptr, &dev, EVT_READ, IODEV_FILE), 0);
    char buf[8];
    EXPECT_EQ(read(p[0], buf, sizeof buf), 5) << "only a standard-input read consumes the input";
    EXPECT_EQ(epstdin_callback(nullptr, nullptr, EVT_READ, IODEV_STDIN), 0);
    close(p[0]);
    close(p[1]);
}

} // namespace
