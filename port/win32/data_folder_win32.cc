#include "port/win32/data_folder_win32.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "port/data_folder.h"
#include "port/debug.h"
#include "port/file.h"
#include "port/win32/wide_path.h"

namespace vexa::port {

bool IsLowIntegrityProcess() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  ::GetTokenInformation(token, TokenIntegrityLevel, nullptr, 0, &size);
  bool low = false;
  if (size >= sizeof(TOKEN_MANDATORY_LABEL)) {
    std::vector<unsigned char> buffer(size);
    auto* label = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer.data());
    if (::GetTokenInformation(token, TokenIntegrityLevel, label, size, &size) &&
        label->Label.Sid != nullptr) {
      const UCHAR count = *::GetSidSubAuthorityCount(label->Label.Sid);
      if (count > 0)
        low = *::GetSidSubAuthority(label->Label.Sid, count - 1) < SECURITY_MANDATORY_MEDIUM_RID;
    }
  }
  ::CloseHandle(token);
  return low;
}

std::string DefaultDataFolder(bool low_integrity) {
  std::string base;
  if (low_integrity) {
    PWSTR low = nullptr;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppDataLow, 0, nullptr, &low)))
      base = Narrow(low);
    ::CoTaskMemFree(low);
  } else {
    wchar_t appdata[MAX_PATH];
    if (SUCCEEDED(
            ::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appdata))) {
      base = Narrow(appdata);
    }
  }
  if (base.empty()) {
    DebugOut(low_integrity ? "DATA FOLDER: no low-integrity application data folder\n"
                           : "DATA FOLDER: no application data folder\n");
    return std::string();
  }
  const std::string dir = base + "\\vexabackup\\upload\\";
  if (!CreateDirectories(dir, 0700)) {
    DebugOut("DATA FOLDER: cannot create " + dir + "\n");
    return std::string();
  }
  return dir;
}

std::string GetDataFolder() {
  if (const wchar_t* d = ::_wgetenv(L"VEXAUPLOAD_DATA_DIR"); d != nullptr && *d != L'\0') {
    std::string dir = Narrow(d);
    if (dir.back() != kPathSeparator && dir.back() != '/') dir.push_back(kPathSeparator);
    if (!CreateDirectories(dir, 0700)) {
      DebugOut("DATA FOLDER: cannot create " + dir + "\n");
      return std::string();
    }
    return dir;
  }
  // A tab in Protected Mode can write only below the low-integrity folder:
  // uploads made there are remembered there, apart from the desktop's.
  const bool low = IsLowIntegrityProcess();
  const std::string dir = DefaultDataFolder(low);
  static std::once_flag said;
  if (low && !dir.empty())
    std::call_once(said, [&dir] { DebugOut("DATA FOLDER: low integrity, using " + dir + "\n"); });
  return dir;
}

}  // namespace vexa::port
