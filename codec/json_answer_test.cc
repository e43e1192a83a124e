#include "codec/json_answer.h"

#include <string>

#include "gtest/gtest.h"

namespace vexa {
namespace {

JsonValue Parse(const std::string& text) {
  JsonValue root;
  EXPECT_TRUE(ParseJsonAnswer(text, &root)) << text;
  return root;
}

std::string Nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// The rules both builds' readers share (jsoncpp on Linux, nlohmann json on Windows).
TEST(JsonAnswerTest, DocumentRules) {
  JsonValue root;
  EXPECT_FALSE(ParseJsonAnswer("", &root));
  EXPECT_FALSE(ParseJsonAnswer("{\"a\":", &root));
  EXPECT_FALSE(ParseJsonAnswer("{'a':1}", &root));

  EXPECT_EQ(1, JsonInt(JsonMember(Parse("/* lead */ {\"a\": 1 // note\n}"), "a")));
  // Text after the first value is not read.
  EXPECT_EQ(2, JsonInt(JsonMember(Parse("{\"a\":2} trailing {"), "a")));
  EXPECT_EQ(4, JsonInt(JsonMember(Parse("{\"a\":3,\"a\":4}"), "a")));
  EXPECT_EQ("\xE4\xB8\xAD\xF0\x9F\x98\x80",
            JsonString(JsonMember(Parse("{\"s\":\"\\u4e2d\\ud83d\\ude00\"}"), "s")));

  EXPECT_TRUE(ParseJsonAnswer(Nested(1000), &root));
  EXPECT_FALSE(ParseJsonAnswer(Nested(1001), &root));
  EXPECT_FALSE(ParseJsonAnswer(Nested(100000), &root));
}

// Requests (what a page sends) are read strictly, by both builds' readers.
TEST(JsonAnswerTest, RequestRules) {
  JsonValue root;
  for (const char* bad : {"{\"a\":3,\"a\":4}", "{\"o\":{\"k\":1,\"k\":1}}", "{\"a\":2} trailing",
                          "{\"a\":2}{}", "", "{\"a\":"}) {
    EXPECT_FALSE(ParseJsonRequest(bad, &root)) << bad;
  }
  ASSERT_TRUE(ParseJsonRequest(" {\"a\":[{\"k\":1},{\"k\":2}],\"b\":{\"k\":3}}\r\n", &root));
  EXPECT_EQ(3, JsonInt(JsonMember(JsonMember(root, "b"), "k")));
  EXPECT_TRUE(ParseJsonRequest(Nested(100), &root));
  EXPECT_FALSE(ParseJsonRequest(Nested(100000), &root));
}

TEST(JsonAnswerTest, MemberConversions) {
  const JsonValue root = Parse(
      "{\"i\":7,\"neg\":-2147483648,\"big\":2147483648,\"whole\":3.0,\"frac\":3.5,\"t\":true,"
      "\"f\":false,\"s\":\"x\",\"n\":null,\"huge\":1e30,\"below\":-5,\"list\":[\"a\",true],"
      "\"bad\":[1],\"o\":{\"k\":\"v\"}}");
  EXPECT_TRUE(JsonIsObject(root));
  EXPECT_FALSE(JsonIsObject(JsonMember(root, "list")));

  EXPECT_EQ(7, JsonInt(JsonMember(root, "i")));
  EXPECT_EQ(INT32_MIN, JsonInt(JsonMember(root, "neg")));
  EXPECT_EQ(3, JsonInt(JsonMember(root, "whole")));
  EXPECT_EQ(1, JsonInt(JsonMember(root, "t")));
  EXPECT_THROW(JsonInt(JsonMember(root, "big")), JsonConversionError);
  EXPECT_EQ(3, JsonInt(JsonMember(root, "frac")));
  EXPECT_THROW(JsonInt(JsonMember(root, "s")), JsonConversionError);

  EXPECT_EQ("x", JsonString(JsonMember(root, "s")));
  EXPECT_EQ("true", JsonString(JsonMember(root, "t")));
  EXPECT_EQ("false", JsonString(JsonMember(root, "f")));
  EXPECT_EQ("", JsonString(JsonMember(root, "missing")));
  EXPECT_EQ("", JsonString(JsonMember(root, "n")));
  EXPECT_THROW(JsonString(JsonMember(root, "i")), JsonConversionError);
  EXPECT_THROW(JsonString(JsonMember(root, "o")), JsonConversionError);

  EXPECT_TRUE(JsonBool(JsonMember(root, "frac")));
  EXPECT_FALSE(JsonBool(JsonMember(root, "missing")));
  EXPECT_THROW(JsonBool(JsonMember(root, "s")), JsonConversionError);
  EXPECT_DOUBLE_EQ(3.5, JsonDouble(JsonMember(root, "frac")));
  EXPECT_EQ(UINT64_MAX, JsonU64(JsonMember(root, "huge")));
  EXPECT_EQ(0u, JsonU64(JsonMember(root, "below")));

  EXPECT_EQ("v", JsonString(JsonMember(JsonMember(root, "o"), "k")));
  // A missing object has no members; a value that is no object cannot have any.
  EXPECT_EQ(0, JsonInt(JsonMember(JsonMember(root, "missing"), "k")));
  EXPECT_THROW(JsonMember(JsonMember(root, "s"), "k"), JsonConversionError);

  EXPECT_EQ((std::vector<std::string>{"a", "true"}), JsonStringList(JsonMember(root, "list")));
  EXPECT_TRUE(JsonStringList(JsonMember(root, "missing")).empty());
  EXPECT_THROW(JsonStringList(JsonMember(root, "bad")), JsonConversionError);
  EXPECT_THROW(JsonStringList(JsonMember(root, "o")), JsonConversionError);
}

// The exact readings a request reader needs, alike in both builds.
TEST(JsonAnswerTest, KindsWholeNumbersAndElements) {
  const JsonValue root = Parse(
      "{\"n\":null,\"t\":false,\"i\":-3,\"s\":\"7\",\"a\":[1,\"x\"],\"o\":{},\"u\":"
      "18446744073709551615,"
      "\"min\":-9223372036854775808,\"whole\":7.0,\"exp\":1e2,\"frac\":1.5,\"over\":"
      "18446744073709551616,"
      "\"under\":-1e19,\"negzero\":-0.0}");
  EXPECT_EQ(JsonKind::kObject, JsonKindOf(root));
  EXPECT_EQ(JsonKind::kNull, JsonKindOf(JsonMember(root, "n")));
  EXPECT_EQ(JsonKind::kBool, JsonKindOf(JsonMember(root, "t")));
  EXPECT_EQ(JsonKind::kNumber, JsonKindOf(JsonMember(root, "i")));
  EXPECT_EQ(JsonKind::kString, JsonKindOf(JsonMember(root, "s")));
  EXPECT_EQ(JsonKind::kArray, JsonKindOf(JsonMember(root, "a")));
  EXPECT_EQ(JsonKind::kObject, JsonKindOf(JsonMember(root, "o")));
  // A null member is there; a missing one, or any member of a non-object, is not.
  EXPECT_TRUE(JsonHasMember(root, "n"));
  EXPECT_FALSE(JsonHasMember(root, "missing"));
  EXPECT_FALSE(JsonHasMember(JsonMember(root, "a"), "0"));

  auto whole = [&root](const char* key) {
    std::string decimal = "untouched";
    return JsonWholeNumber(JsonMember(root, key), &decimal) ? decimal : "no";
  };
  EXPECT_EQ("-3", whole("i"));
  EXPECT_EQ("18446744073709551615", whole("u"));
  EXPECT_EQ("-9223372036854775808", whole("min"));
  EXPECT_EQ("7", whole("whole"));
  EXPECT_EQ("100", whole("exp"));
  EXPECT_EQ("0", whole("negzero"));
  for (const char* key : {"frac", "over", "under", "s", "t", "n", "a"})
    EXPECT_EQ("no", whole(key)) << key;

  const JsonValue& a = JsonMember(root, "a");
  ASSERT_EQ(2u, JsonArraySize(a));
  EXPECT_EQ(1, JsonInt(JsonElement(a, 0)));
  EXPECT_EQ("x", JsonString(JsonElement(a, 1)));
  EXPECT_EQ(JsonKind::kNull, JsonKindOf(JsonElement(a, 2)));
  EXPECT_EQ(0u, JsonArraySize(JsonMember(root, "o")));
  EXPECT_EQ(JsonKind::kNull, JsonKindOf(JsonElement(JsonMember(root, "o"), 0)));
}

}  // namespace
}  // namespace vexa
