// Unix-domain stream sockets under a private temporary directory: listen,
// connect (blocking and not), the accept-time check of a bound peer's file,
// and the refusal of paths that do not fit the address.
#include "usock.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "tsock.h"
#include "base/tmpdir.h"

using testfs::TempDir;
using testfs::Fd;

namespace {

class Usock : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(tmp.path.empty()); }
    std::string path(const char* name) const { return tmp / name; }

    // A client socket bound to its own path, then connected to srv.
    int bound_client(const std::string& own, const std::string& srv)
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, own.c_str());
        EXPECT_EQ(bind(fd, (sockaddr*)&a, sizeof(a)), 0);
        strcpy(a.sun_path, srv.c_str());
        EXPECT_EQ(connect(fd, (sockaddr*)&a, sizeof(a)), 0);
        return fd;
    }

    TempDir tmp{"usock"};
    const std::string& dir = tmp.path;
};

bool is_socket_file(const std::string& p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

TEST_F(Usock, CreateConnectAcceptAndTalk)
{
    std::string p = path("srv.sock");
    ASSERT_EQ(close(creat(p.c_str(), 0600)), 0);  // a stale file is replaced
    Fd lst(usock_create(p.c_str()));
    ASSERT_GE(lst.fd, 0);
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);

    // A client that did not bind a path of its own is accepted as it is.
    Fd c(usock_connect(p.c_str()));
    ASSERT_GE(c.fd, 0);
    Fd s(usock_accept(lst));
    ASSERT_GE(s.fd, 0);
    ASSERT_EQ(write(c, "ping", 4), 4);
    char buf[8];
    int got = 0;
    EXPECT_EQ(tcp_recv(s, buf, 4, 5000, &got), 4);
    EXPECT_EQ(memcmp(buf, "ping", 4), 0);

    int succ = -1;
    Fd nb(usock_nb_connect(p.c_str(), &succ));
    ASSERT_GE(nb.fd, 0);
    EXPECT_EQ(sock_nonblock_get(nb), 1);
    ASSERT_EQ(sock_write_ready(nb, 5000), 1);
    Fd s2(usock_accept(lst));
    EXPECT_GE(s2.fd, 0);
}

TEST_F(Usock, BoundPeerFileIsCheckedAndRemoved)
{
    std::string p = path("srv.sock");
    Fd lst(usock_create(p.c_str()));
    ASSERT_GE(lst.fd, 0);

    std::string own = path("cli.sock");
    Fd c(bound_client(own, p));
    ASSERT_TRUE(is_socket_file(own));
    Fd s(usock_accept(lst));
    ASSERT_GE(s.fd, 0);
    EXPECT_FALSE(is_socket_file(own));  // removed once accepted

    // The peer's file is gone: refused.
    std::string gone = path("gone.sock");
    Fd c2(bound_client(gone, p));
    unlink(gone.c_str());
    EXPECT_EQ(usock_accept(lst), -2);
    EXPECT_EQ(errno, ENOENT);

    // The peer's path now names a plain file: refused, and the file stays.
    std::string fake = path("fake.sock");
    Fd c3(bound_client(fake, p));
    unlink(fake.c_str());
    ASSERT_EQ(close(creat(fake.c_str(), 0600)), 0);
    EXPECT_EQ(usock_accept(lst), -3);
    EXPECT_EQ(access(fake.c_str(), F_OK), 0);
    // The refused connections were closed: their clients see the end.
    char b;
    EXPECT_EQ(read(c2, &b, 1), 0);
    EXPECT_EQ(read(c3, &b, 1), 0);
}

TEST_F(Usock, PathsMustFitTheAddress)
{
    const int room = (int)sizeof(((sockaddr_un*)nullptr)->sun_path) - 1;
    ASSERT_EQ(USOCK_PATH_MAX, room);
    // Longest path that fits: exactly USOCK_PATH_MAX characters.
    std::string longest = dir + "/";
    longest += std::string(room - longest.size(), 'a');
    ASSERT_EQ((int)longest.size(), room);
    Fd lst(usock_create(longest.c_str()));
    ASSERT_GE(lst.fd, 0);
    EXPECT_TRUE(is_socket_file(longest));
    Fd c(usock_connect(longest.c_str()));
    EXPECT_GE(c.fd, 0);

    // One more character is refused before anything is opened or removed.
    std::string toolong = longest + "b";
    std::string cut = toolong.substr(0, room);  // what a truncating copy would bind
    errno = 0;
    EXPECT_EQ(usock_create(toolong.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(is_socket_file(cut)) << "the existing socket must not be replaced";
    EXPECT_EQ(usock_connect(toolong.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    int succ = -1;
    EXPECT_EQ(usock_nb_connect(toolong.c_str(), &succ), -1);
    EXPECT_EQ(succ, 0);
}

TEST_F(Usock, FailuresKeepTheErrno)
{
    std::string missing = path("none.sock");
    errno = 0;
    EXPECT_EQ(usock_connect(missing.c_str()), -4);
    EXPECT_EQ(errno, ENOENT);
    int succ = -1;
    EXPECT_EQ(usock_nb_connect(missing.c_str(), &succ), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(succ, 0);

    std::string nodir = path("no/such/dir.sock");
    EXPECT_EQ(usock_create(nodir.c_str()), -2);
    EXPECT_EQ(errno, ENOENT);
}
