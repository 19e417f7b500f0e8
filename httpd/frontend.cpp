// SPDX-License-Identifier: MIT
/*
 * Connections: the front end accepts each one itself and hands it to libsoup
 * as a stream, keeping a record (Connection) that it finds again from any of
 * libsoup's messages through the remote address object it passed along. The
 * record holds the deadline and our reference to the socket: whatever
 * libsoup does with it, the record's end closes the descriptor. libsoup
 * serves one request per connection here (it keeps connections alive only
 * for listeners of its own), and every reply says Connection: close.
 *
 * Requests: the head is judged as soon as it is read (rules.h). A refusal of
 * a request that declares a body is written by the front end itself, after
 * taking the connection from libsoup, since libsoup would first read the
 * whole body; the connection then lingers a moment with its writing side
 * shut, so that the client reads the refusal before the reset.
 *
 * The hand-over: the datagram is sent before the connection is stolen, so
 * that a daemon that is not there can still be answered through libsoup with
 * 502. Once it is sent the message is paused, so that libsoup writes nothing
 * more, and the connection is stolen from an idle callback, outside
 * libsoup's own processing of the message, and our descriptor closed: the
 * daemon then holds the only one, and its close ends the reply.
 */
#include "frontend.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <libsoup/soup.h>

#include "beneath.h"
#include "fdipc_client.h"
#include "files.h"
#include "handles_fd.h"
#include "handles_glib.h"
#include "paths.h"

namespace {

/* The request head and body must have arrived within this time of the
 * accept, and the front end's own reply must be written within this time of
 * the request. */
const guint kRequestDeadlineMs = 10000;
const guint kReplyDeadlineMs = 10000;
/* How long a connection whose writing side is shut lingers before the close. */
const guint kLingerMs = 1000;
/* How long the listener rests after an accept failed for want of descriptors. */
const guint kAcceptBackoffMs = 250;
/* A page file larger than this is refused rather than read into memory. */
const off_t kMaxFileSize = 16 * 1024 * 1024;

const char kConnectionKey[] = "lanecam-httpd-connection";
const char kVerdictKey[] = "lanecam-httpd-verdict";
const char kBoundedBodyKey[] = "lanecam-httpd-body";

using handles::Bytes;
using handles::Fd;
using handles::GChars;
using handles::Ref;

/* A request body that comes without its length in advance (chunked), as
 * much of it as could go to the daemon, and whether there was more: libsoup
 * would otherwise keep all of it, however long. */
struct BoundedBody {
  std::string data;
  bool over = false;
};

}  // namespace

struct Connection {
  FrontEnd* front_end = nullptr;
  Ref<GSocket> socket;
  Ref<GIOStream> stream;
  Ref<GSocketAddress> local;
  Ref<GSocketAddress> remote;
  Ref<GIOStream> stolen;       /* what libsoup gave back, for a refusal it never saw */
  std::string local_address;   /* the IP literal the client reached */
  std::string peer;            /* "ADDRESS:PORT", for the log */
  guint deadline = 0;
  bool closing = false;        /* shut down, waiting for the close */

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (deadline) g_source_remove(deadline);
    if (remote) g_object_set_data(G_OBJECT(remote.get()), kConnectionKey, nullptr);
    /* libsoup may keep its references for a while (or, in 3.2, for ever):
     * the descriptor is closed here whatever it does. */
    if (socket) g_socket_close(socket.get(), nullptr);
  }
  int fd() const { return g_socket_get_fd(socket.get()); }
};

struct FrontEnd {
  const FrontEndConfig* config = nullptr;
  Ref<SoupServer> server;
  Fd listener;
  Fd root;
  bool use_openat2 = true;
  guint accept_source = 0;
  guint backoff_source = 0;
  bool accept_failing = false;
  std::unordered_map<Connection*, std::unique_ptr<Connection>> connections;

  FrontEnd() = default;
  FrontEnd(const FrontEnd&) = delete;
  FrontEnd& operator=(const FrontEnd&) = delete;
  ~FrontEnd() {
    if (accept_source) g_source_remove(accept_source);
    if (backoff_source) g_source_remove(backoff_source);
    /* The records first: libsoup's disconnections then find none to end. */
    connections.clear();
    if (server) soup_server_disconnect(server.get());
  }
};

