// SPDX-License-Identifier: MIT
/*
 * lanecam-httpd: a development stand-in for the camera's web server. Serves
 * the page's files and hands every request for roadshotwizard.cgi to lanecamd
 * over its transfer socket, so that the page runs on a workstation as on the
 * camera.
 */
#include <glib-unix.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gio/gio.h>

#include "frontend.h"
#include "handles_glib.h"
#include "transfer.h"

namespace {

const char kDefaultListen[] = "127.0.0.1:8080";

enum ExitStatus { kExitOk = 0, kExitStartup = 1, kExitUsage = 2 };

using handles::GChars;
using Address = handles::Ref<GSocketAddress>;

void complain(const std::string& text) { std::fprintf(stderr, "lanecam-httpd: %s\n", text.c_str()); }

/* "ADDRESS:PORT" with a numeric address ("[::1]:8080" for IPv6) to a socket
 * address; nullptr after complaining. */
GSocketAddress* parse_listen(const std::string& text) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    complain("--listen takes ADDRESS:PORT, not '" + text + "'");
    return nullptr;
  }
  std::string host = text.substr(0, colon);
  std::string port_text = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  char* end = nullptr;
  errno = 0;
  long port = std::strtol(port_text.c_str(), &end, 10);
  if (port_text.empty() || *end != '\0' || errno != 0 || port < 0 || port > 65535) {
    complain("--listen: not a port number: '" + port_text + "'");
    return nullptr;
  }
  GSocketAddress* address =
      g_inet_socket_address_new_from_string(host.c_str(), static_cast<guint>(port));
  if (!address) complain("--listen: not a numeric address: '" + host + "'");
  return address;
}

/* Descriptors kept free of connections: standard streams, the listener, the
 * page directory, a file being served, a transfer socket, GLib's own. */
const rlim_t kReservedDescriptors = 32;
/* Connections at most, whatever the descriptor limit. */
const size_t kMaxConnections = 512;

/* Raises the soft descriptor limit to the hard one and returns how many
 * connections fit below it. */
size_t connection_cap() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return kMaxConnections;
  rlim_t room = limit.rlim_cur > 2 * kReservedDescriptors ? limit.rlim_cur - kReservedDescriptors
                                                          : limit.rlim_cur / 2;
  return std::max<size_t>(1, std::min<size_t>(kMaxConnections, room));
}

