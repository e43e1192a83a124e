#ifndef VEXA_CODEC_JSON_ANSWER_H_
#define VEXA_CODEC_JSON_ANSWER_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// The one place that names the JSON library: jsoncpp on Linux, the header-only nlohmann json in
// the Windows build (which has no jsoncpp). Both read by the same rules, tested in
// json_answer_test.cc: comments allowed, text after the first value ignored, at most 1000 levels
// of nesting, the last of duplicate members wins.
#if VEXA_JSON_NLOHMANN
#include <nlohmann/json.hpp>
namespace vexa {
using JsonValue = nlohmann::json;
}  // namespace vexa
#else
#include <json/json.h>
namespace vexa {
using JsonValue = Json::Value;
}  // namespace vexa
#endif

namespace vexa {

// Reads `body` as one JSON document. False when it is not one, including
// nesting deeper than the reader allows (which it reports by throwing).
bool ParseJsonAnswer(const std::string& body, JsonValue* root);
// Reads `text` as one JSON request strictly: besides what ParseJsonAnswer
// refuses, a member named twice (which would let a checker and a user of the
// request see different values) and text after the value.
bool ParseJsonRequest(const std::string& text, JsonValue* root);

// Raised by the readers below for a value of a type they cannot convert; the
// caller catches it where the answer is read and counts the answer as failed.
struct JsonConversionError : std::runtime_error {
  JsonConversionError() : std::runtime_error("answer: unexpected value type") {}
};

// The member `key` of `object`, or null when missing. A null `object` has no
// members; any other non-object raises JsonConversionError.
const JsonValue& JsonMember(const JsonValue& object, const char* key);

// Missing (null) values read as empty or zero. Booleans read as "true"/"false"
// or 1/0; numbers as booleans when not zero; strings are never numbers.
std::string JsonString(const JsonValue& v);
double JsonDouble(const JsonValue& v);
int32_t JsonInt(const JsonValue& v);
bool JsonBool(const JsonValue& v);
// A number truncated toward zero, kept within the unsigned 64-bit range.
uint64_t JsonU64(const JsonValue& v);

bool JsonIsObject(const JsonValue& v);

// For readers that check types exactly instead of converting (the script
// dispatcher): what a value is, and whether an object has a member at all
// (a member that is null included).
enum class JsonKind { kNull, kBool, kNumber, kString, kArray, kObject };
JsonKind JsonKindOf(const JsonValue& v);
bool JsonHasMember(const JsonValue& object, const char* key);
// Whether `v` is a number without a fraction within the signed or unsigned
// 64-bit range (3.0 counts); *decimal receives it, exactly.
bool JsonWholeNumber(const JsonValue& v, std::string* decimal);
// The elements of an array; any other value has none. An element beyond the
// end reads as null.
size_t JsonArraySize(const JsonValue& v);
const JsonValue& JsonElement(const JsonValue& array, size_t i);
// The texts of an array (each read as JsonString); null reads as none, any
// other non-array raises JsonConversionError.
std::vector<std::string> JsonStringList(const JsonValue& v);

}  // namespace vexa

#endif  // VEXA_CODEC_JSON_ANSWER_H_
