// How fast vexa-server takes 1 MiB ranges against how fast the disk under its
// data folder takes durable 1 MiB writes, in one run: `dd bs=1M oflag=dsync`
// beside the ranges of a file posted one connection each by the transfer
// worker's own PostChunk, and by curl once without and once with "Expect:
// 100-continue". Beside those, the ceiling of any service with the same
// clients: the same requests to range_sink, which only appends each body
// and syncs it (and, with curl, one that does not even sync). The sides
// alternate, each run is repeated and the best of each is kept. Then the
// server's own time per phase of a range (from the log it writes when
// VEXA_RANGE_TIMES names a file, from the moment a worker took the
// connection: request head, body, ...), and what is left of each range's
// wall time: connecting, waiting for a worker, sending the answer, closing,
// and the client's own work.
//
// usage: server_ranges_vs_disk [MiB] [repetitions]; VEXA_BINARY_DIR names
// the build folder that holds vexa-server.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/loopback_upload.h"
#include "server/testing/server_process.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench::Die;
using bench::ReadSizeAndRepetitions;
using bench::ScratchDir;

double TimeDd(const fs::path& dir, int mib) {
  const fs::path out = dir / "dd.bin";
  const std::string command = "dd if=/dev/zero of='" + out.string() +
                              "' bs=1M count=" + std::to_string(mib) + " oflag=dsync status=none";
  const Clock::time_point start = Clock::now();
  if (std::system(command.c_str()) != 0) Die("dd failed");
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  fs::remove(out);
  return seconds;
}

// The server's time log ("name=us ..." per range), read side by side: each
// call takes the lines written since the last one.
class PhaseLog {
 public:
  explicit PhaseLog(fs::path path) : path_(std::move(path)) {}

  // Adds the new lines' phases to those of `side`.
  void Collect(int side) {
    std::ifstream in(path_);
    Sums& sums = sides_[side];
    std::string line;
    for (int n = 0; std::getline(in, line); ++n) {
      if (n < lines_) continue;
      ++lines_;
      std::istringstream words(line);
      std::string word;
      for (size_t i = 0; words >> word; ++i) {
        const size_t eq = word.find('=');
        if (i == sums.us.size()) sums.us.emplace_back(word.substr(0, eq), 0.0);
        sums.us[i].second += std::atof(word.c_str() + eq + 1);
      }
      ++sums.ranges;
    }
  }

  // Prints the side's mean microseconds per phase; returns the mean total.
  double Print(int side, const char* name) const {
    const auto it = sides_.find(side);
    if (it == sides_.end() || it->second.ranges == 0) return 0;
    const Sums& sums = it->second;
    std::printf("server phases with %s, mean us over %d ranges:", name, sums.ranges);
    double total = 0;
    for (const auto& [phase, us] : sums.us) {
      std::printf(" %s %.0f", phase.c_str(), us / sums.ranges);
      if (phase == "total") total = us / sums.ranges;
    }
    std::printf("\n");
    return total;
  }

 private:
  struct Sums {
    std::vector<std::pair<std::string, double>> us;
    int ranges = 0;
  };
  const fs::path path_;
  int lines_ = 0;
  std::map<int, Sums> sides_;
};

