// SPDX-License-Identifier: MIT
/*
 * Scope guards for the handles the daemon takes from GLib, jansson and
 * sd-bus: the shared ones for GLib and jansson, and here those for sd-bus,
 * which only the daemon uses. The modules stay free functions with 1/0
 * results; these only make every path release what it took. Every guard
 * accepts an empty handle and then does nothing.
 */
#pragma once

#include <memory>

#include <systemd/sd-bus.h>

#include "handles_glib.h"
#include "handles_json.h"

namespace handles {

using Bus = std::unique_ptr<sd_bus, Release<sd_bus_flush_close_unref>>;
using BusMessage = std::unique_ptr<sd_bus_message, Release<sd_bus_message_unref>>;

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
