// SPDX-License-Identifier: MIT
/*
 * Fuzz target of the receipt path: one datagram with zero, one or many
 * descriptors attached goes through the transfer socket's watch callback
 * and, when admitted, through the worker pool up to the written reply.
 *
 * The first input byte shapes the message, the rest is the datagram:
 *   bits 0-1  descriptors attached: none, one, three, or twenty (more than
 *             the receipt takes; the kernel or the receipt drops the rest)
 *   bits 2-3  what the first one is: a stream socket, a pipe's write end,
 *             a stream socket whose peer is gone, a pipe nobody reads
 *   bit 4     two requests already in flight (the busy path)
 *   bit 5     the first one is a pipe whose queue is full, in blocking
 *             mode: the 503 must be dropped at once, and a worker's reply
 *             waits until this side drains the queue
 *
 * A 503 to anything but a socket is written off the receipt thread, so its
 * writer may still hold the descriptor when the callback has returned.
 *
 * After each input every descriptor the daemon was given must be closed
 * (its peer reads end of file), the process holds exactly the descriptors
 * it held before, and the client got what the message asks for: the 503
 * when busy, a 200 reply when the text names the script, nothing otherwise.
 */
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <glib.h>

#include "fuzz_support.h"
#include "transfer_client.h"
#include "transport.h"

namespace {

const char kScriptName[] = "roadshotwizard.cgi";
const char kOkHeader[] = "HTTP/1.0 200 OK\r\n";
const size_t kMaxDatagram = 6000;

struct Receipt {
  int sender = -1;
  int receiver = -1;
  GIOChannel* channel = nullptr;
  int baseline_fds = -1;
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_receipt: %s\n", what.c_str());
  std::abort();
}

Receipt& receipt() {
  static Receipt r = [] {
    Receipt s;
    fuzz_environment();
    fuzz_reset_config();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) fail("socketpair");
    s.sender = pair[0];
    s.receiver = pair[1];
    int big = 1 << 20;
    setsockopt(s.sender, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(s.receiver, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    s.channel = g_io_channel_unix_new(s.receiver);
    if (!setup_worker_pool()) fail("no worker pool");
    s.baseline_fds = fuzz_open_fds();
    return s;
  }();
  return r;
}

/* A connection handed to the daemon: what it gets (sent) and where this
 * side reads what the daemon wrote (-1 when nobody reads). */
struct Connection {
  int sent = -1;
  int peer = -1;
  size_t filler = 0; /* bytes queued before the daemon got it */
};

Connection make_stalled_pipe() {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) fail("pipe");
  Connection c{p[1], p[0], 0};
  fcntl(c.sent, F_SETPIPE_SZ, 4096);
  fcntl(c.sent, F_SETFL, O_NONBLOCK);
  char block[4096];
  std::memset(block, 'F', sizeof block);
  for (ssize_t n; (n = write(c.sent, block, sizeof block)) > 0;) c.filler += static_cast<size_t>(n);
  fcntl(c.sent, F_SETFL, 0);
  return c;
}

/* Reads exactly count bytes of filler from a non-blocking descriptor. */
void drain(int fd, size_t count) {
  char buf[4096];
  while (count > 0) {
    ssize_t n = read(fd, buf, count < sizeof buf ? count : sizeof buf);
    if (n > 0) {
      count -= static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, 10);
    } else {
      fail("the stalled pipe lost its filler");
    }
  }
}

Connection make_connection(int kind) {
  int pair[2];
  Connection c;
  if (kind == 1 || kind == 3) {
    if (pipe2(pair, O_CLOEXEC) != 0) fail("pipe");
    c.sent = pair[1];
    c.peer = pair[0];
  } else {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fail("socketpair");
    c.sent = pair[0];
    c.peer = pair[1];
  }
  if (kind >= 2) {
    close(c.peer);
    c.peer = -1;
  }
  return c;
}

/* Waits until every writing end of the pipe whose reading end is fd has
 * been closed (POLLHUP comes even while data is queued). */
