// SPDX-License-Identifier: MIT
/*
 * fd passing over a local datagram socket: the server socket on which the web
 * server hands over requests, and the receipt of one message together with
 * the client connection descriptor attached to it.
 */
#pragma once

#include <cstddef>
#include <sys/types.h>

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
