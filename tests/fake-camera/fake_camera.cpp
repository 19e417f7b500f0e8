// SPDX-License-Identifier: MIT
/*
 * fake-camera: a stand-in for the camera's image-control and optics services
 * on a private D-Bus, for the tests and for demos.
 *
 * It connects to the bus named by DBUS_SYSTEM_BUS_ADDRESS, owns
 * "com.ombrex.ImageControl" and "com.ombrex.Optics2", answers the standard
 * properties interface of "/com/ombrex/ImageControl/0/0" and the day/night
 * method of "/com/ombrex/Optics0", prints "ready" and then appends one line
 * per method call it receives to the record file, written before the call is
 * answered. It is strict like the real services: a wrong object, interface,
 * property or signature is recorded and then answered with the D-Bus error a
 * service would give. Per run it can answer the optics flag true, false or
 * with an error, fail chosen members, and delay chosen replies; delayed
 * replies are sent from the event loop, so other connections are served
 * meanwhile. SIGTERM or SIGINT ends it with status 0.
 *
 * A record line is the call, a tab, and where the call went:
 *
 *   Set MaxExposureTime i 250<TAB>sender=:1.4 destination=com.ombrex.ImageControl
 *       path=/com/ombrex/ImageControl/0/0 interface=org.freedesktop.DBus.Properties
 *       property-interface=com.ombrex.Configuration.Legacy
 *   Set IrisEnabled ay 121 101 115 0<TAB>...
 *   Get IrCutParamInOpticsd<TAB>...
 *   SetDayNightMode s auto<TAB>sender=:1.4 destination=com.ombrex.Optics2 ...
 *
 * The call is the member, then for a properties Set or Get the property, then
 * the signature of the value received (the variant's contents for Set, the
 * whole body otherwise; absent for Get) and the value. Byte arrays are shown
 * as decimal bytes, other containers in brackets; in text, backslash, control
 * characters and DEL are written \xHH, and in the property name also space.
 * The properties of the tab-separated tail are present on every line.
 *
 * The stats file (--stats) is replaced whenever a count changes, so the
 * largest number of applications in flight at once can be read at any time.
 * An application starts with a connection's MaxExposureTime write and ends
 * with its day/night call (SetDayNightMode or the DayNightEnabled write) or
 * with the connection's disconnect.
 */
#include <fcntl.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const char kImageControlService[] = "com.ombrex.ImageControl";
const char kImageControlPath[] = "/com/ombrex/ImageControl/0/0";
const char kLegacyInterface[] = "com.ombrex.Configuration.Legacy";
const char kStreamInterface[] = "com.ombrex.ImageControlStream";
const char kOpticsService[] = "com.ombrex.Optics2";
const char kOpticsPath[] = "/com/ombrex/Optics0";
const char kDayNightInterface[] = "com.ombrex.DayNight1";
const char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
const char kOpticsFlag[] = "IrCutParamInOpticsd";
const char kDefaultErrorName[] = "org.freedesktop.DBus.Error.Failed";

/* The writable image-control properties and the signature each takes. */
const std::map<std::string, std::string> kWritable = {
    {"MaxExposureTime", "i"}, {"MaxGain", "i"},         {"IrisPosition", "i"},
    {"IrisEnabled", "ay"},    {"WDR", "ay"},            {"DayNightEnabled", "ay"},
};

const char kHelp[] =
    "Usage: fake-camera --record FILE [OPTION...]\n"
    "\n"
    "Stands in for the camera's image-control and optics services on the bus\n"
    "named by DBUS_SYSTEM_BUS_ADDRESS (which must be set). Prints \"ready\" once\n"
    "it owns com.ombrex.ImageControl and com.ombrex.Optics2, records every call\n"
    "it receives, and exits with status 0 on SIGTERM or SIGINT.\n"
    "\n"
    "  --record FILE          append one line per call to FILE (\"-\": stdout)\n"
    "  --stats FILE           keep counts of calls and applications in FILE\n"
    "  --optics true|false|error\n"
    "                         answer to the IrCutParamInOpticsd read (true)\n"
    "  --fail MEMBER[:ERROR_NAME[:MESSAGE]]\n"
    "                         answer MEMBER with a D-Bus error\n"
    "                         (default org.freedesktop.DBus.Error.Failed,\n"
    "                         \"MEMBER failed\")\n"
    "  --no-message-error MEMBER[:ERROR_NAME]\n"
    "                         answer MEMBER with an error that has no message\n"
    "  --delay MEMBER:MILLISECONDS\n"
    "                         answer MEMBER only after MILLISECONDS\n"
    "  --help                 show this text\n"
    "\n"
    "MEMBER is the property name for a properties Set or Get (MaxGain,\n"
    "IrCutParamInOpticsd) and the method name otherwise (SetDayNightMode).\n"
    "Options that name members may be given more than once.\n";

