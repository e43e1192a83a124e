#include "codec/json_answer.h"

#include <memory>
#include <string_view>

namespace vexa {

uint64_t JsonU64(const JsonValue& v) {
  const double d = JsonDouble(v);
  if (!(d > 0.0)) return 0;
  if (d >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<uint64_t>(d);
}

#if !VEXA_JSON_NLOHMANN

bool ParseJsonAnswer(const std::string& body, Json::Value* root) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  // The reader throws, rather than failing, on nesting deeper than its limit.
  try {
    return reader->parse(body.data(), body.data() + body.size(), root, &errors);
  } catch (const std::exception&) {
    return false;
  }
}

bool ParseJsonRequest(const std::string& text, Json::Value* root) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    return reader->parse(text.data(), text.data() + text.size(), root, &errors);
  } catch (const std::exception&) {
    return false;
  }
}

const Json::Value& JsonMember(const Json::Value& object, const char* key) {
  static const Json::Value kNull;
  if (object.isNull()) return kNull;
  if (!object.isObject()) throw JsonConversionError();
  const Json::Value* v = object.find(key, key + std::char_traits<char>::length(key));
  return v == nullptr ? kNull : *v;
}

std::string JsonString(const Json::Value& v) {
  if (v.isNull()) return std::string();
  if (v.isString()) return v.asString();
  if (v.isBool()) return v.asBool() ? "true" : "false";
  throw JsonConversionError();
}

double JsonDouble(const Json::Value& v) {
  if (v.isNull()) return 0.0;
  if (v.isBool()) return v.asBool() ? 1.0 : 0.0;
  if (v.isNumeric()) return v.asDouble();
  throw JsonConversionError();
}

int32_t JsonInt(const Json::Value& v) {
  if (v.isNull()) return 0;
  if (v.isBool()) return v.asBool() ? 1 : 0;
  if (v.isNumeric()) {
    if (!v.isConvertibleTo(Json::intValue)) throw JsonConversionError();
    return v.asInt();
  }
  throw JsonConversionError();
}

bool JsonBool(const Json::Value& v) {
  if (v.isNull()) return false;
  if (v.isBool()) return v.asBool();
  if (v.isNumeric()) return v.asDouble() != 0.0;
  throw JsonConversionError();
}

bool JsonIsObject(const Json::Value& v) { return v.isObject(); }

JsonKind JsonKindOf(const Json::Value& v) {
  switch (v.type()) {
    case Json::nullValue:
      return JsonKind::kNull;
    case Json::booleanValue:
      return JsonKind::kBool;
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue:
      return JsonKind::kNumber;
    case Json::stringValue:
      return JsonKind::kString;
    case Json::arrayValue:
      return JsonKind::kArray;
    case Json::objectValue:
      return JsonKind::kObject;
  }
  return JsonKind::kNull;
}

bool JsonHasMember(const Json::Value& object, const char* key) {
  return object.isObject() && object.isMember(key);
}

bool JsonWholeNumber(const Json::Value& v, std::string* decimal) {
  if (!v.isIntegral()) return false;
  *decimal = v.isUInt64() ? std::to_string(v.asUInt64()) : std::to_string(v.asInt64());
  return true;
}

size_t JsonArraySize(const Json::Value& v) { return v.isArray() ? v.size() : 0; }

const Json::Value& JsonElement(const Json::Value& array, size_t i) {
  static const Json::Value kNull;
  return i < JsonArraySize(array) ? array[static_cast<Json::ArrayIndex>(i)] : kNull;
}

std::vector<std::string> JsonStringList(const Json::Value& v) {
  std::vector<std::string> out;
  if (v.isNull()) return out;
  if (!v.isArray()) throw JsonConversionError();
  for (Json::ArrayIndex i = 0; i < v.size(); ++i) out.push_back(JsonString(v[i]));
  return out;
}

#endif  // !VEXA_JSON_NLOHMANN

}  // namespace vexa
