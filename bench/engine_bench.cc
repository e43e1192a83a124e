// The engine with a large queue: registering 100 000 tasks, one scheduler
// pass over 100 000 waiting tasks, a restart that restores 100 000 unfinished
// uploads, and the memory a registered task costs; and how soon the scheduler
// starts the next file when a transfer ends.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "account/session.h"
#include "account/test_data_dir.h"
#include "engine/engine.h"
#include "store/resume_store.h"

// Counts the bytes held through operator new, to measure the cost of a task.
// The replacement allocates with malloc, which the compiler cannot see when it
// inlines a delete.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<int64_t> g_live_bytes{0};
constexpr size_t kHeader = alignof(std::max_align_t);
}  // namespace

void* operator new(size_t size) {
  void* p = std::malloc(size + kHeader);
  if (p == nullptr) throw std::bad_alloc();
  *static_cast<size_t*>(p) = size;
  g_live_bytes += static_cast<int64_t>(size);
  return static_cast<char*>(p) + kHeader;
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  char* base = static_cast<char*>(p) - kHeader;
  g_live_bytes -= static_cast<int64_t>(*reinterpret_cast<size_t*>(base));
  std::free(base);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace vexa {
namespace {

constexpr int kTasks = 100000;

// A realistic local path of about 50 bytes.
std::string PathOf(int i) {
  return "/home/user/Pictures/2026/holiday-" + std::to_string(i / 1000) + "/IMG_" +
         std::to_string(100000 + i) + ".jpg";
}

class BenchEnvironment {
 public:
  BenchEnvironment() {
    ApplyLoginAnswer(R"({"state": true, "user_id": "4242", "size_limit": 1e12})", "a", "d", false,
                     false, LogoutCount());
    TEST_SetSchedulerThreadEnabled(false);
  }
  ~BenchEnvironment() {
    StopEngine();
    LogoutAccount();
  }

 private:
  TestDataDir dir_;
};

void IgnoreNotice(TaskNotice) {}

// Members carry their size, so registering them touches no disk.
std::unique_ptr<UploadTask> MemberTask(int i) {
  auto t = std::make_unique<UploadTask>();
  t->filePath = PathOf(i);
  t->folderPath = "/home/user/Pictures/2026";
  t->fileSize = 4000000 + i;
  t->target = "1234567890";
  return t;
}

void BM_RegisterFolderMembers(benchmark::State& state) {
  BenchEnvironment env;
  double bytes_per_task = 0;
  for (auto _ : state) {
    state.PauseTiming();
    StartEngine(IgnoreNotice, 0);
    std::vector<std::unique_ptr<UploadTask>> tasks;
    tasks.reserve(kTasks);
    for (int i = 0; i < kTasks; ++i) tasks.push_back(MemberTask(i));
    const int64_t before = g_live_bytes.load();
    // The tasks themselves were allocated before: count them in.
    int64_t task_bytes = 0;
    {
      const int64_t b0 = g_live_bytes.load();
      auto probe = MemberTask(0);
      task_bytes = g_live_bytes.load() - b0;
    }
    state.ResumeTiming();
    for (auto& t : tasks) {
      AddFolderMember(t);
    }
    state.PauseTiming();
    bytes_per_task = static_cast<double>(g_live_bytes.load() - before) / kTasks +
                     static_cast<double>(task_bytes);
    StopEngine();
    state.ResumeTiming();
  }
  state.counters["bytes_per_task"] = bytes_per_task;
  state.counters["tasks"] = kTasks;
}
BENCHMARK(BM_RegisterFolderMembers)->Unit(benchmark::kMillisecond)->Iterations(3);

// AddFileTask for files the resume store knows: record lookup, the queued
// notice and registration.
void BM_AddFileTaskKnownFiles(benchmark::State& state) {
  BenchEnvironment env;
  double bytes_per_task = 0;
  double bytes_per_record = 0;
  for (auto _ : state) {
    state.PauseTiming();
    StartEngine(IgnoreNotice, 0);
    ResumeRecord r;
    r.fileId = std::string(40, 'A');
    r.quickId = std::string(40, 'B');
    r.target = "1234567890";
    r.fileSize = 4000000;
    const int64_t b0 = g_live_bytes.load();
    for (int i = 0; i < kTasks; ++i) SaveResumeRecord(PathOf(i), r, false);
    const int64_t b1 = g_live_bytes.load();
    state.ResumeTiming();
    for (int i = 0; i < kTasks; ++i) AddFileTask(PathOf(i), "", 0, "", "", true);
    state.PauseTiming();
    // Later rounds find the records in the file already and only overwrite them.
    if (bytes_per_record == 0) bytes_per_record = static_cast<double>(b1 - b0) / kTasks;
    bytes_per_task = static_cast<double>(g_live_bytes.load() - b1) / kTasks;
    if (GetQueueTotals().taskCount != static_cast<size_t>(kTasks))
      state.SkipWithError("lost tasks");
    StopEngine();
    state.ResumeTiming();
  }
  state.counters["tasks"] = kTasks;
  state.counters["bytes_per_task"] = bytes_per_task;
  state.counters["bytes_per_store_record"] = bytes_per_record;
}
BENCHMARK(BM_AddFileTaskKnownFiles)->Unit(benchmark::kMillisecond)->Iterations(3);

// One pass with 100 000 waiting tasks that cannot start: the whole list is
// walked.
void BM_SchedulerPass(benchmark::State& state) {
  BenchEnvironment env;
  StartEngine(IgnoreNotice, 0);
  SetTransferStarter([](UploadTask*) { return false; });
  for (int i = 0; i < kTasks; ++i) {
    auto t = MemberTask(i);
    AddFolderMember(t);
  }
  for (auto _ : state) RunSchedulerPass();
  SetTransferStarter(nullptr);
  StopEngine();
  state.counters["tasks"] = kTasks;
}
BENCHMARK(BM_SchedulerPass)->Unit(benchmark::kMillisecond);

// A restart that finds 100 000 unfinished single files: load and one stopped
// notice each.
void BM_StartEngineRestoring(benchmark::State& state) {
  BenchEnvironment env;
  StartEngine(IgnoreNotice, 0);
  ResumeRecord r;
  r.target = "1234567890";
  r.fileSize = 4000000;
  r.fileId = std::string(40, 'A');
  r.quickId = std::string(40, 'B');
  for (int i = 0; i < kTasks; ++i) SaveResumeRecord(PathOf(i), r, false);
  StopEngine();  // written at close
  size_t notices = 0;
  for (auto _ : state) {
    StartEngine([&notices](TaskNotice) { ++notices; }, 0);
    state.PauseTiming();
    StopEngine();
    state.ResumeTiming();
  }
  state.counters["notices_per_start"] =
      static_cast<double>(notices) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_StartEngineRestoring)->Unit(benchmark::kMillisecond)->Iterations(3);

// The time from a transfer's end (FinishTask) to the start of the next
// waiting file, with the scheduler's own thread. The peer, measured in the
// same run: a file queued while nothing runs, which waits for the scheduler's
// next one-second pass. The ratio shows what the wake-up saves per file.
void BM_NextFileStartAfterTransferEnd(benchmark::State& state) {
  BenchEnvironment env;
  TEST_SetSchedulerThreadEnabled(true);
  std::mutex mu;
  std::condition_variable cv;
  using Clock = std::chrono::steady_clock;
  auto ms_between = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
  };
  std::vector<std::pair<UploadTask*, Clock::time_point>> started;  // task, start time
  SetTransferStarter([&](UploadTask* task) {
    if (!EnterTransferStatus(task)) return false;
    std::lock_guard<std::mutex> l(mu);
    started.emplace_back(task, Clock::now());
    cv.notify_all();
    return true;
  });
  auto wait_started = [&](size_t n) {
    std::unique_lock<std::mutex> l(mu);
    cv.wait(l, [&] { return started.size() >= n; });
    return started[n - 1];
  };
  StartEngine(IgnoreNotice, 0);
  double idle_ms = 0;
  double next_ms = 0;
  int i = 0;
  size_t starts = 0;
  for (auto _ : state) {
    auto first = MemberTask(i++);
    auto second = MemberTask(i++);
    const Clock::time_point queued = Clock::now();
    AddFolderMember(first);
    AddFolderMember(second);
    const auto [task, first_start] = wait_started(++starts);
    idle_ms += ms_between(queued, first_start);
    const Clock::time_point ended = Clock::now();
    FinishTask(task);
    const auto [next, next_start] = wait_started(++starts);
    next_ms += ms_between(ended, next_start);
    state.SetIterationTime(ms_between(ended, next_start) / 1000);
    FinishTask(next);
  }
  StopEngine();
  SetTransferStarter(nullptr);
  TEST_SetSchedulerThreadEnabled(false);
  const double n = static_cast<double>(state.iterations());
  state.counters["next_start_ms"] = next_ms / n;
  state.counters["idle_queue_start_ms"] = idle_ms / n;
  state.counters["next_vs_idle"] = idle_ms > 0 ? next_ms / idle_ms : 0;
}
BENCHMARK(BM_NextFileStartAfterTransferEnd)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace
}  // namespace vexa
