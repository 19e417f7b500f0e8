// SPDX-License-Identifier: MIT
/*
 * Scope guards for the handles taken from GLib and GObject. Functions stay
 * free functions with 1/0 results; these only make every path release what
 * it took. Every guard accepts an empty handle and then does nothing.
 */
#pragma once

#include <memory>

#include <glib-object.h>
#include <glib.h>

namespace handles {

/* The deleter of a guard: hands the handle to its library's release
 * function (an external one: jansson's inline json_decref cannot be used). */
template <auto release>
struct Release {
  template <class T>
  void operator()(T* handle) const {
    release(handle);
  }
};

using GChars = std::unique_ptr<gchar, Release<g_free>>;
using Strv = std::unique_ptr<gchar*, Release<g_strfreev>>;
using KeyFile = std::unique_ptr<GKeyFile, Release<g_key_file_free>>;
using OptionContext = std::unique_ptr<GOptionContext, Release<g_option_context_free>>;
using MainLoop = std::unique_ptr<GMainLoop, Release<g_main_loop_unref>>;
using Bytes = std::unique_ptr<GBytes, Release<g_bytes_unref>>;
/* A reference to a GObject (needs gobject-2.0 where it is used). */
template <class T>
using Ref = std::unique_ptr<T, Release<g_object_unref>>;

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

}  // namespace handles
