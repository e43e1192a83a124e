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

// The layout of every command's --help.
constexpr char kNettestUsage[] =
    "check the connection to a server (network self-test)\n"
    "Usage: vexaupload nettest [OPTIONS] URL\n"
    "\n"
    "Positionals:\n"
    "  URL TEXT REQUIRED           the http:// or https:// address to request\n"
    "\n"
    "Options:\n"
    "  -h,--help                   Print this help message and exit\n"
    "  --post DATA                 send DATA as a form POST instead of a GET\n"
    "  --direct                    ignore the proxy settings\n"
    "  --timeout SECONDS           give up when the server is silent this long (default 120;\n"
    "                              connecting gives up after 30)\n"
    "\n"
    "Checks that the upload client can reach a server: detects the proxy of the environment\n"
    "(http_proxy / HTTP_PROXY, all_proxy with a socks4, socks4a, socks5 or socks5h scheme,\n"
    "no_proxy), connects directly or through it, sends one request and prints each step, then the\n"
    "answer's body. The steps are the self-test's own texts; unless the locale is Chinese "
    "(LC_ALL,\n"
    "LC_MESSAGES, LANG) each has its English beside it. A failure names the address and the "
    "cause.\n"
    "An https:// URL is spoken over TLS, the certificate checked (VEXAUPLOAD_CA_FILE adds an\n"
    "authority).\n"
    "\n"
    "Exit status: 0 the server answered 200, 1 it did not or could not be reached, 2 bad usage.\n";

int Usage(const std::string& problem) { return UsageError("nettest", problem); }

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
      return Usage(std::string("unknown option ") + a);
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
    std::fprintf(stderr, "vexaupload nettest: no 200 answer from %s%s%s\n", url.c_str(),
                 why.empty() ? "" : ": ", why.c_str());
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

const CommandRegistrar kNettestRegistrar({"nettest",
                                          "check the connection to a server (network self-test)",
                                          RunNettest});

}  // namespace
}  // namespace vexa::cli
