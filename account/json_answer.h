#ifndef VEXA_ACCOUNT_JSON_ANSWER_H_
#define VEXA_ACCOUNT_JSON_ANSWER_H_

#include <json/json.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vexa {

// Reads `body` as one JSON document. False when it is not one, including
// nesting deeper than the reader allows (which it reports by throwing).
bool ParseJsonAnswer(const std::string& body, Json::Value* root);

// Raised by the readers below for a value of a type they cannot convert; the
// caller catches it where the answer is read and counts the answer as failed.
struct JsonConversionError : std::runtime_error {
  JsonConversionError() : std::runtime_error("answer: unexpected value type") {}
};

// The member `key` of `object`, or null when missing. A null `object` has no
// members; any other non-object raises JsonConversionError.
const Json::Value& JsonMember(const Json::Value& object, const char* key);

// Missing (null) values read as empty or zero. Booleans read as "true"/"false"
// or 1/0; numbers as booleans when not zero; strings are never numbers.
std::string JsonString(const Json::Value& v);
double JsonDouble(const Json::Value& v);
int32_t JsonInt(const Json::Value& v);
bool JsonBool(const Json::Value& v);
// A number truncated toward zero, kept within the unsigned 64-bit range.
uint64_t JsonU64(const Json::Value& v);

}  // namespace vexa

#endif  // VEXA_ACCOUNT_JSON_ANSWER_H_
