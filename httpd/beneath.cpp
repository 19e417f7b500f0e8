// SPDX-License-Identifier: MIT
#include "beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kFileFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

int walk_beneath(int root_fd, const std::string& relative) {
  if (relative.empty()) return openat(root_fd, ".", kFileFlags | O_DIRECTORY);
  int dir = root_fd;
  size_t start = 0;
  for (;;) {
    size_t slash = relative.find('/', start);
    std::string name = relative.substr(start, slash == std::string::npos ? std::string::npos
                                                                          : slash - start);
    int fd = slash == std::string::npos
                 ? openat(dir, name.c_str(), kFileFlags | O_NOFOLLOW)
                 : openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int err = errno;
    if (dir != root_fd) close(dir);
    if (fd < 0 || slash == std::string::npos) {
      errno = err;
      return fd;
    }
    dir = fd;
    start = slash + 1;
  }
}

}  // namespace

int open_beneath(int root_fd, const std::string& relative, bool* use_openat2) {
  if (*use_openat2) {
    open_how how{};
    how.flags = kFileFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = syscall(SYS_openat2, root_fd, relative.empty() ? "." : relative.c_str(), &how,
                      sizeof how);
    /* A kernel before 5.6 has no openat2(); a seccomp filter may refuse it. */
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
    *use_openat2 = false;
  }
  return walk_beneath(root_fd, relative);
}
