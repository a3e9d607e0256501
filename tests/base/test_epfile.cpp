// Plain-descriptor and standard-input devices: a pipe and a datagram reach
// their handler through a pump, and the console handler's "show" command is
// fed through a pipe put on descriptor 0.
#include "epfile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "base/pumptest.h"
#include "hashtab.h"

using pumptest::Core;
using pumptest::ManualPump;

namespace {

struct Seen {
    int reads = 0, fdtype = 0;
    std::string data;
};

int reader(void* cbpara, void* obj, int event, int fdtype)
{
    auto* s = static_cast<Seen*>(cbpara);
    s->reads += event == EVT_READ;
    s->fdtype = fdtype;
    char buf[64];
    ssize_t n;
    while ((n = read(iodev_fd(static_cast<iodev_t*>(obj)), buf, sizeof buf)) > 0) s->data.append(buf, (size_t)n);
    return 0;
}

TEST(EpFile, PipeAndDatagramReachTheHandlerThroughThePump)
{
    Core c;
    ManualPump mp(c.core);
    EXPECT_EQ(epfile_bind_fd(c.core, -1, nullptr, reader, nullptr), nullptr);
    int p[2], d[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, d), 0);
    Seen sp, sd;
    iodev_t* pdev = epfile_bind_fd(c.core, p[0], nullptr, reader, &sp);
    iodev_t* ddev = epfile_bind_fd(c.core, d[0], nullptr, reader, &sd);
    ASSERT_NE(pdev, nullptr);
    ASSERT_NE(ddev, nullptr);
    EXPECT_EQ(iodev_evpump(pdev), mp.pump) << "bound to the selected pump";

    ASSERT_EQ(write(p[1], "line\n", 5), 5);
    ASSERT_EQ(send(d[1], "dgram", 5, 0), 5);
    mp.pass();
    EXPECT_EQ(sp.reads, 1);
    EXPECT_EQ(sp.fdtype, 0x200);
    EXPECT_EQ(sp.data, "line\n");
    EXPECT_EQ(sd.reads, 1);
    EXPECT_EQ(sd.data, "dgram");

    /* The device owns its descriptor from now on. */
    iodev_close(pdev);
    EXPECT_EQ(fcntl(p[0], F_GETFD), -1);
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
};

int count_lines(const std::string& s)
{
    int n = 0;
    for (char ch : s) n += ch == '\n';
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
    int devices = ht_num(c.core->device_table);

    struct Case {
        std::string typed;
        int shows;
    } cases[] = {
        {"SHOW\n", 1},
        {"  show devices \t\n", 1}, /* trimmed; only the beginning counts */
        {"help\nxshow\n", 0},
        {"show\nShOw\n", 2},        /* every waiting line is taken at once */
        {"sh", 0},                  /* a partial line does not block the pump */
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.typed);
        ASSERT_EQ(write(in.wr, k.typed.data(), k.typed.size()), (ssize_t)k.typed.size());
        testing::internal::CaptureStdout();
        mp.pass();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(count_lines(out), k.shows * devices) << out;
        if (k.shows) {
            EXPECT_NE(out.find("FD=0 STDIN Local<:0> Remote<:0>\n"), std::string::npos) << out;
        }
    }
    EXPECT_EQ(epstdin_callback(nullptr, dev, EVT_INVALID, IODEV_STDIN), -100);
    /* A read event of another kind of device leaves the input alone. */
    ASSERT_EQ(write(in.wr, "show\n", 5), 5);
    EXPECT_EQ(epstdin_callback(nullptr, dev, EVT_READ, IODEV_FILE), 0);
    char buf[8];
    EXPECT_EQ(read(0, buf, sizeof buf), 5);
    iodev_close(dev); /* closes descriptor 0; the fixture puts it back */
}

} // namespace
