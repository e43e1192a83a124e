#ifndef VEXA_ENGINE_ENGINE_STATE_H_
#define VEXA_ENGINE_ENGINE_STATE_H_

// The engine's process-wide state, shared by the registry, the status
// changes and the scheduler. Internal to the engine module.

#include <atomic>
#include <condition_variable>
#include <list>
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
  std::list<UploadTask*>::iterator position;  // in taskList
};

struct UploadEngine {
  std::atomic<bool> started{false};
  // Serialises StartEngine and StopEngine: a login thread may start the
  // engine while the page's thread stops it. Taken before engineMutex.
  port::Mutex lifecycleMutex;

  // engineMutex guards everything below that is not atomic or has its own lock.
  port::Mutex engineMutex;
  std::shared_ptr<const NoticeCallback> noticeCallback;
  uint32_t userValue = 0;
  std::map<std::string, TaskEntry> taskMap;  // byte order of the path
  std::list<UploadTask*> taskList;           // registration order
  int32_t runningCount = 0;
  int64_t totalBytes = 0;
  std::string queueSummary;
  uintptr_t selectionOwner = 0;
  TransferStarter startTransfer;
  TargetResolver resolveTarget;
  SelectionStarter startSelection;
  FolderUploadStarter startFolderUpload;

  // Scheduler lifetime: one scheduler per start, ended by the stop.
  uint64_t generation = 0;  // guarded by engineMutex
  bool schedulerThreadEnabled = true;
  port::Event schedulerEvent;
  std::mutex life_mu;
  std::condition_variable life_cv;
  int schedulersRunning = 0;
  uint64_t schedulerThreadId = 0;
  uint64_t schedulerPasses = 0;
  int folderWorkersRunning = 0;
};

UploadEngine& Engine();

// Subtracts from totalBytes, never leaving it negative. REQUIRES: engineMutex.
void SubtractTotalBytes(UploadEngine& e, int64_t bytes);

// Takes the task out of taskMap and taskList when it is registered there.
// REQUIRES: engineMutex. Returns whether it was.
bool UnregisterLocked(UploadEngine& e, UploadTask* task);

// Starts the scheduler thread for the current generation.
void StartSchedulerThread();
// Ends the scheduler of the current start and waits for it (unless called on
// the scheduler thread itself).
void StopSchedulerThread();
// Starts waiting tasks only (a transfer just finished); no progress notice.
void RunStartPass();

}  // namespace vexa::engine_internal

#endif  // VEXA_ENGINE_ENGINE_STATE_H_
