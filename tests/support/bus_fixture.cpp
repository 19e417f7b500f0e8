// SPDX-License-Identifier: MIT
/*
 * The bus test bed: a private dbus-daemon and the fake camera on it, as
 * child processes of the test, and readers for the fake camera's record.
 */
#include "bus_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "daemon_process.h"

extern char** environ;

namespace {

/* Generous enough for a sanitizer build on a loaded machine; a healthy
 * start takes milliseconds. */
const int kReadyTimeoutMs = 15000;
const auto kStopTimeout = std::chrono::seconds(5);

/* Starts args[0] with its stdout on a new pipe; returns the pid and the
 * pipe's read end in *out, or -1 after adding a test failure. The child gets
 * SIGTERM when the thread that started it ends, so a test that crashes
 * leaves no bus or fake camera behind to hold the test runner's output. */
pid_t spawn_with_stdout(const std::vector<std::string>& args, int* out) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) < 0) {
    ADD_FAILURE() << "pipe2: " << strerror(errno);
    return -1;
  }
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec: the test may have threads.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) < 0 || getppid() != parent) _exit(127);
    if (dup2(fds[1], STDOUT_FILENO) < 0) _exit(127);
    execve(argv[0], argv.data(), environ);
    _exit(127);
  }
  int fork_errno = errno;
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    ADD_FAILURE() << "cannot start " << args[0] << ": " << strerror(fork_errno);
    return -1;
  }
  *out = fds[0];
  return pid;
}

/* Reads the first line from fd, waiting at most the ready timeout. */
bool read_first_line(int fd, std::string* line) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyTimeoutMs);
  line->clear();
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    char buf[256];
    ssize_t got = read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    line->append(buf, static_cast<size_t>(got));
    size_t end = line->find('\n');
    if (end != std::string::npos) {
      line->resize(end);
      return true;
    }
  }
}

/* Sends SIGTERM and reaps the child, killing it when it does not end in
 * time. Returns its wait status. */
int stop_child(pid_t* pid, int* out) {
  int status = -1;
  if (*pid > 0) {
    kill(*pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
      pid_t got = waitpid(*pid, &status, WNOHANG);
      if (got == *pid || (got < 0 && errno != EINTR)) break;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "process " << *pid << " ignored SIGTERM";
        kill(*pid, SIGKILL);
        waitpid(*pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
    *pid = -1;
  }
  if (*out >= 0) close(*out);
  *out = -1;
  return status;
}

/* Takes the next space-separated token of text from *pos. */
std::string next_token(const std::string& text, size_t* pos) {
  if (*pos >= text.size()) return "";
  size_t end = text.find(' ', *pos);
  if (end == std::string::npos) end = text.size();
  std::string token = text.substr(*pos, end - *pos);
  *pos = end + 1;
  return token;
}

}  // namespace

BusCall parse_bus_call(const std::string& line) {
  BusCall call;
  size_t tab = line.find('\t');
  call.text = line.substr(0, tab);
  if (tab != std::string::npos) {
    std::istringstream tail(line.substr(tab + 1));
    std::string field;
    while (tail >> field) {
      size_t eq = field.find('=');
      std::string key = field.substr(0, eq);
      std::string value = eq == std::string::npos ? "" : field.substr(eq + 1);
      if (key == "sender") call.sender = value;
      else if (key == "destination") call.destination = value;
      else if (key == "path") call.path = value;
      else if (key == "interface") call.interface = value;
      else if (key == "property-interface") call.property_interface = value;
    }
  }
  size_t pos = 0;
  call.member = next_token(call.text, &pos);
  bool is_property = !call.property_interface.empty();
  if (is_property) call.property = next_token(call.text, &pos);
  call.signature = next_token(call.text, &pos);
  if (pos < call.text.size()) call.value = call.text.substr(pos);
  return call;
}

BusFixture::~BusFixture() { stop_bus(); }

bool BusFixture::start_bus() {
  if (bus_pid_ > 0) return true;
  std::string socket = dir_.file("bus");
  bus_pid_ = spawn_with_stdout({"/usr/bin/dbus-daemon", "--config-file=" LANECAMD_BUS_CONF,
                                "--nofork", "--nosyslog", "--address=unix:path=" + socket,
                                "--print-address"},
                               &bus_out_);
  if (bus_pid_ < 0) return false;
  // The address is printed once the bus listens.
  if (!read_first_line(bus_out_, &address_) || address_.empty()) {
    ADD_FAILURE() << "dbus-daemon did not print its address";
    stop_child(&bus_pid_, &bus_out_);
    return false;
  }
  const char* previous = getenv("DBUS_SYSTEM_BUS_ADDRESS");
  had_address_ = previous != nullptr;
  saved_address_ = previous ? previous : "";
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
  return true;
}

bool BusFixture::start_camera(const FakeCameraOptions& options) {
  if (bus_pid_ < 0) {
    ADD_FAILURE() << "start_bus() first";
    return false;
  }
  stop_camera();
  std::string record = dir_.file("record");
  write_file(record, "");
  std::vector<std::string> args = target_emulator();
  args.insert(args.end(), {LANECAMD_FAKE_CAMERA, "--record", record, "--stats",
                           dir_.file("stats"), "--optics", options.optics});
  for (const auto& f : options.fail) args.insert(args.end(), {"--fail", f});
  for (const auto& d : options.delay) args.insert(args.end(), {"--delay", d});
  for (const auto& n : options.no_message_error)
    args.insert(args.end(), {"--no-message-error", n});

  camera_pid_ = spawn_with_stdout(args, &camera_out_);
  if (camera_pid_ < 0) return false;
  std::string line;
  if (!read_first_line(camera_out_, &line) || line != "ready") {
    int status = stop_child(&camera_pid_, &camera_out_);
    ADD_FAILURE() << "fake camera did not get ready (wait status " << status << ")";
    return false;
  }
  return true;
}

bool BusFixture::stop_camera() {
  if (camera_pid_ < 0) return true;
  int status = stop_child(&camera_pid_, &camera_out_);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BusFixture::stop_bus() {
  stop_camera();
  if (bus_pid_ < 0) return;
  stop_child(&bus_pid_, &bus_out_);
  if (had_address_)
    setenv("DBUS_SYSTEM_BUS_ADDRESS", saved_address_.c_str(), 1);
  else
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  address_.clear();
}

std::vector<BusCall> BusFixture::calls() const {
  std::vector<BusCall> out;
  std::istringstream in(read_file(dir_.file("record")));
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) out.push_back(parse_bus_call(line));
  return out;
}

void BusFixture::clear_calls() {
  // The fake camera appends, so truncating in place keeps its descriptor valid.
  write_file(dir_.file("record"), "");
}

FakeCameraStats BusFixture::stats() const {
  FakeCameraStats stats;
  std::istringstream in(read_file(dir_.file("stats")));
  std::string key;
  long value;
  while (in >> key >> value) {
    if (key == "calls") stats.calls = value;
    else if (key == "applications") stats.applications = value;
    else if (key == "in_flight") stats.in_flight = value;
    else if (key == "max_in_flight") stats.max_in_flight = value;
  }
  return stats;
}
