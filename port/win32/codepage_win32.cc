#include <windows.h>

#include "port/codepage.h"

namespace vexa::port {
namespace {

constexpr UINT kGbk = 936;

// Converts `n` GBK bytes as one character; false when they are not one.
bool GbkChar(const char* p, int n, std::u16string* out) {
  wchar_t w[2];
  const int got = ::MultiByteToWideChar(kGbk, MB_ERR_INVALID_CHARS, p, n, w, 2);
  if (got <= 0) return false;
  out->append(reinterpret_cast<const char16_t*>(w), got);
  return true;
}

}  // namespace

// Character by character, so that each byte the code page cannot convert
// becomes one U+FFFD, as the other platforms' converter does (the system's
// own replacement is "?").
std::string GbkToUtf8(std::string_view gbk, bool* ok) {
  if (ok) *ok = true;
  std::u16string wide;
  wide.reserve(gbk.size());
  for (size_t i = 0; i < gbk.size();) {
    const bool lead = ::IsDBCSLeadByteEx(kGbk, static_cast<BYTE>(gbk[i])) != FALSE;
    if (lead && i + 1 < gbk.size() && GbkChar(&gbk[i], 2, &wide)) {
      i += 2;
    } else {
      if (lead || !GbkChar(&gbk[i], 1, &wide)) wide.push_back(u'\uFFFD');
      ++i;
    }
  }
  return Utf16ToUtf8(wide);
}

// Code point by code point, so that a character outside the code page (one
// surrogate pair included) becomes a single "?".
std::string Utf8ToGbk(std::string_view utf8, bool* ok) {
  if (ok) *ok = true;
  const std::u16string wide = Utf8ToUtf16(utf8);
  std::string out;
  out.reserve(wide.size() * 2);
  for (size_t i = 0; i < wide.size();) {
    const int units = (wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < wide.size()) ? 2 : 1;
    char bytes[8];
    BOOL used_default = FALSE;
    const int n = ::WideCharToMultiByte(kGbk, 0, reinterpret_cast<const wchar_t*>(&wide[i]), units,
                                        bytes, sizeof(bytes), "?", &used_default);
    if (n <= 0 || used_default) {
      out.push_back('?');
    } else {
      out.append(bytes, n);
    }
    i += units;
  }
  return out;
}

}  // namespace vexa::port
