/*
 * Scope guards for the handles the daemon takes from GLib, jansson, sd-bus
 * and the kernel. The modules stay free functions with 1/0 results; these
 * only make every path release what it took. Every guard accepts an empty
 * handle and then does nothing.
 */
#pragma once

#include <cstdlib>
#include <memory>
#include <utility>

#include <glib.h>
#include <jansson.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace handles {

struct KeyFileFree {
  void operator()(GKeyFile* k) const { g_key_file_free(k); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileFree>;

struct GFree {
  void operator()(void* p) const { g_free(p); }
};
using GChars = std::unique_ptr<gchar, GFree>;

/* Text from json_dumps and handle_request: released with the system's free. */
struct Free {
  void operator()(void* p) const { std::free(p); }
};
using Chars = std::unique_ptr<char, Free>;

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

/* An owned file descriptor; -1 is empty. */
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace handles
