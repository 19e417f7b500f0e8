// SPDX-License-Identifier: MIT
/*
 * The get and set methods end to end: requests through the transfer socket
 * of the real daemon process, against a temporary configuration file and the
 * fake camera on a private bus.
 */
#include <gtest/gtest.h>

#include <ostream>

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <latch>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "daemon_stack.h"
#include "transfer_client.h"

using namespace std::chrono_literals;

namespace {

using Values = std::map<std::string, std::string>;

std::string set_request(const std::string& params, const std::string& context = "s") {
  return R"({"apiVersion":"1.0","method":"set","context":")" + context + R"(","params":)" + params + "}";
}

std::string scene_params(bool apply, const std::string& x, const std::string& z,
                         const std::string& y, const std::string& v) {
  return std::string(R"({"apply":)") + (apply ? "true" : "false") + R"(,"roadOffset":)" + x +
         R"(,"carDistance":)" + z + R"(,"cameraHeight":)" + y + R"(,"carSpeed":)" + v + "}";
}

const char kGetRequest[] = R"({"apiVersion":"1.0","method":"get","context":"g"})";

std::string error_body(const char* method, const char* context, int code, const char* message) {
  return std::string("{\n  \"apiVersion\": \"1.0\",\n  \"context\": \"") + context +
         "\",\n  \"method\": \"" + method + "\",\n  \"error\": {\n    \"code\": " +
         std::to_string(code) + ",\n    \"message\": \"" + message + "\"\n  }\n}";
}

/* One value of the stored file, read back with GLib. */
double stored_double(const std::string& path, const char* key) {
  GKeyFile* kf = g_key_file_new();
  double v = -1;
  if (g_key_file_load_from_file(kf, path.c_str(), G_KEY_FILE_NONE, nullptr))
    v = g_key_file_get_double(kf, "ui_state", key, nullptr);
  g_key_file_free(kf);
  return v;
}

class Methods : public DaemonStack {
 protected:
  void SetUp() override { ASSERT_TRUE(start_stack()); }

  std::string body(const std::string& json) {
    std::string reply = send_when_admitted(socket_path, cgi_message(json));
    std::string b = reply_body(reply);
    EXPECT_FALSE(b.empty()) << reply;
    return b;
  }

  /* The log lines the daemon wrote since the last call. */
  std::string new_log() {
    std::string all = daemon->out();
    std::string fresh = all.substr(std::min(log_seen_, all.size()));
    log_seen_ = all.size();
    return fresh;
  }

