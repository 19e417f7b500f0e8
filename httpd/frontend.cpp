// SPDX-License-Identifier: MIT
/*
 * The hand-over: the datagram is sent before the connection is stolen, so
 * that a daemon that is not there can still be answered through libsoup with
 * 502. Once it is sent the message is paused, so that libsoup writes nothing
 * more, and the connection is stolen from an idle callback, outside
 * libsoup's own processing of the message, and our descriptor closed: the
 * daemon then holds the only one, and its close ends the reply.
 */
#include "frontend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fdipc.h"
#include "paths.h"

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct BytesUnref {
  void operator()(GBytes* b) const { g_bytes_unref(b); }
};
using Bytes = std::unique_ptr<GBytes, BytesUnref>;

/* A request body that comes without its length in advance (chunked), as
 * much of it as could go to the daemon, and whether there was more: libsoup
 * would otherwise keep all of it, however long. */
struct BoundedBody {
  std::string data;
  bool over = false;
};
const char kBoundedBodyKey[] = "lanecam-httpd-body";

/* A page file larger than this is refused rather than read into memory. */
const off_t kMaxFileSize = 16 * 1024 * 1024;

void log_request(SoupServerMessage* msg, const char* path, const std::string& outcome) {
  std::printf("%s %s -> %s\n", soup_server_message_get_method(msg), path, outcome.c_str());
  std::fflush(stdout);
}

void reply_plain(SoupServerMessage* msg, const char* path, guint status, const std::string& line) {
  soup_server_message_set_status(msg, status, nullptr);
  std::string body = line + "\n";
  soup_server_message_set_response(msg, "text/plain; charset=utf-8", SOUP_MEMORY_COPY,
                                   body.data(), body.size());
  log_request(msg, path, std::to_string(status) + " " + line);
}

void reply_too_long(SoupServerMessage* msg, const char* path) {
  reply_plain(msg, path, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE,
              "request too long: the daemon takes at most " +
                  std::to_string(httpd::kMaxTransferMessage) + " bytes with the path");
}

/* Runs once the handler has returned: takes the connection from libsoup
 * and closes our descriptor of it. */
gboolean finish_hand_over(gpointer data) {
  auto* msg = static_cast<SoupServerMessage*>(data);
  GSocket* socket = soup_server_message_get_socket(msg);
  if (socket) g_object_ref(socket);
  GIOStream* stream = soup_server_message_steal_connection(msg);
  /* Closing, not unreferencing: libsoup may keep a reference to the socket
   * for a while, and the client sees the end of the reply only when every
   * copy of the descriptor is closed. close() leaves the daemon's copy
   * alone, where a shutdown() would end the connection under it. */
  if (socket) {
    g_socket_close(socket, nullptr);
    g_object_unref(socket);
  }
  if (stream) g_object_unref(stream);
  g_object_unref(msg);
  return G_SOURCE_REMOVE;
}

