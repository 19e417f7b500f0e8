// SPDX-License-Identifier: MIT
/*
 * Service frame: the daemon's main routine, its signal handling and its exit
 * when idle.
 *
 * Start-up parses the two switches, chooses the log sink, sets the debug
 * flag, installs the signal handlers, sets up the transfer socket, detaches
 * unless told not to, creates the worker pool and runs one GLib main loop on
 * the main thread. The loop ends on SIGTERM, SIGINT or SIGABRT or, once
 * detached, at the first inactivity check that finds no request in flight.
 *
 * The signal handler only writes a byte to a pipe; a main-loop watch on the
 * pipe's other end turns it into the quit. So the handler takes no lock and
 * touches no loop, and a signal that comes before the loop exists is acted
 * on as soon as it runs.
 */
#include "service.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "handles_glib.h"
#include "log.h"
#include "omlog.h"
#include "transport.h"

namespace {

const guint kInactivityIntervalMs = 10000;

/* The daemon's main loop; created after detaching, read by the quit paths. */
GMainLoop* main_loop = nullptr;

/* Written by signal_handler, read by the main loop. */
int quit_pipe[2] = {-1, -1};

/* Installed for SIGTERM, SIGABRT and SIGINT; asks the main loop to quit. */
void signal_handler(int signo) {
  if (signo != SIGINT && signo != SIGABRT && signo != SIGTERM) return;
  int saved_errno = errno;
  if (quit_pipe[1] >= 0) {
    char byte = 1;
    ssize_t r = write(quit_pipe[1], &byte, 1);
    (void)r; /* a full pipe already holds a pending quit */
  }
  errno = saved_errno;
}

/* Quits loop when no request is in flight and returns false (removing the
 * timeout source); returns true otherwise. */
gboolean quit_if_inactive(GMainLoop* loop) {
  if (active_clients.load() != 0) return TRUE;
  g_main_loop_quit(loop);
  log_trace("%sExiting daemon due to inactivity");
  return FALSE;
}

/* The periodic inactivity check. */
gboolean inactivity_cb(gpointer) { return quit_if_inactive(main_loop); }

gboolean quit_pipe_cb(gint fd, GIOCondition, gpointer) {
  char drain[64];
  while (read(fd, drain, sizeof drain) > 0) {
  }
  if (main_loop) g_main_loop_quit(main_loop);
  return G_SOURCE_CONTINUE;
}

bool install_signal_handlers() {
  if (pipe2(quit_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
    log_error("%sFailed to initialize signal handler: %s", g_strerror(errno));
    return false;
  }
  g_unix_fd_add(quit_pipe[0], G_IO_IN, quit_pipe_cb, nullptr);

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  if (sigemptyset(&action.sa_mask) < 0) {
    log_error("%sFailed to initialize signal handler: %s", g_strerror(errno));
    return false;
  }
  action.sa_handler = signal_handler;
  for (int signo : {SIGTERM, SIGABRT, SIGINT}) {
    if (sigaction(signo, &action, nullptr) < 0) {
      log_error("%sFailed to install signal handler: %s", g_strerror(errno));
      return false;
    }
  }
  return true;
}

#ifndef NDEBUG
/* Threads do not survive daemon()'s fork: a thread pool or signal thread
 * started before it would leave the detached daemon waiting forever. */
int count_threads() {
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return -1;
  int n = 0;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++n;
  closedir(dir);
  return n;
}
#endif

}  // namespace

int lanecamd_main(int argc, char** argv) {
  gboolean opt_no_daemon = FALSE;
  gboolean opt_debug = FALSE;
  GOptionEntry entries[] = {
      {"no-daemon", 'n', 0, G_OPTION_ARG_NONE, &opt_no_daemon, "Do not daemonize", nullptr},
      {"debug", 'd', 0, G_OPTION_ARG_NONE, &opt_debug, "Enable debug print", nullptr},
      {},
  };

  handles::OptionContext context(g_option_context_new(""));
  g_option_context_add_main_entries(context.get(), entries, nullptr);
  handles::Error error;
  if (!g_option_context_parse(context.get(), &argc, &argv, error.out())) {
    g_printerr("%s\nTry -? or --help for more information.\n", error.message());
    return 1;
  }
  context.reset();

  if (opt_no_daemon)
    om_log_stdout();
  else
    om_log_syslog();

  debug_enabled = opt_debug != FALSE;

  if (!install_signal_handlers()) {
    log_error("%sCould not set up signal handler");
    return 1;
  }

  log_trace("%sopt_no_daemon: %d", opt_no_daemon ? 1 : 0);

  if (!setup_transfer_socket()) return 1;

  if (!opt_no_daemon) {
    assert(count_threads() == 1);
    if (daemon(0, 0) != 0) {
      log_error("%sDaemon failed: %m");
      return 1;
    }
    log_trace("%sRunning daemonized");
  } else {
    log_trace("%sNot running daemonized");
  }

  if (!setup_worker_pool()) return 1;

  main_loop = g_main_loop_new(nullptr, FALSE);

  if (!opt_no_daemon) {
    log_trace("%sApplying 10sec daemon timeout");
    g_timeout_add(kInactivityIntervalMs, inactivity_cb, nullptr);
  }

  g_main_loop_run(main_loop);
  GMainLoop* loop = main_loop;
  main_loop = nullptr;
  g_main_loop_unref(loop);
  return 0;
}
