// SPDX-License-Identifier: MIT
#include "paths.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace httpd {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool percent_decode(std::string_view text, std::string* out) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int high = hex_value(text[i + 1]);
    int low = hex_value(text[i + 2]);
    if (high < 0 || low < 0) return false;
    char c = static_cast<char>(high * 16 + low);
    if (c == '\0') return false;
    decoded.push_back(c);
    i += 2;
  }
  *out = std::move(decoded);
  return true;
}

PathVerdict relative_file_path(std::string_view decoded_path, std::string* out) {
  if (decoded_path.empty() || decoded_path.front() != '/') return PathVerdict::kBadRequest;
  if (decoded_path.find('\0') != std::string_view::npos) return PathVerdict::kForbidden;

  std::string relative;
  size_t start = 0;
  while (start <= decoded_path.size()) {
    size_t end = decoded_path.find('/', start);
    if (end == std::string_view::npos) end = decoded_path.size();
    std::string_view segment = decoded_path.substr(start, end - start);
    if (segment == "..") return PathVerdict::kForbidden;
    if (!segment.empty() && segment != ".") {
      if (!relative.empty()) relative.push_back('/');
      relative.append(segment);
    }
    start = end + 1;
  }
  *out = std::move(relative);
  return PathVerdict::kFile;
}

bool is_script_path(std::string_view path) {
  size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return last == kScriptName;
}

bool transfer_message(std::string_view json, std::string* out) {
  if (json.size() > kMaxRequestJson) return false;
  std::string message;
  message.reserve(kScriptPath.size() + 1 + json.size());
  message.append(kScriptPath);
  message.push_back('?');
  message.append(json);
  *out = std::move(message);
  return true;
}

std::string too_long_line() {
  return "request too long: the daemon takes at most " + std::to_string(kMaxTransferMessage) +
         " bytes with the path";
}

const char* content_type(std::string_view file_name) {
  static const std::pair<std::string_view, const char*> kTypes[] = {
      {"html", "text/html; charset=utf-8"},
      {"htm", "text/html; charset=utf-8"},
      {"css", "text/css; charset=utf-8"},
      {"js", "text/javascript; charset=utf-8"},
      {"mjs", "text/javascript; charset=utf-8"},
      {"json", "application/json"},
      {"svg", "image/svg+xml"},
      {"png", "image/png"},
      {"ico", "image/vnd.microsoft.icon"},
  };
  size_t slash = file_name.rfind('/');
  std::string_view base = slash == std::string_view::npos ? file_name : file_name.substr(slash + 1);
  size_t dot = base.rfind('.');
  if (dot != std::string_view::npos && dot > 0) {
    std::string ext(base.substr(dot + 1));
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto& [known, type] : kTypes)
      if (ext == known) return type;
  }
  return "application/octet-stream";
}

}  // namespace httpd
