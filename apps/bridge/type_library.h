#ifndef VEXA_APPS_BRIDGE_TYPE_LIBRARY_H_
#define VEXA_APPS_BRIDGE_TYPE_LIBRARY_H_

// What a script host reads from the control's type library, as JSON: the
// library, the coclass, the two interfaces, the methods and the events, all
// taken from the control's method table.

#include <json/json.h>

#include <string>

#include "control/method_table.h"

namespace vexa::bridge {

std::string TypeLibraryJson();

// One identity as the type description and the registration manifest write
// it: {"name", "uuid", "helpstring"}.
Json::Value IdentityJson(const Identity& id);

}  // namespace vexa::bridge

#endif  // VEXA_APPS_BRIDGE_TYPE_LIBRARY_H_
