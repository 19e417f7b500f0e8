// SPDX-License-Identifier: MIT
/*
 * Camera control against a private bus: every call of an application is
 * checked as the fake camera received it (order, object, interface,
 * signature, value), together with what was logged and the result.
 */
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bus_fixture.h"
#include "camera.h"
#include "log.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
/* The daemon's error level as a plain integer: 256 is outside the value
 * range of the GLogLevelFlags enumeration, so it is not held in one. */
const int kErrorLevel = 1 << G_LOG_LEVEL_USER_SHIFT;

CameraSettings settings(int32_t ir_cut = IR_CUT_AUTO) {
  CameraSettings s{};
  s.max_exposure_time = 250.5;
  s.max_gain = 2.99;
  s.wdr = 1;
  s.iris_enabled = 1;
  s.iris_position = 7;
  s.ir_cut = ir_cut;
  return s;
}

/* The decimal bytes of text and its terminating zero, as recorded. */
std::string bytes(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += std::to_string(c) + " ";
  return out + "0";
}

std::vector<std::string> texts(const std::vector<BusCall>& calls) {
  std::vector<std::string> out;
  for (const auto& c : calls) out.push_back(c.text);
  return out;
}

const std::vector<std::string> kPropertyWrites = {
    "Set MaxExposureTime i 250",
    "Set MaxGain i 2",
    "Set IrisPosition i 7",
    "Set IrisEnabled ay " + bytes("yes"),
    "Set WDR ay " + bytes("on"),
    "Get IrCutParamInOpticsd",
};

std::vector<std::string> with(std::vector<std::string> calls, const std::string& last) {
  calls.push_back(last);
  return calls;
}

/* Every call goes to the exact service, object and interface. */
void expect_addressed(const BusCall& c) {
  SCOPED_TRACE(c.text);
  if (c.member == "SetDayNightMode") {
    EXPECT_EQ(c.destination, "com.ombrex.Optics2");
    EXPECT_EQ(c.path, "/com/ombrex/Optics0");
    EXPECT_EQ(c.interface, "com.ombrex.DayNight1");
    return;
  }
  EXPECT_EQ(c.destination, "com.ombrex.ImageControl");
  EXPECT_EQ(c.path, "/com/ombrex/ImageControl/0/0");
  EXPECT_EQ(c.interface, "org.freedesktop.DBus.Properties");
  EXPECT_EQ(c.property_interface, c.member == "Get" ? "com.ombrex.ImageControlStream"
                                                    : "com.ombrex.Configuration.Legacy");
}

class CameraBus : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bus.start_bus()); }
  BusFixture bus;
  LogCapture log;
};

TEST_F(CameraBus, OpticsFlagTrueSendsDayNightMode) {
  ASSERT_TRUE(bus.start_camera({.optics = "true"}));
  const std::pair<int32_t, const char*> cases[] = {{0, "on"}, {1, "off"}, {2, "auto"}};
  std::set<std::string> connections;
  for (auto [ir_cut, mode] : cases) {
    SCOPED_TRACE(ir_cut);
    bus.clear_calls();
    CameraSettings s = settings(ir_cut);
    EXPECT_EQ(camera_apply_settings(&s), 1);
    auto calls = bus.calls();
    EXPECT_EQ(texts(calls), with(kPropertyWrites, std::string("SetDayNightMode s ") + mode));
    for (const auto& c : calls) {
      expect_addressed(c);
      EXPECT_EQ(c.sender, calls[0].sender) << "one connection per application";
    }
    if (!calls.empty()) connections.insert(calls[0].sender);
  }
  EXPECT_EQ(connections.size(), 3u) << "each application opens its own connection";
  EXPECT_TRUE(log.texts().empty());
}

TEST_F(CameraBus, OpticsFlagFalseOrUnreadableWritesDayNightEnabled) {
  const std::pair<int32_t, const char*> cases[] = {{0, "yes"}, {1, "no"}, {2, "auto"}};
  for (const char* optics : {"false", "error"}) {
    ASSERT_TRUE(bus.start_camera({.optics = optics}));
    for (auto [ir_cut, enabled] : cases) {
      SCOPED_TRACE(std::string(optics) + " " + std::to_string(ir_cut));
      bus.clear_calls();
      CameraSettings s = settings(ir_cut);
      EXPECT_EQ(camera_apply_settings(&s), 1);
      auto calls = bus.calls();
      EXPECT_EQ(texts(calls), with(kPropertyWrites, "Set DayNightEnabled ay " + bytes(enabled)));
      for (const auto& c : calls) expect_addressed(c);
    }
  }
  EXPECT_TRUE(log.texts().empty()) << "a failed optics-flag read is no failure";
}

