#include "engine/upload_task.h"

#include "port/file.h"
#include "port/last_error.h"
#include "store/error_table.h"

namespace vexa {

UploadTask::~UploadTask() {
  transfer.reset();
  lock.Lock();
  lock.Unlock();
}

void UploadTask::SetTransfer(std::unique_ptr<TransferState> state) {
  std::unique_ptr<TransferState> old;
  port::MutexLock l(&lock);
  old.swap(transfer);
  transfer = std::move(state);
}

int32_t UploadTask::TransferSpeed() const {
  port::MutexLock l(&lock);
  return transfer ? transfer->speed.load() : 0;
}

std::string TaskErrorText(const UploadTask* task) {
  if (task == nullptr) return ErrorMessageText(-1);
  port::MutexLock l(&task->lock);
  return TaskErrorText(task->errorCode.load(), task->workerText);
}

ResumeRecord ResumeRecordOf(const UploadTask& task) {
  ResumeRecord r;
  port::MutexLock l(&task.lock);
  r.fileId = task.fileId;
  r.quickId = task.quickId;
  r.pickCode = task.pickCode;
  r.folderPath = task.folderPath;
  r.folderTarget = task.folderTarget;
  r.target = task.target;
  r.fileSize = task.fileSize;
  r.uploadedSize = task.uploadedSize.load();
  r.ispType = task.ispType;
  r.modifiedTime = task.modifiedTime;
  return r;
}

void ApplyResumeRecord(const ResumeRecord& r, UploadTask* task) {
  port::MutexLock l(&task->lock);
  task->fileId = r.fileId;
  task->quickId = r.quickId;
  task->pickCode = r.pickCode;
  task->folderPath = r.folderPath;
  task->folderTarget = r.folderTarget;
  task->target = r.target;
  task->fileSize = r.fileSize;
  task->uploadedSize.store(r.uploadedSize);
  task->ispType = r.ispType;
  task->modifiedTime = r.modifiedTime;
}

bool SaveTaskRecord(const UploadTask& task, bool wake) {
  return SaveResumeRecord(task.filePath, ResumeRecordOf(task), wake, task.storeTicket);
}

bool EnterTransferStatus(UploadTask* task) {
  if (task == nullptr) return false;
  port::MutexLock l(&task->lock);
  const TaskStatus s = task->GetStatus();
  if (s == TaskStatus::Stopped || s == TaskStatus::Cancelled) return false;
  const bool known = !task->fileId.empty() && !task->quickId.empty();
  task->SetStatusValue(known ? TaskStatus::Uploading : TaskStatus::Hashing);
  return true;
}

std::optional<JobFields> TakeServiceCancel(UploadTask* task) {
  port::MutexLock l(&task->lock);
  if (task->pickCode.empty() || task->serviceCancelQueued) return std::nullopt;
  task->serviceCancelQueued = true;
  return JobFieldsOf(*task);
}

JobFields JobFieldsOf(const UploadTask& task) {
  JobFields f;
  port::MutexLock l(&task.lock);
  f.filePath = task.filePath;
  f.fileId = task.fileId;
  f.quickId = task.quickId;
  f.pickCode = task.pickCode;
  f.remotePath = task.remotePath;
  f.target = task.target;
  f.fileSize = task.fileSize;
  f.ispType = task.ispType;
  return f;
}

bool IsFinalFailure(int32_t code) {
  switch (code) {
    case kErrEmptyFile:
    case port::kErrorFileNotFound:
    case port::kErrorPathNotFound:
    case port::kErrorInvalidName:
    case 402:  // the service refuses the file's values (its name)
    case 411:  // larger than the service takes
      return true;
    default:
      return false;
  }
}

std::string DirectoryOf(const std::string& path) {
  const size_t pos = path.rfind(port::kPathSeparator);
  return pos == std::string::npos ? std::string() : path.substr(0, pos);
}

}  // namespace vexa
