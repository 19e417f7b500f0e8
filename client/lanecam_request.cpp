// SPDX-License-Identifier: MIT
/*
 * lanecam-request: sends one JSON request to lanecamd's transfer socket the
 * way the web server does and prints the reply.
 *
 * The request travels as one datagram, "POST /cgi-bin/roadshotwizard.cgi?"
 * followed by the JSON text, with one end of a fresh stream socket pair
 * attached as the client connection. The daemon writes its HTTP reply to
 * that end and closes it; the tool reads the other end until end of file,
 * for at most the timeout from the start of the exchange and at most 1 MiB.
 * It prints the reply body (or, with --raw, the whole HTTP reply) on
 * standard output, with the peer's control characters as \xNN, and its exit
 * status tells a success reply, an error reply, a busy daemon, a request
 * that never reached the daemon and one that got no readable answer apart.
 */
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <glib.h>
#include <jansson.h>

#include "fdipc_client.h"
#include "handles_fd.h"
#include "handles_json.h"
#include "transfer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

enum ExitStatus {
  kExitOk = 0,        /* 200 with a success reply */
  kExitApiError = 1,  /* 200 with an error reply, no body, or a body that is not JSON */
  kExitUsage = 2,     /* the command line is wrong */
  kExitBusy = 3,      /* 503: two requests were already being served */
  kExitNoAnswer = 4,  /* sent, but no reply within the timeout, or one not HTTP or unreadable */
  kExitNotSent = 5,   /* never reached the daemon: no socket, permission, nobody receiving */
  kExitOutput = 6,    /* the output could not be written */
};

const char kMessagePrefix[] = "POST /cgi-bin/" TRANSFER_SCRIPT_NAME "?";
/* The daemon takes at most this many bytes of one message. */
const size_t kMaxMessage = TRANSFER_REQUEST_MAX;
const double kDefaultTimeout = 10.0;
/* The daemon's replies take a few kilobytes; a peer that sends more than
 * this is not the daemon, and is not read further. */
const size_t kMaxReply = 1024 * 1024;

const char kUsage[] =
    "Usage: lanecam-request [OPTION...] COMMAND\n"
    "\n"
    "Sends one request to lanecamd over its transfer socket, as the web server\n"
    "does, and prints the JSON body of the reply.\n"
    "\n"
    "Commands:\n"
    "  get                      the stored scene and the ranges of its values\n"
    "  versions                 the API versions the daemon supports\n"
    "  set --preview|--apply --road-offset M --car-distance M\n"
    "      --camera-height M --car-speed M/S\n"
    "                           compute the camera settings for a scene; with\n"
    "                           --apply also store the scene and send the\n"
    "                           settings to the camera\n"
    "  send JSON                send JSON as it is ('-' reads it from standard input)\n"
    "\n"
    "Options:\n"
    "  --socket PATH            the transfer socket (default: $" TRANSFER_SOCKET_ENV ",\n"
    "                           else " TRANSFER_SOCKET_PATH ")\n"
    "  --raw                    print the whole HTTP reply as received\n"
    "  --timeout SECONDS        how long the whole exchange may take (default 10)\n"
    "  --context TEXT           context text to send with get, versions and set\n"
    "  -h, --help               show this help\n"
    "  --version                show the version\n"
    "  --                       end of the options\n"
    "\n"
    "Exit status: 0 success reply, 1 error reply, 2 wrong command line,\n"
    "3 daemon busy (HTTP 503), 4 sent but no answer (timeout, or a reply that\n"
    "is not HTTP, is over 1 MiB or has bytes after its JSON), 5 not sent (no\n"
    "socket, permission denied, nobody receiving, or the daemon's queue stayed\n"
    "full), 6 the output could not be written.\n"
    "See lanecam-request(1).\n";

using handles::Fd;
using handles::Json;
using handles::JsonText;

