// SPDX-License-Identifier: MIT
/*
 * lanecam-httpd as a process between a real HTTP client and the real daemon:
 * the page's requests and a plain tool's reach the daemon and its reply
 * reaches the client over the handed-over connection, while cross-site
 * requests, foreign host names, paths that carry a request and lengths that
 * contradict themselves are refused and reach nothing; files come from the
 * page directory and nothing outside it, even while a directory is swapped
 * for a link; without a daemon, or
 * with a request too long for the transfer socket, the front end answers
 * itself; and under a descriptor limit of 128 it survives clients that come
 * and go by the thousand and clients that connect and say nothing.
 */
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <libsoup/soup.h>

#include "daemon_stack.h"
#include "handles.h"
#include "transfer_client.h"

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

int connect_to(int port, int flags = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

/* One request on a fresh connection, written as given; the reply as far as
 * it came before the connection closed or timeout passed, or only its first
 * piece when the client is to close first. */
std::string exchange(int port, const std::string& request,
                     std::chrono::milliseconds timeout = 10s, bool client_closes = false) {
  int fd = connect_to(port);
  std::string reply;
  if (fd >= 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    pollfd p{fd, POLLIN, 0};
    char buf[8192];
    while (poll(&p, 1, static_cast<int>(timeout.count())) == 1) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      reply.append(buf, static_cast<size_t>(n));
      if (client_closes) break;
    }
  }
  if (fd >= 0) close(fd);
  return reply;
}

int status_of(const std::string& reply) {
  int status = 0;
  return std::sscanf(reply.c_str(), "HTTP/1.%*d %d", &status) == 1 ? status : 0;
}

const char kGet[] = R"({"apiVersion":"1.0","context":"page","method":"get"})";
const char kPreview[] =
    R"({"apiVersion":"1.0","method":"set","params":{"apply":false,"roadOffset":3,)"
    R"("carDistance":20,"cameraHeight":4,"carSpeed":10}})";
/* What a hostile page would like to get through. */
const char kApply[] =
    R"({"apiVersion":"1.0","method":"set","params":{"apply":true,"roadOffset":3,)"
    R"("carDistance":20,"cameraHeight":4,"carSpeed":10},"pad":"="})";

class Front : public DaemonStack {
 protected:
  std::string web = dir.file("web");

  void SetUp() override {
    ASSERT_EQ(mkdir(web.c_str(), 0755), 0);
    write_file(web + "/index.html", "<!doctype html><title>page</title>\n");
    write_file(web + "/app.js", "export {};\n");
    write_file(dir.file("secret"), "not for the web\n");
    ASSERT_EQ(symlink(dir.file("secret").c_str(), (web + "/outside").c_str()), 0);
    ASSERT_EQ(mkfifo((web + "/fifo").c_str(), 0644), 0);
    ASSERT_TRUE(start_httpd(web, prefix()));
  }

  /* A program that runs the front end, with its arguments (prlimit, say). */
  virtual std::vector<std::string> prefix() const { return {}; }

  void TearDown() override {
    /* A clean exit on SIGTERM, where the sanitizers give their report. */
    int status = httpd->stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << httpd->err();
  }
};

/* A request as written on the wire: headers are "Name: value\r\n" lines. */
std::string request(const std::string& method, const std::string& target,
                    const std::string& headers, const std::string& body = "") {
  std::string text = method + " " + target + " HTTP/1.1\r\n" + headers;
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
}

