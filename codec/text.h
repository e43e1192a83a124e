#ifndef VEXA_CODEC_TEXT_H_
#define VEXA_CODEC_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace vexa {

// Wide strings are UTF-16, as at the page boundary.
using WideString = std::u16string;

// Narrow text is UTF-8 unless a name says ANSI, the GBK code page.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
std::string WideToUtf8(std::u16string_view wide);
WideString Utf8ToWide(std::string_view utf8);

// Every byte of the UTF-8 form as "%XX" (upper-case hex), letters included.
std::string UrlEncode(std::u16string_view text);
// The value of a hexadecimal digit of either case; -1 for any other byte.
int HexDigitValue(char c);

std::string FormatU64(uint64_t value);
// Reads a leading decimal number (after optional white space); 0 when none.
uint64_t ParseU64(std::string_view text);
// Splits at the first '-' into low and high; false (outputs untouched) when the
// text holds no '-'.
bool ParseRange(std::string_view text, uint64_t* low, uint64_t* high);
// "HH:MM:SS", hours never cut to two digits.
std::string FormatDuration(uint64_t seconds);
std::string ToLower(std::string_view text);
// Strips leading and trailing space, TAB, LF, CR; a text made only of those is
// returned unchanged.
std::string Trim(std::string_view text);
// The text without leading and trailing spaces and TABs (the blanks of header and proxy fields).
std::string_view TrimBlanks(std::string_view text);

// The part after the last local path separator (the whole path when none).
std::string FileNameOf(std::string_view path);
// The part after the last '.' of the whole path; empty when none.
std::string ExtensionOf(std::string_view path);

}  // namespace vexa

#endif  // VEXA_CODEC_TEXT_H_
