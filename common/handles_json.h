// SPDX-License-Identifier: MIT
/*
 * Scope guards for jansson's handles: a JSON value, released by reference
 * count, and the text json_dumps allocates. Both accept an empty handle.
 */
#pragma once

#include <cstdlib>
#include <memory>

#include <jansson.h>

namespace handles {

struct JsonDecref {
  void operator()(json_t* j) const { json_decref(j); }
};
using Json = std::unique_ptr<json_t, JsonDecref>;

struct Free {
  void operator()(void* p) const { std::free(p); }
};
using JsonText = std::unique_ptr<char, Free>;

}  // namespace handles
