// SPDX-License-Identifier: MIT
/*
 * Page files as the front end sends them: opened beneath the page directory
 * (beneath.h) and judged on what was opened, never on a name, with
 * validators taken from that file (an ETag and Last-Modified), 304 when the
 * client's copy is still the file's, and compressed with gzip (GLib's
 * GZlibCompressor) when the client accepts it, so that a reload over a weak
 * link costs a few hundred bytes a file and a first load about a third of
 * the page's size.
 */
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include <libsoup/soup.h>

namespace httpd {

/* The ETag of a file as opened: its inode, size and modification time, so
 * that an edit or a file renamed into its place gives another one. */
std::string entity_tag(const struct stat& st);

/*
 * True when the client's copy is current: If-None-Match, when sent, lists
 * etag (weakly compared) or is "*"; else If-Modified-Since is a date no
 * earlier than mtime, seconds since the epoch.
 */
bool still_current(std::optional<std::string_view> if_none_match,
                   std::optional<std::string_view> if_modified_since, std::string_view etag,
                   time_t mtime);

/* True when Accept-Encoding takes gzip (by name, or by "*" without refusing
 * gzip), parsed by libsoup's quality-list parser. */
bool accepts_gzip(std::optional<std::string_view> accept_encoding);

/* text compressed by gzip into *out; false (leaving *out untouched) if GLib
 * could not. */
bool gzip_text(std::string_view text, std::string* out);

/*
 * Answers msg with the page file at relative (its index.html for a
 * directory) beneath the directory root_fd, and logs it: 404 or 403 when
 * there is none or it may not be served; else 304 when the request's
 * validators say the client has it, or 200 with the file, compressed where
 * the client accepts it and the file's type is text. *use_openat2 is
 * open_beneath's.
 */
void serve_file(SoupServerMessage* msg, int root_fd, bool* use_openat2,
                const std::string& relative);

}  // namespace httpd
