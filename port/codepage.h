#ifndef VEXA_PORT_CODEPAGE_H_
#define VEXA_PORT_CODEPAGE_H_

#include <string>
#include <string_view>

namespace vexa::port {

// UTF-8 <-> UTF-16. Malformed input is never rejected: every ill-formed
// sequence (bad lead or trail byte, overlong form, surrogate code point, lone
// surrogate unit) becomes U+FFFD, as the platform converters do.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// The ANSI code page of the original platform, GBK (code page 936), through
// iconv. Bytes that cannot be converted become U+FFFD (to UTF-8) or "?" (to GBK).
// `ok` (optional) is set false when the converter could not be opened.
std::string GbkToUtf8(std::string_view gbk, bool* ok = nullptr);
std::string Utf8ToGbk(std::string_view utf8, bool* ok = nullptr);

}  // namespace vexa::port

#endif  // VEXA_PORT_CODEPAGE_H_
