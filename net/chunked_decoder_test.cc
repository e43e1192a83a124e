#include "net/chunked_decoder.h"

#include <string>

#include "gtest/gtest.h"

namespace vexa {
namespace {

// Feeds the body in pieces of `step` bytes; returns the data, or "FAILED" /
// "INCOMPLETE".
std::string DecodeInSteps(const std::string& body, size_t step) {
  ChunkedDecoder d;
  std::string out;
  size_t pos = 0;
  while (pos < body.size() && !d.done() && !d.failed()) {
    std::string_view piece(body.data() + pos, std::min(step, body.size() - pos));
    size_t used = d.Feed(piece, &out);
    pos += used;
    if (used < piece.size()) break;
  }
  if (d.failed()) return "FAILED";
  if (!d.done()) return "INCOMPLETE";
  return out;
}

TEST(ChunkedDecoderTest, DecodesWholeBodiesWhateverThePieces) {
  struct Case {
    std::string body;
    std::string data;
  } cases[] = {
      {"5\r\nhello\r\n0\r\n\r\n", "hello"},
      {"3\r\nabc\r\n4\r\ndefg\r\na\r\n0123456789\r\n0\r\n\r\n", "abcdefg0123456789"},
      {"3;name=value\r\nabc\r\n2 ; x\r\nde\r\n0;last\r\n\r\n", "abcde"},
      {"3\t \r\nabc\r\n2\t;x\r\nde\r\n1 \nf\r\n0 \r\n\r\n", "abcdef"},
      {"4\r\nab\r\n\r\n0\r\nTrailer: x\r\nOther: y\r\n\r\n", "ab\r\n"},
      // Data that holds CR LF "0" is data, not the end.
      {"7\r\nx\r\n0\r\ny\r\n0\r\n\r\n", "x\r\n0\r\ny"},
      {"A\r\n0123456789\r\n0\r\n\r\n", "0123456789"},
      {"0\r\n\r\n", ""},
      // Bare LF line ends are tolerated.
      {"2\nhi\n0\n\n", "hi"},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, c.body.size()}) {
      EXPECT_EQ(DecodeInSteps(c.body, step), c.data) << c.body << " step " << step;
    }
  }
}

TEST(ChunkedDecoderTest, StopsAtTheEndOfTheBody) {
  ChunkedDecoder d;
  std::string out;
  std::string body = "2\r\nok\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n";
  EXPECT_EQ(d.Feed(body, &out), body.find("HTTP"));
  EXPECT_TRUE(d.done());
  EXPECT_EQ(out, "ok");
}

TEST(ChunkedDecoderTest, RefusesMalformedAndReportsIncompleteBodies) {
  for (std::string bad :
       {"x\r\n", "\r\n", "5\r\nhelloX\r\n0\r\n\r\n", "5\r\nhello\rX", "1234567890abcdef0\r\n",
        "-1\r\n", "0\r\n\rX", "5x\r\n", "5 x\r\n", "5 6\r\n", "5\rX"}) {
    EXPECT_EQ(DecodeInSteps(bad, 1), "FAILED") << bad;
  }
  for (std::string cut :
       {"", "5\r\nhel", "5\r\nhello\r\n", "5\r\nhello\r\n0\r\n", "0\r\nTrailer: x\r\n"}) {
    EXPECT_EQ(DecodeInSteps(cut, 1), "INCOMPLETE") << cut;
  }
  std::string out;
  EXPECT_FALSE(DecodeChunkedBody("5\r\nhello\r\n", &out));
  EXPECT_TRUE(DecodeChunkedBody("5\r\nhello\r\n0\r\n\r\n", &out));
  EXPECT_EQ(out, "hello");
}

}  // namespace
}  // namespace vexa
