#include "server/body_digest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/sha1.h"
#include "server/form.h"

namespace vexa::server {
namespace {

std::string RangeBodyWith(const std::string& boundary, const std::string& data) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"ctrange\"\r\n\r\n0-" +
         std::to_string(data.size()) + "\r\n--" + boundary +
         "\r\nContent-Disposition: form-data; name=\"uploadfile\"; filename=\"f.bin\"\r\n"
         "Content-Type: application/octet-stream\r\n\r\n" +
         data + "\r\n--" + boundary + "--\r\n";
}

// Feeds `whole` in pieces cut at `cuts`, then digests the parsed file data.
std::string DigestArrivingIn(const std::string& whole, const std::string& boundary,
                             const std::vector<size_t>& cuts) {
  std::string body;
  BodyDigest digest(&body, boundary);
  size_t from = 0;
  for (size_t cut : cuts) {
    body.append(whole, from, cut - from);
    digest.Arrived();
    from = cut;
  }
  body.append(whole, from, std::string::npos);
  digest.Arrived();
  std::vector<MultipartPart> parts;
  EXPECT_TRUE(ParseMultipart(body, boundary.empty() ? "B" : boundary, &parts));
  std::string_view data;
  for (const MultipartPart& p : parts) {
    if (p.name == "uploadfile") data = p.data;
  }
  std::string hex;
  EXPECT_TRUE(digest.FinalHex(data, &hex));
  return hex;
}

TEST(BodyDigestTest, MatchesTheDataWhereverTheBodyIsCut) {
  struct Case {
    const char* name;
    std::string boundary;  // empty: no hashing on arrival
    std::string data;
  };
  const std::vector<Case> cases = {
      {"plain bytes", "B", "0123456789abcdef"},
      {"data holding a delimiter's start", "B", "ab\r\n--B\r\n--Bcd\r\n--"},
      {"data ending like a delimiter", "B", "xyz\r\n--B-"},
      {"one byte", "B", "z"},
      {"a long boundary", "----vexa0123456789", std::string(300, '\x7f') + "\r\n"},
      {"hashed only at the end", "", "0123456789abcdef"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string whole = RangeBodyWith(c.boundary.empty() ? "B" : c.boundary, c.data);
    std::string expected;
    ASSERT_TRUE(Sha1Hex(c.data.data(), c.data.size(), &expected));
    std::vector<size_t> bytewise;
    for (size_t i = 1; i < whole.size(); ++i) bytewise.push_back(i);
    EXPECT_EQ(expected, DigestArrivingIn(whole, c.boundary, bytewise));
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
      ASSERT_EQ(expected, DigestArrivingIn(whole, c.boundary, {cut})) << "cut at " << cut;
    }
  }
}

TEST(BodyDigestTest, DataOtherThanForeseenIsHashedAgain) {
  const std::string whole = RangeBodyWith("B", "0123456789");
  std::string body;
  BodyDigest digest(&body, "B");
  body = whole;
  digest.Arrived();
  // A view that does not start where the file part's data was found.
  const std::string_view other(body.data() + 2, 5);
  std::string expected, hex;
  ASSERT_TRUE(Sha1Hex(other.data(), other.size(), &expected));
  ASSERT_TRUE(digest.FinalHex(other, &hex));
  EXPECT_EQ(expected, hex);
}

}  // namespace
}  // namespace vexa::server
