// SPDX-License-Identifier: MIT
/*
 * What the hand-over and the file serving do with a libsoup message besides
 * their own work: read a request header, answer with a status and one plain
 * line, and log the request's outcome as one line on standard output.
 */
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <libsoup/soup.h>

namespace httpd {

/* Every copy of a header, joined as libsoup joins them (two Host headers
 * name no host); nullopt when there is none. */
std::optional<std::string_view> header(SoupMessageHeaders* headers, const char* name);

/* Logs "METHOD PATH -> outcome", the method and path escaped. */
void log_request(SoupServerMessage* msg, const std::string& outcome);

/* Answers status with line and a line end, not to be stored, and logs it;
 * allow, when given, is the Allow header of a 405. */
void reply_plain(SoupServerMessage* msg, guint status, const std::string& line,
                 const char* allow = nullptr);

}  // namespace httpd
