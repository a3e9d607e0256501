// The simulated board's devices, answered through the seam as device code
// asks them, and the faults tests can put on them.
#include "platform/boardroot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <linux/watchdog.h>
#include <net/if.h>
#include <random>
#include <string.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

// One vendor request on a fresh descriptor; a read fills `data` with what
// came back, sized by the length the device reported.
int vendor(unsigned long request, uint16_t id, std::string* data, uint16_t len = PLAT_VENDOR_DATA_MAX,
           uint32_t tag = PLAT_VENDOR_TAG)
{
    int fd = plat_open("/dev/vendor_storage", O_RDWR);
    if (fd < 0) return -1;
    plat_vendor_req_t req;
    memset(&req, 0xEE, sizeof(req));
    req.tag = tag;
    req.id = id;
    req.len = len;
    if (request == PLAT_VENDOR_WRITE) memcpy(req.data, data->data(), std::min(data->size(), sizeof(req.data)));
    int rc = plat_ioctl(fd, request, &req);
    int e = errno;
    if (rc == 0 && request == PLAT_VENDOR_READ) data->assign((const char*)req.data, req.len);
    plat_close(fd);
    errno = e;
    return rc;
}

// A 16-bit register read as the device code makes it: one combined transfer.
int i2c_read16(int fd, uint16_t addr, uint16_t reg, uint16_t* val)
{
    uint8_t out[2] = {(uint8_t)(reg >> 8), (uint8_t)reg};
    uint8_t in[2] = {0, 0};
    struct i2c_msg msgs[2] = {{addr, 0, 2, out}, {addr, I2C_M_RD, 2, in}};
    struct i2c_rdwr_ioctl_data rd = {msgs, 2};
    if (plat_ioctl(fd, I2C_RDWR, &rd) != 2) return -1;
    *val = (uint16_t)(in[0] << 8 | in[1]);
    return 0;
}

} // namespace

TEST(VendorStorage, ItemsReadBackPersistAndBadRequestsFail)
{
    TempDir dir;
    ASSERT_EQ(plat_board_open(dir.path.c_str(), "rk3588-gpixel"), 0);
    std::string s;
    ASSERT_EQ(vendor(PLAT_VENDOR_READ, PLAT_VENDOR_MAC, &s), 0); // the profile's item
    EXPECT_EQ(s, std::string("\x02\x56\x4b\x00\x00\x01", 6));
    std::string code = "F131461400000000", full(1024, 'z'), big(1025, 'x');
    ASSERT_EQ(vendor(PLAT_VENDOR_WRITE, PLAT_VENDOR_BOARD_CODE, &code, (uint16_t)code.size()), 0);
    ASSERT_EQ(vendor(PLAT_VENDOR_WRITE, 40, &full, 1024), 0);
    // A read with less room learns the item's length and gets only what fits.
    ASSERT_EQ(vendor(PLAT_VENDOR_READ, 40, &s, 10), 0);
    EXPECT_EQ(s, std::string(10, 'z') + std::string(1014, '\xEE'));

    EXPECT_EQ(vendor(PLAT_VENDOR_READ, 1, &s, 1024, 0x12345678), -1); // bad tag
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vendor(PLAT_VENDOR_READ, 77, &s), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(vendor(PLAT_VENDOR_WRITE, 26, &big, 1025), -1);
    EXPECT_EQ(errno, EINVAL);
    plat_board_close();

    ASSERT_EQ(plat_board_open(dir.path.c_str(), "rk3588-gpixel"), 0);
    ASSERT_EQ(vendor(PLAT_VENDOR_READ, PLAT_VENDOR_BOARD_CODE, &s), 0);
    EXPECT_EQ(s, code);
    EXPECT_EQ(sim_vendor_get(40, nullptr, 0), 1024);
    // A write the flash cannot keep leaves the item as it was.
    std::string flash = std::string(plat_board_root()) + "/.board/vendor_storage";
    ASSERT_TRUE(unlink(flash.c_str()) == 0 && mkdir(flash.c_str(), 0755) == 0);
    EXPECT_EQ(sim_vendor_set(PLAT_VENDOR_BOARD_CODE, "X", 1), -1);
    EXPECT_EQ(vendor(PLAT_VENDOR_WRITE, PLAT_VENDOR_BOARD_CODE, &big, 1), -1);
    EXPECT_EQ(errno, EIO);
    ASSERT_EQ(vendor(PLAT_VENDOR_READ, PLAT_VENDOR_BOARD_CODE, &s), 0);
    EXPECT_EQ(s, code);
    plat_board_close();
}

