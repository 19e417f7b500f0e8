// SPDX-License-Identifier: MIT
/*
 * File serving: a page file opened beneath the page directory, read whole
 * and sent with its validators, compressed where the client takes gzip.
 */
#include "files.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <utility>

#include <gio/gio.h>

#include "beneath.h"
#include "handles_fd.h"
#include "handles_glib.h"
#include "messages.h"
#include "paths.h"
#include "rules.h"

namespace httpd {

namespace {

using handles::GChars;
using handles::Ref;
using DateTime = std::unique_ptr<GDateTime, handles::Release<g_date_time_unref>>;
using List = std::unique_ptr<GSList, handles::Release<soup_header_free_list>>;

/* The representation's own tag: the compressed one differs from the file's,
 * so that a cache never takes one for the other. */
const char kGzipSuffix[] = "-gz";
/* A page file larger than this is refused rather than read into memory. */
const off_t kMaxFileSize = 16 * 1024 * 1024;

std::string_view without_weak_prefix(std::string_view tag) {
  return tag.substr(0, 2) == "W/" ? tag.substr(2) : tag;
}

bool lists_tag(std::string_view if_none_match, std::string_view etag) {
  /* libsoup splits the list at commas outside quotes. */
  List tags(soup_header_parse_list(std::string(if_none_match).c_str()));
  for (GSList* t = tags.get(); t; t = t->next) {
    std::string_view tag = static_cast<const char*>(t->data);
    if (tag == "*" || without_weak_prefix(tag) == without_weak_prefix(etag)) return true;
  }
  return false;
}

bool compressible(const char* type) {
  std::string_view t = type;
  return t.substr(0, 5) == "text/" || t == "application/json" || t == "image/svg+xml";
}

/* Sets msg's reply for the page file `name`, whose stat is st and whose
 * bytes are contents; returns the status. */
guint reply_page_file(SoupServerMessage* msg, const std::string& name, const struct stat& st,
                      std::string contents) {
  SoupMessageHeaders* request = soup_server_message_get_request_headers(msg);
  SoupMessageHeaders* response = soup_server_message_get_response_headers(msg);
  const char* type = content_type(name);
  bool gzip = compressible(type) && accepts_gzip(header(request, "Accept-Encoding"));
  std::string etag = entity_tag(st);
  if (gzip) etag.insert(etag.size() - 1, kGzipSuffix);
  DateTime modified(g_date_time_new_from_unix_utc(st.st_mtim.tv_sec));
  GChars last_modified(modified ? soup_date_time_to_string(modified.get(), SOUP_DATE_HTTP)
                                : nullptr);

  /* A development server: every load asks whether a file changed, and an
   * edited file shows at once. */
  soup_message_headers_replace(response, "Cache-Control", "no-cache");
  soup_message_headers_replace(response, "Vary", "Accept-Encoding");
  soup_message_headers_replace(response, "ETag", etag.c_str());
  if (last_modified) soup_message_headers_replace(response, "Last-Modified", last_modified.get());
  if (still_current(header(request, "If-None-Match"), header(request, "If-Modified-Since"), etag,
                    st.st_mtime)) {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_MODIFIED, nullptr);
    return SOUP_STATUS_NOT_MODIFIED;
  }
  std::string compressed;
  if (gzip && gzip_text(contents, &compressed)) {
    soup_message_headers_replace(response, "Content-Encoding", "gzip");
    contents = std::move(compressed);
  } else if (gzip) {
    /* Sent as it is, under the file's own tag. */
    soup_message_headers_replace(response, "ETag", entity_tag(st).c_str());
  }
  soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
  soup_server_message_set_response(msg, type, SOUP_MEMORY_COPY, contents.data(), contents.size());
  return SOUP_STATUS_OK;
}

}  // namespace

std::string entity_tag(const struct stat& st) {
  char tag[96];
  std::snprintf(tag, sizeof tag, "\"%" PRIx64 "-%" PRIx64 "-%" PRIx64 ".%09ld\"",
                static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size),
                static_cast<uint64_t>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec));
  return tag;
}

bool still_current(std::optional<std::string_view> if_none_match,
                   std::optional<std::string_view> if_modified_since, std::string_view etag,
                   time_t mtime) {
  /* A client that sends both is judged by its tags alone. */
  if (if_none_match) return lists_tag(*if_none_match, etag);
  if (!if_modified_since) return false;
  DateTime since(soup_date_time_new_from_http_string(std::string(*if_modified_since).c_str()));
  return since && mtime <= g_date_time_to_unix(since.get());
}

bool accepts_gzip(std::optional<std::string_view> accept_encoding) {
  if (!accept_encoding) return false;
  GSList* refused_raw = nullptr;
  List taken(soup_header_parse_quality_list(std::string(*accept_encoding).c_str(), &refused_raw));
  List refused(refused_raw);
  auto has = [](GSList* list, const char* name) {
    for (GSList* l = list; l; l = l->next)
      if (g_ascii_strcasecmp(static_cast<const char*>(l->data), name) == 0) return true;
    return false;
  };
  if (has(taken.get(), "gzip") || has(taken.get(), "x-gzip")) return true;
  return has(taken.get(), "*") && !has(refused.get(), "gzip");
}

bool gzip_text(std::string_view text, std::string* out) {
  Ref<GZlibCompressor> compressor(g_zlib_compressor_new(G_ZLIB_COMPRESSOR_FORMAT_GZIP, -1));
  Ref<GOutputStream> memory(g_memory_output_stream_new_resizable());
  Ref<GOutputStream> stream(
      g_converter_output_stream_new(memory.get(), G_CONVERTER(compressor.get())));
  handles::Error error;
  gsize written = 0;
  if (!g_output_stream_write_all(stream.get(), text.data(), text.size(), &written, nullptr,
                                 error.out()) ||
      !g_output_stream_close(stream.get(), nullptr, error.out())) {
    std::fprintf(stderr, "lanecam-httpd: cannot compress a page file: %s\n", error.message());
    return false;
  }
  auto* m = G_MEMORY_OUTPUT_STREAM(memory.get());
  const char* data = static_cast<const char*>(g_memory_output_stream_get_data(m));
  out->assign(data ? data : "", g_memory_output_stream_get_data_size(m));
  return true;
}

void serve_file(SoupServerMessage* msg, int root_fd, bool* use_openat2,
                const std::string& relative) {
  std::string name = relative;
  handles::Fd fd(open_beneath(root_fd, name, use_openat2));
  struct stat st;
  if (fd.get() >= 0 && fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
    name = name.empty() ? "index.html" : name + "/index.html";
    fd.reset(open_beneath(root_fd, name, use_openat2));
  }
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      reply_plain(msg, SOUP_STATUS_NOT_FOUND, "not found");
    else
      reply_plain(msg, SOUP_STATUS_FORBIDDEN, "forbidden");
    return;
  }
  /* A FIFO or device is refused on what was opened, never on a name. */
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileSize) {
    reply_plain(msg, SOUP_STATUS_FORBIDDEN, "forbidden");
    return;
  }
  std::string contents(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = read(fd.get(), contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  contents.resize(done);
  guint status = reply_page_file(msg, name, st, std::move(contents));
  log_request(msg, std::to_string(status) + " " + log_escape(name));
}

}  // namespace httpd
