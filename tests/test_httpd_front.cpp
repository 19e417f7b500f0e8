// SPDX-License-Identifier: MIT
/*
 * lanecam-httpd as a process between a real HTTP client and the real daemon:
 * requests for the script reach the daemon and its reply reaches the client
 * over the handed-over connection; files come from the page directory and
 * nothing outside it; without a daemon, or with a request too long for the
 * transfer socket, the front end answers itself and keeps serving.
 */
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <memory>
#include <string>

#include <libsoup/soup.h>

#include "bus_fixture.h"
#include "daemon_process.h"
#include "handles.h"
#include "temp_dir.h"
#include "test_config.h"

using namespace std::chrono_literals;

namespace {

struct Reply {
  guint status = 0;
  std::string type;
  std::string body;
};

/* One request on a fresh session, so on a fresh connection; a chunked body
 * has no length in advance. */
Reply http(const char* method, const std::string& url, const std::string& body = "",
           bool chunked = false) {
  SoupSession* session = soup_session_new_with_options("timeout", 10, nullptr);
  SoupMessage* msg = soup_message_new(method, url.c_str());
  Reply r;
  if (!msg) {
    ADD_FAILURE() << "not a URL: " << url;
    g_object_unref(session);
    return r;
  }
  if (!body.empty()) {
    GBytes* bytes = g_bytes_new(body.data(), body.size());
    if (chunked) {
      GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
      soup_message_set_request_body(msg, "application/json", stream, -1);
      g_object_unref(stream);
    } else {
      soup_message_set_request_body_from_bytes(msg, "application/json", bytes);
    }
    g_bytes_unref(bytes);
  }
  GError* error = nullptr;
  GBytes* got = soup_session_send_and_read(session, msg, nullptr, &error);
  if (got) {
    r.status = soup_message_get_status(msg);
    const char* type =
        soup_message_headers_get_content_type(soup_message_get_response_headers(msg), nullptr);
    r.type = type ? type : "";
    gsize size = 0;
    const char* data = static_cast<const char*>(g_bytes_get_data(got, &size));
    r.body.assign(data ? data : "", size);
    g_bytes_unref(got);
  } else {
    ADD_FAILURE() << method << " " << url << ": " << error->message;
    g_error_free(error);
  }
  g_object_unref(msg);
  g_object_unref(session);
  return r;
}

const char kGet[] = R"({"apiVersion":"1.0","context":"page","method":"get"})";
const char kPreview[] =
    R"({"apiVersion":"1.0","method":"set","params":{"apply":false,"roadOffset":3,)"
    R"("carDistance":20,"cameraHeight":4,"carSpeed":10}})";

class Front : public ::testing::Test {
 protected:
  TempDir dir;
  TempDir httpd_dir;
  std::string web = dir.file("web");
  std::string socket_path = dir.file("transfer");
  std::unique_ptr<DaemonProcess> httpd;
  std::string base;  /* "http://127.0.0.1:PORT" */

  void SetUp() override {
    ASSERT_EQ(mkdir(web.c_str(), 0755), 0);
    write_file(web + "/index.html", "<!doctype html><title>page</title>\n");
    write_file(web + "/app.js", "export {};\n");
    write_file(dir.file("secret"), "not for the web\n");
    ASSERT_EQ(symlink(dir.file("secret").c_str(), (web + "/outside").c_str()), 0);
    ASSERT_EQ(mkfifo((web + "/fifo").c_str(), 0644), 0);

    DaemonOptions o;
    o.program = LANECAM_HTTPD;
    o.args = {"--listen", "127.0.0.1:0", "--root", web, "--socket", socket_path};
    /* Under AddressSanitizer: a known leak of libsoup's (see the file). */
    o.env["LSAN_OPTIONS"] =
        "suppressions=" LANECAMD_SOURCE_DIR "/tests/lsan.supp:fast_unwind_on_malloc=0:print_suppressions=0";
    httpd = std::make_unique<DaemonProcess>(httpd_dir.path(), o);
    ASSERT_TRUE(httpd->wait_for_output("listening on http://", 10s)) << httpd->err();
    std::string out = httpd->out();
    size_t at = out.find("http://");
    base = out.substr(at, out.find('/', at + 7) - at);
  }

