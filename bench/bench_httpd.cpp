// SPDX-License-Identifier: MIT
/*
 * The preview round trip through the front end: POSTs of a set preview to
 * lanecam-httpd, one after another, each on a new connection (no keep-alive,
 * as the connection goes to the daemon), timed from the request to the last
 * byte of the daemon's reply. Prints the median, the 90th percentile and the
 * slowest. Needs a running front end and daemon (tools/bench-httpd starts
 * both).
 *
 *   bench_httpd [URL [COUNT]]   default http://127.0.0.1:8080/roadshotwizard.cgi, 200
 */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <libsoup/soup.h>

namespace {

const char kPreview[] =
    R"({"apiVersion":"1.0","context":"bench","method":"set","params":{"apply":false,)"
    R"("roadOffset":3,"carDistance":20,"cameraHeight":4,"carSpeed":10}})";

double percentile(const std::vector<double>& sorted, double p) {
  size_t at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[at];
}

}  // namespace

int main(int argc, char** argv) {
  std::string url = argc > 1 ? argv[1] : "http://127.0.0.1:8080/roadshotwizard.cgi";
  int count = argc > 2 ? std::atoi(argv[2]) : 200;
  if (count < 1) {
    std::fprintf(stderr, "usage: bench_httpd [URL [COUNT]]\n");
    return 2;
  }

  SoupSession* session = soup_session_new_with_options("timeout", 10, nullptr);
  GBytes* body = g_bytes_new_static(kPreview, std::strlen(kPreview));
  std::vector<double> millis;
  int busy = 0;
  for (int i = 0; i < count; ++i) {
    SoupMessage* msg = soup_message_new("POST", url.c_str());
    if (!msg) {
      std::fprintf(stderr, "bench_httpd: not a URL: %s\n", url.c_str());
      return 2;
    }
    soup_message_set_request_body_from_bytes(msg, "application/json", body);
    soup_message_headers_replace(soup_message_get_request_headers(msg), "Connection", "close");
    GError* error = nullptr;
    auto start = std::chrono::steady_clock::now();
    GBytes* reply = soup_session_send_and_read(session, msg, nullptr, &error);
    auto end = std::chrono::steady_clock::now();
    gsize size = 0;
    const char* data = reply ? static_cast<const char*>(g_bytes_get_data(reply, &size)) : nullptr;
    /* The daemon lowers its count of requests in flight only after closing
     * the connection, so even a client that waits for each reply can meet
     * its 503 now and then; the page retries it, and so does this. */
    if (reply && soup_message_get_status(msg) == 503) {
      ++busy;
      --i;
      g_bytes_unref(reply);
      g_object_unref(msg);
      if (busy > count) {
        std::fprintf(stderr, "bench_httpd: the daemon stays busy\n");
        return 1;
      }
      continue;
    }
    bool ok = reply && soup_message_get_status(msg) == 200 &&
              std::string(data ? data : "", size).find("\"maxShutter\"") != std::string::npos;
    if (!ok) {
      std::string text = error ? error->message : std::string(data ? data : "", size);
      std::fprintf(stderr, "bench_httpd: request %d failed (status %u): %s\n", i + 1,
                   soup_message_get_status(msg), text.substr(0, text.find('\n')).c_str());
      return 1;
    }
    g_bytes_unref(reply);
    g_object_unref(msg);
    millis.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  g_bytes_unref(body);
  g_object_unref(session);

  std::sort(millis.begin(), millis.end());
  std::printf("%d previews through %s: p50 %.2f ms, p90 %.2f ms, max %.2f ms (%d busy replies "
              "retried)\n",
              count, url.c_str(), percentile(millis, 0.5), percentile(millis, 0.9), millis.back(),
              busy);
  return 0;
}
