// SPDX-License-Identifier: MIT
/*
 * The daemon binary as a process: its command line, signals, the transfer
 * socket (created or passed by the service manager), the framing of replies,
 * the admission limit, odd messages, and detaching with the exit when idle.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "daemon_stack.h"
#include "needs.h"
#include "syslog_capture.h"
#include "transfer_client.h"

using namespace std::chrono_literals;

namespace {

const char kVersionsRequest[] = R"({"method":"getSupportedVersions","context":"t"})";
const char kVersionsBody[] =
    "{\n  \"context\": \"t\",\n  \"method\": \"getSupportedVersions\",\n  \"data\": {\n"
    "    \"apiVersions\": [\n      \"1.0\"\n    ]\n  }\n}";
const char kInvalidRequestBody[] =
    "{\n  \"apiVersion\": \"1.0\",\n  \"method\": \"unknown\",\n  \"error\": {\n"
    "    \"code\": 1004,\n    \"message\": \"invalid request\"\n  }\n}";

std::string ok_reply(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Type: text/json\r\n\r\n" + body + "\r\n";
}

class Daemon : public DaemonStack {};

TEST_F(Daemon, FramesReplyAsHttp200) {
  auto d = start_daemon();
  EXPECT_EQ(send_request(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));
}

TEST_F(Daemon, OneCharacterAfterScriptNameGivesInvalidRequest) {
  auto d = start_daemon();
  EXPECT_EQ(send_request(socket_path, "GET /roadshotwizard.cgi?"), ok_reply(kInvalidRequestBody));
  /* The name at the very end: nothing to skip, nothing read past the end. */
  EXPECT_EQ(send_request(socket_path, "GET /roadshotwizard.cgi"), ok_reply(kInvalidRequestBody));
}

TEST_F(Daemon, MessageWithoutScriptNameClosesConnectionUnanswered) {
  auto d = start_daemon();
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(send_request(socket_path, "GET /index.html?{\"method\":\"get\"}"), "");
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  EXPECT_EQ(send_request(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));
}

TEST_F(Daemon, ThirdRequestGetsBusyReplyWhileTwoAreInFlight) {
  auto d = start_daemon();
  auto held1 = std::make_unique<HeldRequest>(
      socket_path, cgi_message(R"({"apiVersion":"1.0","method":"get","context":"h1"})"));
  ASSERT_TRUE(d->wait_for_output("context:h1"));
  auto held2 = std::make_unique<HeldRequest>(
      socket_path, cgi_message(R"({"apiVersion":"1.0","method":"get","context":"h2"})"));
  ASSERT_TRUE(d->wait_for_output("context:h2"));

  std::string busy = send_request(socket_path, cgi_message(kVersionsRequest));
  EXPECT_EQ(busy, kBusyReply);
  EXPECT_EQ(busy.size(), 114u);

  std::string first = held1->release();
  EXPECT_NE(first.find("\"context\": \"h1\""), std::string::npos) << first;
  EXPECT_EQ(first.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);

  /* Admitted again as soon as one of the two has ended. */
  EXPECT_EQ(send_when_admitted(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));

  std::string second = held2->release();
  EXPECT_NE(second.find("\"context\": \"h2\""), std::string::npos) << second;
}

TEST_F(Daemon, OddMessagesLeaveNoDescriptorBehind) {
  auto d = start_daemon();
  ASSERT_EQ(send_request(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));
  const int baseline = count_open_fds(std::to_string(d->pid()));
  ASSERT_GT(baseline, 0);

  /* No descriptor: nothing can be answered, nothing is closed. */
  ASSERT_TRUE(send_datagram(socket_path, cgi_message(kVersionsRequest), {}));
  ASSERT_TRUE(d->wait_for_output("Could not receive fd"));

  /* Three descriptors: the first is the client, the others are closed. */
  int a[2], b[2], c[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, a), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, b), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, c), 0);
  ASSERT_TRUE(send_datagram(socket_path, cgi_message(kVersionsRequest), {a[0], b[0], c[0]}));
  close(a[0]);
  close(b[0]);
  close(c[0]);
  bool timed_out = true;
  EXPECT_EQ(read_to_eof(a[1], 5s), ok_reply(kVersionsBody));
  EXPECT_EQ(read_to_eof(b[1], 5s, &timed_out), "");
  EXPECT_FALSE(timed_out);
  EXPECT_EQ(read_to_eof(c[1], 5s, &timed_out), "");
  EXPECT_FALSE(timed_out);
  close(a[1]);
  close(b[1]);
  close(c[1]);

  /* An 8000-byte message is taken as its first 4095 bytes. */
  std::string big = cgi_message(kVersionsRequest);
  big.resize(8000, ' ');
  EXPECT_EQ(send_request(socket_path, big), ok_reply(kVersionsBody));

  EXPECT_EQ(settle_fds(d->pid(), baseline), baseline);
  EXPECT_TRUE(d->running());
}

