// SPDX-License-Identifier: MIT
/*
 * Fuzz target of the request path: arbitrary bytes as the JSON text that
 * the transport hands to handle_request, against a complete temporary
 * configuration and a bus that nobody answers on. Every reply must be one
 * JSON object naming its method and holding either "data" or "error".
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <jansson.h>

#include "api.h"
#include "fuzz_support.h"

namespace {

[[noreturn]] void fail(const char* what, const char* reply) {
  std::fprintf(stderr, "fuzz_request: %s\n%s\n", what, reply ? reply : "(null)");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    fuzz_environment();
    fuzz_reset_config();
    return true;
  }();
  (void)ready;

  std::string text(reinterpret_cast<const char*>(data), size);
  char* reply = handle_request(text.c_str());
  if (!reply) fail("no reply", nullptr);

  json_t* parsed = json_loads(reply, 0, nullptr);
  if (!json_is_object(parsed)) fail("reply is not one JSON object", reply);
  if (!json_is_string(json_object_get(parsed, "method"))) fail("reply names no method", reply);
  bool has_data = json_is_object(json_object_get(parsed, "data"));
  bool has_error = json_is_object(json_object_get(parsed, "error"));
  if (has_data == has_error) fail("reply needs exactly one of data and error", reply);
  json_decref(parsed);
  std::free(reply);
  return 0;
}
