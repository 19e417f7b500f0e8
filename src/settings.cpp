// SPDX-License-Identifier: MIT
/*
 * Settings: the text form of IR-cut modes and the configuration file.
 *
 * The configuration file is one GLib key file with the groups "ui_state",
 * "ui_config" and "algo_config". Nothing is cached: every load and every
 * store creates its own key file, parses the file afresh and frees the key
 * file at its end, all while settings_file_lock is held, so the loads and
 * stores of this process never overlap and a load that waits for a store
 * reads the stored values. Only the four "ui_state" values are ever
 * written; no group or key is ever created. The file is written back whole
 * with a durable, atomic replacement. Only a regular file is read: a FIFO
 * or a device at the path fails the load at once.
 */
#include "settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "confutils.h"
#include "handles.h"
#include "handles_fd.h"
#include "log.h"

static const char kDefaultConfigPath[] = "/etc/lanecamd/lanecamd.conf";
static const char kUiState[] = "ui_state";
static const char kUiConfig[] = "ui_config";
static const char kAlgoConfig[] = "algo_config";

/* Held for each whole load or store, from before its key file is created
 * until after it is freed. Static storage makes it usable without
 * initialisation; it is never destroyed. */
static GMutex settings_file_lock;

/* Orders applies against each other; see settings.h. */
GMutex settings_apply_lock;

namespace {

class SettingsFileLock {
 public:
  SettingsFileLock() { g_mutex_lock(&settings_file_lock); }
  ~SettingsFileLock() { g_mutex_unlock(&settings_file_lock); }
  SettingsFileLock(const SettingsFileLock&) = delete;
  SettingsFileLock& operator=(const SettingsFileLock&) = delete;
};

}  // namespace

static gboolean set_system_error(GError** error, int err) {
  g_set_error_literal(error, G_FILE_ERROR, g_file_error_from_errno(err), g_strerror(err));
  return FALSE;
}

/*
 * g_key_file_load_from_file, except that the open does not block: GLib's
 * own would wait in open() for a writer of a FIFO planted at the path, with
 * settings_file_lock held. The errors are the ones GLib gives: the system's
 * text when the file cannot be opened or read, "Not a regular file", and
 * those of its parser, which is the same for data as for a file.
 */
static gboolean key_file_load_regular(GKeyFile* key_file, const char* path, GError** error) {
  handles::Fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) < 0) return set_system_error(error, errno);
  if (!S_ISREG(st.st_mode)) {
    g_set_error_literal(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_PARSE, "Not a regular file");
    return FALSE;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n > 0)
      text.append(buffer, static_cast<size_t>(n));
    else if (errno != EINTR && errno != EAGAIN)
      return set_system_error(error, errno);
  }
  return g_key_file_load_from_data(key_file, text.data(), text.size(), G_KEY_FILE_NONE, error);
}

/* Creates a key file in *slot and loads the configuration file into it,
 * without its comments. On failure logs, frees it and empties the slot. */
static int settings_key_file_open(handles::KeyFile* slot) {
  slot->reset(g_key_file_new());
  const char* path = settings_config_path();
  handles::Error error;
  if (!key_file_load_regular(slot->get(), path, error.out())) {
    log_error("%sFailed to load %s: %s", path, error.message());
    slot->reset();
    return 0;
  }
  return 1;
}

/* Reads one key into field, which it writes only when the key is there and
 * its value parses as the key's kind; logs otherwise. */
static int settings_read(GKeyFile* key_file, const SettingsKey& k, void* field) {
  handles::Error error;
  double real = 0;
  gint integer = 0;
  if (k.kind == SETTINGS_DOUBLE)
    real = g_key_file_get_double(key_file, k.group, k.key, error.out());
  else if (k.kind == SETTINGS_INT32)
    integer = g_key_file_get_integer(key_file, k.group, k.key, error.out());
  else
    integer = g_key_file_get_boolean(key_file, k.group, k.key, error.out()) ? 1 : 0;
  if (error) {
    log_error("%sElement %s in group %s is not available in conf file %s: %s", k.key, k.group,
              settings_config_path(), error.message());
    return 0;
  }
  if (k.kind == SETTINGS_DOUBLE)
    *static_cast<double*>(field) = real;
  else
    *static_cast<int32_t*>(field) = integer;
  return 1;
}

/* Replaces an existing "ui_state" key; never creates one. */
static int settings_write_ui_double(GKeyFile* key_file, const char* key, double value) {
  handles::Error error; /* set when the whole group is missing */
  if (!g_key_file_has_key(key_file, kUiState, key, error.out())) {
    log_error("%sElement %s not available in conf file %s", key, settings_config_path());
    return 0;
  }
  g_key_file_set_double(key_file, kUiState, key, value);
  return 1;
}

