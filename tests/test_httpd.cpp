// SPDX-License-Identifier: MIT
/*
 * The front end's rules: the verdict on a request head (host, site, method,
 * content type, declared length, and which path names which file), percent
 * decoding of the GET query, the datagram's size limit, log escaping, and
 * the opening of files beneath the page directory.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "beneath.h"
#include "paths.h"
#include "rules.h"
#include "temp_dir.h"

namespace {

using httpd::Route;

struct HeadCase {
  const char* method;
  const char* path;
  const char* host;            /* nullptr: no such header */
  const char* origin;
  const char* sec_fetch_site;
  const char* content_type;
  int64_t length;              /* -2: chunked */
  unsigned status;
  const char* file;            /* status 0: the file, or nullptr for the script */
};

std::optional<std::string_view> maybe(const char* text) {
  return text ? std::optional<std::string_view>(text) : std::nullopt;
}

TEST(HttpdRules, JudgesRequestHeads) {
  const char* h = "127.0.0.1:8080";
  const char* json = "application/json";
  const HeadCase cases[] = {
      /* (the integration test has the common cases; these are the edges) */
      {"POST", "/cgi-bin/roadshotwizard.cgi", "localhost:8080", nullptr, nullptr,
       "Application/JSON ; charset=utf-8", 60, 0, nullptr},
      {"GET", "/roadshotwizard.cgi", h, nullptr, "none", nullptr, -1, 0, nullptr},
      {"GET", "/roadshotwizard.cgi", "[::1]:8080", nullptr, nullptr, nullptr, -1, 0, nullptr},
      {"GET", "/", "10.0.0.5:8080", nullptr, nullptr, nullptr, -1, 0, ""},
      {"GET", "/", "[fe80::1]:8080", nullptr, nullptr, nullptr, -1, 0, ""},
      {"GET", "/", "Camera.Example", nullptr, nullptr, nullptr, -1, 0, ""},
      {"HEAD", "/js//plot.js", h, nullptr, "cross-site", nullptr, 0, 0, "js/plot.js"},
      {"GET", "/./a/./b.css", h, nullptr, nullptr, nullptr, -1, 0, "a/b.css"},
      {"GET", "/a%20b.css", h, nullptr, nullptr, nullptr, -1, 0, "a b.css"},
      {"GET", "/a%2520b.css", h, nullptr, nullptr, nullptr, -1, 0, "a%20b.css"},  /* once */
      {"GET", "/..a/b..", h, nullptr, nullptr, nullptr, -1, 0, "..a/b.."},
      /* DNS rebinding: the wrong port, no port, two names, none */
      {"POST", "/roadshotwizard.cgi", "127.0.0.1:8081", nullptr, nullptr, json, 60, 421, nullptr},
      {"GET", "/", "127.0.0.1", nullptr, nullptr, nullptr, -1, 421, nullptr},
      {"GET", "/", "127.0.0.1:8080, evil.example", nullptr, nullptr, nullptr, -1, 421, nullptr},
      {"GET", "/", "[::1]x:8080", nullptr, nullptr, nullptr, -1, 421, nullptr},
      {"GET", "/", nullptr, nullptr, nullptr, nullptr, -1, 421, nullptr},
      /* cross-site: same-site is another site; Origin must match exactly */
      {"POST", "/roadshotwizard.cgi", h, h, "same-site", json, 60, 403, nullptr},
      {"POST", "/roadshotwizard.cgi", h, "https://127.0.0.1:8080", nullptr, json, 60, 403, nullptr},
      {"POST", "/roadshotwizard.cgi", h, "null", nullptr, json, 60, 403, nullptr},
      /* what the script takes */
      {"PUT", "/roadshotwizard.cgi", h, nullptr, nullptr, json, 60, 405, nullptr},
      {"POST", "/roadshotwizard.cgi", h, nullptr, nullptr, "application/jsonx", 60, 415, nullptr},
      {"POST", "/roadshotwizard.cgi", h, nullptr, nullptr, nullptr, 60, 415, nullptr},
      {"POST", "/roadshotwizard.cgi", h, nullptr, nullptr, json, 4075, 0, nullptr},
      {"POST", "/roadshotwizard.cgi", h, nullptr, nullptr, json, 4076, 413, nullptr},
      {"GET", "/roadshotwizard.cgi", h, nullptr, nullptr, nullptr, -2, 413, nullptr},
      /* a path that carries a request of its own */
      {"GET", "/roadshotwizard.cgi/roadshotwizard.cgi", h, nullptr, nullptr, nullptr, -1, 400, nullptr},
      {"GET", "/%7B/roadshotwizard.cgi", h, nullptr, nullptr, nullptr, -1, 400, nullptr},
      /* page files: no traversal, plain or encoded; no body; GET and HEAD */
      {"GET", "/..", h, nullptr, nullptr, nullptr, -1, 403, nullptr},
      {"GET", "/a/../../etc/passwd", h, nullptr, nullptr, nullptr, -1, 403, nullptr},
      {"GET", "/%2E%2E%2Fetc%2Fpasswd", h, nullptr, nullptr, nullptr, -1, 403, nullptr},
      {"GET", "/a/..%2f..%2fetc", h, nullptr, nullptr, nullptr, -1, 403, nullptr},
      {"GET", "/.%2e/x", h, nullptr, nullptr, nullptr, -1, 403, nullptr},
      {"GET", "/index.html%00.png", h, nullptr, nullptr, nullptr, -1, 403, nullptr},
      {"GET", "index.html", h, nullptr, nullptr, nullptr, -1, 400, nullptr},
      {"GET", "/a%zz", h, nullptr, nullptr, nullptr, -1, 400, nullptr},
      {"GET", "/index.html", h, nullptr, nullptr, nullptr, 10, 413, nullptr},
      {"POST", "/index.html", h, nullptr, nullptr, json, 10, 405, nullptr},
  };
  httpd::HostRules rules;
  rules.port = 8080;
  rules.extra = {"camera.example"};
  for (const auto& c : cases) {
    httpd::RequestHead head;
    head.method = c.method;
    head.path = c.path;
    head.host = maybe(c.host);
    head.origin = maybe(c.origin);
    head.sec_fetch_site = maybe(c.sec_fetch_site);
    head.content_type = maybe(c.content_type);
    head.local_address = std::string_view(c.host ? c.host : "").find("fe80") != std::string_view::npos
                             ? "fe80::1"
                             : "10.0.0.5";
    head.content_length = c.length == -2 ? -1 : c.length;
    head.body = c.length > 0 || c.length == -2;
    httpd::Verdict v = httpd::admit(head, rules);
    std::string what = std::string(c.method) + " " + c.path + " Host " + (c.host ? c.host : "-");
    EXPECT_EQ(v.status, c.status) << what << ": " << v.line;
    if (c.status != 0) {
      EXPECT_FALSE(v.line.empty()) << what;
      EXPECT_EQ(v.allow != nullptr, c.status == 405) << what;
    } else {
      EXPECT_EQ(v.route, c.file ? Route::kFile : Route::kScript) << what;
      if (c.file) {
        EXPECT_EQ(v.file, c.file) << what;
      }
    }
  }
}

