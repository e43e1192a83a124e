#ifndef VEXA_ENGINE_TRANSFER_WORKER_H_
#define VEXA_ENGINE_TRANSFER_WORKER_H_

// The single-file transfer worker: one thread per running task that hashes
// the file, asks the service where to put it and sends it range by range,
// keeping the resume store current so an interrupted upload continues from
// the service's offset.

#include <cstdint>
#include <string>

#include "engine/upload_task.h"
#include "net/http_client.h"

namespace vexa {

// Codes the worker stores in a task's errorCode (beside the hash's codes, the
// service's status codes and the system's last error).
enum : int32_t {
  kErrDispatchBuild = 1003,
  kErrDispatchPost = 1004,
  kErrDispatchAnswer = 1005,
  kErrCheckBuild = 1006,
  kErrCheckGet = 1007,
  kErrCheckAnswer = 1008,
  kErrRangeBuild = 1009,
  kErrRangeFailed = 1010,
  kErrRangeAnswer = 1011,
  // The file changed size or time after its identities were taken.
  kErrFileChanged = 1016,
  kErrNeedsFileId = 300,
  // The service's refusals of a session it no longer holds, or whose content
  // did not match its identities (it dropped the session).
  kErrHashMismatch = 405,
  kErrNoPickCode = 412,
};

// Makes StartTransfer the engine's transfer starter. Hosts call it once
// before starting the engine.
void InstallTransferWorker();

// Called by the scheduler with the engine lock held: enters the transfer
// status (false for a stopped or cancelled task) and starts the task's worker
// thread, which owns the task until it ends with FinishTask.
bool StartTransfer(UploadTask* task);

// The worker's thread body. Always ends with FinishTask(task) for a non-null
// task and never touches it afterwards.
void TransferWorker(UploadTask* task);

// The progress callback of the whole-file digest: false (which stops the
// hash) when logged out, when no task is registered for `path`, when that
// task is not Hashing or has no size; otherwise sets its hashProgress.
bool OnHashProgress(const std::string& path, uint64_t hashed);

// Refreshes the account's quota and sets the task's transferMark (0 when the
// remaining space covers the rest of the file). False when the refresh
// failed (*stop false: worth asking again) or no space is left (*stop true).
// `options` let a stop end the query.
[[nodiscard]] bool CheckSpace(UploadTask* task, bool* stop,
                              const RequestOptions& options = RequestOptions());

}  // namespace vexa

#endif  // VEXA_ENGINE_TRANSFER_WORKER_H_