namespace {

void watch_listener(FrontEnd* front_end);

void connection_end(Connection* c) {
  FrontEnd* front_end = c->front_end;
  front_end->connections.erase(c);
  watch_listener(front_end);
}

Connection* connection_of(SoupServerMessage* msg) {
  GSocketAddress* remote = soup_server_message_get_remote_address(msg);
  return remote ? static_cast<Connection*>(g_object_get_data(G_OBJECT(remote), kConnectionKey))
                : nullptr;
}

gboolean deadline_passed(gpointer data);

void set_deadline(Connection* c, guint ms) {
  if (c->deadline) g_source_remove(c->deadline);
  c->deadline = g_timeout_add(ms, deadline_passed, c);
}

/* Shuts the connection down, which also makes libsoup give it up, and
 * closes it a moment later whatever libsoup does. */
void shut_down(Connection* c, int how) {
  shutdown(c->fd(), how);
  c->closing = true;
  set_deadline(c, kLingerMs);
}

gboolean deadline_passed(gpointer data) {
  auto* c = static_cast<Connection*>(data);
  c->deadline = 0;
  if (c->closing) {
    connection_end(c);
  } else {
    std::printf("%s -> closed: no complete request, or its reply not taken, in time\n",
                c->peer.c_str());
    std::fflush(stdout);
    shut_down(c, SHUT_RDWR);
  }
  return G_SOURCE_REMOVE;
}

std::string address_text(GSocketAddress* address, bool with_port) {
  GInetAddress* inet = g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(address));
  GChars text(g_inet_address_to_string(inet));
  if (!with_port) return text.get();
  bool v6 = g_inet_address_get_family(inet) == G_SOCKET_FAMILY_IPV6;
  return (v6 ? "[" + std::string(text.get()) + "]" : std::string(text.get())) + ":" +
         std::to_string(g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(address)));
}

void add_connection(FrontEnd* front_end, int fd) {
  handles::Error error;
  auto c = std::make_unique<Connection>();
  c->socket.reset(g_socket_new_from_fd(fd, error.out()));
  if (!c->socket) {
    std::fprintf(stderr, "lanecam-httpd: cannot take a connection: %s\n", error.message());
    close(fd);
    return;
  }
  /* As libsoup does for the sockets it accepts; the daemon writes its reply
   * on this socket too. */
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  c->local.reset(g_socket_get_local_address(c->socket.get(), nullptr));
  c->remote.reset(g_socket_get_remote_address(c->socket.get(), nullptr));
  if (!c->local || !c->remote || !G_IS_INET_SOCKET_ADDRESS(c->local.get()) ||
      !G_IS_INET_SOCKET_ADDRESS(c->remote.get()))
    return;  /* gone before it could be looked at */
  c->stream.reset(G_IO_STREAM(g_socket_connection_factory_create_connection(c->socket.get())));
  c->local_address = address_text(c->local.get(), false);
  c->peer = address_text(c->remote.get(), true);
  c->front_end = front_end;
  g_object_set_data(G_OBJECT(c->remote.get()), kConnectionKey, c.get());
  set_deadline(c.get(), kRequestDeadlineMs);
  Connection* connection = c.get();
  front_end->connections.emplace(connection, std::move(c));
  if (!soup_server_accept_iostream(front_end->server.get(), connection->stream.get(),
                                   connection->local.get(), connection->remote.get(),
                                   error.out())) {
    std::fprintf(stderr, "lanecam-httpd: cannot serve a connection: %s\n", error.message());
    connection_end(connection);
  }
}

gboolean accept_resume(gpointer data) {
  auto* front_end = static_cast<FrontEnd*>(data);
  front_end->backoff_source = 0;
  watch_listener(front_end);
  return G_SOURCE_REMOVE;
}

gboolean accept_ready(gint fd, GIOCondition, gpointer data) {
  auto* front_end = static_cast<FrontEnd*>(data);
  while (front_end->connections.size() < front_end->config->max_connections) {
    int client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client >= 0) {
      front_end->accept_failing = false;
      add_connection(front_end, client);
      continue;
    }
    switch (errno) {
      case EAGAIN:
        return G_SOURCE_CONTINUE;
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
      case EBADF:
      case EINVAL:
      case ENOTSOCK:
        /* Out of descriptors or memory: rest, then try again; once said is
         * enough. */
        if (!front_end->accept_failing)
          std::fprintf(stderr, "lanecam-httpd: cannot accept connections for now: %s\n",
                       std::strerror(errno));
        front_end->accept_failing = true;
        front_end->accept_source = 0;
        front_end->backoff_source = g_timeout_add(kAcceptBackoffMs, accept_resume, front_end);
        return G_SOURCE_REMOVE;
      default:
        continue;  /* that one connection failed (aborted, a network error) */
    }
  }
  /* At the cap: the end of a connection watches the listener again. */
  front_end->accept_source = 0;
  return G_SOURCE_REMOVE;
}

