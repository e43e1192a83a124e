// A folder of 100 000 small files: listing alone, the whole queuing of the
// folder — listed, its members registered and their resume records written
// to the disk — and its cancel, which drops every member's record.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "account/session.h"
#include "account/test_data_dir.h"
#include "engine/engine.h"
#include "engine/folder_listing.h"
#include "engine/folder_upload.h"
#include "store/resume_store.h"

namespace vexa {
namespace {

constexpr int kFiles = 100000;
constexpr int kPerFolder = 1000;

// The data folder, logged in, and the folder of kFiles 4-byte files below it
// (100 sub-folders of 1000 files), made once per benchmark.
class FolderBenchEnvironment {
 public:
  FolderBenchEnvironment() : root_(dir_.File("Pictures")) {
    ApplyLoginAnswer(R"({"state": true, "user_id": "4242", "size_limit": 1e12})", "a", "d", false,
                     false, LogoutCount());
    TEST_SetSchedulerThreadEnabled(false);
    InstallFolderUploads();
    for (int d = 0; d < kFiles / kPerFolder; ++d) {
      const std::string sub = root_ + "/holiday-" + std::to_string(d);
      std::filesystem::create_directories(sub);
      for (int i = 0; i < kPerFolder; ++i) {
        std::ofstream(sub + "/IMG_" + std::to_string(100000 + i) + ".jpg", std::ios::binary)
            << "data";
      }
    }
  }
  ~FolderBenchEnvironment() {
    StopEngine();
    SetFolderUploadStarter(nullptr);
    SetTargetResolver(nullptr);
    LogoutAccount();
    TEST_SetSchedulerThreadEnabled(true);
  }
  const std::string& root() const { return root_; }

 private:
  TestDataDir dir_;
  std::string root_;
};

void IgnoreNotice(TaskNotice) {}

// Waits until the resume writer has made a pass that found nothing left to
// write, so every record saved before is on the disk.
void WaitForStoreWritten() {
  for (;;) {
    const uint64_t passes = TEST_ResumeWriterPasses();
    const uint64_t writes = TEST_ResumeWrites();
    WakeResumeWriter();
    if (!TEST_WaitForResumeWriterPass(passes, 60000)) return;
    if (TEST_ResumeWrites() == writes) return;
  }
}

// Whether the resume store holds no member of the folder.
bool CollectedNothing(const std::string& folder) {
  int64_t total = 0;
  int64_t uploaded = 0;
  std::string target;
  std::vector<std::string> paths;
  CollectFolderRecords(folder, &total, &uploaded, &target, &paths);
  return paths.empty();
}

void BM_ListFolder100k(benchmark::State& state) {
  FolderBenchEnvironment env;
  size_t listed = 0;
  for (auto _ : state) {
    std::vector<std::string> files;
    ListFolderFiles(env.root(), &files);
    listed = files.size();
  }
  if (listed != static_cast<size_t>(kFiles)) state.SkipWithError("files missing from the listing");
  state.counters["files"] = static_cast<double>(listed);
}
BENCHMARK(BM_ListFolder100k)->Unit(benchmark::kMillisecond)->Iterations(3);

// AddFolderTask until every member is registered and the store file written.
void BM_QueueFolder100k(benchmark::State& state) {
  FolderBenchEnvironment env;
  double store_bytes = 0;
  double queue_s = 0;
  double write_s = 0;
  for (auto _ : state) {
    state.PauseTiming();
    StartEngine(IgnoreNotice, 0);
    state.ResumeTiming();
    const auto t0 = std::chrono::steady_clock::now();
    AddFolderTask(env.root(), "1234567890", 0, true);
    TEST_WaitForFolderUploads(600000);
    const auto t1 = std::chrono::steady_clock::now();
    WaitForStoreWritten();
    const auto t2 = std::chrono::steady_clock::now();
    state.PauseTiming();
    queue_s += std::chrono::duration<double>(t1 - t0).count();
    write_s += std::chrono::duration<double>(t2 - t1).count();
    if (GetQueueTotals().taskCount != static_cast<size_t>(kFiles)) {
      state.SkipWithError("members missing from the queue");
    }
    const std::string store = ResumeStorePath();
    std::error_code ec;
    store_bytes = static_cast<double>(std::filesystem::file_size(store, ec));
    // The next round must list the folder afresh: no records, no folder.
    CancelTask(env.root());
    TEST_WaitForFolderWorkers(600000);
    StopEngine();
    std::filesystem::remove(store, ec);
    state.ResumeTiming();
  }
  state.counters["members"] = kFiles;
  // Seconds per round: listed and registered with records saved in memory,
  // then the store file written.
  state.counters["list_register_s"] = queue_s / static_cast<double>(state.iterations());
  state.counters["store_write_s"] = write_s / static_cast<double>(state.iterations());
  state.counters["store_bytes"] = store_bytes;
}
BENCHMARK(BM_QueueFolder100k)->Unit(benchmark::kMillisecond)->Iterations(3);

// CancelTask on a queued folder until its stop/cancel thread has dropped
// every member and every resume record.
void BM_CancelFolder100k(benchmark::State& state) {
  FolderBenchEnvironment env;
  for (auto _ : state) {
    state.PauseTiming();
    StartEngine(IgnoreNotice, 0);
    AddFolderTask(env.root(), "1234567890", 0, true);
    TEST_WaitForFolderUploads(600000);
    if (GetQueueTotals().taskCount != static_cast<size_t>(kFiles)) {
      state.SkipWithError("members missing from the queue");
    }
    state.ResumeTiming();
    CancelTask(env.root());
    TEST_WaitForFolderWorkers(600000);
    state.PauseTiming();
    if (GetQueueTotals().taskCount != 0 || !CollectedNothing(env.root())) {
      state.SkipWithError("members left after the cancel");
    }
    StopEngine();
    std::error_code ec;
    std::filesystem::remove(ResumeStorePath(), ec);
    state.ResumeTiming();
  }
  state.counters["members"] = kFiles;
}
BENCHMARK(BM_CancelFolder100k)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace vexa
