#include "apps/cli/event_payload.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include "control/method_table.h"
#include "control/payload.h"

namespace vexa::cli {
namespace {

TEST(DecodeProgressRowTest, ReadsTheFourteenFields) {
  ProgressRow row;
  ASSERT_TRUE(DecodeProgressRow(
      "a.txt|/d/"
      "a.txt|200|100|18446744073709551615|00:00:05|2|50.00%|100.00%|0||PC1|0|1,200,40,00:00:05",
      &row));
  EXPECT_EQ(row.fileName, "a.txt");
  EXPECT_EQ(row.localPath, "/d/a.txt");
  EXPECT_EQ(row.totalBytes, 200u);
  EXPECT_EQ(row.doneBytes, 100u);
  EXPECT_EQ(row.speed, -1);  // sign-extended on the wire
  EXPECT_EQ(row.timeLeft, "00:00:05");
  EXPECT_EQ(row.status, kUploading);
  EXPECT_EQ(row.uploadPercent, "50.00%");
  EXPECT_EQ(row.hashPercent, "100.00%");
  EXPECT_EQ(row.errorCode, 0);
  EXPECT_EQ(row.errorText, "");
  EXPECT_EQ(row.pickCode, "PC1");
  EXPECT_FALSE(row.isFolder);
  EXPECT_EQ(row.queueSummary, "1,200,40,00:00:05");
}

TEST(DecodeProgressRowTest, ABarInANameDoesNotShiftFieldsAndOtherShapesAreRefused) {
  ProgressRow row;
  ASSERT_TRUE(DecodeProgressRow(
      "x|y.txt|/d|e/x|y.txt|7|0|0|100:00:00|4|0.00%|0.00%|4294966296|bad||0|0,0,0,00:00:00", &row));
  EXPECT_EQ(row.fileName, "x|y.txt");
  EXPECT_EQ(row.localPath, "/d|e/x|y.txt");
  EXPECT_EQ(row.timeLeft, "100:00:00");
  EXPECT_EQ(row.status, kFailed);
  EXPECT_EQ(row.errorCode, 4294966296);
  EXPECT_EQ(row.errorText, "bad");
  EXPECT_EQ(row.pickCode, "");
  EXPECT_TRUE(row.final());
  EXPECT_FALSE(DecodeProgressRow("a|b|c", &row));
}

TEST(EventJsonLineTest, EveryEventIsOneParsableObjectWithItsFields) {
  auto parse = [](const std::string& line) {
    EXPECT_EQ(line.find('\n'), std::string::npos);
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &v, &errors)) << line;
    return v;
  };
  // "1|ok" and "0|" + a text holding a quote and a line break.
  Json::Value ok = parse(EventJsonLine(kLoginEvent, "\\u0031\\u007C\\u006F\\u006B"));
  EXPECT_EQ(ok["event"].asString(), "LoginEvent");
  EXPECT_EQ(ok["dispid"].asInt(), 3);
  EXPECT_EQ(ok["payload"].asString(), "\\u0031\\u007C\\u006F\\u006B");
  EXPECT_TRUE(ok["fields"]["ok"].asBool());
  Json::Value bad = parse(EventJsonLine(kLoginEvent, "\\u0030\\u007C\\u0022\\u000A"));
  EXPECT_FALSE(bad["fields"]["ok"].asBool());
  EXPECT_EQ(bad["fields"]["text"].asString(), "\"\n");

  const std::string escaped =
      EscapeUnicode("a|/a|1|1|0|00:00:00|5|100.00%|100.00%|0||P|0|0,0,0,00:00:00");
  Json::Value progress = parse(EventJsonLine(kProgressEvent, escaped));
  EXPECT_EQ(progress["event"].asString(), "ProgressEvent");
  EXPECT_EQ(progress["fields"]["statusName"].asString(), "Completed");
  EXPECT_EQ(progress["fields"]["localPath"].asString(), "/a");
  EXPECT_EQ(progress["fields"]["totalBytes"].asUInt64(), 1u);

  Json::Value member =
      parse(EventJsonLine(kLoadUnfinishTaskEvent, "\\u0061\\u007C\\u0062\\u007C\\u0065"));
  EXPECT_EQ(member["fields"]["path"].asString(), "a|b");
  EXPECT_EQ(member["fields"]["error"].asString(), "e");
  EXPECT_TRUE(parse(EventJsonLine(kSelectFileEvent, "not escaped"))["fields"].isNull());
}

}  // namespace
}  // namespace vexa::cli
