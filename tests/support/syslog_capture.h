// SPDX-License-Identifier: MIT
/*
 * A private /dev/log for one daemon process. The daemon is started inside a
 * mount namespace of its own whose /dev leads to the real devices, except
 * that /dev/log is this object's datagram socket; what the daemon sends to
 * syslog can then be read by the test. Needs root, as the tests run.
 */
#pragma once

#include <chrono>
#include <string>
#include <vector>

class SyslogCapture {
 public:
  /* The socket and the namespace's mount points go into dir. */
  explicit SyslogCapture(const std::string& dir);
  ~SyslogCapture();
  SyslogCapture(const SyslogCapture&) = delete;
  SyslogCapture& operator=(const SyslogCapture&) = delete;

  /* Whether this process may make the namespace (root with the right to
   * mount); a test without it skips. */
  static bool available();

  /* The command that runs the daemon in the namespace, for
   * DaemonOptions::prefix_args. */
  std::vector<std::string> prefix() const;

  /* Waits until the messages received so far (one a line) contain text at
   * least count times; returns them either way. */
  std::string wait_for(const std::string& text, int count = 1,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  std::string dir_;
  int fd_ = -1;
  std::string received_;
};
