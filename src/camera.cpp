// SPDX-License-Identifier: MIT
/*
 * Camera control: pushes one CameraSettings record to the camera's
 * image-control and optics services over the system D-Bus.
 *
 * One application is a blocking sequence of calls on a system-bus connection
 * of its own, opened for the purpose and closed before returning, so
 * applications running on different worker threads share nothing. The
 * exposure limit, gain, iris position, automatic-iris switch and wide
 * dynamic range are written as image-control properties; the image-control
 * service's optics flag then says whether the IR-cut mode goes to the optics
 * service's day/night method or to an image-control property. The first
 * failing call ends the sequence; what was sent before it stays applied.
 */
#include "camera.h"

#include <cmath>
#include <cstring>

#include "handles.h"
#include "log.h"

namespace {

const char kImageControlService[] = "com.ombrex.ImageControl";
const char kImageControlPath[] = "/com/ombrex/ImageControl/0/0";
const char kLegacyInterface[] = "com.ombrex.Configuration.Legacy";
const char kStreamInterface[] = "com.ombrex.ImageControlStream";
const char kOpticsService[] = "com.ombrex.Optics2";
const char kOpticsPath[] = "/com/ombrex/Optics0";
const char kDayNightInterface[] = "com.ombrex.DayNight1";
const char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

/* Indexed by IR-cut mode: the text of the "DayNightEnabled" byte array. The
 * day/night method takes the mode's own text form (ir_cut_to_string). */
const char* const kDayNightEnabled[] = {"yes", "no", "auto"};

void log_call_failure(int r, const sd_bus_error* error) {
  const char* text = error->message;
  // A peer may answer with an error that has a name but no message text;
  // the name, or for an empty record the text of the errno, is then the
  // most telling thing left to show.
  if (!text || !*text) text = error->name && *error->name ? error->name : g_strerror(-r);
  log_error("%ssd bus call failed with error = %s\n", text);
}

int set_int32(sd_bus* bus, sd_bus_error* error, const char* property, int32_t value) {
  return sd_bus_set_property(bus, kImageControlService, kImageControlPath, kLegacyInterface,
                             property, error, "i", value);
}

/* Writes the letters of text and a terminating zero byte as an "ay" property. */
int set_bytes(sd_bus* bus, sd_bus_error* error, const char* property, const char* text) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, kImageControlService, kImageControlPath,
                                         kPropertiesInterface, "Set");
  handles::BusMessage call(raw);
  if (r >= 0) r = sd_bus_message_append(call.get(), "ss", kLegacyInterface, property);
  if (r >= 0) r = sd_bus_message_open_container(call.get(), 'v', "ay");
  if (r >= 0) r = sd_bus_message_append_array(call.get(), 'y', text, strlen(text) + 1);
  if (r >= 0) r = sd_bus_message_close_container(call.get());
  // Building the message fills no error record; fill it as
  // sd_bus_set_property does, so the caller logs every failure alike.
  if (r < 0) return sd_bus_error_set_errno(error, r);
  return sd_bus_call(bus, call.get(), 0, error, nullptr);
}

/* A number that is not finite would reach the bus as a plausible integer
 * (NaN as 0, an infinity as an end of the range); such settings are refused
 * before anything is sent. */
int finite_for_camera(const char* property, double value) {
  if (std::isfinite(value)) return 1;
  log_error("%sNot sending %s=%f to the camera: not a finite number\n", property, value);
  return 0;
}

}  // namespace

int32_t camera_int32_from_double(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

int camera_apply_settings(const CameraSettings* settings) {
  // Declared in this order so that every return releases the reply, then
  // the connection, then the error record.
  handles::BusError error;
  handles::Bus bus;
  handles::BusMessage reply;

  if (!finite_for_camera("MaxExposureTime", settings->max_exposure_time) ||
      !finite_for_camera("MaxGain", settings->max_gain))
    return 0;

  sd_bus* raw_bus = nullptr;
  int r = sd_bus_open_system(&raw_bus);
  if (r < 0) {
    log_error("%sFailed to connect to system bus: %s\n", g_strerror(-r));
    return 0;
  }
  bus.reset(raw_bus);

  r = set_int32(bus.get(), error.get(), "MaxExposureTime",
                camera_int32_from_double(settings->max_exposure_time));
  if (r >= 0)
    r = set_int32(bus.get(), error.get(), "MaxGain", camera_int32_from_double(settings->max_gain));
  if (r >= 0) r = set_int32(bus.get(), error.get(), "IrisPosition", settings->iris_position);
  if (r >= 0)
    r = set_bytes(bus.get(), error.get(), "IrisEnabled", settings->iris_enabled ? "yes" : "no");
  if (r >= 0) r = set_bytes(bus.get(), error.get(), "WDR", settings->wdr ? "on" : "off");
  if (r < 0) {
    log_call_failure(r, error.get());
    return 0;
  }

  // A camera whose image-control service cannot say where the IR-cut
  // setting lives takes it as an image-control property.
  int optics = 0;
  if (sd_bus_get_property_trivial(bus.get(), kImageControlService, kImageControlPath,
                                  kStreamInterface, "IrCutParamInOpticsd", nullptr, 'b',
                                  &optics) < 0)
    optics = 0;

  int32_t mode = settings->ir_cut;
  if (mode < IR_CUT_ON || mode > IR_CUT_AUTO) {
    log_error("%sUnknown ir cut state encountered\n");
    return 0;
  }

  if (optics) {
    sd_bus_message* raw_reply = nullptr;
    r = sd_bus_call_method(bus.get(), kOpticsService, kOpticsPath, kDayNightInterface,
                           "SetDayNightMode", error.get(), &raw_reply, "s", ir_cut_to_string(mode));
    reply.reset(raw_reply);
  } else {
    r = set_bytes(bus.get(), error.get(), "DayNightEnabled", kDayNightEnabled[mode]);
  }
  if (r < 0) {
    log_call_failure(r, error.get());
    return 0;
  }
  return 1;
}
