#include "apps/cli/sizes.h"

#include <cstdio>

namespace vexa::cli {

std::string UsedPercent(uint64_t used, uint64_t total) {
  char text[16];
  std::snprintf(text, sizeof(text), "%.1f%%",
                total == 0 ? 0.0 : 100.0 * static_cast<double>(used) / static_cast<double>(total));
  return text;
}

std::string SpaceSentence(uint64_t used, uint64_t total) {
  if (total == 0) return FormatSize(used) + " used; the service gave no quota.";
  const uint64_t free = used < total ? total - used : 0;
  return FormatSize(used) + " used of " + FormatSize(total) + " (" + UsedPercent(used, total) +
         "), " + FormatSize(free) + " free.";
}

}  // namespace vexa::cli
