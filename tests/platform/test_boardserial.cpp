// Serial ports of the simulated board: korvid's end under the port's board
// path, the outside end published under "<root>/.board/" by the root's
// owner only, bytes carried both ways while peers come and go.
#include "platform/boardroot.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace {

// A terminal end opened raw, closed at the end.
struct Tty {
    int fd = -1;
    explicit Tty(const std::string& path)
    {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        struct termios t;
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~Tty()
    {
        if (fd >= 0) close(fd);
    }
    Tty(const Tty&) = delete;
    Tty& operator=(const Tty&) = delete;

    bool put(const std::string& s) const { return write(fd, s.data(), s.size()) == (ssize_t)s.size(); }
    // Reads until `n` bytes came or 10 s passed.
    std::string get(size_t n) const
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.size() < n && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[256];
            ssize_t r = read(fd, buf, sizeof(buf));
            if (r > 0) got.append(buf, (size_t)r);
        }
        return got;
    }
};

std::string board_end()
{
    char buf[PATH_MAX];
    const char* p = plat_path("/dev/ttyS3", buf, sizeof(buf));
    return p ? p : "";
}

} // namespace

TEST(BoardSerial, PortIsAPseudoTerminalWhoseOutsideEndIsLinkedUnderTheBoardFolder)
{
    BoardRoot b; // rk3588-gpixel: the Modbus slave's line
    ASSERT_EQ(b.rc, 0);
    ASSERT_EQ(plat_board_publish(), 0);
    std::string link = b.host("/.board/ttyS3");
    char target[PATH_MAX] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0) << link;
    struct stat st;
    ASSERT_EQ(stat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    std::string inside = board_end();
    ASSERT_EQ(inside.compare(0, 9, "/dev/pts/"), 0) << inside;
    EXPECT_NE(inside, std::string(target));
    ASSERT_EQ(plat_stat("/dev/ttyS3", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    Tty board(inside);
    ASSERT_GE(board.fd, 0);
    {
        Tty host(link);
        ASSERT_GE(host.fd, 0);
        ASSERT_TRUE(host.put(std::string("\x17\x06\x00\x78\x00\x05", 6)));
        EXPECT_EQ(board.get(6), std::string("\x17\x06\x00\x78\x00\x05", 6));
        ASSERT_TRUE(board.put("answer"));
        EXPECT_EQ(host.get(6), "answer");
    }
    // The outside peer went away and another comes: the line still carries.
    Tty again(link);
    ASSERT_GE(again.fd, 0);
    ASSERT_TRUE(board.put("second"));
    EXPECT_EQ(again.get(6), "second");
}

TEST(BoardSerial, AForkedChildClosingItsBoardLeavesTheParentsLineAndLink)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    ASSERT_EQ(plat_board_publish(), 0);
    std::string link = b.host("/.board/ttyS3");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        plat_board_close();
        _exit(0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0) << "the child took the parent's link";
    Tty board(board_end()), host(link);
    ASSERT_TRUE(host.put("after fork"));
    EXPECT_EQ(board.get(10), "after fork");
}

TEST(BoardSerial, ClosingTheBoardRemovesTheLinkAndABoardWithoutPortsHasNone)
{
    std::string link;
    {
        BoardRoot b;
        ASSERT_EQ(b.rc, 0);
        ASSERT_EQ(plat_board_publish(), 0);
        link = b.host("/.board/ttyS3");
        struct stat st;
        ASSERT_EQ(lstat(link.c_str(), &st), 0);
        plat_board_close();
        EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived its board";
    }
    BoardRoot other("rk3568-imx570");
    ASSERT_EQ(other.rc, 0);
    struct stat st;
    EXPECT_NE(lstat(other.host("/.board/ttyS3").c_str(), &st), 0);
    EXPECT_EQ(board_end(), other.host("/dev/ttyS3"));
    EXPECT_NE(plat_stat("/dev/ttyS3", &st), 0);
}

// Opening a root touches no link: a second start on a live root must leave
// the running owner's line alone. The owner's publishing replaces what a
// killed run left; withdrawing removes only a link that still names this
// process's terminal.
TEST(BoardSerial, OnlyPublishingMakesTheLinkAndWithdrawingTakesOnlyItsOwn)
{
    TempDir dir;
    std::string link = dir.path + "/.board/ttyS3";
    ASSERT_EQ(mkdir((dir.path + "/.board").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/dev/pts/left-by-a-killed-run", link.c_str()), 0);
    auto target = [&] {
        char t[PATH_MAX] = {};
        return readlink(link.c_str(), t, sizeof(t) - 1) > 0 ? std::string(t) : std::string();
    };

    ASSERT_EQ(plat_board_open(dir.path.c_str(), "rk3588-gpixel"), 0);
    EXPECT_EQ(target(), "/dev/pts/left-by-a-killed-run") << "the link was taken before the root was owned";

    ASSERT_EQ(plat_board_publish(), 0);
    std::string mine = target();
    ASSERT_EQ(mine.compare(0, 9, "/dev/pts/"), 0) << mine;
    ASSERT_NE(mine, "/dev/pts/left-by-a-killed-run");
    {
        Tty board(board_end()), host(link);
        ASSERT_TRUE(host.put("owned"));
        EXPECT_EQ(board.get(5), "owned");
    }
    plat_board_withdraw();
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "withdrawn, the link stays";

    // Another owner's link since: neither withdrawing nor closing takes it.
    ASSERT_EQ(plat_board_publish(), 0);
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink("/dev/pts/of-the-next-owner", link.c_str()), 0);
    plat_board_withdraw();
    plat_board_close();
    EXPECT_EQ(target(), "/dev/pts/of-the-next-owner");
}
