#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "base/pumptest.h"
#include "epudp.h"
#include "frame.h"
#include "iodev.h"

using namespace pumptest;

namespace {

struct Echo {
    Latch got;
    std::mutex m;
    std::string from_ip;
    int from_port = 0;
};

/* Answers every waiting datagram to its sender with "pong:" in front. */
int echo_cb(void* cbpara, void* obj, int event, int fdtype)
{
    auto* e = static_cast<Echo*>(cbpara);
    auto* dev = static_cast<iodev_t*>(obj);
    if (event != EVT_READ) return 0;
    EXPECT_EQ(fdtype, IODEV_UDP_LISTEN);
    char buf[256];
    int n;
    while ((n = epudp_recv(dev, buf + 5, (int)sizeof buf - 5)) > 0) {
        memcpy(buf, "pong:", 5);
        epudp_send_to(dev, buf, n + 5);
        {
            std::lock_guard<std::mutex> g(e->m);
            e->from_ip = iodev_rip(dev);
            e->from_port = iodev_rport(dev);
        }
        e->got.hit();
    }
    return 0;
}

int udp_socket_on_loopback(int* port)
{
    int fd = pumptest::loopback_socket(SOCK_DGRAM, port);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

void send_to_port(int fd, int port, const char* text)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, text, strlen(text), 0, (sockaddr*)&to, sizeof to);
}

} // namespace

TEST(EpUdp, RecvKeepsTheSenderAndSendToAnswersIt)
{
    Echo e;
    Core c;
    ASSERT_TRUE(start_pumps(c.core, 2));
    int port = free_tcp_port(SOCK_DGRAM);
    int r;
    iodev_t* dev = epudp_listen(c.core, "127.0.0.1", port, nullptr, &r, echo_cb, &e, BIND_SELECT, nullptr, nullptr);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(iodev_fdtype(dev), IODEV_UDP_LISTEN);

    int cport;
    int cfd = udp_socket_on_loopback(&cport);
    send_to_port(cfd, port, "ping");
    char buf[64] = {0};
    ASSERT_EQ(recv(cfd, buf, sizeof buf, 0), 9);
    EXPECT_STREQ(buf, "pong:ping");
    ASSERT_TRUE(e.got.wait_for(1));
    {
        std::lock_guard<std::mutex> g(e.m);
        EXPECT_EQ(e.from_ip, "127.0.0.1");
        EXPECT_EQ(e.from_port, cport);
    }

    /* A second sender is answered too, not the first one. */
    int cport2;
    int cfd2 = udp_socket_on_loopback(&cport2);
    send_to_port(cfd2, port, "two");
    memset(buf, 0, sizeof buf);
    ASSERT_EQ(recv(cfd2, buf, sizeof buf, 0), 8);
    EXPECT_STREQ(buf, "pong:two");
    close(cfd);
    close(cfd2);
}

namespace {
struct FrameSink {
    frame_t* frm = frame_new(0);
    ep_sockaddr_t from{};
    int got = 0;
    ~FrameSink() { frame_free(frm); }
};
int frame_cb(void* cbpara, void* obj, int event, int fdtype)
{
    auto* s = static_cast<FrameSink*>(cbpara);
    EXPECT_EQ(fdtype, IODEV_UDP_CLIENT);
    if (event == EVT_READ) {
        int alen = 0;
        while (epudp_recvfrom(static_cast<iodev_t*>(obj), s->frm, &s->from, &alen) > 0) s->got++;
    }
    return 0;
}
} // namespace

TEST(EpUdp, ClientDatagramsLandInTheTailOfAFrame)
{
    FrameSink sink;
    Core c;
    ManualPump mp(c.core);
    int r;
    iodev_t* devs[4];
    int num = 4;
    iodev_t* dev = epudp_client(c.core, "127.0.0.1", 0, nullptr, &r, frame_cb, &sink, devs, &num);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(num, 1);
    EXPECT_EQ(iodev_evpump(dev), mp.pump);
    int dport = iodev_lport(dev);
    ASSERT_NE(dport, 0);

    int cport;
    int cfd = udp_socket_on_loopback(&cport);
    send_to_port(cfd, dport, "abc");
    send_to_port(cfd, dport, "defg");
    ASSERT_TRUE(wait_until([&] { return sock_unread_data(iodev_fd(dev)) > 0; }));
    mp.pass(100);
    EXPECT_EQ(sink.got, 2);
    EXPECT_EQ(std::string((char*)sink.frm->data + sink.frm->start, sink.frm->len), "abcdefg");
    EXPECT_EQ(sink.from.family, AF_INET);
    EXPECT_EQ(ntohs(sink.from.u.addr4.sin_port), cport);
    close(cfd);
    iodev_close(dev);
}

TEST(EpUdp, SocketCreateGivesABlockingBoundSocket)
{
    int port = free_tcp_port(SOCK_DGRAM);
    int fd = epudp_socket_create("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sock_nonblock_get(fd), 0);
    sockaddr_in a{};
    socklen_t l = sizeof a;
    getsockname(fd, (sockaddr*)&a, &l);
    EXPECT_EQ(ntohs(a.sin_port), port);
    close(fd);
}
