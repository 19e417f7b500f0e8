// SPDX-License-Identifier: MIT
/*
 * Log sinks for the daemon's GLib log output.
 *
 * Both install a default GLib log handler for every domain and level. The
 * standard-output sink writes each message as one whole line with a single
 * write, so lines from two worker threads never mix; the syslog sink maps
 * the daemon's levels onto syslog priorities.
 */
#include "omlog.h"

#include <glib.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

const int kErrorLevel = 1 << G_LOG_LEVEL_USER_SHIFT;

/* The level arrives as GLogLevelFlags, but user levels such as 256 lie
 * outside that enumeration's value range: read its bits without an enum
 * load. */
int level_bits(const GLogLevelFlags& level) {
  int bits;
  std::memcpy(&bits, &level, sizeof bits);
  return bits;
}

int syslog_priority(int level) {
  if (level & kErrorLevel) return LOG_ERR;
  if (level & G_LOG_LEVEL_ERROR) return LOG_CRIT;
  if (level & G_LOG_LEVEL_CRITICAL) return LOG_ERR;
  if (level & G_LOG_LEVEL_WARNING) return LOG_WARNING;
  if (level & G_LOG_LEVEL_MESSAGE) return LOG_NOTICE;
  if (level & G_LOG_LEVEL_INFO) return LOG_INFO;
  return LOG_DEBUG;
}

void stdout_handler(const gchar*, GLogLevelFlags, const gchar* message, gpointer) {
  std::string line = message ? message : "";
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(STDOUT_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void syslog_handler(const gchar*, GLogLevelFlags level, const gchar* message, gpointer) {
  syslog(syslog_priority(level_bits(level)), "%s", message ? message : "");
}

}  // namespace

void om_log_stdout() { g_log_set_default_handler(stdout_handler, nullptr); }

void om_log_syslog() {
  openlog("lanecamd", LOG_PID, LOG_DAEMON);
  g_log_set_default_handler(syslog_handler, nullptr);
}