TEST_F(Front, PassesThePagesAndToolsRequestsAndRefusesWhatAnotherSiteSends) {
  ASSERT_TRUE(start_stack());

  const std::string h = "Host: " + host() + "\r\n";
  const std::string json = "Content-Type: application/json\r\n";
  const std::string page = h + json + "Origin: http://" + host() + "\r\nSec-Fetch-Site: same-origin\r\n";
  const std::string other_site = "Origin: http://evil.example\r\nSec-Fetch-Site: cross-site\r\n";
  handles::GChars query(g_uri_escape_string(kPreview, nullptr, FALSE));
  handles::GChars apply_query(g_uri_escape_string(kApply, nullptr, FALSE));
  char chunk_size[16];
  std::snprintf(chunk_size, sizeof chunk_size, "%zx\r\n", std::strlen(kGet));
  const std::string chunked = chunk_size + std::string(kGet) + "\r\n0\r\n\r\n";
  const struct {
    const char* what;
    std::string request;
    int status;
    const char* reply;  /* in the reply */
  } cases[] = {
      {"the page's POST", request("POST", "/roadshotwizard.cgi", page, kGet), 200, "\"carSpeedInterval\""},
      {"a tool's POST, chunked", request("POST", "/roadshotwizard.cgi",
        h + json + "Transfer-Encoding: chunked\r\n") + chunked, 200, "\"context\": \"page\""},
      {"a tool by localhost", request("POST", "/roadshotwizard.cgi",
        "Host: localhost:" + std::to_string(port) + "\r\n" + json, kGet), 200, "\"context\": \"page\""},
      {"a preview in the query, under a prefix",
       request("GET", std::string("/cgi-bin/roadshotwizard.cgi?") + query.get(), h), 200, "\"maxShutter\""},
      {"a file", request("GET", "/app.js", h + other_site), 200, "export {};"},
      {"a directory's index", request("GET", "/", h), 200, "<title>page</title>"},
      {"a missing file", request("GET", "/missing.css", h), 404, "not found"},
      {"a link out of the root", request("GET", "/outside", h), 403, "forbidden"},
      {"a FIFO", request("GET", "/fifo", h), 403, "forbidden"},
      {"a form of another site", request("POST", "/roadshotwizard.cgi", h +
        "Content-Type: text/plain\r\n" + other_site, kApply), 403, "cross-site"},
      {"a fetch of another site", request("POST", "/roadshotwizard.cgi", h + json +
        "Origin: http://evil.example\r\n", kApply), 403, "cross-site"},
      {"a navigation from another site", request("GET", std::string("/roadshotwizard.cgi?") +
        apply_query.get(), h + "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: navigate\r\n"), 403, "cross-site"},
      {"a rebound name, script", request("POST", "/roadshotwizard.cgi", "Host: rebind.example:" +
        std::to_string(port) + "\r\n" + json, kApply), 421, "host name"},
      {"a rebound name, page", request("GET", "/", "Host: rebind.example:" + std::to_string(port) +
        "\r\n"), 421, "host name"},
      {"a path that carries a request", request("POST", std::string("/roadshotwizard.cgi%3F") +
        apply_query.get() + "/roadshotwizard.cgi", h + json, "{}"), 400, "must not carry"},
      {"a body that is not JSON", request("POST", "/roadshotwizard.cgi", h +
        "Content-Type: text/plain\r\n", kApply), 415, "application/json"},
      {"a declared length over the limit, no body sent", request("POST", "/roadshotwizard.cgi",
        h + json + "Content-Length: 300000000\r\n"), 413, "too long"},
      /* lengths that leave the body's end in doubt, refused at once */
      {"a negative length", request("POST", "/roadshotwizard.cgi", h + json +
        "Content-Length: -1\r\n") + kGet, 400, "a number of bytes"},
      {"a length with a sign", request("POST", "/roadshotwizard.cgi", h + json +
        "Content-Length: +" + std::to_string(std::strlen(kGet)) + "\r\n") + kGet, 400, "a number of bytes"},
      {"a length that is no number", request("POST", "/roadshotwizard.cgi", h + json +
        "Content-Length: 12abc\r\n") + kGet, 400, "malformed or unsupported request head"},
      {"two lengths that differ", request("POST", "/roadshotwizard.cgi", h + json +
        "Content-Length: 2\r\nContent-Length: " + std::to_string(std::strlen(kGet)) + "\r\n") + kGet,
       400, "two different"},
      {"a length beside chunked", request("POST", "/roadshotwizard.cgi", h + json +
        "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n") + chunked, 400, "exclude each other"},
  };
  const std::string config_before = read_file(dir.file("lanecamd.conf"));
  int fds_before = count_open_fds(std::to_string(httpd->pid()));
  for (const auto& c : cases) {
    /* A worker frees its slot only after closing the connection, so the next
     * request may meet the daemon's 503 for a moment: asked again, as the
     * page does. */
    std::string reply = exchange(port, c.request);
    for (int i = 0; i < 50 && status_of(reply) == 503 && c.status != 503; ++i) {
      std::this_thread::sleep_for(20ms);
      reply = exchange(port, c.request);
    }
    EXPECT_EQ(status_of(reply), c.status) << c.what << "\n" << reply;
    EXPECT_NE(reply.find(c.reply), std::string::npos) << c.what << "\n" << reply;
    EXPECT_EQ(reply.find("not for the web"), std::string::npos) << c.what;
    /* Everything the front end writes itself carries the protective headers. */
    if (reply.find("text/json") == std::string::npos) {
      EXPECT_NE(reply.find("frame-ancestors 'none'"), std::string::npos) << c.what << "\n" << reply;
    }
  }
  EXPECT_EQ(bus.calls().size(), 0u) << "nothing reached the camera";
  EXPECT_EQ(read_file(dir.file("lanecamd.conf")), config_before) << "nothing was stored";
  /* Our copy of every connection is closed, the refused ones' too, once
   * they have lingered. */
  EXPECT_EQ(settle_fds(httpd->pid(), fds_before, 4s), fds_before);
}

