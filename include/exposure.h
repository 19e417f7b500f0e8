// SPDX-License-Identifier: MIT
/*
 * Exposure computation: from the scene of one set request and the
 * configuration to the camera settings, bounded so that motion blur stays
 * within the configured limit.
 */
#pragma once

#include "settings.h"

/*
 * Fills every field of settings from scene and config. When apply is non-zero
 * the filled record is passed to camera_apply_settings. Returns 1, or 0 when
 * apply was asked for and the camera did not take the settings (the record is
 * filled all the same). Traces each step while debug_enabled is set. Takes no
 * lock and allocates nothing.
 */
int algo_handle_get(const UiState* scene, const AlgoConfig* config,
                    CameraSettings* settings, int apply);
