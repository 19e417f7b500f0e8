// SPDX-License-Identifier: MIT
/*
 * Tests of the settings module against real configuration files: loading
 * every value and each way a load fails, storing the scene values, failed
 * and interrupted stores, concurrent loads and stores, the sample
 * configuration, the configuration path and the IR-cut text forms.
 */
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "log_capture.h"
#include "settings.h"
#include "temp_dir.h"

namespace {

const int kError = 1 << G_LOG_LEVEL_USER_SHIFT;

struct Entry {
  std::string group, key, value;
  double held = 0; /* the value as the records hold it */
};

/* A complete file in the sample layout, with values chosen to show that
 * nothing is checked or normalised: negative bounds, a minimum above its
 * maximum, the int32 extremes and an IR-cut mode outside 0 to 2. */
std::vector<Entry> complete_entries() {
  return {
      {"ui_state", "roadOffset", "-2.5", -2.5},
      {"ui_state", "carDistance", "1e3", 1000},
      {"ui_state", "cameraHeight", "0.1", 0.1},
      {"ui_state", "carSpeed", "33.333333333333336", 33.333333333333336},
      {"ui_config", "roadOffset_min", "-40", -40},
      {"ui_config", "roadOffset_max", "-10", -10},
      {"ui_config", "carDistance_min", "500", 500},
      {"ui_config", "carDistance_max", "100", 100},
      {"ui_config", "cameraHeight_min", "-2147483648", -2147483648.0},
      {"ui_config", "cameraHeight_max", "2147483647", 2147483647},
      {"ui_config", "carSpeed_min", "0", 0},
      {"ui_config", "carSpeed_max", "250", 250},
      {"algo_config", "maxGain", "36.5", 36.5},
      {"algo_config", "maxMotionBlur", "0.005", 0.005},
      {"algo_config", "irisPosition", "-1", -1},
      {"algo_config", "wdr", "true", 1},
      {"algo_config", "autoIrisEnabled", "false", 0},
      {"algo_config", "irCut", "3", 3},
  };
}

/* The value of complete_entries() that the records hold for key. */
double held(const std::string& key) {
  for (const Entry& e : complete_entries())
    if (e.key == key) return e.held;
  ADD_FAILURE() << key;
  return 0;
}

constexpr int kReads = 18;

/* The record fields in the order settings_load reads them. */
std::vector<double> fields(UiState ui, AlgoConfig a) {
  std::vector<double> out;
  for (const SettingsKey& k : settings_keys) {
    void* field = settings_field(&k, &ui, &a);
    out.push_back(k.kind == SETTINGS_DOUBLE ? *static_cast<double*>(field)
                                            : *static_cast<int32_t*>(field));
  }
  return out;
}

/* Records filled with a value no file of these tests holds. */
void fill_sentinel(UiState* ui, AlgoConfig* a) {
  *ui = {-7777.25, -7777.25, -7777.25, -7777.25};
  *a = {-7777, -7777, -7777, -7777, -7777,    -7777, -7777, -7777,
        -7777.25, -7777, -7777, -7777, -7777.25, -7777};
}

/* Renders entries as key-file text, each group once, in first-seen order,
 * preceded by the given lead text (comments, extra groups). */
std::string render(const std::vector<Entry>& entries, const std::string& lead = "") {
  std::vector<std::string> groups;
  for (const Entry& e : entries)
    if (std::find(groups.begin(), groups.end(), e.group) == groups.end())
      groups.push_back(e.group);
  std::string text = lead;
  for (const std::string& g : groups) {
    text += "[" + g + "]\n";
    for (const Entry& e : entries)
      if (e.group == g) text += e.key + "=" + e.value + "\n";
    text += "\n";
  }
  return text;
}

std::vector<Entry> without_key(std::vector<Entry> entries, const std::string& key) {
  std::erase_if(entries, [&](const Entry& e) { return e.key == key; });
  return entries;
}

std::vector<Entry> with_value(std::vector<Entry> entries, const std::string& key,
                              const std::string& value) {
  for (Entry& e : entries)
    if (e.key == key) e.value = value;
  return entries;
}

std::set<std::string> dir_entries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

/* Reads one double straight from a key file, bypassing the module. */
double stored_double(const std::string& path, const char* group, const char* key) {
  GKeyFile* k = g_key_file_new();
  EXPECT_TRUE(g_key_file_load_from_file(k, path.c_str(), G_KEY_FILE_NONE, nullptr));
  GError* error = nullptr;
  double v = g_key_file_get_double(k, group, key, &error);
  EXPECT_EQ(error, nullptr) << key;
  g_clear_error(&error);
  g_key_file_free(k);
  return v;
}

class Settings : public ::testing::Test {
 protected:
  void SetUp() override { setenv("LANECAMD_CONFIG", path.c_str(), 1); }
  TempDir dir;
  std::string path = dir.file("lanecamd.conf");
  LogCapture log;
};

}  // namespace