void watch_listener(FrontEnd* front_end) {
  if (front_end->accept_source || front_end->backoff_source ||
      front_end->connections.size() >= front_end->config->max_connections)
    return;
  front_end->accept_source =
      g_unix_fd_add(front_end->listener.get(), G_IO_IN, accept_ready, front_end);
}

void log_request(SoupServerMessage* msg, const std::string& outcome) {
  std::printf("%s %s -> %s\n", httpd::log_escape(soup_server_message_get_method(msg)).c_str(),
              httpd::log_escape(g_uri_get_path(soup_server_message_get_uri(msg))).c_str(),
              outcome.c_str());
  std::fflush(stdout);
}

void reply_plain(SoupServerMessage* msg, guint status, const std::string& line,
                 const char* allow = nullptr) {
  SoupMessageHeaders* headers = soup_server_message_get_response_headers(msg);
  soup_message_headers_replace(headers, "Cache-Control", "no-store");
  if (allow) soup_message_headers_replace(headers, "Allow", allow);
  soup_server_message_set_status(msg, status, nullptr);
  std::string body = line + "\n";
  soup_server_message_set_response(msg, "text/plain; charset=utf-8", SOUP_MEMORY_COPY,
                                   body.data(), body.size());
  log_request(msg, std::to_string(status) + " " + line);
}

/* The refusal of a request whose body is never read, as the front end
 * writes it on the connection itself. */
std::string unread_refusal(const httpd::Verdict& verdict) {
  std::string body = verdict.line + "\n";
  std::string reply = "HTTP/1.1 " + std::to_string(verdict.status) + " " +
                      soup_status_get_phrase(verdict.status) +
                      "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                      std::to_string(body.size()) +
                      "\r\nConnection: close\r\nCache-Control: no-store\r\n";
  if (verdict.allow) reply += std::string("Allow: ") + verdict.allow + "\r\n";
  for (const auto& field : httpd::kProtectiveHeaders)
    reply += std::string(field.name) + ": " + field.value + "\r\n";
  return reply + "\r\n" + body;
}

void disconnected(SoupServerMessage* msg, gpointer) {
  if (Connection* c = connection_of(msg)) connection_end(c);
}

/* Runs once libsoup has left the message: takes the connection from libsoup
 * without a reply, writes the refusal and shuts the writing side. */
gboolean refuse_unread(gpointer data) {
  Ref<SoupServerMessage> msg(static_cast<SoupServerMessage*>(data));
  auto* verdict = static_cast<httpd::Verdict*>(g_object_get_data(G_OBJECT(msg.get()), kVerdictKey));
  Connection* c = connection_of(msg.get());
  if (!c || !verdict) return G_SOURCE_REMOVE;
  g_signal_handlers_disconnect_by_func(msg.get(), reinterpret_cast<gpointer>(disconnected),
                                       c->front_end);
  c->stolen.reset(soup_server_message_steal_connection(msg.get()));
  std::string reply = unread_refusal(*verdict);
  /* A few hundred bytes: an empty socket buffer takes them at once, and a
   * client that filled its own side gets the reset sooner. */
  send(c->fd(), reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  shut_down(c, SHUT_WR);
  return G_SOURCE_REMOVE;
}

/* Runs once the handler has returned: takes the connection from libsoup;
 * its record's end closes our descriptor of it. */
gboolean finish_hand_over(gpointer data) {
  Ref<SoupServerMessage> msg(static_cast<SoupServerMessage*>(data));
  Connection* c = connection_of(msg.get());
  Ref<GIOStream> stream(soup_server_message_steal_connection(msg.get()));
  /* The steal has ended the record through "disconnected" already, unless
   * the record was gone before. */
  if (c && connection_of(msg.get()) == c) connection_end(c);
  return G_SOURCE_REMOVE;
}

void hand_to_daemon(SoupServerMessage* msg, Connection* c) {
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
  } else {
    const char* query = g_uri_get_query(soup_server_message_get_uri(msg));
    if (query && !httpd::percent_decode(query, &json)) {
      reply_plain(msg, SOUP_STATUS_BAD_REQUEST, "malformed percent escape in the query");
      return;
    }
  }
  /* The daemon reads the request as a C string: a NUL would cut it short. */
  if (json.find('\0') != std::string::npos) {
    reply_plain(msg, SOUP_STATUS_BAD_REQUEST, "the request contains a NUL byte");
    return;
  }
  std::string message;
  if (too_long || !httpd::transfer_message(json, &message)) {
    reply_plain(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, httpd::too_long_line());
    return;
  }

  const std::string& socket_path = c->front_end->config->socket_path;
  Fd transfer(fdipc_client_socket(socket_path.c_str()));
  if (transfer.get() < 0) {
    reply_plain(msg, SOUP_STATUS_BAD_GATEWAY,
                transfer_reach_error(errno, socket_path, TransferVoice::kFrontEnd));
    return;
  }

  /* The descriptor goes as GSocket keeps it, non-blocking: the daemon
   * writes its reply without waiting on the descriptor's mode. */
  if (fdipc_send(transfer.get(), message.data(), message.size(), c->fd()) < 0) {
    int err = errno;
    /* A full queue: the daemon is there but busy, as its own 503 says, so
     * the page's retry applies. */
    if (err == EAGAIN)
      soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Retry-After",
                                   "1");
    reply_plain(msg, err == EAGAIN ? SOUP_STATUS_SERVICE_UNAVAILABLE : SOUP_STATUS_BAD_GATEWAY,
                transfer_send_error(err, socket_path, TransferVoice::kFrontEnd));
    return;
  }
  soup_server_message_pause(msg);
  g_idle_add(finish_hand_over, g_object_ref(msg));
  log_request(msg, "lanecamd");
}

