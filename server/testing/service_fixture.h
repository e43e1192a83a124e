// Test support: the service driven over HTTP on loopback as clients do, for
// the server's own tests (header-only: it needs gtest).
#ifndef VEXA_SERVER_TESTING_SERVICE_FIXTURE_H_
#define VEXA_SERVER_TESTING_SERVICE_FIXTURE_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/login_sign.h"
#include "codec/sha1.h"
#include "codec/text.h"
#include "server/testing/server_process.h"

namespace vexa::server {

inline constexpr const char* kToken = kTestAdminToken;
inline constexpr char kBoundary[] = "-----------------------vexaupload";
inline constexpr size_t kChunk = 1 << 20;

inline std::string Sha1(const std::string& data) {
  std::string hex;
  Sha1Hex(data.data(), data.size(), &hex);
  return hex;
}

inline std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

// The sample identity: five 5120-byte samples and the size text.
inline std::string QuickId(const std::string& content) {
  size_t size = content.size();
  if (size <= 25600) return Sha1(content);
  std::string buf;
  double d = static_cast<double>(size);
  for (size_t off : {size_t{0}, static_cast<size_t>(d * 0.13), static_cast<size_t>(d * 0.37),
                     static_cast<size_t>(d * 0.62), size - 5120}) {
    buf += content.substr(off, 5120);
  }
  return Sha1(buf + std::to_string(size));
}

// Runs one SQL statement on the stopped server's database, as an older
// version or a crash may have left it.
inline void ExecSql(const std::string& dir, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/vexa.db").c_str(), &db));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr))
      << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// A raw TCP connection to the service on loopback, for tests that write
// requests byte by byte; -1 when it cannot be made.
inline int ConnectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One answer read from a raw connection: its head and a body of its
// Content-Length, nothing beyond (a later answer stays unread). Empty when
// the peer closes, or sends nothing for `timeout_ms`, before it is whole.
inline std::string ReadAnswer(int fd, int timeout_ms = 10000) {
  std::string got;
  auto next = [&]() {
    pollfd p{fd, POLLIN, 0};
    char c;
    if (poll(&p, 1, timeout_ms) <= 0 || recv(fd, &c, 1, 0) != 1) return false;
    got += c;
    return true;
  };
  while (got.size() < 4 || got.compare(got.size() - 4, 4, "\r\n\r\n") != 0) {
    if (!next()) return "";
  }
  size_t length = 0;
  const size_t at = got.find("\r\nContent-Length: ");
  if (at != std::string::npos) length = std::stoul(got.substr(at + 18));
  const size_t end = got.size() + length;
  while (got.size() < end) {
    if (!next()) return "";
  }
  return got;
}

// Whether the peer closes the connection, with nothing more to read, within
// `timeout_ms`.
inline bool ClosedByPeer(int fd, int timeout_ms = 10000) {
  pollfd p{fd, POLLIN, 0};
  char c;
  return poll(&p, 1, timeout_ms) > 0 && recv(fd, &c, 1, 0) <= 0;
}

inline Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &errors)) << text;
  return v;
}

