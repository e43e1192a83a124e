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
#include "port/thread_annotations.h"

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

// Lock order of the client, outermost first. A thread holding one of these
// takes only locks further down the list:
//
//   1. UploadEngine::lifecycleMutex   (start and stop of the engine)
//   2. UploadEngine::folderAddMutex   (folder member registration vs a folder's stop/cancel)
//   3. the transfer worker's dispatch mutex (folder members' dispatch phase)
//   4. UploadEngine::engineMutex      (the registry; re-entrant: the notice callback runs under it)
//   5. the folder map's lock, then a FolderRecord::lock
//   6. an UploadTask::lock            (re-entrant; never together with a FolderRecord::lock)
//   7. the resume store's state lock or its IniFile's lock (re-entrant), never both
//   8. the session's lock, then its observers' lock
//
// life_mu (thread counts) and the locks of the message queue and the
// service-cancel sender are leaves: nothing is taken while they are held.
struct UploadEngine {
  // Written under engineMutex; read without it by the entry tests.
  std::atomic<bool> started{false};
  // Serialises StartEngine and StopEngine: a login thread may start the
  // engine while the page's thread stops it. AddFileTask holds it from its
  // last test of the start to the insertion.
  port::Mutex lifecycleMutex ACQUIRED_BEFORE(folderAddMutex, engineMutex);

  // Serialises the registration of folder members with each other and with
  // a folder's stop or cancel, so neither misses a member of the other.
  port::Mutex folderAddMutex ACQUIRED_BEFORE(engineMutex);

  port::RecursiveMutex engineMutex;
  std::shared_ptr<EngineRun> run GUARDED_BY(engineMutex);  // the current start; null while stopped
  uint64_t lastRunId GUARDED_BY(engineMutex) = 0;
  std::shared_ptr<const NoticeCallback> noticeCallback GUARDED_BY(engineMutex);
  uint32_t userValue GUARDED_BY(engineMutex) = 0;
  // byte order of the path
  std::map<std::string, TaskEntry> taskMap GUARDED_BY(engineMutex);
  // Registration order, keyed by a number that never comes back, so that a
  // walk can go on from the last key it saw even when the hooks it called
  // removed tasks.
  std::map<uint64_t, UploadTask*> taskList GUARDED_BY(engineMutex);
  // The one owner of every task the engine accepted, until it is destroyed:
  // registered tasks, and running ones a stop took out of the registry
  // (their worker ends them with FinishTask).
  std::map<const UploadTask*, std::unique_ptr<UploadTask>> ownedTasks GUARDED_BY(engineMutex);
  uint64_t nextOrder GUARDED_BY(engineMutex) = 0;
  int32_t runningCount GUARDED_BY(engineMutex) = 0;
  int64_t totalBytes GUARDED_BY(engineMutex) = 0;
  std::string queueSummary GUARDED_BY(engineMutex);
  uintptr_t selectionOwner GUARDED_BY(engineMutex) = 0;
  TransferStarter startTransfer GUARDED_BY(engineMutex);
  TargetResolver resolveTarget GUARDED_BY(engineMutex);
  SelectionStarter startSelection GUARDED_BY(engineMutex);
  FolderUploadStarter startFolderUpload GUARDED_BY(engineMutex);
  bool schedulerThreadEnabled GUARDED_BY(engineMutex) = true;

  // Thread counts across starts, for the stop's wait and the tests' views.
  // A std::mutex for its condition variable; the analysis cannot see it.
  std::mutex life_mu;
  std::condition_variable life_cv;
  int schedulersRunning = 0;
  int folderWorkersRunning = 0;
  int folderListingsRunning = 0;
  int cancelSendersRunning = 0;
  uint64_t schedulerPasses = 0;
};

UploadEngine& Engine();

// Subtracts from totalBytes, never leaving it negative.
void SubtractTotalBytes(UploadEngine& e, int64_t bytes) REQUIRES(e.engineMutex);

// Hands the engine's ownership of `task` to the caller (null when the engine
// does not own it).
std::unique_ptr<UploadTask> DisownLocked(UploadEngine& e, const UploadTask* task)
    REQUIRES(e.engineMutex);

// Takes the task out of taskMap and taskList when it is registered there.
// Returns whether it was.
bool UnregisterLocked(UploadEngine& e, UploadTask* task) REQUIRES(e.engineMutex);

// Starts `body` on a thread that belongs to the current start, counted in
// `count`. False while stopped or when no thread could be started.
bool StartRunThread(std::function<void(const std::shared_ptr<EngineRun>&)> body,
                    int UploadEngine::*count);

// The scheduler thread of one start.
void SchedulerThread(const std::shared_ptr<EngineRun>& run);

}  // namespace vexa::engine_internal

#endif  // VEXA_ENGINE_ENGINE_STATE_H_
