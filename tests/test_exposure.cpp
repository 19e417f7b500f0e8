// SPDX-License-Identifier: MIT
/*
 * The exposure computation: the worked examples bit for bit, the order and
 * text of its traces, the apply switch against the fake camera, the
 * unusual inputs that only the bounds temper, and a table of generated
 * scenes whose set reply data every processor must reproduce byte for byte.
 */
#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bus_fixture.h"
#include "exposure.h"
#include "handles.h"
#include "log.h"
#include "log_capture.h"
#include "methods.h"
#include "temp_dir.h"
#include "test_config.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

AlgoConfig config_with_blur(double max_motion_blur) {
  AlgoConfig c{};
  c.max_gain = 24.5;
  c.wdr = 1;
  c.auto_iris_enabled = 0;
  c.iris_position = 7;
  c.max_motion_blur = max_motion_blur;
  c.ir_cut = 2;
  return c;
}

CameraSettings compute(const UiState& scene, const AlgoConfig& config, int apply = 0,
                       int* result = nullptr) {
  CameraSettings s;
  std::memset(&s, 0xAB, sizeof s);
  int r = algo_handle_get(&scene, &config, &s, apply);
  if (result) *result = r;
  return s;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct WorkedExample {
  const char* name;
  UiState scene;
  double max_motion_blur;
  const char* traced;
  double stored;
};

/* Test names show the case name, not the bytes of the record. */
void PrintTo(const WorkedExample& c, std::ostream* os) { *os << c.name; }

class Worked : public ::testing::TestWithParam<WorkedExample> {};

TEST_P(Worked, StoresAndTracesTheExpectedExposure) {
  const auto& w = GetParam();
  LogCapture log;
  debug_enabled = true;
  CameraSettings s = compute(w.scene, config_with_blur(w.max_motion_blur));
  debug_enabled = false;
  EXPECT_TRUE(same_bits(s.max_exposure_time, w.stored))
      << std::hexfloat << s.max_exposure_time << " vs " << w.stored;
  EXPECT_TRUE(log.contains(std::string("max_exposure_time = ") + w.traced + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Worked,
    ::testing::Values(
        WorkedExample{"Ordinary", {3, 20, 4, 10}, 0.01, "4123.105626", 4123.10546875},
        WorkedExample{"SlowVehicleUpperBound", {3, 20, 4, 1}, 0.1, "10000.000000", 10000},
        WorkedExample{"FastVehicleNearLowerBound", {3, 0, 4, 50}, 0.001, "100.000000", 100},
        WorkedExample{"CarDistanceBounded", {30, 5000, 40, 100}, 0.005, "1001.249220",
                      1001.2492065429688},
        WorkedExample{"CarCamDistanceBounded", {1, 3, 2, 20}, 0.01, "1118.033989",
                      1118.033935546875},
        WorkedExample{"CameraOnLineOfTravel", {0, 10, 0, 30}, 0.004, "4000.000000", 4000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Traces, OrdinaryCaseLogsSevenTracesInOrder) {
  BusFixture bus;
  ASSERT_TRUE(bus.start_bus());
  ASSERT_TRUE(bus.start_camera());
  LogCapture log;
  debug_enabled = true;
  int result = 0;
  compute({3, 20, 4, 10}, config_with_blur(0.01), 1, &result);
  debug_enabled = false;
  EXPECT_EQ(result, 1);
  EXPECT_EQ(log.texts_at(G_LOG_LEVEL_INFO),
            (std::vector<std::string>{
                "Entering algo_handle_get()\n",
                "v = 10.000000, x = 3.000000, y = 4.000000, z = 20.000000\n",
                "cam_offset = 5.000000, car_cam_distance = 20.615528\n",
                "t_max = 0.004123\n",
                "max_exposure_time = 4123.105626\n",
                "Applying settings!\n",
                "Exiting algo_handle_get()\n",
            }));
}

TEST(Traces, ClampTracesComeAtTheirSteps) {
  LogCapture log;
  debug_enabled = true;
  compute({30, 5000, 40, 100}, config_with_blur(0.005));
  auto distance = log.texts_at(G_LOG_LEVEL_INFO);
  log.clear();
  compute({1, 3, 2, 20}, config_with_blur(0.01));
  auto near = log.texts_at(G_LOG_LEVEL_INFO);
  debug_enabled = false;

  ASSERT_GE(distance.size(), 3u);
  EXPECT_EQ(distance[1], "Clamping car distance.\n");
  EXPECT_EQ(distance[2], "v = 100.000000, x = 30.000000, y = 40.000000, z = 1000.000000\n");

  ASSERT_GE(near.size(), 4u);
  EXPECT_EQ(near[2], "Clamping car_cam_distance.\n");
  EXPECT_EQ(near[3], "cam_offset = 2.236068, car_cam_distance = 5.000000\n");
}

TEST(Traces, NothingIsLoggedWithoutDebugAndValuesAreTheSame) {
  LogCapture log;
  CameraSettings quiet = compute({3, 20, 4, 10}, config_with_blur(0.01));
  EXPECT_TRUE(log.texts().empty());
  debug_enabled = true;
  CameraSettings traced = compute({3, 20, 4, 10}, config_with_blur(0.01));
  debug_enabled = false;
  EXPECT_EQ(std::memcmp(&quiet, &traced, sizeof quiet), 0);
}

TEST(Apply, PreviewFillsTheSameRecordWithoutCallingTheCamera) {
  BusFixture bus;
  ASSERT_TRUE(bus.start_bus());
  ASSERT_TRUE(bus.start_camera());
  const AlgoConfig config = config_with_blur(0.01);

  LogCapture log;
  debug_enabled = true;
  int preview_result = 0;
  CameraSettings preview = compute({3, 20, 4, 10}, config, 0, &preview_result);
  auto preview_traces = log.texts_at(G_LOG_LEVEL_INFO);
  EXPECT_TRUE(bus.calls().empty());

  int apply_result = 0;
  CameraSettings applied = compute({3, 20, 4, 10}, config, 1, &apply_result);
  debug_enabled = false;

  EXPECT_EQ(preview_result, 1);
  EXPECT_EQ(apply_result, 1);
  EXPECT_EQ(std::memcmp(&preview, &applied, sizeof preview), 0);
  EXPECT_EQ(preview.max_gain, 24.5);
  EXPECT_EQ(preview.wdr, 1);
  EXPECT_EQ(preview.iris_enabled, 0);
  EXPECT_EQ(preview.iris_position, 7);
  EXPECT_EQ(preview.ir_cut, 2);
  ASSERT_FALSE(preview_traces.empty());
  EXPECT_EQ(preview_traces.back(), "Exiting algo_handle_get()\n");
  for (const auto& t : preview_traces) EXPECT_NE(t, "Applying settings!\n");
  EXPECT_FALSE(bus.calls().empty());
}

TEST(Apply, FailingCameraGivesZeroWithTheRecordFilled) {
  BusFixture bus;
  ASSERT_TRUE(bus.start_bus());
  ASSERT_TRUE(bus.start_camera({.fail = {"MaxGain"}}));
  const AlgoConfig config = config_with_blur(0.01);
  CameraSettings preview = compute({3, 20, 4, 10}, config);
  LogCapture log;
  debug_enabled = true;
  int result = 1;
  CameraSettings applied = compute({3, 20, 4, 10}, config, 1, &result);
  debug_enabled = false;
  EXPECT_EQ(result, 0);
  EXPECT_EQ(std::memcmp(&preview, &applied, sizeof preview), 0);
  EXPECT_EQ(log.texts_at(G_LOG_LEVEL_INFO).back(), "Exiting algo_handle_get()\n");
}

struct UnusualCase {
  const char* name;
  UiState scene;
  double max_motion_blur;
  UiState same_as; /* the scene whose result it must equal */
  double same_blur;
};

void PrintTo(const UnusualCase& c, std::ostream* os) { *os << c.name; }

class Unusual : public ::testing::TestWithParam<UnusualCase> {};

TEST_P(Unusual, EqualsItsCounterpart) {
  const auto& u = GetParam();
  CameraSettings a = compute(u.scene, config_with_blur(u.max_motion_blur));
  CameraSettings b = compute(u.same_as, config_with_blur(u.same_blur));
  EXPECT_TRUE(same_bits(a.max_exposure_time, b.max_exposure_time))
      << a.max_exposure_time << " vs " << b.max_exposure_time;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Unusual,
    ::testing::Values(
        UnusualCase{"NegativeSpeedActsAsZero", {3, 20, 4, -10}, 0.01, {3, 20, 4, 0}, 0.01},
        UnusualCase{"NegativeOffsetActsAsAbsolute", {-3, 20, 4, 10}, 0.01, {3, 20, 4, 10}, 0.01},
        UnusualCase{"NegativeHeightActsAsAbsolute", {3, 20, -4, 10}, 0.01, {3, 20, 4, 10}, 0.01},
        UnusualCase{"InfiniteDistanceBoundedTo1000", {30, kInf, 40, 100}, 0.005,
                    {30, 1000, 40, 100}, 0.005}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UnusualInputs, NegativeDistanceIsTracedUnbounded) {
  LogCapture log;
  debug_enabled = true;
  compute({30, -5000, 40, 100}, config_with_blur(0.005));
  debug_enabled = false;
  EXPECT_TRUE(log.contains("z = -5000.000000"));
  /* As an unbounded 5000 would give: the crossing speed falls below 1. */
  EXPECT_EQ(compute({30, -5000, 40, 100}, config_with_blur(0.005)).max_exposure_time, 5000);
  EXPECT_FALSE(log.contains("Clamping car distance."));
}

TEST(UnusualInputs, MotionBlurBounds) {
  EXPECT_EQ(compute({3, 20, 4, 10}, config_with_blur(0)).max_exposure_time, 100);
  EXPECT_EQ(compute({3, 20, 4, 10}, config_with_blur(-1)).max_exposure_time, 100);
  EXPECT_EQ(compute({3, 20, 4, 10}, config_with_blur(kInf)).max_exposure_time, 10000);
}

TEST(UnusualInputs, NotANumberInAnyInputGivesNotANumber) {
  const UiState base{3, 20, 4, 10};
  for (int field = 0; field < 4; ++field) {
    UiState scene = base;
    (&scene.road_offset)[field] = kNaN;
    EXPECT_TRUE(std::isnan(compute(scene, config_with_blur(0.01)).max_exposure_time))
        << "field " << field;
  }
  EXPECT_TRUE(std::isnan(compute(base, config_with_blur(kNaN)).max_exposure_time));
}

TEST(UnusualInputs, ConfigurationValuesAreCopiedUnchanged) {
  for (int32_t ir_cut : {3, -1}) {
    AlgoConfig c = config_with_blur(0.01);
    c.ir_cut = ir_cut;
    c.iris_position = -42;
    c.max_gain = kNaN;
    c.wdr = 5;
    CameraSettings s = compute({3, 20, 4, 10}, c);
    EXPECT_EQ(s.ir_cut, ir_cut);
    EXPECT_EQ(s.iris_position, -42);
    EXPECT_TRUE(same_bits(s.max_gain, kNaN));
    EXPECT_EQ(s.wdr, 5);
  }
}

/*
 * Generated scenes and the set reply data that an x86-64 build gave for
 * them, one per line of tests/data/exposure_scenes.tsv: the four scene
 * values as the request's JSON numbers, then the reply's "data" object with
 * its layout whitespace removed. A build for another processor must give the
 * same bytes. With LANECAMD_WRITE_SCENES=PATH the test writes the table
 * afresh from this build instead of comparing.
 */
using SceneText = std::array<std::string, 4>; /* roadOffset, carDistance, cameraHeight, carSpeed */

const char kSceneTable[] = LANECAMD_SOURCE_DIR "/tests/data/exposure_scenes.tsv";
const size_t kGeneratedScenes = 300;

/* The data object of a set preview of scene against the tests' configuration. */
std::string preview_data(const SceneText& scene) {
  const std::string request =
      R"({"apiVersion":"1.0","method":"set","params":{"apply":false,"roadOffset":)" + scene[0] +
      R"(,"carDistance":)" + scene[1] + R"(,"cameraHeight":)" + scene[2] +
      R"(,"carSpeed":)" + scene[3] + "}}";
  handles::Json parsed(json_loads(request.c_str(), 0, nullptr));
  if (!parsed) return "unparsable request " + request;
  char* reply = handle_set(parsed.get(), "1.0", nullptr);
  const std::string text = reply ? reply : "";
  free(reply);
  const size_t start = text.find("\"data\": ");
  const size_t end = text.rfind('}');
  if (start == std::string::npos || end == std::string::npos || end < start)
    return "no data in " + text;
  std::string data;
  for (char c : text.substr(start + 8, end - start - 8))
    if (c != ' ' && c != '\n') data += c;
  return data;
}

std::string exact_text(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

/* The exposure before its rounding to single precision, computed as the
 * daemon computes it, for the configured motion blur of 0.01 (used only to
 * choose scenes). */
double unrounded_exposure(double x, double z, double y, double v) {
  z = std::min(z, 1000.0);
  const double offset = std::sqrt(y * y + x * x);
  const double distance = std::max(std::sqrt(z * z + offset * offset), 5.0);
  const double crossing = std::max((offset * v) / distance, 1.0);
  return 0.01 / crossing * 1000000.0;
}

/* A speed for x, z, y whose unrounded exposure lies within two units in
 * the last place of a tie between two single-precision values, so that the
 * smallest change in the arithmetic (a fused multiply-add, say) shows in
 * the reply's maxShutter; 0 when there is none in the speed interval. */
double speed_on_a_tie(double x, double z, double y, double target) {
  const float below = static_cast<float>(target);
  const double tie = (static_cast<double>(below) +
                      static_cast<double>(std::nextafter(below, 20000.0f))) / 2;
  /* The exposure falls as the speed grows: bisect over the doubles. */
  double low = 1e-3, high = 300;
  if (unrounded_exposure(x, z, y, low) < tie || unrounded_exposure(x, z, y, high) > tie) return 0;
  while (std::nextafter(low, high) < high) {
    const double middle = low + (high - low) / 2;
    if (middle <= low || middle >= high) break;
    (unrounded_exposure(x, z, y, middle) >= tie ? low : high) = middle;
  }
  for (double v : {low, high}) {
    const double e = unrounded_exposure(x, z, y, v);
    if (std::fabs(e - tie) <= 2 * (std::nextafter(e, 1e9) - e)) return v;
  }
  return 0;
}

/* Scenes within the configured intervals (distances mostly below the bound
 * of 1000, where the geometry counts): as a user would type them (whole
 * numbers, one decimal), as arbitrary doubles written exactly, and one in
 * five with its speed on a rounding tie of the exposure. */
std::vector<SceneText> generate_scenes() {
  const double bounds[4][2] = {{-20, 20}, {0, 1200}, {-10, 50}, {-5, 300}};
  std::mt19937_64 random(13);
  auto uniform = [&](double low, double high) {
    return low + (high - low) * (static_cast<double>(random() >> 11) * 0x1p-53);
  };
  std::vector<SceneText> scenes;
  while (scenes.size() < kGeneratedScenes) {
    const size_t kind = scenes.size() % 5;
    SceneText scene;
    if (kind == 4) {
      const double x = uniform(-20, 20), z = uniform(0, 1000), y = uniform(-10, 50);
      const double v = speed_on_a_tie(x, z, y, uniform(150, 9500));
      if (v == 0) continue;
      scene = {exact_text(x), exact_text(z), exact_text(y), exact_text(v)};
    } else {
      for (int k = 0; k < 4; ++k) {
        const double value = uniform(bounds[k][0], bounds[k][1]);
        char text[40];
        if (kind == 0)
          std::snprintf(text, sizeof text, "%.0f", std::floor(value));
        else if (kind == 1)
          std::snprintf(text, sizeof text, "%.1f", std::floor(value * 10) / 10);
        else
          std::snprintf(text, sizeof text, "%.17g", value);
        scene[k] = text;
      }
    }
    scenes.push_back(scene);
  }
  return scenes;
}

class Scenes : public ::testing::Test {
 protected:
  TempDir dir;
  void SetUp() override {
    write_file(dir.file("lanecamd.conf"), test_config_text());
    setenv("LANECAMD_CONFIG", dir.file("lanecamd.conf").c_str(), 1);
  }
};

TEST_F(Scenes, SetReplyDataMatchesTheStoredTableByteForByte) {
  if (const char* out = std::getenv("LANECAMD_WRITE_SCENES")) {
    std::ofstream table(out);
    table << "# roadOffset\tcarDistance\tcameraHeight\tcarSpeed\tset reply data\n";
    for (const auto& s : generate_scenes())
      table << s[0] << '\t' << s[1] << '\t' << s[2] << '\t' << s[3] << '\t' << preview_data(s)
            << '\n';
    ASSERT_TRUE(table.good()) << out;
    GTEST_SKIP() << "table written to " << out;
  }

  std::ifstream table(kSceneTable);
  ASSERT_TRUE(table.is_open()) << kSceneTable;
  std::string line;
  size_t rows = 0;
  int mismatches = 0;
  while (std::getline(table, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    SceneText scene;
    std::string expected;
    for (auto& f : scene) std::getline(fields, f, '\t');
    std::getline(fields, expected);
    ++rows;
    const std::string data = preview_data(scene);
    if (data != expected && ++mismatches <= 10)
      ADD_FAILURE() << "scene " << scene[0] << ' ' << scene[1] << ' ' << scene[2] << ' '
                    << scene[3] << "\n  got      " << data << "\n  expected " << expected;
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(rows, kGeneratedScenes);
}

}  // namespace