// What a client keeps from its login and from one dispatch.
struct Upload {
  Json::Value answer;
  std::string pickCode, key, fileId, quickId;
  int64_t time = 0;
  uint64_t size = 0;
};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vexa-server-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    server_ = std::make_unique<ServerProcess>(dir_);
  }
  void TearDown() override {
    server_.reset();
    std::filesystem::remove_all(dir_);
  }

  // The service's port and address: the process's, or those of a service
  // a test runs in this process (port_ set).
  int Port() const { return port_ != 0 ? port_ : server_->port(); }
  std::string Base() const {
    return port_ != 0 ? "http://127.0.0.1:" + std::to_string(port_) : server_->base();
  }

  void StartServer(std::vector<std::string> extra = {}) {
    ASSERT_TRUE(server_->Start(std::move(extra)));
  }

  httplib::Result Post(const std::string& target, const std::string& body,
                       const std::string& type = "application/x-www-form-urlencoded",
                       const httplib::Headers& headers = {}) {
    httplib::Client c("127.0.0.1", Port());
    c.set_read_timeout(30, 0);
    return c.Post(target.c_str(), headers, body, type.c_str());
  }
  Json::Value PostJson(const std::string& target, const std::string& body,
                       const std::string& type = "application/x-www-form-urlencoded") {
    auto r = Post(target, body, type);
    EXPECT_TRUE(r) << target;
    if (!r) return Json::Value();
    EXPECT_EQ(200, r->status) << r->body;
    EXPECT_EQ("close", r->get_header_value("Connection"));
    return ParseJson(r->body);
  }
  Json::Value GetJson(const std::string& target, int want_status = 200) {
    httplib::Client c("127.0.0.1", Port());
    auto r = c.Get(target.c_str());
    EXPECT_TRUE(r) << target;
    if (!r) return Json::Value();
    EXPECT_EQ(want_status, r->status) << r->body;
    return ParseJson(r->body);
  }

  Json::Value Login(const std::string& account, const std::string& password, int64_t skew = 0,
                    int tamper = -1) {
    std::string digest;
    PasswordDigest(password, &digest);
    std::string time_text = std::to_string(static_cast<int64_t>(std::time(nullptr)) + skew);
    std::string sign = LoginSign(account, digest, time_text);
    if (tamper >= 0) sign[tamper] = sign[tamper] == 'a' ? 'b' : 'a';
    Json::Value v = PostJson("/app/clogin", "account=" + account + "&_time=" + time_text +
                                                "&version=win_1.0.1026.4&sign=" + sign);
    if (v["state"].asBool()) login_ = v;
    return v;
  }

  // Signs in through the web form as a browser does: the form page first, for
  // its token and cookie. The session cookie ("name=value"), or empty with
  // *status set when refused.
  std::string WebLogin(const std::string& account, const std::string& password,
                       int* status = nullptr) {
    httplib::Client c("127.0.0.1", Port());
    auto form = c.Get("/");
    EXPECT_TRUE(form);
    if (!form) return "";
    const std::string marker = "name=\"token\" value=\"";
    size_t at = form->body.find(marker);
    EXPECT_NE(std::string::npos, at) << form->body;
    if (at == std::string::npos) return "";
    at += marker.size();
    const std::string token = form->body.substr(at, form->body.find('"', at) - at);
    const std::string cookie = form->get_header_value("Set-Cookie");
    auto r = c.Post("/login", {{"Cookie", cookie.substr(0, cookie.find(';'))}},
                    "account=" + account + "&password=" + password + "&token=" + token,
                    "application/x-www-form-urlencoded");
    EXPECT_TRUE(r);
    if (!r) return "";
    if (status != nullptr) *status = r->status;
    if (r->status != 303) return "";
    const std::string session = r->get_header_value("Set-Cookie");
    return session.substr(0, session.find(';'));
  }

  std::string Path(const Json::Value& url) {
    std::string u = url.asString();
    return u.substr(Base().size());
  }

  // The signed dispatch request; `tamper` changes one character of the sig.
  Json::Value Dispatch(const std::string& which, const std::string& name, uint64_t size,
                       const std::string& path, const std::string& file_id,
                       const std::string& quick_id, const std::string& pick_code,
                       std::string target = "", bool tamper = false, std::string userid = "") {
    if (target.empty()) target = login_["target"].asString();
    if (userid.empty()) userid = login_["user_id"].asString();
    std::string inner = ToLower(Sha1(userid + file_id + quick_id + pick_code + target + "0"));
    std::string sig = Sha1(login_["userkey"].asString() + inner + "503418");
    if (tamper) sig[5] = sig[5] == 'A' ? 'B' : 'A';
    std::string body = "userid=" + userid + "&filename=" + UrlEncode(Utf8ToWide(name)) +
                       "&filesize=" + std::to_string(size) + "&target=" + target +
                       "&path=" + UrlEncode(Utf8ToWide(path)) + "&fileid=" + file_id +
                       "&quickid=" + quick_id + "&pickcode=" + pick_code;
    return PostJson(
        Path(login_[which]) + "?appid=0&appversion=win_1.0.1026.4&format=json&isp=0&sig=" + sig,
        body);
  }

  Upload Start(const std::string& content, const std::string& name, const std::string& path,
               bool with_file_id = true, bool with_quick_id = true) {
    Upload u;
    u.size = content.size();
    u.fileId = with_file_id ? Sha1(content) : "";
    u.quickId = with_quick_id ? QuickId(content) : "";
    u.answer = Dispatch("url_upload", name, u.size, path, u.fileId, u.quickId, "");
    Adopt(&u);
    return u;
  }
  void Adopt(Upload* u) {
    u->pickCode = u->answer["pickcode"].asString();
    u->key = u->answer["uploadkey"].asString();
    u->time = u->answer["uploadtime"].asInt64();
  }

  std::string TransferQuery(const Upload& u, const std::string& op, int64_t ets_delta = 0,
                            bool tamper = false) {
    std::string sig = Sha1("503418" + u.key + "0");
    if (tamper) sig[0] = sig[0] == 'A' ? 'B' : 'A';
    return "/upload/2.0/" + op + "?appid=0&appversion=win_1.0.1026.4&format=json&ets=" +
           std::to_string(u.time + ets_delta) + "&filesize=" + std::to_string(u.size) +
           "&userid=" + login_["user_id"].asString() + "&pickcode=" + u.pickCode + "&sig=" + sig;
  }

  Json::Value Check(const Upload& u, int64_t ets_delta = 0, bool tamper = false) {
    return GetJson(TransferQuery(u, "check", ets_delta, tamper));
  }

  static std::string RangeBody(const Upload& u, uint64_t start, const std::string& data,
                               std::string cthash = "") {
    if (cthash.empty()) cthash = Sha1(data);
    std::string b = kBoundary, body;
    auto field = [&](const char* name, const std::string& value) {
      body += "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
              value + "\r\n";
    };
    field("fileid", u.fileId);
    field("quickid", u.quickId);
    field("ctrange", std::to_string(start) + "-" + std::to_string(start + data.size()));
    field("cthash", cthash);
    body += "--" + b + "\r\nContent-Disposition: form-data; name=\"uploadfile\"; filename=\"" +
            u.pickCode + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n--" +
            b + "--";
    return body;
  }

  httplib::Result RawRange(const Upload& u, uint64_t start, const std::string& data,
                           const std::string& cthash = "", bool tamper = false) {
    return Post(TransferQuery(u, "bigupload", 0, tamper), RangeBody(u, start, data, cthash),
                std::string("multipart/form-data; boundary=") + kBoundary);
  }
  Json::Value Range(const Upload& u, uint64_t start, const std::string& data,
                    const std::string& cthash = "", bool tamper = false) {
    auto r = RawRange(u, start, data, cthash, tamper);
    EXPECT_TRUE(r);
    if (!r) return Json::Value();
    EXPECT_EQ(200, r->status) << r->body;
    return ParseJson(r->body);
  }

  // Sends every range from the service's offset on; returns the ranges sent.
  int SendAll(const Upload& u, const std::string& content) {
    uint64_t offset = Check(u)["offset"].asUInt64();
    int ranges = 0;
    while (offset < content.size()) {
      Json::Value v = Range(u, offset, content.substr(offset, kChunk));
      EXPECT_EQ(0, v["statuscode"].asInt()) << v;
      if (v["statuscode"].asInt() != 0) return -1;
      offset = v["offset"].asUInt64();
      ++ranges;
    }
    return ranges;
  }

  // path -> sha1 of one account's files in the admin export.
  std::map<std::string, std::string> Exported(const std::string& account) {
    httplib::Client c("127.0.0.1", Port());
    auto r = c.Get("/admin/export", {{"X-Admin-Token", kToken}});
    EXPECT_TRUE(r && r->status == 200);
    std::map<std::string, std::string> files;
    if (!r) return files;
    Json::Value v = ParseJson(r->body);
    for (const auto& u : v["users"]) {
      if (u["account"].asString() != account) continue;
      for (const auto& f : u["files"]) files[f["path"].asString()] = f["sha1"].asString();
    }
    return files;
  }

  std::string dir_;
  std::unique_ptr<ServerProcess> server_;
  Json::Value login_;
  int port_ = 0;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_TESTING_SERVICE_FIXTURE_H_
