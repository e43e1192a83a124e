// Sends the ranges of one large file to vexa-server on loopback with
// PostChunk and, in the same run, with curl (the same URL and the same signed
// multipart bodies, one connection per range), and prints the best time of
// each and their throughput ratio. Each side uploads fresh content every
// repetition (the service would otherwise complete a known file at once).
//
// usage: post_chunk_vs_curl [MiB] [repetitions]; VEXA_BINARY_DIR names the
// build folder that holds vexa-server.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "bench/loopback_upload.h"
#include "protocol/chunk_post.h"
#include "protocol/transfer_request.h"
#include "server/testing/server_process.h"

namespace vexa {
namespace {

using bench::Die;
using bench::Prepare;
using bench::ReadSizeAndRepetitions;
using bench::ScratchDir;
using bench::TimeCurl;
using bench::TimePostChunk;
using bench::WriteRandomFile;

namespace fs = std::filesystem;

int Main(int argc, char** argv) {
  int mib = 256, reps = 3;
  ReadSizeAndRepetitions(argc, argv, "usage: post_chunk_vs_curl [MiB] [repetitions]", &mib, &reps);
  bench::RequireCurl();

  const ScratchDir scratch_dir;
  const fs::path& scratch = scratch_dir.path();
  server::ServerProcess server((scratch / "server").string());
  const HttpClient client = bench::LoopbackClient();
  bench::StartAndLogIn(&server, client);

  const std::string path = (scratch / "upload.bin").string();
  WriteRandomFile(path, mib);
  const double bytes = static_cast<double>(mib) * 1048576.0;
  double best_ours = 0, best_curl = 0;
  MemoryJob job;
  for (int r = 1; r <= reps; ++r) {
    double ours = 0, theirs = 0;
    // Alternate which side goes first, so neither always meets a warmer server.
    for (int side = 0; side < 2; ++side) {
      const bool post_chunk = (side == 0) == (r % 2 == 1);
      Prepare(client, path, (post_chunk ? "PostChunk run " : "curl run ") + std::to_string(r),
              &job);
      if (post_chunk) {
        ours = TimePostChunk(client, &job);
      } else {
        theirs = TimeCurl(&job, scratch, false);
      }
    }
    std::printf("run %d: PostChunk %6.3f s  curl %6.3f s\n", r, ours, theirs);
    if (best_ours == 0 || ours < best_ours) best_ours = ours;
    if (best_curl == 0 || theirs < best_curl) best_curl = theirs;
  }
  if (job.transfer.file != nullptr) std::fclose(job.transfer.file);
  std::printf(
      "best: PostChunk %.0f MiB/s, curl %.0f MiB/s (%d MiB in 1 MiB ranges, one connection each)\n",
      bytes / 1048576.0 / best_ours, bytes / 1048576.0 / best_curl, mib);
  std::printf("throughput ratio PostChunk/curl: %.3f (target >= 0.95)\n", best_curl / best_ours);
  return 0;
}

}  // namespace
}  // namespace vexa

int main(int argc, char** argv) { return vexa::Main(argc, argv); }
