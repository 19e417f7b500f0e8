// SPDX-License-Identifier: MIT
/*
 * Bounded reply writes, without signals: sockets with MSG_DONTWAIT, pipes
 * through a non-blocking open file description of their own, both waited
 * on with poll up to the deadline.
 */
#include "reply_write.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "log.h"

namespace {

int64_t monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

/* Waits until fd takes more bytes (or has an error that the next write
 * will report) or the deadline passes; false on the deadline. */
bool wait_writable(int fd, int64_t deadline) {
  for (;;) {
    int64_t left = deadline - monotonic_ms();
    int timeout = left <= 0 ? 0 : static_cast<int>(left);
    pollfd p{fd, POLLOUT, 0};
    int r = poll(&p, 1, timeout);
    if (r > 0) return true;
    if (r == 0 && timeout == 0) return false;
    if (r < 0 && errno != EINTR) return false;
  }
}

ssize_t send_some(int fd, iovec* iov, int count) {
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(count);
  return sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
}

/* writev for a descriptor that is not a socket, where MSG_NOSIGNAL is not
 * available: SIGPIPE is blocked in this thread for the call, and one that
 * the call raised is taken back before unblocking. */
ssize_t write_some(int fd, iovec* iov, int count) {
  sigset_t pipe_set, old_set, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  ssize_t n = writev(fd, iov, count);
  int saved_errno = errno;
  if (n < 0 && saved_errno == EPIPE && !was_pending) {
    timespec zero{};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  errno = saved_errno;
  return n;
}

/* Writes every byte of the vector with write, which never blocks, waiting
 * for room with poll until the deadline and continuing short writes.
 * not_socket comes only from a send that found no socket, before anything
 * was written. */
template <typename Write>
ReplyWrite write_all(int fd, iovec* iov, int count, int64_t deadline, Write write) {
  while (count > 0) {
    if (iov->iov_len == 0) {
      ++iov;
      --count;
      continue;
    }
    ssize_t n = write(fd, iov, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOTSOCK) return ReplyWrite::not_socket;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(fd, deadline)) continue;
      return ReplyWrite::failed;
    }
    if (n == 0) return ReplyWrite::failed;
    size_t done = static_cast<size_t>(n);
    while (count > 0 && done >= iov->iov_len) {
      done -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + done;
      iov->iov_len -= done;
    }
  }
  return ReplyWrite::written;
}

void log_cannot_write(int fd, const char* why) {
  log_warning("%sCannot write to client descriptor %d without blocking: %s", fd, why);
}

/* A pipe or FIFO opened anew for writing, non-blocking; -1 when the reading
 * side is gone (the write would have failed with EPIPE) or after logging why
 * it cannot be opened. */
int reopen_nonblocking(int fd) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  int reopened = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (reopened < 0 && errno != ENXIO) {
    char why[128];
    std::snprintf(why, sizeof why, "cannot reopen it: %s", g_strerror(errno));
    log_cannot_write(fd, why);
  }
  return reopened;
}

}  // namespace

ReplyWrite reply_write_socket(int fd, iovec* iov, int count, int timeout_ms) {
  return write_all(fd, iov, count, monotonic_ms() + timeout_ms, send_some);
}

bool reply_write(int fd, iovec* iov, int count, int timeout_ms) {
  int64_t deadline = monotonic_ms() + timeout_ms;
  ReplyWrite sent = write_all(fd, iov, count, deadline, send_some);
  if (sent != ReplyWrite::not_socket) return sent == ReplyWrite::written;

  int flags = fcntl(fd, F_GETFL);
  struct stat st;
  if (flags < 0 || fstat(fd, &st) < 0) return false;
  if ((flags & O_ACCMODE) == O_RDONLY) {
    log_cannot_write(fd, "it is open only for reading");
    return false;
  }
  if ((flags & O_NONBLOCK) || S_ISREG(st.st_mode))
    return write_all(fd, iov, count, deadline, write_some) == ReplyWrite::written;
  if (!S_ISFIFO(st.st_mode)) {
    log_cannot_write(fd, "it is in blocking mode and neither a socket, a pipe nor a file");
    return false;
  }
  int reopened = reopen_nonblocking(fd);
  if (reopened < 0) return false;
  bool written = write_all(reopened, iov, count, deadline, write_some) == ReplyWrite::written;
  close(reopened);
  return written;
}

void reply_close(int fd) {
  if (fd < 0) return;
  linger off{};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off); /* ENOTSOCK on anything else */
  close(fd);
}