TEST_F(Daemon, ClientGoneBeforeReplyLeavesDaemonServing) {
  auto d = start_daemon();
  ASSERT_EQ(send_request(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));
  const int baseline = count_open_fds(std::to_string(d->pid()));
  for (int i = 0; i < 5; ++i) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    close(pair[1]);
    ASSERT_TRUE(send_datagram(socket_path, cgi_message(kVersionsRequest), {pair[0]}));
    close(pair[0]);
  }
  /* A pipe whose reader is gone: the write fails with EPIPE, not a signal. */
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  ASSERT_TRUE(send_datagram(socket_path, cgi_message(kVersionsRequest), {p[1]}));
  close(p[1]);

  EXPECT_EQ(send_when_admitted(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));
  EXPECT_EQ(settle_fds(d->pid(), baseline), baseline);
  EXPECT_TRUE(d->running());
}

std::string get_request(const std::string& context) {
  return cgi_message(R"({"apiVersion":"1.0","method":"get","context":")" + context + "\"}");
}

/* Clients that never read their reply hold a slot only until the reply's
 * deadline, and a 503 that cannot be written at once never holds the main
 * loop: one stalled socket and one stalled pipe in the slots, a full pipe
 * behind them. */
TEST_F(Daemon, SlowStalledClientsCannotHoldTheDaemon) {
  /* Started through the namespace's shell, the daemon makes its own socket. */
  SKIP_UNLESS(Need::MountNamespace, Need::SocketAccounts);
  SyslogCapture syslog(dir.path());
  auto o = options();
  o.prefix_args = syslog.prefix();
  auto d = start_daemon(o);
  ASSERT_EQ(send_request(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));
  const int baseline = count_open_fds(std::to_string(d->pid()));

  auto on_socket = std::make_unique<HeldRequest>(socket_path, get_request("s1"), HeldKind::socket);
  ASSERT_TRUE(d->wait_for_output("context:s1"));
  auto on_pipe = std::make_unique<HeldRequest>(socket_path, get_request("s2"), HeldKind::pipe);
  ASSERT_TRUE(d->wait_for_output("context:s2"));

  HeldRequest full(socket_path, cgi_message(kVersionsRequest), HeldKind::pipe);
  ASSERT_TRUE(d->wait_for_output("Too many clients connected"));
  EXPECT_EQ(full.release(2s), "") << "a 503 that did not fit was written late";

  std::string reply = send_request(socket_path, cgi_message(kVersionsRequest), 1s);
  EXPECT_TRUE(reply == kBusyReply || reply == ok_reply(kVersionsBody)) << "[" << reply << "]";

  auto until = std::chrono::steady_clock::now() + 10s;
  do {
    reply = send_request(socket_path, cgi_message(kVersionsRequest), 1s);
    if (reply == ok_reply(kVersionsBody)) break;
    std::this_thread::sleep_for(100ms);
  } while (std::chrono::steady_clock::now() < until);
  EXPECT_EQ(reply, ok_reply(kVersionsBody));
  EXPECT_EQ(count_occurrences(syslog.wait_for("Failed to write CGI response", 2),
                              "Failed to write CGI response"),
            2);

  /* Once the clients are gone the daemon holds what it held before, and
   * the connection to syslog that its first message there opened. */
  on_socket.reset();
  on_pipe.reset();
  EXPECT_EQ(settle_fds(d->pid(), baseline + 1), baseline + 1);
  EXPECT_TRUE(d->running());
}

