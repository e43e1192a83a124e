#ifndef VEXA_APPS_BRIDGE_ORIGIN_POLICY_H_
#define VEXA_APPS_BRIDGE_ORIGIN_POLICY_H_

// The bridge's form of scripting safety: only pages of a registered origin
// (control/script_origin.h) may create the control, and only once the control
// has agreed to be scripted by untrusted callers with untrusted data, as an
// embedding browser asks.

#include "control/method_table.h"
#include "control/script_origin.h"

namespace vexa::bridge {

// Asks a new control's safety options for what a page's script needs, both
// untrusted caller and untrusted data, as an embedding browser does before
// the first call. False when the control does not grant them.
bool GrantScripting(ObjectSafety* safety);

}  // namespace vexa::bridge

#endif  // VEXA_APPS_BRIDGE_ORIGIN_POLICY_H_