int Main(int argc, char** argv) {
  int mib = 64, reps = 3;
  ReadSizeAndRepetitions(argc, argv, "usage: server_ranges_vs_disk [MiB] [repetitions]", &mib,
                         &reps);
  bench::RequireCurl();

  const ScratchDir scratch_dir;
  const fs::path& scratch = scratch_dir.path();
  const fs::path times = scratch / "range-times.log";
  setenv("VEXA_RANGE_TIMES", times.c_str(), 1);
  PhaseLog phase_log(times);
  server::ServerProcess server((scratch / "server").string());
  const HttpClient client = bench::LoopbackClient();
  bench::StartAndLogIn(&server, client);
  const std::string path = (scratch / "upload.bin").string();
  bench::WriteRandomFile(path, mib);
  // The ceiling of any service here with the same clients: PostChunk and
  // curl posting the same requests to a sink that only appends and syncs
  // each body (and, for curl, one that does not even sync), in the service's
  // data folder.
  server::ServerProcess sink(""), sink_no_sync("");
  if (!sink.StartProgram("server/testing/range_sink",
                         {(scratch / "server" / "sink.bin").string()}) ||
      !sink_no_sync.StartProgram(
          "server/testing/range_sink",
          {(scratch / "server" / "sink-no-sync.bin").string(), "--no-sync"})) {
    Die("range_sink did not start");
  }

  enum Side { kDd, kPostChunk, kCurl, kCurlExpect, kPostChunkSink, kSink, kSinkNoSync, kSides };
  static constexpr const char* kNames[kSides] = {"dd oflag=dsync",
                                                 "PostChunk",
                                                 "curl",
                                                 "curl 100-continue",
                                                 "PostChunk to a syncing sink",
                                                 "curl to a syncing sink",
                                                 "curl to a sink"};
  double best[kSides] = {};
  MemoryJob job;
  for (int r = 1; r <= reps; ++r) {
    double seconds[kSides] = {};
    // Rotate which side goes first: the machine may be busier at times.
    for (int k = 0; k < kSides; ++k) {
      const int side = (k + r) % kSides;
      if (side == kDd) {
        seconds[side] = TimeDd(scratch / "server", mib);
      } else {
        bench::Prepare(client, path, "run " + std::to_string(r) + " side " + std::to_string(side),
                       &job);
        if (side == kPostChunk || side == kPostChunkSink) {
          seconds[side] =
              bench::TimePostChunk(client, &job, side == kPostChunkSink ? sink.base() : "");
        } else {
          const std::string to = side == kSink         ? sink.base()
                                 : side == kSinkNoSync ? sink_no_sync.base()
                                                       : "";
          seconds[side] = bench::TimeCurl(&job, scratch, side == kCurlExpect, to);
        }
        phase_log.Collect(side);
      }
    }
    std::printf("run %d:", r);
    for (int s = 0; s < kSides; ++s) {
      std::printf("  %s %6.1f MB/s", kNames[s], mib * 1.048576 / seconds[s]);
      if (best[s] == 0 || seconds[s] < best[s]) best[s] = seconds[s];
    }
    std::printf("\n");
  }
  if (job.transfer.file != nullptr) std::fclose(job.transfer.file);
  std::printf("best of %d (%d MiB in 1 MiB ranges):", reps, mib);
  for (int s = 0; s < kSides; ++s)
    std::printf("  %s %.1f MB/s", kNames[s], mib * 1.048576 / best[s]);
  std::printf(
      "\nservice/disk ratio with PostChunk: %.3f (target >= 0.7); with curl: %.3f; curl with "
      "100-continue: %.3f\n",
      best[kDd] / best[kPostChunk], best[kDd] / best[kCurl], best[kDd] / best[kCurlExpect]);
  std::printf(
      "ceiling: syncing sink/disk with PostChunk %.3f, with curl %.3f; sink without sync/disk with "
      "curl "
      "%.3f\nservice/syncing sink: with PostChunk %.3f, with curl %.3f\n",
      best[kDd] / best[kPostChunkSink], best[kDd] / best[kSink], best[kDd] / best[kSinkNoSync],
      best[kPostChunkSink] / best[kPostChunk], best[kSink] / best[kCurl]);

  for (Side s : {kPostChunk, kCurl, kCurlExpect}) {
    const double total = phase_log.Print(s, kNames[s]);
    const double wall = best[s] * 1e6 / mib;
    std::printf(
        "  best run: %.0f us per range, of which outside the server's phases (connecting, waiting "
        "for a "
        "worker, answer, close, the client itself) about %.0f\n",
        wall, wall - total);
  }
  return 0;
}

}  // namespace
}  // namespace vexa

int main(int argc, char** argv) { return vexa::Main(argc, argv); }
