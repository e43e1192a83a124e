// Status changes of tasks and folders, and the reports they send.

#include <algorithm>

#include "account/session.h"
#include "codec/text.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "store/error_table.h"
#include "store/resume_store.h"

namespace vexa {

using engine_internal::Engine;
using engine_internal::UploadEngine;

namespace {

bool IsRunningStatus(TaskStatus s) {
  return s == TaskStatus::Hashing || s == TaskStatus::Uploading;
}

// Folder counting for a member's final status. Returns false when the
// member's folder is gone.
bool CountFolderMember(UploadTask* task, TaskStatus status) {
  FolderRef folder = FindFolder(task->folderPath);
  if (!folder) return false;
  // The text is built before taking the folder's lock (the task's lock and a
  // folder's lock are never held together).
  const std::string text = status == TaskStatus::Failed ? TaskErrorText(task) : std::string();
  const int32_t code = task->errorCode.load();
  bool finished;
  bool failed;
  {
    port::MutexLock l(&folder->lock);
    if (status == TaskStatus::Completed) {
      ++folder->completedCount;
      auto& pending = folder->pendingPaths;
      auto it = std::find(pending.begin(), pending.end(), task->filePath);
      if (it != pending.end()) pending.erase(it);
    } else if (status == TaskStatus::Failed) {
      if (folder->failures.find(task->filePath) == folder->failures.end()) {
        // No space fails the whole folder at once.
        if (code == kErrNoSpace || code == kErrServiceNoSpace) {
          folder->failedCount = folder->memberCount;
        } else {
          ++folder->failedCount;
        }
        folder->failures[task->filePath] = text;
        if (IsFinalFailure(code)) folder->finalFailures.insert(task->filePath);
      }
    }
    finished = folder->completedCount + folder->failedCount >= folder->memberCount;
    failed = folder->failedCount > 0;
  }
  // Kept in its record: a final failure so that no later run queues it
  // again, any other so that a later run still lists it until it is retried.
  if (status == TaskStatus::Failed && IsFinalFailure(code)) {
    MarkResumeRecordFailed(task->filePath, code, task->storeTicket);
  } else if (status == TaskStatus::Failed) {
    NoteResumeRecordFailure(task->filePath, code, task->storeTicket);
  }
  if (finished) NotifyFolderStatus(folder, failed ? TaskStatus::Failed : TaskStatus::Completed);
  return true;
}

}  // namespace

bool SetTaskStatus(UploadTask* task, TaskStatus status, bool notify) {
  if (task == nullptr) return false;
  {
    port::MutexLock l(&task->lock);
    const TaskStatus current = task->GetStatus();
    // A stopped or cancelled task is never restarted by a late worker.
    if ((current == TaskStatus::Stopped || current == TaskStatus::Cancelled) &&
        IsRunningStatus(status)) {
      return false;
    }
    task->SetStatusValue(status);
  }
  if (status == TaskStatus::Cancelled || IsRunningStatus(status)) return true;
  if (!task->folderPath.empty()) return CountFolderMember(task, status);
  if (!notify) return true;

  UploadEngine& e = Engine();
  std::string summary;
  std::shared_ptr<const NoticeCallback> callback;
  uint32_t user_value;
  {
    port::MutexLock l(&e.engineMutex);
    const size_t n = e.taskMap.size();
    if (!IsLoggedIn()) {
      e.queueSummary = kEmptyQueueSummary;
    } else if (n <= 1 && (status == TaskStatus::Stopped || status == TaskStatus::Failed ||
                          status == TaskStatus::Completed)) {
      e.queueSummary = kEmptyQueueSummary;
    } else if (e.queueSummary.empty()) {
      const int64_t bytes = e.totalBytes > 0 ? e.totalBytes : task->fileSize;
      e.queueSummary = FormatU64(std::max<size_t>(n, 1)) + "," +
                       FormatU64(static_cast<uint64_t>(bytes)) + ",0,00:00:00";
    }
    summary = e.queueSummary;
    callback = e.noticeCallback;
    user_value = e.userValue;
  }
  if (!callback || !*callback) return true;
  TaskNotice n;
  n.fileName = FileNameOf(task->filePath);
  n.path = task->filePath;
  n.totalSize = task->fileSize;
  n.doneSize = task->uploadedSize.load();
  n.status = static_cast<int32_t>(status);
  n.errorCode = task->errorCode.load();
  n.errorText = TaskErrorText(task);
  {
    port::MutexLock l(&task->lock);
    n.pickCode = task->pickCode;
  }
  n.queueSummary = summary;
  n.userValue = user_value;
  (*callback)(std::move(n));
  return true;
}

void NotifyFolderStatus(const FolderRef& folder, TaskStatus status) {
  if (!folder) return;
  folder->status.store(static_cast<int32_t>(status));
  if (status == TaskStatus::Uploading) return;
  // Forgotten before it is reported, as a file's record is: a host that adds
  // the folder again on hearing of its completion starts a new one.
  if (status == TaskStatus::Completed) RemoveFolder(folder);
  if (status != TaskStatus::Cancelled) {
    UploadEngine& e = Engine();
    std::shared_ptr<const NoticeCallback> callback;
    TaskNotice n;
    {
      port::MutexLock l(&e.engineMutex);
      n.queueSummary = e.queueSummary;
      callback = e.noticeCallback;
      n.userValue = e.userValue;
    }
    if (callback && *callback) {
      n.fileName = FileNameOf(folder->folderPath);
      n.path = folder->folderPath;
      n.totalSize = folder->totalSize.load();
      n.doneSize = folder->uploadedSize.load();
      n.status = static_cast<int32_t>(status);
      n.isFolder = 1;
      (*callback)(std::move(n));
    }
  }
  if (status == TaskStatus::Failed) {
    port::MutexLock l(&folder->lock);
    folder->startTick.store(0);
    folder->sentSinceStart.store(0);
  }
}

}  // namespace vexa
