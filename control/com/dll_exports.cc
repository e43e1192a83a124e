// The entry points of ievexaupload_plugin.dll.
#include <windows.h>
#include <olectl.h>

#include <cwchar>
#include <string>

#include "control/com/class_factory.h"
#include "control/com/com_module.h"
#include "control/com/ievexaupload_plugin.h"
#include "control/com/registrar.h"
#include "control/origin_registry.h"
#include "port/crash_reporter.h"
#include "port/debug.h"
#include "port/win32/wide_path.h"

using vexa::com::UploadClassFactory;

namespace {

// Set by DllInstall for the rest of the process, as the registrar's scripts
// are then applied per user.
bool g_per_user = false;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    vexa::com::SetModule(instance);
    ::DisableThreadLibraryCalls(instance);
    vexa::port::InstallCrashReporter(nullptr);
  }
  return TRUE;
}

STDAPI DllCanUnloadNow() { return vexa::com::CanUnload() ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_Upload) return CLASS_E_CLASSNOTAVAILABLE;
  return UploadClassFactory::Instance()->QueryInterface(riid, out);
}

STDAPI DllRegisterServer() { return vexa::com::RegisterServer(g_per_user); }

STDAPI DllUnregisterServer() { return vexa::com::UnregisterServer(g_per_user); }

// Besides "user", a command line may name the origins whose pages may script
// the control ("regsvr32 /n /i:\"user origin=https://a.example\" dll"; see
// control/origin_registry.h): those are added, or removed when uninstalling,
// and the class registration is left as it is.
STDAPI DllInstall(BOOL install, LPCWSTR command_line) {
  vexa::OriginCommand origins;
  std::string error;
  switch (vexa::ParseOriginCommand(
      command_line != nullptr ? vexa::port::Narrow(command_line) : std::string(), &origins,
      &error)) {
    case vexa::OriginCommandResult::kOk:
      return vexa::com::ApplyOrigins(origins, install != FALSE);
    case vexa::OriginCommandResult::kInvalid:
      vexa::port::DebugOut("DllInstall: " + error + "\n");
      return E_INVALIDARG;
    case vexa::OriginCommandResult::kNotOrigins:
      break;
  }
  // "user" in any case, and nothing after it: "users" registers machine-wide.
  if (command_line != nullptr && ::_wcsicmp(command_line, L"user") == 0) g_per_user = true;
  if (!install) return DllUnregisterServer();
  const HRESULT hr = DllRegisterServer();
  if (FAILED(hr)) DllUnregisterServer();
  return hr;
}
