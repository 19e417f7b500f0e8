// SPDX-License-Identifier: MIT
/*
 * Request transport.
 *
 * The web server hands each request for "roadshotwizard.cgi" over as one
 * datagram on the transfer socket, with the client connection's descriptor
 * attached. The main loop thread receives it and admits it to the worker
 * pool while fewer than two requests are in flight; any further request is
 * answered at once with 503. A worker hands the JSON text after the script
 * name to handle_request, writes the HTTP reply straight to the client's
 * descriptor and closes it.
 *
 * Only the main loop thread raises active_clients, so the test against the
 * limit and the increment need not be one atomic step: between them the
 * count can only fall.
 *
 * No client can hold a thread: the main loop writes a 503 only as far as it
 * goes at once, and a worker gives up on a reply that is not written within
 * five seconds. Sockets are written with MSG_DONTWAIT and waited on with
 * poll. Any other descriptor (a pipe, say) may be in blocking mode, and its
 * flags are shared with the client, so they are not touched: a periodic
 * timer signal aimed at the writing thread interrupts a write that blocks.
 */
#include "transport.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <systemd/sd-daemon.h>

#include "api.h"
#include "fdipc.h"
#include "log.h"

std::atomic<int32_t> active_clients{0};

namespace {

const char kDefaultSocketPath[] = "/run/lanecamd/transfer";
const char kScriptName[] = "roadshotwizard.cgi";
const mode_t kSocketMode = 0660;
const char kSocketUser[] = "lanecamd";
const char kSocketGroup[] = LANECAMD_SOCKET_GROUP;
const int kMaxWorkerThreads = 3;
const int32_t kAdmissionLimit = 2;
/* A reply is a few kilobytes: any client that reads takes it at once. */
const gint64 kReplyWriteTimeoutUs = 5 * G_USEC_PER_SEC;
/* How often a blocked write to a descriptor that is not a socket is
 * interrupted to look at its deadline. */
const long kWriteAlarmIntervalNs = 10 * 1000 * 1000;

const char kReplyHeader[] = "HTTP/1.0 200 OK\r\nContent-Type: text/json\r\n\r\n";
const char kReplyNoBody[] = "HTTP/1.0 200 OK\r\n\r\n";
const char kReplyLineEnd[] = "\r\n";
const char kReplyBusy[] =
    "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n\r\n"
    "The maximum number of clients are already connected\n";
static_assert(sizeof(kReplyBusy) - 1 == 114, "the 503 reply is 114 bytes");

GThreadPool* worker_pool = nullptr;

/* writev for a descriptor that is not a socket (a pipe, say), where
 * MSG_NOSIGNAL is not available: SIGPIPE is blocked in this thread for the
 * call, and one that the call raised is taken back before unblocking. */
ssize_t writev_without_sigpipe(int fd, const iovec* iov, int count) {
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

void write_alarm_handler(int) {}

/* The handler of the write alarm's signal, installed once. Without
 * SA_RESTART a write that the signal interrupts returns EINTR (or the count
 * it wrote). Never armed when the installation failed: the signal's default
 * action would end the process. */
bool write_alarm_installed() {
  static const bool installed = [] {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = write_alarm_handler;
    return sigaction(SIGRTMIN, &action, nullptr) == 0;
  }();
  return installed;
}

/* A periodic timer that signals the thread that made it, for as long as it
 * lives: it bounds a write that blocks. */
class WriteAlarm {
 public:
  WriteAlarm() {
    if (!write_alarm_installed()) return;
    sigevent event;
    std::memset(&event, 0, sizeof event);
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGRTMIN;
    event._sigev_un._tid = gettid();
    if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) return;
    itimerspec period{{0, kWriteAlarmIntervalNs}, {0, kWriteAlarmIntervalNs}};
    if (timer_settime(timer_, 0, &period, nullptr) != 0) {
      timer_delete(timer_);
      return;
    }
    armed_ = true;
  }
  ~WriteAlarm() {
    if (armed_) timer_delete(timer_);
  }
  WriteAlarm(const WriteAlarm&) = delete;
  WriteAlarm& operator=(const WriteAlarm&) = delete;
  bool armed() const { return armed_; }

 private:
  timer_t timer_{};
  bool armed_ = false;
};

/* Waits until fd takes more bytes (or has an error that the next write will
 * report) or the deadline passes; false on the deadline. */
bool wait_writable(int fd, gint64 deadline) {
  for (;;) {
    gint64 left = deadline - g_get_monotonic_time();
    int timeout_ms = left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
    pollfd p{fd, POLLOUT, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r > 0) return true;
    if (r == 0 && timeout_ms == 0) return false;
    if (r < 0 && errno != EINTR) return false;
  }
}

/* Writes every byte of the vector before the deadline (a monotonic time in
 * microseconds; one in the past takes only what fits at once), continuing
 * short writes and calls interrupted by a signal. A client that has gone
 * away gives EPIPE, never SIGPIPE. Returns false on an error or when the
 * deadline passed first. */
bool write_all(int fd, iovec* iov, int count, gint64 deadline) {
  bool socket = true;
  std::optional<WriteAlarm> alarm;
  while (count > 0) {
    if (iov->iov_len == 0) {
      ++iov;
      --count;
      continue;
    }
    ssize_t n;
    if (socket) {
      msghdr msg{};
      msg.msg_iov = iov;
      msg.msg_iovlen = static_cast<size_t>(count);
      n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == ENOTSOCK) {
        /* One opened only for reading never becomes writable: fail now
         * rather than at the deadline. */
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return false;
        socket = false;
        continue;
      }
    } else {
      if (!wait_writable(fd, deadline)) return false;
      if (!alarm) alarm.emplace();
      if (!alarm->armed()) return false; /* nothing would end a blocked write */
      n = writev_without_sigpipe(fd, iov, count);
    }
    if (n < 0) {
      if (errno == EINTR) {
        if (g_get_monotonic_time() >= deadline) return false;
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!wait_writable(fd, deadline)) return false;
        continue;
      }
      return false;
    }
    if (n == 0) return false;
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
  return true;
}

