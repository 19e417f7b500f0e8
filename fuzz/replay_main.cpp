// SPDX-License-Identifier: MIT
/*
 * Replays fuzz inputs without libFuzzer: every file named on the command
 * line, or every file in a directory named there, goes once through the
 * target's LLVMFuzzerTestOneInput. Built with any compiler, so the seed
 * corpus and every saved crash input run as ordinary tests.
 */
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

bool run_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
      files.push_back(argv[i]);
      continue;
    }
    DIR* dir = opendir(argv[i]);
    if (!dir) return 1;
    std::vector<std::string> names;
    while (dirent* e = readdir(dir))
      if (e->d_name[0] != '.') names.push_back(std::string(argv[i]) + "/" + e->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    files.insert(files.end(), names.begin(), names.end());
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s FILE|DIR...\n", argv[0]);
    return 1;
  }
  for (const auto& f : files)
    if (!run_file(f)) return 1;
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}
