// SPDX-License-Identifier: MIT
/*
 * Logging conventions of the daemon.
 *
 * Every message goes through GLib's log call with no log domain, and every
 * format begins with "%s", which receives the empty prefix. Three levels are
 * used: the first user-defined GLib level (256) for errors, the warning level
 * (16) for a few operational failures, and the info level (64) for traces,
 * which are emitted only while debug_enabled is set. Where the output goes is
 * decided once at start-up by the log sink (om_log_stdout or om_log_syslog).
 */
#pragma once

#include <glib.h>

/* Set once at start-up from --debug, before any other thread exists. */
extern bool debug_enabled;

#define LANECAMD_LOG_LEVEL_ERROR ((GLogLevelFlags)(1 << G_LOG_LEVEL_USER_SHIFT))

#define log_error(fmt, ...) \
  g_log(nullptr, LANECAMD_LOG_LEVEL_ERROR, fmt, "" __VA_OPT__(, ) __VA_ARGS__)

#define log_warning(fmt, ...) \
  g_log(nullptr, G_LOG_LEVEL_WARNING, fmt, "" __VA_OPT__(, ) __VA_ARGS__)

#define log_trace(fmt, ...)                                                  \
  do {                                                                       \
    if (debug_enabled)                                                       \
      g_log(nullptr, G_LOG_LEVEL_INFO, fmt, "" __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)
