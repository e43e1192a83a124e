#include "protocol/service_answer.h"

#include <cmath>

#include "codec/json_answer.h"

namespace vexa {

bool ReadServiceAnswer(const std::string& body, ServiceAnswer* answer) {
  if (!ParseJsonAnswer(body, &answer->root)) return false;
  // Every answer of the service is an object; "null" or a bare number is not
  // an answer that says "success".
  if (!JsonIsObject(answer->root)) return false;
  try {
    answer->status = JsonInt(JsonMember(answer->root, "status"));
    answer->statusCode = JsonInt(JsonMember(answer->root, "statuscode"));
    answer->statusMessage = JsonString(JsonMember(answer->root, "statusmsg"));
  } catch (const JsonConversionError&) {
    return false;
  }
  return true;
}

bool AnswerText(const ServiceAnswer& answer, const char* key, std::string* out) {
  try {
    *out = JsonString(JsonMember(answer.root, key));
  } catch (const JsonConversionError&) {
    return false;
  }
  return true;
}

bool AnswerInt64(const ServiceAnswer& answer, const char* key, int64_t* out) {
  double d;
  try {
    d = std::trunc(JsonDouble(JsonMember(answer.root, key)));
  } catch (const JsonConversionError&) {
    return false;
  }
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