TEST_F(CameraBus, SwitchesAreSentAsTextByteArrays) {
  ASSERT_TRUE(bus.start_camera());
  struct Case {
    int32_t iris_enabled, wdr;
    const char *iris_text, *wdr_text;
  } cases[] = {{0, 0, "no", "off"}, {1, 1, "yes", "on"}, {-1, 2, "yes", "on"}, {7, 0, "yes", "off"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.iris_enabled) + " " + std::to_string(c.wdr));
    bus.clear_calls();
    CameraSettings s = settings();
    s.iris_enabled = c.iris_enabled;
    s.wdr = c.wdr;
    EXPECT_EQ(camera_apply_settings(&s), 1);
    auto calls = bus.calls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[3].text, "Set IrisEnabled ay " + bytes(c.iris_text));
    EXPECT_EQ(calls[4].text, "Set WDR ay " + bytes(c.wdr_text));
  }
}

TEST(CameraConversion, Int32FromDoubleTruncatesAndSaturates) {
  const std::pair<double, int32_t> cases[] = {
      {250.5, 250},
      {2.99, 2},
      {-0.5, 0},
      {-2.99, -2},
      {2147483647.0, INT32_MAX},
      {2147483647.9, INT32_MAX},
      {2147483648.0, INT32_MAX},
      {1e12, INT32_MAX},
      {std::numeric_limits<double>::infinity(), INT32_MAX},
      {-2147483648.0, INT32_MIN},
      {-2147483648.9, INT32_MIN},
      {-1e12, INT32_MIN},
      {-std::numeric_limits<double>::infinity(), INT32_MIN},
      {kNaN, 0},
      {-kNaN, 0},
  };
  for (auto [in, out] : cases) EXPECT_EQ(camera_int32_from_double(in), out) << in;
}

TEST_F(CameraBus, NumbersAreTruncatedOnTheWire) {
  ASSERT_TRUE(bus.start_camera());
  struct Case {
    double exposure, gain;
    const char *exposure_text, *gain_text;
  } cases[] = {
      {250.5, 2.99, "250", "2"},
      {100.0, -0.5, "100", "0"},
      {10000.0, 1e12, "10000", "2147483647"},
      {9999.9, -1e12, "9999", "-2147483648"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.exposure) + " " + std::to_string(c.gain));
    bus.clear_calls();
    CameraSettings s = settings();
    s.max_exposure_time = c.exposure;
    s.max_gain = c.gain;
    s.iris_position = -3;
    EXPECT_EQ(camera_apply_settings(&s), 1);
    auto calls = bus.calls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[0].text, std::string("Set MaxExposureTime i ") + c.exposure_text);
    EXPECT_EQ(calls[1].text, std::string("Set MaxGain i ") + c.gain_text);
    EXPECT_EQ(calls[2].text, "Set IrisPosition i -3");
  }
}

TEST_F(CameraBus, UnknownIrCutStopsBeforeDayNight) {
  for (const char* optics : {"true", "false"}) {
    ASSERT_TRUE(bus.start_camera({.optics = optics}));
    for (int32_t ir_cut : {3, -1, INT32_MAX}) {
      SCOPED_TRACE(std::string(optics) + " " + std::to_string(ir_cut));
      bus.clear_calls();
      log.clear();
      CameraSettings s = settings(ir_cut);
      EXPECT_EQ(camera_apply_settings(&s), 0);
      EXPECT_EQ(texts(bus.calls()), kPropertyWrites);
      ASSERT_EQ(log.messages().size(), 1u);
      EXPECT_EQ(log.messages()[0].level, kErrorLevel);
      EXPECT_EQ(log.messages()[0].text, "Unknown ir cut state encountered\n");
    }
  }
}

TEST_F(CameraBus, FailingCallStopsTheSequence) {
  struct Case {
    const char* member;
    const char* optics;
    size_t calls; /* received, the failing one included */
  } cases[] = {
      {"MaxExposureTime", "true", 1}, {"MaxGain", "true", 2}, {"IrisPosition", "true", 3},
      {"IrisEnabled", "true", 4},     {"WDR", "true", 5},     {"SetDayNightMode", "true", 7},
      {"DayNightEnabled", "false", 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.member);
    std::string member = c.member;
    ASSERT_TRUE(bus.start_camera(
        {.optics = c.optics, .fail = {member + ":com.ombrex.Error.Busy:" + member + " refused"}}));
    log.clear();
    CameraSettings s = settings();
    EXPECT_EQ(camera_apply_settings(&s), 0);
    auto calls = bus.calls();
    ASSERT_EQ(calls.size(), c.calls);
    EXPECT_TRUE(calls.back().property == member || calls.back().member == member);
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].level, kErrorLevel);
    EXPECT_EQ(log.messages()[0].text, "sd bus call failed with error = " + member + " refused\n");
  }
}

TEST_F(CameraBus, ErrorWithoutMessageIsLoggedByName) {
  ASSERT_TRUE(bus.start_camera({.no_message_error = {"MaxGain:com.ombrex.Error.Silent"}}));
  CameraSettings s = settings();
  EXPECT_EQ(camera_apply_settings(&s), 0);
  EXPECT_EQ(bus.calls().size(), 2u);
  EXPECT_EQ(log.texts(), std::vector<std::string>{
                             "sd bus call failed with error = com.ombrex.Error.Silent\n"});
}

