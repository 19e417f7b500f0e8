// SPDX-License-Identifier: MIT
/*
 * The daemon's logging state: the debug flag that every trace tests. Kept
 * apart from the service frame, which sets it, so that a module and its
 * unit test link only what they use.
 */
#include "log.h"

bool debug_enabled = false;
