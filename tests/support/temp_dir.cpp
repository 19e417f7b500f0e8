// SPDX-License-Identifier: MIT
#include "temp_dir.h"

#include <sys/stat.h>

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/lanecamd-test-XXXXXX";
  char* made = mkdtemp(templ.data());
  if (!made) {
    ADD_FAILURE() << "mkdtemp failed";
    std::abort();
  }
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  out.close();
  if (!out) {
    ADD_FAILURE() << "cannot write " << path;
    std::abort();
  }
}

int count_open_fds(const std::string& pid) {
  std::string dir = "/proc/" + pid + "/fd";
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return pid == "self" ? n - 1 : n; /* opendir's own descriptor */
}

std::string copy_executable(const std::string& from, const std::string& path) {
  write_file(path, read_file(from));
  chmod(path.c_str(), 0755);
  return path;
}
