// SPDX-License-Identifier: MIT
/*
 * The hand-over of a request for the script to the daemon: its JSON, from
 * the body of a POST or the query of a GET, goes as one datagram on the
 * transfer socket with the client's connection attached, and the daemon
 * answers on that connection itself. What cannot go (a request too long for
 * the datagram, no daemon, a full queue) is answered here with a status and
 * one plain line.
 */
#pragma once

#include <string>

#include <libsoup/soup.h>

#include "connections.h"

namespace httpd {

/* For a body that comes without its length in advance (chunked): keeps as
 * much of it as could go to the daemon, and whether there was more, instead
 * of all of it, however long, as libsoup would. */
void collect_script_body(SoupServerMessage* msg);

/* Hands the request that came on c to the daemon at socket_path, or
 * answers it; logged either way. */
void hand_to_daemon(SoupServerMessage* msg, Connection* c, const std::string& socket_path);

}  // namespace httpd
