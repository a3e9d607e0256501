/* Unix-domain stream sockets bound to file-system paths: listening,
 * accepting (with a check of the peer's own socket file) and connecting. */
#include "usock.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tsock.h"

namespace {

constexpr int kListenBacklog = 100;

void close_keep_errno(int fd)
{
    int e = errno;
    close(fd);
    errno = e;
}

/* Fills the address for path; the path must fit sun_path with its NUL
 * (a longer one would be cut or run past the field). Returns the address
 * length (path length + the family field) or -1 with errno set. */
int make_addr(const char* path, struct sockaddr_un* sa)
{
    if (!path || !path[0]) {
        errno = EINVAL;
        return -1;
    }
    size_t len = strnlen(path, sizeof(sa->sun_path));
    if (len >= sizeof(sa->sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memset(sa, 0, sizeof(*sa));
    sa->sun_family = AF_UNIX;
    memcpy(sa->sun_path, path, len + 1);
    return (int)(offsetof(struct sockaddr_un, sun_path) + len);
}

}  // namespace

int usock_create(const char* path)
{
    struct sockaddr_un sa;
    int alen = make_addr(path, &sa);
    if (alen < 0) return -1;

    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        close_keep_errno(fd);
        return -4;
    }
    unlink(path);  // a stale socket file from an earlier run blocks bind
    if (bind(fd, (struct sockaddr*)&sa, (socklen_t)alen) != 0) {
        close_keep_errno(fd);
        return -2;
    }
    if (listen(fd, kListenBacklog) != 0) {
        close_keep_errno(fd);
        return -3;
    }
    chmod(path, 0777);
    return fd;
}

int usock_accept(int listenfd)
{
    // One byte more than the address so a full-length path can be terminated.
    union {
        struct sockaddr_un sa;
        char raw[sizeof(struct sockaddr_un) + 1];
    } peer;
    memset(&peer, 0, sizeof(peer));
    socklen_t len = sizeof(peer.sa);
    int fd = accept(listenfd, (struct sockaddr*)&peer.sa, &len);
    if (fd < 0) return -1;

    const size_t head = offsetof(struct sockaddr_un, sun_path);
    if (len > sizeof(peer.sa)) len = sizeof(peer.sa);  // the kernel reports the untruncated size
    // An unbound client (as usock_connect makes) or an abstract name has no
    // file to check; only a peer bound to a path must still own a socket there.
    if (len <= head || peer.sa.sun_path[0] == '\0') return fd;
    peer.raw[len] = '\0';

    struct stat st;
    if (stat(peer.sa.sun_path, &st) != 0) {
        close_keep_errno(fd);
        return -2;
    }
    if (!S_ISSOCK(st.st_mode)) {
        close_keep_errno(fd);
        errno = ENOTSOCK;
        return -3;
    }
    unlink(peer.sa.sun_path);
    return fd;
}

int usock_connect(const char* path)
{
    struct sockaddr_un sa;
    int alen = make_addr(path, &sa);
    if (alen < 0) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (connect(fd, (struct sockaddr*)&sa, (socklen_t)alen) != 0) {
        close_keep_errno(fd);
        return -4;
    }
    return fd;
}

int usock_nb_connect(const char* path, int* succ)
{
    if (succ) *succ = 0;
    struct sockaddr_un sa;
    int alen = make_addr(path, &sa);
    if (alen < 0) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sock_nonblock_set(fd, 1);
    errno = 0;
    if (connect(fd, (struct sockaddr*)&sa, (socklen_t)alen) == 0) {
        if (succ) *succ = 1;
        return fd;
    }
    int e = errno;
    if (e == 0 || e == EAGAIN || e == EALREADY || e == EINPROGRESS) return fd;
    close_keep_errno(fd);
    return -1;
}
