#include "apps/cli/sizes.h"

#include <cstdio>

namespace vexa::cli {

std::string FormatSize(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  // 1023.96 KiB would print as "1024.0 KiB": move up before rounding does.
  while (value >= 1023.95 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string UsedPercent(uint64_t used, uint64_t total) {
  char text[16];
  std::snprintf(text, sizeof(text), "%.1f%%",
                total == 0 ? 0.0 : 100.0 * static_cast<double>(used) / static_cast<double>(total));
  return text;
}

std::string SpaceSentence(uint64_t used, uint64_t total) {
  if (total == 0) return FormatSize(used) + " used; the service gave no quota.";
  const uint64_t free = used < total ? total - used : 0;
  return FormatSize(used) + " used of " + FormatSize(total) + " (" + UsedPercent(used, total) + "), " +
         FormatSize(free) + " free.";
}

}  // namespace vexa::cli
