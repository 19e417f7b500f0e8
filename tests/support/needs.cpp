// SPDX-License-Identifier: MIT
#include "needs.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <glib.h>

#include "syslog_capture.h"

namespace {

std::string lacking(Need need) {
  switch (need) {
    case Need::Root:
      return geteuid() == 0 ? "" : "needs root";
    case Need::SocketAccounts:
      if (getpwnam("lanecamd") && getgrnam(kSocketGroup)) return "";
      return std::string("needs the user lanecamd and the group ") + kSocketGroup;
    case Need::Setpriv: {
      g_autofree char* setpriv = g_find_program_in_path("setpriv");
      if (!setpriv) return "needs setpriv";
      if (!getpwnam("nobody") || !getgrnam("nogroup")) return "needs the user nobody and the group nogroup";
      return "";
    }
    case Need::MountNamespace:
      return SyslogCapture::available() ? "" : "needs a private mount namespace";
  }
  return "";
}

}  // namespace

std::string missing(std::initializer_list<Need> needs) {
  for (Need need : needs)
    if (std::string why = lacking(need); !why.empty()) return why;
  return "";
}

bool daemon_creates_socket() { return missing({Need::Root, Need::SocketAccounts}).empty(); }
