// SPDX-License-Identifier: MIT
/*
 * Fuzz target of the configuration loader: arbitrary bytes as the whole
 * configuration file, read by settings_load. A load that succeeds must
 * report intervals and modes exactly as written, so it is checked against
 * an independent read of the same file; and the get reply must then hold
 * all its data or be an error, never a success without a value that JSON
 * cannot write (a NaN or an infinity).
 */
#include <cstdio>
#include <cstdlib>
#include <string>

#include <glib.h>
#include <jansson.h>

#include "fuzz_support.h"
#include "methods.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string config = fuzz_environment() + "/lanecamd.conf";
  // A plain rewrite: the durable replacement would cost a sync per input.
  std::FILE* f = std::fopen(config.c_str(), "wb");
  if (!f || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0)
    std::abort();

  UiState ui{};
  AlgoConfig algo{};
  if (!settings_load(&ui, &algo)) return 0;

  GKeyFile* kf = g_key_file_new();
  if (!g_key_file_load_from_file(kf, config.c_str(), G_KEY_FILE_NONE, nullptr)) {
    std::fprintf(stderr, "fuzz_settings: loaded a file that does not parse\n");
    std::abort();
  }
  gint speed_max = g_key_file_get_integer(kf, "ui_config", "carSpeed_max", nullptr);
  gint ir_cut = g_key_file_get_integer(kf, "algo_config", "irCut", nullptr);
  g_key_file_free(kf);
  if (speed_max != algo.car_speed_max || ir_cut != algo.ir_cut) {
    std::fprintf(stderr, "fuzz_settings: loaded values differ from the file\n");
    std::abort();
  }
  char* text = handle_get(nullptr, "1.0", nullptr);
  json_t* reply = json_loads(text, 0, nullptr);
  json_t* got = json_object_get(reply, "data");
  if (got ? json_object_size(got) != 8 : !json_object_get(reply, "error")) {
    std::fprintf(stderr, "fuzz_settings: a get reply lacks a member\n%s\n", text);
    std::abort();
  }
  json_decref(reply);
  std::free(text);
  return 0;
}