TEST_F(Settings, CompleteFileLoadsIntoBothRecords) {
  write_file(path, render(complete_entries(), "# comment\n[extra]\nunused=1\n\n"));
  UiState ui;
  AlgoConfig algo;
  fill_sentinel(&ui, &algo);
  ASSERT_EQ(settings_load(&ui, &algo), 1);

  std::vector<double> got = fields(ui, algo);
  for (int i = 0; i < kReads; ++i) EXPECT_EQ(got[i], held(settings_keys[i].key)) << settings_keys[i].key;
  EXPECT_TRUE(log.messages().empty());
}

/* Each key missing or malformed in turn: the load stops exactly there,
 * with the fields before it written and the rest untouched, and logs only
 * that key. */
TEST_F(Settings, LoadStopsAtFirstMissingOrMalformedValue) {
  struct Case {
    std::string key, value; /* an empty value here means: key missing */
    std::string in_message; /* expected in GLib's part of the message */
  };
  std::vector<Case> cases;
  for (const SettingsKey& k : settings_keys)
    cases.push_back({k.key, "", std::string("does not have key “") + k.key + "”"});
  /* GLib's getters report a value that does not parse in these words. */
  const char* unparsable = "cannot be interpreted";
  cases.push_back({"maxGain", "fast", unparsable});
  cases.push_back({"roadOffset", " ", unparsable});
  cases.push_back({"roadOffset_min", "1.5", unparsable});
  cases.push_back({"carSpeed_max", "4294967296", unparsable});
  cases.push_back({"wdr", "yes", unparsable});
  cases.push_back({"irCut", "two", unparsable});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.key + "=" + c.value);
    int index = 0;
    while (c.key != settings_keys[index].key) ++index;
    std::vector<Entry> entries = c.value.empty() ? without_key(complete_entries(), c.key)
                                                 : with_value(complete_entries(), c.key, c.value);
    write_file(path, render(entries));
    log.clear();

    UiState ui;
    AlgoConfig algo;
    fill_sentinel(&ui, &algo);
    UiState sentinel_ui;
    AlgoConfig sentinel_algo;
    fill_sentinel(&sentinel_ui, &sentinel_algo);
    EXPECT_EQ(settings_load(&ui, &algo), 0);

    std::vector<double> got = fields(ui, algo);
    std::vector<double> untouched = fields(sentinel_ui, sentinel_algo);
    for (int i = 0; i < kReads; ++i)
      EXPECT_EQ(got[i], i < index ? held(settings_keys[i].key) : untouched[i]) << settings_keys[i].key;

    auto messages = log.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, kError);
    std::string prefix = "Element " + c.key + " in group " + settings_keys[index].group +
                         " is not available in conf file " + path + ": ";
    ASSERT_EQ(messages[0].text.rfind(prefix, 0), 0u) << messages[0].text;
    EXPECT_NE(messages[0].text.find(c.in_message, prefix.size()), std::string::npos)
        << messages[0].text;
  }
}

