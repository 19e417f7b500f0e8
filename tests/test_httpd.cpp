// SPDX-License-Identifier: MIT
/*
 * The front end's path rules: which request paths map to which file under
 * the page directory and which are refused, percent decoding of the GET
 * query, the datagram's size limit, and the checks on resolved paths.
 */
#include <gtest/gtest.h>

#include <string>

#include "paths.h"

namespace {

using httpd::PathVerdict;

struct PathCase {
  const char* path;
  PathVerdict verdict;
  const char* relative;  /* for kFile */
};

TEST(HttpdPaths, MapsOrRefusesRequestPaths) {
  const PathCase cases[] = {
      {"/", PathVerdict::kFile, ""},
      {"/index.html", PathVerdict::kFile, "index.html"},
      {"/js//plot.js", PathVerdict::kFile, "js/plot.js"},
      {"/./a/./b.css", PathVerdict::kFile, "a/b.css"},
      {"/a%20b.css", PathVerdict::kFile, "a b.css"},
      {"/..a/b..", PathVerdict::kFile, "..a/b.."},
      /* traversal, plain and encoded in every way the decoder undoes */
      {"/..", PathVerdict::kForbidden, nullptr},
      {"/a/../../etc/passwd", PathVerdict::kForbidden, nullptr},
      {"/%2e%2e/etc/passwd", PathVerdict::kForbidden, nullptr},
      {"/%2E%2E%2Fetc%2Fpasswd", PathVerdict::kForbidden, nullptr},
      {"/a/..%2f..%2fetc", PathVerdict::kForbidden, nullptr},
      {"/.%2e/x", PathVerdict::kForbidden, nullptr},
      {"/index.html%00.png", PathVerdict::kForbidden, nullptr},
      /* not a path at all */
      {"", PathVerdict::kBadRequest, nullptr},
      {"index.html", PathVerdict::kBadRequest, nullptr},
      {"/a%zz", PathVerdict::kBadRequest, nullptr},
      {"/a%2", PathVerdict::kBadRequest, nullptr},
  };
  for (const auto& c : cases) {
    std::string out = "untouched";
    EXPECT_EQ(httpd::relative_file_path(c.path, &out), c.verdict) << c.path;
    EXPECT_EQ(out, c.relative ? c.relative : "untouched") << c.path;
  }
}

TEST(HttpdPaths, DecodesQueryEscapes) {
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

TEST(HttpdPaths, DatagramHoldsPathQuestionMarkAndJsonUpToTheLimit) {
  const std::string path = "/cgi-bin/roadshotwizard.cgi";
  const std::string fits(httpd::kMaxTransferMessage - path.size() - 1, 'x');
  std::string out;
  ASSERT_TRUE(httpd::transfer_message(path, fits, &out));
  EXPECT_EQ(out.size(), 4095u);
  EXPECT_EQ(out.substr(0, path.size() + 2), path + "?x");

  out = "untouched";
  EXPECT_FALSE(httpd::transfer_message(path, fits + "x", &out));
  EXPECT_EQ(out, "untouched");
}

TEST(HttpdPaths, ScriptIsTheLastSegmentUnderAnyPrefix) {
  EXPECT_TRUE(httpd::is_script_path("/roadshotwizard.cgi"));
  EXPECT_TRUE(httpd::is_script_path("/cgi-bin/x/roadshotwizard.cgi"));
  EXPECT_FALSE(httpd::is_script_path("/roadshotwizard.cgi/"));
  EXPECT_FALSE(httpd::is_script_path("/oldroadshotwizard.cgi"));
  EXPECT_FALSE(httpd::is_script_path("/roadshotwizard.cgi.bak"));
}

TEST(HttpdPaths, ContentTypes) {
  /* A module script served with another type is refused by the browser. */
  EXPECT_STREQ(httpd::content_type("js/form.js"), "text/javascript; charset=utf-8");
  EXPECT_STREQ(httpd::content_type("INDEX.HTML"), "text/html; charset=utf-8");
  EXPECT_STREQ(httpd::content_type("icon.svg"), "image/svg+xml");
  EXPECT_STREQ(httpd::content_type("notes.txt"), "application/octet-stream");
  EXPECT_STREQ(httpd::content_type(".css"), "application/octet-stream");
  EXPECT_STREQ(httpd::content_type("a.css/README"), "application/octet-stream");
}

TEST(HttpdPaths, InsideRootOnlyAtASegmentBoundary) {
  EXPECT_TRUE(httpd::path_inside("/srv/web", "/srv/web"));
  EXPECT_TRUE(httpd::path_inside("/srv/web", "/srv/web/js/a.js"));
  EXPECT_FALSE(httpd::path_inside("/srv/web", "/srv/web-old/a.js"));
  EXPECT_FALSE(httpd::path_inside("/srv/web", "/srv"));
  EXPECT_FALSE(httpd::path_inside("/srv/web", "/etc/passwd"));
  EXPECT_TRUE(httpd::path_inside("/", "/etc/passwd"));
}

}  // namespace
