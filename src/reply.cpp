// SPDX-License-Identifier: MIT
/*
 * Reply documents of the JSON API.
 *
 * Every reply is one object that begins with the same members in the same
 * order, "apiVersion", "context" (only when the request had one) and
 * "method", and is serialised the same way; only "data" or "error" differ.
 */
#include "reply.h"

#include "handles.h"

namespace {

const size_t kDumpFlags = JSON_PRESERVE_ORDER | JSON_INDENT(2);

/* The members every reply begins with; api_version is left out when null. */
handles::Json envelope(const char* api_version, const char* context, const char* method) {
  handles::Json reply(json_object());
  if (api_version) json_object_set_new(reply.get(), "apiVersion", json_string(api_version));
  if (context) json_object_set_new(reply.get(), "context", json_string(context));
  json_object_set_new(reply.get(), "method", json_string(method));
  return reply;
}

}  // namespace

char* build_success_reply(const char* api_version, const char* context, const char* method,
                          json_t* data) {
  handles::Json reply = envelope(api_version, context, method);
  json_object_set_new(reply.get(), "data", data);
  return json_dumps(reply.get(), kDumpFlags);
}

const char* error_message_for_code(int32_t code) {
  switch (code) {
    case 1000:
      return "internal error";
    case 1001:
      return "incorrect protocol version";
    case 1002:
      return "unknown method";
    case 1003:
      return "invalid argument";
    case 1004:
      return "invalid request";
    default:
      return "";
  }
}

char* build_error_reply(int32_t code, const char* api_version, const char* context,
                        const char* method) {
  handles::Json reply = envelope(api_version ? api_version : kSupportedApiVersion, context,
                                 method ? method : "unknown");
  json_t* error = json_object();
  json_object_set_new(error, "code", json_integer(code));
  json_object_set_new(error, "message", json_string(error_message_for_code(code)));
  json_object_set_new(reply.get(), "error", error);
  return json_dumps(reply.get(), kDumpFlags);
}
