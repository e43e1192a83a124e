// The dispatch answer reader on any bytes: never a crash or an escaping
// exception; an answer that is not accepted changes nothing but the refusal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/dispatch_request.h"
#include "protocol/testing/memory_job.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  vexa::MemoryJob job;
  job.transfer.uploadKey = "before";
  if (!vexa::ParseDispatchResponse(job, body)) {
    if (job.transfer.uploadKey != "before" || job.quick_upload || !job.folder_targets.empty() ||
        !job.fields.pickCode.empty()) {
      std::abort();
    }
    return 0;
  }
  if (job.error_code != 0) std::abort();
  for (const std::string& t : job.folder_targets) {
    if (t.empty() || t.find('/') != std::string::npos) std::abort();
  }
  return 0;
}