iovec text_iovec(const char* text, size_t length) {
  return iovec{const_cast<char*>(text), length};
}

/*
 * Logs why the transfer socket could not be created, from the error number
 * the creation left: an operator needs to know which of the user, the group,
 * the directory or the right to hand the node over is missing. Runs during
 * start-up, before any other thread exists.
 */
void log_socket_creation_reason(const char* path, int err) {
  g_autofree char* dir = g_path_get_dirname(path);
  if (!getpwnam(kSocketUser)) {
    log_error("%sCannot create %s: no user %s (systemd-sysusers creates it)", path, kSocketUser);
  } else if (!getgrnam(kSocketGroup)) {
    log_error("%sCannot create %s: no group %s (systemd-sysusers creates it)", path, kSocketGroup);
  } else if (err == ENOENT || err == ENOTDIR) {
    log_error("%sCannot create %s: the directory %s does not exist", path, dir);
  } else if (err == EACCES) {
    log_error("%sCannot create %s: permission denied to create it in %s", path, dir);
  } else if (err == EPERM) {
    log_error("%sCannot create %s: not permitted to give it to user %s and group %s "
              "(run as root, or as %s in group %s)",
              path, kSocketUser, kSocketGroup, kSocketUser, kSocketGroup);
  } else {
    log_error("%sCannot create %s: %s", path, g_strerror(err));
  }
}

void free_request(TransferRequest* request) {
  if (request->client_fd >= 0) close(request->client_fd);
  g_free(request);
}

}  // namespace

const char* transfer_socket_path() {
  const char* path = std::getenv("LANECAMD_TRANSFER_SOCKET");
  return path && *path ? path : kDefaultSocketPath;
}