TEST(CpldProgramming, OnlyAnImageClosedWholeIsProgrammed)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    std::string image = read_host_file(b.host("/etc/fpga_update.bin"));
    int fd = plat_open("/dev/dev_cpld", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat_write(fd, image.data(), image.size()), (ssize_t)image.size());
    EXPECT_EQ(sim_cpld_programs(), 0u); // not before the close
    EXPECT_EQ(plat_close(fd), 0);
    EXPECT_EQ(sim_cpld_programs(), 1u);
    std::vector<char> got(image.size());
    EXPECT_EQ(sim_cpld_image(got.data(), got.size()), (long)image.size());
    EXPECT_EQ(std::string(got.data(), got.size()), image);

    // A failed close programs nothing, and the descriptor is gone all the same.
    ASSERT_EQ(sim_fail_nth("/dev/dev_cpld", SIM_REQ_CLOSE, 1, EIO), 0);
    fd = plat_open("/dev/dev_cpld", O_RDWR);
    EXPECT_EQ(plat_write(fd, "img", 3), 3);
    EXPECT_EQ(plat_close(fd), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(sim_cpld_programs(), 1u);
    EXPECT_EQ(plat_close(fd), -1);
    EXPECT_EQ(errno, EBADF);

    // The second write fails, and its bytes stay out.
    ASSERT_EQ(sim_fail_nth("/dev/dev_cpld", SIM_REQ_WRITE, 2, ENOSPC), 0);
    fd = plat_open("/dev/dev_cpld", O_RDWR);
    EXPECT_EQ(plat_write(fd, "a", 1), 1);
    EXPECT_EQ(plat_write(fd, "b", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(plat_write(fd, "c", 1), 1);
    EXPECT_EQ(plat_close(fd), 0);
    char img[4] = {};
    EXPECT_EQ(sim_cpld_image(img, sizeof(img)), 2);
    EXPECT_EQ(std::string(img, 2), "ac");
}

TEST(DeviceFaults, AbsentDevicesAndFailedOpensComeBackWhenCleared)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    int fd = plat_open("/dev/dev_cpld", O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(sim_set_absent("/dev/dev_cpld", 1), 0);
    EXPECT_NE(plat_access("/dev/dev_cpld", F_OK), 0);
    EXPECT_EQ(plat_open("/dev/dev_cpld", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(plat_write(fd, "x", 1), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(plat_close(fd), 0);
    // Opens of plain files can fail on purpose too ("exists but cannot be opened").
    ASSERT_EQ(sim_fail_nth("/etc/spdlog.conf", SIM_REQ_OPEN, 1, EACCES), 0);
    EXPECT_EQ(plat_open("/etc/spdlog.conf", O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);

    // Clearing brings every device and chip back and drops pending faults.
    ASSERT_EQ(sim_i2c_set_absent(6, 0x48, 1), 0);
    ASSERT_EQ(sim_i2c_set_busy(6, 0x49, 100), 0);
    ASSERT_EQ(sim_fail_nth("/dev/i2c-6", SIM_REQ_OPEN, 1, EIO), 0);
    sim_faults_clear();
    struct stat st;
    ASSERT_EQ(plat_stat("/dev/dev_cpld", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, sim_device_rdev("/dev/dev_cpld"));
    fd = plat_open("/dev/i2c-6", O_RDWR);
    uint16_t raw;
    EXPECT_EQ(i2c_read16(fd, 0x48, 0, &raw), 0);
    EXPECT_EQ(i2c_read16(fd, 0x49, 0, &raw), 0);
    plat_close(fd);
}

TEST(I2cBus, SensorsAnswerAbsentChipsFailBusyOnesAreRetried)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    int fd = plat_open("/dev/i2c-6", O_RDWR);
    ASSERT_GE(fd, 0);
    uint16_t raw = 0;
    ASSERT_EQ(i2c_read16(fd, 0x48, 0, &raw), 0);
    EXPECT_EQ(raw, 36.5 * 16 * 8); // the profile's temperature, 1/16 degree in bits 15..3
    ASSERT_EQ(sim_i2c_set_temperature(6, 0x49, -0.0625), 0);
    ASSERT_EQ(i2c_read16(fd, 0x49, 0, &raw), 0);
    EXPECT_EQ(raw, 0xFFF8);

    EXPECT_EQ(i2c_read16(fd, 0x50, 0, &raw), -1); // nothing at 0x50
    EXPECT_EQ(errno, ENXIO);
    ASSERT_EQ(sim_i2c_set_absent(6, 0x49, 1), 0);
    EXPECT_EQ(i2c_read16(fd, 0x49, 0, &raw), -1);
    EXPECT_EQ(errno, ENXIO);

    // A chip that loses arbitration is tried again as often as I2C_RETRIES says.
    ASSERT_EQ(plat_ioctl(fd, I2C_RETRIES, 1UL), 0);
    ASSERT_EQ(sim_i2c_set_busy(6, 0x48, 1), 0);
    EXPECT_EQ(i2c_read16(fd, 0x48, 0, &raw), 0);
    unsigned long transfers = 0, attempts = 0;
    ASSERT_EQ(sim_i2c_stats(6, 0x48, &transfers, &attempts), 0);
    EXPECT_EQ(attempts - transfers, 1u);
    ASSERT_EQ(sim_i2c_set_busy(6, 0x48, 2), 0);
    EXPECT_EQ(i2c_read16(fd, 0x48, 0, &raw), -1);
    EXPECT_EQ(errno, EAGAIN);
    plat_close(fd);
}

TEST(I2cBus, BoardCpldAndImuAnswerThroughSlaveSelect)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    int fd = plat_open("/dev/i2c-3", O_RDWR), fd2 = plat_open("/dev/i2c-3", O_RDWR);
    ASSERT_GE(fd, 0);
    // The board CPLD: select it, write register and value, read it back.
    ASSERT_EQ(plat_ioctl(fd, I2C_SLAVE, 0x11UL), 0);
    uint8_t wr[2] = {59, 0x0D}, val = 0;
    EXPECT_EQ(plat_write(fd, wr, 2), 2);
    EXPECT_EQ(plat_write(fd, wr, 1), 1);
    EXPECT_EQ(plat_read(fd, &val, 1), 1);
    EXPECT_EQ(val, 0x0D);
    // The IMU answers the 16-bit probe with its chip id, which a write cannot change.
    uint8_t imu_wr[2] = {0, 0x77};
    struct i2c_msg m = {0x69, 0, 2, imu_wr};
    struct i2c_rdwr_ioctl_data d = {&m, 1};
    ASSERT_EQ(plat_ioctl(fd, I2C_RDWR, &d), 1);
    uint16_t raw = 0;
    ASSERT_EQ(i2c_read16(fd, 0x69, 0, &raw), 0);
    EXPECT_EQ(raw >> 8, 0x24);
    // An unselected descriptor talks to address 0, where nothing answers.
    EXPECT_EQ(plat_read(fd2, &val, 1), -1);
    EXPECT_EQ(errno, ENXIO);
    plat_close(fd2);
    plat_close(fd);
}

// Several threads drive one bus at once, each its own register range of the
// CPLD; every value read back is the one that thread wrote last.
TEST(I2cBus, ConcurrentClientsKeepTheirRegisters)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    std::atomic<int> bad{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++) {
        ts.emplace_back([t, &bad] {
            int fd = plat_open("/dev/i2c-3", O_RDWR);
            if (fd < 0) {
                bad++;
                return;
            }
            std::mt19937 rng((unsigned)t);
            uint8_t model[16] = {};
            for (int i = 0; i < 300; i++) {
                uint8_t reg = (uint8_t)(t * 16 + rng() % 16), v = (uint8_t)rng();
                uint8_t out[2] = {reg, v};
                struct i2c_msg w = {0x11, 0, 2, out};
                struct i2c_rdwr_ioctl_data d1 = {&w, 1};
                if (plat_ioctl(fd, I2C_RDWR, &d1) != 1) bad++;
                model[reg - t * 16] = v;
                uint8_t probe = (uint8_t)(t * 16 + rng() % 16), in = 0;
                struct i2c_msg rw[2] = {{0x11, 0, 1, &probe}, {0x11, I2C_M_RD, 1, &in}};
                struct i2c_rdwr_ioctl_data d2 = {rw, 2};
                if (plat_ioctl(fd, I2C_RDWR, &d2) != 2 || in != model[probe - t * 16]) bad++;
            }
            plat_close(fd);
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(Watchdog, OneOpenerMagicCloseAndTimeout)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    int fd = plat_open("/dev/watchdog", O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat_open("/dev/watchdog", O_WRONLY), -1);
    EXPECT_EQ(errno, EBUSY);
    int t = 40;
    EXPECT_EQ(plat_ioctl(fd, WDIOC_SETTIMEOUT, &t), 0);
    EXPECT_EQ(plat_write(fd, "\0", 1), 1);
    EXPECT_EQ(plat_ioctl(fd, WDIOC_KEEPALIVE, nullptr), 0);
    sim_watchdog_t st;
    ASSERT_EQ(sim_watchdog_state(&st), 0);
    EXPECT_TRUE(st.open && st.armed && !st.expired && st.feeds == 2 && st.timeout == 40);
    // Closing without the magic character leaves it running.
    EXPECT_EQ(plat_close(fd), 0);
    ASSERT_EQ(sim_watchdog_state(&st), 0);
    EXPECT_TRUE(!st.open && st.armed);
    fd = plat_open("/dev/watchdog", O_WRONLY);
    EXPECT_EQ(plat_write(fd, "V", 1), 1);
    EXPECT_EQ(plat_close(fd), 0);
    ASSERT_EQ(sim_watchdog_state(&st), 0);
    EXPECT_FALSE(st.armed);
}

TEST(FreeSpace, EachMountReportsWhatTheTestSets)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    auto free_mib = [](const char* path) -> long long {
        struct statvfs st;
        if (plat_statvfs(path, &st) != 0) return -1;
        return (long long)(st.f_bavail * st.f_frsize >> 20);
    };
    EXPECT_EQ(free_mib("/userdata"), 4096);
    ASSERT_EQ(sim_set_free_space("/userdata", 100ull << 20), 0);
    EXPECT_EQ(free_mib("/userdata/const"), 100); // same file system
    EXPECT_EQ(free_mib("/"), 4096);
    ASSERT_EQ(sim_fill_disk("/"), 0);
    EXPECT_EQ(free_mib("/etc"), 0);
    EXPECT_EQ(free_mib("/userdata"), 100);
}

TEST(LinkSpeed, MiiAnswersFromTheBoardModelOnARealInterface)
{
    BoardRoot b;
    ASSERT_EQ(b.rc, 0);
    testfs::Fd s(socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_GE(s.fd, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "lo");
    ASSERT_EQ(plat_ioctl(s, SIOCGIFFLAGS, &ifr), 0); // interface facts still come from the kernel
    EXPECT_TRUE(ifr.ifr_flags & IFF_LOOPBACK);
    auto* mii = reinterpret_cast<struct mii_ioctl_data*>(&ifr.ifr_ifru);
    for (int speed : {1000, 100}) {
        ASSERT_EQ(sim_set_link_speed(speed), 0);
        ASSERT_EQ(plat_ioctl(s, SIOCGMIIPHY, &ifr), 0);
        mii->reg_num = 26;
        ASSERT_EQ(plat_ioctl(s, SIOCGMIIREG, &ifr), 0);
        EXPECT_EQ((mii->val_out >> 4) & 3, speed == 1000 ? 2 : 1);
    }
    ASSERT_EQ(sim_set_link_speed(0), 0);
    EXPECT_EQ(plat_ioctl(s, SIOCGMIIPHY, &ifr), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
}

// A model of the kind capture nodes will be: buffers shared through a memfd
// the caller maps, and a node that turns readable when a buffer is filled.
namespace {

struct FakeCapture {
    int  memfd = -1;
    bool destroyed = false;
};

int cap_ioctl(void* model, sim_node_t* node, unsigned long request, void*)
{
    auto* m = static_cast<FakeCapture*>(model);
    if (request == 1 && pwrite(m->memfd, "frame-1", 8, 4096) != 8) return -EIO;
    sim_node_set_readable(node, request == 1);
    return 0;
}

int cap_mmap(void* model, sim_node_t*, size_t length, off_t offset, int* memfd, off_t* memoff)
{
    if (offset < 0 || (size_t)offset + length > 8192) return -EINVAL;
    *memfd = static_cast<FakeCapture*>(model)->memfd;
    *memoff = offset;
    return 0;
}

void cap_destroy(void* model) { static_cast<FakeCapture*>(model)->destroyed = true; }

const sim_devops_t kCapOps = {nullptr, nullptr, cap_ioctl, nullptr, nullptr, cap_mmap, cap_destroy};

} // namespace

TEST(DeviceModels, SharedBuffersAndReadinessPlugInLikeTheBoardsNodes)
{
    FakeCapture cap;
    {
        BoardRoot b;
        ASSERT_EQ(b.rc, 0);
        cap.memfd = memfd_create("fake-capture", MFD_CLOEXEC);
        ASSERT_EQ(ftruncate(cap.memfd, 8192), 0);
        ASSERT_EQ(sim_device_add("/dev/video-fake", &kCapOps, &cap), 0);
        EXPECT_EQ(sim_device_model("/dev/video-fake"), &cap);

        int fd = plat_open("/dev/video-fake", O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        testfs::Fd ep(epoll_create1(EPOLL_CLOEXEC));
        struct epoll_event ev = {}, got;
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ASSERT_EQ(epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev), 0);
        EXPECT_EQ(epoll_wait(ep, &got, 1, 0), 0);

        void* p = plat_mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 4096);
        ASSERT_NE(p, MAP_FAILED);
        EXPECT_EQ(plat_mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 4096), MAP_FAILED);
        EXPECT_EQ(plat_ioctl(fd, 1UL), 0); // a frame arrives
        ASSERT_EQ(epoll_wait(ep, &got, 1, 5000), 1);
        EXPECT_EQ(got.data.fd, fd);
        EXPECT_STREQ(static_cast<const char*>(p), "frame-1");
        EXPECT_EQ(plat_ioctl(fd, 2UL), 0); // and is taken
        struct pollfd pfd = {fd, POLLIN, 0};
        EXPECT_EQ(plat_poll(&pfd, 1, 0), 0);
        EXPECT_EQ(plat_munmap(p, 4096), 0);
        EXPECT_EQ(plat_close(fd), 0);
    }
    EXPECT_TRUE(cap.destroyed);
    close(cap.memfd);
}

TEST(DeviceModels, NodesLeftOpenAreClosedWithTheBoard)
{
    int fd;
    {
        BoardRoot b;
        ASSERT_EQ(b.rc, 0);
        fd = plat_open("/dev/watchdog", O_WRONLY);
        ASSERT_GE(fd, 0);
    }
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

// A model whose node cannot be placed is not kept: the caller still owns it,
// and the board never releases it.
TEST(DeviceModels, AFailedAddLeavesTheModelToTheCaller)
{
    FakeCapture cap;
    {
        BoardRoot b;
        ASSERT_EQ(b.rc, 0);
        EXPECT_EQ(sim_device_add("/etc/spdlog.conf/video0", &kCapOps, &cap), -1); // a file is no directory
        EXPECT_EQ(sim_device_model("/etc/spdlog.conf/video0"), nullptr);
    }
    EXPECT_FALSE(cap.destroyed);
}
