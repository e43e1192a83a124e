#ifndef VEXA_CONTROL_COM_COM_MODULE_H_
#define VEXA_CONTROL_COM_COM_MODULE_H_

// What the DLL's objects share: the module handle, the count of live objects
// and server locks (with the engine's threads, what DllCanUnloadNow asks),
// and the DLL's own type library.

#include <windows.h>
#include <oaidl.h>

namespace vexa::com {

HMODULE Module();
void SetModule(HMODULE module);

void AddObject();
void ReleaseObject();
void LockServer(bool lock);
bool CanUnload();

// The type information of `guid` in the type library embedded in this DLL
// (loaded once, without registering it). Adds a reference for the caller.
HRESULT TypeInfoOf(REFGUID guid, ITypeInfo** info);

}  // namespace vexa::com

#endif  // VEXA_CONTROL_COM_COM_MODULE_H_
