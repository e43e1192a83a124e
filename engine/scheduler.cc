// The scheduler: one thread per engine start that starts the next waiting
// task when no transfer runs and reports the running upload once a second.

#include <chrono>

#include "account/session.h"
#include "codec/text.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "port/env.h"
#include "store/error_table.h"

namespace vexa {

using engine_internal::Engine;
using engine_internal::EngineRun;
using engine_internal::UploadEngine;

namespace {

constexpr uint32_t kPassIntervalMs = 1000;

// Whether the task is still registered under `order`: the hooks the pass
// calls may remove (and destroy) it.
bool StillRegistered(const UploadEngine& e, uint64_t order, const UploadTask* task)
    REQUIRES(e.engineMutex) {
  auto it = e.taskList.find(order);
  return it != e.taskList.end() && it->second == task;
}

// The start step for one task. Returns false when a hook took the task out of
// the registry (it must then not be touched again).
bool TryStart(UploadEngine& e, uint64_t order, UploadTask* task) REQUIRES(e.engineMutex) {
  if (e.runningCount >= 1 || task->GetStatus() != TaskStatus::Waiting) return true;
  if (task->target.empty() && e.resolveTarget) {
    // A waiting task has no worker yet, but the control may read it.
    std::string remote_path;
    std::string target;
    {
      port::MutexLock l(&task->lock);
      remote_path = task->remotePath;
      target = task->target;
    }
    e.resolveTarget(task, DirectoryOf(task->filePath), &remote_path, &target);
    if (!StillRegistered(e, order, task)) return false;
    port::MutexLock l(&task->lock);
    task->remotePath = remote_path;
    task->target = target;
  }
  if (task->target.empty() || !e.startTransfer) return true;
  if (!e.startTransfer(task)) return StillRegistered(e, order, task);
  ++e.runningCount;
  return StillRegistered(e, order, task);
}

// The progress notice for a running task. Returns false when nothing was
// sent (a member whose folder is gone).
bool SendProgress(UploadEngine& e, UploadTask* task) REQUIRES(e.engineMutex) {
  int32_t speed = task->TransferSpeed();
  TaskNotice n;
  int64_t total;
  int64_t done;
  if (!task->folderPath.empty()) {
    FolderRef folder = FindFolder(task->folderPath);
    if (!folder) return false;
    n.path = folder->folderPath;
    total = folder->totalSize.load();
    done = folder->uploadedSize.load();
    n.status = static_cast<int32_t>(TaskStatus::Uploading);
    n.isFolder = 1;
    const int64_t start = folder->startTick.load();
    const uint32_t elapsed =
        start > 0 ? port::CurrentEnv()->TickCount() - static_cast<uint32_t>(start) : 0;
    if (speed < 1 && elapsed > 0) {
      speed = static_cast<int32_t>(folder->sentSinceStart.load() / static_cast<int64_t>(elapsed) *
                                   1000);
    }
  } else {
    n.path = task->filePath;
    total = task->fileSize;
    done = task->uploadedSize.load();
    n.status = task->status.load();
  }
  std::string left = "00:00:00";
  int32_t seconds_left = 0;
  if (speed >= 1) {
    seconds_left = static_cast<int32_t>((total - done) / speed);
    int64_t remaining = e.totalBytes - done;
    // Once the running file is done the queue's rest is unknown: show it all.
    if (remaining <= 0) remaining = e.totalBytes;
    left = FormatDuration(static_cast<uint64_t>(remaining / speed));
  }
  e.queueSummary = FormatU64(e.taskList.size()) + "," +
                   FormatU64(static_cast<uint64_t>(e.totalBytes)) + "," +
                   FormatU64(static_cast<uint64_t>(static_cast<int64_t>(speed))) + "," + left;
  const std::shared_ptr<const NoticeCallback> callback = e.noticeCallback;
  if (!callback || !*callback) return true;
  n.fileName = FileNameOf(n.path);
  n.totalSize = total;
  n.doneSize = done;
  n.speed = speed;
  n.secondsLeft = seconds_left;
  n.hashProgress = task->hashProgress.load();
  n.errorCode = task->errorCode.load();
  n.errorText = TaskErrorText(task);
  {
    port::MutexLock l(&task->lock);
    n.pickCode = task->pickCode;
  }
  n.queueSummary = e.queueSummary;
  n.userValue = e.userValue;
  (*callback)(std::move(n));
  return true;
}

// One pass over the registry in registration order. `run` is the start of
// the calling scheduler thread (null for a pass of the current start): a
// late scheduler of an ended start touches nothing.
void Pass(const EngineRun* run, bool report) {
  UploadEngine& e = Engine();
  port::MutexLock l(&e.engineMutex);
  if (run != nullptr && e.run.get() != run) return;
  int sent = 0;
  // Walks by key: the hooks (resolver, starter, notice callback) may remove
  // any task, this one or the next.
  uint64_t order = 0;
  for (auto it = e.taskList.begin(); it != e.taskList.end(); it = e.taskList.upper_bound(order)) {
    order = it->first;
    UploadTask* task = it->second;
    if (!TryStart(e, order, task)) continue;
    if (!report) {
      if (e.runningCount >= 1) break;
      continue;
    }
    if (sent > 0) break;
    const TaskStatus s = task->GetStatus();
    if ((s == TaskStatus::Hashing || s == TaskStatus::Uploading) && SendProgress(e, task)) ++sent;
  }
}

}  // namespace

namespace engine_internal {

void SchedulerThread(const std::shared_ptr<EngineRun>& run) {
  UploadEngine& e = Engine();
  port::Env* env = port::CurrentEnv();
  uint64_t next_pass = env->MonotonicMillis();
  while (!run->ended.load() && IsLoggedIn()) {
    const uint64_t now = env->MonotonicMillis();
    bool woken = false;
    if (now < next_pass) {
      woken = env->WaitForEvent(&run->wake, static_cast<uint32_t>(next_pass - now));
      if (run->ended.load() || !IsLoggedIn()) break;
    }
    if (woken) {
      // A transfer ended: start the next one now; the report keeps its pace.
      Pass(run.get(), false);
      continue;
    }
    Pass(run.get(), true);
    next_pass = env->MonotonicMillis() + kPassIntervalMs;
    {
      std::lock_guard<std::mutex> l(e.life_mu);
      ++e.schedulerPasses;
    }
    e.life_cv.notify_all();
  }
}

}  // namespace engine_internal

void RunSchedulerPass() { Pass(nullptr, true); }

void TEST_SetSchedulerThreadEnabled(bool enabled) {
  UploadEngine& e = Engine();
  port::MutexLock l(&e.engineMutex);
  e.schedulerThreadEnabled = enabled;
}

uint64_t TEST_SchedulerPasses() {
  UploadEngine& e = Engine();
  std::lock_guard<std::mutex> l(e.life_mu);
  return e.schedulerPasses;
}

bool TEST_WaitForSchedulerPass(uint64_t passes, uint32_t timeout_ms) {
  UploadEngine& e = Engine();
  std::unique_lock<std::mutex> l(e.life_mu);
  return e.life_cv.wait_for(l, std::chrono::milliseconds(timeout_ms),
                            [&e, passes] { return e.schedulerPasses > passes; });
}

int TEST_RunningSchedulers() {
  UploadEngine& e = Engine();
  std::lock_guard<std::mutex> l(e.life_mu);
  return e.schedulersRunning;
}

}  // namespace vexa