TEST_F(Settings, LoadWithoutUiStateGroupFailsAtFirstRead) {
  std::vector<Entry> entries = complete_entries();
  std::erase_if(entries, [](const Entry& e) { return e.group == "ui_state"; });
  write_file(path, render(entries));
  UiState ui;
  AlgoConfig algo;
  EXPECT_EQ(settings_load(&ui, &algo), 0);
  ASSERT_EQ(log.texts().size(), 1u);
  EXPECT_EQ(log.texts()[0].rfind("Element roadOffset in group ui_state is not available in conf "
                                 "file " + path + ": ",
                                 0),
            0u)
      << log.texts()[0];
  EXPECT_NE(log.texts()[0].find("“ui_state”"), std::string::npos) << log.texts()[0];
}

TEST_F(Settings, LoadOfMissingOrUnparsableFileLogsOnlyTheLoadFailure) {
  const char* contents[] = {nullptr, "this is not a key file\n", "[ui_state\nroadOffset=1\n"};
  for (const char* text : contents) {
    SCOPED_TRACE(text ? text : "(no file)");
    std::filesystem::remove(path);
    if (text) write_file(path, text);
    log.clear();
    UiState ui;
    AlgoConfig algo, sentinel_algo;
    UiState sentinel_ui;
    fill_sentinel(&ui, &algo);
    fill_sentinel(&sentinel_ui, &sentinel_algo);
    EXPECT_EQ(settings_load(&ui, &algo), 0);
    EXPECT_EQ(fields(ui, algo), fields(sentinel_ui, sentinel_algo));
    auto messages = log.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, kError);
    EXPECT_EQ(messages[0].text.rfind("Failed to load " + path + ": ", 0), 0u) << messages[0].text;
    if (!text) {
      EXPECT_NE(messages[0].text.find(g_strerror(ENOENT)), std::string::npos);
    }
  }
}

