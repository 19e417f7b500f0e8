// SPDX-License-Identifier: MIT
/*
 * Ending the daemon while it works: SIGTERM with requests and applies in
 * flight must end it cleanly (status 0, no sanitizer report), and SIGKILL at
 * any moment of an apply storm must leave a complete configuration file
 * that holds exactly one scene some request sent, never a mixture.
 */
#include <gtest/gtest.h>

#include <glib.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <optional>
#include <tuple>
#include <random>
#include <set>
#include <thread>

#include "daemon_stack.h"
#include "transfer_client.h"

using namespace std::chrono_literals;

namespace {

/* The scene of set number i: every value is i's own, so a file mixing two
 * applications cannot match any one of them. */
struct Scene {
  int x, z, y, v;
  bool operator<(const Scene& o) const {
    return std::tie(x, z, y, v) < std::tie(o.x, o.z, o.y, o.v);
  }
};
Scene scene_of(int i) { return {i % 41 - 20, 100 + i % 4800, i % 50 + 1, 300 - i % 290}; }

std::string apply_request(const Scene& s, bool apply = true) {
  return cgi_message(std::string(R"({"apiVersion":"1.0","method":"set","params":{"apply":)") +
                     (apply ? "true" : "false") + R"(,"roadOffset":)" + std::to_string(s.x) +
                     R"(,"carDistance":)" + std::to_string(s.z) + R"(,"cameraHeight":)" +
                     std::to_string(s.y) + R"(,"carSpeed":)" + std::to_string(s.v) + "}}");
}

/* The stored file as the daemon would read it. Fails the test when it is not
 * a complete configuration; returns the stored scene, or nullopt for the
 * initial one. */
std::optional<Scene> stored_scene(const std::string& path) {
  GKeyFile* kf = g_key_file_new();
  GError* error = nullptr;
  std::optional<Scene> result;
  if (!g_key_file_load_from_file(kf, path.c_str(), G_KEY_FILE_NONE, &error)) {
    ADD_FAILURE() << "configuration does not load: " << error->message;
    g_clear_error(&error);
    g_key_file_free(kf);
    return result;
  }
  const char* ints[][2] = {{"ui_config", "roadOffset_min"}, {"ui_config", "carSpeed_max"},
                           {"algo_config", "irisPosition"}, {"algo_config", "irCut"}};
  for (auto& k : ints) {
    g_key_file_get_integer(kf, k[0], k[1], &error);
    EXPECT_EQ(error, nullptr) << k[1] << " lost";
    g_clear_error(&error);
  }
  EXPECT_TRUE(g_key_file_has_key(kf, "extra", "keep", nullptr));
  double x = g_key_file_get_double(kf, "ui_state", "roadOffset", nullptr);
  double z = g_key_file_get_double(kf, "ui_state", "carDistance", nullptr);
  double y = g_key_file_get_double(kf, "ui_state", "cameraHeight", nullptr);
  double v = g_key_file_get_double(kf, "ui_state", "carSpeed", nullptr);
  g_key_file_free(kf);
  if (x == 5 && z == 20.5 && y == 4 && v == 10) return result;
  result = Scene{static_cast<int>(x), static_cast<int>(z), static_cast<int>(y), static_cast<int>(v)};
  EXPECT_TRUE(x == result->x && z == result->z && y == result->y && v == result->v)
      << "stored values are not whole numbers: " << x << " " << z << " " << y << " " << v;
  return result;
}

class Shutdown : public DaemonStack {
 protected:
  /* Clients sending applies (and, with mixed, gets and previews) until
   * stop is set; each application's scene number is taken from next. */
  std::vector<std::thread> storm(int clients, bool mixed, std::atomic<bool>* stop,
                                 std::atomic<int>* next, std::atomic<int>* unfinished) {
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
      threads.emplace_back([=, this] {
        std::mt19937 rng(static_cast<unsigned>(c));
        while (!stop->load()) {
          int i = next->fetch_add(1);
          int pick = mixed ? static_cast<int>(rng() % 3) : 0;
          std::string message =
              pick == 0   ? apply_request(scene_of(i))
              : pick == 1 ? apply_request(scene_of(i), false)
                          : cgi_message(R"({"apiVersion":"1.0","method":"get"})");
          bool timed_out = false;
          int pair[2];
          if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) break;
          bool sent = send_datagram(socket_path, message, {pair[0]});
          close(pair[0]);
          std::string reply = sent ? read_to_eof(pair[1], 10s, &timed_out) : "";
          close(pair[1]);
          if (reply == kBusyReply) std::this_thread::sleep_for(300us);
          if (timed_out) ++*unfinished;
          if (!sent) std::this_thread::sleep_for(1ms); /* the daemon is gone */
        }
      });
    }
    return threads;
  }
};

