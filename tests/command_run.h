// SPDX-License-Identifier: MIT
/*
 * Runs a program as a child of the test and collects what it did: its exit
 * status and its standard output and error, each kept in a file of a
 * temporary directory. Also finds the processes that a daemon left behind
 * once the test process has made itself their reaper.
 */
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

struct CommandResult {
  int status = -1;        /* wait status; -1 when the program had to be killed */
  std::string out;
  std::string err;
  /* The exit code, or -1 when the program did not exit normally. */
  int code() const;
};

/* Runs argv[0] (searched in PATH) with the test's environment plus env, its
 * standard input from input. A program still running after timeout is
 * killed and its status is -1. */
CommandResult run_command(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env = {},
                          const std::string& input = "",
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));

/* Makes orphaned descendants of the test process its children, so that a
 * test can see and reap what a detaching daemon or a script left running. */
void become_subreaper();

/* Pids of the live (not zombie) children of the test process. */
std::vector<pid_t> live_children();

/* Reaps exited children without waiting. */
void reap_children();
