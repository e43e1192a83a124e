// What TLS costs the range upload on loopback: the same file posted in 1 MiB
// ranges (PostChunk, as the transfer worker sends them) to vexa-server over
// plain HTTP and to a second vexa-server over HTTPS, in the same run. The
// target is a throughput ratio TLS/plain of at least 0.9.
//
// usage: tls_upload_vs_plain [MiB] [repetitions]; VEXA_BINARY_DIR names the
// build folder.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/loopback_upload.h"
#include "net/testing/test_authority.h"

namespace vexa {
namespace {

using bench::Die;

int Main(int argc, char** argv) {
  int mib = 1024, reps = 3;
  bench::ReadSizeAndRepetitions(argc, argv, "usage: tls_upload_vs_plain [MiB] [repetitions]", &mib, &reps);
  const bench::ScratchDir scratch_dir;
  const auto& scratch = scratch_dir.path();
  TestAuthority ca;
  if (!ca.ok()) Die("test authority: " + ca.error());
  setenv("VEXAUPLOAD_CA_FILE", ca.ca_file().c_str(), 1);

  server::ServerProcess plain((scratch / "plain").string());
  server::ServerProcess tls((scratch / "tls").string());
  if (!plain.Start() || !tls.Start({"--tls-cert", ca.cert(TestAuthority::kGood), "--tls-key",
                                    ca.key(TestAuthority::kGood)})) {
    Die("vexa-server did not start (is VEXA_BINARY_DIR set?)");
  }
  const HttpClient client = bench::LoopbackClient();
  const std::string path = (scratch / "upload.bin").string();
  bench::WriteRandomFile(path, mib);

  double best_plain = 0, best_tls = 0;
  for (int r = 0; r < reps; ++r) {
    double seconds[2] = {0, 0};
    for (int side = 0; side < 2; ++side) {
      // Alternating the order keeps a warm page cache from favouring one side.
      const bool secure = (side + r) % 2 == 1;
      bench::LogIn(client, secure ? tls.base() : plain.base());
      MemoryJob job;
      bench::Prepare(client, path, (secure ? "tls run " : "plain run ") + std::to_string(r), &job);
      seconds[secure ? 1 : 0] = bench::TimePostChunk(client, &job);
    }
    std::printf("run %d: plain %6.3f s  tls %6.3f s\n", r, seconds[0], seconds[1]);
    if (best_plain == 0 || seconds[0] < best_plain) best_plain = seconds[0];
    if (best_tls == 0 || seconds[1] < best_tls) best_tls = seconds[1];
  }
  std::printf("best of %d, %d MiB in 1 MiB ranges: plain %.0f MiB/s, tls %.0f MiB/s\n", reps, mib, mib / best_plain,
              mib / best_tls);
  std::printf("throughput ratio tls/plain: %.3f (target >= 0.9)\n", best_plain / best_tls);
  return 0;
}

}  // namespace
}  // namespace vexa

int main(int argc, char** argv) { return vexa::Main(argc, argv); }
