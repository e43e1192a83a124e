#include "control/script_dispatcher.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "account/account_file.h"
#include "account/test_data_dir.h"
#include "control/test_script_host.h"

namespace vexa {
namespace {

class ScriptDispatcherTest : public ::testing::Test {
 protected:
  std::string Error(const std::string& line) {
    JsonValue answer = host_.Send(line);
    EXPECT_TRUE(JsonHasMember(answer, "error")) << line << " -> " << answer;
    EXPECT_FALSE(JsonHasMember(answer, "result")) << line;
    return JsonString(JsonMember(answer, "error"));
  }

  TestDataDir data_;
  TestScriptHost host_;
};

TEST_F(ScriptDispatcherTest, BadRequestsAreAnsweredWithAnError) {
  constexpr char kNotOne[] = "a request is one JSON object per line, each member named once";
  // A member named twice could be checked in one value and used in the other.
  for (const char* line : {"{\"id\":1,", "[1,2]", "{\"method\":\"GetName\",\"method\":\"Logout\"}",
                           "{\"method\":\"AddUpload\",\"params\":[\"/a\",\"\",0,1]} {\"x\":1}",
                           "{\"id\":1,\"method\":\"GetName\",\"id\":2}"}) {
    EXPECT_EQ(kNotOne, Error(line)) << line;
  }
  EXPECT_FALSE(JsonHasMember(host_.Send("{\"method\":\"GetName\"} \t\r"), "error"))
      << "white space may follow";
  EXPECT_EQ("unknown method \"Foo\"", Error("{\"id\":1,\"method\":\"Foo\"}"));
  EXPECT_EQ("unknown dispid 19", Error("{\"id\":1,\"dispid\":19}"));
  EXPECT_EQ("the request names no method", Error("{\"id\":1}"));
  EXPECT_EQ("params must be an array",
            Error("{\"id\":1,\"method\":\"StopUpload\",\"params\":\"x\"}"));
  EXPECT_EQ("StopUpload takes 1 parameter, got 0", Error("{\"method\":\"StopUpload\"}"));
  EXPECT_EQ("AddUpload takes 4 parameters, got 3",
            Error("{\"method\":\"AddUpload\",\"params\":[\"/a\",\"\",0]}"));
  EXPECT_EQ("LoadTask takes 0 parameters, got 1",
            Error("{\"method\":\"LoadTask\",\"params\":[1]}"));
  EXPECT_EQ("parameter strFilePath must be a string",
            Error("{\"method\":\"StopUpload\",\"params\":[5]}"));
  EXPECT_EQ("parameter nType must be an integer from -32768 to 32767",
            Error("{\"method\":\"SelectUpload\",\"params\":[\"1\"]}"));
  Error("{\"method\":\"SelectUpload\",\"params\":[40000]}");
  Error("{\"method\":\"SelectUpload\",\"params\":[1.5]}");
  EXPECT_EQ("parameter bAuto must be an integer from 0 to 255",
            Error("{\"method\":\"AddUpload\",\"params\":[\"/a\",\"\",0,256]}"));
  Error("{\"method\":\"AddUpload\",\"params\":[\"/a\",\"\",0,-1]}");
  // A dispid beyond an int names no method: not cut down to one that exists (4294967297 is 1 in 32
  // bits), nor thrown out of the reader (one beyond the signed 64-bit range).
  EXPECT_EQ("unknown dispid 4294967297", Error("{\"id\":1,\"dispid\":4294967297}"));
  EXPECT_EQ("unknown dispid 18446744073709551615", Error("{\"dispid\":18446744073709551615}"));
  EXPECT_EQ("unknown dispid -2147483649", Error("{\"dispid\":-2147483649}"));
  EXPECT_EQ("unknown dispid 0", Error("{\"dispid\":0.0}"));
  EXPECT_EQ("the request names no method", Error("{\"dispid\":1.5}"));
  // Nothing nested deep enough to stop the reader gets through either.
  Error(std::string(5000, '[') + std::string(5000, ']'));
}

TEST_F(ScriptDispatcherTest, AnswersCarryTheRequestId) {
  // A copy: the answer it is read from is gone afterwards.
  auto member = [this](const std::string& line, const char* key) -> JsonValue {
    return JsonMember(host_.Send(line), key);
  };
  EXPECT_EQ("win_1.0.1026.4",
            JsonString(member("{\"id\":7,\"method\":\"GetPluginVersion\"}", "result")));
  EXPECT_EQ(7, JsonInt(member("{\"id\":7,\"method\":\"GetPluginVersion\"}", "id")));
  EXPECT_EQ("a\"b", JsonString(member("{\"id\":\"a\\\"b\",\"dispid\":17,\"params\":[]}", "id")));
  EXPECT_EQ(JsonKind::kNull, JsonKindOf(member("{\"method\":\"GetPluginVersion\"}", "id")));
  // A method without a result answers null; booleans pass as flags.
  JsonValue answer =
      host_.Send("{\"id\":2,\"method\":\"CreateUpload\",\"params\":[3,\"\",0,true]}");
  EXPECT_TRUE(JsonHasMember(answer, "result"));
  EXPECT_EQ(JsonKind::kNull, JsonKindOf(JsonMember(answer, "result")));
  // Whole numbers come back exactly, however they were written; other ids as null.
  for (const auto& [sent, back] : std::vector<std::pair<std::string, std::string>>{
           {"18446744073709551615", "18446744073709551615"},
           {"-9223372036854775808", "-9223372036854775808"},
           {"7.0", "7"},
           {"1e2", "100"},
           {"-0", "0"},
           {"1.5", "null"},
           {"true", "null"},
           {"[1]", "null"}}) {
    host_.Send("{\"id\":" + sent + ",\"method\":\"GetPluginVersion\"}");
    EXPECT_EQ("{\"id\":" + back + ",\"result\":\"win_1.0.1026.4\"}", host_.Lines().back()) << sent;
  }
  // A whole number written with a fraction is still an integer parameter.
  EXPECT_TRUE(JsonHasMember(host_.Send("{\"method\":\"CreateUpload\",\"params\":[3.0,\"\",0,1.0]}"),
                            "result"));
  // Blank lines are no requests.
  const size_t before = host_.Lines().size();
  host_.dispatcher().HandleLine("  \r");
  EXPECT_EQ(before, host_.Lines().size());
}

TEST_F(ScriptDispatcherTest, GettersWithoutSession) {
  EXPECT_EQ("||0|0", JsonString(host_.Call("GetAccountInfo")));
  EXPECT_EQ("", JsonString(host_.Call("GetUserId")));
  EXPECT_EQ("", JsonString(host_.Call("GetTarget")));
  EXPECT_EQ("", JsonString(host_.Call("GetName")));
  EXPECT_EQ(0, JsonInt(host_.Call("GetAllowUpload")));
}

TEST_F(ScriptDispatcherTest, AccountInfoOfTheRememberedAccount) {
  // A name beyond ASCII comes back as it was stored, not read as GBK.
  ASSERT_TRUE(WriteRememberedAccount("42", "al\xE6\x96\x87", "D1", true, false));
  EXPECT_EQ("al\xE6\x96\x87|D1|1|0", JsonString(host_.Call("GetAccountInfo")));
  ASSERT_TRUE(WriteRememberedAccount("42", "al", "D1", false, true));
  EXPECT_EQ("al||0|1", JsonString(host_.Call("GetAccountInfo")));
  ForgetAccountFile();
}

TEST(EventLineTest, PayloadIsTheExactStringThePageGets) {
  const std::u16string payload = u"\\u0041\"\n\U0001F600";
  const std::string line = EventLine(*FindEvent("SelectFileEvent"), payload);
  EXPECT_EQ(
      "{\"event\":\"SelectFileEvent\",\"dispid\":5,\"payload\":\"\\\\u0041\\\"\\n\\uD83D\\uDE00\"}",
      line);
  EXPECT_EQ("\\u0041\"\n\xF0\x9F\x98\x80",
            JsonString(JsonMember(TestScriptHost::Parse(line), "payload")));
}

}  // namespace
}  // namespace vexa