const SettingsKey settings_keys[18] = {
    {kUiState, "roadOffset", SETTINGS_DOUBLE, offsetof(UiState, road_offset)},
    {kUiConfig, "roadOffset_min", SETTINGS_INT32, offsetof(AlgoConfig, road_offset_min)},
    {kUiConfig, "roadOffset_max", SETTINGS_INT32, offsetof(AlgoConfig, road_offset_max)},
    {kUiState, "carDistance", SETTINGS_DOUBLE, offsetof(UiState, car_distance)},
    {kUiConfig, "carDistance_min", SETTINGS_INT32, offsetof(AlgoConfig, car_distance_min)},
    {kUiConfig, "carDistance_max", SETTINGS_INT32, offsetof(AlgoConfig, car_distance_max)},
    {kUiState, "cameraHeight", SETTINGS_DOUBLE, offsetof(UiState, camera_height)},
    {kUiConfig, "cameraHeight_min", SETTINGS_INT32, offsetof(AlgoConfig, camera_height_min)},
    {kUiConfig, "cameraHeight_max", SETTINGS_INT32, offsetof(AlgoConfig, camera_height_max)},
    {kUiState, "carSpeed", SETTINGS_DOUBLE, offsetof(UiState, car_speed)},
    {kUiConfig, "carSpeed_min", SETTINGS_INT32, offsetof(AlgoConfig, car_speed_min)},
    {kUiConfig, "carSpeed_max", SETTINGS_INT32, offsetof(AlgoConfig, car_speed_max)},
    {kAlgoConfig, "maxGain", SETTINGS_DOUBLE, offsetof(AlgoConfig, max_gain)},
    {kAlgoConfig, "maxMotionBlur", SETTINGS_DOUBLE, offsetof(AlgoConfig, max_motion_blur)},
    {kAlgoConfig, "irisPosition", SETTINGS_INT32, offsetof(AlgoConfig, iris_position)},
    {kAlgoConfig, "wdr", SETTINGS_BOOL, offsetof(AlgoConfig, wdr)},
    {kAlgoConfig, "autoIrisEnabled", SETTINGS_BOOL, offsetof(AlgoConfig, auto_iris_enabled)},
    {kAlgoConfig, "irCut", SETTINGS_INT32, offsetof(AlgoConfig, ir_cut)},
};

void* settings_field(const SettingsKey* key, UiState* ui, AlgoConfig* algo) {
  char* record = std::strcmp(key->group, kUiState) == 0 ? reinterpret_cast<char*>(ui)
                                                         : reinterpret_cast<char*>(algo);
  return record + key->offset;
}

const char* ir_cut_to_string(int32_t mode) {
  switch (mode) {
    case IR_CUT_ON:
      return "on";
    case IR_CUT_OFF:
      return "off";
    case IR_CUT_AUTO:
      return "auto";
    default:
      log_error("%sIllegal ir_cut value: %d", static_cast<int>(mode));
      return "auto";
  }
}

const char* settings_config_path() {
  const char* path = std::getenv("LANECAMD_CONFIG");
  return path && *path ? path : kDefaultConfigPath;
}

int settings_load(UiState* ui, AlgoConfig* algo) {
  SettingsFileLock lock;
  handles::KeyFile key_file;
  if (!settings_key_file_open(&key_file)) return 0;
  /* Stops at the first failing read, so one call logs at most one missing
   * or malformed key, the first in the table's order. */
  for (const SettingsKey& k : settings_keys)
    if (!settings_read(key_file.get(), k, settings_field(&k, ui, algo))) return 0;
  return 1;
}

int ui_state_store(const UiState* ui) {
  SettingsFileLock lock;
  handles::KeyFile key_file;
  if (!settings_key_file_open(&key_file)) return 0;
  GKeyFile* k = key_file.get();

  /* A missing key stops the store before anything is written; the values
   * already replaced in memory go with the key file. */
  UiState scene = *ui;
  for (const SettingsKey& e : settings_keys) {
    if (std::strcmp(e.group, kUiState) != 0) continue;
    if (!settings_write_ui_double(k, e.key, *static_cast<double*>(settings_field(&e, &scene, nullptr))))
      return 0;
  }

  gsize length = 0;
  handles::GChars text(g_key_file_to_data(k, &length, nullptr));
  const char* path = settings_config_path();
  handles::Error error;
  /* The error slot, not the return value, tells whether the write worked. */
  confutils_set_file_contents_with_sync(path, text.get(), static_cast<gssize>(length),
                                        error.out());
  if (error) {
    log_warning("%sFailed to store key file %s: %s\n", path, error.message());
    return 0;
  }
  return 1;
}
