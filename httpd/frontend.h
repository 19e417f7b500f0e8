// SPDX-License-Identifier: MIT
/*
 * The development front end: what the camera's web server does for the page.
 * Requests whose last path segment is "roadshotwizard.cgi" are handed to the
 * daemon as one datagram on its transfer socket with the client connection
 * attached, and the daemon answers on that connection itself; every other
 * request is a static file from the page directory. A request that cannot be
 * served gets a status and one plain line.
 */
#pragma once

#include <string>

#include <libsoup/soup.h>

struct FrontEndConfig {
  std::string root;         /* the page directory, as realpath gives it */
  std::string socket_path;  /* the daemon's transfer socket */
};

/*
 * Adds the front end's handlers to server. config is borrowed and must
 * outlive the server. Each request is logged as one line on standard output.
 */
void front_end_attach(SoupServer* server, const FrontEndConfig* config);
