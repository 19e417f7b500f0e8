// SPDX-License-Identifier: MIT
/*
 * The sending side of fd passing over the transfer socket, as the web
 * server does it: a socket connected to the daemon's, and one message with
 * the client connection's descriptor attached. The camera's fd-passing
 * library only receives; the request tool and the front end send.
 */
#pragma once

#include <cstddef>

/*
 * Creates a Unix datagram socket connected to the socket bound at path, so
 * that a missing socket (ENOENT) or one that nobody receives on (ECONNREFUSED)
 * shows before anything is sent. Returns the descriptor (close-on-exec), or -1
 * with errno set.
 */
int fdipc_client_socket(const char* path);

/*
 * Sends len bytes of buf as one message on the connected socket_fd with the
 * descriptor fd attached. Never blocks: a receiver whose queue is full fails
 * it with EAGAIN. Never raises SIGPIPE. Returns the number of bytes sent, or
 * -1 with errno set.
 */
int fdipc_send(int socket_fd, const void* buf, size_t len, int fd);