TEST_F(Settings, StoreRewritesSceneValuesAndKeepsEverythingElse) {
  std::vector<Entry> entries = complete_entries();
  entries.insert(entries.begin() + 2, {"ui_state", "note", "kept as is"});
  entries.push_back({"algo_config", "futureKnob", "7;8;9"});
  write_file(path, render(entries, "# Leading comment\n[network]\n# inner\nhost=cam-1\n\n"));

  /* Values whose text form must round-trip exactly. */
  const UiState ui = {1.0 / 3.0, -1e-300, 0.1, 1.7976931348623157e308};
  ASSERT_EQ(ui_state_store(&ui), 1);
  EXPECT_TRUE(log.messages().empty());

  EXPECT_EQ(stored_double(path, "ui_state", "roadOffset"), ui.road_offset);
  EXPECT_EQ(stored_double(path, "ui_state", "carDistance"), ui.car_distance);
  EXPECT_EQ(stored_double(path, "ui_state", "cameraHeight"), ui.camera_height);
  EXPECT_EQ(stored_double(path, "ui_state", "carSpeed"), ui.car_speed);

  std::string text = read_file(path);
  EXPECT_EQ(text.find('#'), std::string::npos) << text;
  EXPECT_NE(text.find("[network]\nhost=cam-1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("note=kept as is\n"), std::string::npos) << text;
  EXPECT_NE(text.find("futureKnob=7;8;9\n"), std::string::npos) << text;

  /* The other fourteen values read back unchanged. */
  UiState loaded;
  AlgoConfig algo;
  ASSERT_EQ(settings_load(&loaded, &algo), 1);
  std::vector<double> got = fields(loaded, algo);
  for (int i = 0; i < kReads; ++i)
    if (std::string(settings_keys[i].group) != "ui_state") {
      EXPECT_EQ(got[i], held(settings_keys[i].key)) << settings_keys[i].key;
    }
  EXPECT_EQ(loaded.road_offset, ui.road_offset);
  EXPECT_EQ(loaded.car_speed, ui.car_speed);
  EXPECT_EQ(dir_entries(dir.path()), std::set<std::string>{"lanecamd.conf"});
}

/* A store that cannot replace every scene value writes nothing at all. */
TEST_F(Settings, StoreWithMissingSceneKeyLeavesFileUntouched) {
  struct Case {
    std::vector<Entry> entries;
    const char* missing;
  };
  std::vector<Entry> no_group = complete_entries();
  std::erase_if(no_group, [](const Entry& e) { return e.group == "ui_state"; });
  const Case cases[] = {
      {without_key(complete_entries(), "carSpeed"), "carSpeed"},
      {without_key(complete_entries(), "carDistance"), "carDistance"},
      {no_group, "roadOffset"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.missing);
    std::string original = render(c.entries, "# comment stays\n");
    write_file(path, original);
    log.clear();
    const UiState ui = {1, 2, 3, 4};
    EXPECT_EQ(ui_state_store(&ui), 0);
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(dir_entries(dir.path()), std::set<std::string>{"lanecamd.conf"});
    auto messages = log.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, kError);
    EXPECT_EQ(messages[0].text,
              std::string("Element ") + c.missing + " not available in conf file " + path);
  }
}

TEST_F(Settings, StoreWithoutFileCreatesNothing) {
  const UiState ui = {1, 2, 3, 4};
  EXPECT_EQ(ui_state_store(&ui), 0);
  EXPECT_TRUE(dir_entries(dir.path()).empty());
  ASSERT_EQ(log.texts_at(kError).size(), 1u);
  EXPECT_EQ(log.texts_at(kError)[0].rfind("Failed to load " + path + ": ", 0), 0u);
  EXPECT_EQ(log.messages().size(), 1u);
}

TEST_F(Settings, FailedSyncedWriteWarnsAndKeepsOriginal) {
  std::string fs = dir.file("fs");
  std::filesystem::create_directory(fs);
  if (mount("tmpfs", fs.c_str(), "tmpfs", 0, "size=16k") != 0)
    GTEST_SKIP() << "cannot mount tmpfs: " << std::strerror(errno);
  struct Unmount {
    std::string dir;
    ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
  } unmount{fs};

  std::string conf = fs + "/lanecamd.conf";
  setenv("LANECAMD_CONFIG", conf.c_str(), 1);
  std::string original = render(complete_entries());
  write_file(conf, original);
  /* Take every remaining block, so the new contents cannot be written. */
  int fd = open((fs + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  std::string block(4096, 'x');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  close(fd);

  const UiState ui = {1, 2, 3, 4};
  EXPECT_EQ(ui_state_store(&ui), 0);
  EXPECT_EQ(read_file(conf), original);
  EXPECT_EQ(dir_entries(fs), (std::set<std::string>{"lanecamd.conf", "filler"}));
  auto messages = log.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].level, G_LOG_LEVEL_WARNING);
  EXPECT_EQ(messages[0].text, "Failed to store key file " + conf +
                                  ": Failed to write temporary file " + fs +
                                  "/.lanecamd.conf.tmp: " + g_strerror(ENOSPC) + "\n");
}

TEST_F(Settings, LoadsAndStoresReleaseTheirDescriptors) {
  write_file(path, render(complete_entries()));
  UiState ui;
  AlgoConfig algo;
  ASSERT_EQ(settings_load(&ui, &algo), 1); /* GLib's own one-time setup */
  int fds = count_open_fds();
  ASSERT_EQ(settings_load(&ui, &algo), 1);
  ASSERT_EQ(ui_state_store(&ui), 1);
  write_file(path, render(without_key(complete_entries(), "carSpeed")));
  EXPECT_EQ(settings_load(&ui, &algo), 0);
  EXPECT_EQ(ui_state_store(&ui), 0);
  std::filesystem::remove(path);
  EXPECT_EQ(settings_load(&ui, &algo), 0);
  EXPECT_EQ(count_open_fds(), fds);
}

TEST_F(Settings, SampleConfigurationLoadsAndStores) {
  std::filesystem::copy_file(LANECAMD_SOURCE_DIR "/data/lanecamd.conf", path);
  UiState ui;
  AlgoConfig algo;
  ASSERT_EQ(settings_load(&ui, &algo), 1);
  const std::map<std::string, double> expected = {
      {"roadOffset", 3},       {"carDistance", 20},      {"cameraHeight", 4},
      {"carSpeed", 10},        {"roadOffset_min", -20},  {"roadOffset_max", 20},
      {"carDistance_min", 0},  {"carDistance_max", 200}, {"cameraHeight_min", 0},
      {"cameraHeight_max", 20}, {"carSpeed_min", 0},     {"carSpeed_max", 70},
      {"maxGain", 24},         {"maxMotionBlur", 0.01},  {"irisPosition", 0},
      {"wdr", 0},              {"autoIrisEnabled", 1},   {"irCut", 2}};
  std::vector<double> got = fields(ui, algo);
  for (int i = 0; i < kReads; ++i) EXPECT_EQ(got[i], expected.at(settings_keys[i].key));

  const UiState next = {-1.5, 35.25, 6, 27.5};
  ASSERT_EQ(ui_state_store(&next), 1);
  UiState back;
  ASSERT_EQ(settings_load(&back, &algo), 1);
  EXPECT_EQ(back.car_speed, 27.5);
  EXPECT_EQ(algo.ir_cut, 2);
  EXPECT_TRUE(log.messages().empty());
}

/* A store killed at random moments, over and over: the file always parses
 * to one complete set of scene values, the previous or a newer one, and at
 * most one temporary file is ever left beside it. */
TEST_F(Settings, StoreKilledAtAnyMomentLeavesOldOrNewFile) {
  std::vector<Entry> entries = complete_entries();
  entries.push_back({"extra", "kept", "yes"});
  write_file(path, render(entries));
  /* The set numbered k holds k, k + 0.25, k + 0.5 and k + 0.75. */
  auto scene = [](double k) { return UiState{k, k + 0.25, k + 0.5, k + 0.75}; };
  UiState initial = scene(0);
  ASSERT_EQ(ui_state_store(&initial), 1);

  std::mt19937 random(12345);
  double last = 0;
  bool temp_seen = false;
  const int kRounds = 60;
  for (int round = 1; round <= kRounds; ++round) {
    const double base = round * 100000.0;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 1;; ++i) {
        UiState s = scene(base + i);
        ui_state_store(&s);
      }
    }
    usleep(std::uniform_int_distribution<int>(0, 4000)(random));
    kill(child, SIGKILL);
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);

    std::set<std::string> names = dir_entries(dir.path());
    names.erase("lanecamd.conf");
    if (!names.empty()) {
      EXPECT_EQ(names, std::set<std::string>{".lanecamd.conf.tmp"});
      temp_seen = true;
    }

    UiState ui;
    AlgoConfig algo;
    ASSERT_EQ(settings_load(&ui, &algo), 1) << "round " << round;
    double k = ui.road_offset;
    EXPECT_EQ(fields(ui, algo), fields(scene(k), algo));
    EXPECT_TRUE(k == last || (k > base && k < base + 100000)) << k;
    EXPECT_EQ(algo.ir_cut, 3);
    EXPECT_NE(read_file(path).find("[extra]\nkept=yes\n"), std::string::npos);
    last = k;
  }
  /* A leftover temporary file is reused and gone after the next store. */
  UiState final_scene = scene(1);
  ASSERT_EQ(ui_state_store(&final_scene), 1);
  EXPECT_EQ(dir_entries(dir.path()), std::set<std::string>{"lanecamd.conf"});
  RecordProperty("temporary_file_left_by_a_kill", temp_seen ? "yes" : "no");
  EXPECT_TRUE(log.messages().empty());
}

