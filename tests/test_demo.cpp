// SPDX-License-Identifier: MIT
/*
 * tools/demo --once as a user runs it: it installs, builds, starts the bus,
 * the fake camera and the daemon, shows the three replies and the camera's
 * calls, and on exit leaves no process and no file behind.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "command_run.h"
#include "daemon_process.h"
#include "needs.h"
#include "temp_dir.h"

using namespace std::chrono_literals;

namespace {

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

/* The demo builds with the jobs the caller gives the build, or one: ctest
 * runs other tests beside it. */
std::string build_jobs() {
  const char* given = std::getenv("CMAKE_BUILD_PARALLEL_LEVEL");
  return given && *given ? given : "1";
}

/* The demo runs as root: its daemon gives the socket it creates to lanecamd
 * and the socket's group, and it makes those accounts where they are missing. */
TEST(Demo, OnceShowsThreeRepliesAndLeavesNothingBehind) {
  SKIP_UNLESS(Need::Root);
  /* Whatever the demo leaves running becomes a child of this process. */
  become_subreaper();
  TempDir tmp;
  CommandResult r = run_command({LANECAMD_SOURCE_DIR "/tools/demo", "--once"},
                                {{"BUILD_DIR", LANECAMD_BUILD_DIR},
                                 {"TMPDIR", tmp.path()},
                                 {"CMAKE_BUILD_PARALLEL_LEVEL", build_jobs()}},
                                "", 120s);
  ASSERT_EQ(r.code(), 0) << r.out << r.err;

  EXPECT_EQ(count_occurrences(r.out, "\"method\": \"get\""), 1) << r.out;
  EXPECT_EQ(count_occurrences(r.out, "\"method\": \"set\""), 2) << r.out;
  EXPECT_EQ(count_occurrences(r.out, "(exit status 0)"), 3) << r.out;
  EXPECT_EQ(r.out.find("\"error\""), std::string::npos) << r.out;
  /* The preview sends nothing; the apply sends the whole sequence. */
  EXPECT_EQ(count_occurrences(r.out, "camera received: nothing"), 2) << r.out;
  EXPECT_NE(r.out.find("camera received:\n  Set MaxExposureTime i 1467\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  SetDayNightMode s auto\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  carSpeed=30\n"), std::string::npos) << r.out;

  EXPECT_EQ(live_children(), std::vector<pid_t>{}) << "processes left running";
  reap_children();
  EXPECT_EQ(entries(tmp.path()), std::vector<std::string>{}) << "files left behind";
}

/* Without --once the demo serves the user's own requests, shows what the
 * daemon and the camera did, and cleans up on Ctrl-C (SIGINT to the whole
 * process group, as the terminal sends it). */
TEST(Demo, ServesOwnRequestsUntilCtrlC) {
  SKIP_UNLESS(Need::Root);
  become_subreaper();
  TempDir tmp;
  TempDir logs;
  const std::string out_path = logs.file("out");
  pid_t demo = fork();
  if (demo == 0) {
    setpgid(0, 0);
    setenv("BUILD_DIR", LANECAMD_BUILD_DIR, 1);
    setenv("TMPDIR", tmp.path().c_str(), 1);
    setenv("CMAKE_BUILD_PARALLEL_LEVEL", build_jobs().c_str(), 1);
    FILE* out = freopen(out_path.c_str(), "w", stdout);
    if (!out || dup2(STDOUT_FILENO, STDERR_FILENO) < 0) _exit(127);
    execl(LANECAMD_SOURCE_DIR "/tools/demo", "demo", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(demo, 0);
  setpgid(demo, demo);
  auto wait_for = [&](const std::string& text, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (read_file(out_path).find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  };

  const std::string marker = "export LANECAMD_TRANSFER_SOCKET=";
  bool ready = wait_for("Ctrl-C stops everything", 120s);
  std::string out = read_file(out_path);
  size_t at = out.find(marker);
  if (ready && at != std::string::npos) {
    std::string socket_path = out.substr(at + marker.size(), out.find('\n', at) - at - marker.size());
    CommandResult r = run_command({LANECAMD_REQUEST_TOOL, "--socket", socket_path, "set", "--apply",
                                   "--road-offset", "-2", "--car-distance", "40",
                                   "--camera-height", "6", "--car-speed", "25"});
    EXPECT_EQ(r.code(), 0) << r.err;
    EXPECT_TRUE(wait_for("camera: SetDayNightMode s auto", 15s)) << read_file(out_path);
    EXPECT_TRUE(wait_for("daemon: ->set: apply:1", 15s)) << read_file(out_path);
  } else {
    ADD_FAILURE() << "the demo did not get ready:\n" << out;
  }

  kill(-demo, SIGINT);
  int status = -1;
  auto deadline = std::chrono::steady_clock::now() + 15s;
  while (waitpid(demo, &status, WNOHANG) != demo) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-demo, SIGKILL);
      waitpid(demo, &status, 0);
      ADD_FAILURE() << "the demo ignored Ctrl-C";
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(live_children(), std::vector<pid_t>{}) << "processes left running";
  reap_children();
  EXPECT_EQ(entries(tmp.path()), std::vector<std::string>{}) << "files left behind";
}

}  // namespace
