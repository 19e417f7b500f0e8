// SPDX-License-Identifier: MIT
/*
 * Exposure computation.
 *
 * The longest exposure during which a vehicle passing the capture point
 * moves across the camera's line of sight by no more than the configured
 * motion blur: the vehicle's speed times the sine of the angle between its
 * line of travel and the line of sight gives the crossing speed, and the
 * blur divided by it the time. The time is bounded to [100, 10000]
 * microseconds and rounded to single precision for the camera.
 *
 * Every bound is an ordinary ordered comparison, which is false for NaN: a
 * value that is not a number passes the bounds untouched and the result is
 * not a number either, rather than a plausible exposure made up from it.
 */
#include "exposure.h"

#include <cmath>

#include "camera.h"
#include "log.h"

namespace {

const double kCarDistanceMax = 1000.0;
const double kCarCamDistanceMin = 5.0;
const double kCrossingSpeedMin = 1.0;
const double kMicrosecondsPerSecond = 1000000.0;
const double kExposureMax = 10000.0;
const double kExposureMin = 100.0;

/* Each product is rounded before the sum: the build keeps contraction off. */
double hypotenuse(double a, double b) { return std::sqrt(a * a + b * b); }

}  // namespace

int algo_handle_get(const UiState* scene, const AlgoConfig* config, CameraSettings* settings,
                    int apply) {
  log_trace("%sEntering algo_handle_get()\n");

  const double x = scene->road_offset;
  const double y = scene->camera_height;
  const double v = scene->car_speed;
  double z = scene->car_distance;

  if (z > kCarDistanceMax) {
    z = kCarDistanceMax;
    log_trace("%sClamping car distance.\n");
  }
  log_trace("%sv = %f, x = %f, y = %f, z = %f\n", v, x, y, z);

  const double cam_offset = hypotenuse(y, x);
  double car_cam_distance = hypotenuse(z, cam_offset);
  if (car_cam_distance < kCarCamDistanceMin) {
    car_cam_distance = kCarCamDistanceMin;
    log_trace("%sClamping car_cam_distance.\n");
  }
  log_trace("%scam_offset = %f, car_cam_distance = %f\n", cam_offset, car_cam_distance);

  double crossing_speed = (cam_offset * v) / car_cam_distance;
  if (crossing_speed < kCrossingSpeedMin) crossing_speed = kCrossingSpeedMin;

  const double t_max = config->max_motion_blur / crossing_speed;
  log_trace("%st_max = %f\n", t_max);

  double max_exposure_time = t_max * kMicrosecondsPerSecond;
  if (max_exposure_time > kExposureMax)
    max_exposure_time = kExposureMax;
  else if (max_exposure_time < kExposureMin)
    max_exposure_time = kExposureMin;
  log_trace("%smax_exposure_time = %f\n", max_exposure_time);

  settings->max_exposure_time = static_cast<double>(static_cast<float>(max_exposure_time));
  settings->max_gain = config->max_gain;
  settings->wdr = config->wdr;
  settings->iris_enabled = config->auto_iris_enabled;
  settings->iris_position = config->iris_position;
  settings->ir_cut = config->ir_cut;

  int result = 1;
  if (apply) {
    log_trace("%sApplying settings!\n");
    /* A camera that did not take the settings is a failure of the request,
     * not a success with settings that were never applied. */
    if (!camera_apply_settings(settings)) result = 0;
  }

  log_trace("%sExiting algo_handle_get()\n");
  return result;
}