void wait_hangup(int fd) {
  for (int waits = 0;; ++waits) {
    pollfd p{fd, 0, 0};
    if (poll(&p, 1, 10) > 0 && (p.revents & POLLHUP)) return;
    if (waits > 200) fail("a passed pipe was left open");
  }
}

/* Everything written to fd up to end of file; fails when the other end is
 * still open after two seconds. The daemon's own descriptors are checked
 * exactly by the count below; the wait only allows for the kernel, which
 * may release a socket that a truncated receipt dropped a moment later. */
std::string read_closed(int fd) {
  std::string out;
  char buf[65536];
  for (int waits = 0;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return out;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) fail("read failed");
    pollfd p{fd, POLLIN, 0};
    if (++waits > 200) fail("a passed descriptor was left open");
    poll(&p, 1, 10);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Receipt& r = receipt();

  const uint8_t shape = data[0];
  const int count_sel = shape & 3;
  const int kind = (shape >> 2) & 3;
  const bool busy = (shape & 16) != 0;
  const bool stalled = (shape & 32) != 0;
  const uint8_t* body = data + 1;
  size_t length = size - 1;
  if (length > kMaxDatagram) length = kMaxDatagram;

  static const int kCounts[] = {0, 1, 3, 20};
  std::vector<Connection> connections;
  for (int i = 0; i < kCounts[count_sel]; ++i)
    connections.push_back(i == 0 && stalled ? make_stalled_pipe() : make_connection(i == 0 ? kind : 0));
  std::vector<int> fds;
  for (const auto& c : connections) fds.push_back(c.sent);
  for (const auto& c : connections)
    if (c.peer >= 0) fcntl(c.peer, F_SETFL, O_NONBLOCK);

  bool sent = send_with_fds(r.sender, body, length, fds, MSG_DONTWAIT | MSG_NOSIGNAL);
  for (int fd : fds) close(fd);
  if (!sent) fail("send failed");

  if (busy) active_clients.store(2);
  transfer_socket_cb(r.channel, G_IO_IN, nullptr);
  // The worker may be blocked on the full queue: let it through. A 503
  // writer must give up without that: drain only once it has let go.
  if (!connections.empty() && connections[0].filler > 0) {
    if (busy) wait_hangup(connections[0].peer);
    drain(connections[0].peer, connections[0].filler);
    connections[0].filler = 0;
  }
  if (busy) {
    if (active_clients.load() != 2) fail("a busy receipt admitted its request");
    active_clients.store(0);
  }
  // The worker lowers the count only after it has closed the connection.
  while (active_clients.load() != 0) sched_yield();

  // What the worker sees: the text up to its first zero byte, at most the
  // size of the request buffer.
  size_t taken = length < TRANSFER_REQUEST_MAX ? length : TRANSFER_REQUEST_MAX;
  std::string text(reinterpret_cast<const char*>(body), taken);
  text = text.c_str();
  bool named = text.find(kScriptName) != std::string::npos;

  for (size_t i = 0; i < connections.size(); ++i) {
    if (connections[i].peer < 0) continue;
    std::string got = read_closed(connections[i].peer);
    close(connections[i].peer);
    if (i > 0 && !got.empty()) fail("an extra descriptor was written to");
    if (i > 0) continue;
    if (busy && stalled) {
      if (!got.empty()) fail("a 503 that did not fit was written late: " + got);
    } else if (busy) {
      if (got != kBusyReply) fail("busy receipt did not give the 503: " + got);
    } else if (named) {
      if (got.rfind(kOkHeader, 0) != 0 || got.size() < 2 ||
          got.compare(got.size() - 2, 2, "\r\n") != 0)
        fail("named request without a framed 200 reply: " + got);
    } else if (!got.empty()) {
      fail("request without the script name was answered: " + got);
    }
  }

  // A 503 writer may be finishing with a pipe that nobody reads.
  int now = fuzz_open_fds();
  for (int waits = 0; now != r.baseline_fds && waits < 200; ++waits) {
    poll(nullptr, 0, 10);
    now = fuzz_open_fds();
  }
  if (now != r.baseline_fds)
    fail("descriptors " + std::to_string(r.baseline_fds) + " before, " + std::to_string(now) +
         " after");
  return 0;
}