TEST_F(Daemon, TerminationIsPromptWhileWorkersAreStuckOnClients) {
  auto d = start_daemon();
  HeldRequest on_socket(socket_path, get_request("s1"), HeldKind::socket);
  ASSERT_TRUE(d->wait_for_output("context:s1"));
  HeldRequest on_pipe(socket_path, get_request("s2"), HeldKind::pipe);
  ASSERT_TRUE(d->wait_for_output("context:s2"));
  /* And a third whose 503 does not fit: the loop must still be free. */
  HeldRequest full(socket_path, cgi_message(kVersionsRequest), HeldKind::pipe);
  std::this_thread::sleep_for(100ms);
  kill(d->pid(), SIGTERM);
  /* Well before the replies' deadline; a memory checker's closing scan
   * gets longer. */
  int status = d->wait_exit(std::getenv("LANECAMD_TEST_WRAPPER") ? 4s : 2s);
  ASSERT_TRUE(WIFEXITED(status)) << "not ended promptly, or signalled";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

/* Sends message with a loopback TCP connection attached as the web server
 * may pass it: SO_LINGER on for 20 s, its queue toward a peer that does not
 * read full (once acknowledgements have freed what they will), so that a
 * close of the last reference would wait the 20 s. Returns the peer. */
int send_lingering_tcp(const std::string& path, const std::string& message) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int small = 4096;
  linger on{1, 20};
  setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  bind(listener, reinterpret_cast<sockaddr*>(&addr), len);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  connect(peer, reinterpret_cast<sockaddr*>(&addr), len);
  int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  setsockopt(conn, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(conn, SOL_SOCKET, SO_LINGER, &on, sizeof on);
  char filler[1024] = {};
  for (auto quiet = std::chrono::steady_clock::now();
       std::chrono::steady_clock::now() - quiet < 300ms;) {
    if (send(conn, filler, sizeof filler, MSG_DONTWAIT | MSG_NOSIGNAL) > 0)
      quiet = std::chrono::steady_clock::now();
    else
      std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(send_datagram(path, message, {conn}));
  close(conn);
  return peer;
}

/* A pipe whose lock a thread of this process holds: it splices from a
 * socket that stays idle into the pipe, until the object goes. */
class SplicedPipe {
 public:
  SplicedPipe() {
    EXPECT_EQ(pipe2(pipe_, O_CLOEXEC), 0);
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, idle_), 0);
    splicer_ = std::thread([this] {
      tid_ = gettid();
      splice(idle_[0], nullptr, pipe_[1], nullptr, 1, 0);
    });
    /* Asleep in the splice means the lock is held: it is taken before the
     * wait for data. */
    for (int i = 0; i < 500 && !asleep(); ++i) std::this_thread::sleep_for(2ms);
  }
  ~SplicedPipe() {
    (void)!write(idle_[1], "x", 1);
    splicer_.join();
    for (int fd : {pipe_[0], pipe_[1], idle_[0], idle_[1]}) close(fd);
  }
  int write_end() const { return pipe_[1]; }
  bool asleep() const {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid_.load()) + "/stat");
    std::string line;
    std::getline(stat, line);
    return tid_.load() > 0 && line.find(") S ") != std::string::npos;
  }

 private:
  int pipe_[2] = {-1, -1};
  int idle_[2] = {-1, -1};
  std::atomic<pid_t> tid_{0};
  std::thread splicer_;
};

/* The clients put in the slots or behind them, none of them reading: a
 * socket with a lingering close, the spliced pipe, or an empty pipe of one
 * page asked for a longer reply, so that a blocking write would take the
 * page and then wait. */
enum class Stall { none, lingering_tcp, spliced_pipe, short_pipe };

void block_sigrtmin() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGRTMIN);
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void no_pending_signals() {
  rlimit none{0, 0};
  setrlimit(RLIMIT_SIGPENDING, &none);
}

/* Whatever its clients do and whatever the daemon inherited, the main loop
 * answers at once and a slot is free again within the write deadline plus
 * a second: a probe must get the expected reply in time. */
