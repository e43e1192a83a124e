#ifndef VEXA_ACCOUNT_API_BASE_H_
#define VEXA_ACCOUNT_API_BASE_H_

// Which account API a host logs in to. A successful login remembers its base
// in the data folder, in the file "api_base" (the URL on one line), so later
// commands find the same service without being told again.

#include <string>

namespace vexa {

inline constexpr char kApiBaseFileName[] = "api_base";
inline constexpr char kApiBaseVariable[] = "VEXAUPLOAD_API";

// False when nothing is remembered (or no data folder).
bool ReadRememberedApiBase(std::string* base);
// Replaces the remembered base durably. False for an empty base or one that
// holds a line break, and when it cannot be written.
bool WriteRememberedApiBase(const std::string& base);

// The base a command uses: `option` (its --api) when given, else the
// environment's VEXAUPLOAD_API, else the remembered one; empty when none.
std::string ChooseApiBase(const std::string& option);

}  // namespace vexa

#endif  // VEXA_ACCOUNT_API_BASE_H_
