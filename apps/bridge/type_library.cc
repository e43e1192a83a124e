#include "apps/bridge/type_library.h"

#include <json/json.h>

#include "control/method_table.h"

namespace vexa::bridge {

namespace {

const char* TypeName(ParamType type) {
  switch (type) {
    case ParamType::kShort:
      return "I2";
    case ParamType::kByte:
      return "UI1";
    case ParamType::kString:
      return "BSTR";
  }
  return "";
}

Json::Value Directions(ParamDirection direction) {
  Json::Value v(Json::arrayValue);
  if (direction == ParamDirection::kIn) v.append("in");
  if (direction == ParamDirection::kOutRetval) {
    v.append("out");
    v.append("retval");
  }
  return v;
}

}  // namespace

Json::Value IdentityJson(const Identity& id) {
  Json::Value v;
  v["name"] = id.name;
  v["uuid"] = id.guid;
  v["helpstring"] = id.helpText;
  return v;
}

std::string TypeLibraryJson() {
  Json::Value lib = IdentityJson(kTypeLibrary);
  lib["version"] = std::to_string(kTypeLibraryMajor) + "." + std::to_string(kTypeLibraryMinor);
  lib["lcid"] = kTypeLibraryLocale;

  Json::Value methods(Json::arrayValue);
  for (const MethodInfo& m : Methods()) {
    Json::Value method;
    method["dispid"] = m.dispid;
    method["name"] = m.name;
    method["helpstring"] = HelpText(m.name);
    Json::Value params(Json::arrayValue);
    for (const ParamInfo& p : m.params) {
      Json::Value param;
      param["name"] = p.name;
      param["type"] = p.direction == ParamDirection::kOutRetval
                          ? std::string(TypeName(p.type)) + "*"
                          : TypeName(p.type);
      param["direction"] = Directions(p.direction);
      params.append(param);
    }
    method["params"] = params;
    methods.append(method);
  }
  Json::Value upload = IdentityJson(kUploadInterface);
  upload["kind"] = "interface";
  upload["flags"] = Json::Value(Json::arrayValue);
  for (const char* f : {"dual", "nonextensible", "oleautomation"}) upload["flags"].append(f);
  upload["methods"] = methods;

  Json::Value events(Json::arrayValue);
  for (const EventInfo& e : Events()) {
    Json::Value event;
    event["dispid"] = e.dispid;
    event["name"] = e.name;
    event["helpstring"] = HelpText(e.name);
    Json::Value param;
    param["name"] = e.paramName;
    param["type"] = "BSTR";
    param["direction"] = Directions(ParamDirection::kIn);
    event["params"].append(param);
    events.append(event);
  }
  Json::Value source = IdentityJson(kEventInterface);
  source["kind"] = "dispinterface";
  source["methods"] = events;

  Json::Value coclass = IdentityJson(kUploadClass);
  coclass["flags"] = Json::Value(Json::arrayValue);
  coclass["flags"].append("control");
  coclass["interfaces"].append(Json::Value(Json::objectValue));
  coclass["interfaces"][0]["name"] = kUploadInterface.name;
  coclass["interfaces"][0]["flags"].append("default");
  coclass["interfaces"].append(Json::Value(Json::objectValue));
  coclass["interfaces"][1]["name"] = kEventInterface.name;
  coclass["interfaces"][1]["flags"].append("default");
  coclass["interfaces"][1]["flags"].append("source");

  lib["interfaces"].append(upload);
  lib["interfaces"].append(source);
  lib["coclass"] = coclass;

  Json::StreamWriterBuilder w;
  w["indentation"] = "  ";
  return Json::writeString(w, lib) + "\n";
}

}  // namespace vexa::bridge
