// SPDX-License-Identifier: MIT
/*
 * Request transport: the transfer socket on which the web server hands over
 * each request with the client's connection descriptor (the protocol is in
 * transfer.h), the admission of at most two requests at a time, the worker
 * pool and the HTTP reply framing.
 */
#pragma once

#include <atomic>
#include <cstdint>

#include <glib.h>

#include "transfer.h"

/* Requests admitted and not yet finished; raised only on the main loop
 * thread, lowered by workers; at most 2. */
extern std::atomic<int32_t> active_clients;

/*
 * Adopts the transfer socket passed by the service manager, or creates it
 * (mode 0660, user "lanecamd", the web server's group: "www" unless the
 * build names another), and adds its watch to the default main context. Returns false after logging on any failure.
 */
bool setup_transfer_socket();

/*
 * Creates the worker pool that serves admitted requests (at most 3 threads)
 * and the pool that writes 503 replies to descriptors that are not sockets
 * (at most 2). Called after the daemon has detached, since their threads
 * would not survive the fork. Returns false after logging on failure.
 */
bool setup_worker_pool();

/* Watch callback: receives one message, admits it or answers 503. */
gboolean transfer_socket_cb(GIOChannel* channel, GIOCondition condition,
                            gpointer user_data);
