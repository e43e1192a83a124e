#include "port/win32/wide_path.h"

#include "port/codepage.h"

namespace vexa::port {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

std::wstring Widen(const std::string& utf8) {
  const std::u16string u = Utf8ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}

std::string Narrow(const std::wstring& wide) { return Utf16ToUtf8(std::u16string(wide.begin(), wide.end())); }

std::string Narrow(const wchar_t* wide) {
  return wide == nullptr ? std::string() : Narrow(std::wstring(wide));
}

}  // namespace vexa::port
