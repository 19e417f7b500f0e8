// SPDX-License-Identifier: MIT
/*
 * Child programs for the packaging, request tool and demo tests.
 */
#include "command_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "temp_dir.h"

int CommandResult::code() const {
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

CommandResult run_command(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env, const std::string& input,
                          std::chrono::milliseconds timeout) {
  TempDir dir;
  write_file(dir.file("in"), input);
  CommandResult result;
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(dir.file("in").c_str(), O_RDONLY);
    int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      result.status = status;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  result.out = read_file(dir.file("out"));
  result.err = read_file(dir.file("err"));
  return result;
}

void become_subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

std::vector<pid_t> live_children() {
  std::vector<pid_t> out;
  DIR* proc = opendir("/proc");
  if (!proc) return out;
  const std::string self = std::to_string(getpid());
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::string stat = read_file(std::string("/proc/") + entry->d_name + "/stat");
    /* pid (comm) state ppid ...: comm may hold spaces, so parse after ')'. */
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    std::istringstream rest(stat.substr(close_paren + 1));
    std::string state, ppid;
    rest >> state >> ppid;
    if (ppid == self && state != "Z") out.push_back(std::atoi(entry->d_name));
  }
  closedir(proc);
  return out;
}

void reap_children() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}
