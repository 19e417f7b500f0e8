// SPDX-License-Identifier: MIT
/*
 * The hand-over to the daemon. The datagram is sent before the connection is
 * stolen, so that a daemon that is not there can still be answered through
 * libsoup with 502. Once it is sent the message is paused, so that libsoup
 * writes nothing more, and the connection is stolen from an idle callback,
 * outside libsoup's own processing of the message, and our descriptor
 * closed: the daemon then holds the only one, and its close ends the reply.
 */
#include "handover.h"

#include <algorithm>
#include <cerrno>

#include "fdipc_client.h"
#include "messages.h"
#include "paths.h"

namespace httpd {

namespace {

const char kBoundedBodyKey[] = "lanecam-httpd-body";

struct BoundedBody {
  std::string data;
  bool over = false;
};

void collect_chunk(SoupServerMessage* msg, GBytes* chunk, gpointer) {
  auto* body = static_cast<BoundedBody*>(g_object_get_data(G_OBJECT(msg), kBoundedBodyKey));
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(chunk, &size));
  size_t room = kMaxRequestJson - std::min(kMaxRequestJson, body->data.size());
  if (size > room) body->over = true;
  body->data.append(data ? data : "", std::min<size_t>(size, room));
}

/* Runs once the handler has returned: takes the connection from libsoup;
 * its record's end closes our descriptor of it. */
gboolean finish_hand_over(gpointer data) {
  handles::Ref<SoupServerMessage> msg(static_cast<SoupServerMessage*>(data));
  Connection* c = connection_of(msg.get());
  handles::Ref<GIOStream> stream(soup_server_message_steal_connection(msg.get()));
  /* The steal has ended the record through "disconnected" already, unless
   * the record was gone before. */
  if (c && connection_of(msg.get()) == c) connection_end(c);
  return G_SOURCE_REMOVE;
}

/* The datagram for the request into *message; false once it is answered. */
bool request_message(SoupServerMessage* msg, std::string* message) {
  std::string json;
  bool too_long = false;
  if (soup_server_message_get_method(msg) == SOUP_METHOD_POST) {
    if (auto* bounded =
            static_cast<BoundedBody*>(g_object_get_data(G_OBJECT(msg), kBoundedBodyKey))) {
      json = bounded->data;
      too_long = bounded->over;
    } else {
      handles::Bytes body(soup_message_body_flatten(soup_server_message_get_request_body(msg)));
      gsize size = 0;
      const char* data = static_cast<const char*>(g_bytes_get_data(body.get(), &size));
      json.assign(data ? data : "", size);
    }
  } else {
    const char* query = g_uri_get_query(soup_server_message_get_uri(msg));
    if (query && !percent_decode(query, &json)) {
      reply_plain(msg, SOUP_STATUS_BAD_REQUEST, "malformed percent escape in the query");
      return false;
    }
  }
  /* The daemon reads the request as a C string: a NUL would cut it short. */
  if (json.find('\0') != std::string::npos) {
    reply_plain(msg, SOUP_STATUS_BAD_REQUEST, "the request contains a NUL byte");
    return false;
  }
  if (too_long || !transfer_message(json, message)) {
    reply_plain(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, too_long_line());
    return false;
  }
  return true;
}

}  // namespace

void collect_script_body(SoupServerMessage* msg) {
  soup_message_body_set_accumulate(soup_server_message_get_request_body(msg), FALSE);
  g_object_set_data_full(G_OBJECT(msg), kBoundedBodyKey, new BoundedBody,
                         [](gpointer p) { delete static_cast<BoundedBody*>(p); });
  g_signal_connect(msg, "got-chunk", G_CALLBACK(collect_chunk), nullptr);
}

void hand_to_daemon(SoupServerMessage* msg, Connection* c, const std::string& socket_path) {
  std::string message;
  if (!request_message(msg, &message)) return;
  handles::Fd transfer(fdipc_client_socket(socket_path.c_str()));
  if (transfer.get() < 0) {
    reply_plain(msg, SOUP_STATUS_BAD_GATEWAY,
                transfer_reach_error(errno, socket_path, TransferVoice::kFrontEnd));
    return;
  }
  /* The descriptor goes as GSocket keeps it, non-blocking: the daemon
   * writes its reply without waiting on the descriptor's mode. */
  if (fdipc_send(transfer.get(), message.data(), message.size(), c->fd()) < 0) {
    int err = errno;
    /* A full queue: the daemon is there but busy, as its own 503 says, so
     * the page's retry applies. */
    if (err == EAGAIN)
      soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Retry-After",
                                   "1");
    reply_plain(msg, err == EAGAIN ? SOUP_STATUS_SERVICE_UNAVAILABLE : SOUP_STATUS_BAD_GATEWAY,
                transfer_send_error(err, socket_path, TransferVoice::kFrontEnd));
    return;
  }
  soup_server_message_pause(msg);
  g_idle_add(finish_hand_over, g_object_ref(msg));
  log_request(msg, "lanecamd");
}

}  // namespace httpd
