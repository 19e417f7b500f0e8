// SPDX-License-Identifier: MIT
/*
 * fd passing over a local datagram socket: the server socket on which the web
 * server hands over requests, the receipt of one message together with the
 * client connection descriptor attached to it, and the web server's side,
 * which sends such a message.
 */
#pragma once

#include <cstddef>
#include <sys/types.h>

/* Descriptors taken from one message at most; further ones are dropped. */
#define FDIPC_MAX_FDS 16

/*
 * Creates a Unix datagram socket bound to path with the given mode, owner and
 * group. The node never exists with wider permissions than mode. Returns the
 * descriptor (close-on-exec), or -1 with errno set when the user or group is
 * unknown or any step fails; a node it created is then removed.
 */
int fdipc_server_socket_with_user_group(const char* path, mode_t mode,
                                        const char* user, const char* group);

/*
 * Receives one message into buf (at most len bytes; a longer message is cut
 * to its first len bytes) and the first descriptor attached to it, with
 * close-on-exec set, into *client_fd. Further attached descriptors are closed.
 * Returns the number of bytes received, or -1 with *client_fd set to -1 when
 * the receipt fails or the message carries no descriptor. Never blocks.
 */
int fdipc_recv(int socket_fd, void* buf, size_t len, int* client_fd);

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
