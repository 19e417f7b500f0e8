// SPDX-License-Identifier: MIT
/*
 * Who may talk to the front end and what it may ask, decided from the
 * request head alone, before any body is read: the Host the front end was
 * reached by (a page of another site that rebinds its name to this machine
 * names itself there), the site a browser request comes from
 * (Sec-Fetch-Site, else Origin against Host: the cross-origin protection of
 * Go's net/http, applied to every method of the script), the method, the
 * path, the content type and the declared length of the body, which must be
 * one plain number where it is given at all. Pure
 * functions, so that the unit tests and the fuzz target exercise them
 * without a server; frontend.cpp applies the verdict.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace httpd {

/* Headers on everything the front end writes itself. The page has no inline
 * script or style, so it works under this policy unchanged. */
struct HeaderField {
  const char* name;
  const char* value;
};
inline constexpr HeaderField kProtectiveHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
     "connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
};

/* The names the front end answers to besides its own address. */
struct HostRules {
  unsigned port = 0;                /* the listening port */
  std::vector<std::string> extra;   /* --allow-host names, lower case, any port */
};

/* The parts of a request head a verdict depends on; nullopt for an absent
 * header. */
struct RequestHead {
  std::string_view method;
  std::string_view path;            /* as sent: still percent-encoded */
  std::optional<std::string_view> host;
  std::optional<std::string_view> origin;
  std::optional<std::string_view> sec_fetch_site;
  std::optional<std::string_view> content_type;
  std::string_view local_address;   /* the IP literal the connection reached ("::1") */
  bool body = false;                /* a body is declared: declares_body() */
  int64_t content_length = -1;      /* the declared length; -1 when none is */
  std::vector<std::string_view> content_lengths;  /* every Content-Length value, as sent */
  bool transfer_encoding = false;   /* a Transfer-Encoding header is there */
};

enum class Route { kScript, kFile };

struct Verdict {
  unsigned status = 0;          /* 0: serve it; else the refusal's status */
  std::string line;             /* the refusal's one plain line */
  const char* allow = nullptr;  /* the Allow header of a 405 */
  Route route = Route::kFile;
  std::string file;             /* kFile: the path relative to the page directory */
};

/*
 * The verdict on a request head, the checks in this order: the body's
 * framing (400: a Content-Length that is not digits alone, two that differ,
 * or one beside Transfer-Encoding, as nginx and Go's net/http refuse them;
 * equal copies pass, as in Go), Host (421), then for the script the path
 * (400), the site (403), the method (405), the content type of a POST (415)
 * and the declared length (413); for a page file the method (405), the path
 * (400, 403) and any declared body (413).
 */
Verdict admit(const RequestHead& head, const HostRules& rules);

/*
 * True when a head declares a body: chunked, or any Content-Length value
 * other than zero, whichever copy libsoup keeps (the last), so that a
 * refusal never leaves a body unread behind it.
 */
bool declares_body(bool chunked, const std::vector<std::string_view>& content_lengths);

/*
 * True when a Host header names this front end: localhost, 127.0.0.1, [::1]
 * or the address the connection reached, each with the listening port (no
 * port: 80), or one of the extra names with any port. Names compare without
 * regard to case.
 */
bool host_allowed(std::string_view host, std::string_view local_address, const HostRules& rules);

/*
 * True when a request is not a cross-site one: Sec-Fetch-Site is
 * "same-origin" or "none"; without it, Origin is absent or is exactly
 * "http://" and the Host header.
 */
bool same_origin(std::optional<std::string_view> sec_fetch_site,
                 std::optional<std::string_view> origin, std::string_view host);

/* True when a Content-Type header is application/json, with any parameters. */
bool is_json_media_type(std::string_view content_type);

/* Text from a client made safe for a log line or a terminal: bytes outside
 * printable ASCII, and the backslash, become \xNN. */
std::string log_escape(std::string_view text);

}  // namespace httpd
