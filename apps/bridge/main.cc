// vexaupload-bridge: the upload control for web pages on a desktop without
// COM. A page includes vexaupload.js and scripts the control over a loopback
// WebSocket; pages of registered origins only.

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "account/account_api.h"
#include "account/api_base.h"
#include "account/session.h"
#include "apps/bridge/bridge_server.h"
#include "apps/bridge/origin_policy.h"
#include "apps/bridge/registration.h"
#include "apps/bridge/service_unit.h"
#include "control/control.h"
#include "control/script_origin.h"
#include "port/activation.h"
#include "port/crash_reporter.h"
#include "port/program_paths.h"

namespace {

using namespace vexa::bridge;
using vexa::IsLoopbackHost;
using vexa::IsTrustworthyOrigin;
using vexa::NormalizeOrigin;

// The log goes to standard error only, never to a page.
void LogLine(const std::string& line) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  // Only the serving thread logs, so the shared result of gmtime is safe.
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  std::fprintf(stderr, "%s vexaupload-bridge: %s\n", stamp, line.c_str());
  std::fflush(stderr);
}

// "HOST:PORT", "[V6]:PORT" or "PORT".
bool ParseListen(const std::string& text, std::string* host, uint16_t* port) {
  std::string h = "127.0.0.1", p = text;
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    h = text.substr(0, colon);
    p = text.substr(colon + 1);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  }
  if (h.empty() || p.empty() || p.size() > 5 ||
      p.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long n = std::stoul(p);
  if (n > 65535) return false;
  *host = h;
  *port = static_cast<uint16_t>(n);
  return true;
}

