#include "control/script_dispatcher.h"

#include <gtest/gtest.h>

#include "account/account_file.h"
#include "account/test_data_dir.h"
#include "control/test_script_host.h"

namespace vexa {
namespace {

class ScriptDispatcherTest : public ::testing::Test {
 protected:
  std::string Error(const std::string& line) {
    Json::Value answer = host_.Send(line);
    EXPECT_TRUE(answer.isMember("error")) << line << " -> " << answer;
    EXPECT_FALSE(answer.isMember("result")) << line;
    return answer["error"].asString();
  }

  TestDataDir data_;
  TestScriptHost host_;
};

TEST_F(ScriptDispatcherTest, BadRequestsAreAnsweredWithAnError) {
  EXPECT_EQ("a request is one JSON object per line", Error("{\"id\":1,"));
  EXPECT_EQ("a request is one JSON object per line", Error("[1,2]"));
  EXPECT_EQ("unknown method \"Foo\"", Error("{\"id\":1,\"method\":\"Foo\"}"));
  EXPECT_EQ("unknown dispid 19", Error("{\"id\":1,\"dispid\":19}"));
  EXPECT_EQ("the request names no method", Error("{\"id\":1}"));
  EXPECT_EQ("params must be an array", Error("{\"id\":1,\"method\":\"StopUpload\",\"params\":\"x\"}"));
  EXPECT_EQ("StopUpload takes 1 parameter, got 0", Error("{\"method\":\"StopUpload\"}"));
  EXPECT_EQ("AddUpload takes 4 parameters, got 3", Error("{\"method\":\"AddUpload\",\"params\":[\"/a\",\"\",0]}"));
  EXPECT_EQ("LoadTask takes 0 parameters, got 1", Error("{\"method\":\"LoadTask\",\"params\":[1]}"));
  EXPECT_EQ("parameter strFilePath must be a string", Error("{\"method\":\"StopUpload\",\"params\":[5]}"));
  EXPECT_EQ("parameter nType must be an integer from -32768 to 32767",
            Error("{\"method\":\"SelectUpload\",\"params\":[\"1\"]}"));
  Error("{\"method\":\"SelectUpload\",\"params\":[40000]}");
  Error("{\"method\":\"SelectUpload\",\"params\":[1.5]}");
  EXPECT_EQ("parameter bAuto must be an integer from 0 to 255",
            Error("{\"method\":\"AddUpload\",\"params\":[\"/a\",\"\",0,256]}"));
  Error("{\"method\":\"AddUpload\",\"params\":[\"/a\",\"\",0,-1]}");
  // Nothing nested deep enough to stop the reader gets through either.
  Error(std::string(5000, '[') + std::string(5000, ']'));
}

TEST_F(ScriptDispatcherTest, AnswersCarryTheRequestId) {
  EXPECT_EQ("win_1.0.1026.4", host_.Send("{\"id\":7,\"method\":\"GetPluginVersion\"}")["result"].asString());
  EXPECT_EQ(7, host_.Send("{\"id\":7,\"method\":\"GetPluginVersion\"}")["id"].asInt());
  EXPECT_EQ("a\"b", host_.Send("{\"id\":\"a\\\"b\",\"dispid\":17,\"params\":[]}")["id"].asString());
  EXPECT_TRUE(host_.Send("{\"method\":\"GetPluginVersion\"}")["id"].isNull());
  // A method without a result answers null; booleans pass as flags.
  Json::Value answer = host_.Send("{\"id\":2,\"method\":\"CreateUpload\",\"params\":[3,\"\",0,true]}");
  EXPECT_TRUE(answer.isMember("result"));
  EXPECT_TRUE(answer["result"].isNull());
  // Blank lines are no requests.
  const size_t before = host_.Lines().size();
  host_.dispatcher().HandleLine("  \r");
  EXPECT_EQ(before, host_.Lines().size());
}

TEST_F(ScriptDispatcherTest, GettersWithoutSession) {
  EXPECT_EQ("||0|0", host_.Call("GetAccountInfo").asString());
  EXPECT_EQ("", host_.Call("GetUserId").asString());
  EXPECT_EQ("", host_.Call("GetTarget").asString());
  EXPECT_EQ("", host_.Call("GetName").asString());
  EXPECT_EQ(0, host_.Call("GetAllowUpload").asInt());
}

TEST_F(ScriptDispatcherTest, AccountInfoOfTheRememberedAccount) {
  // A name beyond ASCII comes back as it was stored, not read as GBK.
  ASSERT_TRUE(WriteRememberedAccount("42", "al\xE6\x96\x87", "D1", true, false));
  EXPECT_EQ("al\xE6\x96\x87|D1|1|0", host_.Call("GetAccountInfo").asString());
  ASSERT_TRUE(WriteRememberedAccount("42", "al", "D1", false, true));
  EXPECT_EQ("al||0|1", host_.Call("GetAccountInfo").asString());
  ForgetAccountFile();
}

TEST(EventLineTest, PayloadIsTheExactStringThePageGets) {
  const std::u16string payload = u"\\u0041\"\n\U0001F600";
  const std::string line = EventLine(*FindEvent("SelectFileEvent"), payload);
  EXPECT_EQ("{\"event\":\"SelectFileEvent\",\"dispid\":5,\"payload\":\"\\\\u0041\\\"\\n\\uD83D\\uDE00\"}", line);
  Json::Value v = TestScriptHost::Parse(line);
  EXPECT_EQ("\\u0041\"\n\xF0\x9F\x98\x80", v["payload"].asString());
}

}  // namespace
}  // namespace vexa
