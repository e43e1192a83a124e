#include "port/win32/wide_path.h"

#include <windows.h>

#include <vector>

#include "port/codepage.h"

namespace vexa::port {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

std::wstring Widen(const std::string& utf8) {
  const std::u16string u = Utf8ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}

std::string Narrow(const std::wstring& wide) {
  return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

std::string Narrow(const wchar_t* wide) {
  return wide == nullptr ? std::string() : Narrow(std::wstring(wide));
}

namespace {

bool IsSlash(wchar_t c) { return c == L'\\' || c == L'/'; }

// "C:\..." or "\\server\share..." (either slash).
bool IsAbsolute(const std::wstring& p) {
  const bool drive = p.size() >= 3 && ((p[0] | 0x20) >= L'a' && (p[0] | 0x20) <= L'z') &&
                     p[1] == L':' && IsSlash(p[2]);
  const bool unc = p.size() >= 3 && IsSlash(p[0]) && IsSlash(p[1]) && p[2] != L'?' && p[2] != L'.';
  return drive || unc;
}

}  // namespace

std::wstring WidePath(const std::string& utf8) {
  std::wstring wide = Widen(utf8);
  // The extended form passes a NUL through to nothing useful: leave such a
  // path to fail as it did.
  if (!IsAbsolute(wide) || wide.find(L'\0') != std::wstring::npos) return wide;
  DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::vector<wchar_t> full(size + 1);
  size = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (size == 0 || size >= full.size()) return wide;
  const std::wstring resolved(full.data(), size);
  if (resolved.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + resolved.substr(2);
  return L"\\\\?\\" + resolved;
}

namespace {

// Where the part of `path` that starts at `from` ends, past its separator.
size_t PastPart(const std::string& path, size_t from) {
  while (from < path.size() && !IsPathSlash(path[from])) ++from;
  return from < path.size() ? from + 1 : from;
}

bool IsDriveAt(const std::string& path, size_t i) {
  return path.size() >= i + 2 && (path[i] | 0x20) >= 'a' && (path[i] | 0x20) <= 'z' &&
         path[i + 1] == ':';
}

bool IsUncAt(const std::string& path, size_t i) {
  return path.size() >= i + 4 && (path[i] | 0x20) == 'u' && (path[i + 1] | 0x20) == 'n' &&
         (path[i + 2] | 0x20) == 'c' && IsPathSlash(path[i + 3]);
}

}  // namespace

size_t PathRootLength(const std::string& path) {
  const auto slash_at = [&path](size_t i) { return i < path.size() && IsPathSlash(path[i]); };
  if (slash_at(0) && slash_at(1)) {
    if (path.size() > 2 && (path[2] == '?' || path[2] == '.') && slash_at(3)) {
      // "\\?\C:\", "\\?\UNC\server\share\" or a volume: "\\?\Volume{...}\".
      if (IsDriveAt(path, 4)) return slash_at(6) ? 7 : 6;
      if (IsUncAt(path, 4)) return PastPart(path, PastPart(path, 8));
      return PastPart(path, 4);
    }
    return PastPart(path, PastPart(path, 2));  // "\\server\share\"
  }
  if (IsDriveAt(path, 0)) return slash_at(2) ? 3 : 2;
  return slash_at(0) ? 1 : 0;
}

bool ModuleFileName(void* module, std::wstring* path) {
  // The answer is cut to the buffer without a failure on some systems: grow
  // until it fits with room to spare.
  for (DWORD size = MAX_PATH; size <= 32768 * 2; size *= 2) {
    std::vector<wchar_t> buffer(size);
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n = ::GetModuleFileNameW(static_cast<HMODULE>(module), buffer.data(), size);
    if (n == 0) return false;
    if (n < size - 1 && ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      path->assign(buffer.data(), n);
      return true;
    }
  }
  return false;
}

}  // namespace vexa::port
