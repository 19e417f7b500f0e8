// SPDX-License-Identifier: MIT
/*
 * Captures the GLib log output of the test process: every message with its
 * level, in order, so a test can assert exactly what was logged.
 */
#pragma once

#include <glib.h>

#include <mutex>
#include <string>
#include <vector>

/* Levels are kept as plain integers: the daemon's error level (256) lies
 * outside the value range of the GLogLevelFlags enumeration. */
struct LoggedMessage {
  int level;
  std::string text;
};

class LogCapture {
 public:
  /* Installs itself as GLib's default log handler until destroyed. */
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LoggedMessage> messages() const;
  /* Only the texts, in order. */
  std::vector<std::string> texts() const;
  /* Texts at one level. */
  std::vector<std::string> texts_at(int level) const;
  /* True when some message contains needle. */
  bool contains(const std::string& needle) const;
  void clear();

 private:
  static void handler(const gchar* domain, GLogLevelFlags level,
                      const gchar* message, gpointer self);
  mutable std::mutex mutex_;
  std::vector<LoggedMessage> messages_;
  GLogFunc previous_;
  gpointer previous_data_;
};
