#ifndef VEXA_CODEC_SIZE_TEXT_H_
#define VEXA_CODEC_SIZE_TEXT_H_

#include <cstdint>
#include <string>

namespace vexa {

// Every size shown to people (command line, service page, logs), in binary
// units with one decimal: "512 B", "1.5 KiB", "3.0 GiB".
std::string FormatSize(uint64_t bytes);

}  // namespace vexa

#endif  // VEXA_CODEC_SIZE_TEXT_H_
