#ifndef VEXA_CONTROL_COM_REGISTRAR_H_
#define VEXA_CONTROL_COM_REGISTRAR_H_

#include <windows.h>

namespace vexa::com {

// Applies the DLL's two registry scripts (module, then class) with the
// module path, AppID and misc status put in, and registers the embedded type
// library; or undoes both. With `per_user` every HKCR root becomes
// HKCU\Software\Classes and the type library is registered for the user.
HRESULT RegisterServer(bool per_user);
HRESULT UnregisterServer(bool per_user);

}  // namespace vexa::com

#endif  // VEXA_CONTROL_COM_REGISTRAR_H_
