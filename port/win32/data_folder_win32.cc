#include <windows.h>

#include <shlobj.h>

#include <cstdlib>

#include "port/data_folder.h"
#include "port/debug.h"
#include "port/file.h"
#include "port/win32/wide_path.h"

namespace vexa::port {

std::string GetDataFolder() {
  std::string dir;
  if (const wchar_t* d = ::_wgetenv(L"VEXAUPLOAD_DATA_DIR"); d != nullptr && *d != L'\0') {
    dir = Narrow(d);
    if (dir.back() != kPathSeparator && dir.back() != '/') dir.push_back(kPathSeparator);
  } else {
    wchar_t appdata[MAX_PATH];
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appdata))) {
      DebugOut("DATA FOLDER: no application data folder\n");
      return std::string();
    }
    dir = Narrow(appdata) + "\\vexabackup\\upload\\";
  }
  if (!CreateDirectories(dir, 0700)) {
    DebugOut("DATA FOLDER: cannot create " + dir + "\n");
    return std::string();
  }
  return dir;
}

}  // namespace vexa::port