TEST_F(Daemon, SlowNoClientHoldsTheLoopOrASlotPastTheDeadline) {
  struct Case {
    const char* name;
    void (*before_exec)();
    Stall in_slots; /* two of them */
    Stall behind;
    int behind_count;
    bool probe_on_pipe;
    bool probe_gets_busy; /* else the 200 */
    std::chrono::milliseconds within;
    const char* logged;
  };
  const Case cases[] = {
      {"LingeringSocketOnBusyPath", nullptr, Stall::lingering_tcp, Stall::lingering_tcp, 1, false,
       true, 1s, nullptr},
      {"LingeringSocketsInSlots", nullptr, Stall::lingering_tcp, Stall::none, 0, false, false, 6s,
       nullptr},
      {"SigrtminBlockedAtStart", block_sigrtmin, Stall::short_pipe, Stall::none, 0, false, false,
       6s, nullptr},
      {"NoPendingSignalQuota", no_pending_signals, Stall::none, Stall::none, 0, true, false, 5s,
       nullptr},
      /* Both workers and both 503 writers wait for the lock; the fifth is
       * closed unanswered by the loop, which is not the last to hold it. */
      {"PipeLockHeldBySplice", nullptr, Stall::spliced_pipe, Stall::spliced_pipe, 3, false, true,
       1s, "closed unanswered"},
  };
  /* With a configuration a get reply is longer than the short pipe's page. */
  write_config();
  /* A daemon under a memory checker answers more slowly. */
  const auto slack = std::getenv("LANECAMD_TEST_WRAPPER") ? 2s : 0s;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto o = options();
    o.before_exec = c.before_exec;
    unlink(socket_path.c_str()); /* the last row's daemon left it */
    auto d = start_daemon(o);
    /* After the daemon: the splice lets go before the daemon is ended. */
    std::optional<SplicedPipe> spliced;
    if (c.behind == Stall::spliced_pipe) spliced.emplace();
    std::vector<std::shared_ptr<void>> kept; /* the clients' ends, closed last */
    auto keep = [&](int fd) { kept.emplace_back(nullptr, [fd](void*) { close(fd); }); };
    auto stall = [&](Stall kind, int count) {
      for (int i = 0; i < count; ++i) {
        std::string context = c.name + std::to_string(i);
        if (kind == Stall::short_pipe) context.resize(3900, 'x');
        std::string message = get_request(context);
        int p[2];
        if (kind == Stall::lingering_tcp) {
          keep(send_lingering_tcp(socket_path, message));
        } else if (kind == Stall::short_pipe) {
          ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
          fcntl(p[1], F_SETPIPE_SZ, 4096);
          EXPECT_TRUE(send_datagram(socket_path, message, {p[1]}));
          close(p[1]);
          keep(p[0]);
        } else if (kind == Stall::spliced_pipe) {
          ASSERT_TRUE(spliced->asleep());
          EXPECT_TRUE(send_datagram(socket_path, message, {spliced->write_end()}));
        }
      }
    };
    stall(c.in_slots, 2);
    stall(c.behind, c.behind_count);

    const std::string expected = c.probe_gets_busy ? kBusyReply : ok_reply(kVersionsBody);
    const auto until = std::chrono::steady_clock::now() + c.within + slack;
    std::string reply;
    for (auto left = c.within + slack; left > 0ms && reply != expected;
         left = std::chrono::duration_cast<std::chrono::milliseconds>(
             until - std::chrono::steady_clock::now())) {
      int p[2] = {-1, -1};
      if (!c.probe_on_pipe) {
        reply = send_request(socket_path, cgi_message(kVersionsRequest), left);
      } else if (pipe2(p, O_CLOEXEC) == 0) {
        bool sent = send_datagram(socket_path, cgi_message(kVersionsRequest), {p[1]});
        close(p[1]);
        reply = sent ? read_to_eof(p[0], left) : "";
        close(p[0]);
      }
      if (reply != expected) std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(reply, expected);
    if (c.logged) {
      EXPECT_TRUE(d->wait_for_output(c.logged)) << d->out();
    }
  }
}

