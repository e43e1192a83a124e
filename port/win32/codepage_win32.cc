#include <windows.h>

#include "port/codepage.h"

namespace vexa::port {
namespace {

constexpr UINT kGbk = 936;

}  // namespace

std::string GbkToUtf8(std::string_view gbk, bool* ok) {
  if (ok) *ok = true;
  if (gbk.empty()) return std::string();
  const int n = ::MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
  if (n <= 0) {
    if (ok) *ok = false;
    return std::string(gbk);
  }
  std::u16string wide(static_cast<size_t>(n), u'\0');
  ::MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()),
                        reinterpret_cast<wchar_t*>(wide.data()), n);
  return Utf16ToUtf8(wide);
}

std::string Utf8ToGbk(std::string_view utf8, bool* ok) {
  if (ok) *ok = true;
  if (utf8.empty()) return std::string();
  const std::u16string wide = Utf8ToUtf16(utf8);
  const auto* w = reinterpret_cast<const wchar_t*>(wide.data());
  const int wn = static_cast<int>(wide.size());
  const int n = ::WideCharToMultiByte(kGbk, 0, w, wn, nullptr, 0, "?", nullptr);
  if (n <= 0) {
    if (ok) *ok = false;
    return std::string(utf8);
  }
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(kGbk, 0, w, wn, out.data(), n, "?", nullptr);
  return out;
}

}  // namespace vexa::port
