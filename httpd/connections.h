// SPDX-License-Identifier: MIT
/*
 * The front end's connections, from the accept to the close: the listener
 * accepts each one itself, below the cap and backing off when descriptors
 * run out, and hands it to libsoup as a stream, keeping a record that holds
 * the deadline and our reference to the socket. Whatever libsoup does with
 * it, the record's end closes the descriptor.
 */
#pragma once

#include <sys/socket.h>

#include <memory>
#include <string>
#include <unordered_map>

#include <libsoup/soup.h>

#include "handles_fd.h"
#include "handles_glib.h"

namespace httpd {

struct Listener;

struct Connection {
  Listener* listener = nullptr;
  handles::Ref<GSocket> socket;
  handles::Ref<GIOStream> stream;
  handles::Ref<GSocketAddress> local;
  handles::Ref<GSocketAddress> remote;
  handles::Ref<GIOStream> stolen;  /* what libsoup gave back, for a refusal it never saw */
  std::string local_address;       /* the IP literal the client reached */
  std::string peer;                /* "ADDRESS:PORT", for the log */
  guint deadline = 0;
  bool closing = false;            /* shut down, waiting for the close */

  ~Connection();
  int fd() const { return g_socket_get_fd(socket.get()); }
};

struct Listener {
  SoupServer* server = nullptr;  /* borrowed: where each connection goes */
  handles::Fd fd;
  size_t max_connections = 0;
  guint accept_source = 0;
  guint backoff_source = 0;
  bool accept_failing = false;
  std::unordered_map<Connection*, std::unique_ptr<Connection>> connections;
};

/* Watches the listener for connections, unless it rests or is at the cap. */
void listener_watch(Listener* listener);

/* Stops accepting and ends every connection's record. */
void listener_stop(Listener* listener);

/* The record of the connection a message came on; nullptr once it ended. */
Connection* connection_of(SoupServerMessage* msg);

/* Ends the record, closing our descriptor, and accepts again below the cap. */
void connection_end(Connection* c);

/* The request is read: from here the reply has its own deadline. */
void connection_await_reply(Connection* c);

/* Shuts the connection down (how as for shutdown()), which also makes
 * libsoup give it up, and ends it a moment later whatever libsoup does. */
void connection_shut_down(Connection* c, int how);

}  // namespace httpd