void serve_file(SoupServerMessage* msg, FrontEnd* front_end, const std::string& relative) {
  std::string name = relative;
  Fd fd(open_beneath(front_end->root.get(), name, &front_end->use_openat2));
  struct stat st;
  if (fd.get() >= 0 && fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
    name = name.empty() ? "index.html" : name + "/index.html";
    fd.reset(open_beneath(front_end->root.get(), name, &front_end->use_openat2));
  }
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      reply_plain(msg, SOUP_STATUS_NOT_FOUND, "not found");
    else
      reply_plain(msg, SOUP_STATUS_FORBIDDEN, "forbidden");
    return;
  }
  /* A FIFO or device is refused on what was opened, never on a name. */
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileSize) {
    reply_plain(msg, SOUP_STATUS_FORBIDDEN, "forbidden");
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
  guint status = httpd::reply_page_file(msg, name, st, std::move(contents));
  log_request(msg, std::to_string(status) + " " + httpd::log_escape(name));
}

void handle_request(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*,
                    gpointer data) {
  auto* verdict = static_cast<httpd::Verdict*>(g_object_get_data(G_OBJECT(msg), kVerdictKey));
  Connection* c = connection_of(msg);
  if (!verdict || verdict->status != 0 || !c) {
    reply_plain(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, "the request was not judged");
    return;
  }
  if (verdict->route == httpd::Route::kScript)
    hand_to_daemon(msg, c);
  else
    serve_file(msg, static_cast<FrontEnd*>(data), verdict->file);
}

void collect_chunk(SoupServerMessage* msg, GBytes* chunk, gpointer) {
  auto* body = static_cast<BoundedBody*>(g_object_get_data(G_OBJECT(msg), kBoundedBodyKey));
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(chunk, &size));
  size_t room = httpd::kMaxRequestJson - std::min(httpd::kMaxRequestJson, body->data.size());
  if (size > room) body->over = true;
  body->data.append(data ? data : "", std::min<size_t>(size, room));
}

std::optional<std::string_view> header(SoupMessageHeaders* headers, const char* name) {
  /* All copies of a header, joined: two Host headers name no host. */
  const char* value = soup_message_headers_get_list(headers, name);
  return value ? std::optional<std::string_view>(value) : std::nullopt;
}

/* Each copy of a header on its own, as sent. */
std::vector<std::string_view> header_copies(SoupMessageHeaders* headers, const char* name) {
  std::vector<std::string_view> copies;
  SoupMessageHeadersIter iter;
  soup_message_headers_iter_init(&iter, headers);
  const char* each_name = nullptr;
  const char* value = nullptr;
  while (soup_message_headers_iter_next(&iter, &each_name, &value))
    if (g_ascii_strcasecmp(each_name, name) == 0) copies.emplace_back(value);
  return copies;
}

