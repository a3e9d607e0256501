// Runs of datagrams: the way a socket is given, what a run becomes on the
// receiving socket in each way, and the fall-back when the kernel refuses
// to segment for the socket.
#include <gtest/gtest.h>

#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/pumptest.h"
#include "udpbatch.h"

namespace {

struct Loop {
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    int rx = -1;
    sockaddr_in to{};
    Loop()
    {
        int port = 0;
        rx = pumptest::loopback_socket(SOCK_DGRAM, &port);
        EXPECT_EQ(udpbatch_addr("127.0.0.1", (unsigned short)port, &to), 0);
    }
    ~Loop()
    {
        close(tx);
        close(rx);
    }
    std::vector<std::string> take(size_t n)
    {
        std::vector<std::string> got;
        char buf[65536];
        while (got.size() < n) {
            pollfd pf{rx, POLLIN, 0};
            if (poll(&pf, 1, 3000) != 1) break;
            ssize_t k = recv(rx, buf, sizeof buf, 0);
            if (k < 0) break;
            got.emplace_back(buf, (size_t)k);
        }
        return got;
    }
    bool quiet()
    {
        pollfd pf{rx, POLLIN, 0};
        return poll(&pf, 1, 50) == 0;
    }
};

// count datagrams of a 4-byte header "H<i>" and `seg - 4` data bytes, the
// last one `last` data bytes.
struct RunOf {
    std::vector<std::string> hdr, data;
    std::vector<iovec> iov;
    RunOf(int count, size_t seg, size_t last)
    {
        for (int i = 0; i < count; i++) {
            hdr.push_back({'H', (char)('0' + i / 100 % 10), (char)('0' + i / 10 % 10), (char)('0' + i % 10)});
            data.emplace_back(i + 1 < count ? seg - 4 : last, (char)('a' + i % 26));
        }
        for (int i = 0; i < count; i++) {
            iov.push_back({hdr[i].data(), 4});
            iov.push_back({data[i].data(), data[i].size()});
        }
    }
    std::string datagram(int i) const { return hdr[i] + data[i]; }
};

TEST(UdpBatch, TheBestWayOfferedIsTakenAndNamesReadBothWays)
{
    Loop l;
    udpbatch_t b;
    EXPECT_EQ(udpbatch_init(&b, l.tx, UDPB_SEGMENT), UDPB_SEGMENT);  // this kernel segments
    EXPECT_EQ(udpbatch_init(&b, l.tx, UDPB_MMSG), UDPB_MMSG);
    EXPECT_EQ(udpbatch_init(&b, l.tx, UDPB_SINGLE), UDPB_SINGLE);
    // No socket, nothing offered: one datagram per call.
    EXPECT_EQ(udpbatch_init(&b, -1, UDPB_SEGMENT), UDPB_SINGLE);
    for (int w : {UDPB_SEGMENT, UDPB_MMSG, UDPB_SINGLE}) EXPECT_EQ(udpbatch_way_named(udpbatch_way_name(w)), w);
    EXPECT_EQ(udpbatch_way_named("gso"), -1);
    EXPECT_EQ(udpbatch_way_named(nullptr), -1);
    sockaddr_in a;
    EXPECT_EQ(udpbatch_addr("127.0.0.300", 1, &a), -1);
}

// A segmented call carries at most one IPv4 datagram's payload (65,507
// bytes) and the kernel's segment count. A larger one the kernel refuses,
// and the socket would stop segmenting for good.
TEST(UdpBatch, ASegmentedRunFitsOneIPv4PayloadAndTheSocketKeepsSegmenting)
{
    Loop l;
    udpbatch_t b;
    udpbatch_init(&b, l.tx, UDPB_SEGMENT);
    EXPECT_EQ(udpbatch_run_max(&b, 1472), 44);
    EXPECT_EQ(udpbatch_run_max(&b, 8972), 7);
    EXPECT_EQ(udpbatch_run_max(&b, 73), 64);
    EXPECT_EQ(udpbatch_run_max(&b, 65507), 1);
    for (size_t seg = 1; seg <= 65507; seg++) {
        EXPECT_LE(udpbatch_run_max(&b, seg) * seg, 65507u) << seg;
        if (udpbatch_run_max(&b, seg) * seg > 65507) break;
    }
    // 44 datagrams of 1,489 bytes would be 65,516; 3 of 21,836, 65,508.
    for (size_t seg : {(size_t)1489, (size_t)21836}) {
        SCOPED_TRACE(seg);
        udpbatch_init(&b, l.tx, UDPB_SEGMENT);
        const int n = udpbatch_run_max(&b, seg);
        RunOf run(n, seg, seg - 4);
        EXPECT_EQ(udpbatch_send(&b, &l.to, run.iov.data(), 2, n, seg), n);
        auto got = l.take((size_t)n);
        ASSERT_EQ((int)got.size(), n);
        for (int i = 0; i < n; i++) EXPECT_EQ(got[i], run.datagram(i)) << i;
        EXPECT_EQ(b.way, UDPB_SEGMENT);
        EXPECT_EQ(b.refusedErr, 0);
    }
    udpbatch_init(&b, l.tx, UDPB_MMSG);
    EXPECT_EQ(udpbatch_run_max(&b, 8972), UDPB_MAX_RUN);
}

// A caller offering more datagrams than a run holds gets the first run
// sent, and the count sent back, in every way.
TEST(UdpBatch, ACallSendsOneRunAtMostAndReportsHowMany)
{
    for (int way : {UDPB_SINGLE, UDPB_MMSG, UDPB_SEGMENT}) {
        for (size_t seg : {(size_t)1472, (size_t)73}) {
            SCOPED_TRACE(std::string(udpbatch_way_name(way)) + " " + std::to_string(seg));
            Loop l;
            udpbatch_t b;
            ASSERT_EQ(udpbatch_init(&b, l.tx, way), way);
            const int n = udpbatch_run_max(&b, seg);
            RunOf run(100, seg, seg - 4);
            EXPECT_EQ(udpbatch_send(&b, &l.to, run.iov.data(), 2, 100, seg), n);
            auto got = l.take((size_t)n);
            ASSERT_EQ((int)got.size(), n);
            for (int i = 0; i < n; i++) EXPECT_EQ(got[i], run.datagram(i)) << i;
            EXPECT_TRUE(l.quiet());
            EXPECT_EQ(b.way, way);
        }
    }
}

TEST(UdpBatch, EveryWayDeliversTheRunAsSeparateDatagramsInOrder)
{
    for (int way : {UDPB_SEGMENT, UDPB_MMSG, UDPB_SINGLE}) {
        SCOPED_TRACE(udpbatch_way_name(way));
        Loop l;
        udpbatch_t b;
        ASSERT_EQ(udpbatch_init(&b, l.tx, way), way);
        for (size_t last : {(size_t)1468, (size_t)5}) {  // a full last datagram, a short one
            RunOf run(udpbatch_run_max(&b, 1472), 1472, last);
            const int n = (int)run.hdr.size();
            EXPECT_EQ(udpbatch_send(&b, &l.to, run.iov.data(), 2, n, 1472), n);
            auto got = l.take((size_t)n);
            ASSERT_EQ((int)got.size(), n);
            for (int i = 0; i < n; i++) EXPECT_EQ(got[i], run.datagram(i)) << i;
        }
        // One datagram of a run is sent as it stands.
        RunOf one(1, 1472, 700);
        EXPECT_EQ(udpbatch_send(&b, &l.to, one.iov.data(), 2, 1, 1472), 1);
        auto got = l.take(1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], one.datagram(0));
        EXPECT_TRUE(l.quiet());
        EXPECT_EQ(b.way, way);
    }
}

// A socket without UDP checksums cannot be segmented: the kernel refuses
// the first segmented call; that run and every later one go by sendmmsg,
// nothing lost.
TEST(UdpBatch, ARefusedSegmentedSendIsSentDatagramByDatagramAndTheSocketStopsSegmenting)
{
    Loop l;
    int one = 1;
    ASSERT_EQ(setsockopt(l.tx, SOL_SOCKET, SO_NO_CHECK, &one, sizeof one), 0);
    udpbatch_t b;
    ASSERT_EQ(udpbatch_init(&b, l.tx, UDPB_SEGMENT), UDPB_SEGMENT);
    for (int pass = 0; pass < 2; pass++) {
        RunOf run(10, 1000, 300);
        EXPECT_EQ(udpbatch_send(&b, &l.to, run.iov.data(), 2, 10, 1000), 10);
        auto got = l.take(10);
        ASSERT_EQ(got.size(), 10u);
        for (int i = 0; i < 10; i++) EXPECT_EQ(got[i], run.datagram(i));
        EXPECT_EQ(b.way, UDPB_MMSG);
        EXPECT_EQ(b.refusedErr, EINVAL);
    }
    EXPECT_TRUE(l.quiet());
}

}  // namespace
