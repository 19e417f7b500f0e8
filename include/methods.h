// SPDX-License-Identifier: MIT
/*
 * The get and set methods of the JSON API: report the stored scene values
 * with their allowed intervals, or validate new scene values and preview or
 * apply the camera settings that follow from them.
 */
#pragma once

#include <jansson.h>

/*
 * Each takes the parsed request object (borrowed), the version text and the
 * context text or null, and returns a newly allocated reply text (success or
 * error reply) that the caller releases with free().
 */
char* handle_get(json_t* request, const char* api_version, const char* context);
char* handle_set(json_t* request, const char* api_version, const char* context);
