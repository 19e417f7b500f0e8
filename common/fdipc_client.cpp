// SPDX-License-Identifier: MIT
/*
 * The sending side of fd passing: the descriptor travels as SCM_RIGHTS with
 * the message, which the receiver takes with fdipc_recv. Then what the two
 * senders say when the socket is not there or does not take the message.
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

std::string transfer_reach_error(int err, const std::string& path, TransferVoice voice) {
  const bool tool = voice == TransferVoice::kTool;
  const std::string gone = tool ? "" : "lanecamd is not there: ";
  if (err == ENOENT)
    return gone + "no transfer socket at " + path +
           (tool ? " (is lanecamd installed and its socket started?)" : "");
  if (err == ECONNREFUSED)
    return gone + "nobody receives on " + path +
           (tool ? " (a stale socket: lanecamd is not running)" : "");
  if (err == ENAMETOOLONG && tool) return "socket path too long: " + path;
  return (tool ? "cannot reach " : "cannot reach lanecamd at ") + path + ": " + std::strerror(err);
}

std::string transfer_send_error(int err, const std::string& path, TransferVoice voice,
                                std::string_view waited) {
  if (voice == TransferVoice::kFrontEnd && err == EAGAIN)
    return "lanecamd is busy: its transfer socket's queue is full";
  if (voice == TransferVoice::kFrontEnd)
    return std::string("cannot hand the request to lanecamd: ") + std::strerror(err);
  if (err == EAGAIN)
    return "the daemon did not take the request within " + std::string(waited) +
           " s (its queue is full); the request was not sent";
  return "cannot send to " + path + ": " + std::strerror(err);
}