void hand_to_daemon(SoupServerMessage* msg, const char* path, const FrontEndConfig* config) {
  const char* method = soup_server_message_get_method(msg);
  std::string json;
  bool too_long = false;
  if (method == SOUP_METHOD_POST) {
    if (auto* bounded =
            static_cast<BoundedBody*>(g_object_get_data(G_OBJECT(msg), kBoundedBodyKey))) {
      json = bounded->data;
      too_long = bounded->over;
    } else {
      Bytes body(soup_message_body_flatten(soup_server_message_get_request_body(msg)));
      gsize size = 0;
      const char* data = static_cast<const char*>(g_bytes_get_data(body.get(), &size));
      json.assign(data ? data : "", size);
    }
  } else if (method == SOUP_METHOD_GET) {
    const char* query = g_uri_get_query(soup_server_message_get_uri(msg));
    if (query && !httpd::percent_decode(query, &json)) {
      reply_plain(msg, path, SOUP_STATUS_BAD_REQUEST, "malformed percent escape in the query");
      return;
    }
  } else {
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow",
                                 "GET, POST");
    reply_plain(msg, path, SOUP_STATUS_METHOD_NOT_ALLOWED, "only GET and POST reach the daemon");
    return;
  }
  if (too_long) {
    reply_too_long(msg, path);
    return;
  }
  /* The daemon reads the request as a C string: a NUL would cut it short. */
  if (json.find('\0') != std::string::npos) {
    reply_plain(msg, path, SOUP_STATUS_BAD_REQUEST, "the request contains a NUL byte");
    return;
  }
  std::string message;
  if (!httpd::transfer_message(path, json, &message)) {
    reply_too_long(msg, path);
    return;
  }

  const std::string& socket_path = config->socket_path;
  Fd transfer(fdipc_client_socket(socket_path.c_str()));
  if (transfer.get() < 0) {
    int err = errno;
    if (err == ENOENT)
      reply_plain(msg, path, SOUP_STATUS_BAD_GATEWAY,
                  "lanecamd is not there: no transfer socket at " + socket_path);
    else if (err == ECONNREFUSED)
      reply_plain(msg, path, SOUP_STATUS_BAD_GATEWAY,
                  "lanecamd is not there: nobody receives on " + socket_path);
    else
      reply_plain(msg, path, SOUP_STATUS_BAD_GATEWAY,
                  "cannot reach lanecamd at " + socket_path + ": " + std::strerror(err));
    return;
  }

  /* The descriptor goes as GSocket keeps it, non-blocking: the daemon
   * writes its reply without waiting on the descriptor's mode. */
  GSocket* connection = soup_server_message_get_socket(msg);
  if (!connection) {
    reply_plain(msg, path, SOUP_STATUS_INTERNAL_SERVER_ERROR, "no connection to hand over");
    return;
  }
  if (fdipc_send(transfer.get(), message.data(), message.size(), g_socket_get_fd(connection)) < 0) {
    int err = errno;
    if (err == EAGAIN) {
      /* The daemon is there but has a full queue: busy, as its own 503
       * says, so the page's retry applies. */
      soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Retry-After",
                                   "1");
      reply_plain(msg, path, SOUP_STATUS_SERVICE_UNAVAILABLE,
                  "lanecamd is busy: its transfer socket's queue is full");
    } else {
      reply_plain(msg, path, SOUP_STATUS_BAD_GATEWAY,
                  "cannot hand the request to lanecamd: " + std::string(std::strerror(err)));
    }
    return;
  }
  soup_server_message_pause(msg);
  g_idle_add(finish_hand_over, g_object_ref(msg));
  log_request(msg, path, "lanecamd");
}

/* Resolves a path relative to the root to a file inside it, following a
 * directory to its index.html. Returns 0 with *file set, else the status. */
guint resolve_file(const FrontEndConfig* config, const std::string& relative, std::string* file) {
  std::string candidate = config->root + "/" + relative;
  for (int step = 0; step < 2; ++step) {
    char resolved[PATH_MAX];
    if (!realpath(candidate.c_str(), resolved))
      return errno == ENOENT || errno == ENOTDIR ? SOUP_STATUS_NOT_FOUND : SOUP_STATUS_FORBIDDEN;
    /* A symbolic link may lead anywhere: only where it ends counts. */
    if (!httpd::path_inside(config->root, resolved)) return SOUP_STATUS_FORBIDDEN;
    struct stat st;
    if (stat(resolved, &st) != 0) return SOUP_STATUS_NOT_FOUND;
    if (S_ISREG(st.st_mode)) {
      *file = resolved;
      return 0;
    }
    /* A FIFO or device would block the open, and the whole front end. */
    if (!S_ISDIR(st.st_mode)) return SOUP_STATUS_FORBIDDEN;
    candidate = std::string(resolved) + "/index.html";
  }
  return SOUP_STATUS_FORBIDDEN;  /* a directory without index.html: no listings */
}

