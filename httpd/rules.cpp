// SPDX-License-Identifier: MIT
#include "rules.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "paths.h"

namespace httpd {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trim(std::string_view text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

/* Splits "name:port", "[v6]:port", "name" or "[v6]" into its name (the
 * brackets of an IPv6 literal kept) and port (80 when absent). False when
 * the port is not a port number. */
bool split_host(std::string_view host, std::string_view* name, unsigned* port) {
  size_t colon = host.rfind(':');
  if (!host.empty() && host.front() == '[') {
    size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    colon = close + 1 < host.size() && host[close + 1] == ':' ? close + 1 : std::string_view::npos;
    if (colon == std::string_view::npos && close + 1 != host.size()) return false;
  }
  *name = host.substr(0, colon);
  *port = 80;
  if (colon == std::string_view::npos) return !name->empty();
  std::string_view digits = host.substr(colon + 1);
  if (digits.empty() || digits.size() > 5) return false;
  unsigned value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  *port = value;
  return !name->empty() && value <= 65535;
}

Verdict refuse(unsigned status, std::string line, const char* allow = nullptr) {
  Verdict v;
  v.status = status;
  v.line = std::move(line);
  v.allow = allow;
  return v;
}

size_t count_of(std::string_view text, std::string_view part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

/* A status 0 verdict when the head leaves its body's length in no doubt. */
Verdict judge_framing(const RequestHead& head) {
  if (head.content_lengths.empty()) return {};
  if (head.transfer_encoding)
    return refuse(400, "Transfer-Encoding and Content-Length exclude each other");
  for (std::string_view value : head.content_lengths) {
    int64_t length = 0;
    if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos ||
        std::from_chars(value.data(), value.data() + value.size(), length).ec != std::errc())
      return refuse(400, "Content-Length must be a number of bytes");
    if (value != head.content_lengths.front())
      return refuse(400, "two different Content-Length headers");
  }
  return {};
}

Verdict admit_script(const RequestHead& head, const std::string& decoded) {
  /* The daemon takes the request from the first occurrence of the script's
   * name: a path must not be able to carry one. */
  if (decoded.find_first_of("?{") != std::string::npos || count_of(decoded, kScriptName) != 1)
    return refuse(400, "the path to roadshotwizard.cgi must not carry a request");
  if (!same_origin(head.sec_fetch_site, head.origin, head.host.value_or("")))
    return refuse(403, "cross-site request refused");
  bool post = head.method == "POST";
  if (!post && head.method != "GET")
    return refuse(405, "only GET and POST reach the daemon", "GET, POST");
  if (post && !(head.content_type && is_json_media_type(*head.content_type)))
    return refuse(415, "a POST to roadshotwizard.cgi must be Content-Type: application/json");
  if (!post && head.body) return refuse(413, "a GET takes no body: the request goes in the query");
  if (head.content_length > static_cast<int64_t>(kMaxRequestJson))
    return refuse(413, too_long_line());
  Verdict v;
  v.route = Route::kScript;
  return v;
}

Verdict admit_file(const RequestHead& head, const std::string& decoded) {
  if (head.method != "GET" && head.method != "HEAD")
    return refuse(405, "method not allowed", "GET, HEAD");
  Verdict v;
  switch (relative_file_path(decoded, &v.file)) {
    case PathVerdict::kBadRequest:
      return refuse(400, "malformed path");
    case PathVerdict::kForbidden:
      return refuse(403, "forbidden");
    case PathVerdict::kFile:
      break;
  }
  if (head.body) return refuse(413, "page files take no request body");
  return v;
}

}  // namespace

bool host_allowed(std::string_view host, std::string_view local_address, const HostRules& rules) {
  std::string_view name;
  unsigned port = 0;
  if (!split_host(host, &name, &port)) return false;
  for (const auto& extra : rules.extra)
    if (equal_ignoring_case(name, extra)) return true;
  if (port != rules.port) return false;
  if (equal_ignoring_case(name, "localhost") || name == "127.0.0.1" ||
      equal_ignoring_case(name, "[::1]"))
    return true;
  if (local_address.empty()) return false;
  if (local_address.find(':') == std::string_view::npos) return name == local_address;
  return name.size() == local_address.size() + 2 && name.front() == '[' &&
         equal_ignoring_case(name.substr(1, local_address.size()), local_address);
}

bool same_origin(std::optional<std::string_view> sec_fetch_site,
                 std::optional<std::string_view> origin, std::string_view host) {
  if (sec_fetch_site) return *sec_fetch_site == "same-origin" || *sec_fetch_site == "none";
  if (!origin) return true;
  constexpr std::string_view kScheme = "http://";
  return !host.empty() && origin->size() == kScheme.size() + host.size() &&
         equal_ignoring_case(origin->substr(0, kScheme.size()), kScheme) &&
         equal_ignoring_case(origin->substr(kScheme.size()), host);
}

bool is_json_media_type(std::string_view content_type) {
  return equal_ignoring_case(trim(content_type.substr(0, content_type.find(';'))),
                             "application/json");
}

Verdict admit(const RequestHead& head, const HostRules& rules) {
  if (Verdict framing = judge_framing(head); framing.status != 0) return framing;
  if (!head.host || !host_allowed(*head.host, head.local_address, rules))
    return refuse(421, "not served under this host name (lanecam-httpd --allow-host NAME admits one)");
  std::string decoded;
  if (head.path.empty() || head.path.front() != '/' || !percent_decode(head.path, &decoded)) {
    /* An encoded NUL is an attempt, not a typo. */
    return head.path.find("%00") != std::string_view::npos ? refuse(403, "forbidden")
                                                           : refuse(400, "malformed path");
  }
  return is_script_path(decoded) ? admit_script(head, decoded) : admit_file(head, decoded);
}

bool declares_body(bool chunked, const std::vector<std::string_view>& content_lengths) {
  auto nonzero = [](std::string_view v) {
    return v.find_first_not_of('0') != std::string_view::npos;
  };
  return chunked || std::any_of(content_lengths.begin(), content_lengths.end(), nonzero);
}

std::string log_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && c != '\\') {
      out.push_back(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out.append(escaped);
    }
  }
  return out;
}

}  // namespace httpd