/* Loads and stores from several threads: every load sees one complete set
 * of values, and no two of them ever have the configuration file (or its
 * temporary) open at the same time. */
TEST_F(Settings, ConcurrentLoadsAndStoresNeverOverlap) {
  write_file(path, render(complete_entries()));
  auto scene = [](double k) { return UiState{k, k + 0.25, k + 0.5, k + 0.75}; };
  UiState initial = scene(0);
  ASSERT_EQ(ui_state_store(&initial), 1);

  std::atomic<bool> done{false};
  std::atomic<int> overlaps{0};
  std::atomic<int> bad_loads{0};
  /* Descriptors are taken lowest-first and nothing else in this process
   * opens files meanwhile, so two of ours listed at once were open at once. */
  std::thread watcher([&] {
    const std::string ours = dir.path();
    while (!done.load()) {
      std::vector<std::string> fds;
      DIR* d = opendir("/proc/self/fd");
      if (!d) continue;
      std::string own = std::to_string(dirfd(d));
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.' && own != e->d_name) fds.push_back(e->d_name);
      closedir(d);
      int open_ours = 0;
      for (const std::string& fd : fds) {
        char target[4096];
        ssize_t n = readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof(target) - 1);
        if (n <= 0) continue;
        std::string t(target, static_cast<size_t>(n));
        if (t == ours || t.rfind(ours + "/", 0) == 0) ++open_ours;
      }
      if (open_ours > 1) ++overlaps;
    }
  });

  const int kThreads = 4, kRounds = 150;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&, t] {
      for (int r = 1; r <= kRounds; ++r) {
        /* Half the threads store and load, the others only load. */
        if (t % 2 == 0) {
          UiState s = scene((t + 1) * 1000.0 + r);
          if (ui_state_store(&s) != 1) ++bad_loads;
        }
        UiState ui;
        AlgoConfig algo;
        if (settings_load(&ui, &algo) != 1 || ui.car_distance != ui.road_offset + 0.25 ||
            ui.camera_height != ui.road_offset + 0.5 || ui.car_speed != ui.road_offset + 0.75 ||
            algo.ir_cut != 3)
          ++bad_loads;
      }
    });
  for (std::thread& w : workers) w.join();
  done = true;
  watcher.join();

  EXPECT_EQ(bad_loads.load(), 0);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_TRUE(log.messages().empty());
  EXPECT_EQ(dir_entries(dir.path()), std::set<std::string>{"lanecamd.conf"});
}

