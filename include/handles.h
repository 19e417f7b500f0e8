// SPDX-License-Identifier: MIT
/*
 * Scope guards for the handles the daemon takes from GLib, jansson and
 * sd-bus. The modules stay free functions with 1/0 results; these only make
 * every path release what it took. Every guard accepts an empty
 * handle and then does nothing.
 */
#pragma once

#include <memory>

#include <glib.h>
#include <jansson.h>
#include <systemd/sd-bus.h>

namespace handles {

struct KeyFileFree {
  void operator()(GKeyFile* k) const { g_key_file_free(k); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileFree>;

struct GFree {
  void operator()(void* p) const { g_free(p); }
};
using GChars = std::unique_ptr<gchar, GFree>;

struct JsonDecref {
  void operator()(json_t* j) const { json_decref(j); }
};
using Json = std::unique_ptr<json_t, JsonDecref>;

struct BusFlushCloseUnref {
  void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};
using Bus = std::unique_ptr<sd_bus, BusFlushCloseUnref>;

struct BusMessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using BusMessage = std::unique_ptr<sd_bus_message, BusMessageUnref>;

/* A GError slot: pass out() to a GLib call, read get(), freed at scope end. */
class Error {
 public:
  Error() = default;
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  ~Error() { clear(); }
  GError** out() { return &error_; }
  GError* get() const { return error_; }
  explicit operator bool() const { return error_ != nullptr; }
  const char* message() const { return error_ ? error_->message : ""; }
  void clear() { g_clear_error(&error_); }

 private:
  GError* error_ = nullptr;
};

/* An sd-bus error record, freed with sd_bus_error_free at scope end. */
class BusError {
 public:
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&error_); }
  sd_bus_error* get() { return &error_; }
  const sd_bus_error* operator->() const { return &error_; }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

}  // namespace handles
