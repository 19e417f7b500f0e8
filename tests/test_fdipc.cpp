// SPDX-License-Identifier: MIT
/*
 * fd passing: the created server socket's node, and the receipt of messages
 * with no, one or many descriptors, without leaking any of them.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "fdipc.h"
#include "fdipc_client.h"
#include "needs.h"
#include "temp_dir.h"
#include "transfer_client.h"

namespace {

struct Owner {
  std::string user, group;
};

/* Who the server socket is given to: the daemon's user and the socket's
 * group where the test may give a node away, else the test's own user and
 * group; empty names when those have none. */
Owner socket_owner() {
  if (daemon_creates_socket()) return {"lanecamd", kSocketGroup};
  const passwd* user = getpwuid(geteuid());
  const group* grp = getgrgid(getegid());
  return {user ? user->pw_name : "", grp ? grp->gr_name : ""};
}

class Fdipc : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.file("sock");
  Owner owner = socket_owner();
  int server = -1;

  void SetUp() override {
    if (owner.user.empty() || owner.group.empty()) GTEST_SKIP() << "needs a user and group name";
    server = fdipc_server_socket_with_user_group(path.c_str(), 0660, owner.user.c_str(),
                                                 owner.group.c_str());
    ASSERT_GE(server, 0) << "given to " << owner.user << ":" << owner.group;
  }
  void TearDown() override {
    if (server >= 0) close(server);
  }
};

TEST_F(Fdipc, ServerSocketHasModeOwnerGroupAndCloseOnExec) {
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_uid, getpwnam(owner.user.c_str())->pw_uid);
  EXPECT_EQ(st.st_gid, getgrnam(owner.group.c_str())->gr_gid);
  EXPECT_TRUE(fcntl(server, F_GETFD) & FD_CLOEXEC);
  /* The process umask is given back. */
  mode_t now = umask(022);
  umask(now);
  EXPECT_NE(now, 0777u);
}

TEST(FdipcServer, UnknownUserOrGroupFailsAndLeavesNoNode) {
  TempDir dir;
  std::string path = dir.file("sock");
  const Owner owner = socket_owner();
  const char* user = owner.user.c_str();
  const char* grp = owner.group.c_str();
  EXPECT_EQ(fdipc_server_socket_with_user_group(path.c_str(), 0660, "no-such-user-x", grp), -1);
  EXPECT_EQ(fdipc_server_socket_with_user_group(path.c_str(), 0660, user, "no-such-group-x"), -1);
  struct stat st;
  EXPECT_NE(stat(path.c_str(), &st), 0);
  /* A path that does not fit into a socket address. */
  std::string long_path = dir.path() + "/" + std::string(200, 'x');
  EXPECT_EQ(fdipc_server_socket_with_user_group(long_path.c_str(), 0660, user, grp), -1);
}

TEST_F(Fdipc, ReceivesTextAndOneDescriptorWithCloseOnExec) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_TRUE(send_datagram(path, "hello", {pair[0]}));
  char buf[64];
  int client = -1;
  ASSERT_EQ(fdipc_recv(server, buf, sizeof buf, &client), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  ASSERT_GE(client, 0);
  EXPECT_TRUE(fcntl(client, F_GETFD) & FD_CLOEXEC);
  ASSERT_EQ(write(client, "x", 1), 1);
  char c = 0;
  EXPECT_EQ(read(pair[1], &c, 1), 1);
  close(client);
  close(pair[0]);
  close(pair[1]);
}

TEST_F(Fdipc, MessageWithoutDescriptorFails) {
  ASSERT_TRUE(send_datagram(path, "hello", {}));
  char buf[64];
  int client = 12345;
  EXPECT_LT(fdipc_recv(server, buf, sizeof buf, &client), 0);
  EXPECT_EQ(client, -1);
}

TEST_F(Fdipc, NothingQueuedFailsWithoutBlocking) {
  char buf[64];
  int client = 0;
  EXPECT_LT(fdipc_recv(server, buf, sizeof buf, &client), 0);
  EXPECT_EQ(client, -1);
}

/* The sending side, as the web server uses it: the message and the
 * connection arrive together, and a missing or dead socket shows before
 * anything is sent. */
