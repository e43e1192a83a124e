#include "apps/bridge/registration.h"

#include <json/json.h>

#include <algorithm>
#include <memory>

#include "apps/bridge/origin_policy.h"
#include "apps/bridge/type_library.h"
#include "codec/text.h"
#include "control/method_table.h"
#include "port/file.h"
#include "port/last_error.h"
#include "port/program_paths.h"

namespace vexa::bridge {

namespace {

constexpr char kManifestName[] = "upload_plugin_ie.Upload.json";

std::string WriteJson(const Json::Value& value) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "  ";
  return Json::writeString(w, value) + "\n";
}

}  // namespace

Scope ScopeOf(std::string_view word) {
  return ToLower(word) == "user" ? Scope::kUser : Scope::kSystem;
}

std::string ManifestFolder(Scope scope) {
  const std::string base =
      scope == Scope::kUser ? port::UserConfigFolder() : port::SystemConfigFolder();
  if (base.empty()) return std::string();
  return base + "vexaupload" + port::kPathSeparator + "bridge" + port::kPathSeparator;
}

std::string ManifestPath(Scope scope) {
  const std::string folder = ManifestFolder(scope);
  return folder.empty() ? std::string() : folder + kManifestName;
}

std::string RenderManifest(const Registration& reg) {
  Json::Value m;
  m["progid"] = kProgId;
  m["version_independent_progid"] = kVersionIndependentProgId;
  m["version"] = kClassVersion;
  m["class"] = IdentityJson(kUploadClass);
  m["interface"] = IdentityJson(kUploadInterface);
  m["events"] = IdentityJson(kEventInterface);
  Json::Value lib = IdentityJson(kTypeLibrary);
  lib["version"] = std::to_string(kTypeLibraryMajor) + "." + std::to_string(kTypeLibraryMinor);
  lib["locale"] = kTypeLibraryLocale;
  m["typelib"] = lib;
  m["appid"] = IdentityJson(kAppId);
  m["module"] = kModuleName;
  m["threading_model"] = "Apartment";
  m["misc_status"] = kOleMiscStatus;
  m["server"] = reg.server_path;
  m["url"] = reg.url;
  Json::Value origins(Json::arrayValue);
  for (const std::string& o : reg.origins) origins.append(o);
  m["origins"] = origins;
  return WriteJson(m);
}

bool ParseManifestOrigins(const std::string& text, std::vector<std::string>* origins) {
  Json::CharReaderBuilder b;
  Json::Value root;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors) || !root.isObject())
    return false;
  const Json::Value& list = root["origins"];
  if (!list.isArray()) return false;
  for (const Json::Value& o : list) {
    if (!o.isString()) continue;
    std::string n = NormalizeOrigin(o.asString());
    if (!n.empty()) origins->push_back(std::move(n));
  }
  return true;
}

bool Register(Scope scope, const Registration& reg, std::string* error) {
  const std::string folder = ManifestFolder(scope);
  if (folder.empty()) {
    *error = "no configuration folder (set HOME or XDG_CONFIG_HOME)";
    return false;
  }
  if (!port::CreateDirectories(folder, 0755)) {
    *error = "cannot create " + folder + " (error " + std::to_string(port::LastError()) + ")";
    return false;
  }
  // Readable by every user: the pages of any of them use a machine-wide one.
  if (!port::WriteFileReplacing(folder + kManifestName, RenderManifest(reg), 0644)) {
    *error = "cannot write " + folder + kManifestName + " (error " +
             std::to_string(port::LastError()) + ")";
    return false;
  }
  return true;
}

bool Unregister(Scope scope, std::string* error) {
  const std::string path = ManifestPath(scope);
  if (path.empty() || !port::PathExists(path)) return true;
  if (!port::RemoveFile(path)) {
    *error = "cannot remove " + path + " (error " + std::to_string(port::LastError()) + ")";
    return false;
  }
  return true;
}

std::vector<std::string> RegisteredOrigins() {
  std::vector<std::string> origins;
  for (Scope scope : {Scope::kUser, Scope::kSystem}) {
    std::string text;
    const std::string path = ManifestPath(scope);
    if (!path.empty() && port::ReadWholeFile(path, &text)) ParseManifestOrigins(text, &origins);
  }
  std::sort(origins.begin(), origins.end());
  origins.erase(std::unique(origins.begin(), origins.end()), origins.end());
  return origins;
}

}  // namespace vexa::bridge
