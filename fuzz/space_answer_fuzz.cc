// The space answer reader on any bytes: never a crash or an escaping
// exception; an answer is taken whole or not at all.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "account/space.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  vexa::AccountState state;
  state.spaceRemain = 1;
  state.spaceSummary = "old";
  if (!vexa::ReadSpaceAnswer(body, "7", &state)) {
    if (state.spaceRemain != 1 || state.spaceSummary != "old") std::abort();  // untouched
    return 0;
  }
  if (state.spaceSummary != state.sizeUsed + "|" + state.sizeTotal + "|" + state.sizeUsedPercent) {
    std::abort();
  }
  return 0;
}
