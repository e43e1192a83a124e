// Uploads through the engine and its transfer worker to vexa-server on
// loopback, measured beside curl in the same run:
//  - one large file whole (hashing, pacing, dispatch, check, ranges) against
//    curl sending the same signed 1 MiB ranges, one connection each: the range
//    phase (from the worker's first range) and the whole upload, with the
//    process's peak memory;
//  - a folder of 100 files of 4 KiB: the total time and what each file costs
//    beyond the worker's half-second pacing floor.
// Each side uploads fresh content every repetition (the service would
// otherwise complete a known file at once).
//
// usage: engine_upload_vs_curl [MiB] [repetitions]; VEXA_BINARY_DIR names the
// build folder that holds vexa-server.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "account/account_api.h"
#include "account/session.h"
#include "bench/loopback_upload.h"
#include "engine/engine.h"
#include "engine/folder_upload.h"
#include "engine/transfer_worker.h"
#include "net/http_client.h"
#include "port/socket.h"
#include "server/testing/server_process.h"

namespace vexa {
namespace {

using bench::Die;
using bench::MarkFile;
using bench::Prepare;
using bench::ReadSizeAndRepetitions;
using bench::ScratchDir;
using bench::TimeCurl;
using bench::WriteRandomFile;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSmallFiles = 100;
constexpr size_t kSmallFileBytes = 4096;
constexpr double kPacingFloorSeconds = 0.5;

double SecondsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Notes when the first range of a run leaves, so the range phase of the
// whole upload can be told from its hashing and pacing.
class FirstRangeClock : public port::SocketApiWrapper {
 public:
  FirstRangeClock() : SocketApiWrapper(port::DefaultSocketApi()) {}
  long Send(port::SocketHandle s, const void* data, size_t length) override {
    const std::string_view head(static_cast<const char*>(data), std::min<size_t>(length, 40));
    if (head.find("/bigupload") != std::string_view::npos) {
      std::lock_guard<std::mutex> l(mu_);
      if (!seen_) first_ = Clock::now();
      seen_ = true;
    }
    return SocketApiWrapper::Send(s, data, length);
  }
  void Reset() {
    std::lock_guard<std::mutex> l(mu_);
    seen_ = false;
  }
  Clock::time_point first() {
    std::lock_guard<std::mutex> l(mu_);
    return first_;
  }