struct Failure {
  std::string name;
  std::string message;
  bool has_message = true;
};

struct Options {
  std::string record;
  std::string stats;
  std::string optics = "true";
  std::map<std::string, Failure> fail;
  std::map<std::string, uint64_t> delay_ms;
};

/* How a call is to be answered. */
struct Answer {
  enum Kind { kEmpty, kBool, kError } kind = kEmpty;
  int flag = 0;
  Failure error;
};

struct Pending;

struct State {
  Options options;
  sd_bus* bus = nullptr;
  sd_event* event = nullptr;
  int record_fd = -1;
  std::string unique_name;
  std::set<std::string> applying; /* senders with an application in flight */
  long calls = 0;
  long applications = 0;
  long max_in_flight = 0;
  std::set<Pending*> pending;
};

/* A delayed answer waiting for its timer. */
struct Pending {
  State* state;
  sd_bus_message* call;
  Answer answer;
  sd_event_source* timer = nullptr;
};

[[noreturn]] void usage_error(const std::string& what) {
  fprintf(stderr, "fake-camera: %s\nTry 'fake-camera --help'.\n", what.c_str());
  exit(2);
}

[[noreturn]] void fatal(const char* what, int r) {
  fprintf(stderr, "fake-camera: %s: %s\n", what, strerror(-r));
  exit(1);
}

/* Rough check of the D-Bus error name grammar: a bad name would make the
 * reply fail to build and leave the caller waiting for its timeout. */
bool valid_error_name(const std::string& name) {
  if (name.empty() || name.size() > 255 || name.find('.') == std::string::npos) return false;
  bool element_start = true;
  for (char c : name) {
    if (c == '.') {
      if (element_start) return false;
      element_start = true;
      continue;
    }
    bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    if (!alpha && !(c >= '0' && c <= '9')) return false;
    if (element_start && !alpha) return false;
    element_start = false;
  }
  return !element_start;
}

void parse_failure(const std::string& value, bool has_message, Options* options) {
  size_t first = value.find(':');
  std::string member = value.substr(0, first);
  if (member.empty()) usage_error("missing member in '" + value + "'");
  Failure f{kDefaultErrorName, member + " failed", has_message};
  if (first != std::string::npos) {
    size_t second = has_message ? value.find(':', first + 1) : std::string::npos;
    f.name = value.substr(first + 1, second == std::string::npos ? std::string::npos
                                                                  : second - first - 1);
    if (second != std::string::npos) f.message = value.substr(second + 1);
  }
  if (!valid_error_name(f.name)) usage_error("invalid D-Bus error name '" + f.name + "'");
  options->fail[member] = f;
}

void parse_delay(const std::string& value, Options* options) {
  size_t colon = value.find(':');
  if (colon == std::string::npos || colon == 0) usage_error("--delay wants MEMBER:MILLISECONDS");
  const char* digits = value.c_str() + colon + 1;
  char* end = nullptr;
  errno = 0;
  unsigned long long ms = strtoull(digits, &end, 10);
  if (!*digits || *end || errno || *digits == '-') usage_error("bad delay in '" + value + "'");
  options->delay_ms[value.substr(0, colon)] = ms;
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      fputs(kHelp, stdout);
      exit(0);
    }
    std::string name = arg, value;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      usage_error("missing value for '" + arg + "'");
    }
    if (name == "--record") options.record = value;
    else if (name == "--stats") options.stats = value;
    else if (name == "--optics") {
      if (value != "true" && value != "false" && value != "error")
        usage_error("--optics wants true, false or error");
      options.optics = value;
    } else if (name == "--fail") parse_failure(value, true, &options);
    else if (name == "--no-message-error") parse_failure(value, false, &options);
    else if (name == "--delay") parse_delay(value, &options);
    else usage_error("unknown option '" + name + "'");
  }
  if (options.record.empty()) usage_error("--record FILE is required");
  return options;
}

std::string escape(const char* text, bool escape_space) {
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p < 0x20 || *p == 0x7f || *p == '\\' || (escape_space && *p == ' ')) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02x", *p);
      out += hex;
    } else {
      out += static_cast<char>(*p);
    }
  }
  return out;
}

void append_token(std::string* out, const std::string& token) {
  if (!out->empty()) *out += ' ';
  *out += token;
}

/* Renders the values from the read position to the end of the current
 * container; returns a negative errno when the message cannot be read. */