/* A directory of the root swapped again and again for a link out of it
 * while it is requested: whatever the timing, no file from outside. */
TEST_F(Front, SymbolicLinkSwappedInNeverLeadsOutOfTheRoot) {
  ASSERT_EQ(mkdir((web + "/d").c_str(), 0755), 0);
  write_file(web + "/d/f.txt", "inside\n");
  ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
  write_file(dir.file("out/f.txt"), "not for the web\n");
  ASSERT_EQ(symlink(dir.file("out").c_str(), (web + "/link").c_str()), 0);
  std::atomic<bool> done{false};
  std::thread swapper([&] {
    const std::string d = web + "/d", kept = web + "/kept", link = web + "/link";
    while (!done) {
      rename(d.c_str(), kept.c_str());
      rename(link.c_str(), d.c_str());  /* d is the link out now */
      rename(d.c_str(), link.c_str());
      rename(kept.c_str(), d.c_str());
    }
  });
  const std::string get = request("GET", "/d/f.txt", "Host: " + host() + "\r\nConnection: close\r\n");
  int served = 0;
  int leaked = 0;
  for (auto end = std::chrono::steady_clock::now() + 2s; std::chrono::steady_clock::now() < end;) {
    std::string reply = exchange(port, get);
    served += reply.find("inside") != std::string::npos;
    leaked += reply.find("not for the web") != std::string::npos;
  }
  done = true;
  swapper.join();
  EXPECT_EQ(leaked, 0);
  EXPECT_GT(served, 0);
}

/* The value of a header in a raw reply's head, or "" without it. */
std::string header_of(const std::string& reply, const std::string& name) {
  std::string head = reply.substr(0, reply.find("\r\n\r\n"));
  std::string lower = head;
  for (char& ch : lower) ch = static_cast<char>(g_ascii_tolower(ch));
  std::string key = "\r\n" + std::string(name) + ": ";
  for (char& ch : key) ch = static_cast<char>(g_ascii_tolower(ch));
  size_t at = lower.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return head.substr(at, head.find("\r\n", at) - at);
}

std::string body_of(const std::string& reply) {
  size_t at = reply.find("\r\n\r\n");
  return at == std::string::npos ? "" : reply.substr(at + 4);
}

std::string gunzip(const std::string& data) {
  handles::Ref<GZlibDecompressor> z(g_zlib_decompressor_new(G_ZLIB_COMPRESSOR_FORMAT_GZIP));
  handles::Ref<GInputStream> raw(g_memory_input_stream_new_from_data(data.data(), data.size(), nullptr));
  handles::Ref<GInputStream> in(g_converter_input_stream_new(raw.get(), G_CONVERTER(z.get())));
  std::string out;
  char buf[4096];
  gssize n;
  while ((n = g_input_stream_read(in.get(), buf, sizeof buf, nullptr, nullptr)) > 0)
    out.append(buf, static_cast<size_t>(n));
  return n == 0 ? out : "(not gzip)";
}

/* Validators and compression: a reload gets 304 for a file it has, by
 * either validator, and a changed file again; a client that takes gzip
 * gets exactly the file's bytes back, one that does not gets them plain. */
