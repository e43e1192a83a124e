#ifndef VEXA_ENGINE_TRANSFER_STATE_H_
#define VEXA_ENGINE_TRANSFER_STATE_H_

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "protocol/upload_job.h"

namespace vexa {

// The transfer context of one running upload, owned by its task: what the
// upload requests read and write (TransferContext), plus the worker's own
// counters. The worker writes it; the scheduler reads only `speed`.
struct TransferState : TransferContext {
  TransferState() = default;
  TransferState(const TransferState&) = delete;
  TransferState& operator=(const TransferState&) = delete;
  ~TransferState() {
    if (file != nullptr) std::fclose(file);
  }

  std::atomic<int32_t> speed{0};  // bytes per second over the last range
  int64_t bytesSent = 0;          // guarded by the task's lock
};

}  // namespace vexa

#endif  // VEXA_ENGINE_TRANSFER_STATE_H_
