// SPDX-License-Identifier: MIT
/*
 * The real daemon binary as a child process of the test: started with chosen
 * arguments and environment, its standard output and error captured in
 * files, optionally with descriptors passed the way the service manager
 * passes them (LISTEN_FDS and LISTEN_PID, descriptors from 3 on).
 */
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

struct DaemonOptions {
  std::vector<std::string> args = {"-n", "-d"};
  /* Set in the child's environment, in addition to the test's own. */
  std::map<std::string, std::string> env;
  /* Passed as descriptors 3, 4, ... with LISTEN_FDS; the test keeps its copies. */
  std::vector<int> passed_fds;
  /* Wait until the socket at this path exists (empty: do not wait). Where
   * the daemon may not create it (daemon_creates_socket()) and nothing else
   * is passed, the test binds it and passes it: it is there at once, and
   * what is sent waits in it until the daemon has started. */
  std::string wait_for_socket;
  /* Ignore SIGHUP in the child, to see that the daemon keeps an inherited disposition. */
  bool ignore_sighup = false;
  /* Runs in the child right before exec (async-signal-safe calls only): a
   * signal mask or resource limit for the daemon to inherit. */
  void (*before_exec)() = nullptr;
  /* Run this program instead of the daemon; the daemon's path is appended to
   * prefix_args (used for systemd-socket-activate). */
  std::vector<std::string> prefix_args;
  /* Run this program with args instead of the daemon, and without the test
   * wrapper (used for lanecam-httpd). */
  std::string program;
  /* The daemon binary, when not daemon_binary() (a copy that another user
   * may run, say); still behind the wrapper and the emulator. */
  std::string binary;
};

class DaemonProcess {
 public:
  /* Starts the daemon; output files go to dir. */
  DaemonProcess(const std::string& dir, const DaemonOptions& options);
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  /* Sends a signal and waits for the exit; returns the wait status. */
  int stop(int signo = 15);
  /* Waits up to timeout for the process to end; -1 when it did not. */
  int wait_exit(std::chrono::milliseconds timeout);
  std::string out() const;
  std::string err() const;
  /* Waits until standard output contains text; false on timeout. */
  bool wait_for_output(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_path_;
  std::string err_path_;
};

/* Path of the daemon binary under test (LANECAMD_TEST_BINARY overrides it).
 * LANECAMD_TEST_WRAPPER, when set, is a command (words split at spaces) that
 * runs the daemon, such as a memory checker; the daemon is then ended with
 * SIGTERM rather than SIGKILL when the process object goes. */
std::string daemon_binary();

/* The command that runs a program of this build (the daemon, the fake
 * camera, the request tool) before its path: empty in a native build, the
 * emulator that also runs the tests in a cross build. */
std::vector<std::string> target_emulator();

/* Waits until path exists; false on timeout. */
bool wait_for_path(const std::string& path,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));

/* Polls until the process holds expected descriptors (/proc/PID/fd) or
 * timeout has passed; returns the last count. */
int settle_fds(pid_t pid, int expected,
               std::chrono::milliseconds timeout = std::chrono::seconds(1));

/* Number of lines of text that contain needle. */
int count_occurrences(const std::string& text, const std::string& needle);
