// SPDX-License-Identifier: MIT
/*
 * The stack the integration tests run the daemon in: a temporary folder
 * with the transfer socket's path and the configuration file, the private
 * bus with the fake camera (bus_fixture.h), the daemon as a process
 * (daemon_process.h) and, where a test needs it, lanecam-httpd in front.
 * A fixture derives from DaemonStack and starts what it needs: all of it
 * (start_stack), or the pieces in its own order, with the camera's
 * refusals and delays, a configuration edited first, the daemon's options
 * changed. What was started ends with the fixture, the front end and the
 * daemon first, the bus next, the folder last.
 */
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus_fixture.h"
#include "daemon_process.h"
#include "temp_dir.h"

class DaemonStack : public ::testing::Test {
 protected:
  TempDir dir;
  BusFixture bus;
  std::string socket_path = dir.file("transfer");
  std::string config_path = dir.file("lanecamd.conf");
  /* The daemon start_stack() started; start_daemon() leaves it alone. */
  std::unique_ptr<DaemonProcess> daemon;
  /* The front end and its port, once start_httpd() has started it. */
  std::unique_ptr<DaemonProcess> httpd;
  int port = 0;

  /* The bus, the fake camera and the test configuration, then the daemon
   * with o in daemon. Returns false after adding a test failure. */
  bool start_stack(const DaemonOptions& o);
  bool start_stack() { return start_stack(options()); }

  /* Starts the private bus and the fake camera; false after adding a test
   * failure. */
  bool start_bus(const FakeCameraOptions& camera = {});
  /* Writes the test configuration (test_config.h) at config_path. */
  void write_config(const std::map<std::string, std::string>& overrides = {});

  /* The daemon's options with this stack's socket and configuration: by
   * default in the foreground, with its debug output. Where the daemon may
   * not create the socket, DaemonProcess binds and passes it as the service
   * manager does. */
  DaemonOptions options(std::vector<std::string> args = {"-n", "-d"}) const;
  /* Starts the daemon, adding a test failure (with its standard error) when
   * it is not running once the socket is there. */
  std::unique_ptr<DaemonProcess> start_daemon(const DaemonOptions& o);
  std::unique_ptr<DaemonProcess> start_daemon() { return start_daemon(options()); }

  /* Starts lanecam-httpd on a free loopback port, serving root and handing
   * requests to socket_path, run by prefix (a program and its arguments)
   * when given; its output goes to the folder "httpd". Returns false after
   * adding a test failure. */
  bool start_httpd(const std::string& root, const std::vector<std::string>& prefix = {});
  /* The front end's address: "127.0.0.1:PORT". */
  std::string host() const { return "127.0.0.1:" + std::to_string(port); }
};
