// SPDX-License-Identifier: MIT
/*
 * lanecam-request against the real daemon on a temporary socket and
 * configuration, with the fake camera on a private bus: each method, the raw
 * reply, the exit statuses, and the failures a user meets when no daemon
 * answers; and against a hostile peer in the daemon's place.
 */
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>

#include "command_run.h"
#include "daemon_stack.h"
#include "fdipc.h"
#include "needs.h"
#include "transfer_client.h"

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

const std::vector<std::string> kScene = {"--road-offset", "3",   "--car-distance", "25",
                                         "--camera-height", "5", "--car-speed",    "30"};

class RequestTool : public DaemonStack {
 protected:
  void SetUp() override {
    write_file(config_path, read_file(LANECAMD_SOURCE_DIR "/data/lanecamd.conf"));
  }

  /* The words that run the tool: its path, behind the target's emulator in
   * a cross build. */
  static std::vector<std::string> tool_command() {
    std::vector<std::string> words = target_emulator();
    words.push_back(LANECAMD_REQUEST_TOOL);
    return words;
  }

  /* The tool with the socket given through the environment, as a user would. */
  CommandResult tool(std::vector<std::string> args, const std::string& input = "") {
    const auto command = tool_command();
    args.insert(args.begin(), command.begin(), command.end());
    return run_command(args, {{"LANECAMD_TRANSFER_SOCKET", socket_path}}, input);
  }
};

