// The check and range answer readers on any bytes: never a crash or an
// escaping exception; an accepted offset always lies within the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/testing/memory_job.h"
#include "protocol/transfer_request.h"

namespace {

void Check(bool check_answer, const std::string& body) {
  vexa::MemoryJob job;
  job.fields.fileSize = 1 << 20;
  job.transfer.offset = -7;
  job.uploaded_size = -7;
  const bool ok =
      check_answer ? vexa::ParseCheckResponse(job, body) : vexa::ParseBigUploadResponse(job, body);
  if (!ok) {
    if (job.transfer.offset != -7 || job.uploaded_size != -7) std::abort();
    return;
  }
  if (job.error_code != 0 || job.transfer.offset < 0 || job.transfer.offset > job.fields.fileSize)
    std::abort();
  if (job.uploaded_size != (check_answer ? job.transfer.offset : -7)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  Check(true, body);
  Check(false, body);
  return 0;
}
