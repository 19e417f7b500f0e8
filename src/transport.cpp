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
 * No client that does not read can hold the main loop: it writes a 503
 * only to a socket, only as far as it goes at once, and closes the socket
 * without lingering. A 503 for anything else (a pipe, say) goes to one of a
 * few writers off the loop, since even opening or closing a pipe waits for
 * its lock, which another process can hold; only when all of them are taken
 * does the loop close such a descriptor itself, unanswered. That close, and
 * fdipc_recv's of the further descriptors a datagram carries, still wait
 * for the lock where the daemon holds the pipe's last reference: a process
 * allowed to send on the transfer socket can hold the loop that way, as the
 * kernel's own close of descriptors that do not fit into a receipt would.
 * A worker gives up on a reply that is not written within five seconds
 * (reply_write.h).
 */
#include "transport.h"

#include <glib/gstdio.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <systemd/sd-daemon.h>

#include "api.h"
#include "fdipc.h"
#include "handles_glib.h"
#include "log.h"
#include "reply_write.h"

std::atomic<int32_t> active_clients{0};

namespace {

/* One received request; owned by the receipt callback until it is pushed to
 * the pool, then by the worker, which frees it. */
struct TransferRequest {
  int32_t client_fd;
  char request_text[TRANSFER_REQUEST_MAX + 1];
};

const char kScriptName[] = TRANSFER_SCRIPT_NAME;
const mode_t kSocketMode = 0660;
const char kSocketUser[] = "lanecamd";
const char kSocketGroup[] = LANECAMD_SOCKET_GROUP;
const int kMaxWorkerThreads = 3;
const int32_t kAdmissionLimit = 2;
/* A reply is a few kilobytes: any client that reads takes it at once. */
const int kReplyWriteTimeoutMs = 5000;
/* Writers off the main loop for 503 replies to descriptors that are not
 * sockets; one only waits on a client whose pipe lock another process
 * holds. */
const int kMaxBusyReplyWriters = 2;

const char kReplyHeader[] = "HTTP/1.0 200 OK\r\nContent-Type: text/json\r\n\r\n";
const char kReplyNoBody[] = "HTTP/1.0 200 OK\r\n\r\n";
const char kReplyLineEnd[] = "\r\n";
const char kReplyBusy[] =
    "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n\r\n"
    "The maximum number of clients are already connected\n";
static_assert(sizeof(kReplyBusy) - 1 == 114, "the 503 reply is 114 bytes");

GThreadPool* worker_pool = nullptr;
GThreadPool* busy_reply_pool = nullptr;
/* 503 replies handed to busy_reply_pool and not yet finished; raised only
 * on the main loop thread, lowered by the writers. Not requests: the exit
 * when idle does not wait for them, as each writes only what fits at once. */
std::atomic<int32_t> busy_replies{0};

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
  handles::GChars dir_name(g_path_get_dirname(path));
  const char* dir = dir_name.get();
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
  reply_close(request->client_fd);
  g_free(request);
}

iovec busy_iovec() { return text_iovec(kReplyBusy, sizeof(kReplyBusy) - 1); }

/* Pool function of busy_reply_pool: the 503 as far as it goes at once. */
void busy_reply_writer(gpointer data, gpointer) {
  auto* request = static_cast<TransferRequest*>(data);
  iovec busy = busy_iovec();
  if (!reply_write(request->client_fd, &busy, 1, 0)) log_warning("%sToo many clients connected");
  free_request(request);
  busy_replies.fetch_sub(1);
}

/* Answers 503 on the main loop thread and frees the request, or hands it to
 * busy_reply_pool, which then owns it. */
void answer_busy(TransferRequest* request) {
  iovec busy = busy_iovec();
  switch (reply_write_socket(request->client_fd, &busy, 1, 0)) {
    case ReplyWrite::written:
      break;
    case ReplyWrite::failed:
      log_warning("%sToo many clients connected");
      break;
    case ReplyWrite::not_socket:
      if (busy_replies.load() < kMaxBusyReplyWriters) {
        busy_replies.fetch_add(1);
        g_thread_pool_push(busy_reply_pool, request, nullptr);
        return;
      }
      log_warning("%sEvery writer for 503 replies to descriptors that are not sockets is busy; "
                  "descriptor %d closed unanswered",
                  request->client_fd);
      log_warning("%sToo many clients connected");
      break;
  }
  free_request(request);
}

/* Pool function of worker_pool: serves one TransferRequest and frees it. */
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
    if (!reply_write(request->client_fd, parts, count, kReplyWriteTimeoutMs))
      syslog(LOG_ERR, "Failed to write CGI response");
    std::free(reply);
  }

  free_request(request);
  active_clients.fetch_sub(1);
}

}  // namespace

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
  handles::Error error;
  worker_pool = g_thread_pool_new(client_worker, nullptr, kMaxWorkerThreads, FALSE, error.out());
  if (worker_pool)
    busy_reply_pool =
        g_thread_pool_new(busy_reply_writer, nullptr, kMaxBusyReplyWriters, FALSE, error.out());
  if (!busy_reply_pool) {
    log_error("%sCould not create threadpool %s", error.message());
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
    answer_busy(request);
    return TRUE;
  }

  active_clients.fetch_add(1);
  g_thread_pool_push(worker_pool, request, nullptr);
  return TRUE;
}
