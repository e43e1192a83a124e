#ifndef VEXA_CONTROL_ORIGIN_REGISTRY_H_
#define VEXA_CONTROL_ORIGIN_REGISTRY_H_

// The registry form of the origins whose pages may script the COM control
// (the bridge keeps the same list in its manifest): one string value per
// origin, named by the normalised origin, under OriginsKey() of the current
// user's hive or of the machine's. Written by the DLL's DllInstall, read by
// the control when a page hosts it.

#include <string>
#include <string_view>
#include <vector>

#include "control/registry_script.h"

namespace vexa {

// "HKCU\Software\vexaupload\control\Origins" or its HKLM twin.
std::string OriginsKey(bool per_user);

// A DllInstall command line that names origins.
struct OriginCommand {
  bool per_user = false;             // "user" (any case) among the words
  std::vector<std::string> origins;  // normalised, in order, without repeats
};

enum class OriginCommandResult {
  kNotOrigins,  // no "origin=" word: the command line keeps its registration meaning
  kOk,
  kInvalid,  // *error says why
};

// Reads a command line such as "user origin=https://a.example
// origin=http://127.0.0.1:8080": words apart by spaces; "user" for the
// current user (else the machine); "force" to take plain http origins of
// other hosts, which anyone on the network path can rewrite and are refused
// without it. Any other word, or an origin that is none, is invalid.
OriginCommandResult ParseOriginCommand(std::string_view command_line, OriginCommand* command,
                                       std::string* error);

// Adds the command's origins to its scope's key, or with `add` false removes
// them (the key stays). False when the editor failed.
bool ApplyOriginCommand(const OriginCommand& command, bool add, RegistryEditor* editor);

}  // namespace vexa

#endif  // VEXA_CONTROL_ORIGIN_REGISTRY_H_