TEST(SettingsPath, DefaultUnlessEnvironmentNamesAnother) {
  struct Case {
    const char* env; /* nullptr: unset */
    const char* expected;
  };
  const Case cases[] = {
      {nullptr, "/etc/lanecamd/lanecamd.conf"},
      {"", "/etc/lanecamd/lanecamd.conf"},
      {"/tmp/a.conf", "/tmp/a.conf"},
      {"relative.conf", "relative.conf"},
  };
  for (const Case& c : cases) {
    if (c.env)
      setenv("LANECAMD_CONFIG", c.env, 1);
    else
      unsetenv("LANECAMD_CONFIG");
    EXPECT_STREQ(settings_config_path(), c.expected) << (c.env ? c.env : "(unset)");
  }
}

TEST(IrCut, TextForms) {
  struct Case {
    int32_t mode;
    const char* text;
    bool illegal;
  };
  const Case cases[] = {
      {0, "on", false},  {1, "off", false},     {2, "auto", false},
      {3, "auto", true}, {-1, "auto", true},    {INT32_MIN, "auto", true},
  };
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_STREQ(ir_cut_to_string(c.mode), c.text) << c.mode;
    if (c.illegal) {
      ASSERT_EQ(log.messages().size(), 1u);
      EXPECT_EQ(log.messages()[0].level, kError);
      EXPECT_EQ(log.messages()[0].text, "Illegal ir_cut value: " + std::to_string(c.mode));
    } else {
      EXPECT_TRUE(log.messages().empty()) << c.mode;
    }
  }
}
