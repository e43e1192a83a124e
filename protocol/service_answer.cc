#include "protocol/service_answer.h"

#include <cmath>
#include <exception>
#include <memory>

namespace vexa {
namespace {

const Json::Value& Member(const Json::Value& root, const char* key) {
  static const Json::Value kNull;
  const Json::Value* v = root.find(key, key + std::char_traits<char>::length(key));
  return v == nullptr ? kNull : *v;
}

bool ReadText(const Json::Value& v, std::string* out) {
  if (v.isNull()) {
    out->clear();
  } else if (v.isString()) {
    *out = v.asString();
  } else if (v.isBool()) {
    *out = v.asBool() ? "true" : "false";
  } else {
    return false;
  }
  return true;
}

bool ReadDouble(const Json::Value& v, double* out) {
  if (v.isNull()) {
    *out = 0.0;
  } else if (v.isBool()) {
    *out = v.asBool() ? 1.0 : 0.0;
  } else if (v.isNumeric()) {
    *out = v.asDouble();
  } else {
    return false;
  }
  return true;
}

bool ReadInt32(const Json::Value& v, int32_t* out) {
  if (!(v.isNull() || v.isBool() || v.isNumeric()) || !v.isConvertibleTo(Json::intValue)) return false;
  *out = v.asInt();  // a fraction is truncated
  return true;
}

}  // namespace

bool ReadServiceAnswer(const std::string& body, ServiceAnswer* answer) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  // The reader throws, rather than failing, on nesting deeper than its limit.
  try {
    if (!reader->parse(body.data(), body.data() + body.size(), &answer->root, &errors)) return false;
  } catch (const std::exception&) {
    return false;
  }
  // Every answer of the service is an object; "null" or a bare number is not
  // an answer that says "success".
  if (!answer->root.isObject()) return false;
  return ReadInt32(Member(answer->root, "status"), &answer->status) &&
         ReadInt32(Member(answer->root, "statuscode"), &answer->statusCode) &&
         ReadText(Member(answer->root, "statusmsg"), &answer->statusMessage);
}

bool AnswerText(const ServiceAnswer& answer, const char* key, std::string* out) {
  return ReadText(Member(answer.root, key), out);
}

bool AnswerInt64(const ServiceAnswer& answer, const char* key, int64_t* out) {
  double d;
  if (!ReadDouble(Member(answer.root, key), &d)) return false;
  d = std::trunc(d);
  if (d >= 9223372036854775807.0) {
    *out = INT64_MAX;
  } else if (d <= -9223372036854775807.0) {
    *out = INT64_MIN;
  } else {
    *out = static_cast<int64_t>(d);
  }
  return true;
}

}  // namespace vexa