TEST_F(Shutdown, SigtermWithAppliesInFlightEndsCleanlyAndKeepsTheFileWhole) {
  // Slow enough that both admitted requests are inside an application
  // most of the time.
  ASSERT_TRUE(start_bus({.delay = {"MaxGain:20", "SetDayNightMode:20"}}));
  for (int round = 0; round < 3; ++round) {
    write_config();
    auto daemon = start_daemon(options({"-n"}));
    std::atomic<bool> stop{false};
    std::atomic<int> next{round * 100000}, unfinished{0};
    const long before = bus.stats().applications;
    auto threads = storm(4, true, &stop, &next, &unfinished);
    // Under a memory checker the daemon needs far longer to get going.
    for (int i = 0; i < 3000 && bus.stats().applications < before + 3; ++i)
      std::this_thread::sleep_for(5ms);
    const long applied = bus.stats().applications;

    int status = daemon->stop(SIGTERM);
    stop = true;
    for (auto& t : threads) t.join();
    ASSERT_GE(applied, before + 3) << "round " << round << "\n" << daemon->out();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status
                                                                  << "\n" << daemon->err();
    EXPECT_EQ(daemon->err().find("Sanitizer"), std::string::npos) << daemon->err();
    EXPECT_EQ(daemon->err().find("runtime error"), std::string::npos) << daemon->err();
    EXPECT_EQ(unfinished.load(), 0) << "a client was left waiting after the exit";
    std::optional<Scene> s = stored_scene(config_path);
    if (s) {
      std::set<Scene> sent;
      for (int i = round * 100000; i < next.load(); ++i) sent.insert(scene_of(i));
      EXPECT_TRUE(sent.count(*s)) << "stored scene was never sent";
    }
  }
}

TEST_F(Shutdown, SlowSigkillDuringAnApplyStormLeavesOneSentScene) {
  ASSERT_TRUE(start_bus());
  write_config();
  std::mt19937 rng(7);
  std::atomic<int> next{0};
  std::set<Scene> sent_so_far;
  int changed = 0;
  for (int round = 0; round < 25; ++round) {
    auto daemon = start_daemon(options({"-n"}));
    std::atomic<bool> stop{false};
    std::atomic<int> unfinished{0};
    int first = next.load();
    const long before = bus.stats().applications;
    auto threads = storm(3, false, &stop, &next, &unfinished);
    // The storm is under way once the camera sees applications; the kill
    // comes at a random moment after that.
    for (int i = 0; i < 3000 && bus.stats().applications == before; ++i)
      std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 60000));
    kill(daemon->pid(), SIGKILL);
    daemon->wait_exit(10s);
    stop = true;
    for (auto& t : threads) t.join();
    for (int i = first; i < next.load(); ++i) sent_so_far.insert(scene_of(i));

    std::optional<Scene> s = stored_scene(config_path);
    if (::testing::Test::HasFailure()) FAIL() << "round " << round;
    if (s) {
      ++changed;
      ASSERT_TRUE(sent_so_far.count(*s)) << "round " << round << ": stored scene never sent";
    }
  }
  EXPECT_GT(changed, 0) << "no apply ever reached the file";
}

}  // namespace