std::string WebSocketUrl(const std::string& host, uint16_t port) {
  const bool v6 = host.find(':') != std::string::npos;
  return "ws://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

int Serve(const std::string& host, uint16_t port, const std::string& api) {
  const std::string base = vexa::ChooseApiBase(api);
  if (!base.empty() && !vexa::IsSpokenBase(base)) {
    LogLine(base + ": " + vexa::kPlainHttpOnlyText);
    return 2;
  }
  vexa::SetAccountApiBase(base);
  vexa::InstallUploadWorkers();

  boost::asio::io_context io;
  BridgeOptions options;
  options.host = host;
  options.port = port;
  // Started by our socket unit: serve on the port it has kept bound.
  options.listening_socket = vexa::port::TakeActivationSocket();
  options.origins = RegisteredOrigins;
  options.log = LogLine;
  BridgeServer server(&io, options);
  std::string error;
  if (!server.Listen(&error)) {
    LogLine(error);
    return 1;
  }
  LogLine(options.listening_socket >= 0
              ? "serving port " + std::to_string(server.port()) + ", kept by the socket unit"
              : "listening on " + WebSocketUrl(host, server.port()));
  const std::vector<std::string> origins = RegisteredOrigins();
  if (origins.empty()) {
    LogLine(
        "no page origin is registered yet: run 'vexaupload-bridge register --user --origin URL'");
  }
  for (const std::string& o : origins) LogLine("pages of " + o + " may use the control");

  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int) {
    if (ec) return;
    LogLine("stopping");
    server.Stop();
  });
  io.run();
  // Ends the engine and writes what the resume store still holds, so the
  // next start continues every unfinished upload.
  vexa::LogoutAccount();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "vexaupload-bridge: the upload control for web pages. Serves, on a loopback port, a "
      "WebSocket at /\n"
      "(one control per page, scripted with JSON messages), GET /typelib.json and GET "
      "/vexaupload.js.\n"
      "Only pages of registered origins may create the control.",
      "vexaupload-bridge"};
  app.require_subcommand(0, 1);
  std::string listen = "127.0.0.1:" + std::to_string(kDefaultPort);
  std::string api;
  bool install_service = false;
  app.add_option("--listen", listen, "Loopback address and port to serve on (HOST:PORT or PORT)")
      ->capture_default_str();
  app.add_option(
      "--api", api,
      "Account API base URL (else $VEXAUPLOAD_API, else the one of the last successful login)");
  app.add_flag("--install-service", install_service,
               "Write a systemd user unit that starts the bridge with these options, then exit");

  CLI::App* reg =
      app.add_subcommand("register", "Allow pages of the given origins to create the control");
  std::vector<std::string> origins;
  bool user = false;
  std::string scope_word;
  reg->add_option("--origin", origins, "Origin of a page (scheme://host[:port]); repeat for more")
      ->required();
  reg->add_flag("--user", user, "Register for the current user only (default: the whole machine)");
  bool allow_plain = false;
  reg->add_flag(
      "--allow-plain-http", allow_plain,
      "Also register plain http:// origins of other hosts (anyone on the network path can then "
      "script the control)");
  reg->add_option("--scope", scope_word,
                  "\"user\" (any case) for the current user; other words: the machine");

  CLI::App* unreg = app.add_subcommand("unregister", "Remove the registration (its folders stay)");
  unreg->add_flag("--user", user, "Remove the current user's registration");
  unreg->add_option("--scope", scope_word, "As for register");

  CLI11_PARSE(app, argc, argv);
  vexa::port::InstallCrashReporter(argv[0]);

  std::string host;
  uint16_t port = 0;
  if (!ParseListen(listen, &host, &port) || !IsLoopbackHost(host)) {
    std::fprintf(stderr, "vexaupload-bridge: --listen wants a loopback HOST:PORT, not '%s'\n",
                 listen.c_str());
    return 2;
  }
  const Scope scope = user ? Scope::kUser : ScopeOf(scope_word);
  std::string error;

  if (app.got_subcommand(reg)) {
    Registration r;
    for (const std::string& o : origins) {
      const std::string n = NormalizeOrigin(o);
      if (n.empty()) {
        std::fprintf(stderr, "vexaupload-bridge: '%s' is not an http or https origin\n", o.c_str());
        return 2;
      }
      if (!allow_plain && !IsTrustworthyOrigin(n)) {
        std::fprintf(
            stderr,
            "vexaupload-bridge: %s is plain http on another host: register https:// or a loopback "
            "origin, or give --allow-plain-http\n",
            n.c_str());
        return 2;
      }
      r.origins.push_back(n);
    }
    r.server_path = vexa::port::ExecutablePath();
    r.url = WebSocketUrl(host, port);
    if (!Register(scope, r, &error)) {
      std::fprintf(stderr, "vexaupload-bridge: %s\n", error.c_str());
      Unregister(scope, &error);
      return 1;
    }
    std::printf("registered in %s\n", ManifestPath(scope).c_str());
    return 0;
  }
  if (app.got_subcommand(unreg)) {
    if (!Unregister(scope, &error)) {
      std::fprintf(stderr, "vexaupload-bridge: %s\n", error.c_str());
      return 1;
    }
    std::printf("unregistered %s\n", ManifestPath(scope).c_str());
    return 0;
  }
  if (install_service) {
    std::vector<std::string> command = {vexa::port::ExecutablePath(), "--listen", listen};
    if (!api.empty()) command.insert(command.end(), {"--api", api});
    std::string path, socket_path;
    const std::string bind = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                             std::to_string(port);
    if (!InstallServiceUnit(kServiceUnitName, RenderServiceUnit(command), &path, &error) ||
        !InstallServiceUnit(kSocketUnitName, RenderSocketUnit(bind), &socket_path, &error)) {
      std::fprintf(stderr, "vexaupload-bridge: %s\n", error.c_str());
      return 1;
    }
    std::printf(
        "wrote %s and %s\nstart it with: systemctl --user daemon-reload && "
        "systemctl --user enable --now %s\n",
        path.c_str(), socket_path.c_str(), kSocketUnitName);
    return 0;
  }
  return Serve(host, port, api);
}