std::vector<std::string> with(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST_F(RequestTool, EachMethodPrintsTheReplyBody) {
  ASSERT_TRUE(start_bus());
  auto daemon = start_daemon();

  struct Case {
    std::vector<std::string> args;
    std::string json; /* the same request sent directly, for the expected body */
  };
  const std::string scene = R"("roadOffset":3,"carDistance":25,"cameraHeight":5,"carSpeed":30)";
  const Case cases[] = {
      {{"versions"}, R"({"apiVersion":"1.0","method":"getSupportedVersions"})"},
      {{"get", "--context", "c 1"}, R"({"apiVersion":"1.0","context":"c 1","method":"get"})"},
      {with({"set", "--preview"}, kScene),
       R"({"apiVersion":"1.0","method":"set","params":{"apply":false,)" + scene + "}}"},
      {{"send", R"({"apiVersion":"1.0","method":"get"})"}, R"({"apiVersion":"1.0","method":"get"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    CommandResult r = tool(c.args);
    EXPECT_EQ(r.code(), 0) << r.err;
    EXPECT_EQ(r.out, reply_body(send_request(socket_path, cgi_message(c.json))) + "\n");
  }
  EXPECT_TRUE(bus.calls().empty()) << "a preview reached the camera";

  CommandResult applied = tool(with({"set", "--apply"}, kScene));
  EXPECT_EQ(applied.code(), 0) << applied.err;
  EXPECT_NE(applied.out.find("\"maxShutter\""), std::string::npos) << applied.out;
  EXPECT_NE(read_file(config_path).find("carSpeed=30"), std::string::npos);
  ASSERT_FALSE(bus.calls().empty());
  EXPECT_EQ(bus.calls()[0].property, "MaxExposureTime");

  CommandResult piped = tool({"send", "-"}, R"({"apiVersion":"1.0","method":"get"})");
  EXPECT_EQ(piped.code(), 0) << piped.err;
  EXPECT_NE(piped.out.find("\"carSpeed\": 30.0"), std::string::npos) << piped.out;
}

TEST_F(RequestTool, RawPrintsTheWholeHttpReply) {
  auto daemon = start_daemon();
  CommandResult r = tool({"--raw", "versions"});
  EXPECT_EQ(r.code(), 0) << r.err;
  EXPECT_EQ(r.out, send_request(socket_path, cgi_message(
                                                 R"({"apiVersion":"1.0","method":"getSupportedVersions"})")));
  EXPECT_EQ(r.out.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << r.out;
}

TEST_F(RequestTool, ErrorRepliesExitWithOne) {
  auto daemon = start_daemon();
  const std::vector<std::string> cases[] = {
      {"send", R"({"method":"get"})"},                                       /* no version: 1003 */
      {"send", "not json"},                                                  /* 1004 */
      {"set", "--apply", "--road-offset", "99", "--car-distance", "25",      /* out of range */
       "--camera-height", "5", "--car-speed", "30"},
      {"send", "--", "-5"}, /* after --, a text that looks like an option: 1004 */
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[1]);
    CommandResult r = tool(args);
    EXPECT_EQ(r.code(), 1) << r.err;
    EXPECT_NE(r.out.find("\"error\""), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("error reply 100"), std::string::npos) << r.err;
  }
  EXPECT_NE(read_file(config_path).find("roadOffset=3\n"), std::string::npos)
      << "a refused set changed the configuration";
}

TEST_F(RequestTool, BusyDaemonExitsWithThree) {
  auto daemon = start_daemon();
  const std::string get = cgi_message(R"({"apiVersion":"1.0","method":"get"})");
  HeldRequest first(socket_path, get);
  HeldRequest second(socket_path, get);
  ASSERT_TRUE(first.sent() && second.sent());

  /* Both held requests stay admitted until released, and the daemon takes
   * datagrams in order, so the tool is turned away. */
  CommandResult r = tool({"get"});
  EXPECT_EQ(r.code(), 3) << r.out << r.err;
  EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("The maximum number of clients are already connected"), std::string::npos);

  CommandResult raw = tool({"--raw", "get"});
  EXPECT_EQ(raw.code(), 3);
  EXPECT_EQ(raw.out, kBusyReply);
  EXPECT_FALSE(first.release().empty());
  EXPECT_FALSE(second.release().empty());
}

/* A request that never reached the daemon exits with 5, one that was sent
 * and got no answer with 4: only the second may have been applied. */
TEST_F(RequestTool, NotSentAndUnansweredExitApart) {
  const std::string closed = dir.file("closed");
  const std::vector<std::string> kApply = with({"set", "--apply"}, kScene);
  /* A copy the other user can reach wherever the build tree lies. */
  const std::string copy = copy_executable(LANECAMD_REQUEST_TOOL, dir.file("lanecam-request"));
  auto as_nobody = [&copy](std::vector<std::string> args) {
    std::vector<std::string> command = target_emulator();
    command.push_back(copy);
    args.insert(args.begin(), command.begin(), command.end());
    args.insert(args.begin(), {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    return args;
  };
  /* A socket left behind by a daemon that has gone. */
  {
    auto d = start_daemon();
    d->stop();
  }
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"Stale", {"get"}, 5, "nobody receives on " + socket_path},
      {"Missing", {"--socket", dir.file("none"), "get"}, 5,
       "no transfer socket at " + dir.file("none")},
      {"PermissionDenied", as_nobody({"--socket", closed, "get"}), 5,
       "cannot reach " + closed + ": Permission denied"},
      {"SilentGet", {"--socket", closed, "--timeout", "0.2", "get"}, 4,
       "no answer from lanecamd on " + closed + " within 0.2 s\n"},
      {"SilentApply", with({"--socket", closed, "--timeout", "0.2"}, kApply), 4,
       "within 0.2 s; the settings may still have been applied\n"},
  };

  /* A socket only root may send to, whose owner never reads. */
  int silent = bound_datagram_socket(closed);
  ASSERT_GE(silent, 0);
  ASSERT_EQ(chmod(closed.c_str(), 0600), 0);
  chmod(dir.path().c_str(), 0755);

  const std::string as_nobody_lacks = missing({Need::Root, Need::Setpriv});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool as_nobody = c.args[0] == "setpriv";
    if (as_nobody && !as_nobody_lacks.empty()) continue;
    CommandResult r = as_nobody ? run_command(c.args) : tool(c.args);
    EXPECT_EQ(r.code(), c.code) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  close(silent);
  if (!as_nobody_lacks.empty()) GTEST_SKIP() << "PermissionDenied: " << as_nobody_lacks;
}

/* Output that cannot be written is a failure, whatever the reply was. */
TEST_F(RequestTool, UnwritableOutputExitsWithSix) {
  auto daemon = start_daemon();
  const std::vector<std::string> cases[] = {{"get"}, {"--raw", "versions"}, {"--version"}, {"--help"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    std::vector<std::string> argv = {"sh", "-c", "exec \"$0\" \"$@\" >/dev/full"};
    const auto command = tool_command();
    argv.insert(argv.end(), command.begin(), command.end());
    argv.insert(argv.end(), args.begin(), args.end());
    CommandResult r = run_command(argv, {{"LANECAMD_TRANSFER_SOCKET", socket_path}});
    EXPECT_EQ(r.code(), 6) << r.err;
    EXPECT_NE(r.err.find("cannot write the output: No space left on device"), std::string::npos)
        << r.err;
  }
}

TEST_F(RequestTool, WrongCommandLinesExitWithTwo) {
  const std::vector<std::string> cases[] = {
      {},
      {"frobnicate"},
      {"set", "--road-offset", "1", "--car-distance", "1", "--camera-height", "1", "--car-speed", "1"},
      {"set", "--apply", "--road-offset", "1"},
      {"set", "--apply", "--road-offset", "nan", "--car-distance", "1", "--camera-height", "1",
       "--car-speed", "1"},
      {"get", "--apply"},
      {"--timeout", "0", "get"},
      with({"set", "--preview", "--apply"}, kScene),
      with({"set", "--apply", "--preview"}, kScene),
      {"get", "--", "--raw"}, /* after --, no option */
      {"send", std::string(5000, ' ') + "{}"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.empty() ? "(none)" : args.back().substr(0, 20));
    CommandResult r = tool(args);
    EXPECT_EQ(r.code(), 2) << r.err;
    EXPECT_NE(r.err.find("lanecam-request: "), std::string::npos);
  }
  CommandResult help = tool({"--help"});
  EXPECT_EQ(help.code(), 0);
  EXPECT_NE(help.out.find("Usage: lanecam-request"), std::string::npos);
  CommandResult version = tool({"--version"});
  EXPECT_EQ(version.code(), 0);
  EXPECT_EQ(version.out, "lanecam-request " LANECAMD_VERSION "\n");
}

/* A peer in the daemon's place: takes one request from the socket and
 * answers on the connection that came with it, then streams spaces up to a
 * total of stream bytes, for as long as the tool reads them. */
void answer_once(int sock, const std::string& reply, size_t stream) {
  pollfd p{sock, POLLIN, 0};
  char request[4096];
  int fd = -1;
  if (poll(&p, 1, 10000) != 1 || fdipc_recv(sock, request, sizeof request, &fd) < 0) return;
  bool open = send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) >= 0;
  const std::string filler(65536, ' ');
  for (size_t sent = reply.size(); open && sent < stream; sent += filler.size())
    open = send(fd, filler.data(), filler.size(), MSG_NOSIGNAL) >= 0;
  close(fd);
}

/* What a peer that is not the daemon may send, and nothing of it taken
 * for an answer or reaching the terminal as it came. */
TEST_F(RequestTool, HostileRepliesAreNotTakenForAnswers) {
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Type: text/json\r\n\r\n";
  const struct {
    const char* what;
    std::string reply;
    size_t stream;  /* then spaces up to this size, streamed, never held whole */
    int code;
    const char* err;
    const char* out;
  } cases[] = {
      {"600 MB", ok + "{\"data\":{}}", 600'000'000, 4, "longer than 1 MiB", ""},
      {"status run on", "HTTP/1.0 200garbage\r\n\r\n{\"data\":{}}\r\n", 0, 4,
       "not an HTTP reply", ""},
      {"NUL, then an error", ok + "{\"data\":{}}\0{\"error\":{\"code\":1000}}\r\n"s, 0, 4,
       "unreadable", ""},
      {"bytes after the JSON", ok + "{\"data\":{}} {\"error\":{\"code\":1000}}\r\n", 0, 4,
       "unreadable", ""},
      {"escapes in the body", ok + "\x1b]0;owned\x07\x1b[2J\xc2\x9b\r\n", 0, 1, "not a JSON object",
       "\\x1b]0;owned\\x07\\x1b[2J\\xc2\\x9b\n"},
      {"escapes in an error message", ok + R"({"error":{"code":1000,"message":"\u001b[2J"}})", 0, 1,
       "error reply 1000: \\x1b[2J\n", R"({"error":{"code":1000,"message":"\u001b[2J"}})" "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int sock = bound_datagram_socket(socket_path);
    std::thread peer(answer_once, sock, std::cref(c.reply), c.stream);
    CommandResult r = tool({"get"});
    peer.join();
    close(sock);
    EXPECT_EQ(r.code(), c.code) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_TRUE(r.out == c.out) << r.out.substr(0, 200);
  }
}

}  // namespace
