#ifndef VEXA_PROTOCOL_SERVICE_ANSWER_H_
#define VEXA_PROTOCOL_SERVICE_ANSWER_H_

#include <cstdint>
#include <string>

#include "codec/json_answer.h"

namespace vexa {

// What every answer of the upload service carries, and its other members.
// A missing member reads as 0 or empty text. A member of a type that cannot
// be converted (a number, array or object where text is read; text, array or
// object where a number is read) makes the answer unreadable, as does a body
// that is not one JSON object.
struct ServiceAnswer {
  int32_t status = 0;
  int32_t statusCode = 0;     // 0: success; any other value is a refusal
  std::string statusMessage;  // UTF-8
  JsonValue root;
};

// False when `body` is not a readable answer (`*answer` is then unspecified).
bool ReadServiceAnswer(const std::string& body, ServiceAnswer* answer);

// Typed reads of members of a read answer; false for a wrong type.
bool AnswerText(const ServiceAnswer& answer, const char* key, std::string* out);
// A number truncated toward zero, kept within the signed 64-bit range.
bool AnswerInt64(const ServiceAnswer& answer, const char* key, int64_t* out);

}  // namespace vexa

#endif  // VEXA_PROTOCOL_SERVICE_ANSWER_H_
