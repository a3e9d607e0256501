// Unix-domain stream sockets under a private temporary directory: listen,
// connect, the accept-time check of a bound peer's file, and the refusal of
// paths that do not fit the address.
#include "usock.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tsock.h"
#include "base/tmpdir.h"

using testfs::Fd;

namespace {

bool is_socket_file(const std::string& p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

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

}  // namespace

TEST(Usock, AcceptChecksAndRemovesTheBoundPeersFile)
{
    testfs::TempDir tmp{"usock"};
    std::string p = tmp / "srv.sock";
    ASSERT_EQ(close(creat(p.c_str(), 0600)), 0);  // a stale file is replaced
    Fd lst(usock_create(p.c_str()));
    ASSERT_GE(lst.fd, 0);
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777u);

    int succ = -1;  // an unnamed client is accepted as it is
    Fd c(usock_nb_connect(p.c_str(), &succ));
    ASSERT_GE(c.fd, 0);
    Fd s(usock_accept(lst));
    ASSERT_GE(s.fd, 0);
    ASSERT_EQ(write(c, "ping", 4), 4);
    char buf[8];
    int got = 0;
    EXPECT_EQ(tcp_recv(s, buf, 4, 5000, &got), 4);

    std::string own = tmp / "cli.sock";
    Fd c1(bound_client(own, p));
    Fd s1(usock_accept(lst));
    ASSERT_GE(s1.fd, 0);
    EXPECT_FALSE(is_socket_file(own));  // removed once accepted

    std::string gone = tmp / "gone.sock";  // the peer's file is gone: refused
    Fd c2(bound_client(gone, p));
    unlink(gone.c_str());
    EXPECT_EQ(usock_accept(lst), -2);
    EXPECT_EQ(errno, ENOENT);

    std::string fake = tmp / "fake.sock";  // now a plain file: refused, the file stays
    Fd c3(bound_client(fake, p));
    unlink(fake.c_str());
    ASSERT_EQ(close(creat(fake.c_str(), 0600)), 0);
    EXPECT_EQ(usock_accept(lst), -3);
    EXPECT_EQ(access(fake.c_str(), F_OK), 0);
    EXPECT_EQ(read(c3, buf, 1), 0) << "the refused connection was closed";
}

TEST(Usock, PathsMustFitTheAddressAndFailuresKeepTheErrno)
{
    testfs::TempDir tmp{"usock"};
    // Longest path that fits: exactly USOCK_PATH_MAX characters.
    std::string longest = tmp.path + "/";
    longest += std::string(USOCK_PATH_MAX - longest.size(), 'a');
    Fd lst(usock_create(longest.c_str()));
    ASSERT_GE(lst.fd, 0);
    Fd c(usock_connect(longest.c_str()));
    EXPECT_GE(c.fd, 0);

    // One more character is refused before anything is opened or removed.
    std::string toolong = longest + "b";
    EXPECT_EQ(usock_create(toolong.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(is_socket_file(longest)) << "the existing socket must not be replaced";
    int succ = -1;
    EXPECT_EQ(usock_nb_connect(toolong.c_str(), &succ), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);

    std::string missing = tmp / "none.sock";
    EXPECT_EQ(usock_connect(missing.c_str()), -4);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(usock_nb_connect(missing.c_str(), &succ), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(usock_create((tmp / "no/such/dir.sock").c_str()), -2);
    EXPECT_EQ(errno, ENOENT);
}
