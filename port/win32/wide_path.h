#ifndef VEXA_PORT_WIN32_WIDE_PATH_H_
#define VEXA_PORT_WIN32_WIDE_PATH_H_

#include <cstddef>
#include <string>

namespace vexa::port {

// UTF-8 <-> the wide (UTF-16) strings of the Windows calls.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);
std::string Narrow(const wchar_t* wide);

// A file path for the wide file calls: an absolute path takes the
// extended-length form ("\\?\C:\...", "\\?\UNC\server\share\..."), so a
// folder member deeper than 259 characters opens like any other; "." and
// ".." parts and forward slashes are resolved first, as that form takes the
// path literally. Relative paths, device paths and paths already in that
// form are only widened.
std::wstring WidePath(const std::string& utf8);

// Windows takes either slash as a separator in a path.
inline bool IsPathSlash(char c) { return c == '\\' || c == '/'; }

// The length of the part of `path` that names no folder of its own, either
// slash standing for a separator: 3 for "C:\", 1 for "\", the whole prefix
// for "\\server\share\", "\\?\C:\" and "\\?\UNC\server\share\"; 0 for a
// relative path. The whole length when the path is nothing but a root.
size_t PathRootLength(const std::string& path);

// The full path of `module` (an HMODULE; null for the executable), however
// long. False when it cannot be read; never a truncated path.
bool ModuleFileName(void* module, std::wstring* path);

}  // namespace vexa::port

#endif  // VEXA_PORT_WIN32_WIDE_PATH_H_
