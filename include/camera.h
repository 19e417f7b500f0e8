// SPDX-License-Identifier: MIT
/*
 * Camera control: pushes one CameraSettings record to the camera's
 * image-control and optics services over the system D-Bus.
 */
#pragma once

#include <cstdint>

#include "settings.h"

/*
 * Opens a system-bus connection of its own, writes the exposure limit, gain,
 * iris position, automatic-iris switch and wide dynamic range, then applies
 * the IR-cut mode through the optics service or an image-control property, as
 * the image-control service's optics flag says, and closes the connection.
 * Returns 1 when every call succeeded (the optics-flag read may fail); 0 after
 * logging otherwise. Settings sent before a failing call stay applied. An
 * exposure limit or gain that is not a finite number is refused before the
 * bus is opened: nothing is sent.
 */
int camera_apply_settings(const CameraSettings* settings);

/*
 * Converts a double to a signed 32-bit integer for the bus: truncation toward
 * zero, saturating at the ends of the range, 0 for a value that is not a
 * number.
 */
int32_t camera_int32_from_double(double value);
