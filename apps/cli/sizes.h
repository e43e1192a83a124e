#ifndef VEXA_APPS_CLI_SIZES_H_
#define VEXA_APPS_CLI_SIZES_H_

#include <cstdint>
#include <string>

#include "codec/size_text.h"

namespace vexa::cli {

using vexa::FormatSize;

// The quota as a sentence: "631 B used of 64.0 GiB (0.0%), 64.0 GiB free."
// A total of 0 means the service gave none.
std::string SpaceSentence(uint64_t used, uint64_t total);

// used ÷ total as "12.5%" (one decimal), "0.0%" without a total.
std::string UsedPercent(uint64_t used, uint64_t total);

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_SIZES_H_