struct Options {
  std::optional<std::string> socket_path;
  bool raw = false;
  double timeout = kDefaultTimeout;
  std::optional<std::string> context;
  std::string command;
  /* set */
  std::optional<bool> apply;
  bool preview_and_apply = false;
  std::optional<std::string> road_offset, car_distance, camera_height, car_speed;
  /* send */
  std::optional<std::string> json;
};

void complain(const std::string& text) { std::cerr << "lanecam-request: " << text << "\n"; }

int usage_error(const std::string& text) {
  complain(text);
  std::cerr << "Try 'lanecam-request --help' for more information.\n";
  return kExitUsage;
}

using Clock = std::chrono::steady_clock;

int millis_left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

/* A scene value as JSON: an integer when the text is one, else a finite real. */
Json scene_value(const std::string& text) {
  if (text.empty()) return nullptr;
  errno = 0;
  char* end = nullptr;
  long long whole = std::strtoll(text.c_str(), &end, 10);
  if (errno == 0 && *end == '\0') return Json(json_integer(whole));
  errno = 0;
  double real = std::strtod(text.c_str(), &end);
  /* strtod also takes hexadecimal, infinity and NaN, which JSON has not. */
  bool plain = text.find_first_not_of("+-0123456789.eE") == std::string::npos;
  if (errno != 0 || *end != '\0' || !plain || !std::isfinite(real)) return nullptr;
  return Json(json_real(real));
}

/* The JSON text of the request the options describe; empty after a usage
 * error has been reported in *status. */
std::string build_request(const Options& o, int* status) {
  if (o.command == "send") return *o.json;

  Json request(json_object());
  json_object_set_new(request.get(), "apiVersion", json_string("1.0"));
  if (o.context) json_object_set_new(request.get(), "context", json_string(o.context->c_str()));
  if (o.command == "get") {
    json_object_set_new(request.get(), "method", json_string("get"));
  } else if (o.command == "versions") {
    json_object_set_new(request.get(), "method", json_string("getSupportedVersions"));
  } else {
    json_object_set_new(request.get(), "method", json_string("set"));
    if (!o.apply) {
      *status = usage_error("set needs --preview or --apply");
      return "";
    }
    Json params(json_object());
    json_object_set_new(params.get(), "apply", json_boolean(*o.apply));
    const std::pair<const char*, const std::optional<std::string>*> values[] = {
        {"roadOffset", &o.road_offset},
        {"carDistance", &o.car_distance},
        {"cameraHeight", &o.camera_height},
        {"carSpeed", &o.car_speed},
    };
    std::string missing;
    for (const auto& [key, text] : values) {
      if (!*text) {
        missing += std::string(missing.empty() ? "" : ", ") + key;
        continue;
      }
      Json value = scene_value(**text);
      if (!value) {
        *status = usage_error(std::string("not a number for ") + key + ": '" + **text + "'");
        return "";
      }
      json_object_set_new(params.get(), key, value.release());
    }
    if (!missing.empty()) {
      *status = usage_error("set needs every scene value; missing: " + missing);
      return "";
    }
    json_object_set_new(request.get(), "params", params.release());
  }
  JsonText text(json_dumps(request.get(), JSON_COMPACT | JSON_PRESERVE_ORDER));
  return text ? std::string(text.get()) : std::string();
}

