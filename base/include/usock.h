/* Unix-domain stream sockets at a file-system path: listen, accept and
 * connect for local services.
 *
 * A path must fit the address field (at most USOCK_PATH_MAX characters);
 * longer or empty paths are refused with -1 and errno ENAMETOOLONG or
 * EINVAL before anything is opened. On every failure the socket made inside
 * the call is closed and the errno of the failing call is kept. */
#ifndef KORVID_USOCK_H
#define KORVID_USOCK_H

#include <sys/un.h>

/* Longest path that fits sun_path with its terminating NUL. */
#define USOCK_PATH_MAX ((int)sizeof(((struct sockaddr_un*)0)->sun_path) - 1)

/* Listening socket at path (any file there is removed first; the socket
 * file gets mode 0777). -1 socket/path, -2 bind, -3 listen, -4 option. */
int usock_create(const char* path);

/* Accepted connection. A peer that bound itself to a path must still have
 * a socket file there, which is then removed: -2 when it is gone, -3 when
 * it is not a socket; -1 when accept fails. An unnamed peer is accepted. */
int usock_accept(int listenfd);

/* Blocking connect: the descriptor, -1 socket/path, -4 connect failed. */
int usock_connect(const char* path);

/* Non-blocking connect: the descriptor with *succ 1 (connected) or 0 (under
 * way); -1 on failure. */
int usock_nb_connect(const char* path, int* succ);

#endif