TEST_F(Daemon, CreatesSocketWithModeOwnerAndGroup) {
  SKIP_UNLESS(Need::Root, Need::SocketAccounts);
  write_file(socket_path, "stale");
  auto d = start_daemon();
  /* Answered: set-up is complete. */
  EXPECT_EQ(send_request(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));
  struct stat st;
  ASSERT_EQ(stat(socket_path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  passwd* user = getpwnam("lanecamd");
  group* grp = getgrnam(kSocketGroup);
  EXPECT_EQ(st.st_uid, user->pw_uid);
  EXPECT_EQ(st.st_gid, grp->gr_gid);
  EXPECT_NE(d->out().find("Created transfer socket (" + socket_path + ")"), std::string::npos);
}

TEST_F(Daemon, UnremovableSocketPathEndsStartUp) {
  mkdir(socket_path.c_str(), 0755);
  write_file(socket_path + "/keep", "x");
  auto o = options();
  o.wait_for_socket.clear();
  DaemonProcess d(dir.path(), o);
  int status = d.wait_exit(5s);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(d.out().find("Could not remove " + socket_path + ": "), std::string::npos) << d.out();
}

/* A socket the daemon cannot create: the reason comes before the daemon's
 * own failure line, and start-up ends with status 1. */
TEST_F(Daemon, SocketCreationFailureLogsTheReasonFirst) {
  struct Case {
    const char* name;
    std::string socket;
    std::vector<std::string> as_user; /* run through setpriv as another user */
    std::string reason;
    std::string lacking; /* what this machine lacks for the case */
  };
  const std::string closed_dir = dir.file("closed");
  const std::string open_dir = dir.file("open");
  mkdir(closed_dir.c_str(), 0755);
  mkdir(open_dir.c_str(), 0777);
  chmod(open_dir.c_str(), 0777);
  chmod(dir.path().c_str(), 0755);
  const std::vector<std::string> nobody = {"setpriv", "--reuid=nobody", "--regid=nogroup",
                                           "--clear-groups"};
  /* The user and group are looked up first: without them that is the reason. */
  const std::string as_nobody = missing({Need::SocketAccounts, Need::Root, Need::Setpriv});
  const Case cases[] = {
      {"MissingDirectory", dir.file("missing/transfer"), {},
       "the directory " + dir.file("missing") + " does not exist", missing({Need::SocketAccounts})},
      {"DirectoryNotWritable", closed_dir + "/transfer", nobody,
       "permission denied to create it in " + closed_dir, as_nobody},
      {"CannotHandOver", open_dir + "/transfer", nobody,
       std::string("not permitted to give it to user lanecamd and group ") + kSocketGroup, as_nobody},
  };
  std::string skipped, lacking;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    /* A wrapper such as memcheck's writes its report where only root may. */
    if (!c.as_user.empty() && std::getenv("LANECAMD_TEST_WRAPPER")) continue;
    if (!c.lacking.empty()) {
      skipped += (skipped.empty() ? "" : ", ") + std::string(c.name);
      lacking = c.lacking;
      continue;
    }
    DaemonOptions o = options();
    o.env["LANECAMD_TRANSFER_SOCKET"] = c.socket;
    o.wait_for_socket.clear();
    o.prefix_args = c.as_user;
    /* The build tree may lie where the other user cannot reach. */
    if (!c.as_user.empty()) o.binary = copy_executable(daemon_binary(), dir.file("lanecamd"));
    DaemonProcess d(dir.path(), o);
    int status = d.wait_exit(5s);
    ASSERT_TRUE(WIFEXITED(status)) << d.out() << d.err();
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string out = d.out();
    size_t reason = out.find("Cannot create " + c.socket + ": " + c.reason);
    size_t failed = out.find("Failed to create transfer socket (" + c.socket + "). fd:-1");
    EXPECT_NE(reason, std::string::npos) << out;
    EXPECT_NE(failed, std::string::npos) << out;
    EXPECT_LT(reason, failed) << out;
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped << ": " << lacking;
}

TEST_F(Daemon, UsesSocketPassedBySocketActivation) {
  auto o = options();
  o.prefix_args = {"systemd-socket-activate", "--datagram", "-l", socket_path,
                   "-E", "LANECAMD_TRANSFER_SOCKET", "-E", "LANECAMD_CONFIG"};
  auto d = start_daemon(o);
  EXPECT_EQ(send_request(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));
  EXPECT_NE(d->out().find("Using passed transfer socket (" + socket_path + ")"), std::string::npos)
      << d->out();
  EXPECT_EQ(d->out().find("Created transfer socket"), std::string::npos);
}

TEST_F(Daemon, IgnoresPassedSocketsThatDoNotMatch) {
  SKIP_UNLESS(Need::Root, Need::SocketAccounts);
  int stream = bound_datagram_socket(socket_path, SOCK_STREAM);
  int other = bound_datagram_socket(dir.file("other"));
  ASSERT_GE(stream, 0);
  ASSERT_GE(other, 0);
  auto o = options();
  o.passed_fds = {stream, other};
  unlink(socket_path.c_str());
  auto d = start_daemon(o);
  EXPECT_EQ(send_request(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));
  EXPECT_NE(d->out().find("Created transfer socket"), std::string::npos) << d->out();
  close(stream);
  close(other);
}

TEST_F(Daemon, TwoMatchingPassedSocketsEndStartUp) {
  /* Two sockets bound to the same path: bind, move the node away, bind again. */
  int first = bound_datagram_socket(socket_path);
  ASSERT_GE(first, 0);
  ASSERT_EQ(rename(socket_path.c_str(), dir.file("moved").c_str()), 0);
  int second = bound_datagram_socket(socket_path);
  ASSERT_GE(second, 0);
  auto o = options();
  o.passed_fds = {first, second};
  o.wait_for_socket.clear();
  DaemonProcess d(dir.path(), o);
  int status = d.wait_exit(5s);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(d.out().find("More than one socket " + socket_path + " passed"), std::string::npos)
      << d.out();
  close(first);
  close(second);
}

TEST_F(Daemon, UnknownOptionFailsBeforeLogging) {
  auto o = options({"-n", "-d", "--bogus"});
  o.wait_for_socket.clear();
  DaemonProcess d(dir.path(), o);
  int status = d.wait_exit(5s);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(d.err().find("--bogus\nTry -? or --help for more information.\n"), std::string::npos)
      << d.err();
  EXPECT_EQ(d.out(), "");
  struct stat st;
  EXPECT_NE(stat(socket_path.c_str(), &st), 0);
}

TEST_F(Daemon, ForegroundWithDebugTracesStartUp) {
  auto d = start_daemon();
  ASSERT_TRUE(d->wait_for_output("Not running daemonized"));
  std::string out = d->out();
  EXPECT_EQ(out.find("opt_no_daemon: 1\n"), 0u) << out;
  EXPECT_EQ(out.find("Applying 10sec daemon timeout"), std::string::npos);
}

TEST_F(Daemon, WithoutDebugNothingIsTraced) {
  auto d = start_daemon(options({"--no-daemon"}));
  EXPECT_EQ(send_request(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));
  EXPECT_EQ(d->out(), "");
}

class DaemonSignal : public Daemon, public ::testing::WithParamInterface<int> {};

TEST_P(DaemonSignal, EndsWithStatusZero) {
  auto d = start_daemon();
  ASSERT_TRUE(d->wait_for_output("Not running daemonized"));
  int status = d->stop(GetParam());
  ASSERT_TRUE(WIFEXITED(status)) << "signalled: " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(Termination, DaemonSignal, ::testing::Values(SIGTERM, SIGINT, SIGABRT),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST_F(Daemon, SighupKeepsInheritedDisposition) {
  auto o = options();
  o.ignore_sighup = true;
  auto ignoring = start_daemon(o);
  ASSERT_TRUE(ignoring->wait_for_output("Not running daemonized"));
  kill(ignoring->pid(), SIGHUP);
  EXPECT_EQ(send_request(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));
  EXPECT_TRUE(ignoring->running());
  ignoring->stop();

  auto defaulted = start_daemon();
  ASSERT_TRUE(defaulted->wait_for_output("Not running daemonized"));
  int status = defaulted->stop(SIGHUP);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGHUP);
}

/* The pid of a child of this process (a subreaper) running the daemon. */
pid_t find_daemon_child() {
  DIR* proc = opendir("/proc");
  pid_t found = -1;
  while (dirent* e = readdir(proc)) {
    pid_t pid = static_cast<pid_t>(atoi(e->d_name));
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
    std::string line;
    std::getline(stat, line);
    auto close_paren = line.rfind(')');
    if (close_paren == std::string::npos || line.find("(lanecamd)") == std::string::npos) continue;
    int ppid = 0;
    char state = 0;
    sscanf(line.c_str() + close_paren + 2, "%c %d", &state, &ppid);
    if (ppid == getpid()) found = pid;
  }
  closedir(proc);
  return found;
}

TEST_F(Daemon, SlowDetachedDaemonServesAndExitsWhenIdle) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  DaemonProcess parent(dir.path(), options({"-d"}));
  int status = parent.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  pid_t daemon_pid = find_daemon_child();
  ASSERT_GT(daemon_pid, 0);
  auto started = std::chrono::steady_clock::now();

  EXPECT_EQ(send_request(socket_path, cgi_message(kVersionsRequest)), ok_reply(kVersionsBody));

  /* A request in flight at the first tick keeps the daemon running. Its
   * reply is held back for less than the five seconds after which the
   * daemon would give it up. */
  std::this_thread::sleep_until(started + 7s);
  HeldRequest held(socket_path, cgi_message(kVersionsRequest));
  std::this_thread::sleep_until(started + 11s);
  EXPECT_EQ(waitpid(daemon_pid, &status, WNOHANG), 0) << "ended with a request in flight";
  EXPECT_EQ(reply_body(held.release()), kVersionsBody);

  /* The next tick finds nothing in flight. */
  pid_t r = 0;
  while (r == 0 && std::chrono::steady_clock::now() < started + 30s) {
    r = waitpid(daemon_pid, &status, WNOHANG);
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(r, daemon_pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  auto lived = std::chrono::steady_clock::now() - started;
  EXPECT_GT(lived, 15s);
}

}  // namespace