bool setup_transfer_socket() {
  const char* path = transfer_socket_path();
  int socket_fd = -1;

  int passed = sd_listen_fds(0);
  for (int fd = SD_LISTEN_FDS_START; passed > 0 && fd < SD_LISTEN_FDS_START + passed; ++fd) {
    if (sd_is_socket_unix(fd, SOCK_DGRAM, -1, path, 0) <= 0) continue;
    if (socket_fd >= 0) {
      log_error("%sMore than one socket %s passed", path);
      return false;
    }
    socket_fd = fd;
    log_trace("%sUsing passed transfer socket (%s). fd:%d", path, socket_fd);
  }

  if (socket_fd < 0) {
    if (g_unlink(path) != 0 && errno != ENOENT) {
      log_error("%sCould not remove %s: %m", path);
      return false;
    }
    socket_fd = fdipc_server_socket_with_user_group(path, kSocketMode, kSocketUser, kSocketGroup);
    if (socket_fd == -1) {
      log_socket_creation_reason(path, errno);
      log_error("%sFailed to create transfer socket (%s). fd:%d", path, socket_fd);
      return false;
    }
    log_trace("%sCreated transfer socket (%s). fd:%d", path, socket_fd);
  }

  GIOChannel* channel = g_io_channel_unix_new(socket_fd);
  if (!channel) {
    log_error("%sFailed to open io channel");
    return false;
  }
  g_io_add_watch(channel, static_cast<GIOCondition>(G_IO_IN | G_IO_ERR | G_IO_HUP),
                 transfer_socket_cb, nullptr);
  return true;
}

bool setup_worker_pool() {
  GError* error = nullptr;
  worker_pool = g_thread_pool_new(client_worker, nullptr, kMaxWorkerThreads, FALSE, &error);
  if (!worker_pool) {
    log_error("%sCould not create threadpool %s", error ? error->message : "");
    g_clear_error(&error);
    return false;
  }
  return true;
}

gboolean transfer_socket_cb(GIOChannel* channel, GIOCondition, gpointer) {
  auto* request = g_new0(TransferRequest, 1);
  request->client_fd = -1;

  int received = fdipc_recv(g_io_channel_unix_get_fd(channel), request->request_text,
                            TRANSFER_REQUEST_MAX, &request->client_fd);
  if (received < 0) {
    log_warning("%sCould not receive fd");
    free_request(request);
    return TRUE;
  }
  request->request_text[received] = '\0';

  if (active_clients.load() >= kAdmissionLimit) {
    /* Never block the main loop on a client: a 503 that does not fit into
     * the connection's buffer at once is dropped. */
    iovec busy = text_iovec(kReplyBusy, sizeof(kReplyBusy) - 1);
    if (!write_all(request->client_fd, &busy, 1, g_get_monotonic_time()))
      log_warning("%sToo many clients connected");
    free_request(request);
    return TRUE;
  }

  active_clients.fetch_add(1);
  g_thread_pool_push(worker_pool, request, nullptr);
  return TRUE;
}

void client_worker(gpointer data, gpointer) {
  auto* request = static_cast<TransferRequest*>(data);

  const char* name = std::strstr(request->request_text, kScriptName);
  if (name) {
    /* One character after the name is skipped unread; when the name ends
     * the text there is nothing to skip and the dispatcher gets "". */
    const char* json = name + (sizeof(kScriptName) - 1);
    if (*json != '\0') ++json;

    char* reply = handle_request(json);
    iovec parts[3];
    int count;
    if (reply) {
      parts[0] = text_iovec(kReplyHeader, sizeof(kReplyHeader) - 1);
      parts[1] = text_iovec(reply, std::strlen(reply));
      parts[2] = text_iovec(kReplyLineEnd, sizeof(kReplyLineEnd) - 1);
      count = 3;
    } else {
      parts[0] = text_iovec(kReplyNoBody, sizeof(kReplyNoBody) - 1);
      count = 1;
    }
    if (!write_all(request->client_fd, parts, count, g_get_monotonic_time() + kReplyWriteTimeoutUs))
      syslog(LOG_ERR, "Failed to write CGI response");
    std::free(reply);
  }

  free_request(request);
  active_clients.fetch_sub(1);
}
