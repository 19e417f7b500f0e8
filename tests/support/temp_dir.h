// SPDX-License-Identifier: MIT
/*
 * Temporary directories and small file helpers for tests.
 */
#pragma once

#include <string>

/* A fresh directory under $TMPDIR (or /tmp), removed with its contents. */
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/* Whole file as bytes; empty string when it cannot be read. */
std::string read_file(const std::string& path);
/* Writes the bytes, replacing the file; aborts the test on failure. */
void write_file(const std::string& path, const std::string& contents);
/* Number of open descriptors of a process (/proc/PID/fd); "self" by default. */
int count_open_fds(const std::string& pid = "self");
/* Copies an executable to path with mode 0755: a program of the build tree
 * that another user must run, wherever the tree lies. Returns path. */
std::string copy_executable(const std::string& from, const std::string& path);
