// SPDX-License-Identifier: MIT
#include "daemon_stack.h"

#include <sys/stat.h>

#include <chrono>

#include "test_config.h"

/* Only the front end's tests start it, and only a build with it has them. */
#ifndef LANECAM_HTTPD
#define LANECAM_HTTPD ""
#endif

bool DaemonStack::start_stack(const DaemonOptions& o) {
  if (!start_bus()) return false;
  write_config();
  daemon = start_daemon(o);
  return daemon->running();
}

bool DaemonStack::start_bus(const FakeCameraOptions& camera) {
  return bus.start_bus() && bus.start_camera(camera);
}

void DaemonStack::write_config(const std::map<std::string, std::string>& overrides) {
  write_file(config_path, test_config_text(overrides));
}

DaemonOptions DaemonStack::options(std::vector<std::string> args) const {
  DaemonOptions o;
  o.args = std::move(args);
  o.env["LANECAMD_TRANSFER_SOCKET"] = socket_path;
  o.env["LANECAMD_CONFIG"] = config_path;
  o.wait_for_socket = socket_path;
  return o;
}

std::unique_ptr<DaemonProcess> DaemonStack::start_daemon(const DaemonOptions& o) {
  auto d = std::make_unique<DaemonProcess>(dir.path(), o);
  EXPECT_TRUE(d->running()) << d->err();
  return d;
}

bool DaemonStack::start_httpd(const std::string& root, const std::vector<std::string>& prefix) {
  std::vector<std::string> command = prefix;
  command.push_back(LANECAM_HTTPD);
  DaemonOptions o;
  o.program = command.front();
  o.args.assign(command.begin() + 1, command.end());
  o.args.insert(o.args.end(), {"--listen", "127.0.0.1:0", "--root", root, "--socket", socket_path});
  /* Under AddressSanitizer: a known leak of libsoup's (see the file). */
  o.env["LSAN_OPTIONS"] =
      "suppressions=" LANECAMD_SOURCE_DIR "/tests/lsan.supp:fast_unwind_on_malloc=0:print_suppressions=0";
  /* A folder of its own: the daemon's output files have the same names. */
  mkdir(dir.file("httpd").c_str(), 0755);
  httpd = std::make_unique<DaemonProcess>(dir.file("httpd"), o);
  if (!httpd->wait_for_output("listening on http://", std::chrono::seconds(10))) {
    ADD_FAILURE() << "lanecam-httpd is not listening: " << httpd->err();
    return false;
  }
  /* "lanecam-httpd: listening on http://127.0.0.1:PORT/" */
  const std::string said = httpd->out();
  port = std::stoi(said.substr(said.find(':', said.find("http://") + 7) + 1));
  return true;
}
