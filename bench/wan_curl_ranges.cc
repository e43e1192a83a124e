// wan_curl_ranges: curl sending a file's signed 1 MiB ranges to vexa-server
// one after another from one curl process (-K with "next", so one kept
// connection when the service keeps it), the service side's figure on a
// wide-area link. Logs in as alice at BASE, dispatches a fresh file of MiB
// MiB and prints "curl ranges: SECONDS s".
//
// usage: wan_curl_ranges BASE MiB

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "bench/loopback_upload.h"

int main(int argc, char** argv) {
  using namespace vexa;
  if (argc != 3 || std::atoi(argv[2]) <= 0) bench::Die("usage: wan_curl_ranges BASE MiB");
  bench::RequireCurl();
  const bench::ScratchDir scratch;
  const HttpClient client = bench::LoopbackClient();
  bench::LogIn(client, argv[1]);
  const std::string path = (scratch.path() / "ranges.bin").string();
  bench::WriteRandomFile(path, std::atoi(argv[2]));
  MemoryJob job;
  bench::Prepare(client, path, "curl-ranges-" + std::to_string(std::random_device()()), &job);
  const double seconds = bench::TimeCurl(&job, scratch.path(), false);
  std::printf("curl ranges: %.3f s\n", seconds);
  return 0;
}
