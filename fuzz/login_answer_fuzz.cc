// The login answer reader on any bytes: never a crash or an escaping
// exception, and a read answer leaves a consistent session.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "account/session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  vexa::AccountState state;
  if (!vexa::ReadLoginAnswer(body, &state)) {
    if (state.loggedIn || !state.lastError.empty()) std::abort();  // untouched
    return 0;
  }
  for (const auto& [cls, range] : state.sizeRanges) {
    if (cls < 0 || cls > 2) std::abort();
    (void)range;
  }
  if (state.loggedIn &&
      state.spaceSummary != state.sizeUsed + "|" + state.sizeTotal + "|" + state.sizeUsedPercent) {
    std::abort();
  }
  return 0;
}
