// SPDX-License-Identifier: MIT
#include "test_config.h"

#include <utility>
#include <vector>

std::string test_config_text(const std::map<std::string, std::string>& overrides) {
  using Keys = std::vector<std::pair<std::string, std::string>>;
  const std::vector<std::pair<std::string, Keys>> groups = {
      {"ui_state",
       {{"roadOffset", "5"}, {"carDistance", "20.5"}, {"cameraHeight", "4"}, {"carSpeed", "10"}}},
      {"ui_config",
       {{"roadOffset_min", "-20"}, {"roadOffset_max", "20"}, {"carDistance_min", "0"},
        {"carDistance_max", "5000"}, {"cameraHeight_min", "-10"}, {"cameraHeight_max", "50"},
        {"carSpeed_min", "-5"}, {"carSpeed_max", "300"}}},
      {"algo_config",
       {{"maxGain", "24"}, {"maxMotionBlur", "0.01"}, {"irisPosition", "3"}, {"wdr", "true"},
        {"autoIrisEnabled", "false"}, {"irCut", "1"}}},
  };
  std::string out = "# scene\n";
  for (const auto& [group, keys] : groups) {
    out += "[" + group + "]\n";
    for (const auto& [key, value] : keys) {
      if (overrides.count("-" + key)) continue;
      auto it = overrides.find(key);
      out += key + "=" + (it != overrides.end() ? it->second : value) + "\n";
    }
  }
  out += "[extra]\nkeep=me\n";
  return out;
}