int render_values(sd_bus_message* m, std::string* out) {
  for (;;) {
    char type;
    const char* contents;
    int r = sd_bus_message_peek_type(m, &type, &contents);
    if (r <= 0) return r;
    if (type == 'a' && strcmp(contents, "y") == 0) {
      const void* data;
      size_t size;
      r = sd_bus_message_read_array(m, 'y', &data, &size);
      if (r < 0) return r;
      std::string bytes;
      for (size_t i = 0; i < size; ++i)
        append_token(&bytes, std::to_string(static_cast<const uint8_t*>(data)[i]));
      if (!bytes.empty()) append_token(out, bytes);
      continue;
    }
    if (type == 'a' || type == 'v' || type == 'r' || type == 'e') {
      r = sd_bus_message_enter_container(m, type, contents);
      if (r < 0) return r;
      std::string inner;
      r = render_values(m, &inner);
      if (r < 0) return r;
      r = sd_bus_message_exit_container(m);
      if (r < 0) return r;
      const char* open = type == 'a' ? "[" : type == 'v' ? "<" : type == 'r' ? "(" : "{";
      const char* close = type == 'a' ? "]" : type == 'v' ? ">" : type == 'r' ? ")" : "}";
      append_token(out, open + inner + close);
      continue;
    }
    union {
      uint8_t y;
      int b;
      int16_t n;
      uint16_t q;
      int32_t i;
      uint32_t u;
      int64_t x;
      uint64_t t;
      double d;
      const char* s;
    } v;
    r = sd_bus_message_read_basic(m, type, &v);
    if (r < 0) return r;
    char buf[64];
    switch (type) {
      case 'y': snprintf(buf, sizeof buf, "%u", v.y); break;
      case 'b': snprintf(buf, sizeof buf, "%s", v.b ? "true" : "false"); break;
      case 'n': snprintf(buf, sizeof buf, "%d", v.n); break;
      case 'q': snprintf(buf, sizeof buf, "%u", v.q); break;
      case 'i': case 'h': snprintf(buf, sizeof buf, "%" PRId32, v.i); break;
      case 'u': snprintf(buf, sizeof buf, "%" PRIu32, v.u); break;
      case 'x': snprintf(buf, sizeof buf, "%" PRId64, v.x); break;
      case 't': snprintf(buf, sizeof buf, "%" PRIu64, v.t); break;
      case 'd': snprintf(buf, sizeof buf, "%.17g", v.d); break;
      default: append_token(out, escape(v.s, false)); continue;
    }
    append_token(out, buf);
  }
}

void write_stats(const State* state) {
  if (state->options.stats.empty()) return;
  char text[256];
  int n = snprintf(text, sizeof text, "calls %ld\napplications %ld\nin_flight %zu\nmax_in_flight %ld\n",
                   state->calls, state->applications, state->applying.size(),
                   state->max_in_flight);
  // Replaced whole, so a reader never sees a half-written file.
  std::string temp = state->options.stats + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, text, n) != n || close(fd) < 0 ||
      rename(temp.c_str(), state->options.stats.c_str()) < 0)
    fatal("cannot write the stats file", -errno);
}

