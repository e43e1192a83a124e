// vexa-server: the account API and upload service with real storage.

#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "server/blob_store.h"
#include "server/faults.h"
#include "server/http_server.h"
#include "server/metadata.h"
#include "server/options.h"
#include "server/service.h"

int main(int argc, char** argv) {
  using namespace vexa::server;
  std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  std::string error;
  if (!ParseOptions(args, &options, &error)) {
    // One line that says what is wrong; the whole help would bury it.
    std::fprintf(stderr, "vexa-server: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  FaultPlan faults;
  if (!faults.Parse(options.faults, &error)) {
    std::fprintf(stderr, "vexa-server: %s (see --help)\n", error.c_str());
    return 2;
  }

  // Signals are taken by one thread with sigwait; block them everywhere
  // before any other thread starts. SIGPIPE: a client that goes away must
  // not end the service.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  umask(077);
  if (mkdir(options.data_dir.c_str(), 0700) != 0 && errno != EEXIST) {
    std::perror(("vexa-server: cannot create " + options.data_dir).c_str());
    return 1;
  }
  Metadata meta;
  if (!meta.Open(options.data_dir + "/vexa.db", &error)) {
    std::fprintf(stderr, "vexa-server: %s\n", error.c_str());
    return 1;
  }
  BlobStore blobs(options.data_dir + "/content");
  if (!blobs.Open(&error)) {
    std::fprintf(stderr, "vexa-server: %s\n", error.c_str());
    return 1;
  }
  Service service(options, &meta, &blobs, &faults);
  if (!service.Start(&error)) {
    std::fprintf(stderr, "vexa-server: %s\n", error.c_str());
    return 1;
  }

  HttpServer http(static_cast<size_t>(options.workers));
  const bool tls = !options.tls_cert.empty();
  if (tls && !http.UseTls(options.tls_cert, options.tls_key, &error)) {
    std::fprintf(stderr, "vexa-server: %s\n", error.c_str());
    return 1;
  }
  http.set_read_timeout(options.read_timeout, 0);
  http.set_write_timeout(60, 0);
  service.Install(&http);
  http.set_keep_alive_timeout(options.keep_alive);
  http.set_keep_alive_max_count(static_cast<size_t>(options.keep_alive_requests));
  int port = options.port;
  if (port == 0) {
    port = http.bind_to_any_port(options.host);
  } else if (!http.bind_to_port(options.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::fprintf(stderr, "vexa-server: cannot listen on %s:%d\n", options.host.c_str(),
                 options.port);
    return 1;
  }
  const std::string host =
      options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  const std::string base = (tls ? "https://" : "http://") + host + ":" + std::to_string(port);
  service.set_base_url(options.public_url.empty() ? base : options.public_url);

  std::thread stopper([&http, stop_signals] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    http.stop();
  });
  std::printf("listening on %s\n", base.c_str());
  std::fflush(stdout);
  http.listen_after_bind();
  // listen_after_bind also returns on an accept failure: wake the stopper.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return 0;
}
