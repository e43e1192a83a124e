#ifndef VEXA_APPS_CLI_SIZES_H_
#define VEXA_APPS_CLI_SIZES_H_

#include <cstdint>
#include <string>

namespace vexa::cli {

// Every size the CLI prints, in binary units: "512 B", "1.5 KiB", "3.0 GiB".
std::string FormatSize(uint64_t bytes);

// The quota as a sentence: "631 B used of 64.0 GiB (0.0%), 64.0 GiB free."
// A total of 0 means the service gave none.
std::string SpaceSentence(uint64_t used, uint64_t total);

// used ÷ total as "12.5%" (one decimal), "0.0%" without a total.
std::string UsedPercent(uint64_t used, uint64_t total);

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_SIZES_H_
