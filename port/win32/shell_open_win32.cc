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
    const HRESULT com =
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    // Without NOASYNC the shell may hand the work to this thread after the
    // call returns, and the thread ends at once: the link would not open.
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"Open";
    info.lpFile = wurl.c_str();
    info.nShow = SW_SHOWNORMAL;
    ::ShellExecuteExW(&info);
    if (SUCCEEDED(com)) ::CoUninitialize();
  });
}

}  // namespace vexa::port
