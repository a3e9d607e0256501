/* Runs of equal-sized datagrams in few kernel calls; see udpbatch.h. */
#include "udpbatch.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/udp.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>

#ifndef SOL_UDP
#define SOL_UDP 17
#endif
#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {

/* Segments per call every kernel with UDP_SEGMENT takes (its
 * UDP_MAX_SEGMENTS was 64 when the option came in). */
constexpr int kMaxSegments = 64;
static_assert(kMaxSegments <= UDPB_MAX_RUN);

bool segment_offered(int fd)
{
    int v = 0;
    socklen_t l = sizeof v;
    return getsockopt(fd, SOL_UDP, UDP_SEGMENT, &v, &l) == 0;
}

bool mmsg_offered(int fd)
{
    /* An empty vector: 0 where the call exists, ENOSYS where it does not. */
    struct mmsghdr none;
    memset(&none, 0, sizeof none);
    return sendmmsg(fd, &none, 0, MSG_NOSIGNAL) == 0;
}

/* The kernel cannot segment for this socket, route or size. */
bool refusal(int err)
{
    return err == EINVAL || err == EIO || err == EMSGSIZE || err == EOPNOTSUPP || err == ENOPROTOOPT;
}

int send_single(int fd, const sockaddr_in* to, const iovec* iov, int per, int count)
{
    int sent = 0;
    for (int i = 0; i < count; i++) {
        msghdr m;
        memset(&m, 0, sizeof m);
        m.msg_name = const_cast<sockaddr_in*>(to);
        m.msg_namelen = sizeof *to;
        m.msg_iov = const_cast<iovec*>(iov + (size_t)i * per);
        m.msg_iovlen = (size_t)per;
        ssize_t n;
        do {
            n = sendmsg(fd, &m, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n >= 0) sent++;
    }
    return sent;
}

int send_mmsg(udpbatch_t* b, const sockaddr_in* to, const iovec* iov, int per, int count)
{
    mmsghdr m[UDPB_MAX_RUN];
    memset(m, 0, sizeof(mmsghdr) * (size_t)count);
    for (int i = 0; i < count; i++) {
        m[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(to);
        m[i].msg_hdr.msg_namelen = sizeof *to;
        m[i].msg_hdr.msg_iov = const_cast<iovec*>(iov + (size_t)i * per);
        m[i].msg_hdr.msg_iovlen = (size_t)per;
    }
    int done = 0, sent = 0;
    while (done < count) {
        int n = sendmmsg(b->fd, m + done, (unsigned)(count - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += n;
            sent += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == ENOSYS) {
            b->way = UDPB_SINGLE;
            return sent + send_single(b->fd, to, iov + (size_t)done * per, per, count - done);
        } else {
            done++; /* the kernel failed the first one left: it is lost */
        }
    }
    return sent;
}

}  // namespace

int udpbatch_init(udpbatch_t* b, int fd, int best)
{
    b->fd = fd;
    b->refusedErr = 0;
    b->way = UDPB_SINGLE;
    if (best <= UDPB_SEGMENT && segment_offered(fd)) b->way = UDPB_SEGMENT;
    else if (best <= UDPB_MMSG && mmsg_offered(fd)) b->way = UDPB_MMSG;
    return b->way;
}

int udpbatch_way_named(const char* name)
{
    if (!name) return -1;
    if (strcmp(name, "segment") == 0) return UDPB_SEGMENT;
    if (strcmp(name, "sendmmsg") == 0) return UDPB_MMSG;
    if (strcmp(name, "sendto") == 0) return UDPB_SINGLE;
    return -1;
}

const char* udpbatch_way_name(int way)
{
    switch (way) {
    case UDPB_SEGMENT: return "segment";
    case UDPB_MMSG:    return "sendmmsg";
    default:           return "sendto";
    }
}

int udpbatch_run_max(const udpbatch_t* b, size_t segSize)
{
    if (b->way != UDPB_SEGMENT || segSize == 0) return UDPB_MAX_RUN;
    return (int)std::clamp<size_t>(UDPB_MAX_SEGMENTED / segSize, 1, kMaxSegments);
}

int udpbatch_send(udpbatch_t* b, const sockaddr_in* to, const iovec* iov, int per, int count, size_t segSize)
{
    if (!b || !to || !iov || per <= 0 || count <= 0) return 0;
    count = std::min(count, udpbatch_run_max(b, segSize));
    if (b->way == UDPB_SEGMENT) {
        union {
            char buf[CMSG_SPACE(sizeof(uint16_t))];
            cmsghdr align;
        } ctl;
        memset(&ctl, 0, sizeof ctl);
        msghdr m;
        memset(&m, 0, sizeof m);
        m.msg_name = const_cast<sockaddr_in*>(to);
        m.msg_namelen = sizeof *to;
        m.msg_iov = const_cast<iovec*>(iov);
        m.msg_iovlen = (size_t)count * per;
        if (count > 1) {
            m.msg_control = ctl.buf;
            m.msg_controllen = sizeof ctl.buf;
            cmsghdr* c = CMSG_FIRSTHDR(&m);
            c->cmsg_level = SOL_UDP;
            c->cmsg_type = UDP_SEGMENT;
            c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            uint16_t size = (uint16_t)segSize;
            memcpy(CMSG_DATA(c), &size, sizeof size);
        }
        ssize_t n;
        do {
            n = sendmsg(b->fd, &m, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n >= 0) return count;
        /* Nothing of the run went: it goes datagram by datagram, so that a
         * failure costs one datagram as it would have without segmenting. */
        if (refusal(errno)) {
            b->refusedErr = errno;
            b->way = mmsg_offered(b->fd) ? UDPB_MMSG : UDPB_SINGLE;
        }
        if (b->way == UDPB_SINGLE) return send_single(b->fd, to, iov, per, count);
    }
    if (b->way == UDPB_MMSG) return send_mmsg(b, to, iov, per, count);
    return send_single(b->fd, to, iov, per, count);
}

int udpbatch_send_one(udpbatch_t* b, const sockaddr_in* to, const void* buf, size_t len)
{
    if (!b || !to || !buf) return -1;
    ssize_t n;
    do {
        n = sendto(b->fd, buf, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(to), sizeof *to);
    } while (n < 0 && errno == EINTR);
    return (int)n;
}

int udpbatch_addr(const char* ip, unsigned short port, sockaddr_in* to)
{
    if (!ip || !to) return -1;
    memset(to, 0, sizeof *to);
    to->sin_family = AF_INET;
    to->sin_port = htons(port);
    return inet_pton(AF_INET, ip, &to->sin_addr) == 1 ? 0 : -1;
}
