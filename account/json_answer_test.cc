#include "account/json_answer.h"

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

}  // namespace
}  // namespace vexa