/* The long options, by letters of their own, those with a value first. */
const option kOptions[] = {
    {"socket", required_argument, nullptr, 's'},
    {"timeout", required_argument, nullptr, 't'},
    {"context", required_argument, nullptr, 'c'},
    {"road-offset", required_argument, nullptr, 'o'},
    {"car-distance", required_argument, nullptr, 'd'},
    {"camera-height", required_argument, nullptr, 'e'},
    {"car-speed", required_argument, nullptr, 'v'},
    {"raw", no_argument, nullptr, 'r'},
    {"preview", no_argument, nullptr, 'p'},
    {"apply", no_argument, nullptr, 'a'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

/* Takes the option getopt_long read from the word arg into *o; returns -1
 * to go on, else an exit status. */
int take_option(int opt, const std::string& arg, Options* o) {
  int letter = opt == ':' || opt == '?' ? optopt : opt;
  const option* known = std::find_if(std::begin(kOptions), std::end(kOptions) - 1,
                                     [letter](const option& x) { return x.val == letter; });
  /* Whole names only, as ever: getopt_long would take "--ra" for --raw. */
  if (!known->name || arg.substr(0, arg.find('=')) != std::string("--") + known->name) opt = '?';
  std::string value = optarg ? optarg : "";
  char* end = nullptr;
  switch (opt) {
    case '?':  /* unknown, misspelt, or -h: the one short option, never in a cluster */
      if (arg != "-h") return usage_error("unknown option: " + arg);
      [[fallthrough]];
    case 'h':
    case 'V':
      std::fputs(opt == 'V' ? "lanecam-request " LANECAMD_VERSION "\n" : kUsage, stdout);
      return kExitOk;
    case ':':
      return usage_error(arg + " needs " + (letter == 's'   ? "a path"
                                            : letter == 't' ? "a number of seconds"
                                            : letter == 'c' ? "a text" : "a number"));
    case 'r':
      o->raw = true;
      return -1;
    case 'p':
    case 'a':
      if (o->apply && *o->apply != (opt == 'a')) o->preview_and_apply = true;
      o->apply = opt == 'a';
      return -1;
    case 't':
      o->timeout = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(o->timeout > 0) || o->timeout > 3600)
        return usage_error("--timeout takes seconds, above 0 and at most 3600: '" + value + "'");
      return -1;
  }
  /* The other options with a value, in kOptions' order. */
  std::optional<std::string>* kept[] = {&o->socket_path, nullptr, &o->context, &o->road_offset,
                                        &o->car_distance, &o->camera_height, &o->car_speed};
  *kept[known - kOptions] = value;
  return -1;
}

/* Parses the command line into *o; returns -1 to go on, else an exit status. */
int parse_command_line(int argc, char** argv, Options* o) {
  o->socket_path = transfer_socket_path();
  std::vector<std::string> words;
  /* "-": the command words come back in order among the options; ":" tells
   * a missing value from an unknown option, which the tool words itself. */
  opterr = 0;
  for (int at = optind, opt; (opt = getopt_long(argc, argv, "-:", kOptions, nullptr)) != -1;
       at = optind) {
    if (opt == 1) words.push_back(optarg);
    else if (int status = take_option(opt, argv[at], o); status >= 0) return status;
  }
  words.insert(words.end(), argv + optind, argv + argc);

  if (words.empty()) return usage_error("no command given (get, versions, set or send)");
  o->command = words[0];
  if (o->command == "send") {
    if (words.size() != 2) return usage_error("send takes one JSON text, or '-'");
    o->json = words[1] == "-" ? std::string(std::istreambuf_iterator<char>(std::cin), {})
                              : words[1];
  } else if (o->command == "get" || o->command == "versions" || o->command == "set") {
    if (words.size() != 1) return usage_error("unexpected argument: " + words[1]);
  } else {
    return usage_error("unknown command: " + o->command);
  }

  if (o->preview_and_apply) return usage_error("--preview and --apply exclude each other");
  bool has_scene = o->road_offset || o->car_distance || o->camera_height || o->car_speed;
  if (o->command != "set" && (o->apply || has_scene))
    return usage_error("--preview, --apply and the scene values belong to set");
  if (o->command == "send" && o->context)
    return usage_error("--context does not apply to send: put it in the JSON");
  return -1;
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

/* Sends the message with the connection end attached, waiting for room in
 * the daemon's queue until the deadline. Returns an exit status. */
int send_message(const std::string& path, const std::string& message, int connection,
                 Clock::time_point deadline, double timeout) {
  /* A missing or dead socket shows at once, before anything is sent. */
  Fd sock(fdipc_client_socket(path.c_str()));
  if (sock.get() < 0) {
    complain(transfer_reach_error(errno, path, TransferVoice::kTool));
    return kExitNotSent;
  }

  for (;;) {
    if (fdipc_send(sock.get(), message.data(), message.size(), connection) >= 0) return kExitOk;
    if (errno != EAGAIN) {
      complain(transfer_send_error(errno, path, TransferVoice::kTool));
      return kExitNotSent;
    }
    pollfd p{sock.get(), POLLOUT, 0};
    int left = millis_left(deadline);
    if (left == 0 || poll(&p, 1, left) == 0) {
      complain(transfer_send_error(EAGAIN, path, TransferVoice::kTool, seconds_text(timeout)));
      return kExitNotSent;
    }
  }
}

enum class ReadEnd { kWhole, kTimedOut, kTooLong };

/* Reads fd to end of file, until the deadline and at most kMaxReply bytes. */
ReadEnd read_reply(int fd, Clock::time_point deadline, std::string* reply) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int left = millis_left(deadline);
    if (left == 0) return ReadEnd::kTimedOut;
    int r = poll(&p, 1, left);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return ReadEnd::kTimedOut;
    char buf[16384];
    /* One byte past the bound tells a reply over it from one that ends there. */
    ssize_t n = read(fd, buf, std::min(sizeof buf, kMaxReply + 1 - reply->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ReadEnd::kWhole;
    reply->append(buf, static_cast<size_t>(n));
    if (reply->size() > kMaxReply) return ReadEnd::kTooLong;
  }
}

/* Text of the peer as it may reach a terminal: control characters (C0, DEL,
 * C1) and bytes that are not UTF-8 become \xNN; with lines, newlines and
 * tabs stay. GLib's decoder tells a C1 control from the bytes of a letter. */
std::string shown(std::string_view text, bool lines) {
  std::string out;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    gunichar c = g_utf8_get_char_validated(p, end - p);
    bool valid = c != static_cast<gunichar>(-1) && c != static_cast<gunichar>(-2);
    size_t size = valid ? g_utf8_skip[static_cast<guchar>(*p)] : 1;
    bool kept = lines && (c == '\n' || c == '\t');
    if (valid && (kept || (c >= 0x20 && c != 0x7f && !(c >= 0x80 && c < 0xa0)))) {
      out.append(p, size);
    } else {
      for (size_t i = 0; i < size; ++i) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(p[i]));
        out += escaped;
      }
    }
    p += size;
  }
  return out;
}

