#include "control/com/registrar.h"

#include <oleauto.h>
#include <olectl.h>

#include <map>
#include <string>
#include <vector>

#include "control/com/com_module.h"
#include "control/com/resource_ids.h"
#include "control/method_table.h"
#include "control/registry_script.h"
#include "control/script_origin.h"
#include "port/debug.h"
#include "port/win32/wide_path.h"

namespace vexa::com {
namespace {

// Key paths of the scripts on the real registry.
class Win32RegistryEditor : public RegistryEditor {
 public:
  bool CreateKey(const std::string& path) override {
    HKEY key = Open(path, true);
    if (key == nullptr) return false;
    ::RegCloseKey(key);
    return true;
  }
  bool SetString(const std::string& path, const std::string& name,
                 const std::string& value) override {
    HKEY key = Open(path, true);
    if (key == nullptr) return false;
    const std::wstring v = port::Widen(value);
    const LONG r = ::RegSetValueExW(key, name.empty() ? nullptr : port::Widen(name).c_str(), 0,
                                    REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                                    static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
    return r == ERROR_SUCCESS;
  }
  bool DeleteValue(const std::string& path, const std::string& name) override {
    HKEY key = Open(path, false);
    if (key == nullptr) return true;
    const LONG r = ::RegDeleteValueW(key, port::Widen(name).c_str());
    ::RegCloseKey(key);
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
  }
  bool DeleteTree(const std::string& path) override {
    HKEY root;
    std::wstring sub;
    if (!Split(path, &root, &sub)) return false;
    const LONG r = ::RegDeleteTreeW(root, sub.c_str());
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) return false;
    const LONG d = ::RegDeleteKeyW(root, sub.c_str());
    return d == ERROR_SUCCESS || d == ERROR_FILE_NOT_FOUND;
  }
  bool DeleteKeyIfLeaf(const std::string& path) override {
    HKEY key = Open(path, false);
    if (key == nullptr) return true;
    DWORD subkeys = 0;
    const LONG q = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr);
    ::RegCloseKey(key);
    if (q != ERROR_SUCCESS) return false;
    if (subkeys != 0) return true;
    HKEY root;
    std::wstring sub;
    if (!Split(path, &root, &sub)) return false;
    const LONG d = ::RegDeleteKeyW(root, sub.c_str());
    return d == ERROR_SUCCESS || d == ERROR_FILE_NOT_FOUND;
  }

 private:
  static bool Split(const std::string& path, HKEY* root, std::wstring* sub) {
    const size_t sep = path.find('\\');
    const std::string name = path.substr(0, sep);
    static const std::map<std::string, HKEY> kRoots = {{"HKCR", HKEY_CLASSES_ROOT},
                                                       {"HKCU", HKEY_CURRENT_USER},
                                                       {"HKLM", HKEY_LOCAL_MACHINE},
                                                       {"HKU", HKEY_USERS}};
    auto it = kRoots.find(name);
    if (it == kRoots.end()) return false;
    *root = it->second;
    *sub = sep == std::string::npos ? std::wstring() : port::Widen(path.substr(sep + 1));
    return true;
  }
  static HKEY Open(const std::string& path, bool create) {
    HKEY root;
    std::wstring sub;
    if (!Split(path, &root, &sub)) return nullptr;
    HKEY key = nullptr;
    const LONG r = create ? ::RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                              nullptr, &key, nullptr)
                          : ::RegOpenKeyExW(root, sub.c_str(), 0, KEY_ALL_ACCESS, &key);
    return r == ERROR_SUCCESS ? key : nullptr;
  }
};

// The per-user type library calls of oleaut32 (Vista and later), looked up
// because the import library does not declare them.
using RegisterForUser = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnregisterForUser = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

template <typename F>
F OleAut(const char* name) {
  return reinterpret_cast<F>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"oleaut32.dll"), name)));
}

// The script stored as a "REGISTRY" resource, parsed with the replacements;
// `module_path` is the DLL's own path.
bool LoadScript(int id, const std::wstring& module_path, std::vector<RegistryKey>* roots) {
  HRSRC found = ::FindResourceW(Module(), MAKEINTRESOURCEW(id), L"REGISTRY");
  HGLOBAL loaded = found != nullptr ? ::LoadResource(Module(), found) : nullptr;
  const char* data = loaded != nullptr ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
  if (data == nullptr) return false;
  const std::string text(data, ::SizeofResource(Module(), found));
  const std::map<std::string, std::string> replacements = {
      {"MODULE", port::Narrow(module_path)},
      {"APPID", kAppId.guid},
      {"OLEMISC", std::to_string(kOleMiscStatus)},
  };
  std::string error;
  if (!ParseRegistryScript(text, replacements, roots, &error)) {
    port::DebugOut("REGISTRY SCRIPT " + std::to_string(id) + ": " + error + "\n");
    return false;
  }
  return true;
}

