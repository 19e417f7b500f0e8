// SPDX-License-Identifier: MIT
/*
 * The get and set methods of the JSON API: report the stored scene values
 * with their allowed intervals, or validate new scene values and preview or
 * apply the camera settings that follow from them.
 */
#pragma once

#include <cstdint>

#include <jansson.h>

/*
 * Each takes the parsed request object (borrowed), the version text and the
 * context text or null, and returns a newly allocated reply text (success or
 * error reply) that the caller releases with free().
 */
char* handle_get(json_t* request, const char* api_version, const char* context);
char* handle_set(json_t* request, const char* api_version, const char* context);

/* Adds key to object as the array [min, max] of two JSON integers. */
void add_interval(json_t* object, const char* key, int32_t min, int32_t max);

/*
 * Reads params[key] as a double when it is a JSON integer or real with
 * min <= value <= max, storing it in destination and returning 1. Returns 0
 * after logging when it is absent, of another type or out of range.
 */
int read_number_in_range(json_t* params, const char* key, double* destination,
                         int32_t min, int32_t max);
