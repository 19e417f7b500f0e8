// SPDX-License-Identifier: MIT
/*
 * The get and set methods of the JSON API.
 *
 * get reports the four scene values stored in the configuration file, each
 * with the interval the configuration allows for it. set validates four new
 * scene values against those intervals and either previews the camera
 * settings that follow from them or, with "apply", stores the values and
 * pushes the settings to the camera. Both read the whole configuration
 * afresh; validation is complete before anything is stored or sent.
 */
#include "methods.h"

#include <cmath>
#include <cstdint>

#include "exposure.h"
#include "handles.h"
#include "log.h"
#include "reply.h"
#include "settings.h"

namespace {

/* Serialises a success reply of get or set, traced when debugging. */
char* success_reply(const char* api_version, const char* context, const char* method,
                    json_t* data) {
  char* text = build_success_reply(api_version, context, method, data);
  if (text) log_trace("%sReturn:\n%s", text);
  return text;
}

/* Adds value to object under key, or returns 0 after logging when there is
 * no value: json_object_set_new would drop the member without a word. */
int add_member(json_t* object, const char* key, json_t* value) {
  if (json_object_set_new(object, key, value) == 0) return 1;
  log_error("%sCannot add %s to the reply", key);
  return 0;
}

/* JSON has no NaN or infinity (json_real gives no value for them): such a
 * value makes the request fail rather than its reply lack the member. */
int add_real(json_t* object, const char* key, double value) {
  if (!std::isfinite(value)) {
    log_error("%sCannot write %s=%f as a JSON number", key, value);
    return 0;
  }
  return add_member(object, key, json_real(value));
}

/* Adds key to object as the array [min, max] of two JSON integers. */
int add_interval(json_t* object, const char* key, int32_t min, int32_t max) {
  json_t* interval = json_array();
  json_array_append_new(interval, json_integer(static_cast<json_int_t>(min)));
  json_array_append_new(interval, json_integer(static_cast<json_int_t>(max)));
  return add_member(object, key, interval);
}

/*
 * Reads params[key] as a double when it is a JSON integer or real with
 * min <= value <= max, storing it in destination and returning 1. Returns 0
 * after logging when it is absent, of another type or out of range.
 */
int read_number_in_range(json_t* params, const char* key, double* destination, int32_t min,
                         int32_t max) {
  json_t* member = json_object_get(params, key);
  if (!json_is_number(member)) {
    log_error("%sElement %s element missing or incorrect type.", key);
    return 0;
  }
  double value = json_number_value(member);
  if (static_cast<double>(min) <= value && value <= static_cast<double>(max)) {
    *destination = value;
    return 1;
  }
  log_error("%sElement %s out of range (%d-%d)", key, min, max);
  return 0;
}

/*
 * Fills settings from scene. With apply, first stores scene and then has the
 * camera take the settings, both under settings_apply_lock, so that the
 * camera's last settings are always those of the scene stored last.
 * Returns 0 when the store or the camera failed (each logs its own).
 */
int compute_settings(const UiState* scene, const AlgoConfig* algo, CameraSettings* settings,
                     int apply) {
  if (!apply) return algo_handle_get(scene, algo, settings, 0);
  g_mutex_lock(&settings_apply_lock);
  const int done = ui_state_store(scene) && algo_handle_get(scene, algo, settings, 1);
  g_mutex_unlock(&settings_apply_lock);
  return done;
}

/* The data members of a set reply; 0 after logging the first that fails. */
int add_settings(json_t* data, const CameraSettings* s) {
  const auto position = static_cast<json_int_t>(static_cast<uint32_t>(s->iris_position));
  return add_real(data, "maxGain", s->max_gain) &&
         add_real(data, "maxShutter", s->max_exposure_time) &&
         add_member(data, "wdr", json_boolean(s->wdr != 0)) &&
         add_member(data, "irCut", json_string(ir_cut_to_string(s->ir_cut))) &&
         add_member(data, "irisEnabled", json_boolean(s->iris_enabled != 0)) &&
         add_member(data, "irisPosition", json_integer(position));
}

}  // namespace

char* handle_get(json_t*, const char* api_version, const char* context) {
  UiState ui;
  AlgoConfig algo;
  if (!settings_load(&ui, &algo)) return build_error_reply(1000, api_version, context, "get");

  handles::Json data(json_object());
  json_t* d = data.get();
  if (!add_real(d, "roadOffset", ui.road_offset) ||
      !add_interval(d, "roadOffsetInterval", algo.road_offset_min, algo.road_offset_max) ||
      !add_real(d, "carDistance", ui.car_distance) ||
      !add_interval(d, "carDistanceInterval", algo.car_distance_min, algo.car_distance_max) ||
      !add_real(d, "cameraHeight", ui.camera_height) ||
      !add_interval(d, "cameraHeightInterval", algo.camera_height_min, algo.camera_height_max) ||
      !add_real(d, "carSpeed", ui.car_speed) ||
      !add_interval(d, "carSpeedInterval", algo.car_speed_min, algo.car_speed_max))
    return build_error_reply(1000, api_version, context, "get");
  return success_reply(api_version, context, "get", data.release());
}

char* handle_set(json_t* request, const char* api_version, const char* context) {
  UiState stored;
  AlgoConfig algo;
  if (!settings_load(&stored, &algo)) return build_error_reply(1000, api_version, context, "set");

  json_t* params = json_object_get(request, "params");
  if (!params) {
    log_error("%sparams element missing");
    return build_error_reply(1003, api_version, context, "set");
  }
  json_t* apply_member = json_object_get(params, "apply");
  if (!json_is_boolean(apply_member)) {
    log_error("%sElement apply element missing or incorrect type.");
    return build_error_reply(1003, api_version, context, "set");
  }
  const int apply = json_is_true(apply_member) ? 1 : 0;

  UiState scene;
  if (!read_number_in_range(params, "roadOffset", &scene.road_offset, algo.road_offset_min,
                            algo.road_offset_max) ||
      !read_number_in_range(params, "carDistance", &scene.car_distance, algo.car_distance_min,
                            algo.car_distance_max) ||
      !read_number_in_range(params, "cameraHeight", &scene.camera_height,
                            algo.camera_height_min, algo.camera_height_max) ||
      !read_number_in_range(params, "carSpeed", &scene.car_speed, algo.car_speed_min,
                            algo.car_speed_max))
    return build_error_reply(1003, api_version, context, "set");

  log_trace("%s->set: apply:%d, road_offset:%f, car_distance:%f, camera_height:%f, car_speed:%f",
            apply, scene.road_offset, scene.car_distance, scene.camera_height, scene.car_speed);

  CameraSettings settings;
  if (!compute_settings(&scene, &algo, &settings, apply))
    return build_error_reply(1000, api_version, context, "set");

  handles::Json data(json_object());
  if (!add_settings(data.get(), &settings)) return build_error_reply(1000, api_version, context, "set");
  return success_reply(api_version, context, "set", data.release());
}
