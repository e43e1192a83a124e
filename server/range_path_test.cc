// The range request as a raw client sends it: the interim "100 Continue"
// answer, which refusal a range gets when several apply, and ranges sent
// one behind the other on a kept connection.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "server/reply.h"
#include "server/testing/service_fixture.h"

namespace vexa::server {
namespace {

// A range body whose cthash does not match its data.
std::string BadHashBody() {
  const std::string b = kBoundary;
  std::string body =
      "--" + b + "\r\nContent-Disposition: form-data; name=\"ctrange\"\r\n\r\n0-5\r\n";
  body += "--" + b + "\r\nContent-Disposition: form-data; name=\"cthash\"\r\n\r\n" +
          std::string(40, 'A') + "\r\n";
  body += "--" + b +
          "\r\nContent-Disposition: form-data; name=\"uploadfile\"; filename=\"pk\"\r\n\r\n" +
          "hello\r\n--" + b + "--";
  return body;
}

class RangePathTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    StartServer();
  }

  int Connect() {
    const int fd = ConnectLoopback(server_->port());
    EXPECT_GE(fd, 0);
    return fd;
  }

  // What arrives within `ms` milliseconds, up to the peer's close.
  static std::string ReadFor(int fd, int ms, bool until_close) {
    std::string got;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, ms) > 0) {
      ssize_t n = read(fd, buf, sizeof(buf));
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
      if (!until_close) break;
    }
    return got;
  }

  static void SendAll(int fd, const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
  }

  // The head of a range POST for user `user` and pick code `pick_code`.
  std::string Head(const std::string& user, const std::string& pick_code, size_t length,
                   bool expect) {
    return "POST /upload/2.0/bigupload?appid=0&format=json&ets=1&filesize=5&userid=" + user +
           "&pickcode=" + pick_code + "&sig=" + std::string(40, 'B') +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
           "Content-Type: multipart/form-data; boundary=" + kBoundary +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n" +
           (expect ? "Expect: 100-continue\r\n" : "") + "\r\n";
  }
};

TEST_F(RangePathTest, ABodyAwaitingContinueIsAskedForAtOnceAndAnsweredAsWithout) {
  const std::string body = BadHashBody();
  std::string answers[2];
  for (bool expect : {false, true}) {
    int fd = Connect();
    SendAll(fd, Head("1", "nosuchpickcode", body.size(), expect));
    if (expect) {
      // A client that waits for this would otherwise stall until its own
      // time-out before sending the range.
      EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", ReadFor(fd, 5000, false));
    }
    SendAll(fd, body);
    std::string got = ReadAnswer(fd);
    close(fd);
    ASSERT_NE(std::string::npos, got.find("\r\n\r\n")) << got;
    EXPECT_EQ(0u, got.rfind("HTTP/1.1 200 OK\r\n", 0)) << got;
    answers[expect] = got.substr(got.find("\r\n\r\n"));
  }
  EXPECT_EQ(answers[0], answers[1]);
}

