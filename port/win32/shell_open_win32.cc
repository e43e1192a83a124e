#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include "port/shell_open.h"
#include "port/thread.h"
#include "port/win32/wide_path.h"

namespace vexa::port {

bool OpenUrl(const std::string& url) {
  // On a thread of its own: the shell may take its time to start a browser.
  return StartDetachedThread([wurl = Widen(url)] {
    // The shell's handlers may be COM objects.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ::ShellExecuteW(nullptr, L"Open", wurl.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (SUCCEEDED(com)) ::CoUninitialize();
  });
}

}  // namespace vexa::port
