#ifndef VEXA_CONTROL_REGISTRY_SCRIPT_H_
#define VEXA_CONTROL_REGISTRY_SCRIPT_H_

// The registrar of the COM control: reads a registry script (the text format
// of the control's two .rgs resources) and registers or unregisters what it
// describes through a RegistryEditor. Portable, so that the rules are tested
// without a registry; the Windows editor lives beside the COM class.
//
// Script grammar:
//   script := root*            root := ROOTNAME '{' key* '}'
//   key    := [NoRemove | ForceRemove | Delete] NAME ['=' 's' STRING] ['{' entry* '}']
//   entry  := key | 'val' NAME '=' 's' STRING
// NAME is bare (letters, digits, "_.-{}") or quoted like STRING ('...', with ''
// for a quote). "%NAME%" in names and strings is replaced by the value given
// for NAME ("%%" is one "%"); an unknown name is a parse error.

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vexa {

// Key paths are joined with "\": "HKCR\CLSID\{...}". The first part is the
// root as the script names it (HKCR, HKCU, HKLM, ...), or as rewritten by
// Apply's per-user switch ("HKCU\Software\Classes").
class RegistryEditor {
 public:
  virtual ~RegistryEditor() = default;
  virtual bool CreateKey(const std::string& path) = 0;
  // The key's default value when `name` is empty.
  virtual bool SetString(const std::string& path, const std::string& name,
                         const std::string& value) = 0;
  virtual bool DeleteValue(const std::string& path, const std::string& name) = 0;
  // Removes the key and everything below it; true when it is gone (or was never there).
  virtual bool DeleteTree(const std::string& path) = 0;
  // Removes the key only when it has no subkeys left; true when it is gone or kept for that reason.
  virtual bool DeleteKeyIfLeaf(const std::string& path) = 0;
};

struct RegistryKey {
  enum class Mode { kNormal, kNoRemove, kForceRemove, kDelete };
  Mode mode = Mode::kNormal;
  std::string name;
  bool has_default = false;
  std::string default_value;
  std::vector<std::pair<std::string, std::string>> values;  // "val" entries, in script order
  std::vector<RegistryKey> children;
};

// Parses `text` with the replacements applied. False (with a message in
// `*error`) on a syntax error or an unknown replacement.
bool ParseRegistryScript(const std::string& text,
                         const std::map<std::string, std::string>& replacements,
                         std::vector<RegistryKey>* roots, std::string* error);

// Registers (creates every key and value) or unregisters (removes what the
// script added: NoRemove keys stay, ForceRemove keys go whole, other keys go
// when nothing is left below them). With `per_user`, the root HKCR becomes
// HKCU\Software\Classes. Registration stops at the first failure and returns
// false; unregistration goes on and returns whether every step succeeded.
bool ApplyRegistryScript(const std::vector<RegistryKey>& roots, bool do_register, bool per_user,
                         RegistryEditor* editor);

}  // namespace vexa

#endif  // VEXA_CONTROL_REGISTRY_SCRIPT_H_
