#ifndef VEXA_PORT_WIN32_WIDE_PATH_H_
#define VEXA_PORT_WIN32_WIDE_PATH_H_

#include <string>

namespace vexa::port {

// UTF-8 <-> the wide (UTF-16) strings of the Windows calls.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);
std::string Narrow(const wchar_t* wide);

}  // namespace vexa::port

#endif  // VEXA_PORT_WIN32_WIDE_PATH_H_
