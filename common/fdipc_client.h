// SPDX-License-Identifier: MIT
/*
 * The sending side of fd passing over the transfer socket, as the web
 * server does it: a socket connected to the daemon's, and one message with
 * the client connection's descriptor attached. The camera's fd-passing
 * library only receives; the request tool and the front end send, and each
 * says in its own words what went wrong.
 */
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

/* Who tells of a failure: lanecam-request to its user on standard error,
 * lanecam-httpd in the one plain line of its reply. */
enum class TransferVoice { kTool, kFrontEnd };

/*
 * The sentence for errno err from fdipc_client_socket(path): no socket
 * there, nobody receiving on it, or any other failure, with strerror's text.
 */
std::string transfer_reach_error(int err, const std::string& path, TransferVoice voice);

/*
 * The sentence for errno err from fdipc_send on a socket connected to path.
 * EAGAIN is a full queue: the tool tells of it once it has waited `waited`
 * seconds (as it writes them), the front end at once.
 */
std::string transfer_send_error(int err, const std::string& path, TransferVoice voice,
                                std::string_view waited = {});
