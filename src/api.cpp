// SPDX-License-Identifier: MIT
/*
 * JSON API envelope.
 *
 * Every request is one JSON object with the members "apiVersion", "context"
 * and "method" (each counting only when it is a string). getSupportedVersions
 * is answered here whatever the version; every other method needs the one
 * supported version "1.0" and goes to its handler. Every reply is a single
 * object serialised with its members in the order they were added and two
 * spaces of indentation; the request's "context" is echoed unchanged.
 */
#include "api.h"

#include <jansson.h>

#include "handles.h"
#include "log.h"
#include "methods.h"
#include "reply.h"

namespace {

const char kMethodVersions[] = "getSupportedVersions";

/* A member counts only when it is present and a string. */
const char* string_member(json_t* request, const char* key) {
  return json_string_value(json_object_get(request, key));
}

/* The versions reply has no "apiVersion". */
char* versions_reply(const char* context) {
  json_t* versions = json_array();
  json_array_append_new(versions, json_string(kSupportedApiVersion));
  json_t* data = json_object();
  json_object_set_new(data, "apiVersions", versions);
  return build_success_reply(nullptr, context, kMethodVersions, data);
}

}  // namespace

char* handle_request(const char* text) {
  /* Text after the first complete value is ignored. */
  handles::Json request(json_loads(text, JSON_DISABLE_EOF_CHECK, nullptr));
  if (!request) return build_error_reply(1004, nullptr, nullptr, nullptr);

  const char* version = string_member(request.get(), "apiVersion");
  const char* context = string_member(request.get(), "context");
  const char* method = string_member(request.get(), "method");

  if (!method) return build_error_reply(1003, version, context, nullptr);
  if (g_strcmp0(method, kMethodVersions) == 0) return versions_reply(context);
  if (!version) return build_error_reply(1003, nullptr, context, method);
  if (g_strcmp0(version, kSupportedApiVersion) != 0)
    return build_error_reply(1001, version, context, method);

  log_trace("%s->%s: ver: %s, context:%s", method, version, context ? context : "(null)");

  if (g_strcmp0(method, "get") == 0) return handle_get(request.get(), version, context);
  if (g_strcmp0(method, "set") == 0) return handle_set(request.get(), version, context);
  return build_error_reply(1002, version, context, method);
}
