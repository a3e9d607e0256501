// Board paths: every board path lands inside the board root, whatever
// "..", relative parts or symbolic links it holds; board selection.
#include "platform/boardroot.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <random>
#include <set>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string resolved(const char* path)
{
    char buf[PATH_MAX];
    const char* r = plat_path(path, buf, sizeof(buf));
    return r ? r : "<null>";
}

bool inside(const std::string& root, const std::string& host)
{
    return host == root || host.compare(0, root.size() + 1, root + "/") == 0;
}

// The board options as korvid takes them at start, in a child process after
// `prepare` made its situation there: plat_board_args's result and what it
// said on standard error. rc 77: the situation could not be made here.
struct Opening {
    int         rc = -1;
    std::string said;
};

Opening open_in_child(const std::string& root, const char* profile, int (*prepare)(const std::string& root))
{
    Opening o;
    std::vector<std::string> args = {"korvid", "--board-root", root, "--board", profile};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return o;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], STDERR_FILENO);
        if (prepare && prepare(root) != 0) _exit(77);
        int argc = (int)args.size();
        _exit(plat_board_args(&argc, argv.data()) == 0 ? 0 : 1);
    }
    close(p[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) o.said.append(buf, (size_t)n);
    close(p[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) o.rc = WEXITSTATUS(status);
    return o;
}

// Without the power to write anywhere (as root: another user).
int as_someone_else(const std::string&)
{
    if (geteuid() != 0) return 0;
    return setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0
               ? 0
               : -1;
}

// The root mounted read-only, in a mount namespace of the child's own.
int read_only(const std::string& root)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return -1;
    if (mount(root.c_str(), root.c_str(), nullptr, MS_BIND, nullptr) != 0) return -1;
    return mount(nullptr, root.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
}

} // namespace

TEST(BoardPath, SeamRefusesEverythingBeforeABoardIsOpen)
{
    if (plat_board_simulated() != -1) GTEST_SKIP() << "this build starts on the real board";
    char buf[64];
    errno = 0;
    EXPECT_EQ(plat_path("/etc/spdlog.conf", buf, sizeof(buf)), nullptr);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(plat_shell("reboot"), -1);
}

TEST(BoardPath, RelativePartsAndDotDotStayUnderTheRoot)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    std::string root = plat_board_root();
    EXPECT_EQ(resolved("/userdata/config.bin"), root + "/userdata/config.bin");
    EXPECT_EQ(resolved("etc/spdlog.conf"), root + "/etc/spdlog.conf");
    EXPECT_EQ(resolved("//var///log/./camera.log"), root + "/var/log/camera.log");
    EXPECT_EQ(resolved("/../../../etc/passwd"), root + "/etc/passwd");
    EXPECT_EQ(resolved("/userdata/../../../../etc/shadow"), root + "/etc/shadow");
    EXPECT_EQ(resolved("../../.."), root);
    EXPECT_EQ(resolved("/userdata/const/../config.bin"), root + "/userdata/config.bin");

    // Files made through the seam with such paths stay inside as well.
    int fd = plat_open("/../../../korvid-escape-probe", O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    plat_close(fd);
    EXPECT_EQ(access((root + "/korvid-escape-probe").c_str(), F_OK), 0);
    EXPECT_NE(access("/korvid-escape-probe", F_OK), 0);
}