TEST_F(Front, RevalidatesAndCompressesPageFiles) {
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "export const line" + std::to_string(i * 7919 % 10007) + " = 1;\n";
  write_file(web + "/big.js", text);
  /* A named request: a temporary one would call std::exchange. */
  auto get = [this](const std::string& headers) {
    const std::string text = request("GET", "/big.js", "Host: " + host() + "\r\n" + headers);
    return exchange(port, text);
  };
  const std::string first = get("");
  const std::string etag = header_of(first, "ETag");
  const std::string modified = header_of(first, "Last-Modified");
  ASSERT_FALSE(etag.empty()) << first.substr(0, 600);
  ASSERT_FALSE(modified.empty());
  EXPECT_EQ(body_of(first), text);
  const struct {
    const char* what;
    std::string headers;
    int status;
    const char* encoding;
  } cases[] = {
      {"its tag", "If-None-Match: " + etag + "\r\n", 304, ""},
      {"its tag, weak, among others", "If-None-Match: \"x\", W/" + etag + "\r\n", 304, ""},
      {"its date", "If-Modified-Since: " + modified + "\r\n", 304, ""},
      {"an older date", "If-Modified-Since: Thu, 01 Jan 1998 00:00:00 GMT\r\n", 200, ""},
      {"another tag wins over its date", "If-None-Match: \"x\"\r\nIf-Modified-Since: " + modified + "\r\n",
       200, ""},
      {"gzip taken", "Accept-Encoding: br, gzip;q=0.8\r\n", 200, "gzip"},
      {"anything taken", "Accept-Encoding: *\r\n", 200, "gzip"},
      {"gzip refused", "Accept-Encoding: *, gzip;q=0\r\n", 200, ""},
      {"another coding only", "Accept-Encoding: br\r\n", 200, ""},
      {"the plain tag for the compressed copy", "Accept-Encoding: gzip\r\nIf-None-Match: " + etag + "\r\n",
       200, "gzip"},
  };
  for (const auto& c : cases) {
    std::string reply = get(c.headers);
    EXPECT_EQ(status_of(reply), c.status) << c.what << "\n" << reply.substr(0, 600);
    EXPECT_EQ(header_of(reply, "Content-Encoding"), c.encoding) << c.what;
    EXPECT_EQ(header_of(reply, "Vary"), "Accept-Encoding") << c.what;
    EXPECT_NE(header_of(reply, "ETag"), "") << c.what;
    EXPECT_NE(reply.find("frame-ancestors 'none'"), std::string::npos) << c.what;
    EXPECT_NE(reply.find("Connection: close"), std::string::npos) << c.what;
    if (c.status == 304) EXPECT_EQ(body_of(reply), "") << c.what;
    else if (*c.encoding) EXPECT_EQ(gunzip(body_of(reply)), text) << c.what;
    else EXPECT_EQ(body_of(reply), text) << c.what;
  }
  /* The compressed copy's own tag revalidates it, and an edit is seen. */
  std::string zipped = get("Accept-Encoding: gzip\r\n");
  EXPECT_LT(body_of(zipped).size(), text.size() / 3);
  const std::string again = "Accept-Encoding: gzip\r\nIf-None-Match: " + header_of(zipped, "ETag") + "\r\n";
  EXPECT_EQ(status_of(get(again)), 304);
  write_file(web + "/big.js", text + "//\n");
  EXPECT_EQ(status_of(get("If-None-Match: " + etag + "\r\n")), 200);
}

TEST_F(Front, AnswersItselfWithoutTheDaemonAndKeepsServing) {
  const std::string script = "http://" + host() + "/roadshotwizard.cgi";
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

  /* A socket left behind by a daemon that is gone: bound, then closed. */
  int gone = bound_datagram_socket(socket_path);
  ASSERT_GE(gone, 0);
  close(gone);
  Reply stale = http("POST", script, kGet);
  EXPECT_EQ(stale.status, 502u) << stale.body;
  EXPECT_NE(stale.body.find("nobody receives on"), std::string::npos) << stale.body;

  /* A receiver that takes nothing: once its queue is full, busy. */
  int stuck = bound_datagram_socket(socket_path);
  ASSERT_GE(stuck, 0);
  int filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  while (send_with_fds(filler, "x", 1, {}, MSG_DONTWAIT, socket_path)) {
  }
  Reply busy = http("POST", script, kGet);
  EXPECT_EQ(busy.status, 503u) << busy.body;
  close(filler);
  close(stuck);

  EXPECT_EQ(http("GET", "http://" + host() + "/").status, 200u);
}

}  // namespace

/* Under a descriptor limit of 128 (the soft limit can be raised no
 * further): clients by the thousand that close their end first, then more
 * idle ones than there are descriptors. Neither may keep the front end from
 * serving. */
class FrontUnderLimit : public Front {
  std::vector<std::string> prefix() const override { return {"/usr/bin/prlimit", "--nofile=128:128"}; }
};

TEST_F(FrontUnderLimit, SurvivesClientsThatComeAndGoOrSayNothing) {
  const std::string get = request("GET", "/", "Host: " + host() + "\r\n");
  int served = 0;
  while (served < 1500 && status_of(exchange(port, get, 5s, true)) == 200) ++served;
  EXPECT_EQ(served, 1500);

  std::vector<int> idle;
  for (int i = 0; i < 300; ++i) idle.push_back(connect_to(port, SOCK_NONBLOCK));
  std::this_thread::sleep_for(500ms);
  for (int fd : idle)
    if (fd >= 0) close(fd);
  EXPECT_EQ(status_of(exchange(port, get, 5s)), 200) << "serves again";
}

TEST_F(Front, SlowCutsOffARequestHeadThatNeverEnds) {
  int stalled = connect_to(port);
  ASSERT_GE(stalled, 0);
  ASSERT_EQ(send(stalled, "GET / HTTP/1.1\r\nHo", 18, MSG_NOSIGNAL), 18);
  pollfd p{stalled, POLLIN, 0};
  char byte;
  EXPECT_TRUE(poll(&p, 1, 30000) == 1 && recv(stalled, &byte, 1, 0) <= 0);
  close(stalled);
  EXPECT_NE(httpd->out().find("no complete request"), std::string::npos) << httpd->out();
}