/* The code of a status line "HTTP/1.x NNN reason", the reason free of
 * control characters and perhaps empty; 0 for any other line. */
int status_code(const std::string& line) {
  auto digit = [&line](size_t i) { return line[i] >= '0' && line[i] <= '9'; };
  if (line.size() < 13 || line.compare(0, 7, "HTTP/1.") != 0 || !digit(7) || line[8] != ' ' ||
      !digit(9) || !digit(10) || !digit(11) || line[12] != ' ')
    return 0;
  for (size_t i = 13; i < line.size(); ++i)
    if (static_cast<unsigned char>(line[i]) < 0x20 || line[i] == 0x7f) return 0;
  return std::atoi(line.c_str() + 9);
}

/* The exit status of a 200's body, printed unless raw: a JSON object, with
 * nothing after it and no NUL, that is not an error reply. */
int report_body(const std::string& body, bool raw) {
  if (body.empty()) {
    complain("the daemon answered without a body (internal failure)");
    return kExitApiError;
  }
  /* What follows the JSON, or a NUL, would go unseen by a reader that stops
   * there: such a reply is neither success nor error. */
  Json whole(json_loadb(body.data(), body.size(), 0, nullptr));
  Json first(whole ? nullptr
                    : json_loadb(body.data(), body.size(), JSON_DISABLE_EOF_CHECK, nullptr));
  if (first || body.find('\0') != std::string::npos) {
    complain("the reply is unreadable: bytes follow its JSON, or it holds a NUL");
    return kExitNoAnswer;
  }
  if (!raw) {
    std::string text = shown(body, true);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
  }
  if (!json_is_object(whole.get())) {
    complain("the reply body is not a JSON object");
    return kExitApiError;
  }
  json_t* error = json_object_get(whole.get(), "error");
  if (error) {
    json_int_t error_code = json_integer_value(json_object_get(error, "code"));
    const char* message = json_string_value(json_object_get(error, "message"));
    complain("error reply " + std::to_string(error_code) + ": " +
             shown(message ? message : "", false));
    return kExitApiError;
  }
  return kExitOk;
}