gboolean quit_loop(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

/* Takes the --allow-host names into hosts, in lower case; false after
 * complaining of one that is no host name. */
bool allow_hosts(gchar** names, httpd::HostRules* hosts) {
  for (gchar** name = names; name && *name; ++name) {
    if (!**name || std::strpbrk(*name, ":/[] \t")) {
      complain(std::string("--allow-host takes a host name, not '") + *name + "'");
      return false;
    }
    GChars lower(g_ascii_strdown(*name, -1));
    hosts->extra.push_back(lower.get());
  }
  return true;
}

/* Parses the command line into *config, the address to listen on and its
 * text as given; returns -1 to go on, else an exit status. */
int parse_command_line(int argc, char** argv, FrontEndConfig* config, Address* address,
                       std::string* listen_at) {
  gchar* listen_arg = nullptr;
  gchar* root_arg = nullptr;
  gchar* socket_arg = nullptr;
  gchar** allow_arg = nullptr;
  gboolean version = FALSE;
  const GOptionEntry entries[] = {
      {"listen", 'l', 0, G_OPTION_ARG_STRING, &listen_arg,
       "Listen on this numeric address and port (default 127.0.0.1:8080; port 0 takes a free "
       "one)",
       "ADDRESS:PORT"},
      {"root", 'r', 0, G_OPTION_ARG_FILENAME, &root_arg,
       "Serve the page from DIR (default " LANECAM_HTTPD_DEFAULT_ROOT ")", "DIR"},
      {"socket", 's', 0, G_OPTION_ARG_FILENAME, &socket_arg,
       "The daemon's transfer socket (default $" TRANSFER_SOCKET_ENV ", else " TRANSFER_SOCKET_PATH
       ")",
       "PATH"},
      {"allow-host", 'a', 0, G_OPTION_ARG_STRING_ARRAY, &allow_arg,
       "Also answer requests that name this host (repeatable; any port)", "NAME"},
      {"version", 'V', 0, G_OPTION_ARG_NONE, &version, "Show the version and exit", nullptr},
      {},
  };
  handles::OptionContext context(g_option_context_new(nullptr));
  g_option_context_set_summary(context.get(),
                               "Serves lanecamd's page and hands its requests to the daemon, as "
                               "the camera's web server does.");
  g_option_context_add_main_entries(context.get(), entries, nullptr);
  handles::Error error;
  gboolean parsed = g_option_context_parse(context.get(), &argc, &argv, error.out());
  context.reset();
  GChars listen_text(listen_arg), root_text(root_arg), socket_text(socket_arg);
  handles::Strv allow_names(allow_arg);
  if (!parsed) {
    complain(error.message());
    std::fprintf(stderr, "Try 'lanecam-httpd --help' for more information.\n");
    return kExitUsage;
  }
  if (argc > 1) {
    complain(std::string("unexpected argument: ") + argv[1]);
    return kExitUsage;
  }
  if (version) {
    std::printf("lanecam-httpd %s\n", LANECAMD_VERSION);
    return kExitOk;
  }
  config->socket_path = socket_text ? socket_text.get() : transfer_socket_path();
  config->root = root_text ? root_text.get() : LANECAM_HTTPD_DEFAULT_ROOT;
  if (!allow_hosts(allow_names.get(), &config->hosts)) return kExitUsage;
  *listen_at = listen_text ? listen_text.get() : kDefaultListen;
  address->reset(parse_listen(*listen_at));
  return *address ? -1 : kExitUsage;
}

/* Opens a bound, listening, non-blocking socket on address (listen_at as
 * given) and finishes *config with the connection cap and the port taken;
 * the bound address into *bound. Returns the socket, or -1 after
 * complaining. */
int open_listener(FrontEndConfig* config, GSocketAddress* address, const std::string& listen_at,
                  Address* bound) {
  if (geteuid() == 0)
    complain("warning: running as root; a web front end needs no privileges: run it as a user "
             "in the transfer socket's group instead");
  config->max_connections = connection_cap();
  sockaddr_storage native{};
  gssize size = g_socket_address_get_native_size(address);
  int fd = -1;
  handles::Error error;
  if (size > 0 && g_socket_address_to_native(address, &native, sizeof native, error.out()))
    fd = socket(native.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            (native.ss_family != AF_INET6 ||
             setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) == 0) &&
            bind(fd, reinterpret_cast<sockaddr*>(&native), static_cast<socklen_t>(size)) == 0 &&
            listen(fd, SOMAXCONN) == 0;
  if (!ok) {
    complain("cannot listen on " + listen_at + ": " + std::strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  socklen_t bound_size = sizeof native;
  getsockname(fd, reinterpret_cast<sockaddr*>(&native), &bound_size);
  bound->reset(g_socket_address_new_from_native(&native, bound_size));
  config->hosts.port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound->get()));
  return fd;
}

/* Serves on listener, bound at bound, until SIGTERM or SIGINT; returns the
 * exit status. */
int run(const FrontEndConfig& config, int listener, GSocketAddress* bound) {
  /* A client gone before its reply is an error of the write, not a signal. */
  signal(SIGPIPE, SIG_IGN);
  FrontEndPtr front_end(front_end_start(&config, listener));
  if (!front_end) return kExitStartup;
  std::printf("lanecam-httpd: listening on http://%s/\n", address_text(bound, true).c_str());
  std::printf("lanecam-httpd: page from %s, requests for roadshotwizard.cgi to %s\n",
              config.root.c_str(), config.socket_path.c_str());
  std::fflush(stdout);

  handles::MainLoop loop(g_main_loop_new(nullptr, FALSE));
  guint term = g_unix_signal_add(SIGTERM, quit_loop, loop.get());
  guint interrupt = g_unix_signal_add(SIGINT, quit_loop, loop.get());
  g_main_loop_run(loop.get());
  g_source_remove(term);
  g_source_remove(interrupt);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  FrontEndConfig config;
  Address address, bound;
  std::string listen_at;
  int status = parse_command_line(argc, argv, &config, &address, &listen_at);
  if (status >= 0) return status;
  int listener = open_listener(&config, address.get(), listen_at, &bound);
  return listener < 0 ? kExitStartup : run(config, listener, bound.get());
}
