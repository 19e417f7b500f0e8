// SPDX-License-Identifier: MIT
/*
 * What the fuzz targets share: a private temporary directory holding the
 * daemon tests' configuration file (tests/support/test_config.h), which
 * LANECAMD_CONFIG points at, a system bus
 * address that reaches nobody (so an apply fails at once instead of
 * touching a real camera), and silence for the daemon's log output, which
 * would otherwise cost more time than the code under test.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/* The fuzz entry point each target defines (libFuzzer's name). */
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

/* Creates the directory, the configuration file and the environment once
 * per process; later calls return the same directory. */
const std::string& fuzz_environment();

/* Writes the known-good configuration file again (an apply changes it). */
void fuzz_reset_config();

/* Number of open descriptors of this process. */
int fuzz_open_fds();
