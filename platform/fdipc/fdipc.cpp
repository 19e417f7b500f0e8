// SPDX-License-Identifier: MIT
/*
 * fd passing over a local datagram socket.
 *
 * The web server sends each request as one datagram with the client's
 * connection descriptor attached as SCM_RIGHTS. The server socket is created
 * under a umask that hides it from everybody, then given its owner, group and
 * mode, so that it is never reachable with wider permissions than asked for.
 */
#include "fdipc.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

namespace {

/* Descriptors taken from one message at most; further ones are closed. */
const size_t kMaxFds = 16;

bool lookup_user(const char* name, uid_t* uid) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? size : 16384);
  passwd pw;
  passwd* found = nullptr;
  int r = getpwnam_r(name, &pw, buf.data(), buf.size(), &found);
  if (r != 0 || !found) {
    errno = r ? r : ENOENT;
    return false;
  }
  *uid = found->pw_uid;
  return true;
}

bool lookup_group(const char* name, gid_t* gid) {
  long size = sysconf(_SC_GETGR_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? size : 16384);
  group gr;
  group* found = nullptr;
  int r = getgrnam_r(name, &gr, buf.data(), buf.size(), &found);
  if (r != 0 || !found) {
    errno = r ? r : ENOENT;
    return false;
  }
  *gid = found->gr_gid;
  return true;
}

}  // namespace

int fdipc_server_socket_with_user_group(const char* path, mode_t mode,
                                        const char* user, const char* group) {
  uid_t uid;
  gid_t gid;
  if (!path || !user || !group || !lookup_user(user, &uid) || !lookup_group(group, &gid))
    return -1;

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof(addr.sun_path)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::strcpy(addr.sun_path, path);

  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;

  /* The node is created with no permissions at all; only after it has its
   * owner and group does it get the requested mode. */
  mode_t old_umask = umask(0777);
  int r = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  int bind_errno = errno;
  umask(old_umask);
  if (r < 0) {
    close(fd);
    errno = bind_errno;
    return -1;
  }
  if (chown(path, uid, gid) < 0 || chmod(path, mode) < 0) {
    int e = errno;
    unlink(path);
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

int fdipc_recv(int socket_fd, void* buf, size_t len, int* client_fd) {
  *client_fd = -1;

  union {
    cmsghdr align;
    char data[CMSG_SPACE(sizeof(int) * kMaxFds)];
  } control;
  iovec iov{buf, len};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.data;
  msg.msg_controllen = sizeof(control.data);

  ssize_t n;
  do {
    n = recvmsg(socket_fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;

  /* Keep the first passed descriptor, close every other one. With
   * MSG_CTRUNC the kernel has already dropped those that did not fit; the
   * ones that arrived are still ours to close. A datagram longer than len
   * (MSG_TRUNC) is taken as its first len bytes. */
  int first = -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS ||
        c->cmsg_len < CMSG_LEN(0))
      continue;
    size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    const unsigned char* data = CMSG_DATA(c);
    for (size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, data + i * sizeof(int), sizeof(int));
      if (first < 0)
        first = fd;
      else
        close(fd);
    }
  }
  if (first < 0) {
    errno = EBADMSG;
    return -1;
  }
  *client_fd = first;
  return static_cast<int>(n);
}