TEST_F(Fdipc, ClientSendsMessageWithDescriptor) {
  int sender = fdipc_client_socket(path.c_str());
  ASSERT_GE(sender, 0);
  EXPECT_TRUE(fcntl(sender, F_GETFD) & FD_CLOEXEC);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_EQ(fdipc_send(sender, "/x.cgi?{}", 9, pair[0]), 9);
  char buf[64];
  int client = -1;
  ASSERT_EQ(fdipc_recv(server, buf, sizeof buf, &client), 9);
  EXPECT_EQ(std::string(buf, 9), "/x.cgi?{}");
  ASSERT_GE(client, 0);
  ASSERT_EQ(write(client, "y", 1), 1);
  char c = 0;
  EXPECT_EQ(read(pair[1], &c, 1), 1);
  close(client);
  close(pair[0]);
  close(pair[1]);
  close(sender);

  errno = 0;
  EXPECT_EQ(fdipc_client_socket(dir.file("none").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  close(server);
  server = -1;
  errno = 0;
  EXPECT_EQ(fdipc_client_socket(path.c_str()), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
}

/* The tool and the front end share these sentences, each in its own words:
 * a change meant for one must not reach the other. */
TEST(FdipcClient, EachSenderTellsAFailureInItsOwnWords) {
  const std::string p = "/run/x";
  const TransferVoice tool = TransferVoice::kTool, web = TransferVoice::kFrontEnd;
  const std::pair<std::string, std::string> said[] = {
      {transfer_reach_error(ENOENT, p, tool),
       "no transfer socket at /run/x (is lanecamd installed and its socket started?)"},
      {transfer_reach_error(ENOENT, p, web),
       "lanecamd is not there: no transfer socket at /run/x"},
      {transfer_reach_error(ECONNREFUSED, p, tool),
       "nobody receives on /run/x (a stale socket: lanecamd is not running)"},
      {transfer_reach_error(ECONNREFUSED, p, web),
       "lanecamd is not there: nobody receives on /run/x"},
      {transfer_reach_error(ENAMETOOLONG, p, tool), "socket path too long: /run/x"},
      {transfer_reach_error(ENAMETOOLONG, p, web),
       "cannot reach lanecamd at /run/x: File name too long"},
      {transfer_reach_error(EACCES, p, tool), "cannot reach /run/x: Permission denied"},
      {transfer_send_error(EAGAIN, p, tool, "0.5"),
       "the daemon did not take the request within 0.5 s (its queue is full); the request was "
       "not sent"},
      {transfer_send_error(EAGAIN, p, web),
       "lanecamd is busy: its transfer socket's queue is full"},
      {transfer_send_error(EPERM, p, tool), "cannot send to /run/x: Operation not permitted"},
      {transfer_send_error(EPERM, p, web),
       "cannot hand the request to lanecamd: Operation not permitted"},
  };
  for (const auto& [sentence, expected] : said) EXPECT_EQ(sentence, expected);
}


class FdipcMany : public Fdipc, public ::testing::WithParamInterface<size_t> {};

TEST_P(FdipcMany, KeepsFirstDescriptorAndClosesTheRest) {
  const size_t n = GetParam();
  std::vector<int> sent, peers;
  for (size_t i = 0; i < n; ++i) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    sent.push_back(pair[0]);
    peers.push_back(pair[1]);
  }
  ASSERT_TRUE(send_datagram(path, "many", sent));
  for (int fd : sent) close(fd);
  const int before = count_open_fds();

  char buf[64];
  int client = -1;
  ASSERT_EQ(fdipc_recv(server, buf, sizeof buf, &client), 4);
  EXPECT_EQ(count_open_fds(), before + 1);
  /* The first is the client; every other peer sees its end closed. */
  ASSERT_EQ(write(client, "y", 1), 1);
  char c = 0;
  EXPECT_EQ(read(peers[0], &c, 1), 1);
  for (size_t i = 1; i < n; ++i) EXPECT_EQ(read(peers[i], &c, 1), 0) << "descriptor " << i;
  close(client);
  for (int fd : peers) close(fd);
}

/* 3 fit the control buffer; 40 do not (the kernel truncates the control data). */
INSTANTIATE_TEST_SUITE_P(Counts, FdipcMany, ::testing::Values(2u, 3u, 40u));

TEST_F(Fdipc, LongMessageIsCutToBufferLength) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_TRUE(send_datagram(path, std::string(8000, 'a'), {pair[0]}));
  ASSERT_TRUE(send_datagram(path, "next", {pair[0]}));
  std::vector<char> buf(4095);
  int client = -1;
  EXPECT_EQ(fdipc_recv(server, buf.data(), buf.size(), &client), 4095);
  close(client);
  /* The rest of the long message is gone, not taken for the next one. */
  EXPECT_EQ(fdipc_recv(server, buf.data(), buf.size(), &client), 4);
  close(client);
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