void record(State* state, const std::string& line) {
  std::string text = line + "\n";
  if (write(state->record_fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    fatal("cannot write the record file", -errno);
}

void track_application(State* state, const std::string& sender, const std::string& key) {
  if (key == "MaxExposureTime") {
    if (state->applying.insert(sender).second) {
      ++state->applications;
      if (static_cast<long>(state->applying.size()) > state->max_in_flight)
        state->max_in_flight = static_cast<long>(state->applying.size());
    }
  } else if (key == "SetDayNightMode" || key == "DayNightEnabled") {
    state->applying.erase(sender);
  }
}

Answer error_answer(const char* name, const std::string& message) {
  Answer a;
  a.kind = Answer::kError;
  a.error = Failure{name, message, true};
  return a;
}

void send_answer(sd_bus_message* call, const Answer& answer) {
  int r;
  if (answer.kind == Answer::kError) {
    sd_bus_error error = SD_BUS_ERROR_MAKE_CONST(
        answer.error.name.c_str(),
        answer.error.has_message ? answer.error.message.c_str() : nullptr);
    r = sd_bus_reply_method_error(call, &error);
  } else if (answer.kind == Answer::kBool) {
    r = sd_bus_reply_method_return(call, "v", "b", answer.flag);
  } else {
    r = sd_bus_reply_method_return(call, nullptr);
  }
  // The caller may be gone by now; that is its business, not a failure here.
  if (r < 0 && r != -ENOTCONN && r != -ECONNRESET)
    fprintf(stderr, "fake-camera: cannot answer: %s\n", strerror(-r));
}

void free_pending(Pending* p) {
  p->state->pending.erase(p);
  sd_event_source_unref(p->timer);
  sd_bus_message_unref(p->call);
  delete p;
}

int on_delay_elapsed(sd_event_source*, uint64_t, void* userdata) {
  auto* p = static_cast<Pending*>(userdata);
  send_answer(p->call, p->answer);
  free_pending(p);
  return 0;
}

/* What a real service would answer to a call it received, before any
 * failure or delay asked for on the command line. */
Answer route(const State* state, const std::string& destination, const std::string& path,
             const std::string& interface, const std::string& member, const char* signature,
             bool is_property, const std::string& property_interface,
             const std::string& property, const std::string& value_signature,
             const std::string& value) {
  bool image = destination == kImageControlService || destination == state->unique_name;
  bool optics = destination == kOpticsService || destination == state->unique_name;
  if (image && path == kImageControlPath) {
    if (interface != kPropertiesInterface)
      return error_answer(SD_BUS_ERROR_UNKNOWN_INTERFACE, "No such interface '" + interface + "'");
    if (!is_property)
      return error_answer(SD_BUS_ERROR_UNKNOWN_METHOD, "No method '" + member + "' with signature '" + signature + "'");
    if (member == "Get") {
      if (property_interface == kStreamInterface && property == kOpticsFlag) {
        if (state->options.optics == "error")
          return error_answer(kDefaultErrorName, "The optics flag cannot be read");
        Answer a;
        a.kind = Answer::kBool;
        a.flag = state->options.optics == "true";
        return a;
      }
      return error_answer(SD_BUS_ERROR_UNKNOWN_PROPERTY, "No readable property '" + property + "'");
    }
    if (property_interface == kStreamInterface && property == kOpticsFlag)
      return error_answer(SD_BUS_ERROR_PROPERTY_READ_ONLY, "Property '" + property + "' is read-only");
    auto writable = kWritable.find(property);
    if (property_interface != kLegacyInterface || writable == kWritable.end())
      return error_answer(SD_BUS_ERROR_UNKNOWN_PROPERTY, "No writable property '" + property + "'");
    if (value_signature != writable->second)
      return error_answer(SD_BUS_ERROR_INVALID_ARGS, "Property '" + property + "' takes '" +
                                                         writable->second + "', not '" +
                                                         value_signature + "'");
    return Answer{};
  }
  if (optics && path == kOpticsPath) {
    if (interface != kDayNightInterface)
      return error_answer(SD_BUS_ERROR_UNKNOWN_INTERFACE, "No such interface '" + interface + "'");
    if (member != "SetDayNightMode" || strcmp(signature, "s") != 0)
      return error_answer(SD_BUS_ERROR_UNKNOWN_METHOD, "No method '" + member + "' with signature '" + signature + "'");
    if (value != "on" && value != "off" && value != "auto")
      return error_answer(SD_BUS_ERROR_INVALID_ARGS, "Unknown day/night mode '" + value + "'");
    return Answer{};
  }
  return error_answer(SD_BUS_ERROR_UNKNOWN_OBJECT, "No object '" + path + "' on '" + destination + "'");
}

int on_call(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* state = static_cast<State*>(userdata);
  auto header = [](const char* s) { return std::string(s ? s : ""); };
  std::string sender = header(sd_bus_message_get_sender(m));
  std::string destination = header(sd_bus_message_get_destination(m));
  std::string path = header(sd_bus_message_get_path(m));
  std::string interface = header(sd_bus_message_get_interface(m));
  std::string member = header(sd_bus_message_get_member(m));
  const char* signature = sd_bus_message_get_signature(m, 1);

  bool is_property = false;
  std::string property_interface, property, value_signature, value;
  int r = 0;
  if (interface == kPropertiesInterface &&
      ((member == "Set" && strcmp(signature, "ssv") == 0) ||
       (member == "Get" && strcmp(signature, "ss") == 0))) {
    const char* iface;
    const char* prop;
    r = sd_bus_message_read(m, "ss", &iface, &prop);
    if (r >= 0) {
      is_property = true;
      property_interface = iface;
      property = prop;
    }
    if (r >= 0 && member == "Set") {
      char type;
      const char* contents;
      r = sd_bus_message_peek_type(m, &type, &contents);
      if (r >= 0) {
        value_signature = contents;
        r = sd_bus_message_enter_container(m, 'v', contents);
      }
      if (r >= 0) r = render_values(m, &value);
    }
  } else {
    value_signature = signature;
    r = render_values(m, &value);
  }
  if (r < 0) value = "<unreadable: " + std::string(strerror(-r)) + ">";

  std::string head = member;
  if (is_property) append_token(&head, escape(property.c_str(), true));
  if (!value_signature.empty()) append_token(&head, value_signature);
  if (!value.empty()) append_token(&head, value);
  record(state, head + "\tsender=" + sender + " destination=" + destination + " path=" + path +
                    " interface=" + interface +
                    " property-interface=" + escape(property_interface.c_str(), true));

  std::string key = is_property ? property : member;
  ++state->calls;
  track_application(state, sender, key);
  write_stats(state);

  Answer answer = route(state, destination, path, interface, member, signature, is_property,
                        property_interface, property, value_signature, value);
  if (answer.kind != Answer::kError) {
    auto failure = state->options.fail.find(key);
    if (failure != state->options.fail.end()) {
      answer.kind = Answer::kError;
      answer.error = failure->second;
    }
  }

  auto delay = state->options.delay_ms.find(key);
  if (delay == state->options.delay_ms.end()) {
    send_answer(m, answer);
    return 1;
  }
  auto* p = new Pending{state, sd_bus_message_ref(m), answer};
  state->pending.insert(p);
  r = sd_event_add_time_relative(state->event, &p->timer, CLOCK_MONOTONIC,
                                 delay->second * 1000, 0, on_delay_elapsed, p);
  if (r < 0) fatal("cannot arm a delay timer", r);
  return 1;
}

int on_name_owner_changed(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* state = static_cast<State*>(userdata);
  const char *name, *old_owner, *new_owner;
  if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0) return 0;
  if (!*new_owner && state->applying.erase(name) > 0) write_stats(state);
  return 0;
}

int on_signal(sd_event_source* source, const struct signalfd_siginfo*, void*) {
  return sd_event_exit(sd_event_source_get_event(source), 0);
}

}  // namespace

