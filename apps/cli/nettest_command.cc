// `vexaupload nettest URL`: the network self-test. Fetches URL with the same
// client the uploads use (through the user's proxy, if any), writing each step
// as it goes, then prints the answer's body.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "apps/cli/command.h"
#include "apps/cli/failure_text.h"
#include "apps/cli/nettest_gloss.h"
#include "net/http_client.h"
#include "net/network_failure.h"

namespace vexa::cli {
namespace {

constexpr char kNettestUsage[] =
    "usage: vexaupload nettest [--post DATA] [--direct] [--timeout SECONDS] URL\n"
    "\n"
    "Checks that the upload client can reach a server: detects the proxy of\n"
    "the environment (http_proxy / HTTP_PROXY, all_proxy with a socks4, socks4a,\n"
    "socks5 or socks5h scheme, no_proxy), connects directly or through it, sends\n"
    "one request and prints each step, then the answer's body. The steps are\n"
    "the self-test's own texts; unless the locale is Chinese (LC_ALL,\n"
    "LC_MESSAGES, LANG) each has its English beside it. A failure names the\n"
    "address and the cause.\n"
    "\n"
    "  --post DATA        send DATA as a form POST instead of a GET\n"
    "  --direct           ignore the proxy settings\n"
    "  --timeout SECONDS  give up when the server is silent this long\n"
    "                     (default 120; connecting gives up after 30)\n"
    "\n"
    "http:// and https:// URLs are spoken (https over TLS, the certificate\n"
    "checked; VEXAUPLOAD_CA_FILE adds an authority). Exit status: 0 when the server\n"
    "answered 200, 1 when it did not or could not be reached, 2 on bad usage.\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "vexaupload nettest: %s\n\n%s", problem, kNettestUsage);
  return 2;
}

int RunNettest(int argc, char** argv) {
  HttpClient client;
  client.consoleTrace = true;
  if (!ChineseMessages()) {
    // The self-test's own texts stay; the English goes beside each step.
    client.traceSink = [](std::string_view line) {
      const std::string glossed = GlossNettestLine(line);
      std::fwrite(glossed.data(), 1, glossed.size(), stdout);
      std::fflush(stdout);
    };
  }
  bool post = false;
  std::string data;
  std::string url;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      std::fputs(kNettestUsage, stdout);
      return 0;
    } else if (std::strcmp(a, "--post") == 0) {
      if (++i >= argc) return Usage("--post needs the form data");
      post = true;
      data = argv[i];
    } else if (std::strcmp(a, "--direct") == 0) {
      client.useSystemProxy = false;
    } else if (std::strcmp(a, "--timeout") == 0) {
      if (++i >= argc) return Usage("--timeout needs a number of seconds");
      char* end = nullptr;
      long seconds = std::strtol(argv[i], &end, 10);
      if (end == argv[i] || *end != '\0' || seconds <= 0 || seconds > 86400) {
        return Usage("--timeout needs a number of seconds from 1 to 86400");
      }
      client.idleTimeoutMs = static_cast<int>(seconds * 1000);
    } else if (a[0] == '-' && a[1] != '\0') {
      return Usage((std::string("unknown option ") + a).c_str());
    } else if (url.empty()) {
      url = a;
    } else {
      return Usage("only one URL may be given");
    }
  }
  if (url.empty()) return Usage("no URL given");

  std::string response;
  bool ok = post ? client.Post(url, data, &response) : client.Get(url, &response);
  if (!ok) {
    const std::string why = LastNetworkFailure();
    std::fprintf(stderr, "vexaupload nettest: no 200 answer from %s%s%s\n", url.c_str(), why.empty() ? "" : ": ",
                 why.c_str());
    if (!response.empty()) {
      std::fprintf(stderr, "received:\n%s\n", response.c_str());
    }
    return 1;
  }
  std::fwrite(response.data(), 1, response.size(), stdout);
  if (response.empty() || response.back() != '\n') std::fputc('\n', stdout);
  std::fflush(stdout);
  return 0;
}

const CommandRegistrar kNettestRegistrar({"nettest", "check the connection to a server (network self-test)", RunNettest});

}  // namespace
}  // namespace vexa::cli
