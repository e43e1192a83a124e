#include <windows.h>
#include <commdlg.h>
#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "port/file_chooser.h"
#include "port/scripted_chooser.h"
#include "port/win32/wide_path.h"

namespace vexa::port {
namespace {

// 260000 bytes, given to the dialog in UTF-16 units.
constexpr DWORD kFileBufferUnits = 260000 / 2;

// "所有文件(*.*)" and "*.*", each ended by a NUL and the list by another.
constexpr wchar_t kFilter[] = L"\u6240\u6709\u6587\u4EF6(*.*)\0*.*\0";

// The dialog's owner, when `owner` names a window at all: a host may pass
// another token, and a dialog with a bad owner would not open.
HWND OwnerWindow(uintptr_t owner) {
  HWND h = reinterpret_cast<HWND>(owner);
  return h != nullptr && ::IsWindow(h) ? h : nullptr;
}

}  // namespace

bool ShowOpenFilesDialog(uintptr_t owner, const std::string& title,
                         std::vector<std::string>* strings) {
  if (const char* program = ScriptedChooser()) {
    strings->clear();
    return RunScriptedChooser(program, "files", title, strings);
  }
  std::vector<wchar_t> buffer(kFileBufferUnits, L'\0');
  const std::wstring wtitle = Widen(title);
  OPENFILENAMEW ofn = {};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = OwnerWindow(owner);
  ofn.lpstrFile = buffer.data();
  ofn.nMaxFile = kFileBufferUnits;
  ofn.lpstrTitle = wtitle.c_str();
  ofn.lpstrFilter = kFilter;
  ofn.lpstrInitialDir = L"";
  ofn.Flags = OFN_EXPLORER | OFN_ALLOWMULTISELECT | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST |
              OFN_HIDEREADONLY;
  // The Explorer-style dialog hosts shell (COM) objects on this thread.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const BOOL chosen = ::GetOpenFileNameW(&ofn);
  if (SUCCEEDED(com)) ::CoUninitialize();
  if (!chosen) return false;
  // One full path, or a folder followed by names; each ends with a NUL and
  // the list with an empty string.
  strings->clear();
  for (const wchar_t* p = buffer.data(); *p != L'\0' && p < buffer.data() + buffer.size();
       p += wcslen(p) + 1) {
    strings->push_back(Narrow(p));
  }
  return !strings->empty();
}

bool ShowFolderDialog(uintptr_t owner, const std::string& title, std::string* path) {
  if (const char* program = ScriptedChooser()) {
    std::vector<std::string> strings;
    if (!RunScriptedChooser(program, "folder", title, &strings)) return false;
    *path = strings.front();
    return !path->empty();
  }
  const std::wstring wtitle = Widen(title);
  BROWSEINFOW bi = {};
  bi.hwndOwner = OwnerWindow(owner);
  bi.lpszTitle = wtitle.c_str();
  bi.ulFlags =
      BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE | BIF_UAHINT | BIF_NONEWFOLDERBUTTON;
  // The new dialog style needs COM on the calling (selection) thread.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  PIDLIST_ABSOLUTE item = ::SHBrowseForFolderW(&bi);
  bool ok = false;
  if (item != nullptr) {
    wchar_t chosen[MAX_PATH] = {};
    ok = ::SHGetPathFromIDListW(item, chosen) != FALSE;
    if (ok) *path = Narrow(chosen);
    ::CoTaskMemFree(item);
  }
  if (SUCCEEDED(com)) ::CoUninitialize();
  return ok;
}

}  // namespace vexa::port
