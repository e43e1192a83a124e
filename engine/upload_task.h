#ifndef VEXA_ENGINE_UPLOAD_TASK_H_
#define VEXA_ENGINE_UPLOAD_TASK_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/transfer_state.h"
#include "port/mutex.h"
#include "port/thread_annotations.h"
#include "store/resume_store.h"

namespace vexa {

enum class TaskStatus : int32_t {
  Waiting = 0,
  Hashing = 1,
  Uploading = 2,
  Stopped = 3,
  Failed = 4,
  Completed = 5,
  Cancelled = 6,
};

// Codes the engine itself stores in a task's errorCode.
enum : int32_t {
  kErrEmptyFile = 1000,
  kErrNoMemory = 1002,
  kErrNoTarget = 1012,
  kErrNoSpace = 1013,
  kErrOverSizeLimit = 1014,
  // A folder member whose file is queued already (as a single file, or in
  // another folder).
  kErrAlreadyQueued = 1017,
  kErrServiceNoSpace = 410,
};

// One queued file. Fields that a running worker shares with other threads are
// atomic or guarded by `lock`; strings the worker changes (fileId, quickId,
// pickCode, workerText) are read and written under `lock`.
struct UploadTask {
  UploadTask() = default;
  UploadTask(const UploadTask&) = delete;
  UploadTask& operator=(const UploadTask&) = delete;
  // Waits for any holder of `lock` before the task goes away.
  ~UploadTask();

  TaskStatus GetStatus() const { return static_cast<TaskStatus>(status.load()); }
  void SetStatusValue(TaskStatus s) { status.store(static_cast<int32_t>(s)); }

  // Sets `transfer` under the lock; the scheduler reads its speed through
  // TransferSpeed().
  void SetTransfer(std::unique_ptr<TransferState> state);
  int32_t TransferSpeed() const;

  std::string folderPath;
  std::string folderTarget;
  std::string filePath;
  std::string fileId GUARDED_BY(lock);
  std::string quickId GUARDED_BY(lock);
  std::string pickCode GUARDED_BY(lock);
  std::string remotePath;
  std::string target;
  int64_t fileSize = 0;
  std::atomic<int64_t> uploadedSize{0};
  std::atomic<int64_t> transferMark{0};
  std::atomic<int32_t> status{0};
  int32_t ispType = 0;
  std::atomic<int32_t> errorCode{0};
  std::string workerText GUARDED_BY(lock);  // the service's message, GBK
  std::atomic<bool> workerFlag{false};
  std::atomic<double> hashProgress{0.0};
  std::unique_ptr<TransferState> transfer GUARDED_BY(lock);
  // Re-entrant: a worker saves the task's record (which reads the task under
  // this lock) while holding it, so a cancel cannot come between its test
  // of the status and the save.
  mutable port::RecursiveMutex lock;
  // The file's modification time the identities belong to.
  std::optional<int64_t> modifiedTime GUARDED_BY(lock);
  // Orders this upload's record saves against cancels and later logins.
  uint64_t storeTicket = ResumeStoreTicket();
  // Whether the service's cancel of this upload has been queued (by its
  // canceller or its worker, whichever saw the pick code first).
  bool serviceCancelQueued GUARDED_BY(lock) = false;
  // The engine start that registered the task (0: none); set under the
  // engine lock.
  uint64_t engineRun = 0;
};

// The record the engine hands to the notice callback, by value. Strings are
// UTF-8 except errorText (GBK).
struct TaskNotice {
  std::string fileName;
  std::string path;
  int64_t totalSize = 0;
  int64_t doneSize = 0;
  int32_t speed = 0;
  int32_t secondsLeft = 0;
  int32_t status = 0;
  double hashProgress = 0.0;
  int32_t errorCode = 0;
  std::string errorText;
  std::string pickCode;
  int32_t isFolder = 0;
  std::string queueSummary;
  uint32_t userValue = 0;
};

// The summary text's value when nothing is queued.
inline constexpr char kEmptyQueueSummary[] = "0,0,0,00:00:00";

// The text reported for the task's failure (GBK): see TaskErrorText(code,
// message). A null task gives the unknown-error text.
std::string TaskErrorText(const UploadTask* task);

// The task's resume-store record, and a task's fields from one.
ResumeRecord ResumeRecordOf(const UploadTask& task);
void ApplyResumeRecord(const ResumeRecord& record, UploadTask* task);

// Saves the task's record in the resume store; false when the store refuses
// it (see SaveResumeRecord).
[[nodiscard]] bool SaveTaskRecord(const UploadTask& task, bool wake);

// The first step of starting a transfer: refuses (false) a task that was
// stopped or cancelled, else sets it Uploading when both identities are known
// and Hashing otherwise.
bool EnterTransferStatus(UploadTask* task);

// The task's values as the upload requests see them, copied under its lock.
JobFields JobFieldsOf(const UploadTask& task);

// For a cancel: the task's values for the service's cancel request, when it
// has a pick code and its cancel was not queued yet (then marked queued).
std::optional<JobFields> TakeServiceCancel(UploadTask* task);

// Whether a failure with `code` would come again however often the upload
// is retried: an empty file, one that is gone, a name the store or the
// service refuses, a file over the service's limit.
bool IsFinalFailure(int32_t code);

// The text before the last local separator ("" when there is none).
std::string DirectoryOf(const std::string& path);

}  // namespace vexa

#endif  // VEXA_ENGINE_UPLOAD_TASK_H_
