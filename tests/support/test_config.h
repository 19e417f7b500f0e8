// SPDX-License-Identifier: MIT
/*
 * The configuration file the daemon tests run against: every key with a
 * known value, negative lower bounds, and a group the daemon does not use.
 */
#pragma once

#include <map>
#include <string>

/* The complete file; overrides replace a key's value, and a key written as
 * "-key" is left out. */
std::string test_config_text(const std::map<std::string, std::string>& overrides = {});
