#ifndef VEXA_CODEC_MD5_H_
#define VEXA_CODEC_MD5_H_

#include <string>
#include <string_view>

namespace vexa {

// MD5 (RFC 1321) of the bytes of `text` as 32 lower-case hex digits.
std::string Md5Hex(std::string_view text);

}  // namespace vexa

#endif  // VEXA_CODEC_MD5_H_
