#include <windows.h>

#include <string>

#include "port/debug.h"

namespace vexa::port {

void SystemDebugOut(std::string_view text) { ::OutputDebugStringA(std::string(text).c_str()); }

}  // namespace vexa::port
