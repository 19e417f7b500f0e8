// SPDX-License-Identifier: MIT
/*
 * The guard of a file descriptor: closed at scope end, or when another
 * takes its place. Needs nothing but POSIX. -1 is the empty descriptor.
 */
#pragma once

#include <unistd.h>

namespace handles {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  /* Closes the descriptor held, if any, and holds fd instead. */
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

}  // namespace handles