 private:
  size_t log_seen_ = 0;
};

TEST_F(Methods, GetReportsStoredValuesAsRealsAndIntervals) {
  EXPECT_EQ(body(kGetRequest),
            "{\n"
            "  \"apiVersion\": \"1.0\",\n"
            "  \"context\": \"g\",\n"
            "  \"method\": \"get\",\n"
            "  \"data\": {\n"
            "    \"roadOffset\": 5.0,\n"
            "    \"roadOffsetInterval\": [\n      -20,\n      20\n    ],\n"
            "    \"carDistance\": 20.5,\n"
            "    \"carDistanceInterval\": [\n      0,\n      5000\n    ],\n"
            "    \"cameraHeight\": 4.0,\n"
            "    \"cameraHeightInterval\": [\n      -10,\n      50\n    ],\n"
            "    \"carSpeed\": 10.0,\n"
            "    \"carSpeedInterval\": [\n      -5,\n      300\n    ]\n"
            "  }\n"
            "}");
  EXPECT_NE(daemon->out().find("Return:\n{"), std::string::npos);
}

TEST_F(Methods, GetWithoutConfigurationIsInternalError) {
  unlink(config_path.c_str());
  EXPECT_EQ(body(kGetRequest), error_body("get", "g", 1000, "internal error"));
  EXPECT_NE(daemon->out().find("Failed to load " + config_path + ": "), std::string::npos);
}

struct Preview {
  const char* name;
  const char *x, *z, *y, *v, *blur;
  const char* max_shutter;
};

/* Test names show the case name, not the bytes of the record. */
void PrintTo(const Preview& c, std::ostream* os) { *os << c.name; }

class MethodsPreview : public Methods, public ::testing::WithParamInterface<Preview> {};

TEST_P(MethodsPreview, GivesWorkedExposureAndChangesNothing) {
  const auto& p = GetParam();
  write_config({{"maxMotionBlur", p.blur}, {"roadOffset_max", "30"}});
  const std::string before = read_file(config_path);
  /* The whole reply, byte for byte: every processor's daemon must send these. */
  EXPECT_EQ(send_request(socket_path, cgi_message(set_request(scene_params(false, p.x, p.z, p.y, p.v)))),
            std::string("HTTP/1.0 200 OK\r\nContent-Type: text/json\r\n\r\n"
                        "{\n  \"apiVersion\": \"1.0\",\n  \"context\": \"s\",\n  \"method\": \"set\",\n"
                        "  \"data\": {\n    \"maxGain\": 24.0,\n    \"maxShutter\": ") +
                p.max_shutter +
                ",\n    \"wdr\": true,\n    \"irCut\": \"off\",\n    \"irisEnabled\": false,\n"
                "    \"irisPosition\": 3\n  }\n}\r\n");
  EXPECT_EQ(read_file(config_path), before);
  EXPECT_TRUE(bus.calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Worked, MethodsPreview,
    ::testing::Values(Preview{"Ordinary", "3", "20", "4", "10", "0.01", "4123.10546875"},
                      Preview{"UpperBound", "3", "20", "4", "1", "0.1", "10000.0"},
                      Preview{"LowerBound", "3", "0", "4", "50", "0.001", "100.0"},
                      Preview{"CarDistance", "30", "5000", "40", "100", "0.005", "1001.2492065429688"},
                      Preview{"CarCamDistance", "1", "3", "2", "20", "0.01", "1118.033935546875"},
                      Preview{"OnLineOfTravel", "0", "10", "0", "30", "0.004", "4000.0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Methods, ApplyStoresValuesAndPushesSettingsToTheCamera) {
  std::string reply = body(set_request(scene_params(true, "3", "20", "4", "10")));
  EXPECT_NE(reply.find("\"maxShutter\": 4123.10546875"), std::string::npos) << reply;
  EXPECT_EQ(stored_double(config_path, "roadOffset"), 3);
  EXPECT_EQ(stored_double(config_path, "carDistance"), 20);
  EXPECT_EQ(stored_double(config_path, "cameraHeight"), 4);
  EXPECT_EQ(stored_double(config_path, "carSpeed"), 10);
  EXPECT_NE(read_file(config_path).find("[extra]\nkeep=me\n"), std::string::npos);

  std::vector<std::string> texts;
  for (const auto& c : bus.calls()) texts.push_back(c.text);
  ASSERT_EQ(texts.size(), 7u);
  EXPECT_EQ(bus.calls()[0].property, "MaxExposureTime");
  EXPECT_EQ(bus.calls()[0].value, "4123");
  EXPECT_EQ(bus.calls()[1].value, "24");
  EXPECT_EQ(bus.calls()[6].member, "SetDayNightMode");
  EXPECT_EQ(bus.calls()[6].value, "off");

  std::string got = body(kGetRequest);
  EXPECT_NE(got.find("\"roadOffset\": 3.0"), std::string::npos) << got;
  EXPECT_NE(got.find("\"carDistance\": 20.0"), std::string::npos) << got;

  /* A preview afterwards leaves the stored values alone. */
  body(set_request(scene_params(false, "1", "2", "3", "4")));
  got = body(kGetRequest);
  EXPECT_NE(got.find("\"roadOffset\": 3.0"), std::string::npos) << got;
  EXPECT_NE(got.find("\"carSpeed\": 10.0"), std::string::npos) << got;
}

TEST_F(Methods, ValuesAtTheirBoundsAndIntegersOrRealsAreAccepted) {
  for (const auto& params :
       {scene_params(false, "-20", "0", "-10", "-5"), scene_params(false, "20", "5000", "50", "300"),
        scene_params(false, "0", "1", "2", "3"), scene_params(false, "5", "5", "5", "5"),
        scene_params(false, "5.0", "5.0", "5.0", "5.0")}) {
    std::string reply = body(set_request(params));
    EXPECT_NE(reply.find("\"data\""), std::string::npos) << params << "\n" << reply;
  }
  EXPECT_EQ(body(set_request(scene_params(false, "5", "5", "5", "5"))),
            body(set_request(scene_params(false, "5.0", "5.0", "5.0", "5.0"))));
}

struct Invalid {
  const char* name;
  std::string params; /* the "params" member's JSON, or "" for none */
  std::string logged;
};

void PrintTo(const Invalid& c, std::ostream* os) { *os << c.name; }

class MethodsInvalid : public Methods, public ::testing::WithParamInterface<Invalid> {};

TEST_P(MethodsInvalid, RefusedWithInvalidArgumentAndChangesNothing) {
  const auto& c = GetParam();
  bus.clear_calls();
  const std::string before = read_file(config_path);
  new_log();
  std::string request = c.params.empty()
                            ? std::string(R"({"apiVersion":"1.0","method":"set","context":"s"})")
                            : set_request(c.params);
  EXPECT_EQ(body(request), error_body("set", "s", 1003, "invalid argument"));
  std::string log = new_log();
  EXPECT_NE(log.find(c.logged + "\n"), std::string::npos) << log;
  EXPECT_EQ(count_occurrences(log, "Element "), c.logged.rfind("Element ", 0) == 0 ? 1 : 0) << log;
  EXPECT_EQ(read_file(config_path), before);
  EXPECT_TRUE(bus.calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Validation, MethodsInvalid,
    ::testing::Values(
        Invalid{"BelowNegativeMinimum", scene_params(true, "-21", "1", "1", "1"),
                "Element roadOffset out of range (-20-20)"},
        Invalid{"AboveMaximum", scene_params(true, "1", "5000.5", "1", "1"),
                "Element carDistance out of range (0-5000)"},
        Invalid{"ValueAsString", scene_params(true, "1", "1", "\"1\"", "1"),
                "Element cameraHeight element missing or incorrect type."},
        Invalid{"ValueAsBoolean", scene_params(true, "1", "1", "1", "true"),
                "Element carSpeed element missing or incorrect type."},
        Invalid{"ValueAsNull", scene_params(true, "null", "1", "1", "1"),
                "Element roadOffset element missing or incorrect type."},
        Invalid{"ValueMissing", R"({"apply":true,"roadOffset":1,"carDistance":1,"cameraHeight":1})",
                "Element carSpeed element missing or incorrect type."},
        Invalid{"OnlyFirstWrongValueLogged", scene_params(true, "1", "-1", "\"x\"", "1000"),
                "Element carDistance out of range (0-5000)"},
        Invalid{"ApplyAsNumber", R"({"apply":1,"roadOffset":1,"carDistance":1,"cameraHeight":1,"carSpeed":1})",
                "Element apply element missing or incorrect type."},
        Invalid{"ApplyAsString", R"({"apply":"true","roadOffset":1,"carDistance":1,"cameraHeight":1,"carSpeed":1})",
                "Element apply element missing or incorrect type."},
        Invalid{"ApplyAsNull", R"({"apply":null,"roadOffset":1,"carDistance":1,"cameraHeight":1,"carSpeed":1})",
                "Element apply element missing or incorrect type."},
        Invalid{"ParamsMissing", "", "params element missing"},
        Invalid{"ParamsAsArray", "[true,1,1,1,1]", "Element apply element missing or incorrect type."},
        Invalid{"ParamsAsString", "\"apply\"", "Element apply element missing or incorrect type."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Methods, UnreadableConfigurationWinsOverInvalidParameters) {
  write_config({{"-irCut", ""}});
  EXPECT_EQ(body(set_request("\"nonsense\"")), error_body("set", "s", 1000, "internal error"));
}

TEST_F(Methods, OddConfiguredModesAreReportedSafely) {
  write_config({{"irCut", "3"}, {"irisPosition", "-1"}});
  std::string reply = body(set_request(scene_params(false, "3", "20", "4", "10")));
  EXPECT_NE(reply.find("\"irCut\": \"auto\""), std::string::npos) << reply;
  EXPECT_NE(reply.find("\"irisPosition\": 4294967295"), std::string::npos) << reply;
  EXPECT_NE(daemon->out().find("Illegal ir_cut value: 3\n"), std::string::npos);
}

/* What a careless edit or a hostile peer may leave in the configuration or
 * beside it: an internal error with one line logged, nothing sent to the
 * camera, and a daemon that goes on answering. */
enum class Ask { get, preview, apply };

struct Hostile {
  const char* name;
  Values config;
  Ask ask;
  const char* fifo;   /* planted at this name in the directory, or null */
  std::string logged; /* "{dir}" stands for the directory */
};

void PrintTo(const Hostile& c, std::ostream* os) { *os << c.name; }

class MethodsHostile : public Methods, public ::testing::WithParamInterface<Hostile> {};

TEST_P(MethodsHostile, AnswersInternalErrorAndSendsNothing) {
  const auto& c = GetParam();
  write_config(c.config);
  if (c.fifo) {
    unlink(dir.file(c.fifo).c_str());
    ASSERT_EQ(mkfifo(dir.file(c.fifo).c_str(), 0600), 0);
  }
  const bool get = c.ask == Ask::get;
  EXPECT_EQ(body(get ? kGetRequest : set_request(scene_params(c.ask == Ask::apply, "1", "2", "3", "4"))),
            error_body(get ? "get" : "set", get ? "g" : "s", 1000, "internal error"));
  std::string logged = c.logged;
  if (size_t at = logged.find("{dir}"); at != std::string::npos) logged.replace(at, 5, dir.path());
  EXPECT_EQ(count_occurrences(daemon->out(), logged), 1) << daemon->out();
  EXPECT_TRUE(bus.calls().empty());
  EXPECT_NE(send_when_admitted(socket_path, cgi_message(kGetRequest)).find("\"get\""), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Configuration, MethodsHostile,
    ::testing::Values(
        Hostile{"BlurNotANumberApplied", {{"maxMotionBlur", "nan"}}, Ask::apply, nullptr,
                "Not sending MaxExposureTime=nan to the camera: not a finite number"},
        Hostile{"BlurNotANumberPreviewed", {{"maxMotionBlur", "nan"}}, Ask::preview, nullptr,
                "Cannot write maxShutter=nan as a JSON number"},
        Hostile{"GainNotANumber", {{"maxGain", "nan"}}, Ask::apply, nullptr, "MaxGain=nan to the"},
        Hostile{"GainInfinite", {{"maxGain", "inf"}}, Ask::apply, nullptr, "MaxGain=inf to the"},
        Hostile{"GainBeyondDouble", {{"maxGain", "1e999"}}, Ask::apply, nullptr, "MaxGain=inf to the"},
        Hostile{"GainMinusInfinityPreviewed", {{"maxGain", "-inf"}}, Ask::preview, nullptr,
                "Cannot write maxGain=-inf as a JSON number"},
        Hostile{"StoredOffsetNotANumber", {{"roadOffset", "nan"}}, Ask::get, nullptr,
                "Cannot write roadOffset=nan as a JSON number"},
        Hostile{"StoredSpeedNotANumber", {{"carSpeed", "nan"}}, Ask::get, nullptr, "carSpeed=nan"},
        Hostile{"FifoAtTemporaryName", {}, Ask::apply, ".lanecamd.conf.tmp",
                "Failed to open temporary file {dir}/.lanecamd.conf.tmp: Not a regular file"},
        Hostile{"FifoAtConfigurationPath", {}, Ask::apply, "lanecamd.conf",
                "Failed to load {dir}/lanecamd.conf: Not a regular file"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Methods, ConfigurationWithoutStoredSpeedIsInternalErrorAndReachesNoCamera) {
  write_config({{"-carSpeed", ""}});
  const std::string before = read_file(config_path);
  EXPECT_EQ(body(set_request(scene_params(true, "1", "2", "3", "4"))),
            error_body("set", "s", 1000, "internal error"));
  EXPECT_EQ(read_file(config_path), before);
  EXPECT_TRUE(bus.calls().empty());
}

struct CameraFailure {
  const char* name;
  FakeCameraOptions camera;
  Values config;
  bool stop_bus;
  const char* logged;
};

void PrintTo(const CameraFailure& c, std::ostream* os) { *os << c.name; }

class MethodsCameraFailure : public Methods, public ::testing::WithParamInterface<CameraFailure> {};

TEST_P(MethodsCameraFailure, AnswersInternalErrorWithValuesStored) {
  const auto& c = GetParam();
  if (c.stop_bus)
    bus.stop_bus();
  else
    ASSERT_TRUE(bus.start_camera(c.camera));
  write_config(c.config);
  EXPECT_EQ(body(set_request(scene_params(true, "1", "2", "3", "4"))),
            error_body("set", "s", 1000, "internal error"));
  EXPECT_EQ(stored_double(config_path, "roadOffset"), 1);
  EXPECT_EQ(stored_double(config_path, "carSpeed"), 4);
  EXPECT_NE(daemon->out().find(c.logged), std::string::npos) << daemon->out();
}

INSTANTIATE_TEST_SUITE_P(
    Camera, MethodsCameraFailure,
    ::testing::Values(
        CameraFailure{"RefusedProperty",
                      {.fail = {"MaxGain:org.freedesktop.DBus.Error.AccessDenied:gain is locked"}},
                      {}, false, "sd bus call failed with error = gain is locked\n"},
        CameraFailure{"UnknownIrCutMode", {}, {{"irCut", "3"}}, false,
                      "Unknown ir cut state encountered\n"},
        CameraFailure{"NoSystemBus", {}, {}, true, "Failed to connect to system bus: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Methods, TwoSlowAppliesHoldTheLimitAndBothComplete) {
  ASSERT_TRUE(bus.start_camera({.delay = {"MaxExposureTime:1500"}}));
  auto first = std::async(std::launch::async, [&] {
    return body(set_request(scene_params(true, "3", "20", "4", "10"), "a"));
  });
  for (int i = 0; i < 200 && bus.calls().empty(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(bus.calls().size(), 1u);

  /* A preview does not wait for an apply's camera. */
  std::string preview = body(set_request(scene_params(false, "1", "3", "2", "20"), "p"));
  EXPECT_NE(preview.find("\"maxShutter\": 1118.033935546875"), std::string::npos) << preview;
  EXPECT_EQ(first.wait_for(0s), std::future_status::timeout);

  /* The second apply waits for the first's camera calls, in the other worker. */
  auto second = std::async(std::launch::async, [&] {
    return body(set_request(scene_params(true, "1", "3", "2", "20"), "b"));
  });
  ASSERT_TRUE(daemon->wait_for_output("->set: apply:1, road_offset:1.000000"));
  EXPECT_EQ(bus.calls().size(), 1u);
  EXPECT_EQ(send_request(socket_path, cgi_message(kGetRequest)), kBusyReply);

  std::string a = first.get(), b = second.get();
  EXPECT_NE(a.find("\"context\": \"a\""), std::string::npos);
  EXPECT_NE(a.find("\"maxShutter\": 4123.10546875"), std::string::npos) << a;
  EXPECT_NE(b.find("\"context\": \"b\""), std::string::npos);
  EXPECT_NE(b.find("\"maxShutter\": 1118.033935546875"), std::string::npos) << b;

  /* One after the other: the file and the camera end with the second scene. */
  EXPECT_EQ(stored_double(config_path, "roadOffset"), 1);
  EXPECT_EQ(stored_double(config_path, "carSpeed"), 20);
  auto calls = bus.calls();
  ASSERT_EQ(calls.size(), 14u);
  EXPECT_EQ(calls[0].value, "4123");
  EXPECT_EQ(calls[7].property, "MaxExposureTime");
  EXPECT_EQ(calls[7].value, "1118");
  EXPECT_EQ(bus.stats().max_in_flight, 1);
}

/* Two installers applying different scenes at the same moment, round after
 * round, on processors kept busy: after every round the camera's last
 * exposure limit is the one of the scene the file holds. */
TEST_F(Methods, SlowConcurrentAppliesLeaveTheCameraInTheStoredScene) {
  const std::string scenes[] = {scene_params(true, "3", "20", "4", "10"),
                                scene_params(true, "1", "3", "2", "20")};
  const char* exposures[] = {"4123", "1118"};
  std::atomic<bool> done{false};
  std::vector<std::thread> load(std::max(1u, std::thread::hardware_concurrency()));
  for (auto& t : load) t = std::thread([&] { while (!done) {} });
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  int rounds = 0, wrong = 0;
  for (; rounds < 300 && std::chrono::steady_clock::now() < deadline; ++rounds) {
    bus.clear_calls();
    std::latch go(2);
    auto send = [&](int i) {
      go.arrive_and_wait();
      return body(set_request(scenes[i]));
    };
    auto first = std::async(std::launch::async, send, 0);
    send(1);
    first.get();
    std::string last;
    for (const auto& c : bus.calls())
      if (c.property == "MaxExposureTime") last = c.value;
    if (last != exposures[stored_double(config_path, "roadOffset") == 3 ? 0 : 1]) ++wrong;
  }
  done = true;
  for (auto& t : load) t.join();
  RecordProperty("rounds", rounds);
  RecordProperty("camera_in_another_scene", wrong);
  EXPECT_EQ(wrong, 0) << "in " << rounds << " rounds";
}

}  // namespace