  void TearDown() override {
    /* A clean exit on SIGTERM, where the sanitizers give their report. */
    int status = httpd->stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << httpd->err();
  }
};

TEST_F(Front, HandsScriptRequestsToTheDaemonAndServesFiles) {
  BusFixture bus;
  ASSERT_TRUE(bus.start_bus());
  ASSERT_TRUE(bus.start_camera());
  write_file(dir.file("lanecamd.conf"), test_config_text());
  DaemonOptions o;
  o.env["LANECAMD_TRANSFER_SOCKET"] = socket_path;
  o.env["LANECAMD_CONFIG"] = dir.file("lanecamd.conf");
  o.wait_for_socket = socket_path;
  DaemonProcess daemon(dir.path(), o);
  ASSERT_TRUE(daemon.running()) << daemon.err();

  int fds_before = count_open_fds(std::to_string(httpd->pid()));
  for (bool chunked : {false, true}) {
    Reply get = http("POST", base + "/roadshotwizard.cgi", kGet, chunked);
    EXPECT_EQ(get.status, 200u) << get.body;
    EXPECT_EQ(get.type, "text/json");
    EXPECT_NE(get.body.find("\"context\": \"page\""), std::string::npos) << get.body;
    EXPECT_NE(get.body.find("\"carSpeedInterval\""), std::string::npos) << get.body;
  }

  /* GET carries the JSON percent-encoded in the query, under any prefix. */
  handles::GChars query(g_uri_escape_string(kPreview, nullptr, FALSE));
  Reply preview = http("GET", base + "/cgi-bin/roadshotwizard.cgi?" + query.get());
  EXPECT_EQ(preview.status, 200u) << preview.body;
  EXPECT_NE(preview.body.find("\"maxShutter\""), std::string::npos) << preview.body;
  EXPECT_EQ(bus.calls().size(), 0u) << "a preview sends nothing to the camera";
  /* Our copy of every handed-over connection is closed. */
  EXPECT_EQ(count_open_fds(std::to_string(httpd->pid())), fds_before);

  const struct {
    const char* path;
    guint status;
    const char* type;
  } files[] = {
      {"/", 200, "text/html"},
      {"/app.js", 200, "text/javascript"},
      {"/missing.css", 404, "text/plain"},
      {"/outside", 403, "text/plain"},  /* a symbolic link out of the root */
      {"/fifo", 403, "text/plain"},     /* would block the front end's open */
  };
  for (const auto& f : files) {
    Reply r = http("GET", base + f.path);
    EXPECT_EQ(r.status, f.status) << f.path;
    EXPECT_EQ(r.type, f.type) << f.path;
    EXPECT_EQ(r.body.find("not for the web"), std::string::npos) << f.path;
  }
}

/* A socket node that nobody receives on: bound, then closed. */
void make_stale_socket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);
}

TEST_F(Front, AnswersItselfWithoutTheDaemonAndKeepsServing) {
  const std::string script = base + "/roadshotwizard.cgi";
  const size_t room = 4095 - std::strlen("/roadshotwizard.cgi?");

  /* No socket: a request that fits goes as far as the hand-over; one byte
   * more is refused before the daemon would be asked, whether the length
   * comes in the header (POST), with the body (chunked) or only once decoded
   * (GET). */
  Reply fits = http("POST", script, std::string(room, ' '));
  EXPECT_EQ(fits.status, 502u) << fits.body;
  EXPECT_NE(fits.body.find("no transfer socket at " + socket_path), std::string::npos) << fits.body;
  EXPECT_EQ(http("POST", script, std::string(room + 1, ' ')).status, 413u);
  EXPECT_EQ(http("POST", script, std::string(100000, ' '), true).status, 413u);
  EXPECT_EQ(http("GET", script + "?" + std::string(room + 1, 'x')).status, 413u);

  /* A socket left behind by a daemon that is gone. */
  make_stale_socket(socket_path);
  Reply stale = http("POST", script, kGet);
  EXPECT_EQ(stale.status, 502u) << stale.body;
  EXPECT_NE(stale.body.find("nobody receives on"), std::string::npos) << stale.body;

  /* A receiver that takes nothing: once its queue is full, busy. */
  unlink(socket_path.c_str());
  int stuck = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_path.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(bind(stuck, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  int filler = socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  while (send(filler, "x", 1, MSG_DONTWAIT) == 1) {
  }
  Reply busy = http("POST", script, kGet);
  EXPECT_EQ(busy.status, 503u) << busy.body;
  close(filler);
  close(stuck);

  EXPECT_EQ(http("GET", base + "/").status, 200u);
}

}  // namespace