/* Prints the reply as asked and turns it into the exit status. */
int report_reply(const std::string& reply, bool raw) {
  if (raw) std::fwrite(reply.data(), 1, reply.size(), stdout);

  if (reply.empty()) {
    complain("the daemon closed the connection without a reply");
    return kExitNoAnswer;
  }
  size_t line_end = reply.find("\r\n");
  size_t header_end = reply.find("\r\n\r\n");
  std::string status_line = reply.substr(0, line_end);
  int code = status_code(status_line);
  if (line_end == std::string::npos || header_end == std::string::npos || code == 0) {
    complain("the answer is not an HTTP reply");
    return kExitNoAnswer;
  }
  std::string body = reply.substr(header_end + 4);
  if (body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") == 0)
    body.resize(body.size() - 2);

  if (code == 503) {
    while (!body.empty() && body.back() == '\n') body.pop_back();
    complain("the daemon is busy (" + status_line.substr(9) + "): " + shown(body, false));
    return kExitBusy;
  }
  if (code != 200) {
    complain("unexpected reply: " + status_line);
    return kExitApiError;
  }
  return report_body(body, raw);
}

/* Whether the request text is a set with apply, as far as it parses. */
bool asks_to_apply(const std::string& json) {
  Json request(json_loads(json.c_str(), 0, nullptr));
  const char* method = json_string_value(json_object_get(request.get(), "method"));
  json_t* params = json_object_get(request.get(), "params");
  return method && std::strcmp(method, "set") == 0 &&
         json_is_true(json_object_get(params, "apply"));
}

/* Does what the command line asks; returns the exit status. */
int run(int argc, char** argv) {
  Options options;
  int status = parse_command_line(argc, argv, &options);
  if (status >= 0) return status;

  status = -1;
  std::string json = build_request(options, &status);
  if (status >= 0) return status;
  std::string message = kMessagePrefix + json;
  if (message.size() > kMaxMessage) {
    return usage_error("request too long: " + std::to_string(message.size()) +
                       " bytes with the script name, the daemon takes at most " +
                       std::to_string(kMaxMessage));
  }

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) {
    complain(std::string("cannot create a connection: ") + std::strerror(errno));
    return kExitNotSent;
  }
  Fd daemon_end(pair[0]);
  Fd our_end(pair[1]);

  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(options.timeout));
  status = send_message(*options.socket_path, message, daemon_end.get(), deadline, options.timeout);
  if (status != kExitOk) return status;
  /* Only the daemon's copy may stay open, or end of file would never come. */
  daemon_end.reset();

  std::string reply;
  ReadEnd end = read_reply(our_end.get(), deadline, &reply);
  if (end == ReadEnd::kTooLong) {
    complain("the reply is unreadable: it is longer than 1 MiB");
    return kExitNoAnswer;
  }
  if (end == ReadEnd::kTimedOut) {
    /* The daemon has the request: an apply may still be stored and sent to
     * the camera after we stop waiting. */
    bool applying = asks_to_apply(json);
    complain("no answer from lanecamd on " + *options.socket_path + " within " +
             seconds_text(options.timeout) + " s" +
             (applying ? "; the settings may still have been applied" : ""));
    return kExitNoAnswer;
  }
  return report_reply(reply, options.raw);
}

}  // namespace

int main(int argc, char** argv) {
  int status = run(argc, argv);
  /* Output that did not reach its destination (a full disk, a closed pipe
   * under SIGPIPE's ignore) must not pass for a success. */
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    int err = errno;
    complain(std::string("cannot write the output") + (err ? ": " : "") +
             (err ? std::strerror(err) : ""));
    return kExitOutput;
  }
  return status;
}
