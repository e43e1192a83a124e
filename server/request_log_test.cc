#include "server/request_log.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "server/testing/service_fixture.h"

namespace vexa::server {
namespace {

TEST(RequestLogTest, ALineNamesTheRequestWithoutSecretsOrForgedLines) {
  const struct {
    request_log::Entry entry;
    const char* line;
  } cases[] = {
      {{1765300201234, "127.0.0.1", "alice", "GET", "/", 200, 5120, 3, 0, ""},
       "2025-12-09T17:10:01Z 127.0.0.1 alice GET / 200 5120 3ms"},
      {{0, "::1", "", "POST", "/app/upload?appid=0&sig=ABCDEF&format=json", 200, 95, 12, 410, ""},
       "1970-01-01T00:00:00Z ::1 - POST /app/upload?appid=0&sig=*&format=json 200 95 12ms "
       "refused=410"},
      {{0, "10.0.0.2", "mallory", "GET", "/app/user/space?source=tok&user_id=7&token", 200, 40, -1,
        0, ""},
       "1970-01-01T00:00:00Z 10.0.0.2 mallory GET /app/user/space?source=*&user_id=7&token 200 40 "
       "-"},
      // A made-up account cannot end the line or pose as other fields.
      {{0, "127.0.0.1", "eve\n1970-01-01T00:00:00Z 1.2.3.4 root", "POST", "/app/clogin", 200, 80, 1,
        0, "wrong account or password"},
       "1970-01-01T00:00:00Z 127.0.0.1 eve\\x0a1970-01-01T00:00:00Z\\x201.2.3.4\\x20root POST "
       "/app/clogin 200 80 "
       "1ms failed=\"wrong account or password\""},
      {{0, "127.0.0.1", "\xE7\x94\xA8", "GET", "/a b?q=\"x\"", 404, 0, 0, 0, "say \"hi\"\\"},
       "1970-01-01T00:00:00Z 127.0.0.1 \\xe7\\x94\\xa8 GET /a\\x20b?q=\"x\" 404 0 0ms failed=\"say "
       "\\x22hi\\x22\\x5c\""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.line, request_log::Format(c.entry));
}

class RequestLogServiceTest : public ServiceTest {};

TEST_F(RequestLogServiceTest, EveryRequestIsLoggedFailedLoginsIncluded) {
  const std::string log = dir_ + "-server.log";
  server_->set_stderr_file(log);
  StartServer();
  EXPECT_FALSE(Login("alice", "wrong-pw")["state"].asBool());
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  EXPECT_EQ(402, Dispatch("url_upload", "", 10, "", Sha1("x"), "", "")["statuscode"].asInt());
  int status = 0;
  WebLogin("bob", "not-bobs", &status);
  EXPECT_EQ(401, status);
  // A line is written once its answer is out: wait for the last one.
  std::vector<std::string> lines;
  for (int tries = 0; tries < 200 && lines.size() < 5; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(log);
    lines.clear();
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  EXPECT_EQ(0, server_->Stop(SIGTERM));
  std::remove(log.c_str());

  // Each is followed by bytes, milliseconds and the outcome; lines of
  // answers close together may come in either order.
  const struct {
    const char* request;
    const char* outcome;
  } wanted[] = {
      {" 127.0.0.1 alice POST /app/clogin 200 ", "ms failed=\"wrong account or password\""},
      {" 127.0.0.1 alice POST /app/clogin 200 ", "ms"},
      {" 127.0.0.1 alice POST "
       "/app/upload?appid=0&appversion=win_1.0.1026.4&format=json&isp=0&sig=* 200 ",
       "ms refused=402"},
      {" 127.0.0.1 - GET / 200 ", "ms"},
      {" 127.0.0.1 bob POST /login 401 ", "ms"},
  };
  ASSERT_EQ(std::size(wanted), lines.size());
  std::vector<bool> matched(lines.size());
  for (const auto& w : wanted) {
    bool found = false;
    for (size_t i = 0; i < lines.size() && !found; ++i) {
      const std::string& line = lines[i];
      const size_t at = line.find(w.request);
      found = !matched[i] && at == 20 && line.size() > std::strlen(w.outcome) &&
              line.compare(line.size() - std::strlen(w.outcome), std::string::npos, w.outcome) == 0;
      matched[i] = found;
    }
    EXPECT_TRUE(found) << w.request << "..." << w.outcome;
  }
  for (const std::string& line : lines) {
    EXPECT_EQ(std::string::npos, line.find(login_["userkey"].asString())) << line;
  }
}

TEST_F(RequestLogServiceTest, ABadOptionIsOneLineThatPointsToTheHelp) {
  const std::string log = dir_ + "-server.log";
  server_->set_stderr_file(log);
  for (const char* bad : {"--workers=x", "--faults=nothing:fail", "--no-such-option"}) {
    EXPECT_FALSE(server_->Start({bad})) << bad;
    EXPECT_EQ(2, server_->Stop(0)) << bad;
  }
  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::remove(log.c_str());
  ASSERT_EQ(3u, lines.size());
  for (const std::string& line : lines) {
    EXPECT_EQ(0u, line.find("vexa-server: ")) << line;
    EXPECT_EQ(line.size() - 13, line.find(" (see --help)")) << line;
  }
}

}  // namespace
}  // namespace vexa::server
