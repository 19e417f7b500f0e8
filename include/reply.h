// SPDX-License-Identifier: MIT
/*
 * Reply documents of the JSON API, for the envelope (api) and the methods
 * alike: the members every reply shares, the error replies with their fixed
 * messages, and the one serialisation of every reply, jansson's json_dumps
 * with JSON_PRESERVE_ORDER | JSON_INDENT(2) (members in the order they were
 * added, two spaces of indentation, no line end after the closing brace).
 * Nothing here logs.
 */
#pragma once

#include <cstdint>

#include <jansson.h>

/* The one API version the daemon speaks: what getSupportedVersions lists
 * and an error reply shows when the request named none. */
inline constexpr char kSupportedApiVersion[] = "1.0";

/*
 * Builds and serialises a success reply: "apiVersion" (only when api_version
 * is not null), "context" (only when not null), "method", then "data", which
 * the reply takes over. Returns newly allocated text owned by the caller
 * (free()); null only when memory runs out.
 */
char* build_success_reply(const char* api_version, const char* context, const char* method,
                          json_t* data);

/*
 * Builds and serialises an error reply: "apiVersion" (api_version or "1.0"),
 * "context" (only when not null), "method" (method or "unknown") and "error"
 * with "code" and "message". Returns newly allocated text owned by the caller
 * (free()); null only when memory runs out.
 */
char* build_error_reply(int32_t code, const char* api_version,
                        const char* context, const char* method);

/* The fixed message of an error code; "" for a code outside 1000 to 1004. */
const char* error_message_for_code(int32_t code);