TEST_F(RangePathTest, ARangeIsTakenWholeHoweverItsBytesArriveWithOrWithoutContinue) {
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(4 * kChunk + 777, 21);
  Upload u = Start(content, "pieces.bin", "");
  ASSERT_EQ(1, u.answer["status"].asInt()) << u.answer;
  enum Way { kOneWrite, kHeadThenBody, kContinue, kTrickle, kWays };
  uint64_t offset = 0;
  for (int way = 0; offset < content.size(); ++way) {
    const std::string body = RangeBody(u, offset, content.substr(offset, kChunk));
    const std::string head = "POST " + TransferQuery(u, "bigupload") +
                             " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                             "Content-Type: multipart/form-data; boundary=" + kBoundary +
                             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
                             (way % kWays == kContinue ? "Expect: 100-continue\r\n" : "") + "\r\n";
    int fd = Connect();
    switch (way % kWays) {
      case kOneWrite:
        SendAll(fd, head + body);
        break;
      case kHeadThenBody:
      case kContinue:
        SendAll(fd, head);
        if (way % kWays == kContinue) {
          // Asked for at once: a client waiting for this would otherwise
          // stall until its own time-out on every range.
          EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", ReadFor(fd, 5000, false));
        }
        SendAll(fd, body);
        break;
      case kTrickle: {
        // The head and the body's first bytes in small pieces, each arriving
        // on its own, then the rest at once.
        const std::string all = head + body;
        size_t sent = 0;
        for (; sent < head.size() + 300; sent += 7) {
          SendAll(fd, all.substr(sent, 7));
          usleep(200);
        }
        SendAll(fd, all.substr(sent));
        break;
      }
    }
    const std::string got = ReadAnswer(fd);
    close(fd);
    ASSERT_EQ(0u, got.rfind("HTTP/1.1 200 OK\r\n", 0)) << way << got;
    const Json::Value v = ParseJson(got.substr(got.find("\r\n\r\n") + 4));
    ASSERT_EQ(0, v["statuscode"].asInt()) << way << v;
    ASSERT_EQ(std::min<uint64_t>(offset + kChunk, content.size()), v["offset"].asUInt64()) << way;
    offset = v["offset"].asUInt64();
  }
  EXPECT_EQ(Sha1(content), Exported("alice")["pieces.bin"]);
}

TEST_F(RangePathTest, WhoMaySendTheRangeIsCheckedBeforeItsData) {
  const std::string body = BadHashBody();
  // The data's hash is wrong too, but a stranger learns nothing about it and
  // costs no hashing: the URL is refused first.
  for (const auto& [user, code] :
       {std::pair<const char*, const char*>{"999", "401"}, {"1", "412"}}) {
    int fd = Connect();
    SendAll(fd, Head(user, "nosuchpickcode", body.size(), false) + body);
    std::string got = ReadAnswer(fd);
    close(fd);
    EXPECT_NE(std::string::npos, got.find(std::string("\"statuscode\":") + code)) << user << got;
  }
}

TEST_F(RangePathTest, RangesSentBehindOneAnotherAreAnsweredInOrderAndNoneIsSkipped) {
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  struct Case {
    const char* what;
    bool spoil_first;  // the first range's hash is wrong
    int first_code, second_code;
    uint64_t offset_after;  // in ranges
  } cases[] = {
      {"both held", false, 0, 0, 2},
      // The second starts past what the service holds: refused, not kept.
      {"first refused", true, kCodeHashMismatch, kCodeBadRange, 0},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.what);
    const std::string content = RandomBytes(3 * kChunk, t.spoil_first ? 31 : 32);
    Upload u = Start(content, std::string(t.what) + ".bin", "");
    ASSERT_EQ(1, u.answer["status"].asInt()) << u.answer;
    std::string requests;
    for (uint64_t start : {uint64_t{0}, uint64_t{kChunk}}) {
      const std::string data = content.substr(start, kChunk);
      const std::string body =
          RangeBody(u, start, data, start == 0 && t.spoil_first ? std::string(40, 'A') : "");
      requests += "POST " + TransferQuery(u, "bigupload") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                  "Content-Type: multipart/form-data; boundary=" + kBoundary +
                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    int fd = Connect();
    SendAll(fd, requests);
    int codes[2];
    for (int& code : codes) {
      const std::string got = ReadAnswer(fd);
      ASSERT_EQ(0u, got.rfind("HTTP/1.1 200 OK\r\n", 0)) << got;
      code = ParseJson(got.substr(got.find("\r\n\r\n") + 4))["statuscode"].asInt();
    }
    close(fd);
    EXPECT_EQ(t.first_code, codes[0]);
    EXPECT_EQ(t.second_code, codes[1]);
    EXPECT_EQ(t.offset_after * kChunk, Check(u)["offset"].asUInt64());
  }
}

}  // namespace
}  // namespace vexa::server
