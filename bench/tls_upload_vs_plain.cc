// What TLS costs the range upload on loopback: the same file posted in 1 MiB
// ranges (PostChunk, as the transfer worker sends them) to vexa-server over
// plain HTTP and to a second vexa-server over HTTPS, in the same run. The
// target is a throughput ratio TLS/plain of at least 0.9. Beside the times it
// prints the processor time each side took in the client and in its server:
// on a shared machine the times wander with the others' load, the processor
// time much less, and it shows what TLS itself costs.
//
// usage: tls_upload_vs_plain [MiB] [repetitions]; VEXA_BINARY_DIR names the
// build folder.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench/loopback_upload.h"
#include "net/connection_cache.h"
#include "net/testing/test_authority.h"

namespace vexa {
namespace {

using bench::Die;

// Processor seconds (user and system, all threads) process `pid` ("self" for
// this one) has used, from Linux's /proc, which counts in units of 1/100 s.
double ProcessCpuSeconds(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The fields after the command name, which may hold spaces, in parentheses.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  unsigned long long utime = 0, stime = 0;
  if (std::sscanf(text.c_str() + close + 1,
                  " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) {
    return 0;
  }
  return static_cast<double>(utime + stime) / 100.0;
}

double OwnCpuSeconds() { return ProcessCpuSeconds("self"); }

// The figures of one way of connecting: best times and processor time.
struct SideFigures {
  double best[2] = {0, 0};  // plain, tls
  double client_cpu[2] = {0, 0};
  double server_cpu[2] = {0, 0};
};

SideFigures RunMode(const HttpClient& client, const server::ServerProcess& plain,
                    const server::ServerProcess& tls, const std::string& path, const char* mode,
                    int reps) {
  SideFigures f;
  for (int r = 0; r < reps; ++r) {
    double seconds[2] = {0, 0};
    for (int side = 0; side < 2; ++side) {
      // Alternating the order keeps a warm page cache from favouring one side.
      const int secure = (side + r) % 2;
      const server::ServerProcess& server = secure ? tls : plain;
      bench::LogIn(client, server.base());
      MemoryJob job;
      bench::Prepare(client, path,
                     std::string(mode) + (secure ? " tls run " : " plain run ") + std::to_string(r),
                     &job);
      const double client_before = OwnCpuSeconds(),
                   server_before = ProcessCpuSeconds(std::to_string(server.pid()));
      seconds[secure] = bench::TimePostChunk(client, &job);
      f.client_cpu[secure] += OwnCpuSeconds() - client_before;
      f.server_cpu[secure] += ProcessCpuSeconds(std::to_string(server.pid())) - server_before;
    }
    std::printf("%s, run %d: plain %6.3f s  tls %6.3f s\n", mode, r, seconds[0], seconds[1]);
    for (int i = 0; i < 2; ++i) {
      if (f.best[i] == 0 || seconds[i] < f.best[i]) f.best[i] = seconds[i];
    }
  }
  return f;
}

void Report(const SideFigures& f, const char* mode, int mib, int reps, const char* target) {
  std::printf("%s, best of %d, %d MiB in 1 MiB ranges: plain %.0f MiB/s, tls %.0f MiB/s\n", mode,
              reps, mib, mib / f.best[0], mib / f.best[1]);
  std::printf(
      "%s, processor time per run: plain client %.2f s server %.2f s, tls client %.2f s server "
      "%.2f s\n",
      mode, f.client_cpu[0] / reps, f.server_cpu[0] / reps, f.client_cpu[1] / reps,
      f.server_cpu[1] / reps);
  std::printf("%s, throughput ratio tls/plain: %.3f%s; processor time ratio plain/tls: %.3f\n",
              mode, f.best[0] / f.best[1], target,
              (f.client_cpu[0] + f.server_cpu[0]) / (f.client_cpu[1] + f.server_cpu[1]));
}

int Main(int argc, char** argv) {
  int mib = 1024, reps = 3;
  bench::ReadSizeAndRepetitions(argc, argv, "usage: tls_upload_vs_plain [MiB] [repetitions]", &mib,
                                &reps);
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
  const std::string path = (scratch / "upload.bin").string();
  bench::WriteRandomFile(path, mib);

  // As the transfer worker sends them: over the connection the service keeps
  // open (the process's client has a connection cache), so TLS costs one
  // handshake per upload. Then one connection per range, where every range
  // pays a handshake: its round trips wait for both processes to be
  // scheduled, which a loaded machine makes long.
  ConnectionCache cache;
  HttpClient kept = bench::LoopbackClient();
  kept.connections = &cache;
  const SideFigures kept_figures = RunMode(kept, plain, tls, path, "kept connection", reps);
  const SideFigures fresh_figures =
      RunMode(bench::LoopbackClient(), plain, tls, path, "connection per range", reps);
  cache.Clear();
  Report(kept_figures, "kept connection", mib, reps, " (target >= 0.9)");
  Report(fresh_figures, "connection per range", mib, reps, "");
  return 0;
}

}  // namespace
}  // namespace vexa

int main(int argc, char** argv) { return vexa::Main(argc, argv); }
