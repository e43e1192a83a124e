#ifndef VEXA_APPS_BRIDGE_REGISTRATION_H_
#define VEXA_APPS_BRIDGE_REGISTRATION_H_

// How pages find the bridge and which of them may script it: a manifest in
// the user's or the machine's configuration folder that carries the control's
// identities and the origins allowed to create and script it.

#include <string>
#include <string_view>
#include <vector>

namespace vexa::bridge {

enum class Scope { kUser, kSystem };

// The scope a registration word asks for: "user" in any case is the current
// user; anything else, "users" included, the machine.
Scope ScopeOf(std::string_view word);

// <config>/vexaupload/bridge/ of the scope's configuration folder; empty when
// there is none.
std::string ManifestFolder(Scope scope);
// The manifest file inside ManifestFolder.
std::string ManifestPath(Scope scope);

struct Registration {
  std::vector<std::string> origins;  // normalised (NormalizeOrigin)
  std::string server_path;           // the bridge program
  std::string url;                   // where pages connect
};

// The manifest's JSON text.
std::string RenderManifest(const Registration& reg);
// Reads the origins of a manifest text; false when it is not one.
bool ParseManifestOrigins(const std::string& text, std::vector<std::string>* origins);

// Writes the scope's manifest, replacing an earlier one; creates the folders
// it needs. False with *error set on failure, leaving no manifest behind.
bool Register(Scope scope, const Registration& reg, std::string* error);
// Removes the scope's manifest; the folders stay. Removing a manifest that is
// not there succeeds.
bool Unregister(Scope scope, std::string* error);

// The origins of the user's and the machine's manifests together.
std::vector<std::string> RegisteredOrigins();

}  // namespace vexa::bridge

#endif  // VEXA_APPS_BRIDGE_REGISTRATION_H_