void serve_file(SoupServerMessage* msg, const char* path, const FrontEndConfig* config) {
  const char* method = soup_server_message_get_method(msg);
  if (method != SOUP_METHOD_GET && method != SOUP_METHOD_HEAD) {
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow",
                                 "GET, HEAD");
    reply_plain(msg, path, SOUP_STATUS_METHOD_NOT_ALLOWED, "method not allowed");
    return;
  }
  std::string relative;
  switch (httpd::relative_file_path(path, &relative)) {
    case httpd::PathVerdict::kBadRequest:
      reply_plain(msg, path, SOUP_STATUS_BAD_REQUEST, "malformed path");
      return;
    case httpd::PathVerdict::kForbidden:
      reply_plain(msg, path, SOUP_STATUS_FORBIDDEN, "forbidden");
      return;
    case httpd::PathVerdict::kFile:
      break;
  }
  std::string file;
  guint status = resolve_file(config, relative, &file);
  if (status == SOUP_STATUS_NOT_FOUND) {
    reply_plain(msg, path, status, "not found");
    return;
  }
  if (status != 0) {
    reply_plain(msg, path, status, "forbidden");
    return;
  }

  /* The resolved path has no symbolic link left; O_NOFOLLOW refuses one put
   * there since. */
  Fd fd(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size > kMaxFileSize) {
    reply_plain(msg, path, SOUP_STATUS_FORBIDDEN, "forbidden");
    return;
  }
  std::string contents(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = read(fd.get(), contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  contents.resize(done);

  SoupMessageHeaders* headers = soup_server_message_get_response_headers(msg);
  /* A development server: an edited file shows at the next load. */
  soup_message_headers_replace(headers, "Cache-Control", "no-cache");
  soup_message_headers_replace(headers, "X-Content-Type-Options", "nosniff");
  soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
  soup_server_message_set_response(msg, httpd::content_type(file), SOUP_MEMORY_COPY,
                                   contents.data(), contents.size());
  log_request(msg, path, "200 " + file);
}

void handle_request(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*,
                    gpointer data) {
  const auto* config = static_cast<const FrontEndConfig*>(data);
  if (httpd::is_script_path(path))
    hand_to_daemon(msg, path, config);
  else
    serve_file(msg, path, config);
}

void collect_chunk(SoupServerMessage* msg, GBytes* chunk, gpointer) {
  auto* body = static_cast<BoundedBody*>(g_object_get_data(G_OBJECT(msg), kBoundedBodyKey));
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(chunk, &size));
  size_t room = httpd::kMaxTransferMessage - std::min(httpd::kMaxTransferMessage, body->data.size());
  if (size > room) body->over = true;
  body->data.append(data ? data : "", std::min<size_t>(size, room));
}

/* A body that cannot fit into a datagram is refused before it is read; one
 * whose length is not known in advance is kept only as far as it could fit. */
void check_length(SoupServerMessage* msg, gpointer) {
  SoupMessageHeaders* headers = soup_server_message_get_request_headers(msg);
  SoupEncoding encoding = soup_message_headers_get_encoding(headers);
  if (encoding == SOUP_ENCODING_CHUNKED || encoding == SOUP_ENCODING_EOF) {
    soup_message_body_set_accumulate(soup_server_message_get_request_body(msg), FALSE);
    g_object_set_data_full(G_OBJECT(msg), kBoundedBodyKey, new BoundedBody,
                           [](gpointer p) { delete static_cast<BoundedBody*>(p); });
    g_signal_connect(msg, "got-chunk", G_CALLBACK(collect_chunk), nullptr);
    return;
  }
  goffset length = soup_message_headers_get_content_length(headers);
  if (encoding == SOUP_ENCODING_CONTENT_LENGTH &&
      length > static_cast<goffset>(httpd::kMaxTransferMessage)) {
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Connection",
                                 "close");
    reply_too_long(msg, g_uri_get_path(soup_server_message_get_uri(msg)));
  }
}

void request_started(SoupServer*, SoupServerMessage* msg, gpointer) {
  g_signal_connect(msg, "got-headers", G_CALLBACK(check_length), nullptr);
}

}  // namespace

void front_end_attach(SoupServer* server, const FrontEndConfig* config) {
  g_signal_connect(server, "request-started", G_CALLBACK(request_started), nullptr);
  soup_server_add_handler(server, nullptr, handle_request, const_cast<FrontEndConfig*>(config),
                          nullptr);
}
