// SPDX-License-Identifier: MIT
/*
 * Cost of one exposure computation without applying it (what a set preview
 * adds to a request).
 */
#include <benchmark/benchmark.h>

#include "exposure.h"

namespace {

void BM_ExposurePreview(benchmark::State& state) {
  const UiState scene{3, 20, 4, 10};
  AlgoConfig config{};
  config.max_motion_blur = 0.01;
  config.max_gain = 24;
  CameraSettings settings;
  for (auto _ : state) {
    benchmark::DoNotOptimize(algo_handle_get(&scene, &config, &settings, 0));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ExposurePreview);

}  // namespace
