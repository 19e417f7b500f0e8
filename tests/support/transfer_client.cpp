// SPDX-License-Identifier: MIT
#include "transfer_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

const char kBusyReply[] =
    "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n\r\n"
    "The maximum number of clients are already connected\n";

std::string cgi_message(const std::string& json) {
  return "POST /cgi-bin/roadshotwizard.cgi?" + json;
}

bool send_datagram(const std::string& path, const std::string& bytes, const std::vector<int>& fds) {
  int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  bool ok = send_with_fds(sock, bytes.data(), bytes.size(), fds, 0, path);
  close(sock);
  return ok;
}

bool send_with_fds(int sock, const void* bytes, size_t size, const std::vector<int>& fds,
                   int flags, const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  iovec iov{const_cast<void*>(bytes), size};
  msghdr msg{};
  if (!path.empty()) {
    msg.msg_name = &addr;
    msg.msg_namelen = sizeof(addr);
  }
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
  if (!fds.empty()) {
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  }
  ssize_t n;
  do {
    n = sendmsg(sock, &msg, flags);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(size);
}

int bound_datagram_socket(const std::string& path, int type) {
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  unlink(path.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string read_to_eof(int fd, std::chrono::milliseconds timeout, bool* timed_out) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  if (timed_out) *timed_out = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      if (timed_out) *timed_out = true;
      return out;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

std::string send_request(const std::string& path, const std::string& message,
                     std::chrono::milliseconds timeout) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) return "";
  bool sent = send_datagram(path, message, {pair[0]});
  close(pair[0]);
  std::string out = sent ? read_to_eof(pair[1], timeout) : "";
  close(pair[1]);
  return out;
}

std::string send_when_admitted(const std::string& path, const std::string& message) {
  std::string reply;
  for (int i = 0; i < 200; ++i) {
    reply = send_request(path, message);
    if (reply != kBusyReply) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return reply;
}

std::string reply_body(const std::string& http_reply) {
  const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: text/json\r\n\r\n";
  if (http_reply.rfind(header, 0) != 0 || http_reply.size() < header.size() + 2) return "";
  if (http_reply.compare(http_reply.size() - 2, 2, "\r\n") != 0) return "";
  return http_reply.substr(header.size(), http_reply.size() - header.size() - 2);
}

HeldRequest::HeldRequest(const std::string& path, const std::string& message, HeldKind kind) {
  int pair[2];
  char filler[1024];
  std::memset(filler, 'F', sizeof filler);
  if (kind == HeldKind::socket) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) return;
    int small = 4096;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    /* MSG_DONTWAIT, not O_NONBLOCK: the daemon shares the open file and must
     * see a blocking descriptor. */
    for (;;) {
      ssize_t n = send(pair[0], filler, sizeof filler, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n <= 0) break;
      filler_ += static_cast<size_t>(n);
    }
  } else {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) return;
    pair[0] = fds[1];
    pair[1] = fds[0];
    fcntl(pair[0], F_SETPIPE_SZ, 4096);
    /* Filled without blocking, then handed over in blocking mode. */
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    for (;;) {
      ssize_t n = write(pair[0], filler, sizeof filler);
      if (n <= 0) break;
      filler_ += static_cast<size_t>(n);
    }
    fcntl(pair[0], F_SETFL, 0);
  }
  sent_ = send_datagram(path, message, {pair[0]});
  close(pair[0]);
  read_fd_ = pair[1];
}

HeldRequest::~HeldRequest() {
  if (read_fd_ >= 0) close(read_fd_);
}

std::string HeldRequest::release(std::chrono::milliseconds timeout) {
  std::string all = read_to_eof(read_fd_, timeout);
  close(read_fd_);
  read_fd_ = -1;
  return all.size() >= filler_ ? all.substr(filler_) : "";
}
