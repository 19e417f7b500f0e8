// SPDX-License-Identifier: MIT
/*
 * The libsoup side of the front end: the server, its signals and the one
 * handler, which only dispatches. Each request is judged as soon as its head
 * is read (rules.h), and a request it admits goes to the daemon (handover.h)
 * or to the page files (files.h).
 *
 * A refusal of a request that declares a body is written by the front end
 * itself, after taking the connection from libsoup, since libsoup would first
 * read the whole body; the connection then lingers a moment with its writing
 * side shut, so that the client reads the refusal before the reset.
 */
#include "frontend.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "connections.h"
#include "files.h"
#include "handover.h"
#include "messages.h"

struct FrontEnd {
  const FrontEndConfig* config = nullptr;
  handles::Ref<SoupServer> server;
  httpd::Listener listener;
  handles::Fd root;
  bool use_openat2 = true;

  ~FrontEnd() {
    /* The records first: libsoup's disconnections then find none to end. */
    httpd::listener_stop(&listener);
    if (server) soup_server_disconnect(server.get());
  }
};

namespace httpd {

std::optional<std::string_view> header(SoupMessageHeaders* headers, const char* name) {
  const char* value = soup_message_headers_get_list(headers, name);
  return value ? std::optional<std::string_view>(value) : std::nullopt;
}

void log_request(SoupServerMessage* msg, const std::string& outcome) {
  std::printf("%s %s -> %s\n", log_escape(soup_server_message_get_method(msg)).c_str(),
              log_escape(g_uri_get_path(soup_server_message_get_uri(msg))).c_str(),
              outcome.c_str());
  std::fflush(stdout);
}

void reply_plain(SoupServerMessage* msg, guint status, const std::string& line,
                 const char* allow) {
  SoupMessageHeaders* headers = soup_server_message_get_response_headers(msg);
  soup_message_headers_replace(headers, "Cache-Control", "no-store");
  if (allow) soup_message_headers_replace(headers, "Allow", allow);
  soup_server_message_set_status(msg, status, nullptr);
  std::string body = line + "\n";
  soup_server_message_set_response(msg, "text/plain; charset=utf-8", SOUP_MEMORY_COPY,
                                   body.data(), body.size());
  log_request(msg, std::to_string(status) + " " + line);
}

namespace {

const char kVerdictKey[] = "lanecam-httpd-verdict";

/* The refusal of a request whose body is never read, as the front end
 * writes it on the connection itself. */
std::string unread_refusal(const Verdict& verdict) {
  std::string body = verdict.line + "\n";
  std::string reply = "HTTP/1.1 " + std::to_string(verdict.status) + " " +
                      soup_status_get_phrase(verdict.status) +
                      "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                      std::to_string(body.size()) +
                      "\r\nConnection: close\r\nCache-Control: no-store\r\n";
  if (verdict.allow) reply += std::string("Allow: ") + verdict.allow + "\r\n";
  for (const auto& field : kProtectiveHeaders)
    reply += std::string(field.name) + ": " + field.value + "\r\n";
  return reply + "\r\n" + body;
}

void disconnected(SoupServerMessage* msg, gpointer) {
  if (Connection* c = connection_of(msg)) connection_end(c);
}

/* Runs once libsoup has left the message: takes the connection from libsoup
 * without a reply, writes the refusal and shuts the writing side. */
gboolean refuse_unread(gpointer data) {
  handles::Ref<SoupServerMessage> msg(static_cast<SoupServerMessage*>(data));
  auto* verdict = static_cast<Verdict*>(g_object_get_data(G_OBJECT(msg.get()), kVerdictKey));
  Connection* c = connection_of(msg.get());
  if (!c || !verdict) return G_SOURCE_REMOVE;
  g_signal_handlers_disconnect_by_func(msg.get(), reinterpret_cast<gpointer>(disconnected),
                                       nullptr);
  c->stolen.reset(soup_server_message_steal_connection(msg.get()));
  std::string reply = unread_refusal(*verdict);
  /* A few hundred bytes: an empty socket buffer takes them at once, and a
   * client that filled its own side gets the reset sooner. */
  send(c->fd(), reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  connection_shut_down(c, SHUT_WR);
  return G_SOURCE_REMOVE;
}

void handle_request(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*,
                    gpointer data) {
  auto* front_end = static_cast<FrontEnd*>(data);
  auto* verdict = static_cast<Verdict*>(g_object_get_data(G_OBJECT(msg), kVerdictKey));
  Connection* c = connection_of(msg);
  if (!verdict || verdict->status != 0 || !c) {
    reply_plain(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, "the request was not judged");
    return;
  }
  if (verdict->route == Route::kScript)
    hand_to_daemon(msg, c, front_end->config->socket_path);
  else
    serve_file(msg, front_end->root.get(), &front_end->use_openat2, verdict->file);
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
  RequestHead head;
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
  head.body = declares_body(chunked, head.content_lengths);
  auto* verdict = new Verdict(admit(head, front_end->config->hosts));
  g_object_set_data_full(G_OBJECT(msg), kVerdictKey, verdict,
                         [](gpointer p) { delete static_cast<Verdict*>(p); });
  soup_server_message_set_response(msg, nullptr, SOUP_MEMORY_STATIC, nullptr, 0);

  if (verdict->status != 0 && head.body) {
    log_request(msg, std::to_string(verdict->status) + " " + verdict->line);
    soup_server_message_pause(msg);
    g_idle_add(refuse_unread, g_object_ref(msg));
  } else if (verdict->status != 0) {
    reply_plain(msg, verdict->status, verdict->line, verdict->allow);
  } else if (verdict->route == Route::kScript && head.body && head.content_length < 0) {
    collect_script_body(msg);
  }
}

void request_started(SoupServer*, SoupServerMessage* msg, gpointer data) {
  SoupMessageHeaders* response = soup_server_message_get_response_headers(msg);
  soup_message_headers_replace(response, "Connection", "close");
  soup_message_headers_replace(response, "Cache-Control", "no-store");
  for (const auto& field : kProtectiveHeaders)
    soup_message_headers_replace(response, field.name, field.value);
  /* A head libsoup cannot read (a Content-Length that is not a number, a
   * transfer coding other than chunked) it refuses itself, without
   * got-headers: with these headers and this line, which got_headers takes
   * away again. */
  static const char kUnread[] = "malformed or unsupported request head\n";
  soup_server_message_set_response(msg, "text/plain; charset=utf-8", SOUP_MEMORY_STATIC, kUnread,
                                   sizeof kUnread - 1);
  g_signal_connect(msg, "got-headers", G_CALLBACK(got_headers), data);
  g_signal_connect(msg, "disconnected", G_CALLBACK(disconnected), nullptr);
}

void request_read(SoupServer*, SoupServerMessage* msg, gpointer) {
  if (Connection* c = connection_of(msg)) connection_await_reply(c);
}

}  // namespace

}  // namespace httpd

FrontEnd* front_end_start(const FrontEndConfig* config, int listen_fd) {
  auto front_end = std::make_unique<FrontEnd>();
  front_end->config = config;
  front_end->listener.fd.reset(listen_fd);
  front_end->listener.max_connections = config->max_connections;
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
  SoupServer* server = front_end->listener.server = front_end->server.get();
  g_signal_connect(server, "request-started", G_CALLBACK(httpd::request_started), front_end.get());
  g_signal_connect(server, "request-read", G_CALLBACK(httpd::request_read), nullptr);
  soup_server_add_handler(server, nullptr, httpd::handle_request, front_end.get(), nullptr);
  httpd::listener_watch(&front_end->listener);
  return front_end.release();
}

void front_end_free(FrontEnd* front_end) { delete front_end; }