HRESULT ApplyScripts(bool do_register, bool per_user, const std::wstring& module_path) {
  Win32RegistryEditor editor;
  bool ok = true;
  for (int id : {kModuleScriptId, kClassScriptId}) {
    std::vector<RegistryKey> roots;
    if (!LoadScript(id, module_path, &roots)) return E_UNEXPECTED;
    ok = ApplyRegistryScript(roots, do_register, per_user, &editor) && ok;
    if (!ok && do_register) return SELFREG_E_CLASS;
  }
  return ok ? S_OK : SELFREG_E_CLASS;
}

HRESULT RegisterTypeLibrary(bool per_user, const std::wstring& module_path) {
  ITypeLib* typelib = nullptr;
  HRESULT hr = ::LoadTypeLibEx(module_path.c_str(), REGKIND_NONE, &typelib);
  if (FAILED(hr)) return hr;
  std::wstring copy = module_path;
  const auto for_user = OleAut<RegisterForUser>("RegisterTypeLibForUser");
  hr = per_user && for_user != nullptr ? for_user(typelib, copy.data(), nullptr)
                                       : ::RegisterTypeLib(typelib, copy.data(), nullptr);
  typelib->Release();
  return hr;
}

}  // namespace

HRESULT RegisterServer(bool per_user) {
  // A cut path would register a server that does not exist: nothing is
  // written without the whole one.
  std::wstring module_path;
  if (!port::ModuleFileName(Module(), &module_path))
    return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  HRESULT hr = ApplyScripts(true, per_user, module_path);
  if (SUCCEEDED(hr)) hr = RegisterTypeLibrary(per_user, module_path);
  // Half a registration is taken back: a class without its type library (or
  // the reverse) only fails later, in a page.
  if (FAILED(hr)) UnregisterServer(per_user);
  return hr;
}

HRESULT UnregisterServer(bool per_user) {
  // Removal does not need the module's path: the scripts' keys are found by name.
  std::wstring module_path;
  if (!port::ModuleFileName(Module(), &module_path)) module_path.clear();
  const HRESULT scripts = ApplyScripts(false, per_user, module_path);
  GUID libid;
  if (FAILED(::CLSIDFromString(port::Widen(kTypeLibrary.guid).c_str(), &libid)))
    return E_UNEXPECTED;
  const auto for_user = OleAut<UnregisterForUser>("UnRegisterTypeLibForUser");
  const HRESULT typelib =
      per_user && for_user != nullptr
          ? for_user(libid, kTypeLibraryMajor, kTypeLibraryMinor, kTypeLibraryLocale, SYS_WIN32)
          : ::UnRegisterTypeLib(libid, kTypeLibraryMajor, kTypeLibraryMinor, kTypeLibraryLocale,
                                SYS_WIN32);
  if (FAILED(scripts)) return scripts;
  // A type library that was not registered is no failure of unregistration.
  return FAILED(typelib) && typelib != TYPE_E_REGISTRYACCESS && typelib != TYPE_E_CANTLOADLIBRARY
             ? typelib
             : S_OK;
}

HRESULT ApplyOrigins(const OriginCommand& command, bool add) {
  Win32RegistryEditor editor;
  if (ApplyOriginCommand(command, add, &editor)) return S_OK;
  if (add) ApplyOriginCommand(command, false, &editor);
  return SELFREG_E_CLASS;
}

std::vector<std::string> RegisteredOrigins() {
  std::vector<std::string> origins;
  for (bool per_user : {true, false}) {
    const std::string path = OriginsKey(per_user);
    HKEY key = nullptr;
    const std::wstring sub = port::Widen(path.substr(path.find('\\') + 1));
    if (::RegOpenKeyExW(per_user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_READ,
                        &key) != ERROR_SUCCESS) {
      continue;
    }
    for (DWORD i = 0;; ++i) {
      std::wstring name(16384, L'\0');  // the longest value name
      DWORD length = static_cast<DWORD>(name.size());
      if (::RegEnumValueW(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      name.resize(length);
      const std::string origin = NormalizeOrigin(port::Narrow(name));
      if (!origin.empty()) origins.push_back(origin);
    }
    ::RegCloseKey(key);
  }
  return origins;
}

}  // namespace vexa::com