TEST_F(CameraBus, NoBusAtTheAddressFailsToConnect) {
  ASSERT_TRUE(bus.start_camera());
  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + bus.directory() + "/absent").c_str(), 1);
  CameraSettings s = settings();
  EXPECT_EQ(camera_apply_settings(&s), 0);
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_EQ(log.messages()[0].level, kErrorLevel);
  EXPECT_EQ(log.messages()[0].text,
            std::string("Failed to connect to system bus: ") + g_strerror(ENOENT) + "\n");
  EXPECT_TRUE(bus.calls().empty());
}

TEST_F(CameraBus, NoDescriptorLeaksAcrossManyApplications) {
  ASSERT_TRUE(bus.start_camera());
  CameraSettings ok = settings();
  CameraSettings unknown = settings(3);
  // The first connection may set up process-wide state; count after it.
  ASSERT_EQ(camera_apply_settings(&ok), 1);
  int before = count_open_fds();
  std::string address = bus.address();
  std::string absent = "unix:path=" + bus.directory() + "/absent";
  for (int i = 0; i < 150; ++i) {
    switch (i % 3) {
      case 0: ASSERT_EQ(camera_apply_settings(&ok), 1); break;
      case 1: ASSERT_EQ(camera_apply_settings(&unknown), 0); break;
      case 2:
        setenv("DBUS_SYSTEM_BUS_ADDRESS", absent.c_str(), 1);
        ASSERT_EQ(camera_apply_settings(&ok), 0);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        break;
    }
  }
  ASSERT_TRUE(bus.start_camera({.fail = {"MaxGain"}}));
  for (int i = 0; i < 50; ++i) ASSERT_EQ(camera_apply_settings(&ok), 0);
  EXPECT_EQ(count_open_fds(), before);
}

/* The test bed itself: a delayed reply must not hold up other connections,
 * and the stats must see both applications in flight. */
TEST_F(CameraBus, FakeCameraServesOthersWhileAReplyIsDelayed) {
  ASSERT_TRUE(bus.start_camera({.delay = {"MaxGain:150"}}));
  CameraSettings s = settings();
  int results[2] = {-1, -1};
  std::thread first([&] { results[0] = camera_apply_settings(&s); });
  std::thread second([&] { results[1] = camera_apply_settings(&s); });
  first.join();
  second.join();
  EXPECT_EQ(results[0], 1);
  EXPECT_EQ(results[1], 1);
  FakeCameraStats stats = bus.stats();
  EXPECT_EQ(stats.applications, 2);
  EXPECT_EQ(stats.max_in_flight, 2);
  EXPECT_EQ(stats.in_flight, 0);
  EXPECT_EQ(stats.calls, 14);
}

TEST(BusFixture, LeavesNoProcessFileOrAddressBehind) {
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  pid_t bus_pid, camera_pid;
  std::string dir;
  {
    BusFixture bus;
    ASSERT_TRUE(bus.start_bus());
    ASSERT_TRUE(bus.start_camera());
    bus_pid = bus.bus_pid();
    camera_pid = bus.camera_pid();
    dir = bus.directory();
    EXPECT_STREQ(getenv("DBUS_SYSTEM_BUS_ADDRESS"), bus.address().c_str());
    EXPECT_TRUE(bus.stop_camera()) << "the fake camera exits with 0 on SIGTERM";
    ASSERT_TRUE(bus.start_camera());
    camera_pid = bus.camera_pid();
  }
  EXPECT_EQ(kill(bus_pid, 0), -1);
  EXPECT_EQ(kill(camera_pid, 0), -1);
  EXPECT_FALSE(std::filesystem::exists(dir));
  EXPECT_EQ(getenv("DBUS_SYSTEM_BUS_ADDRESS"), nullptr);
}

/* A test that dies without running destructors must not leave the bus and
 * the fake camera running: they would hold the test runner's output open. */
TEST(BusFixture, ChildrenEndWithTheProcessThatStartedThem) {
  // Orphans are reparented to this process, so it can reap and check them.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  // The owner never removes its directory: it goes into one of this process.
  TempDir scratch;
  setenv("TMPDIR", scratch.path().c_str(), 1);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t owner = fork();
  ASSERT_GE(owner, 0);
  if (owner == 0) {
    auto* bus = new BusFixture;  // never destroyed: the owner just dies
    pid_t pids[2] = {-1, -1};
    if (bus->start_bus() && bus->start_camera()) {
      pids[0] = bus->bus_pid();
      pids[1] = bus->camera_pid();
    }
    if (write(fds[1], pids, sizeof pids) != sizeof pids) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  pid_t pids[2] = {-1, -1};
  ASSERT_EQ(read(fds[0], pids, sizeof pids), static_cast<ssize_t>(sizeof pids));
  close(fds[0]);
  ASSERT_EQ(waitpid(owner, nullptr, 0), owner);
  ASSERT_GT(pids[0], 0);
  ASSERT_GT(pids[1], 0);
  for (pid_t pid : pids) {
    int status = 0;
    pid_t got = 0;
    for (int i = 0; i < 5000 && got == 0; ++i) {
      got = waitpid(pid, &status, WNOHANG);
      if (got == 0) usleep(1000);
    }
    EXPECT_EQ(got, pid) << "process " << pid << " outlived its owner";
    if (got != pid) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  }
}

}  // namespace