 private:
  std::mutex mu_;
  bool seen_ = false;
  Clock::time_point first_;
};

// Resident memory of this process in KiB ("VmRSS", or "VmHWM" for the peak).
long MemoryKiB(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  }
  return -1;
}

// Runs the engine for one upload of `path` (a file or a folder) and waits for
// its final report; returns the seconds from the request to that report.
double UploadThroughEngine(const std::string& path, bool folder) {
  std::mutex mu;
  std::condition_variable cv;
  int final_status = -1;
  StartEngine(
      [&, path](TaskNotice n) {
        const auto s = static_cast<TaskStatus>(n.status);
        if (n.path != path || (s != TaskStatus::Completed && s != TaskStatus::Failed)) return;
        std::lock_guard<std::mutex> l(mu);
        final_status = n.status;
        cv.notify_all();
      },
      0);
  const Clock::time_point start = Clock::now();
  const bool taken = folder ? AddFolderTask(path, GetDefaultTarget(), 0, true)
                            : AddFileTask(path, GetDefaultTarget(), 0, "", "", true);
  if (!taken) Die("the engine did not take " + path);
  {
    std::unique_lock<std::mutex> l(mu);
    cv.wait(l, [&] { return final_status >= 0; });
  }
  const double seconds = SecondsBetween(start, Clock::now());
  if (final_status != static_cast<int>(TaskStatus::Completed))
    Die("the engine's upload failed: " + path);
  while (GetQueueTotals().runningCount != 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  StopEngine();
  return seconds;
}

int Main(int argc, char** argv) {
  int mib = 256, reps = 3;
  ReadSizeAndRepetitions(argc, argv, "usage: engine_upload_vs_curl [MiB] [repetitions]", &mib,
                         &reps);
  bench::RequireCurl();

  const ScratchDir scratch_dir;
  const fs::path& scratch = scratch_dir.path();
  server::ServerProcess server((scratch / "server").string());
  const HttpClient client = bench::LoopbackClient();
  bench::StartAndLogIn(&server, client);
  // The engine's side: its own data folder, the service's quota queries and
  // the process-wide client with the range clock.
  setenv("VEXAUPLOAD_DATA_DIR", (scratch / "data").c_str(), 1);
  fs::create_directories(scratch / "data");
  SetAccountApiBase(server.base());
  InstallTransferWorker();
  InstallFolderUploads();
  FirstRangeClock range_clock;
  ProcessHttpClient().useSystemProxy = false;
  ProcessHttpClient().socketApi = &range_clock;

  const std::string path = (scratch / "upload.bin").string();
  WriteRandomFile(path, mib);
  const double mebibytes = static_cast<double>(mib);
  double best_curl = 0, best_whole = 0, best_ranges = 0;
  long rss_before = 0;
  MemoryJob job;
  for (int r = 1; r <= reps; ++r) {
    double curl = 0, whole = 0, ranges = 0;
    // Alternate which side goes first, so neither always meets a warmer server.
    for (int side = 0; side < 2; ++side) {
      if ((side == 0) == (r % 2 == 1)) {
        MarkFile(path, "worker run " + std::to_string(r));
        rss_before = MemoryKiB("VmRSS");
        range_clock.Reset();
        const Clock::time_point start = Clock::now();
        whole = UploadThroughEngine(path, false);
        ranges = whole - SecondsBetween(start, range_clock.first());
      } else {
        Prepare(client, path, "curl run " + std::to_string(r), &job);
        curl = TimeCurl(&job, scratch, false);
      }
    }
    std::printf("run %d: curl %6.3f s  worker %6.3f s whole, %6.3f s of ranges\n", r, curl, whole,
                ranges);
    if (best_curl == 0 || curl < best_curl) best_curl = curl;
    if (best_whole == 0 || whole < best_whole) best_whole = whole;
    if (best_ranges == 0 || ranges < best_ranges) best_ranges = ranges;
  }
  if (job.transfer.file != nullptr) std::fclose(job.transfer.file);
  const long rss_peak = MemoryKiB("VmHWM");
  std::printf(
      "best of %d, %d MiB in 1 MiB ranges, one connection each: curl %.0f MiB/s, worker ranges "
      "%.0f MiB/s\n",
      reps, mib, mebibytes / best_curl, mebibytes / best_ranges);
  std::printf("range phase throughput ratio worker/curl: %.3f (target >= 0.95)\n",
              best_curl / best_ranges);
  std::printf(
      "whole upload (hashing, 0.5 s pacing, dispatch, check, ranges) %.3f s = %.3f x curl's time"
      " (target <= 1.5)\n",
      best_whole, best_whole / best_curl);
  std::printf(
      "resident memory %ld KiB before the worker's last upload, peak of the process %ld KiB\n",
      rss_before, rss_peak);
  fs::remove(path);

  // The small files: fresh content each repetition.
  const std::string folder = (scratch / "small").string();
  fs::create_directories(folder);
  double best_small = 0;
  for (int r = 1; r <= reps; ++r) {
    for (int i = 0; i < kSmallFiles; ++i) {
      std::string content(kSmallFileBytes, 'x');
      const std::string mark = "run " + std::to_string(r) + " file " + std::to_string(i);
      content.replace(0, mark.size(), mark);
      std::ofstream(folder + "/f" + std::to_string(i), std::ios::binary) << content;
    }
    const double seconds = UploadThroughEngine(folder, true);
    std::printf("run %d: folder of %d files of 4 KiB in %.3f s\n", r, kSmallFiles, seconds);
    if (best_small == 0 || seconds < best_small) best_small = seconds;
  }
  const double per_file_ms = (best_small / kSmallFiles - kPacingFloorSeconds) * 1000.0;
  std::printf(
      "folder of %d small files: %.3f s, %.1f ms per file beyond the 0.5 s pacing floor"
      " (target <= 50)\n",
      kSmallFiles, best_small, per_file_ms);
  return 0;
}

}  // namespace
}  // namespace vexa

int main(int argc, char** argv) { return vexa::Main(argc, argv); }