TEST(BoardPath, SymbolicLinksAreFollowedInsideTheRootAndLoopsFail)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    std::string root = plat_board_root();
    // Absolute targets mean the board's own "/".
    ASSERT_EQ(symlink("/etc", (root + "/userdata/etc-link").c_str()), 0);
    EXPECT_EQ(resolved("/userdata/etc-link/spdlog.conf"), root + "/etc/spdlog.conf");
    // Relative targets climbing past the top stop at the root.
    ASSERT_EQ(symlink("../../../../../../..", (root + "/userdata/up").c_str()), 0);
    EXPECT_EQ(resolved("/userdata/up/etc/passwd"), root + "/etc/passwd");
    // ".." after a link is taken from the link's target, as the kernel does.
    ASSERT_EQ(symlink("/var/log", (root + "/logs").c_str()), 0);
    EXPECT_EQ(resolved("/logs/../tmp"), root + "/var/tmp");
    // A link to a host directory outside the root is re-rooted, never followed out.
    TempDir outside;
    ASSERT_EQ(symlink(outside.path.c_str(), (root + "/oem/out").c_str()), 0);
    EXPECT_EQ(resolved("/oem/out/x"), root + outside.path + "/x");
    FILE* f = plat_fopen("/oem/out/x", "w");
    EXPECT_EQ(f, nullptr); // the re-rooted directory does not exist
    if (f) fclose(f);
    EXPECT_NE(access((outside.path + "/x").c_str(), F_OK), 0);

    // Link loops, short buffers and empty paths fail.
    ASSERT_EQ(symlink("/tmp/b", (root + "/tmp/a").c_str()), 0);
    ASSERT_EQ(symlink("/tmp/a", (root + "/tmp/b").c_str()), 0);
    char buf[PATH_MAX], small[8];
    EXPECT_EQ(plat_path("/tmp/a/x", buf, sizeof(buf)), nullptr);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(plat_path("/userdata/config.bin", small, sizeof(small)), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(plat_path("", buf, sizeof(buf)), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST(BoardPath, ABoundPathAnswersWithItsHostPathUntilUnbound)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    std::string root = plat_board_root();
    TempDir outside;
    std::string tty = outside / "ttyDev";
    ASSERT_TRUE(write_host_file(tty, "line"));

    ASSERT_EQ(sim_bind_path("/dev/../dev/ttyS3", tty.c_str()), 0); // keyed by the normalised path
    EXPECT_EQ(resolved("/dev/ttyS3"), tty);
    struct stat st;
    ASSERT_EQ(plat_stat("/dev/ttyS3", &st), 0);
    EXPECT_EQ(st.st_size, 4);
    int fd = plat_open("/dev/ttyS3", O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[8] = {};
    EXPECT_EQ(plat_read(fd, buf, sizeof(buf)), 4);
    plat_close(fd);
    EXPECT_STREQ(buf, "line");
    // Only that path: its neighbours and paths below it stay in the root.
    EXPECT_EQ(resolved("/dev/ttyS2"), root + "/dev/ttyS2");
    EXPECT_EQ(resolved("/dev/ttyS3/x"), root + "/dev/ttyS3/x");

    ASSERT_EQ(sim_bind_path("/dev/ttyS3", nullptr), 0);
    EXPECT_EQ(resolved("/dev/ttyS3"), root + "/dev/ttyS3");
    errno = 0;
    EXPECT_EQ(sim_bind_path("/dev/ttyS3", "relative/tty"), -1);
    EXPECT_EQ(errno, EINVAL);
}

// Random paths over random links: whatever comes out is the root or below it,
// and the directory it names, when it exists, really is inside the root.
TEST(BoardPath, RandomPathsAndLinksNeverEscape)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    std::string root = plat_board_root();
    std::mt19937 rng(12345);
    const std::vector<std::string> parts = {"a", "b", "c", "..", ".", "l0", "l1", "l2", "l3"};
    const std::vector<std::string> targets = {"/",   "..",     "../..",  "../../../..", "/a/b", "a",
                                              "/..", "../a/..", "/etc",  "b/../..",     "/tmp", "."};
    for (const char* d : {"/a", "/a/b", "/a/b/c", "/b", "/c"}) mkdir((root + d).c_str(), 0755);
    for (int round = 0; round < 40; round++) {
        // Re-link: links sit in several directories with random targets.
        for (const char* dir : {"", "/a", "/a/b", "/b"}) {
            for (int i = 0; i < 4; i++) {
                std::string l = root + dir + "/l" + std::to_string(i);
                unlink(l.c_str());
                symlink(targets[rng() % targets.size()].c_str(), l.c_str());
            }
        }
        for (int n = 0; n < 50; n++) {
            std::string p = (rng() % 4) ? "/" : "";
            int len = 1 + (int)(rng() % 8);
            for (int i = 0; i < len; i++) p += parts[rng() % parts.size()] + "/";
            char buf[PATH_MAX];
            const char* r = plat_path(p.c_str(), buf, sizeof(buf));
            if (!r) {
                EXPECT_EQ(errno, ELOOP) << p;
                continue;
            }
            ASSERT_TRUE(inside(root, r)) << p << " -> " << r;
            char real[PATH_MAX];
            if (realpath(r, real)) {
                EXPECT_TRUE(inside(root, real)) << p << " -> " << real;
            }
        }
    }
}

TEST(BoardSelection, ArgumentsChooseRootAndProfileAndAreTakenOut)
{
    TempDir dir;
    std::vector<std::string> args = {"korvid", "--board-root", dir.path, "-v", "--board=rk3576-sc2210", "last"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = (int)args.size();
    ASSERT_EQ(plat_board_args(&argc, argv.data()), 0);
    ASSERT_EQ(argc, 3);
    EXPECT_STREQ(argv[1], "-v");
    EXPECT_STREQ(argv[2], "last");
    EXPECT_EQ(argv[3], nullptr);
    ASSERT_EQ(plat_board_simulated(), 1);
    EXPECT_STREQ(sim_profile()->chip, "RK3576");
    EXPECT_EQ(access((std::string(dir.path) + "/.board/profile").c_str(), F_OK), 0);
    plat_board_close();

    // The simulated build needs a root; a dangling option and an unknown profile are refused.
    std::vector<char*> no_root = {args[0].data(), args[4].data(), nullptr};
    argc = 2;
    if (plat_board_simulated() == -1) {
        EXPECT_EQ(plat_board_args(&argc, no_root.data()), -1);
    }
    std::vector<char*> dangling = {args[0].data(), args[1].data(), nullptr};
    argc = 2;
    EXPECT_EQ(plat_board_args(&argc, dangling.data()), -1);
    errno = 0;
    EXPECT_EQ(plat_board_open(dir.path.c_str(), "no-such-board"), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(BoardSelection, TheHostRootIsNeverABoardRoot)
{
    TempDir dir;
    std::string link = dir.path + "/host-root";
    ASSERT_EQ(symlink("/", link.c_str()), 0);
    for (const std::string& root : {std::string("/"), std::string("/tmp/.."), link}) {
        errno = 0;
        EXPECT_EQ(plat_board_open(root.c_str(), "rk3588-gpixel"), -1) << root;
        EXPECT_EQ(errno, EINVAL) << root;
    }
    EXPECT_NE(access("/.board", F_OK), 0); // nothing was laid out there
}

// What a failed start says names the real cause: an unknown profile with
// the profiles there are (and nothing made for it), a board root that
// cannot be written with its path and the reason.
TEST(BoardSelection, AFailedOpenNamesTheProfilesOrTheRootAndTheRealReason)
{
    TempDir dir;
    char canon[PATH_MAX];
    ASSERT_NE(realpath(dir.path.c_str(), canon), nullptr);
    ASSERT_EQ(chmod(canon, 0755), 0); // another user may look inside
    const std::string fresh = std::string(canon) + "/fresh";

    Opening o = open_in_child(fresh, "NO_SUCH", nullptr);
    EXPECT_EQ(o.rc, 1);
    EXPECT_NE(o.said.find("no board profile \"NO_SUCH\""), std::string::npos) << o.said;
    // The list ends the line; each name is whole.
    const std::string lead = "the profiles are ";
    size_t at = o.said.find(lead);
    ASSERT_NE(at, std::string::npos) << o.said;
    std::string list = o.said.substr(at + lead.size());
    list = list.substr(0, list.find('\n'));
    std::set<std::string> listed;
    for (size_t from = 0, comma = 0; comma != std::string::npos; from = comma + 2) {
        comma = list.find(", ", from);
        listed.insert(list.substr(from, comma - from));
    }
    EXPECT_EQ(listed, (std::set<std::string>{"rk3568-imx570", "rk3568-v23", "rk3576-fh8320", "rk3576-sc2210",
                                             "rk3588-gpixel", "rk3588-vd55h1"}))
        << o.said;
    EXPECT_NE(access(fresh.c_str(), F_OK), 0) << "a board root was made for no board";

    o = open_in_child(fresh, (std::string(canon) + "/none.ini").c_str(), nullptr);
    EXPECT_EQ(o.rc, 1);
    EXPECT_NE(o.said.find(std::string(canon) + "/none.ini: " + strerror(ENOENT)), std::string::npos) << o.said;

    const std::string root = std::string(canon) + "/board";
    ASSERT_EQ(mkdir(root.c_str(), 0555), 0);
    ASSERT_EQ(chmod(root.c_str(), 0555), 0); // whatever the umask
    o = open_in_child(root, "rk3588-gpixel", as_someone_else);
    ASSERT_NE(o.rc, 77) << "cannot give up the power to write";
    EXPECT_EQ(o.rc, 1);
    EXPECT_NE(o.said.find(root + " cannot be written: " + strerror(EACCES)), std::string::npos) << o.said;

    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    o = open_in_child(root, "rk3588-gpixel", read_only);
    if (o.rc == 77) GTEST_SKIP() << "no mount namespace here to make a read-only root";
    EXPECT_EQ(o.rc, 1);
    EXPECT_NE(o.said.find(root + " cannot be written: " + strerror(EROFS)), std::string::npos) << o.said;
}
