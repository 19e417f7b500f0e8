// SPDX-License-Identifier: MIT
/*
 * lanecam-httpd: a development stand-in for the camera's web server. Serves
 * the page's files and hands every request for roadshotwizard.cgi to lanecamd
 * over its transfer socket, so that the page runs on a workstation as on the
 * camera.
 */
#include <glib-unix.h>
#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <libsoup/soup.h>

#include "frontend.h"

namespace {

const char kDefaultListen[] = "127.0.0.1:8080";
const char kDefaultSocket[] = "/run/lanecamd/transfer";

enum ExitStatus { kExitOk = 0, kExitStartup = 1, kExitUsage = 2 };

struct GFree {
  void operator()(void* p) const { g_free(p); }
};
using GChars = std::unique_ptr<gchar, GFree>;

struct ObjectUnref {
  void operator()(gpointer p) const { g_object_unref(p); }
};
using Server = std::unique_ptr<SoupServer, ObjectUnref>;
using Address = std::unique_ptr<GSocketAddress, ObjectUnref>;

struct LoopUnref {
  void operator()(GMainLoop* l) const { g_main_loop_unref(l); }
};
using Loop = std::unique_ptr<GMainLoop, LoopUnref>;

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

gboolean quit_loop(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  gchar* listen_arg = nullptr;
  gchar* root_arg = nullptr;
  gchar* socket_arg = nullptr;
  gboolean version = FALSE;
  const GOptionEntry entries[] = {
      {"listen", 'l', 0, G_OPTION_ARG_STRING, &listen_arg,
       "Listen on this numeric address and port (default 127.0.0.1:8080; port 0 takes a free "
       "one)",
       "ADDRESS:PORT"},
      {"root", 'r', 0, G_OPTION_ARG_FILENAME, &root_arg,
       "Serve the page from DIR (default " LANECAM_HTTPD_DEFAULT_ROOT ")", "DIR"},
      {"socket", 's', 0, G_OPTION_ARG_FILENAME, &socket_arg,
       "The daemon's transfer socket (default $LANECAMD_TRANSFER_SOCKET, else "
       "/run/lanecamd/transfer)",
       "PATH"},
      {"version", 'V', 0, G_OPTION_ARG_NONE, &version, "Show the version and exit", nullptr},
      {},
  };
  GOptionContext* context = g_option_context_new(nullptr);
  g_option_context_set_summary(context,
                               "Serves lanecamd's page and hands its requests to the daemon, as "
                               "the camera's web server does.");
  g_option_context_add_main_entries(context, entries, nullptr);
  GError* error = nullptr;
  gboolean parsed = g_option_context_parse(context, &argc, &argv, &error);
  g_option_context_free(context);
  GChars listen_text(listen_arg), root_text(root_arg), socket_text(socket_arg);
  if (!parsed) {
    complain(error->message);
    g_error_free(error);
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

  FrontEndConfig config;
  const char* env_socket = std::getenv("LANECAMD_TRANSFER_SOCKET");
  config.socket_path = socket_text ? socket_text.get()
                       : env_socket && *env_socket ? env_socket
                                                   : kDefaultSocket;
  const char* root = root_text ? root_text.get() : LANECAM_HTTPD_DEFAULT_ROOT;
  char resolved_root[PATH_MAX];
  if (!realpath(root, resolved_root)) {
    complain(std::string("no page directory at ") + root + ": " + std::strerror(errno) +
             " (use --root)");
    return kExitStartup;
  }
  config.root = resolved_root;
  Address address(parse_listen(listen_text ? listen_text.get() : kDefaultListen));
  if (!address) return kExitUsage;

  /* A client gone before its reply is an error of the write, not a signal. */
  signal(SIGPIPE, SIG_IGN);

  Server server(static_cast<SoupServer*>(
      g_object_new(SOUP_TYPE_SERVER, "server-header", "lanecam-httpd/" LANECAMD_VERSION, nullptr)));
  front_end_attach(server.get(), &config);
  if (!soup_server_listen(server.get(), address.get(), static_cast<SoupServerListenOptions>(0),
                          &error)) {
    complain(std::string("cannot listen on ") + (listen_text ? listen_text.get() : kDefaultListen) +
             ": " + error->message);
    g_error_free(error);
    return kExitStartup;
  }
  /* From the listening sockets rather than soup_server_get_uris, which
   * leaks an address in libsoup 3.2. */
  GSList* listeners = soup_server_get_listeners(server.get());
  for (GSList* l = listeners; l; l = l->next) {
    Address local(g_socket_get_local_address(static_cast<GSocket*>(l->data), nullptr));
    if (!local) continue;
    GInetAddress* inet = g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(local.get()));
    GChars host(g_inet_address_to_string(inet));
    bool v6 = g_inet_address_get_family(inet) == G_SOCKET_FAMILY_IPV6;
    std::printf("lanecam-httpd: listening on http://%s%s%s:%u/\n", v6 ? "[" : "", host.get(),
                v6 ? "]" : "", g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local.get())));
  }
  g_slist_free(listeners);
  std::printf("lanecam-httpd: page from %s, requests for roadshotwizard.cgi to %s\n",
              config.root.c_str(), config.socket_path.c_str());
  std::fflush(stdout);

  Loop loop(g_main_loop_new(nullptr, FALSE));
  guint term = g_unix_signal_add(SIGTERM, quit_loop, loop.get());
  guint interrupt = g_unix_signal_add(SIGINT, quit_loop, loop.get());
  g_main_loop_run(loop.get());
  g_source_remove(term);
  g_source_remove(interrupt);
  soup_server_disconnect(server.get());
  return kExitOk;
}
