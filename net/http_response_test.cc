#include "net/http_response.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace vexa {
namespace {

TEST(ResponseHeadTest, ReadsStatusAndFramingHeaders) {
  ResponseHead h;
  std::string r = "HTTP/1.1 200 Fine\r\ncontent-LENGTH:  12 \r\nX: y\r\n\r\nbody";
  ASSERT_EQ(ParseResponseHead(r, &h), HeadResult::kOk);
  EXPECT_EQ(h.status_code, 200);
  EXPECT_TRUE(h.has_content_length);
  EXPECT_EQ(h.content_length, 12u);
  EXPECT_EQ(h.header_length, r.find("body"));
  EXPECT_FALSE(h.chunked);

  ASSERT_EQ(
      ParseResponseHead(
          "HTTP/1.0 404\r\ntransfer-encoding: gzip, Chunked\r\nContent-Length: 5\r\n\r\n", &h),
      HeadResult::kOk);
  EXPECT_EQ(h.status_code, 404);
  EXPECT_TRUE(h.chunked);

  EXPECT_EQ(ParseResponseHead("HTTP/1.1 200 OK\r\nContent-Len", &h), HeadResult::kIncomplete);
  EXPECT_EQ(ParseResponseHead("HTT", &h), HeadResult::kIncomplete);
  // The status line must come first.
  EXPECT_EQ(ParseResponseHead("\r\nHTTP/1.1 200 OK\r\n\r\n", &h), HeadResult::kBad);
  EXPECT_EQ(ParseResponseHead("garbage HTTP/1.1 200 OK\r\n\r\n", &h), HeadResult::kBad);
  EXPECT_EQ(ParseResponseHead("HTTP/1.1 20x OK\r\n\r\n", &h), HeadResult::kBad);
  EXPECT_EQ(ParseResponseHead("HTTP/1.1 2000 OK\r\n\r\n", &h), HeadResult::kBad);
  EXPECT_EQ(ParseResponseHead("HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n", &h),
            HeadResult::kBad);
  EXPECT_EQ(
      ParseResponseHead("HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", &h),
      HeadResult::kBad);
  EXPECT_EQ(ParseResponseHead("HTTP/1.1 200 OK\r\nno colon here\r\n\r\n", &h), HeadResult::kBad);
  // A head that never ends is refused once it passes the cap, not read on.
  std::string endless = "HTTP/1.1 200 OK\r\n";
  while (endless.size() < kMaxHeadBytes - 10) endless += "X-Filler: 0123456789\r\n";
  EXPECT_EQ(ParseResponseHead(endless, &h), HeadResult::kIncomplete);
  endless += "X-Filler: 0123456789\r\n";
  EXPECT_EQ(ParseResponseHead(endless, &h), HeadResult::kBad);
}

TEST(ExtractBodyTest, AcceptsAny200AndCutsTheBody) {
  struct Case {
    std::string response;
    std::string body;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"a\":1}", "{\"a\":1}"},
      {"HTTP/1.0 200 OK\r\n\r\n", ""},
      {"HTTP/1.1 200 Okay\r\n\r\nx", "x"},
      {"HTTP/1.1 200\r\n\r\nx", "x"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef", "abc"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n",
       "abcdef"},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", "ok"},
      // Header names inside the body are data, not headers.
      {"HTTP/1.1 200 OK\r\nContent-Length: 28\r\n\r\nTransfer-Encoding: chunked\r\n",
       "Transfer-Encoding: chunked\r\n"},
  };
  for (const Case& c : cases) {
    std::string text = c.response;
    EXPECT_TRUE(ExtractBody(&text)) << c.response;
    EXPECT_EQ(text, c.body) << c.response;
  }
}

TEST(ExtractBodyTest, RefusesOtherStatusesAndBrokenResponses) {
  for (std::string r : {
           std::string("HTTP/1.1 404 Not Found\r\n\r\nHTTP/1.1 200 OK\r\n\r\n"),
           std::string("HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n"),
           std::string("xx HTTP/1.1 200 OK\r\n\r\nbody"),
           std::string("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n"),  // no end of head
           std::string("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nshort"),
           std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel"),
           std::string(),
       }) {
    std::string text = r;
    EXPECT_FALSE(ExtractBody(&text)) << r;
    EXPECT_EQ(text, r) << "a refused response is left as it came";
  }
}

// Feeds a response in pieces and reports when framing says it is complete.
size_t CompleteAfter(const std::string& full, size_t step) {
  ResponseFraming f;
  std::string text;
  for (size_t pos = 0; pos < full.size();) {
    size_t n = std::min(step, full.size() - pos);
    text.append(full, pos, n);
    pos += n;
    ResponseFraming::Progress p = f.Update(&text);
    if (p == ResponseFraming::Progress::kBad) return 0;
    if (p == ResponseFraming::Progress::kComplete) return pos;
  }
  return f.CompleteAtClose() ? full.size() + 1 : full.size() + 2;
}

TEST(ResponseFramingTest, EndsAtLengthOrLastChunkOrClose) {
  std::string with_length = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd";
  std::string chunked =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\nT: 1\r\n\r\n";
  std::string until_close = "HTTP/1.0 200 OK\r\n\r\nabcd";
  std::string no_content = "HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\n";
  for (size_t step : {size_t{1}, size_t{5}, size_t{1000}}) {
    EXPECT_EQ(CompleteAfter(with_length, step), with_length.size());
    EXPECT_EQ(CompleteAfter(chunked, step), chunked.size());
    EXPECT_EQ(CompleteAfter(until_close, step), until_close.size() + 1);
    EXPECT_EQ(CompleteAfter(no_content, step), no_content.size());
  }
  // Cut short: not a whole response at close.
  std::string short_body = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nab";
  std::string no_head_end = "HTTP/1.1 200 OK\r\n";
  EXPECT_EQ(CompleteAfter(short_body, 3), short_body.size() + 2);
  EXPECT_EQ(CompleteAfter(no_head_end, 3), no_head_end.size() + 2);
  EXPECT_EQ(CompleteAfter("SSH-2.0-OpenSSH\r\n", 3), 0u);
}

TEST(ResponseFramingTest, TellsWhereAnAnswerEndsAndWhetherTheConnectionStaysOpen) {
  struct Case {
    std::string text;  // one answer, maybe followed by the start of the next
    size_t end;
    bool reusable;
  };
  const std::string next = "HTTP/1.1 200 OK\r\n";
  const std::vector<Case> cases = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" + next, 40, true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n" + next, 59,
       true},
      {"HTTP/1.1 204 No Content\r\n\r\n" + next, 27, true},
      {"HTTP/1.1 200 OK\r\nconnection: Close\r\nContent-Length: 2\r\n\r\nok", 59, false},
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive , close\r\nContent-Length: 0\r\n\r\n", 70, false},
      {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", 40, false},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 40, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ResponseFraming framing;
    std::string text = c.text;
    ASSERT_EQ(framing.Update(&text), ResponseFraming::Progress::kComplete);
    EXPECT_EQ(framing.end(), c.end);
    EXPECT_EQ(framing.reusable(), c.reusable);
  }
  // Ended only by the close: never reusable.
  ResponseFraming framing;
  std::string text = "HTTP/1.1 200 OK\r\n\r\nok";
  EXPECT_EQ(framing.Update(&text), ResponseFraming::Progress::kNeedMore);
  EXPECT_TRUE(framing.CompleteAtClose());
  EXPECT_FALSE(framing.reusable());
}

}  // namespace
}  // namespace vexa
