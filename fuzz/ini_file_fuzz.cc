// The INI reader on any bytes: never a crash, and what it writes reads back
// to the same content (the second round trip changes nothing).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "account/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vexa::IniFile first;
  first.Parse(text);
  const std::string written = first.Serialize();

  vexa::IniFile second;
  second.Parse(written);
  if (second.Serialize() != written) std::abort();

  // Every entry of a listed section survives the round trip.
  for (const std::string& name : first.SectionNames()) {
    std::map<std::string, std::string> entries;
    if (!first.GetSection(name, &entries)) continue;
    for (const auto& [key, value] : entries) {
      std::string again;
      if (!second.Get(name, key, &again) || again != value) std::abort();
    }
  }
  return 0;
}
