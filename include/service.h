// SPDX-License-Identifier: MIT
/*
 * Service frame: start-up, command line, log sink, debug flag, signals,
 * detaching, the main loop and the exit when idle.
 */
#pragma once

#include <glib.h>

/* The daemon's main loop; created after detaching, read by the quit paths. */
extern GMainLoop* main_loop;

/* The daemon's main routine: 0 after the main loop ended, 1 on any start-up
 * failure. */
int lanecamd_main(int argc, char** argv);

/* Installed for SIGTERM, SIGABRT and SIGINT; asks the main loop to quit. */
void signal_handler(int signo);

/* The periodic inactivity check: calls quit_if_inactive(main_loop). */
gboolean inactivity_cb(gpointer user_data);

/* Quits loop when no request is in flight and returns false (removing the
 * timeout source); returns true otherwise. */
gboolean quit_if_inactive(GMainLoop* loop);
