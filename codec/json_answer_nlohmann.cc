// The answer reader of the Windows build, with the rules of the jsoncpp one.
#include "codec/json_answer.h"

#if VEXA_JSON_NLOHMANN

#include <cmath>
#include <limits>

namespace vexa {
namespace {

constexpr size_t kMaxDepth = 1000;  // as jsoncpp's default stack limit

// Builds the document from the parser's events, refusing values nested deeper
// than kMaxDepth; duplicate members keep the last value, or fail the parse
// when `unique_keys` is set.
class DomBuilder : public nlohmann::json_sax<JsonValue> {
 public:
  explicit DomBuilder(JsonValue* root, bool unique_keys = false)
      : root_(root), unique_keys_(unique_keys) {}

  bool null() override { return Add(JsonValue()); }
  bool boolean(bool v) override { return Add(JsonValue(v)); }
  bool number_integer(number_integer_t v) override { return Add(JsonValue(v)); }
  bool number_unsigned(number_unsigned_t v) override { return Add(JsonValue(v)); }
  bool number_float(number_float_t v, const string_t&) override { return Add(JsonValue(v)); }
  bool string(string_t& v) override { return Add(JsonValue(std::move(v))); }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override { return Open(JsonValue::object()); }
  bool key(string_t& k) override {
    if (unique_keys_ && stack_.back()->contains(k)) return false;
    key_ = std::move(k);
    return true;
  }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(JsonValue::array()); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  // Places `v` in the open container (or as the root); null when too deep.
  JsonValue* Place(JsonValue v) {
    if (stack_.size() >= kMaxDepth) return nullptr;
    if (stack_.empty()) {
      *root_ = std::move(v);
      return root_;
    }
    JsonValue& parent = *stack_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(v));
      return &parent.back();
    }
    JsonValue& slot = parent[key_];
    slot = std::move(v);
    return &slot;
  }
  bool Add(JsonValue v) { return Place(std::move(v)) != nullptr; }
  bool Open(JsonValue v) {
    JsonValue* placed = Place(std::move(v));
    if (placed == nullptr) return false;
    stack_.push_back(placed);
    return true;
  }
  bool Close() {
    stack_.pop_back();
    return true;
  }

  JsonValue* root_;
  const bool unique_keys_;
  std::vector<JsonValue*> stack_;
  string_t key_;
};

}  // namespace

bool ParseJsonAnswer(const std::string& body, JsonValue* root) {
  *root = JsonValue();
  DomBuilder builder(root);
  try {
    // Not strict: what follows the first value is ignored, as jsoncpp does.
    return JsonValue::sax_parse(body, &builder, JsonValue::input_format_t::json, false, true);
  } catch (const std::exception&) {
    return false;
  }
}

bool ParseJsonRequest(const std::string& text, JsonValue* root) {
  *root = JsonValue();
  DomBuilder builder(root, true);
  try {
    return JsonValue::sax_parse(text, &builder, JsonValue::input_format_t::json, true, true);
  } catch (const std::exception&) {
    return false;
  }
}

const JsonValue& JsonMember(const JsonValue& object, const char* key) {
  static const JsonValue kNull;
  if (object.is_null()) return kNull;
  if (!object.is_object()) throw JsonConversionError();
  auto it = object.find(key);
  return it == object.end() ? kNull : *it;
}

std::string JsonString(const JsonValue& v) {
  if (v.is_null()) return std::string();
  if (v.is_string()) return v.get_ref<const std::string&>();
  if (v.is_boolean()) return v.get<bool>() ? "true" : "false";
  throw JsonConversionError();
}

double JsonDouble(const JsonValue& v) {
  if (v.is_null()) return 0.0;
  if (v.is_boolean()) return v.get<bool>() ? 1.0 : 0.0;
  if (v.is_number()) return v.get<double>();
  throw JsonConversionError();
}

int32_t JsonInt(const JsonValue& v) {
  if (v.is_null()) return 0;
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  if (v.is_number_unsigned()) {
    const uint64_t u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(kMax)) throw JsonConversionError();
    return static_cast<int32_t>(u);
  }
  if (v.is_number_integer()) {
    const int64_t i = v.get<int64_t>();
    if (i < kMin || i > kMax) throw JsonConversionError();
    return static_cast<int32_t>(i);
  }
  if (v.is_number_float()) {
    // A number within range converts, truncated toward zero, as jsoncpp's isConvertibleTo.
    const double d = v.get<double>();
    if (!(d >= kMin && d <= kMax)) throw JsonConversionError();
    return static_cast<int32_t>(d);
  }
  throw JsonConversionError();
}

bool JsonBool(const JsonValue& v) {
  if (v.is_null()) return false;
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number()) return v.get<double>() != 0.0;
  throw JsonConversionError();
}

bool JsonIsObject(const JsonValue& v) { return v.is_object(); }

JsonKind JsonKindOf(const JsonValue& v) {
  if (v.is_boolean()) return JsonKind::kBool;
  if (v.is_number()) return JsonKind::kNumber;
  if (v.is_string()) return JsonKind::kString;
  if (v.is_array()) return JsonKind::kArray;
  if (v.is_object()) return JsonKind::kObject;
  return JsonKind::kNull;
}

bool JsonHasMember(const JsonValue& object, const char* key) {
  return object.is_object() && object.contains(key);
}

bool JsonWholeNumber(const JsonValue& v, std::string* decimal) {
  if (v.is_number_unsigned()) {
    *decimal = std::to_string(v.get<uint64_t>());
    return true;
  }
  if (v.is_number_integer()) {
    *decimal = std::to_string(v.get<int64_t>());
    return true;
  }
  if (!v.is_number_float()) return false;
  // As jsoncpp's isIntegral: 2^64 itself is out, as is anything below -2^63.
  const double d = v.get<double>();
  if (!(d >= -9223372036854775808.0 && d < 18446744073709551616.0) || d != std::trunc(d))
    return false;
  *decimal =
      d >= 0 ? std::to_string(static_cast<uint64_t>(d)) : std::to_string(static_cast<int64_t>(d));
  return true;
}

size_t JsonArraySize(const JsonValue& v) { return v.is_array() ? v.size() : 0; }

const JsonValue& JsonElement(const JsonValue& array, size_t i) {
  static const JsonValue kNull;
  return i < JsonArraySize(array) ? array[i] : kNull;
}

std::vector<std::string> JsonStringList(const JsonValue& v) {
  std::vector<std::string> out;
  if (v.is_null()) return out;
  if (!v.is_array()) throw JsonConversionError();
  for (const JsonValue& e : v) out.push_back(JsonString(e));
  return out;
}

}  // namespace vexa

#endif  // VEXA_JSON_NLOHMANN
