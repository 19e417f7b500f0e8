// SPDX-License-Identifier: MIT
#include "daemon_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include <glib.h>

#include "needs.h"
#include "temp_dir.h"
#include "transfer_client.h"

namespace {

std::vector<std::string> split_words(const char* text) {
  std::vector<std::string> words;
  if (!text) return words;
  gchar** parts = g_strsplit(text, " ", -1);
  for (gchar** p = parts; *p; ++p)
    if (**p) words.push_back(*p);
  g_strfreev(parts);
  return words;
}

/* LANECAMD_TEST_WRAPPER split at spaces: a program and its arguments that
 * run the daemon (a memory checker, say). */
std::vector<std::string> test_wrapper() { return split_words(std::getenv("LANECAMD_TEST_WRAPPER")); }

[[noreturn]] void exec_child(const DaemonOptions& options, const std::string& out,
                             const std::string& err) {
  int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int null_fd = open("/dev/null", O_RDONLY);
  if (out_fd < 0 || err_fd < 0 || null_fd < 0) _exit(127);
  dup2(null_fd, 0);
  dup2(out_fd, 1);
  dup2(err_fd, 2);

  /* Passed descriptors go to 3, 4, ...; first move them out of the way so
   * that none is overwritten before it is copied. */
  std::vector<int> high;
  for (int fd : options.passed_fds) high.push_back(fcntl(fd, F_DUPFD, 100));
  for (size_t i = 0; i < high.size(); ++i) dup2(high[i], 3 + static_cast<int>(i));
  int first_free = 3 + static_cast<int>(high.size());
  for (int fd = first_free; fd < 1024; ++fd) close(fd);

  for (const auto& [key, value] : options.env) setenv(key.c_str(), value.c_str(), 1);
  if (!options.passed_fds.empty()) {
    setenv("LISTEN_FDS", std::to_string(options.passed_fds.size()).c_str(), 1);
    setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
  } else {
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_PID");
  }

  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGHUP, options.ignore_sighup ? SIG_IGN : SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  if (options.before_exec) options.before_exec();

  std::vector<std::string> words = options.prefix_args;
  if (options.program.empty()) {
    for (const auto& w : test_wrapper()) words.push_back(w);
    for (const auto& w : target_emulator()) words.push_back(w);
    words.push_back(options.binary.empty() ? daemon_binary() : options.binary);
  } else {
    words.push_back(options.program);
  }
  for (const auto& a : options.args) words.push_back(a);
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

}  // namespace

std::vector<std::string> target_emulator() { return split_words(LANECAMD_TARGET_EMULATOR); }

std::string daemon_binary() {
  const char* override_path = std::getenv("LANECAMD_TEST_BINARY");
  return override_path && *override_path ? override_path : LANECAMD_BINARY;
}

bool wait_for_path(const std::string& path, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  struct stat st;
  while (stat(path.c_str(), &st) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int settle_fds(pid_t pid, int expected, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int n = count_open_fds(std::to_string(pid));
  while (n != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    n = count_open_fds(std::to_string(pid));
  }
  return n;
}

int count_occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

DaemonProcess::DaemonProcess(const std::string& dir, const DaemonOptions& given)
    : out_path_(dir + "/daemon.out"), err_path_(dir + "/daemon.err") {
  /* A socket the daemon creates is given to lanecamd and the socket's group,
   * which only root may do. Elsewhere the test binds the socket and passes
   * it, as the service manager does; what the daemon does with it is the
   * same. */
  DaemonOptions options = given;
  int own_socket = -1;
  if (!options.wait_for_socket.empty() && options.passed_fds.empty() &&
      options.prefix_args.empty() && options.program.empty() && !daemon_creates_socket()) {
    own_socket = bound_datagram_socket(options.wait_for_socket);
    if (own_socket >= 0) options.passed_fds = {own_socket};
  }
  pid_ = fork();
  if (pid_ == 0) exec_child(options, out_path_, err_path_);
  if (own_socket >= 0) close(own_socket);
  if (!options.wait_for_socket.empty()) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    struct stat st;
    while (stat(options.wait_for_socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
      if (!running() || std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
}

DaemonProcess::~DaemonProcess() {
  // Under a wrapper the daemon is asked to end, so that the wrapper can
  // give its report on the way out.
  if (pid_ > 0 && running()) stop(test_wrapper().empty() ? SIGKILL : SIGTERM);
}

bool DaemonProcess::running() {
  if (status_ != -1) return false;
  int status;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = status;
    return false;
  }
  return r == 0;
}

int DaemonProcess::wait_exit(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

int DaemonProcess::stop(int signo) {
  if (running()) kill(pid_, signo);
  int status = wait_exit(std::chrono::seconds(10));
  if (status == -1) {
    kill(pid_, SIGKILL);
    status = wait_exit(std::chrono::seconds(10));
  }
  return status;
}

std::string DaemonProcess::out() const { return read_file(out_path_); }
std::string DaemonProcess::err() const { return read_file(err_path_); }

bool DaemonProcess::wait_for_output(const std::string& text,
                                    std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}
