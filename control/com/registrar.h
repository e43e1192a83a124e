#ifndef VEXA_CONTROL_COM_REGISTRAR_H_
#define VEXA_CONTROL_COM_REGISTRAR_H_

#include <windows.h>

#include <string>
#include <vector>

#include "control/origin_registry.h"

namespace vexa::com {

// Applies the DLL's two registry scripts (module, then class) with the
// module path, AppID and misc status put in, and registers the embedded type
// library; or undoes both. With `per_user` every HKCR root becomes
// HKCU\Software\Classes and the type library is registered for the user.
HRESULT RegisterServer(bool per_user);
HRESULT UnregisterServer(bool per_user);

// Adds (or removes) the origins whose pages may script the control, in the
// registry form of control/origin_registry.h. An addition that fails
// part-way is taken back.
HRESULT ApplyOrigins(const OriginCommand& command, bool add);
// The origins registered for the current user and for the machine,
// normalised.
std::vector<std::string> RegisteredOrigins();

}  // namespace vexa::com

#endif  // VEXA_CONTROL_COM_REGISTRAR_H_
