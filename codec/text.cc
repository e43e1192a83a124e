#include "codec/text.h"

#include <cinttypes>
#include <cstdio>

#include "port/codepage.h"
#include "port/file.h"

namespace vexa {

std::string AnsiToUtf8(std::string_view ansi) { return port::GbkToUtf8(ansi); }

std::string Utf8ToAnsi(std::string_view utf8) { return port::Utf8ToGbk(utf8); }

std::string WideToUtf8(std::u16string_view wide) { return port::Utf16ToUtf8(wide); }

WideString Utf8ToWide(std::string_view utf8) { return port::Utf8ToUtf16(utf8); }

std::string UrlEncode(std::u16string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string utf8 = WideToUtf8(text);
  std::string out;
  out.reserve(utf8.size() * 3);
  for (unsigned char c : utf8) {
    out.push_back('%');
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0xF]);
  }
  return out;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string FormatU64(uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof(buf), "%" PRIu64, value);
  return buf;
}

uint64_t ParseU64(std::string_view text) {
  // As "%llu": leading white space, an optional sign, then digits. A minus
  // sign wraps, as the C library does.
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  uint64_t v = 0;
  bool any = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const uint64_t d = static_cast<uint64_t>(text[i] - '0');
    if (v > (UINT64_MAX - d) / 10) return UINT64_MAX;  // saturates like strtoull
    v = v * 10 + d;
    any = true;
  }
  if (!any) return 0;
  return negative ? static_cast<uint64_t>(0) - v : v;
}

bool ParseRange(std::string_view text, uint64_t* low, uint64_t* high) {
  const size_t dash = text.find('-');
  if (dash == std::string_view::npos) return false;
  *low = ParseU64(text.substr(0, dash));
  *high = ParseU64(text.substr(dash + 1));
  return true;
}

std::string FormatDuration(uint64_t seconds) {
  const uint64_t h = seconds / 3600, m = (seconds % 3600) / 60, s = seconds % 60;
  auto two = [](uint64_t v) { return (v < 10 ? "0" : "") + FormatU64(v); };
  return two(h) + ":" + two(m) + ":" + two(s);
}

std::string ToLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string Trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return std::string(text);
  const size_t last = text.find_last_not_of(kSpace);
  return std::string(text.substr(first, last - first + 1));
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string FileNameOf(std::string_view path) {
  const size_t sep = path.rfind(port::kPathSeparator);
  return std::string(sep == std::string_view::npos ? path : path.substr(sep + 1));
}

std::string ExtensionOf(std::string_view path) {
  const size_t dot = path.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot + 1));
}

}  // namespace vexa
