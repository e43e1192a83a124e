#ifndef VEXA_ENGINE_TEST_WORKER_H_
#define VEXA_ENGINE_TEST_WORKER_H_

// Test support for the engine: a transfer worker driven by the test, a
// recorder of notices, and a fixture with a private data folder and a
// logged-in session.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "account/session.h"
#include "account/test_data_dir.h"
#include "engine/engine.h"
#include "gtest/gtest.h"
#include "port/testing/fake_clock_env.h"
#include "store/resume_store.h"

namespace vexa {

// Task statuses as notices carry them.
inline constexpr int32_t kStopped = static_cast<int32_t>(TaskStatus::Stopped);
inline constexpr int32_t kFailed = static_cast<int32_t>(TaskStatus::Failed);
inline constexpr int32_t kCompleted = static_cast<int32_t>(TaskStatus::Completed);

// Accepts transfers from the scheduler and ends them when the test says so.
class TestWorker {
 public:
  TestWorker() {
    SetTransferStarter([this](UploadTask* task) { return Start(task); });
  }
  // Ends the transfers the test left running, as their workers would.
  ~TestWorker() {
    SetTransferStarter(nullptr);
    for (UploadTask* t : running_) FinishTask(t);
  }
  TestWorker(const TestWorker&) = delete;
  TestWorker& operator=(const TestWorker&) = delete;

  void set_refuse(bool refuse) {
    std::lock_guard<std::mutex> l(mu_);
    refuse_ = refuse;
  }
  // Speed the next started transfers report.
  void set_speed(int32_t speed) {
    std::lock_guard<std::mutex> l(mu_);
    speed_ = speed;
  }

  // The n-th (from 1) transfer started, waiting for it up to `timeout_ms`.
  UploadTask* WaitStarted(size_t n, uint32_t timeout_ms = 10000) {
    std::unique_lock<std::mutex> l(mu_);
    if (!cv_.wait_for(l, std::chrono::milliseconds(timeout_ms),
                      [&] { return started_.size() >= n; })) {
      return nullptr;
    }
    return started_[n - 1];
  }
  std::vector<std::string> started_paths() {
    std::lock_guard<std::mutex> l(mu_);
    return paths_;
  }

  // What a real worker does at its end.
  void Complete(UploadTask* task) {
    task->uploadedSize.store(task->fileSize);
    SetTaskStatus(task, TaskStatus::Completed, true);
    RemoveResumeRecord(task->filePath);
    MarkResumeStoreDirty(true);
    End(task);
  }
  void Fail(UploadTask* task, int32_t code) {
    task->errorCode.store(code);
    SetTaskStatus(task, TaskStatus::Failed, true);
    End(task);
  }
  // A worker that saw its task stopped or cancelled just ends.
  void End(UploadTask* task) {
    {
      std::lock_guard<std::mutex> l(mu_);
      // By removal, not by a list of ended ones: a later task may be
      // allocated at the address of one that has ended.
      auto it = std::find(running_.begin(), running_.end(), task);
      if (it != running_.end()) running_.erase(it);
    }
    FinishTask(task);
  }

 private:
  bool Start(UploadTask* task) {
    std::lock_guard<std::mutex> l(mu_);
    if (refuse_ || !EnterTransferStatus(task)) return false;
    auto state = std::make_unique<TransferState>();
    state->speed.store(speed_);
    task->SetTransfer(std::move(state));
    started_.push_back(task);
    running_.push_back(task);
    paths_.push_back(task->filePath);
    cv_.notify_all();
    return true;
  }

  std::mutex mu_;
  std::condition_variable cv_;
  bool refuse_ = false;
  int32_t speed_ = 0;
  std::vector<UploadTask*> started_;
  std::vector<std::string> paths_;
  std::vector<UploadTask*> running_;  // started and not yet ended
};

// The registered task for `path`, or null. Only for tests where no other
// thread can remove it meanwhile.
inline UploadTask* RegisteredTask(const std::string& path) {
  UploadTask* found = nullptr;
  FindTask(path, [&found](UploadTask& t) { found = &t; });
  return found;
}

// Collects every notice the engine sends.
class NoticeLog {
 public:
  NoticeCallback Callback() {
    return [this](TaskNotice n) {
      std::lock_guard<std::mutex> l(mu_);
      notices_.push_back(std::move(n));
      cv_.notify_all();
    };
  }
  std::vector<TaskNotice> notices() {
    std::lock_guard<std::mutex> l(mu_);
    return notices_;
  }
  size_t size() {
    std::lock_guard<std::mutex> l(mu_);
    return notices_.size();
  }
  void clear() {
    std::lock_guard<std::mutex> l(mu_);
    notices_.clear();
  }
  // Waits until a notice matching `pred` has arrived; returns it.
  template <typename Pred>
  bool WaitFor(Pred pred, TaskNotice* out = nullptr, uint32_t timeout_ms = 10000) {
    std::unique_lock<std::mutex> l(mu_);
    size_t seen = 0;
    return cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] {
      for (; seen < notices_.size(); ++seen) {
        if (pred(notices_[seen])) {
          if (out != nullptr) *out = notices_[seen];
          return true;
        }
      }
      return false;
    });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<TaskNotice> notices_;
};

// The engine tests' clock: the worker's pauses and retries take no real
// time, and the scheduler's passes come as the clock moves. Never destroyed:
// a worker that outlives its test may still read it.
inline port::FakeClockEnv& TestClock() {
  static port::FakeClockEnv* clock = new port::FakeClockEnv();
  return *clock;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port::TEST_SetCurrentEnv(&TestClock());
    TEST_SetSchedulerThreadEnabled(false);
    TEST_ClearQueueSummary();
    LogIn(R"({"state": true, "user_id": "500", "size_limit": 1000000})");
  }
  void TearDown() override {
    StopEngine();
    SetTargetResolver(nullptr);
    LogoutAccount();
    TEST_WaitForFolderWorkers(10000);
    TEST_SetSchedulerThreadEnabled(true);
  }

  static void LogIn(const std::string& answer) {
    LogoutAccount();
    ASSERT_TRUE(ApplyLoginAnswer(answer, "a", "d", false, false, LogoutCount()));
  }
  void Start() { StartEngine(log_.Callback(), 77); }

  // A file of `size` bytes in the data folder.
  std::string MakeFile(const std::string& name, size_t size) {
    const std::string path = dir_.File(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    return path;
  }

  // A registered folder record for the folder `name` of the data folder.
  FolderRef AddFolder(const std::string& name, int32_t members) {
    auto folder = std::make_shared<FolderRecord>();
    folder->folderPath = dir_.File(name);
    {
      port::MutexLock l(&folder->lock);
      folder->memberCount = members;
    }
    RegisterFolder(folder);
    return folder;
  }
  // Registers a waiting member of `folder` for a new file `name` of `size`
  // bytes; null when it was refused.
  UploadTask* AddMember(const FolderRef& folder, const std::string& name, size_t size) {
    auto member = std::make_unique<UploadTask>();
    member->filePath = MakeFile(name, size);
    member->folderPath = folder->folderPath;
    UploadTask* t = member.get();
    return AddFolderMember(member) ? t : nullptr;
  }

  TestDataDir dir_;
  NoticeLog log_;
};

}  // namespace vexa

#endif  // VEXA_ENGINE_TEST_WORKER_H_
