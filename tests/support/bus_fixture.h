// SPDX-License-Identifier: MIT
/*
 * The bus test bed: a private dbus-daemon started with the project's bus
 * configuration (tests/bus.conf), DBUS_SYSTEM_BUS_ADDRESS pointed at it for
 * the test process and every child it starts, and the fake camera service
 * (tests/fake-camera) on it, whose record of received calls a test reads back
 * as parsed records.
 *
 * Usage in a test:
 *
 *   BusFixture bus;
 *   ASSERT_TRUE(bus.start_bus());
 *   ASSERT_TRUE(bus.start_camera({.optics = "false", .fail = {"MaxGain"}}));
 *   ... code under test applies settings ...
 *   std::vector<BusCall> calls = bus.calls();
 *
 * The destructor stops the fake camera and the bus (SIGTERM, then waits),
 * restores DBUS_SYSTEM_BUS_ADDRESS and removes its temporary directory.
 * Starting waits for each process to say it is ready, never for a fixed time.
 * The processes also get SIGTERM when the thread that started them ends (a
 * crashed test leaves nothing running), so drive a fixture from one thread
 * that outlives it, such as the test's own.
 */
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "temp_dir.h"

/* Command-line options of one run of the fake camera. */
struct FakeCameraOptions {
  std::string optics = "true";                    /* "true", "false" or "error" */
  std::vector<std::string> fail = {};             /* MEMBER[:ERROR_NAME[:MESSAGE]] */
  std::vector<std::string> delay = {};            /* MEMBER:MILLISECONDS */
  std::vector<std::string> no_message_error = {}; /* MEMBER[:ERROR_NAME] */
};

/* One call received by the fake camera, in the order received. */
struct BusCall {
  std::string text;               /* the call as recorded: "Set MaxGain i 2" */
  std::string member;             /* "Set", "Get", "SetDayNightMode" */
  std::string property;           /* properties Set/Get: the property name */
  std::string signature;          /* Set: the variant's contents; else the body's */
  std::string value;              /* "250", "121 101 115 0", "auto" */
  std::string sender;             /* unique name of the calling connection */
  std::string destination;        /* bus name the call was addressed to */
  std::string path;               /* object path */
  std::string interface;          /* interface of the message */
  std::string property_interface; /* properties Set/Get: the interface argument */
};

/* The fake camera's counts; -1 where the stats file could not be read. */
struct FakeCameraStats {
  long calls = -1;
  long applications = -1;
  long in_flight = -1;
  long max_in_flight = -1;
};

/* Parses one line of the fake camera's record file. */
BusCall parse_bus_call(const std::string& line);

class BusFixture {
 public:
  BusFixture() = default;
  ~BusFixture();
  BusFixture(const BusFixture&) = delete;
  BusFixture& operator=(const BusFixture&) = delete;

  /* Starts the private bus and sets DBUS_SYSTEM_BUS_ADDRESS to it. Returns
   * false after adding a test failure. */
  bool start_bus();
  /* Starts the fake camera, stopping a running one first, with an empty
   * record. Returns false after adding a test failure. */
  bool start_camera(const FakeCameraOptions& options = {});
  /* Stops the fake camera; true when it exited with status 0. */
  bool stop_camera();
  /* Stops the bus (and the fake camera) and restores the environment. */
  void stop_bus();

  /* The calls recorded since the camera started or clear_calls(). */
  std::vector<BusCall> calls() const;
  void clear_calls();
  FakeCameraStats stats() const;

  const std::string& address() const { return address_; }
  const std::string& directory() const { return dir_.path(); }
  pid_t bus_pid() const { return bus_pid_; }
  pid_t camera_pid() const { return camera_pid_; }

 private:
  TempDir dir_;
  std::string address_;
  pid_t bus_pid_ = -1;
  int bus_out_ = -1;
  pid_t camera_pid_ = -1;
  int camera_out_ = -1;
  bool had_address_ = false;
  std::string saved_address_;
};
