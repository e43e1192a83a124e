#ifndef VEXA_ENGINE_ENGINE_H_
#define VEXA_ENGINE_ENGINE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/folder.h"
#include "engine/upload_task.h"

namespace vexa {

// The process-wide upload engine: the registry of queued files, the totals of
// the summary line and the notice callback through which every report leaves
// it. Started at login, stopped at logout; every entry operation refuses
// while it is stopped. Engine, session and store can be started and stopped
// any number of times in one process.
//
// Task ownership: the engine alone owns every task it accepted and destroys
// it. A waiting task goes when it is stopped or cancelled. Once the scheduler
// has started its transfer, the task's worker may keep its own pointer until
// it calls FinishTask, which destroys the task; a stop or cancel only takes it
// out of the registry and leaves it alive for the worker. Any
// other code reaches a task by path through FindTask's visitor, which runs
// under the engine lock, so the task cannot be destroyed while it is used.
//
// Threads: each start has its scheduler, the listing threads of its folder
// uploads and the folder stop/cancel threads of its requests; StopEngine waits
// for them, so none reaches into the next start. Transfer workers belong to their task, not to a
// start.

// Receives every report, on whatever engine thread made it, sometimes with
// the engine lock held (the scheduler's pass, a page's stop of a file). It
// must only copy the notice and hand it on: it must never block (StopEngine
// waits for the pass that runs it, and every engine thread waits for the lock
// it holds), never log out and never start or stop the engine, nor call back
// into it.
using NoticeCallback = std::function<void(TaskNotice)>;

// --- Seams to the parts that start work on their own threads -------------

// Starts the transfer of a waiting task: EnterTransferStatus, then a worker
// thread that ends with FinishTask. Called by the scheduler with the engine
// lock held, so, like the notice callback, it must not block, log out or stop
// the engine, and must not end the task on this thread. Returns whether a
// transfer was started.
using TransferStarter = std::function<bool(UploadTask* task)>;
void SetTransferStarter(TransferStarter starter);

// Finds the target of a waiting folder member just before it starts: fills
// *target (and *remote_path, the remote folders still to be created) or leaves
// *target empty to keep the member waiting. Called by the scheduler with the
// engine lock held: the same rules as for the notice callback hold.
using TargetResolver = std::function<bool(UploadTask* task, const std::string& directory,
                                          std::string* remote_path, std::string* target)>;
void SetTargetResolver(TargetResolver resolver);

// Starts the upload of a whole folder (listing it and registering its
// members on a thread of its own). Returns whether it was started.
using FolderUploadStarter = std::function<bool(
    const std::string& folder_path, const std::string& target, int32_t isp_type, bool auto_start)>;
void SetFolderUploadStarter(FolderUploadStarter starter);

// A selection dialog request; the starter runs the dialog on its own thread.
struct SelectionRequest {
  std::string target;
  int32_t ispType = 0;
  bool autoStart = false;
  bool folder = false;
};
using SelectionStarter = std::function<bool(const SelectionRequest& request)>;
void SetSelectionStarter(SelectionStarter starter);

// --- Lifecycle --------------------------------------------------------------

// Installs the callback, loads the error table, opens and loads the resume
// store (reporting the unfinished uploads of the last run as stopped) and
// starts the scheduler. A second call while started changes nothing.
void StartEngine(NoticeCallback callback, uint32_t user_value);
// Stops every task without a report, resets the summary, waits for the
// threads of this start (scheduler, folder listing and stop/cancel threads;
// not the one calling, should a notice on it stop the engine), closes the
// resume store (writing what is pending) and forgets the folders. A registration that
// races the stop is refused.
void StopEngine();
bool IsEngineStarted();

// --- Registry -----------------------------------------------------------------

// Queues a file (auto_start) or records it as stopped. True when registered.
bool AddFileTask(const std::string& file_path, const std::string& target, int32_t isp_type,
                 std::string folder_path, std::string folder_target, bool auto_start);
// Queues a whole folder. False while stopped or when it could not be started.
bool AddFolderTask(const std::string& folder_path, const std::string& target, int32_t isp_type,
                   bool auto_start);
// Stops or cancels a file or a folder. True unless the engine is stopped or
// a folder request could not be started. The path is copied: a caller may pass
// the task's own path, and the task may be gone before the call ends.
bool ChangeTaskState(std::string path, bool notify, TaskStatus status);
bool CancelTask(const std::string& path);
bool StopAllTasks(bool notify);
// Registers a waiting folder member, which the engine then owns (`task` is
// left empty); on false the caller keeps it.
bool AddFolderMember(std::unique_ptr<UploadTask>& task);
// Called by a transfer worker when it ends: takes the task out of the registry
// and destroys it.
bool FinishTask(UploadTask* task);
// Whether `task` was registered by the engine's current start. A worker whose
// task belongs to an earlier one (a logout came while it ran) leaves no
// trace in the next login's queue, reports or store.
bool IsOfCurrentStart(const UploadTask* task);
// Whether a task is registered for `path`; if so, runs `visit` on it with the
// engine lock held. `visit` must not block nor keep the task beyond the call.
using TaskVisitor = std::function<void(UploadTask& task)>;
bool FindTask(const std::string& path, const TaskVisitor& visit = nullptr);
bool SelectFiles(const std::string& target, int32_t isp_type, uintptr_t owner, bool auto_start);
bool SelectFolder(const std::string& target, int32_t isp_type, uintptr_t owner, bool auto_start);
uintptr_t SelectionOwner();

// --- Status and reports -----------------------------------------------------

// Changes a task's status, counts folder members and reports single files
// when `notify` is set. False for a null task, a refused change (a stopped or
// cancelled task never goes back to Hashing or Uploading), or a member whose
// folder is gone.
bool SetTaskStatus(UploadTask* task, TaskStatus status, bool notify);
// Sets a folder's status and reports it (not for Uploading or Cancelled).
void NotifyFolderStatus(const FolderRef& folder, TaskStatus status);

// --- Views for the control, tests and benchmarks --------------------------

struct QueueTotals {
  size_t taskCount = 0;
  int32_t runningCount = 0;
  int64_t totalBytes = 0;
  std::string queueSummary;
};
QueueTotals GetQueueTotals();

// The member of the folder upload `folder_path` being hashed or sent now (the
// first in queue order), or empty: a folder's progress reports name only the
// folder.
std::string RunningFolderMember(const std::string& folder_path);

// While the folder upload `folder_path` is being listed: the files found so
// far (its reports say 0 bytes then, as its size is not known yet); else -1.
int64_t FolderFilesFound(const std::string& folder_path);

// One scheduler pass (the scheduler thread runs one a second).
void RunSchedulerPass();

// For tests: keep StartEngine from starting the scheduler thread, so passes
// run only through RunSchedulerPass. Read at each start.
void TEST_SetSchedulerThreadEnabled(bool enabled);
// Empties the queue summary, as at process start.
void TEST_ClearQueueSummary();
// Waits until every folder stop/cancel thread has ended. False on time-out.
bool TEST_WaitForFolderWorkers(uint32_t timeout_ms);
// Number of scheduler passes made by scheduler threads, and a wait for more.
uint64_t TEST_SchedulerPasses();
bool TEST_WaitForSchedulerPass(uint64_t passes, uint32_t timeout_ms);
int TEST_RunningSchedulers();

}  // namespace vexa

#endif  // VEXA_ENGINE_ENGINE_H_
