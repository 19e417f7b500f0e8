// SPDX-License-Identifier: MIT
/*
 * Set-up shared by the fuzz targets; see fuzz_support.h.
 */
#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <glib.h>

#include "test_config.h"

namespace {

void discard_log(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

std::string temporary_dir;

void remove_environment() {
  std::error_code ignored;
  std::filesystem::remove_all(temporary_dir, ignored);
}

std::string make_environment() {
  char* dir = g_dir_make_tmp("lanecamd-fuzz-XXXXXX", nullptr);
  if (!dir) {
    std::fprintf(stderr, "fuzz: cannot create a temporary directory\n");
    std::abort();
  }
  std::string path = dir;
  g_free(dir);
  temporary_dir = path;
  std::atexit(remove_environment);
  std::string config = path + "/lanecamd.conf";
  setenv("LANECAMD_CONFIG", config.c_str(), 1);
  // Nothing listens there: every bus connection is refused at once.
  std::string bus = "unix:path=" + path + "/no-bus";
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.c_str(), 1);
  if (!std::getenv("LANECAMD_FUZZ_LOG")) g_log_set_default_handler(discard_log, nullptr);
  return path;
}

}  // namespace

const std::string& fuzz_environment() {
  static const std::string dir = make_environment();
  return dir;
}

void fuzz_reset_config() {
  std::string config = fuzz_environment() + "/lanecamd.conf";
  if (!g_file_set_contents(config.c_str(), test_config_text().c_str(), -1, nullptr)) {
    std::fprintf(stderr, "fuzz: cannot write %s\n", config.c_str());
    std::abort();
  }
}

int fuzz_open_fds() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int n = 0;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++n;
  closedir(dir);
  return n - 1; /* the directory's own descriptor */
}
