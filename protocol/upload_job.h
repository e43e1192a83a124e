#ifndef VEXA_PROTOCOL_UPLOAD_JOB_H_
#define VEXA_PROTOCOL_UPLOAD_JOB_H_

// The seam between the upload requests and the task they work for.
//
// The requests of this module need a few values of one queued file and write a
// few results back. They do not know the engine's task record: the transfer
// worker hands them an UploadJob, an adapter over its task, its transfer
// context and its folder record. The contract, method by method, is below; the
// requests call every method on the worker's own thread.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace vexa {

// What a request needs to know of the task's status.
enum class JobState {
  kOther,      // waiting, hashing, stopped, failed, completed
  kUploading,  // transferring: the only state in which data is sent
  kCancelled,  // removed by the user: the dispatch request becomes the cancel request
};

// The task values the requests are built from, copied together under the
// task's lock. Paths are UTF-8; `filePath` uses the local separator,
// `remotePath` "/".
struct JobFields {
  std::string filePath;
  std::string fileId;
  std::string quickId;
  std::string pickCode;
  std::string remotePath;
  std::string target;
  int64_t fileSize = 0;
  int32_t ispType = 0;
};

// The transfer context of one running upload: the upload server the dispatch
// answer named and the range being sent. Only the worker's thread touches it,
// so the requests read and write it without a lock.
struct TransferContext {
  std::string uploadUrl;
  std::string uploadKey;
  int64_t uploadTime = 0;
  std::FILE* file = nullptr;  // the task's file, open for reading; not owned
  int64_t offset = 0;         // first byte of the next range
  int64_t chunkLength = 0;    // length of the next range; PostChunk may shorten it
};

// A folder upload's byte counters, as the range sender changes them.
struct FolderBytes {
  int64_t totalSize = 0;
  int64_t uploadedSize = 0;
  int64_t sentSinceStart = 0;
};

// The folder record a member file belongs to.
class FolderProgress {
 public:
  virtual ~FolderProgress() = default;
  // Takes the folder's lock, hands `change` the current counters and stores
  // what it leaves in them. `change` does no I/O and takes no lock.
  virtual void UpdateBytes(const std::function<void(FolderBytes*)>& change) = 0;
};

// One task as the requests see it. Implemented by the transfer worker.
class UploadJob {
 public:
  virtual ~UploadJob() = default;

  // A copy of the task's values, taken under the task's lock.
  virtual JobFields Fields() const = 0;
  // The task's status, read without the lock. Called once per piece of data
  // and from the socket's waits (about every 100 ms), so it must be cheap; any
  // thread may change the status meanwhile.
  virtual JobState State() const = 0;
  // The transfer context, or null when the worker has not created one. The
  // context belongs to the task, not to this view of it.
  virtual TransferContext* Transfer() const = 0;

  // The service refused the request with `code` and `message` (GBK). The
  // worker, not the request, decides what the refusal does to the task.
  virtual void SetRefusal(int32_t code, const std::string& message) = 0;
  // The service already holds the content: sets the quick-upload flag under
  // the task's lock.
  virtual void SetQuickUpload() = 0;
  // Under the task's lock: pickCode = `pick_code` when the task has none yet.
  virtual void AdoptPickCode(const std::string& pick_code) = 0;
  // Records `identity` as the remote folder of the task's local directory
  // (the part of filePath before its last separator) in the folder record.
  // Does nothing for a single file.
  virtual void RecordFolderTarget(const std::string& identity) = 0;
  // Under the task's lock: uploadedSize = `size`.
  virtual void SetUploadedSize(int64_t size) = 0;
  // Under the task's lock: uploadedSize += `n` and the transfer's bytesSent
  // += `n`.
  virtual void AddSentBytes(int64_t n) = 0;
  // The task's folder record, looked up by its folderPath; null for a single
  // file or when the folder is gone. Looked up once per range.
  virtual std::shared_ptr<FolderProgress> FindFolder() = 0;
};

}  // namespace vexa

#endif  // VEXA_PROTOCOL_UPLOAD_JOB_H_
