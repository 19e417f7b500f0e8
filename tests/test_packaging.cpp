// SPDX-License-Identifier: MIT
/*
 * The installed tree and the units: an install into a temporary DESTDIR,
 * the units checked by systemd-analyze, and the installed daemon started on
 * its socket the way the units describe (socket settings, user, tmpfiles.d
 * ownership), under systemd-socket-activate since no service manager runs
 * here.
 */
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "bus_fixture.h"
#include "command_run.h"
#include "daemon_process.h"
#include "needs.h"
#include "temp_dir.h"
#include "transfer_client.h"

using namespace std::chrono_literals;

namespace {

const std::string kGet = R"({"apiVersion":"1.0","method":"get"})";

/* The manual pages of this build, as NAME.SECTION. */
std::vector<std::string> man_pages() {
  std::vector<std::string> pages;
  if (LANECAMD_MANPAGES_BUILT) pages = {"lanecamd.8", "lanecamd.conf.5", "lanecam-request.1"};
#ifdef LANECAM_HTTPD
  if (LANECAMD_MANPAGES_BUILT) pages.push_back("lanecam-httpd.1");
#endif
  return pages;
}

/* The rest of the line that follows the first occurrence of start; "" when
 * there is none. */
std::string line_after(const std::string& text, const std::string& start) {
  size_t at = text.find(start);
  if (at == std::string::npos) return "";
  at += start.size();
  return text.substr(at, text.find('\n', at) - at);
}

/* Installs the build tree under root; false after a test failure. */
bool install_into(const std::string& root) {
  CommandResult r = run_command({"cmake", "--install", LANECAMD_BUILD_DIR}, {{"DESTDIR", root}});
  EXPECT_EQ(r.code(), 0) << r.out << r.err;
  return r.code() == 0;
}

/* The value of the first "key=" line of a unit or tmpfiles text. */
std::string unit_value(const std::string& text, const std::string& key) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "";
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

struct stat stat_of(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st;
}

std::string comm_of(pid_t pid) {
  std::string comm = read_file("/proc/" + std::to_string(pid) + "/comm");
  while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

/* Stops the daemons that detached into the test process's care. */
struct DetachedDaemons {
  ~DetachedDaemons() { stop(); }
  std::vector<pid_t> find() const {
    std::vector<pid_t> out;
    for (pid_t pid : live_children())
      if (comm_of(pid) == "lanecamd") out.push_back(pid);
    return out;
  }
  void stop() {
    for (pid_t pid : find()) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

TEST(Packaging, InstallsTheTreeIntoDestdir) {
  TempDir dir;
  const std::string root = dir.file("root");
  ASSERT_TRUE(install_into(root));

  const std::string service = root + LANECAMD_UNIT_DIR "/lanecamd.service";
  const std::string socket_unit = root + LANECAMD_UNIT_DIR "/lanecamd.socket";
  const std::string sysusers = root + LANECAMD_SYSUSERS_DIR "/lanecamd.conf";
  std::vector<std::string> executables = {root + LANECAMD_SBIN_DIR "/lanecamd",
                                          root + LANECAMD_BIN_DIR "/lanecam-request"};
#ifdef LANECAM_HTTPD
  executables.push_back(root + LANECAMD_BIN_DIR "/lanecam-httpd");
#endif
  for (const auto& path : executables) EXPECT_EQ(access(path.c_str(), X_OK), 0) << path;
  const std::string files[] = {service, socket_unit, sysusers,
                               root + LANECAMD_TMPFILES_DIR "/lanecamd.conf"};
  for (const auto& path : files) EXPECT_TRUE(S_ISREG(stat_of(path).st_mode)) << path;
  EXPECT_EQ(unit_value(read_file(service), "ExecStart"), LANECAMD_SBIN_DIR "/lanecamd");
  /* The socket goes to the group the build names, which sysusers.d makes
   * where it is missing. */
  EXPECT_EQ(unit_value(read_file(socket_unit), "SocketGroup"), kSocketGroup);
  EXPECT_NE(read_file(sysusers).find(std::string("\ng ") + kSocketGroup + " -\n"), std::string::npos)
      << read_file(sysusers);
  /* The page, where a camera's firmware takes it from. */
  if (access(LANECAMD_SOURCE_DIR "/web/index.html", F_OK) == 0) {
    EXPECT_EQ(read_file(root + LANECAMD_DATA_DIR "/lanecamd/web/index.html"),
              read_file(LANECAMD_SOURCE_DIR "/web/index.html"));
  }

  /* The sample is the factory copy; the configuration in /etc is the
   * tmpfiles.d file's to create, never the install's. */
  const std::string factory = root + LANECAMD_FACTORY_CONFIG;
  EXPECT_EQ(read_file(factory), read_file(LANECAMD_SOURCE_DIR "/data/lanecamd.conf"));
  EXPECT_EQ(stat_of(factory).st_mode & 07777, 0644u);
  EXPECT_NE(access((root + "/etc").c_str(), F_OK), 0) << "the install wrote into /etc";

  for (const std::string& page : man_pages()) {
    const std::string path = root + LANECAMD_MAN_DIR "/man" + page.back() + "/" + page;
    EXPECT_TRUE(S_ISREG(stat_of(path).st_mode)) << path;
  }
}

/* The project's version is the one NEWS.md names first, the one the
 * programs print and the one on each manual page's title line, beside a
 * date. */
TEST(Packaging, EveryPlaceNamesTheProjectVersion) {
  const std::string version = LANECAMD_VERSION;
  EXPECT_EQ(line_after(read_file(LANECAMD_SOURCE_DIR "/NEWS.md"), "\n## "), version)
      << "the newest release in NEWS.md";

  std::vector<std::vector<std::string>> programs = {{"lanecam-request", LANECAMD_REQUEST_TOOL}};
#ifdef LANECAM_HTTPD
  programs.push_back({"lanecam-httpd", LANECAM_HTTPD});
#endif
  for (const auto& program : programs) {
    CommandResult r = run_command({program[1], "--version"});
    EXPECT_EQ(r.out, program[0] + " " + version + "\n") << r.err;
  }

  /* .TH "NAME" SECTION "DATE" "VERSION" "MANUAL" */
  for (const std::string& page : man_pages()) {
    std::vector<std::string> quoted;
    std::istringstream title(line_after(read_file(LANECAMD_BUILD_DIR "/doc/" + page), "\n.TH "));
    for (std::string part; std::getline(title, part, '"');) quoted.push_back(part);
    bool dated = quoted.size() >= 6 && quoted[3].size() == 10 && quoted[3][4] == '-' &&
                 quoted[3][7] == '-' &&
                 std::all_of(quoted[3].begin(), quoted[3].end(),
                             [](char c) { return c == '-' || std::isdigit(static_cast<unsigned char>(c)); });
    EXPECT_TRUE(dated && quoted[5] == version)
        << page << " has no title line with a date and " << version;
  }
}

TEST(Packaging, UnitsPassSystemdAnalyzeVerify) {
  TempDir dir;
  const std::string root = dir.file("root");
  ASSERT_TRUE(install_into(root));

  /* verify wants the ExecStart binary to exist: check copies of the installed
   * units that point at the installed binary under DESTDIR. */
  const std::string units = dir.file("units");
  mkdir(units.c_str(), 0755);
  std::string service = read_file(root + LANECAMD_UNIT_DIR "/lanecamd.service");
  service = replace_all(service, "ExecStart=", "ExecStart=" + root);
  write_file(units + "/lanecamd.service", service);
  write_file(units + "/lanecamd.socket", read_file(root + LANECAMD_UNIT_DIR "/lanecamd.socket"));

  /* verify runs man for each Documentation= page: the installed pages must
   * be the ones the units name. */
  std::vector<std::string> verify = {"systemd-analyze", "verify"};
  if (!LANECAMD_MANPAGES_BUILT) verify.push_back("--man=no");
  verify.insert(verify.end(), {units + "/lanecamd.socket", units + "/lanecamd.service"});
  CommandResult r = run_command(verify, {{"MANPATH", root + LANECAMD_MAN_DIR}});
  EXPECT_EQ(r.code(), 0) << r.err;
  /* Unknown or misspelt settings are only warned about: allow no output. */
  EXPECT_EQ(r.out + r.err, "");

  /* The runtime directory must not belong to the service: it would go at
   * every idle exit and take the socket node with it. */
  EXPECT_EQ(unit_value(service, "RuntimeDirectory"), "");
  EXPECT_EQ(unit_value(service, "Type"), "forking");
}

TEST(Packaging, SocketActivationStartsTheInstalledDaemonAsTheUnitsSay) {
  SKIP_UNLESS(Need::Root, Need::SocketAccounts, Need::Setpriv);
  become_subreaper();
  DetachedDaemons detached;
  TempDir dir;
  /* The daemon runs as its own user and must reach these directories. */
  chmod(dir.path().c_str(), 0755);
  const std::string root = dir.file("root");
  ASSERT_TRUE(install_into(root));
  const std::string service = read_file(root + LANECAMD_UNIT_DIR "/lanecamd.service");
  const std::string socket_unit = read_file(root + LANECAMD_UNIT_DIR "/lanecamd.socket");
  EXPECT_EQ(unit_value(socket_unit, "ListenDatagram"), "/run/lanecamd/transfer");

  /* The tmpfiles.d lines, applied to the configuration under DESTDIR: they
   * put the factory copy in place, and leave a configuration that is there
   * alone. */
  const std::string tmpfiles = dir.file("tmpfiles.conf");
  std::string lines = read_file(root + LANECAMD_TMPFILES_DIR "/lanecamd.conf");
  lines = replace_all(lines, " /etc/lanecamd", " " + root + "/etc/lanecamd");
  lines = replace_all(lines, " " LANECAMD_FACTORY_CONFIG, " " + root + LANECAMD_FACTORY_CONFIG);
  write_file(tmpfiles, lines);
  const std::string config = root + "/etc/lanecamd/lanecamd.conf";
  CommandResult created = run_command({"systemd-tmpfiles", "--create", tmpfiles});
  ASSERT_EQ(created.code(), 0) << created.err;
  EXPECT_EQ(read_file(config), read_file(root + LANECAMD_FACTORY_CONFIG));
  const std::string edited = replace_all(read_file(config), "carDistance=20", "carDistance=25");
  write_file(config, edited);
  created = run_command({"systemd-tmpfiles", "--create", tmpfiles});
  ASSERT_EQ(created.code(), 0) << created.err;
  EXPECT_EQ(read_file(config), edited);

  BusFixture bus;
  ASSERT_TRUE(bus.start_bus());
  ASSERT_TRUE(bus.start_camera());
  chmod(bus.directory().c_str(), 0755);

  const std::string socket_path = dir.file("transfer");
  const std::string user = unit_value(service, "User");
  const std::string run_group = unit_value(service, "Group");
  ASSERT_EQ(user, "lanecamd");
  setenv("LANECAMD_TEST_BINARY", (root + unit_value(service, "ExecStart")).c_str(), 1);
  DaemonOptions o;
  o.args = {};
  o.env = {{"LANECAMD_TRANSFER_SOCKET", socket_path}, {"LANECAMD_CONFIG", config}};
  o.prefix_args = {"systemd-socket-activate", "--datagram", "-l", socket_path,
                   "-E", "LANECAMD_TRANSFER_SOCKET", "-E", "LANECAMD_CONFIG",
                   "-E", "DBUS_SYSTEM_BUS_ADDRESS",
                   "setpriv", "--reuid=" + user, "--regid=" + run_group, "--init-groups"};
  o.wait_for_socket = socket_path;
  DaemonProcess activator(dir.path(), o);

  /* The socket settings of the unit, which systemd-socket-activate has not. */
  passwd* owner = getpwnam(unit_value(socket_unit, "SocketUser").c_str());
  const std::string web_group = unit_value(socket_unit, "SocketGroup");
  group* web = getgrnam(web_group.c_str());
  ASSERT_NE(owner, nullptr);
  ASSERT_NE(web, nullptr);
  ASSERT_EQ(chown(socket_path.c_str(), owner->pw_uid, web->gr_gid), 0);
  mode_t mode = static_cast<mode_t>(std::strtol(unit_value(socket_unit, "SocketMode").c_str(), nullptr, 8));
  ASSERT_EQ(chmod(socket_path.c_str(), mode), 0);

  /* The web server's group may send; anyone else may not. */
  auto tool_as = [&](const std::string& as_group, std::vector<std::string> args) {
    args.insert(args.begin(), {"setpriv", "--reuid=nobody", "--regid=" + as_group,
                               "--clear-groups", LANECAMD_REQUEST_TOOL, "--socket", socket_path});
    return run_command(args);
  };
  CommandResult got = tool_as(web_group, {"get"});
  EXPECT_EQ(got.code(), 0) << got.err;
  EXPECT_NE(got.out.find("\"carDistance\": 25.0"), std::string::npos) << got.out;
  CommandResult refused = tool_as("nogroup", {"get"});
  EXPECT_EQ(refused.code(), 5);
  EXPECT_NE(refused.err.find("Permission denied"), std::string::npos) << refused.err;

  /* It forked away from the activator and runs as the unit's user. */
  EXPECT_NE(activator.wait_exit(5s), -1);
  std::vector<pid_t> daemons = detached.find();
  ASSERT_EQ(daemons.size(), 1u);
  EXPECT_NE(read_file("/proc/" + std::to_string(daemons[0]) + "/status")
                .find("Uid:\t" + std::to_string(owner->pw_uid) + "\t"),
            std::string::npos);

  /* As that user it can replace the configuration and reach the camera. */
  CommandResult applied = tool_as(web_group, {"set", "--apply", "--road-offset", "2",
                                              "--car-distance", "30", "--camera-height", "6",
                                              "--car-speed", "15"});
  EXPECT_EQ(applied.code(), 0) << applied.out << applied.err;
  EXPECT_NE(read_file(config).find("carSpeed=15"), std::string::npos);
  EXPECT_EQ(stat_of(config).st_uid, owner->pw_uid);
  EXPECT_FALSE(bus.calls().empty());
}

/* The service manager keeps the socket while the daemon comes and goes: a
 * request that arrives after an idle exit waits in the socket and is served
 * by the next start. The test plays the service manager. */
TEST(Packaging, SocketOutlivesTheIdleExitSlow) {
  become_subreaper();
  DetachedDaemons detached;
  TempDir dir;
  const std::string socket_path = dir.file("transfer");
  const std::string config = dir.file("lanecamd.conf");
  write_file(config, read_file(LANECAMD_SOURCE_DIR "/data/lanecamd.conf"));

  int held = bound_datagram_socket(socket_path);
  ASSERT_GE(held, 0);

  DaemonOptions o;
  o.args = {"-d"}; /* detached, as the service runs it */
  o.env = {{"LANECAMD_TRANSFER_SOCKET", socket_path}, {"LANECAMD_CONFIG", config}};
  o.passed_fds = {held};
  auto serve_one = [&] {
    DaemonProcess start(dir.path(), o);
    EXPECT_EQ(WEXITSTATUS(start.wait_exit(5s)), 0);
  };

  serve_one();
  EXPECT_FALSE(reply_body(send_request(socket_path, cgi_message(kGet))).empty());
  ASSERT_EQ(detached.find().size(), 1u);
  pid_t first = detached.find()[0];
  int status = -1;
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (waitpid(first, &status, WNOHANG) != first) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no idle exit";
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  /* The node and the socket are still there: the next request queues. */
  ASSERT_TRUE(S_ISSOCK(stat_of(socket_path).st_mode));
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  ASSERT_TRUE(send_datagram(socket_path, cgi_message(kGet), {pair[0]}));
  close(pair[0]);
  serve_one();
  EXPECT_FALSE(reply_body(read_to_eof(pair[1], 5s)).empty());
  close(pair[1]);
  close(held);
}

}  // namespace
