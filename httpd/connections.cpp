// SPDX-License-Identifier: MIT
/*
 * Connection records and the accept loop. The record is found again from
 * any of libsoup's messages through the remote address object passed along
 * with the stream. libsoup serves one request per connection here (it keeps
 * connections alive only for listeners of its own), and every reply says
 * Connection: close.
 */
#include "connections.h"

#include <glib-unix.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frontend.h"

std::string address_text(GSocketAddress* address, bool with_port) {
  GInetAddress* inet = g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(address));
  handles::GChars text(g_inet_address_to_string(inet));
  if (!with_port) return text.get();
  bool v6 = g_inet_address_get_family(inet) == G_SOCKET_FAMILY_IPV6;
  return (v6 ? "[" + std::string(text.get()) + "]" : std::string(text.get())) + ":" +
         std::to_string(g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(address)));
}

namespace httpd {

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

const char kConnectionKey[] = "lanecam-httpd-connection";

gboolean deadline_passed(gpointer data);

void set_deadline(Connection* c, guint ms) {
  if (c->deadline) g_source_remove(c->deadline);
  c->deadline = g_timeout_add(ms, deadline_passed, c);
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
    connection_shut_down(c, SHUT_RDWR);
  }
  return G_SOURCE_REMOVE;
}

void add_connection(Listener* listener, int fd) {
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
  c->listener = listener;
  g_object_set_data(G_OBJECT(c->remote.get()), kConnectionKey, c.get());
  set_deadline(c.get(), kRequestDeadlineMs);
  Connection* connection = c.get();
  listener->connections.emplace(connection, std::move(c));
  if (!soup_server_accept_iostream(listener->server, connection->stream.get(),
                                   connection->local.get(), connection->remote.get(),
                                   error.out())) {
    std::fprintf(stderr, "lanecam-httpd: cannot serve a connection: %s\n", error.message());
    connection_end(connection);
  }
}

gboolean accept_resume(gpointer data) {
  auto* listener = static_cast<Listener*>(data);
  listener->backoff_source = 0;
  listener_watch(listener);
  return G_SOURCE_REMOVE;
}

gboolean accept_ready(gint fd, GIOCondition, gpointer data) {
  auto* listener = static_cast<Listener*>(data);
  while (listener->connections.size() < listener->max_connections) {
    int client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client >= 0) {
      listener->accept_failing = false;
      add_connection(listener, client);
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
        if (!listener->accept_failing)
          std::fprintf(stderr, "lanecam-httpd: cannot accept connections for now: %s\n",
                       std::strerror(errno));
        listener->accept_failing = true;
        listener->accept_source = 0;
        listener->backoff_source = g_timeout_add(kAcceptBackoffMs, accept_resume, listener);
        return G_SOURCE_REMOVE;
      default:
        continue;  /* that one connection failed (aborted, a network error) */
    }
  }
  /* At the cap: the end of a connection watches the listener again. */
  listener->accept_source = 0;
  return G_SOURCE_REMOVE;
}

}  // namespace

Connection::~Connection() {
  if (deadline) g_source_remove(deadline);
  if (remote) g_object_set_data(G_OBJECT(remote.get()), kConnectionKey, nullptr);
  /* libsoup may keep its references for a while (or, in 3.2, for ever):
   * the descriptor is closed here whatever it does. */
  if (socket) g_socket_close(socket.get(), nullptr);
}

void listener_watch(Listener* listener) {
  if (listener->accept_source || listener->backoff_source ||
      listener->connections.size() >= listener->max_connections)
    return;
  listener->accept_source = g_unix_fd_add(listener->fd.get(), G_IO_IN, accept_ready, listener);
}

void listener_stop(Listener* listener) {
  if (listener->accept_source) g_source_remove(listener->accept_source);
  if (listener->backoff_source) g_source_remove(listener->backoff_source);
  listener->accept_source = listener->backoff_source = 0;
  listener->connections.clear();
}

Connection* connection_of(SoupServerMessage* msg) {
  GSocketAddress* remote = soup_server_message_get_remote_address(msg);
  return remote ? static_cast<Connection*>(g_object_get_data(G_OBJECT(remote), kConnectionKey))
                : nullptr;
}

void connection_end(Connection* c) {
  Listener* listener = c->listener;
  listener->connections.erase(c);
  listener_watch(listener);
}

void connection_await_reply(Connection* c) {
  if (!c->closing) set_deadline(c, kReplyDeadlineMs);
}

void connection_shut_down(Connection* c, int how) {
  shutdown(c->fd(), how);
  c->closing = true;
  set_deadline(c, kLingerMs);
}

}  // namespace httpd