/* Judges the request on its head, before any body is read. */
void got_headers(SoupServerMessage* msg, gpointer data) {
  auto* front_end = static_cast<FrontEnd*>(data);
  Connection* c = connection_of(msg);
  if (!c) return;
  SoupMessageHeaders* request = soup_server_message_get_request_headers(msg);
  SoupEncoding encoding = soup_message_headers_get_encoding(request);
  httpd::RequestHead head;
  head.method = soup_server_message_get_method(msg);
  head.path = g_uri_get_path(soup_server_message_get_uri(msg));
  head.host = header(request, "Host");
  head.origin = header(request, "Origin");
  head.sec_fetch_site = header(request, "Sec-Fetch-Site");
  head.content_type = header(request, "Content-Type");
  head.local_address = c->local_address;
  /* libsoup keeps the last Content-Length, and reads "-1" as a length. */
  head.content_lengths = header_copies(request, "Content-Length");
  head.transfer_encoding = header(request, "Transfer-Encoding").has_value();
  if (encoding == SOUP_ENCODING_CONTENT_LENGTH)
    head.content_length = soup_message_headers_get_content_length(request);
  bool chunked = encoding == SOUP_ENCODING_CHUNKED || encoding == SOUP_ENCODING_EOF;
  head.body = httpd::declares_body(chunked, head.content_lengths);
  auto* verdict = new httpd::Verdict(httpd::admit(head, front_end->config->hosts));
  g_object_set_data_full(G_OBJECT(msg), kVerdictKey, verdict,
                         [](gpointer p) { delete static_cast<httpd::Verdict*>(p); });
  soup_server_message_set_response(msg, nullptr, SOUP_MEMORY_STATIC, nullptr, 0);

  if (verdict->status != 0 && head.body) {
    log_request(msg, std::to_string(verdict->status) + " " + verdict->line);
    soup_server_message_pause(msg);
    g_idle_add(refuse_unread, g_object_ref(msg));
  } else if (verdict->status != 0) {
    reply_plain(msg, verdict->status, verdict->line, verdict->allow);
  } else if (verdict->route == httpd::Route::kScript && head.body && head.content_length < 0) {
    soup_message_body_set_accumulate(soup_server_message_get_request_body(msg), FALSE);
    g_object_set_data_full(G_OBJECT(msg), kBoundedBodyKey, new BoundedBody,
                           [](gpointer p) { delete static_cast<BoundedBody*>(p); });
    g_signal_connect(msg, "got-chunk", G_CALLBACK(collect_chunk), nullptr);
  }
}

void request_started(SoupServer*, SoupServerMessage* msg, gpointer data) {
  SoupMessageHeaders* response = soup_server_message_get_response_headers(msg);
  soup_message_headers_replace(response, "Connection", "close");
  soup_message_headers_replace(response, "Cache-Control", "no-store");
  for (const auto& field : httpd::kProtectiveHeaders)
    soup_message_headers_replace(response, field.name, field.value);
  /* A head libsoup cannot read (a Content-Length that is not a number, a
   * transfer coding other than chunked) it refuses itself, without
   * got-headers: with these headers and this line, which got_headers takes
   * away again. */
  static const char kUnread[] = "malformed or unsupported request head\n";
  soup_server_message_set_response(msg, "text/plain; charset=utf-8", SOUP_MEMORY_STATIC, kUnread,
                                   sizeof kUnread - 1);
  g_signal_connect(msg, "got-headers", G_CALLBACK(got_headers), data);
  g_signal_connect(msg, "disconnected", G_CALLBACK(disconnected), data);
}

/* The request is read: from here the reply has its own deadline. */
void request_read(SoupServer*, SoupServerMessage* msg, gpointer) {
  if (Connection* c = connection_of(msg); c && !c->closing) set_deadline(c, kReplyDeadlineMs);
}

}  // namespace

FrontEnd* front_end_start(const FrontEndConfig* config, int listen_fd) {
  auto front_end = std::make_unique<FrontEnd>();
  front_end->config = config;
  front_end->listener.reset(listen_fd);
  front_end->root.reset(open(config->root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (front_end->root.get() < 0) {
    std::fprintf(stderr, "lanecam-httpd: no page directory at %s: %s (use --root)\n",
                 config->root.c_str(), std::strerror(errno));
    return nullptr;
  }
  /* raw-paths: the path reaches the rules as sent, and is decoded there once. */
  front_end->server.reset(static_cast<SoupServer*>(
      g_object_new(SOUP_TYPE_SERVER, "server-header", "lanecam-httpd/" LANECAMD_VERSION,
                   "raw-paths", TRUE, nullptr)));
  SoupServer* server = front_end->server.get();
  g_signal_connect(server, "request-started", G_CALLBACK(request_started), front_end.get());
  g_signal_connect(server, "request-read", G_CALLBACK(request_read), front_end.get());
  soup_server_add_handler(server, nullptr, handle_request, front_end.get(), nullptr);
  watch_listener(front_end.get());
  return front_end.release();
}

void front_end_free(FrontEnd* front_end) { delete front_end; }
