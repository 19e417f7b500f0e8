// SPDX-License-Identifier: MIT
/*
 * Bounded reply writes: the bytes of a reply go to a client's connection
 * descriptor, and the client cannot hold the writing thread past a
 * deadline, whether it reads slowly, not at all, or has gone away. No
 * signal is used to get there, so neither the signal mask the daemon
 * inherited nor the pending-signal quota of its user changes the bound.
 *
 * A socket is written with MSG_DONTWAIT and waited on with poll. A pipe or
 * FIFO in blocking mode is written through an open file description of its
 * own, opened non-blocking through /proc/self/fd: the client's descriptor
 * shares its flags with the client and is left as it is. A descriptor that
 * is already non-blocking, and a regular file, are written directly.
 * Anything else (a terminal, say) cannot be written without the risk of
 * blocking, and fails at once.
 *
 * What no deadline bounds is the kernel's pipe lock: opening, writing and
 * closing a pipe wait for it, uninterruptibly. A process that shares the
 * pipe can hold it (a splice from an idle socket into the pipe does); such
 * a pipe holds the thread that writes to it until the lock is let go, and
 * so does closing the last reference to it, wherever that happens. Only a
 * process allowed to send on the transfer socket can hand the daemon such a
 * pipe. The main loop writes to sockets only, but it does close descriptors
 * (transport.cpp).
 *
 * Needs nothing from the C library that musl lacks: the camera's firmware
 * may be built on either.
 */
#pragma once

#include <sys/uio.h>

/* What reply_write_socket did. */
enum class ReplyWrite {
  written,    /* every byte was written */
  failed,     /* an error, or the deadline came first */
  not_socket, /* fd is no socket; nothing was written or changed */
};

/*
 * Writes the count buffers of iov to the socket fd within timeout_ms
 * milliseconds (0: only what the socket takes at once), continuing short
 * writes; iov is consumed as it goes. A peer that has gone away gives a
 * failure, never SIGPIPE. Logs nothing. Never touches a descriptor that is
 * not a socket beyond finding that out, so the main loop may call it on any
 * client descriptor.
 */
ReplyWrite reply_write_socket(int fd, iovec* iov, int count, int timeout_ms);

/*
 * Writes the count buffers of iov to the client descriptor fd, of whatever
 * kind, within timeout_ms milliseconds (0: only what fits at once). Returns
 * false on an error, a client gone, or the deadline. A descriptor that
 * cannot be written without the risk of blocking (open only for reading, a
 * pipe that cannot be reopened, a terminal in blocking mode) fails at once
 * and is logged at the warning level ("%sCannot write to client descriptor
 * %d without blocking: %s"); other failures are left to the caller to log.
 * May wait for a pipe's lock without bound (see above): never call it on
 * the main loop.
 */
bool reply_write(int fd, iovec* iov, int count, int timeout_ms);

/*
 * Closes a client descriptor without waiting for the client: on a socket, a
 * lingering close (SO_LINGER) is switched off first, so that close returns
 * at once and the kernel delivers what was written in the background. The
 * option belongs to the socket, so whoever else holds it sees the change.
 * Does nothing for -1. Closing a pipe waits for its lock, like writing.
 */
void reply_close(int fd);
