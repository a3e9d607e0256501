// UDP endpoints: the reply path answers whoever sent the last datagram,
// client datagrams gather in a frame, and plain bound sockets for tasks.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "base/pumptest.h"
#include "epudp.h"
#include "frame.h"
#include "iodev.h"

using namespace pumptest;

namespace {

/* Answers every waiting datagram to its sender with "pong:" in front: the
 * answer reaches a sender only when epudp_recv kept its address. */
int echo_cb(void*, void* obj, int event, int fdtype)
{
    auto* dev = static_cast<iodev_t*>(obj);
    if (event != EVT_READ) return 0;
    EXPECT_EQ(fdtype, IODEV_UDP_LISTEN);
    char buf[256] = "pong:";
    int n;
    while ((n = epudp_recv(dev, buf + 5, (int)sizeof buf - 5)) > 0) epudp_send_to(dev, buf, n + 5);
    return 0;
}

int udp_on_loopback(int* port)
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
    Core c;
    ASSERT_TRUE(start_pumps(c.core, 2));
    int r;
    iodev_t* dev = epudp_listen(c.core, "127.0.0.1", 0, nullptr, &r, echo_cb, nullptr, BIND_SELECT, nullptr, nullptr);
    ASSERT_NE(dev, nullptr);
    int port = iodev_lport(dev);
    ASSERT_NE(port, 0);
    /* Each of two senders gets its own answer. */
    for (const char* text : {"ping", "two"}) {
        int cport;
        int cfd = udp_on_loopback(&cport);
        send_to_port(cfd, port, text);
        char buf[64] = {0};
        EXPECT_EQ(recv(cfd, buf, sizeof buf, 0), (ssize_t)strlen(text) + 5);
        EXPECT_EQ(std::string(buf), std::string("pong:") + text);
        close(cfd);
    }
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
    int alen = 0;
    if (event == EVT_READ)
        while (epudp_recvfrom(static_cast<iodev_t*>(obj), s->frm, &s->from, &alen) > 0) s->got++;
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

    int cport;
    int cfd = udp_on_loopback(&cport);
    send_to_port(cfd, iodev_lport(dev), "abc");
    send_to_port(cfd, iodev_lport(dev), "defg");
    ASSERT_TRUE(wait_until([&] { return sock_unread_data(iodev_fd(dev)) > 0; }));
    mp.pass(100);
    EXPECT_EQ(sink.got, 2);
    EXPECT_EQ(std::string((char*)sink.frm->data + sink.frm->start, sink.frm->len), "abcdefg");
    EXPECT_EQ(ntohs(sink.from.u.addr4.sin_port), cport);
    close(cfd);
    iodev_close(dev);
}

TEST(EpUdp, SocketCreateGivesABlockingBoundSocket)
{
    HeldPort held(SOCK_DGRAM, true); /* the socket shares addresses */
    int port = held.port;
    int fd = epudp_socket_create("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sock_nonblock_get(fd), 0);
    sockaddr_in a{};
    socklen_t l = sizeof a;
    getsockname(fd, (sockaddr*)&a, &l);
    EXPECT_EQ(ntohs(a.sin_port), port);
    close(fd);
}
