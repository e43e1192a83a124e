#ifndef VEXA_ENGINE_ENGINE_STATE_H_
#define VEXA_ENGINE_ENGINE_STATE_H_

// The engine's process-wide state, shared by the registry, the status
// changes and the scheduler. Internal to the engine module.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "engine/engine.h"
#include "port/event.h"
#include "port/mutex.h"

namespace vexa::engine_internal {

struct TaskEntry {
  UploadTask* task;
  uint64_t order;  // key in taskList
};

// One engine start. The threads that belong to it (its scheduler, the folder
// listing threads and the folder stop/cancel threads) hold it while they run; StopEngine marks it
// ended and waits for them, so none of them outlives its start and touches
// the next one.
struct EngineRun {
  explicit EngineRun(uint64_t run_id) : id(run_id) {}
  const uint64_t id;  // never 0, never reused
  std::atomic<bool> ended{false};
  port::Event wake;  // wakes the scheduler: a transfer ended, or the start ends
  int threads = 0;   // guarded by UploadEngine::life_mu
};

struct UploadEngine {
  // Written under engineMutex; read without it by the entry tests.
  std::atomic<bool> started{false};
  // Serialises StartEngine and StopEngine: a login thread may start the
  // engine while the page's thread stops it. AddFileTask holds it from its
  // last test of the start to the insertion. Taken before engineMutex.
  port::Mutex lifecycleMutex;

  // Serialises the registration of folder members with each other and with
  // a folder's stop or cancel, so neither misses a member of the other.
  // Taken before engineMutex.
  port::Mutex folderAddMutex;

  // engineMutex guards everything below that is not atomic or has its own lock.
  port::Mutex engineMutex;
  std::shared_ptr<EngineRun> run;  // the current start; null while stopped
  uint64_t lastRunId = 0;
  std::shared_ptr<const NoticeCallback> noticeCallback;
  uint32_t userValue = 0;
  std::map<std::string, TaskEntry> taskMap;  // byte order of the path
  // Registration order, keyed by a number that never comes back, so that a
  // walk can go on from the last key it saw even when the hooks it called
  // removed tasks.
  std::map<uint64_t, UploadTask*> taskList;
  uint64_t nextOrder = 0;
  int32_t runningCount = 0;
  int64_t totalBytes = 0;
  std::string queueSummary;
  uintptr_t selectionOwner = 0;
  TransferStarter startTransfer;
  TargetResolver resolveTarget;
  SelectionStarter startSelection;
  FolderUploadStarter startFolderUpload;
  bool schedulerThreadEnabled = true;

  // Thread counts across starts, for the stop's wait and the tests' views.
  std::mutex life_mu;
  std::condition_variable life_cv;
  int schedulersRunning = 0;
  int folderWorkersRunning = 0;
  int folderListingsRunning = 0;
  int cancelSendersRunning = 0;
  uint64_t schedulerPasses = 0;
};

UploadEngine& Engine();

// Subtracts from totalBytes, never leaving it negative. REQUIRES: engineMutex.
void SubtractTotalBytes(UploadEngine& e, int64_t bytes);

// Takes the task out of taskMap and taskList when it is registered there.
// REQUIRES: engineMutex. Returns whether it was.
bool UnregisterLocked(UploadEngine& e, UploadTask* task);

// Starts `body` on a thread that belongs to the current start, counted in
// `count`. False while stopped or when no thread could be started.
bool StartRunThread(std::function<void(const std::shared_ptr<EngineRun>&)> body,
                    int UploadEngine::*count);

// The scheduler thread of one start.
void SchedulerThread(const std::shared_ptr<EngineRun>& run);

}  // namespace vexa::engine_internal

#endif  // VEXA_ENGINE_ENGINE_STATE_H_
