#include "apps/bridge/origin_policy.h"

namespace vexa::bridge {

bool GrantScripting(ObjectSafety* safety) {
  if (safety->SetOptions(true, kSupportedSafety, kSupportedSafety) != kResultOk) return false;
  uint32_t supported = 0, enabled = 0;
  return safety->GetOptions(true, &supported, &enabled) == kResultOk && enabled == kSupportedSafety;
}

}  // namespace vexa::bridge
