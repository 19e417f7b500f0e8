// SPDX-License-Identifier: MIT
/*
 * Makes the worker pool's handoff visible to ThreadSanitizer (linked into
 * the daemon and the in-process tests of the Tsan build only).
 *
 * GLib is not instrumented and its queues lock with futexes, so the sanitizer
 * cannot see that g_thread_pool_push() orders the receipt thread's writes to
 * a request before the worker's reads of it, and reports every request as a
 * race. These two wrappers, which take precedence over GLib's own symbols,
 * release the pushed item on the way in and acquire it before the pool
 * function runs: exactly the ordering GLib guarantees, and nothing more.
 */
#include <dlfcn.h>
#include <glib.h>
#include <sanitizer/tsan_interface.h>

#include <cstdlib>

namespace {

struct Original {
  GFunc func;
  gpointer user_data;
};

void acquiring_proxy(gpointer data, gpointer proxy_data) {
  auto* original = static_cast<Original*>(proxy_data);
  __tsan_acquire(data);
  original->func(data, original->user_data);
}

template <typename F>
F real(const char* name) {
  void* f = dlsym(RTLD_NEXT, name);
  if (!f) std::abort();
  return reinterpret_cast<F>(f);
}

}  // namespace

extern "C" GThreadPool* g_thread_pool_new(GFunc func, gpointer user_data, gint max_threads,
                                          gboolean exclusive, GError** error) {
  using New = GThreadPool* (*)(GFunc, gpointer, gint, gboolean, GError**);
  static New real_new = real<New>("g_thread_pool_new");
  // One record per pool, kept for the life of the process like the pool.
  auto* original = new Original{func, user_data};
  return real_new(acquiring_proxy, original, max_threads, exclusive, error);
}

extern "C" gboolean g_thread_pool_push(GThreadPool* pool, gpointer data, GError** error) {
  using Push = gboolean (*)(GThreadPool*, gpointer, GError**);
  static Push real_push = real<Push>("g_thread_pool_push");
  __tsan_release(data);
  return real_push(pool, data, error);
}