TEST(HttpdRules, DecodesQueryEscapes) {
  const struct {
    const char* text;
    bool ok;
    const char* decoded;
  } cases[] = {
      {"%7B%22method%22%3A%22get%22%7D", true, "{\"method\":\"get\"}"},
      {"a+b%2Bc", true, "a+b+c"},
      {"%C2%B5s", true, "\xC2\xB5s"},
      {"", true, ""},
      {"%", false, nullptr},
      {"abc%4", false, nullptr},
      {"%g0", false, nullptr},
      {"%00", false, nullptr},
  };
  for (const auto& c : cases) {
    std::string out = "untouched";
    EXPECT_EQ(httpd::percent_decode(c.text, &out), c.ok) << c.text;
    EXPECT_EQ(out, c.ok ? c.decoded : "untouched") << c.text;
  }
}

TEST(HttpdRules, DatagramNamesTheScriptThenTheJsonUpToTheLimit) {
  const std::string fits(httpd::kMaxRequestJson, 'x');
  std::string out;
  ASSERT_TRUE(httpd::transfer_message(fits, &out));
  EXPECT_EQ(out.size(), 4095u);
  EXPECT_EQ(out.substr(0, 21), "/roadshotwizard.cgi?x");

  out = "untouched";
  EXPECT_FALSE(httpd::transfer_message(fits + "x", &out));
  EXPECT_EQ(out, "untouched");
}

TEST(HttpdRules, ContentTypes) {
  /* A module script served with another type is refused by the browser. */
  EXPECT_STREQ(httpd::content_type("js/form.js"), "text/javascript; charset=utf-8");
  EXPECT_STREQ(httpd::content_type("INDEX.HTML"), "text/html; charset=utf-8");
  EXPECT_STREQ(httpd::content_type("icon.svg"), "image/svg+xml");
  EXPECT_STREQ(httpd::content_type("notes.txt"), "application/octet-stream");
  EXPECT_STREQ(httpd::content_type(".css"), "application/octet-stream");
  EXPECT_STREQ(httpd::content_type("a.css/README"), "application/octet-stream");
}

TEST(HttpdRules, LogEscapesWhatCouldForgeALineOrDriveATerminal) {
  EXPECT_EQ(httpd::log_escape("/a b%0a.js"), "/a b%0a.js");
  EXPECT_EQ(httpd::log_escape("/x\n200 /etc/passwd"), "/x\\x0a200 /etc/passwd");
  EXPECT_EQ(httpd::log_escape("\x1b[2J\\\x7f\xc3\xa9"), "\\x1b[2J\\x5c\\x7f\\xc3\\xa9");
}

/* Links that stay beneath the root work where openat2() is there; nothing
 * leads out of it either way. */
TEST(HttpdBeneath, OpensOnlyBeneathTheRoot) {
  TempDir dir;
  std::string root = dir.file("root");
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/js").c_str(), 0755), 0);
  write_file(root + "/js/a.js", "inside");
  write_file(dir.file("secret"), "outside");
  ASSERT_EQ(symlink("js/a.js", (root + "/inside-link").c_str()), 0);
  ASSERT_EQ(symlink("../secret", (root + "/climbs-out").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("secret").c_str(), (root + "/absolute").c_str()), 0);
  ASSERT_EQ(symlink(dir.path().c_str(), (root + "/dir-out").c_str()), 0);
  int root_fd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root_fd, 0);

  const struct {
    const char* name;
    bool with_openat2, with_walk;  /* opened with openat2(), by the walk */
  } cases[] = {{"js/a.js", true, true},       {"", true, true},
               {"inside-link", true, false},  {"climbs-out", false, false},
               {"absolute", false, false},    {"dir-out/secret", false, false}};
  for (bool openat2 : {true, false}) {
    for (const auto& c : cases) {
      bool use_openat2 = openat2;
      int fd = open_beneath(root_fd, c.name, &use_openat2);
      EXPECT_EQ(fd >= 0, openat2 ? c.with_openat2 : c.with_walk)
          << c.name << (openat2 ? " (openat2)" : " (walk)") << ": " << std::strerror(errno);
      if (fd >= 0) {
        char byte = 0;
        EXPECT_TRUE(read(fd, &byte, 1) <= 0 || byte == 'i') << c.name;
        close(fd);
      }
    }
  }
  close(root_fd);
}

}  // namespace
