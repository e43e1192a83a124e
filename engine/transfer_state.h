#ifndef VEXA_ENGINE_TRANSFER_STATE_H_
#define VEXA_ENGINE_TRANSFER_STATE_H_

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vexa {

// The transfer context of one running upload, owned by its task. The worker
// writes it; the scheduler reads only `speed`.
struct TransferState {
  TransferState() = default;
  TransferState(const TransferState&) = delete;
  TransferState& operator=(const TransferState&) = delete;
  ~TransferState() {
    if (file != nullptr) std::fclose(file);
  }

  std::string uploadUrl;
  std::string uploadKey;
  int64_t uploadTime = 0;
  std::atomic<int32_t> speed{0};  // bytes per second over the last range
  int64_t bytesSent = 0;
  std::FILE* file = nullptr;
  int64_t offset = 0;
  int64_t chunkLength = 0;
};

}  // namespace vexa

#endif  // VEXA_ENGINE_TRANSFER_STATE_H_
