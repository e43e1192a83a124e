#include "server/download.h"

#include <gtest/gtest.h>

namespace vexa::server {
namespace {

TEST(DownloadTest, RangesAndConditionsPickTheSliceOrTheWholeFile) {
  const std::string tag = "\"abc\"";
  struct Case {
    const char* range;
    const char* if_range;
    const char* if_none_match;
    int status;
    uint64_t start, length;
  };
  const Case cases[] = {
      {"", "", "", 200, 0, 1000},
      {"bytes=0-99", "", "", 206, 0, 100},
      {"bytes=990-", "", "", 206, 990, 10},       // curl -C -
      {"bytes=500-5000", "", "", 206, 500, 500},  // end clamped
      {"bytes=-10", "", "", 206, 990, 10},        // the last ten
      {"bytes=-5000", "", "", 206, 0, 1000},      // more than there is
      {"bytes= 10 - 19 ", "", "", 206, 10, 10},
      {"bytes=999-999", "", "", 206, 999, 1},
      {"bytes=1000-", "", "", 416, 0, 0},  // nothing left to send
      {"bytes=-0", "", "", 416, 0, 0},
      {"bytes=20-10", "", "", 200, 0, 1000},    // malformed: ignored
      {"bytes=0-1,5-9", "", "", 200, 0, 1000},  // several: the whole file
      {"items=0-9", "", "", 200, 0, 1000},
      {"bytes=x-9", "", "", 200, 0, 1000},
      {"bytes=99999999999999999999-", "", "", 200, 0, 1000},
      {"bytes=100-", "\"abc\"", "", 206, 100, 900},  // the same content resumes
      {"bytes=100-", "\"old\"", "", 200, 0, 1000},   // replaced content restarts
      {"bytes=100-", "Wed, 21 Oct 2015 07:28:00 GMT", "", 200, 0, 1000},
      {"", "", "\"abc\"", 304, 0, 0},
      {"", "", "\"x\", W/\"abc\"", 304, 0, 0},
      {"", "", "*", 304, 0, 0},
      {"bytes=0-9", "", "\"other\"", 206, 0, 10},
  };
  for (const Case& c : cases) {
    const DownloadPlan plan = PlanDownload(1000, tag, c.range, c.if_range, c.if_none_match);
    EXPECT_EQ(c.status, plan.status) << c.range << " | " << c.if_range << " | " << c.if_none_match;
    EXPECT_EQ(c.start, plan.start) << c.range;
    EXPECT_EQ(c.length, plan.length) << c.range;
  }
}

TEST(DownloadTest, HeadersNameTheSliceTheContentAndASafeFileName) {
  EXPECT_EQ("bytes 990-999/1000", ContentRange({206, 990, 10}, 1000));
  EXPECT_EQ("bytes */1000", ContentRange({416, 0, 0}, 1000));
  EXPECT_EQ("\"2aae6c35c94fcfb415dbe95f408b9ce91ee846ed\"",
            ContentEtag("2AAE6C35C94FCFB415DBE95F408B9CE91EE846ED"));
  const struct {
    const char* name;
    const char* header;
  } names[] = {
      {"report.pdf", "attachment; filename=\"report.pdf\"; filename*=UTF-8''report.pdf"},
      {"a \"b\";\\c.txt",
       "attachment; filename=\"a _b_;_c.txt\"; filename*=UTF-8''a%20%22b%22%3B%5Cc.txt"},
      {"\xE7\x85\xA7\xE7\x89\x87.jpg",  // two CJK characters
       "attachment; filename=\"__.jpg\"; filename*=UTF-8''%E7%85%A7%E7%89%87.jpg"},
      {"x\r\ny", "attachment; filename=\"x__y\"; filename*=UTF-8''x%0D%0Ay"},
  };
  for (const auto& n : names) EXPECT_EQ(n.header, AttachmentDisposition(n.name)) << n.name;
}

}  // namespace
}  // namespace vexa::server
