// SPDX-License-Identifier: MIT
/*
 * What a test needs of the machine beyond its build tree. The test gates run
 * as root where the daemon's user and the web server's group exist; a
 * distribution's build machine runs the tests as an ordinary user without
 * them. There a test that needs what is missing skips, saying in one line
 * what that is, and every other test runs as it would under the gates.
 */
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

/* The group the transfer socket is given to, as the build chose it. */
inline constexpr char kSocketGroup[] = LANECAMD_SOCKET_GROUP;

enum class Need {
  Root,           /* to give files to other users and to mount */
  SocketAccounts, /* the user lanecamd and the socket's group */
  Setpriv,        /* setpriv, and the user nobody and group nogroup to become */
  MountNamespace, /* a private mount namespace (unshare --mount) */
};

/* Empty when the machine has everything in needs; else one line naming the
 * first thing it lacks ("needs root"). */
std::string missing(std::initializer_list<Need> needs);

/* Whether the daemon may create its own transfer socket here, which it gives
 * to lanecamd and the socket's group: as root, with both accounts. */
bool daemon_creates_socket();

/* Skips the running test (in its body or its fixture's SetUp) unless the
 * machine has everything named: SKIP_UNLESS(Need::Root, Need::Setpriv). */
#define SKIP_UNLESS(...)                                                      \
  do {                                                                        \
    if (const std::string why_ = missing({__VA_ARGS__}); !why_.empty())       \
      GTEST_SKIP() << why_;                                                   \
  } while (0)
