// SPDX-License-Identifier: MIT
#include "syslog_capture.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "daemon_process.h"

namespace {

/* Run by sh inside the new mount namespace: a tmpfs over /dev holding a
 * link to every real device node and /dev/log pointing at the capture. */
const char kNamespaceScript[] =
    "set -e\n"
    "dir=$1; shift\n"
    "mkdir -p \"$dir/hostdev\"\n"
    "mount --rbind /dev \"$dir/hostdev\"\n"
    "mount -t tmpfs -o mode=755 tmpfs /dev\n"
    "for f in \"$dir\"/hostdev/*; do ln -s \"$f\" \"/dev/${f##*/}\"; done\n"
    "ln -s \"$dir/log\" /dev/log\n"
    "exec \"$@\"\n";

}  // namespace

SyslogCapture::SyslogCapture(const std::string& dir) : dir_(dir) {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = dir + "/log";
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    close(fd_);
    fd_ = -1;
  }
}

SyslogCapture::~SyslogCapture() {
  if (fd_ >= 0) close(fd_);
}

bool SyslogCapture::available() {
  return std::system("unshare --mount --propagation private "
                     "sh -c 'mount -t tmpfs tmpfs /mnt' >/dev/null 2>&1") == 0;
}

std::vector<std::string> SyslogCapture::prefix() const {
  return {"unshare", "--mount", "--propagation", "private", "sh", "-c", kNamespaceScript, "sh",
          dir_};
}

std::string SyslogCapture::wait_for(const std::string& text, int count,
                                    std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (fd_ >= 0 && count_occurrences(received_, text) < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[2048];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n > 0) received_.append(buf, static_cast<size_t>(n)).append("\n");
  }
  return received_;
}
