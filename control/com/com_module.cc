#include "control/com/com_module.h"

#include <mutex>
#include <string>

#include "port/thread.h"
#include "port/win32/wide_path.h"

namespace vexa::com {
namespace {

HMODULE g_module = nullptr;
LONG g_objects = 0;
LONG g_locks = 0;

std::mutex g_typelib_mu;
ITypeLib* g_typelib = nullptr;  // kept for the life of the process

}  // namespace

HMODULE Module() { return g_module; }
void SetModule(HMODULE module) { g_module = module; }

void AddObject() { ::InterlockedIncrement(&g_objects); }
void ReleaseObject() { ::InterlockedDecrement(&g_objects); }
void LockServer(bool lock) {
  if (lock) {
    ::InterlockedIncrement(&g_locks);
  } else {
    ::InterlockedDecrement(&g_locks);
  }
}
// The engine's threads (scheduler, transfer, login, resume writer) run this
// module's code after the last object is gone, until they see the logout.
bool CanUnload() { return g_objects == 0 && g_locks == 0 && port::RunningDetachedThreads() == 0; }

HRESULT TypeInfoOf(REFGUID guid, ITypeInfo** info) {
  *info = nullptr;
  std::lock_guard<std::mutex> l(g_typelib_mu);
  if (g_typelib == nullptr) {
    std::wstring path;
    if (!port::ModuleFileName(g_module, &path))
      return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    const HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, &g_typelib);
    if (FAILED(hr)) return hr;
  }
  return g_typelib->GetTypeInfoOfGuid(guid, info);
}

}  // namespace vexa::com
