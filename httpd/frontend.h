// SPDX-License-Identifier: MIT
/*
 * The development front end: what the camera's web server does for the page.
 * Requests whose last path segment is "roadshotwizard.cgi" are handed to the
 * daemon as one datagram on its transfer socket with the client connection
 * attached, and the daemon answers on that connection itself; every other
 * request is a static file from the page directory. A request that cannot be
 * served gets a status and one plain line.
 *
 * It accepts its connections itself and hands each to libsoup, keeping a
 * record of every one, so that no client can hold it: the request head and
 * body have a deadline, and so has the reply; every reply ends its
 * connection; the number of connections stays below the descriptor limit;
 * and an accept that fails for want of descriptors is tried again later
 * rather than ending the listener.
 */
#pragma once

#include <memory>
#include <string>

#include <gio/gio.h>

#include "rules.h"

struct FrontEndConfig {
  std::string root;          /* the page directory */
  std::string socket_path;   /* the daemon's transfer socket */
  httpd::HostRules hosts;    /* the names it answers to */
  size_t max_connections = 0;
};

struct FrontEnd;

/*
 * Starts serving on listen_fd, a bound and listening socket that it takes
 * over, in the thread-default main context. config is borrowed and must
 * outlive the front end. Each request is logged as one line on standard
 * output. Returns nullptr, after complaining on standard error, when the
 * page directory cannot be opened.
 */
FrontEnd* front_end_start(const FrontEndConfig* config, int listen_fd);

/* Closes every connection and the listening socket. Accepts nullptr. */
void front_end_free(FrontEnd* front_end);

/* An internet socket address as the log and the start-up line write it:
 * the IP literal, and with_port ":PORT" after it, an IPv6 one in brackets. */
std::string address_text(GSocketAddress* address, bool with_port);

struct FrontEndFree {
  void operator()(FrontEnd* f) const { front_end_free(f); }
};
using FrontEndPtr = std::unique_ptr<FrontEnd, FrontEndFree>;
