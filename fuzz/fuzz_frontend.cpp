// SPDX-License-Identifier: MIT
/*
 * Fuzz target of lanecam-httpd's request rules: arbitrary bytes as a request
 * head, one field a line (method, encoded path, query, Host, Origin,
 * Sec-Fetch-Site, Content-Type, then the Content-Length values and
 * "chunked" for Transfer-Encoding, comma-separated; an empty line is an
 * absent header), the rest as the body. The verdict must be one of the front
 * end's statuses with one plain line; a page file must lie beneath the page
 * directory; what goes to the daemon must start with the script's own path;
 * and nothing escaped for the log may hold a control byte.
 */
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "paths.h"
#include "rules.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_frontend: %s\n%.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

std::optional<std::string_view> header(std::string_view field) {
  return field.empty() ? std::nullopt : std::optional<std::string_view>(field);
}

void check_file(const std::string& file) {
  if (!file.empty() && (file.front() == '/' || file.back() == '/')) fail("file not relative", file);
  size_t start = 0;
  while (start <= file.size() && !file.empty()) {
    size_t end = std::min(file.find('/', start), file.size());
    std::string_view segment(file.data() + start, end - start);
    if (segment.empty() || segment == "." || segment == "..") fail("file leaves the root", file);
    start = end + 1;
  }
  if (file.find('\0') != std::string::npos) fail("NUL in the file", file);
}

void check_datagram(std::string_view json) {
  std::string message;
  if (!httpd::transfer_message(json, &message)) {
    if (json.size() <= httpd::kMaxRequestJson) fail("a request that fits was refused", json);
    return;
  }
  /* The daemon starts at the first occurrence of the script's name and skips
   * one character after it. */
  if (message.size() > httpd::kMaxTransferMessage) fail("datagram too long", message);
  if (message.find(httpd::kScriptName) != 1 || message[1 + httpd::kScriptName.size()] != '?' ||
      message.compare(2 + httpd::kScriptName.size(), std::string::npos, json) != 0)
    fail("datagram does not name the script first", message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> fields;
  while (fields.size() < 8) {
    size_t end = input.find('\n');
    fields.push_back(input.substr(0, end));
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  }
  std::string_view body = input;

  httpd::RequestHead head;
  head.method = fields[0];
  head.path = fields[1];
  head.host = header(fields[3]);
  head.origin = header(fields[4]);
  head.sec_fetch_site = header(fields[5]);
  head.content_type = header(fields[6]);
  head.local_address = "127.0.0.1";
  for (std::string_view rest = fields[7]; !rest.empty();) {
    std::string_view item = rest.substr(0, rest.find(','));
    rest.remove_prefix(std::min(rest.size(), item.size() + 1));
    if (item == "chunked") head.transfer_encoding = true;
    else head.content_lengths.push_back(item);
  }
  /* As libsoup reads it: the last length, chunked before any. */
  if (!head.content_lengths.empty() && !head.transfer_encoding)
    head.content_length =
        std::strtoll(std::string(head.content_lengths.back()).c_str(), nullptr, 10);
  head.body = httpd::declares_body(head.transfer_encoding, head.content_lengths);
  httpd::HostRules rules;
  rules.port = 8080;
  rules.extra = {"camera.example"};

  httpd::Verdict v = httpd::admit(head, rules);
  switch (v.status) {
    case 0:
      if (v.route == httpd::Route::kFile) {
        check_file(v.file);
      } else {
        check_datagram(head.method == "POST" ? body : std::string_view());
        std::string query;
        if (httpd::percent_decode(fields[2], &query)) check_datagram(query);
      }
      break;
    case 400: case 403: case 405: case 413: case 415: case 421:
      if (v.line.empty() || v.line.find_first_of("\r\n") != std::string::npos)
        fail("not one plain line", v.line);
      if ((v.allow != nullptr) != (v.status == 405)) fail("Allow header amiss", v.line);
      break;
    default:
      fail("unexpected status", std::to_string(v.status));
  }
  for (std::string_view text : {head.method, head.path}) {
    for (char c : httpd::log_escape(text))
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
        fail("control byte in a log line", text);
  }
  return 0;
}
