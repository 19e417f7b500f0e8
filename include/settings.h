// SPDX-License-Identifier: MIT
/*
 * Settings: the records that carry every setting between the configuration
 * file, the JSON methods, the exposure computation and the camera control,
 * and the configuration file that holds them.
 *
 * The records are plain value types, filled by the callee through a pointer
 * and kept on the caller's stack for one request. The configuration file is
 * one GLib key file, read afresh for every request under settings_file_lock.
 */
#pragma once

#include <cstddef>
#include <cstdint>

#include <glib.h>

/* The scene as the user describes it. */
struct UiState {
  double road_offset;   /* x: sideways offset between camera and track */
  double car_distance;  /* z: distance along the road to the capture point */
  double camera_height; /* y: camera height above the vehicles */
  double car_speed;     /* v: vehicle speed */
};

/* Allowed ranges and algorithm parameters from the configuration file. */
struct AlgoConfig {
  int32_t road_offset_min;
  int32_t road_offset_max;
  int32_t car_distance_min;
  int32_t car_distance_max;
  int32_t camera_height_min;
  int32_t camera_height_max;
  int32_t car_speed_min;
  int32_t car_speed_max;
  double max_gain;
  int32_t wdr;               /* boolean, 0 or 1 */
  int32_t auto_iris_enabled; /* boolean, 0 or 1 */
  int32_t iris_position;
  double max_motion_blur;
  int32_t ir_cut; /* IR-cut mode: 0 on, 1 off, 2 auto */
};

/* What the exposure computation produces and the camera control applies. */
struct CameraSettings {
  double max_exposure_time; /* rounded to single precision, 100 to 10000 */
  double max_gain;
  int32_t wdr;
  int32_t iris_enabled;
  int32_t iris_position;
  int32_t ir_cut;
};

/* IR-cut modes and their text forms "on", "off" and "auto". */
enum : int32_t { IR_CUT_ON = 0, IR_CUT_OFF = 1, IR_CUT_AUTO = 2 };

/*
 * Text form of an IR-cut mode for the set reply. Any value outside 0 to 2
 * gives "auto" after logging "%sIllegal ir_cut value: %d" at the error level.
 * Never fails; the text has static storage.
 */
const char* ir_cut_to_string(int32_t mode);

/*
 * The keys of the configuration file, one table for reading and writing:
 * each key's group and name, how GLib reads its value (a boolean is held as
 * 0 or 1 in an int32_t), and where it is held: at offset in UiState for the
 * group "ui_state", in AlgoConfig for the others. settings_load reads the
 * eighteen in this order; ui_state_store replaces the "ui_state" ones.
 */
enum SettingsKind : int32_t { SETTINGS_DOUBLE, SETTINGS_INT32, SETTINGS_BOOL };

struct SettingsKey {
  const char* group;
  const char* key;
  SettingsKind kind;
  size_t offset;
};

extern const SettingsKey settings_keys[18];

/* The field of ui (group "ui_state") or algo (the others) that holds key. */
void* settings_field(const SettingsKey* key, UiState* ui, AlgoConfig* algo);

/*
 * Path of the configuration file: "/etc/lanecamd/lanecamd.conf", or the value
 * of LANECAMD_CONFIG when that is set and not empty (tests, local runs).
 */
const char* settings_config_path();

/*
 * Reads all eighteen settings into the two records, under settings_file_lock.
 * Returns 1 when every value was read; 0 after logging the first failure. On
 * 0 the fields read before the failing key are written, the later ones are
 * untouched, and the caller does not use the records. What is not a regular
 * file at the path (a FIFO, a device) fails at once, as GLib words it: "Not
 * a regular file".
 */
int settings_load(UiState* ui, AlgoConfig* algo);

/*
 * Replaces the four "ui_state" values in the configuration file and writes
 * the whole file back durably, under settings_file_lock. Never creates a
 * group or key. Returns 1 on success; 0 after logging. A failure before the
 * write leaves the file on storage untouched.
 */
int ui_state_store(const UiState* ui);

/*
 * settings_apply_lock: held by a set with apply from before its store until
 * its camera update has returned, so that the camera's last applied settings
 * always belong to the scene the file holds last, however the requests
 * interleave. Taken before settings_file_lock (which each load and store
 * take inside it) and never while that is held. get and previews never take
 * it, so they never wait for a camera.
 *
 * Its cost: two applies take turns at the camera. While one sends its
 * settings the other waits in the second worker, so both workers are taken
 * and every other request is answered 503 until the first apply's camera
 * calls are done; two slow applies now hold the workers for the sum of
 * their camera times instead of the longer one. A camera that does not
 * answer holds the first apply up to the bus's 25-second timeout per call,
 * and the second waits all that time before it sends its own.
 *
 * A statically allocated GMutex, usable without initialisation and never
 * destroyed.
 */
extern GMutex settings_apply_lock;
