// SPDX-License-Identifier: MIT
/*
 * JSON API envelope: the single entry point handle_request, the supported API
 * version "1.0", and the error replies of every method.
 */
#pragma once

#include <cstdint>

/* Serialisation flags of every reply: JSON_PRESERVE_ORDER | JSON_INDENT(2). */
#define API_DUMP_FLAGS (JSON_PRESERVE_ORDER | JSON_INDENT(2))

/*
 * Parses the NUL-terminated request text, reads its envelope and answers it:
 * getSupportedVersions here, get and set through their handlers, everything
 * malformed or unknown with its error reply. Returns a newly allocated reply
 * text that the caller releases with free(); null only when memory runs out.
 */
char* handle_request(const char* text);

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