int main(int argc, char** argv) {
  State state;
  state.options = parse_options(argc, argv);
  signal(SIGPIPE, SIG_IGN);

  // Never take the real camera's names on a real system bus.
  const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (!address || !*address) usage_error("DBUS_SYSTEM_BUS_ADDRESS must name the bus to serve");

  state.record_fd = state.options.record == "-"
                        ? STDOUT_FILENO
                        : open(state.options.record.c_str(),
                               O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (state.record_fd < 0) fatal("cannot open the record file", -errno);

  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);

  int r = sd_event_new(&state.event);
  if (r < 0) fatal("cannot create the event loop", r);
  if ((r = sd_event_add_signal(state.event, nullptr, SIGTERM, on_signal, nullptr)) < 0 ||
      (r = sd_event_add_signal(state.event, nullptr, SIGINT, on_signal, nullptr)) < 0)
    fatal("cannot watch signals", r);

  r = sd_bus_open_system(&state.bus);
  if (r < 0) fatal("cannot connect to the bus", r);
  const char* unique = nullptr;
  if ((r = sd_bus_get_unique_name(state.bus, &unique)) < 0) fatal("cannot read the unique name", r);
  state.unique_name = unique;
  if ((r = sd_bus_set_exit_on_disconnect(state.bus, 1)) < 0 ||
      (r = sd_bus_attach_event(state.bus, state.event, SD_EVENT_PRIORITY_NORMAL)) < 0)
    fatal("cannot attach the bus", r);
  if ((r = sd_bus_add_fallback(state.bus, nullptr, "/", on_call, &state)) < 0)
    fatal("cannot serve objects", r);
  if ((r = sd_bus_match_signal(state.bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameOwnerChanged",
                               on_name_owner_changed, &state)) < 0)
    fatal("cannot watch disconnects", r);
  // A fake that was just stopped may still hold the names until the bus
  // notices; take them over rather than fail.
  for (const char* name : {kImageControlService, kOpticsService}) {
    r = sd_bus_request_name(state.bus, name,
                            SD_BUS_NAME_ALLOW_REPLACEMENT | SD_BUS_NAME_REPLACE_EXISTING);
    if (r < 0) fatal(name, r);
  }
  write_stats(&state);

  fputs("ready\n", stdout);
  fflush(stdout);

  r = sd_event_loop(state.event);
  write_stats(&state);
  while (!state.pending.empty()) free_pending(*state.pending.begin());
  sd_bus_flush_close_unref(state.bus);
  sd_event_unref(state.event);
  if (state.record_fd != STDOUT_FILENO) close(state.record_fd);
  return r < 0 ? 1 : 0;
}
