#include "engine/engine.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "account/ini_file.h"
#include "account/session.h"
#include "engine/engine_state.h"
#include "engine/service_cancel.h"
#include "port/env.h"
#include "port/file.h"
#include "port/last_error.h"
#include "port/thread.h"
#include "store/error_table.h"
#include "store/resume_store.h"

namespace vexa {

namespace engine_internal {

UploadEngine& Engine() {
  static UploadEngine* engine = new UploadEngine();
  return *engine;
}

void SubtractTotalBytes(UploadEngine& e, int64_t bytes) REQUIRES(e.engineMutex) {
  e.totalBytes -= bytes;
  if (e.totalBytes < 0) e.totalBytes = 0;
}

std::unique_ptr<UploadTask> DisownLocked(UploadEngine& e, const UploadTask* task)
    REQUIRES(e.engineMutex) {
  auto node = e.ownedTasks.extract(task);
  return node ? std::move(node.mapped()) : nullptr;
}

bool UnregisterLocked(UploadEngine& e, UploadTask* task) REQUIRES(e.engineMutex) {
  auto it = e.taskMap.find(task->filePath);
  if (it == e.taskMap.end() || it->second.task != task) return false;
  e.taskList.erase(it->second.order);
  e.taskMap.erase(it);
  return true;
}

namespace {

void EndRunThread(UploadEngine& e, EngineRun* run, int UploadEngine::*count) {
  {
    std::lock_guard<std::mutex> l(e.life_mu);
    --run->threads;
    --(e.*count);
  }
  e.life_cv.notify_all();
}

}  // namespace

// The start whose thread this is; null on every other thread.
thread_local const EngineRun* t_run = nullptr;

bool StartRunThread(std::function<void(const std::shared_ptr<EngineRun>&)> body,
                    int UploadEngine::*count) {
  UploadEngine& e = Engine();
  std::shared_ptr<EngineRun> run;
  {
    port::MutexLock l(&e.engineMutex);
    if (!e.run) return false;
    run = e.run;
    // Counted before the engine lock is released: a stop that takes the run
    // after this waits for the thread.
    std::lock_guard<std::mutex> g(e.life_mu);
    ++run->threads;
    ++(e.*count);
  }
  const bool started = port::CurrentEnv()->StartThread([&e, run, body = std::move(body), count] {
    t_run = run.get();
    body(run);
    t_run = nullptr;
    EndRunThread(e, run.get(), count);
  });
  if (!started) EndRunThread(e, run.get(), count);
  return started;
}

}  // namespace engine_internal

using engine_internal::Engine;
using engine_internal::EngineRun;
using engine_internal::UploadEngine;

namespace {

// The account's single-file limit for a signed comparison; a limit beyond
// the signed range means no limit rather than a negative one.
int64_t SignedSizeLimit() {
  const uint64_t limit = GetSizeLimit();
  return limit > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(limit);
}

// Reads the file's size when the task has none yet. Returns 0, the system's
// error code when the size cannot be read, or kErrEmptyFile for an empty file.
int32_t ReadTaskSize(UploadTask* task) {
  if (task->fileSize > 0) return 0;
  uint64_t size = 0;
  if (!port::CurrentEnv()->FileSize(task->filePath, &size))
    return static_cast<int32_t>(port::LastError());
  task->fileSize = static_cast<int64_t>(size);
  return task->fileSize > 0 ? 0 : kErrEmptyFile;
}

// Inserts a waiting task, which the engine then owns (`task` is left empty);
// on false the caller keeps it.
bool RegisterLocked(UploadEngine& e, std::unique_ptr<UploadTask>& task) REQUIRES(e.engineMutex) {
  UploadTask* t = task.get();
  if (e.taskMap.find(t->filePath) != e.taskMap.end()) return false;
  const uint64_t order = e.nextOrder++;
  e.taskList.emplace_hint(e.taskList.end(), order, t);
  e.taskMap.emplace(t->filePath, engine_internal::TaskEntry{t, order});
  e.ownedTasks.emplace(t, std::move(task));
  e.totalBytes += t->fileSize;
  t->engineRun = e.run ? e.run->id : 0;
  // It may start now rather than at the scheduler's next pass.
  if (e.run) e.run->wake.Set();
  return true;
}

// Takes a registered task out for a stop or cancel. A waiting task is
// destroyed here; a running one is left to its worker, which sees the new
// status and ends it with FinishTask.
void RemoveTaskLocked(UploadEngine& e, UploadTask* task, TaskStatus status, bool notify)
    REQUIRES(e.engineMutex) {
  engine_internal::UnregisterLocked(e, task);
  const TaskStatus old = task->GetStatus();
  SetTaskStatus(task, status, notify);
  if (old == TaskStatus::Waiting) {
    engine_internal::SubtractTotalBytes(e, task->fileSize);
    engine_internal::DisownLocked(e, task);  // destroys it
  }
}

std::shared_ptr<EngineRun> CurrentRun() {
  UploadEngine& e = Engine();
  port::MutexLock l(&e.engineMutex);
  return e.run;
}

// Marks the start ended and waits for its threads, except the calling one
// when it is one of them (a stop from a notice on that thread cannot wait for
// itself; its thread ends at its next test).
void EndRun(const std::shared_ptr<EngineRun>& run) {
  UploadEngine& e = Engine();
  run->ended.store(true);
  run->wake.Set();
  std::unique_lock<std::mutex> l(e.life_mu);
  const int self = engine_internal::t_run == run.get() ? 1 : 0;
  e.life_cv.wait(l, [&run, self] { return run->threads == self; });
}

// Reports the unfinished uploads of the last run as stopped: single files one
// by one, each folder once when first met and once more with its totals. A
// folder whose members all failed for good is over: its records go, and it is
// not reported.
void RestoreUnfinished(const std::vector<StoredUpload>& uploads) {
  std::set<std::string> queueable;
  for (const StoredUpload& u : uploads) {
    if (u.record.finalFailure == 0) queueable.insert(u.record.folderPath);
  }
  std::map<std::string, FolderRef> folders;
  bool removed = false;
  for (const StoredUpload& u : uploads) {
    const ResumeRecord& r = u.record;
    if (!r.folderPath.empty()) {
      if (queueable.count(r.folderPath) == 0) {
        RemoveResumeRecord(u.filePath);
        removed = true;
        continue;
      }
      FolderRef& f = folders[r.folderPath];
      if (!f) {
        f = std::make_shared<FolderRecord>();
        f->folderPath = r.folderPath;
        f->target = r.folderTarget;
        NotifyFolderStatus(f, TaskStatus::Stopped);
        RegisterFolder(f);
      }
      f->totalSize += r.fileSize;
      f->uploadedSize += r.uploadedSize;
      {
        port::MutexLock l(&f->lock);
        f->pendingPaths.push_back(u.filePath);
        ++f->memberCount;
        if (r.folderSetComplete == false) f->partialSet = true;
        if (r.finalFailure != 0) {
          // Listed among the folder's failures, and never queued again.
          ++f->failedCount;
          f->failures[u.filePath] = TaskErrorText(r.finalFailure, std::string());
          f->finalFailures.insert(u.filePath);
        } else if (r.lastFailure != 0) {
          // Listed as the last run left it; a resume queues it again.
          ++f->failedCount;
          f->failures[u.filePath] = TaskErrorText(r.lastFailure, std::string());
        }
        f->dirTargets[DirectoryOf(u.filePath)] = DirTarget{};
      }
      continue;
    }
    UploadTask task;
    task.filePath = u.filePath;
    ApplyResumeRecord(r, &task);
    SetTaskStatus(&task, TaskStatus::Stopped, true);
  }
  if (removed) MarkResumeStoreDirty(false);
  for (const auto& [path, folder] : folders) NotifyFolderStatus(folder, TaskStatus::Stopped);
}

// Replaces one of the seams; under engineMutex, where the engine reads them.
template <typename Seam>
void InstallSeam(Seam UploadEngine::*seam, Seam value) {
  UploadEngine& e = Engine();
  port::MutexLock l(&e.engineMutex);
  e.*seam = std::move(value);
}

bool IsRunning(TaskStatus s) { return s == TaskStatus::Hashing || s == TaskStatus::Uploading; }

// The thread that stops or cancels every member of a folder.
void FolderStateWorker(const std::string& folder_path, TaskStatus status) {
  std::vector<std::string> pending;
  // Held until the walk below is done: a member the folder's thread is
  // registering now is either registered before the walk (and stopped by it)
  // or sees the new status and is not registered.
  std::optional<port::MutexLock> registration(std::in_place, &Engine().folderAddMutex);
  FolderRef folder = FindFolder(folder_path);
  bool have_pending = true;
  if (folder) {
    port::MutexLock l(&folder->lock);
    folder->status.store(static_cast<int32_t>(status));
    pending = folder->pendingPaths;
  } else if (status == TaskStatus::Stopped) {
    have_pending = false;
  } else {
    int64_t total = 0;
    int64_t uploaded = 0;
    std::string target;
    have_pending = CollectFolderRecords(folder_path, &total, &uploaded, &target, &pending);
  }
  if (have_pending) {
    UploadEngine& e = Engine();
    std::vector<std::unique_ptr<UploadTask>> waiting;  // destroyed once the locks are let go
    std::set<std::string> running;                     // their cancels are their own
    std::vector<JobFields> running_cancels;
    {
      port::MutexLock l(&e.engineMutex);
      for (auto it = e.taskList.begin(); it != e.taskList.end();) {
        UploadTask* t = (it++)->second;
        if (t->folderPath != folder_path) continue;
        const bool was_waiting = t->GetStatus() == TaskStatus::Waiting;
        if (IsRunning(t->GetStatus())) {
          running.insert(t->filePath);
          if (status == TaskStatus::Cancelled) {
            if (std::optional<JobFields> c = TakeServiceCancel(t))
              running_cancels.push_back(std::move(*c));
          }
        }
        {
          // Directly: no per-file report and no folder counting.
          port::MutexLock tl(&t->lock);
          t->SetStatusValue(status);
        }
        engine_internal::UnregisterLocked(e, t);
        if (was_waiting) {
          engine_internal::SubtractTotalBytes(e, t->fileSize);
          waiting.push_back(engine_internal::DisownLocked(e, t));
        }
      }
    }
    registration.reset();
    waiting.clear();
    for (const JobFields& c : running_cancels) QueueServiceCancel(c);
    const bool store_open = IsResumeStoreOpen();
    if (status == TaskStatus::Cancelled && store_open) {
      for (const std::string& p : pending) {
        ResumeRecord record;
        if (running.count(p) == 0 && ReadResumeRecord(p, &record)) QueueServiceCancel(p, record);
        CancelResumeRecord(p);
      }
      if (!pending.empty()) MarkResumeStoreDirty(false);
    }
    NotifyFolderStatus(folder, status);
    if (status == TaskStatus::Cancelled && store_open) WakeResumeWriter();
    if (folder) {
      if (status == TaskStatus::Cancelled) {
        RemoveFolder(folder);
      } else {
        port::MutexLock l(&folder->lock);
        folder->startTick.store(0);
        folder->sentSinceStart.store(0);
      }
    }
  }
}

bool StartSelection(const std::string& target, int32_t isp_type, uintptr_t owner, bool auto_start,
                    bool folder) {
  UploadEngine& e = Engine();
  if (!e.started.load()) return false;
  SelectionStarter starter;
  {
    port::MutexLock l(&e.engineMutex);
    e.selectionOwner = owner;
    starter = e.startSelection;
  }
  if (!starter) return false;
  SelectionRequest request;
  request.target = target;
  request.ispType = isp_type;
  request.autoStart = auto_start;
  request.folder = folder;
  return starter(request);
}

}  // namespace

void SetTransferStarter(TransferStarter starter) {
  InstallSeam(&UploadEngine::startTransfer, std::move(starter));
}

void SetTargetResolver(TargetResolver resolver) {
  InstallSeam(&UploadEngine::resolveTarget, std::move(resolver));
}

void SetFolderUploadStarter(FolderUploadStarter starter) {
  InstallSeam(&UploadEngine::startFolderUpload, std::move(starter));
}

void SetSelectionStarter(SelectionStarter starter) {
  InstallSeam(&UploadEngine::startSelection, std::move(starter));
}

void StartEngine(NoticeCallback callback, uint32_t user_value) {
  UploadEngine& e = Engine();
  port::MutexLock lifecycle(&e.lifecycleMutex);
  if (e.started.load()) return;
  {
    port::MutexLock l(&e.engineMutex);
    e.noticeCallback = std::make_shared<const NoticeCallback>(std::move(callback));
    e.userValue = user_value;
  }
  InitErrorMessages();
  // Refused when open already, or without a data folder (nothing is kept then,
  // by design, and the load finds the store closed): neither is to report.
  (void)OpenResumeStore();
  (void)LoadResumeStore(RestoreUnfinished);
  bool scheduler;
  {
    port::MutexLock l(&e.engineMutex);
    e.run = std::make_shared<EngineRun>(++e.lastRunId);
    e.started.store(true);
    scheduler = e.schedulerThreadEnabled;
  }
  if (scheduler) {
    engine_internal::StartRunThread(engine_internal::SchedulerThread,
                                    &UploadEngine::schedulersRunning);
  }
  // Cancels an earlier run could not deliver.
  StartServiceCancels();
}

void StopEngine() {
  UploadEngine& e = Engine();
  port::MutexLock lifecycle(&e.lifecycleMutex);
  std::shared_ptr<EngineRun> run;
  {
    // One hold of the lock: a registration either came before and is stopped
    // here, or comes after and finds the engine stopped.
    port::MutexLock l(&e.engineMutex);
    if (!e.started.load()) return;
    e.started.store(false);
    run = std::move(e.run);
    while (!e.taskList.empty()) {
      RemoveTaskLocked(e, e.taskList.begin()->second, TaskStatus::Stopped, false);
    }
    e.totalBytes = 0;
    e.queueSummary = kEmptyQueueSummary;
  }
  EndRun(run);
  CloseResumeStore();
  DestroyAllFolders();
}

bool IsEngineStarted() { return Engine().started.load(); }

bool AddFileTask(const std::string& file_path, const std::string& target, int32_t isp_type,
                 std::string folder_path, std::string folder_target, bool auto_start) {
  UploadEngine& e = Engine();
  const std::shared_ptr<EngineRun> run = CurrentRun();
  if (!run || FindTask(file_path)) return false;
  auto task = std::make_unique<UploadTask>();

  ResumeRecord record;
  const bool known = ReadResumeRecord(file_path, &record);
  if (known) {
    ApplyResumeRecord(record, task.get());
    folder_path = record.folderPath;
    folder_target = record.folderTarget;
  } else {
    task->target = target;
    task->ispType = isp_type;
  }
  if (!folder_path.empty()) task->folderPath = folder_path;
  if (!folder_target.empty()) task->folderTarget = folder_target;
  task->filePath = file_path;

  int32_t error = 0;
  // The store's line format cannot carry a line break, nor keep white space
  // at the end of a value.
  if (!IniFile::IsStorable(file_path) || !IniFile::IsStorableValue(task->target) ||
      !IniFile::IsStorableValue(task->folderPath) ||
      !IniFile::IsStorableValue(task->folderTarget)) {
    error = static_cast<int32_t>(port::kErrorInvalidName);
  } else if (task->folderPath.empty() && task->folderTarget.empty() && task->target.empty()) {
    error = kErrNoTarget;
  } else {
    error = ReadTaskSize(task.get());
    if (error == 0 && task->fileSize > SignedSizeLimit()) error = kErrOverSizeLimit;
  }

  if (error == 0) {
    SetTaskStatus(task.get(), auto_start ? TaskStatus::Waiting : TaskStatus::Stopped, true);
    // The engine may have stopped meanwhile, and even started again for
    // another login: the record and the task belong to the start that took
    // the request. Holding the lifecycle lock keeps a stop from coming
    // between this test and the insertion.
    port::MutexLock lifecycle(&e.lifecycleMutex);
    if (CurrentRun() != run) {
      task->SetStatusValue(TaskStatus::Stopped);  // stopped by the stop, silently
      return false;
    }
    // Cannot be refused: the values were checked above and this start's store is open.
    if (!known) (void)SaveTaskRecord(*task, false);
    port::MutexLock l(&e.engineMutex);
    if (task->GetStatus() == TaskStatus::Waiting && RegisterLocked(e, task)) return true;
  } else {
    task->errorCode.store(error);
  }
  if (task->GetStatus() != TaskStatus::Stopped) SetTaskStatus(task.get(), TaskStatus::Failed, true);
  return false;
}

bool AddFolderTask(const std::string& folder_path, const std::string& target, int32_t isp_type,
                   bool auto_start) {
  UploadEngine& e = Engine();
  if (!e.started.load()) return false;
  FolderUploadStarter starter;
  {
    port::MutexLock l(&e.engineMutex);
    starter = e.startFolderUpload;
  }
  return starter && starter(folder_path, target, isp_type, auto_start);
}

bool ChangeTaskState(std::string path, bool notify, TaskStatus status) {
  UploadEngine& e = Engine();
  if (!e.started.load()) return false;
  const bool is_folder =
      port::PathExists(path) ? port::IsDirectory(path) : FindFolder(path) != nullptr;
  if (is_folder) {
    // The thread belongs to this start: the stop waits for it.
    return engine_internal::StartRunThread(
        [path, status](const std::shared_ptr<EngineRun>&) { FolderStateWorker(path, status); },
        &UploadEngine::folderWorkersRunning);
  }
  bool running = false;
  std::optional<JobFields> running_cancel;
  {
    port::MutexLock l(&e.engineMutex);
    auto it = e.taskMap.find(path);
    if (it != e.taskMap.end()) {
      UploadTask* t = it->second.task;
      running = IsRunning(t->GetStatus());
      // Queued here rather than by its worker, which may end after this
      // process has logged out.
      if (running && status == TaskStatus::Cancelled) running_cancel = TakeServiceCancel(t);
      RemoveTaskLocked(e, t, status, notify);
    }
  }
  if (running_cancel) QueueServiceCancel(*running_cancel);
  if (status == TaskStatus::Cancelled && IsResumeStoreOpen()) {
    // A running task's cancel is its own (above, or by its worker once it
    // has a pick code); for any other upload the service knows, its record
    // tells.
    ResumeRecord record;
    if (!running && ReadResumeRecord(path, &record)) QueueServiceCancel(path, record);
    CancelResumeRecord(path);
    MarkResumeStoreDirty(true);
  }
  return true;
}

bool CancelTask(const std::string& path) {
  // False when the engine is not running or is stopping (a folder's cancel
  // could not start), so a cancel that did not happen is not told as done.
  return ChangeTaskState(path, false, TaskStatus::Cancelled);
}

bool StopAllTasks(bool notify) {
  UploadEngine& e = Engine();
  // Paths, not task pointers: a task may finish and go away meanwhile.
  std::vector<std::string> paths;
  {
    port::MutexLock l(&e.engineMutex);
    paths.reserve(e.taskList.size());
    for (const auto& [order, t] : e.taskList) paths.push_back(t->filePath);
  }
  for (const std::string& p : paths) ChangeTaskState(p, notify, TaskStatus::Stopped);
  return true;
}

bool AddFolderMember(std::unique_ptr<UploadTask>& owned) {
  UploadTask* task = owned.get();
  if (task == nullptr || task->GetStatus() != TaskStatus::Waiting) return false;
  const bool queued = FindTask(task->filePath);
  const int32_t error = queued ? kErrAlreadyQueued : ReadTaskSize(task);
  if (error == 0) {
    UploadEngine& e = Engine();
    port::MutexLock l(&e.engineMutex);
    // Tested again here: the engine may have stopped since the caller began.
    if (!e.started.load()) return false;
    if (RegisterLocked(e, owned)) return true;
  }
  // A member that cannot join (queued since its folder was listed, or its
  // size unreadable) fails and is counted, so its folder still ends.
  task->errorCode.store(error != 0 ? error : kErrAlreadyQueued);
  SetTaskStatus(task, TaskStatus::Failed, true);
  return false;
}

bool FinishTask(UploadTask* task) {
  if (task == nullptr) return false;
  UploadEngine& e = Engine();
  std::shared_ptr<EngineRun> run;
  std::unique_ptr<UploadTask> owned;  // destroyed once the lock is let go
  {
    port::MutexLock l(&e.engineMutex);
    engine_internal::UnregisterLocked(e, task);
    owned = engine_internal::DisownLocked(e, task);
    --e.runningCount;
    run = e.run;
    // A task of an earlier start was counted in totals that its stop reset.
    if (run && run->id == task->engineRun) engine_internal::SubtractTotalBytes(e, task->fileSize);
  }
  owned.reset();
  // The next waiting task starts now rather than at the next pass.
  if (run) run->wake.Set();
  return true;
}

bool IsOfCurrentStart(const UploadTask* task) {
  UploadEngine& e = Engine();
  port::MutexLock l(&e.engineMutex);
  return task != nullptr && e.run && e.run->id == task->engineRun;
}

bool FindTask(const std::string& path, const TaskVisitor& visit) {
  UploadEngine& e = Engine();
  port::MutexLock l(&e.engineMutex);
  auto it = e.taskMap.find(path);
  if (it == e.taskMap.end()) return false;
  if (visit) visit(*it->second.task);
  return true;
}

bool SelectFiles(const std::string& target, int32_t isp_type, uintptr_t owner, bool auto_start) {
  return StartSelection(target, isp_type, owner, auto_start, false);
}

bool SelectFolder(const std::string& target, int32_t isp_type, uintptr_t owner, bool auto_start) {
  return StartSelection(target, isp_type, owner, auto_start, true);
}

uintptr_t SelectionOwner() {
  UploadEngine& e = Engine();
  port::MutexLock l(&e.engineMutex);
  return e.selectionOwner;
}

QueueTotals GetQueueTotals() {
  UploadEngine& e = Engine();
  port::MutexLock l(&e.engineMutex);
  QueueTotals t;
  t.taskCount = e.taskMap.size();
  t.runningCount = e.runningCount;
  t.totalBytes = e.totalBytes;
  t.queueSummary = e.queueSummary;
  return t;
}

std::string RunningFolderMember(const std::string& folder_path) {
  UploadEngine& e = Engine();
  port::MutexLock l(&e.engineMutex);
  for (const auto& [order, task] : e.taskList) {
    if (task->folderPath == folder_path && IsRunning(task->GetStatus())) return task->filePath;
  }
  return std::string();
}

int64_t FolderFilesFound(const std::string& folder_path) {
  const FolderRef folder = FindFolder(folder_path);
  return folder ? folder->filesFound.load() : -1;
}

void TEST_ClearQueueSummary() {
  UploadEngine& e = Engine();
  port::MutexLock l(&e.engineMutex);
  e.queueSummary.clear();
}

bool TEST_WaitForFolderWorkers(uint32_t timeout_ms) {
  UploadEngine& e = Engine();
  std::unique_lock<std::mutex> l(e.life_mu);
  return e.life_cv.wait_for(l, std::chrono::milliseconds(timeout_ms),
                            [&e] { return e.folderWorkersRunning == 0; });
}

}  // namespace vexa
