// SPDX-License-Identifier: MIT
/*
 * The sending side of fd passing: the descriptor travels as SCM_RIGHTS with
 * the message, which the receiver takes with fdipc_recv.
 */
#include "fdipc_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int fdipc_client_socket(const char* path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (!path || std::strlen(path) >= sizeof(addr.sun_path)) {
    errno = path ? ENAMETOOLONG : EINVAL;
    return -1;
  }
  std::strcpy(addr.sun_path, path);

  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int r;
  do {
    r = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

int fdipc_send(int socket_fd, const void* buf, size_t len, int fd) {
  union {
    cmsghdr align;
    char data[CMSG_SPACE(sizeof(int))];
  } control{};
  iovec iov{const_cast<void*>(buf), len};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.data;
  msg.msg_controllen = sizeof(control.data);
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof(int));

  ssize_t n;
  do {
    n = sendmsg(socket_fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}
