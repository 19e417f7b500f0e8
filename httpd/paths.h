// SPDX-License-Identifier: MIT
/*
 * Request paths of the development front end, as pure functions: percent
 * decoding, the mapping of a decoded request path to a file under the page
 * directory, the recognition of the script's path, the datagram handed to
 * the daemon, and the content type of a file. Nothing here touches the file
 * system: files are opened beneath the page directory (beneath.h).
 */
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "transfer.h"

namespace httpd {

/* The daemon takes at most this many bytes of one datagram. */
inline constexpr size_t kMaxTransferMessage = TRANSFER_REQUEST_MAX;

/* The last path segment of every request that goes to the daemon. */
inline constexpr std::string_view kScriptName = TRANSFER_SCRIPT_NAME;

/* The path every datagram names, whatever path the request came by: the
 * daemon takes the request from the first occurrence of the script's name. */
inline constexpr std::string_view kScriptPath = "/" TRANSFER_SCRIPT_NAME;

/* Bytes of JSON that fit into one datagram after the path and its '?'. */
inline constexpr size_t kMaxRequestJson = kMaxTransferMessage - kScriptPath.size() - 1;

/*
 * Decodes the %XX escapes of text into *out ('+' stays '+'). Returns false,
 * leaving *out untouched, for a '%' without two hexadecimal digits after it
 * and for an escape that decodes to NUL.
 */
bool percent_decode(std::string_view text, std::string* out);

enum class PathVerdict {
  kFile,        /* *out holds the path relative to the page directory */
  kBadRequest,  /* not a path */
  kForbidden,   /* a ".." segment or a NUL */
};

/*
 * Maps a decoded request path ("/css/page one.css") to a path relative to
 * the page directory ("css/page one.css"; "" for the directory itself).
 * Empty and "." segments are dropped. *out is written only for kFile.
 */
PathVerdict relative_file_path(std::string_view decoded_path, std::string* out);

/* True when the last segment of the decoded path is the script's name. */
bool is_script_path(std::string_view decoded_path);

/*
 * Builds the datagram for the daemon: the script's path, "?" and the JSON.
 * Returns false, leaving *out untouched, when it would be longer than the
 * daemon takes.
 */
bool transfer_message(std::string_view json, std::string* out);

/* The one plain line of a 413 for a request the daemon could not take. */
std::string too_long_line();

/* The Content-Type for a file name, by its extension (any case);
 * application/octet-stream for any other. */
const char* content_type(std::string_view file_name);

}  // namespace httpd
