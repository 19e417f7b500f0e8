// SPDX-License-Identifier: MIT
/*
 * A client of the transfer socket that behaves like the web server: one
 * datagram with the request text ("... roadshotwizard.cgi", one character,
 * the JSON) and one end of a connection attached; the reply is read from the
 * other end until the daemon closes it.
 */
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

/* The request text the web server would send for a JSON body. */
std::string cgi_message(const std::string& json);

/* Sends one datagram to the socket at path with the descriptors attached.
 * Returns false when sending fails. */
bool send_datagram(const std::string& path, const std::string& bytes, const std::vector<int>& fds);

/* Sends size bytes as one message on sock with the descriptors attached:
 * to the socket bound at path, or where sock is connected when path is
 * empty; flags as for sendmsg, retried on EINTR. True when all of it went. */
bool send_with_fds(int sock, const void* bytes, size_t size, const std::vector<int>& fds,
                   int flags = 0, const std::string& path = "");

/* A socket bound at path (whatever was there is removed first), as the
 * service manager holds one; -1 when it cannot be bound. */
int bound_datagram_socket(const std::string& path, int type = SOCK_DGRAM);

/* Reads fd until end of file or timeout; timed_out tells which. */
std::string read_to_eof(int fd, std::chrono::milliseconds timeout, bool* timed_out = nullptr);

/* Sends message with a fresh connection attached and returns everything the
 * daemon wrote to it before closing. */
std::string send_request(const std::string& path, const std::string& message,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

/* send_request, repeated while the daemon answers 503: a worker lowers
 * the count of requests in flight only after it has closed the connection,
 * so a client that sends again as soon as it has read its reply may find
 * earlier requests still counted. */
std::string send_when_admitted(const std::string& path, const std::string& message);

/* The JSON body of an HTTP reply (between the header block and the final
 * line end); empty when the reply is not a 200 with a body. */
std::string reply_body(const std::string& http_reply);

/*
 * A request whose reply the daemon cannot write until the test lets it: the
 * connection's queue toward the reading end is filled before the descriptor
 * is passed, so the daemon's write blocks just as with a slow client. The
 * connection is a stream socket or a pipe, in blocking mode either way.
 */
enum class HeldKind { socket, pipe };

class HeldRequest {
 public:
  HeldRequest(const std::string& path, const std::string& message,
              HeldKind kind = HeldKind::socket);
  ~HeldRequest();
  HeldRequest(const HeldRequest&) = delete;
  HeldRequest& operator=(const HeldRequest&) = delete;
  bool sent() const { return sent_; }
  /* Drains the filler and returns the daemon's reply. */
  std::string release(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  int read_fd_ = -1;
  size_t filler_ = 0;
  bool sent_ = false;
};

extern const char kBusyReply[];
