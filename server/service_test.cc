// Drives the vexa-server binary over HTTP on loopback, as clients do.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "codec/login_sign.h"
#include "codec/sha1.h"
#include "codec/text.h"
#include "server/testing/service_fixture.h"

namespace vexa::server {
namespace {

TEST_F(ServiceTest, LoginAnswersEveryFieldAndRefusesWrongSignatures) {
  StartServer({"--size-limit", "123456789", "--type-limit", "iso,mp4", "--time-limit", "0.7"});
  Json::Value v = Login("alice", "alice-pw");
  ASSERT_TRUE(v["state"].asBool()) << v;
  for (const char* key :
       {"error", "upload_allowed", "is_vip", "user_id", "user_name", "face", "email", "resource",
        "userkey", "url_upload", "url_resume", "url_cancel", "target", "time_limit", "size_limit",
        "space", "type_limit", "file_range"}) {
    EXPECT_TRUE(v.isMember(key)) << key;
  }
  for (const char* key : {"byte_size_total", "byte_size_used", "byte_size_remain", "size_total",
                          "size_used", "size_remain", "size_used_percent"}) {
    EXPECT_TRUE(v["space"].isMember(key)) << key;
  }
  EXPECT_EQ(123456789u, v["size_limit"].asUInt64());
  EXPECT_DOUBLE_EQ(0.7, v["time_limit"].asDouble());
  EXPECT_EQ("iso", v["type_limit"][0].asString());
  EXPECT_EQ("0-1048576", v["file_range"]["0"].asString());
  EXPECT_EQ("1048576-67108864", v["file_range"]["1"].asString());
  EXPECT_EQ("67108864-0", v["file_range"]["2"].asString());
  EXPECT_EQ(uint64_t{64} << 30, v["space"]["byte_size_total"].asUInt64());
  EXPECT_EQ(server_->base() + "/app/upload", v["url_upload"].asString());
  const std::string first_key = v["userkey"].asString();
  EXPECT_EQ(32u, first_key.size());
  EXPECT_NE(first_key, Login("alice", "alice-pw")["userkey"].asString()) << "fresh per login";

  // A 40-character password is a digest already: the remembered-login road.
  std::string digest;
  PasswordDigest("alice-pw", &digest);
  EXPECT_TRUE(Login("alice", digest)["state"].asBool());

  for (Json::Value refused :
       {Login("alice", "wrong"), Login("nobody", "alice-pw"), Login("alice", "alice-pw", 0, 31),
        Login("alice", "alice-pw", 0, 0), Login("alice", "alice-pw", 11 * 60),
        Login("alice", "alice-pw", -11 * 60)}) {
    EXPECT_FALSE(refused["state"].asBool()) << refused;
    EXPECT_FALSE(refused["error"].asString().empty());
    EXPECT_FALSE(refused.isMember("userkey"));
  }
  EXPECT_TRUE(Login("alice", "alice-pw", 9 * 60)["state"].asBool());
  EXPECT_FALSE(PostJson("/app/clogin", "account=alice&account=bob")["state"].asBool());

  // The space query needs the resource token of a login of that user.
  Json::Value space = GetJson("/app/user/space?source=" + login_["resource"].asString() +
                              "&user_id=" + login_["user_id"].asString());
  EXPECT_TRUE(space["state"].asBool());
  EXPECT_EQ(login_["user_id"].asString(), space["user_id"].asString());
  EXPECT_EQ(0u, space["space"]["byte_size_used"].asUInt64());
  EXPECT_FALSE(
      GetJson("/app/user/space?source=guess&user_id=" + login_["user_id"].asString())["state"]
          .asBool());
}

TEST_F(ServiceTest, AccountNamesWithPlusOrPercentLogInWrittenRawOrEncoded) {
  StartServer({"--user", "a+b%41c:pw", "--user", "x%zz:pw"});
  std::string digest;
  PasswordDigest("pw", &digest);
  const std::string now = std::to_string(static_cast<int64_t>(std::time(nullptr)));
  for (const auto& [account, sent] :
       std::vector<std::pair<std::string, std::string>>{{"a+b%41c", "a+b%41c"},
                                                        {"a+b%41c", "a%2Bb%2541c"},
                                                        {"x%zz", "x%zz"},
                                                        {"x%zz", "x%25zz"}}) {
    const std::string body = "account=" + sent + "&_time=" + now +
                             "&version=win_1.0.1026.4&sign=" + LoginSign(account, digest, now);
    Json::Value v = PostJson("/app/clogin", body);
    EXPECT_TRUE(v["state"].asBool()) << sent << " " << v;
    EXPECT_EQ(account, v["user_name"].asString());
  }
}

TEST_F(ServiceTest, NamesCountInUtf16UnitsAndMisleadingOnesAreRefused) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  std::string chinese;
  for (int i = 0; i < 90; ++i) chinese += "\xE4\xB8\xAD";
  const std::string content = "ninety characters";
  Upload u = Start(content, chinese + ".txt", "");
  ASSERT_EQ(1, u.answer["status"].asInt()) << u.answer;
  EXPECT_EQ(1, SendAll(u, content));
  EXPECT_EQ(Sha1(content), Exported("alice")[chinese + ".txt"]);
  EXPECT_EQ(402, Start("x", "invoice\xE2\x80\xAEtxt.exe", "").answer["statuscode"].asInt());
  EXPECT_EQ(402, Start("x", "a\xC2\x9B.txt", "").answer["statuscode"].asInt());
  EXPECT_EQ(402, Start("x", "ok.txt", "dir\xE2\x80\x8B").answer["statuscode"].asInt());
}

TEST_F(ServiceTest, UploadInThreeRangesThenSameContentElsewhereIsInstant) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(2 * kChunk + 4321, 1);
  Upload u = Start(content, "movie.bin", "Root/a");
  ASSERT_EQ(0, u.answer["statuscode"].asInt()) << u.answer;
  ASSERT_EQ(1, u.answer["status"].asInt());
  EXPECT_EQ(server_->base() + "/upload", u.answer["uploadurl"].asString());
  EXPECT_FALSE(u.key.empty());
  EXPECT_NE(login_["target"].asString(), u.answer["target"].asString()) << "a folder was made";
  EXPECT_EQ(3, SendAll(u, content));
  EXPECT_EQ(content.size(), Check(u)["offset"].asUInt64()) << "a late check sees it all";

  Upload copy = Start(content, "copy.bin", "Root/b");
  EXPECT_EQ(0, copy.answer["statuscode"].asInt());
  EXPECT_EQ(2, copy.answer["status"].asInt()) << copy.answer;
  EXPECT_FALSE(copy.pickCode.empty());
  EXPECT_NE(copy.pickCode, u.pickCode);

  // The same path again finds its folders instead of making new ones.
  Upload again = Start(RandomBytes(100, 2), "other.txt", "Root/a");
  EXPECT_EQ(u.answer["target"].asString(), again.answer["target"].asString());
  EXPECT_EQ(1, SendAll(again, RandomBytes(100, 2)));

  auto files = Exported("alice");
  ASSERT_EQ(3u, files.size());
  EXPECT_EQ(Sha1(content), files["Root/a/movie.bin"]);
  EXPECT_EQ(Sha1(content), files["Root/b/copy.bin"]);
  EXPECT_EQ(Sha1(RandomBytes(100, 2)), files["Root/a/other.txt"]);

  // Quota is charged per file entry, also for the instant copy.
  Json::Value space = GetJson("/app/user/space?source=" + login_["resource"].asString() +
                              "&user_id=" + login_["user_id"].asString());
  EXPECT_EQ(2 * content.size() + 100, space["space"]["byte_size_used"].asUInt64());

  // The same file into the same place again is instant and charges nothing.
  Upload same = Start(content, "movie.bin", "Root/a");
  EXPECT_EQ(2, same.answer["status"].asInt());
  EXPECT_EQ(u.pickCode, same.pickCode);
  EXPECT_EQ(3u, Exported("alice").size());
}

TEST_F(ServiceTest, SampleMatchAsksForTheWholeFileIdentity) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(kChunk + 30000, 3);
  // Class 1 files come with the sample identity only.
  Upload u = Start(content, "a.bin", "", false, true);
  ASSERT_EQ(1, u.answer["status"].asInt());
  EXPECT_EQ(2, SendAll(u, content));

  Json::Value v = Dispatch("url_upload", "b.bin", content.size(), "", "", QuickId(content), "");
  EXPECT_EQ(300, v["statuscode"].asInt()) << v;
  EXPECT_FALSE(v["statusmsg"].asString().empty());
  v = Dispatch("url_upload", "b.bin", content.size(), "", Sha1(content), QuickId(content), "");
  EXPECT_EQ(0, v["statuscode"].asInt());
  EXPECT_EQ(2, v["status"].asInt());

  // Same sample and size but other content: the full identity decides, and a
  // normal upload follows.
  std::string twin = content;
  twin[20000 + 5120 * 0 + 6000] ^= 1;  // outside every sample
  ASSERT_EQ(QuickId(content), QuickId(twin));
  v = Dispatch("url_upload", "twin.bin", twin.size(), "", Sha1(twin), QuickId(twin), "");
  EXPECT_EQ(1, v["status"].asInt()) << v;
  EXPECT_EQ(Sha1(content), Exported("alice")["b.bin"]);
}

TEST_F(ServiceTest, DispatchRefusalsCarryTheirCodes) {
  StartServer({"--size-limit", "5000000"});
  ASSERT_TRUE(Login("bob", "bob-pw")["state"].asBool());  // quota 3000000
  const std::string fid = Sha1("x");
  auto code = [](const Json::Value& v) { return v["statuscode"].asInt(); };
  EXPECT_EQ(0, code(Dispatch("url_upload", "ok.txt", 10, "", fid, "", "")));
  EXPECT_EQ(400, code(Dispatch("url_upload", "ok.txt", 10, "", fid, "", "", "", true)));
  EXPECT_EQ(401, code(Dispatch("url_upload", "ok.txt", 10, "", fid, "", "", "", false, "999999")));
  for (const char* name : {"a/b", "a\\b", "..", ".", "", "bad\x01name", "nul\x7f"}) {
    EXPECT_EQ(402, code(Dispatch("url_upload", name, 10, "", fid, "", ""))) << name;
  }
  for (const char* path : {"a/../b", "a//b", "/a", "a/", "x/\x1f"}) {
    EXPECT_EQ(402, code(Dispatch("url_upload", "f", 10, path, fid, "", ""))) << path;
  }
  EXPECT_EQ(402, code(Dispatch("url_upload", "f", 10, "", "", "", "")));
  EXPECT_EQ(402, code(Dispatch("url_upload", "f", 10, "", "XYZ", "", "")));
  EXPECT_EQ(402, code(Dispatch("url_upload", "f", 10, "", std::string(40, 'G'), "", "")));
  EXPECT_EQ(402, code(Dispatch("url_upload", "f", 10, "", "", std::string(39, 'A') + ":", "")));
  EXPECT_EQ(402, code(Dispatch("url_upload", "f", 0, "", fid, "", "")));
  EXPECT_EQ(411, code(Dispatch("url_upload", "f", 5000001, "", fid, "", "")));
  EXPECT_EQ(410, code(Dispatch("url_upload", "f", 2999995, "", Sha1("y"), "", "")))
      << "the open session of ok.txt is reserved";
  EXPECT_EQ(412, code(Dispatch("url_resume", "f", 10, "", fid, "", "nosuchcode")));
  EXPECT_EQ(10014, code(Dispatch("url_upload", "f", 10, "", fid, "", "", "999999")));
  // Another user's folder is no target either.
  std::string bobs_root = login_["target"].asString();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  EXPECT_EQ(10014, code(Dispatch("url_upload", "f", 10, "", fid, "", "", bobs_root)));
  // Refusals leave no folders behind, also when the content is held.
  ASSERT_TRUE(Login("bob", "bob-pw")["state"].asBool());
  EXPECT_EQ(410, code(Dispatch("url_upload", "f", 2999995, "made/nothing", Sha1("z"), "", "")));
  const std::string held = RandomBytes(2000000, 16);
  Upload first = Start(held, "held.bin", "kept");
  ASSERT_EQ(2, SendAll(first, held));
  EXPECT_EQ(
      410, code(Dispatch("url_upload", "copy.bin", held.size(), "made/twice", Sha1(held), "", "")));
  httplib::Client c("127.0.0.1", server_->port());
  const std::string cookie = WebLogin("bob", "bob-pw");
  ASSERT_FALSE(cookie.empty());
  auto page = c.Get("/", {{"Cookie", cookie}});
  ASSERT_TRUE(page);
  EXPECT_NE(std::string::npos, page->body.find(">kept/</bdi>"));
  EXPECT_EQ(std::string::npos, page->body.find("made")) << page->body;
}

TEST_F(ServiceTest, RangeRefusalsAndResends) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(2 * kChunk + 10, 4);
  Upload u = Start(content, "r.bin", "");
  const std::string first = content.substr(0, kChunk);
  auto code = [](const Json::Value& v) { return v["statuscode"].asInt(); };
  EXPECT_EQ(405, code(Range(u, 0, first, Sha1("other"))));
  EXPECT_EQ(400, code(Range(u, 0, first, "", true)));
  EXPECT_EQ(400, code(Check(u, 0, true)));
  EXPECT_EQ(403, code(Check(u, -1)));
  // Check and range read the key alike: a stale key time or another file
  // size is refused by both.
  Upload stale = u;
  stale.time -= 1;
  EXPECT_EQ(403, code(Range(stale, 0, first)));
  Upload resized = u;
  resized.size += 1;
  EXPECT_EQ(402, code(Check(resized)));
  EXPECT_EQ(402, code(Range(resized, 0, first)));
  EXPECT_EQ(404, code(Range(u, kChunk, content.substr(kChunk, kChunk)))) << "a gap";
  EXPECT_EQ(0u, Check(u)["offset"].asUInt64()) << "refused ranges store nothing";
  Json::Value v = Range(u, 0, first);
  EXPECT_EQ(0, code(v));
  EXPECT_EQ(kChunk, v["offset"].asUInt64());
  // A resent range already held is acknowledged without being written again.
  v = Range(u, 0, first);
  EXPECT_EQ(0, code(v));
  EXPECT_EQ(kChunk, v["offset"].asUInt64());
  // A range over the end of the file, or longer than 1 MiB, is refused.
  EXPECT_EQ(404, code(Range(u, kChunk, content.substr(kChunk, kChunk) + "x")));
  Upload huge = Start(RandomBytes(3 * kChunk, 5), "huge.bin", "");
  auto r = RawRange(huge, 0, RandomBytes(kChunk + 1, 5).substr(0, kChunk + 1));
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->status != 200 || code(ParseJson(r->body)) == 404) << r->status;

  // A new dispatch renews the key: the old one is refused from then on.
  Json::Value again =
      Dispatch("url_resume", "r.bin", content.size(), "", u.fileId, u.quickId, u.pickCode);
  ASSERT_EQ(0, code(again)) << again;
  EXPECT_EQ(u.pickCode, again["pickcode"].asString());
  EXPECT_EQ(400, code(Check(u)));
  Upload renewed = u;
  renewed.answer = again;
  Adopt(&renewed);
  EXPECT_EQ(kChunk, Check(renewed)["offset"].asUInt64());
  EXPECT_EQ(2, SendAll(renewed, content));
  EXPECT_EQ(Sha1(content), Exported("alice")["r.bin"]);

  // The last answer got lost: a resend of the last range and a new dispatch
  // both learn that the upload is complete, and nothing is stored twice.
  Json::Value last = Range(renewed, 2 * kChunk, content.substr(2 * kChunk));
  EXPECT_EQ(0, code(last)) << last;
  EXPECT_EQ(content.size(), last["offset"].asUInt64());
  Json::Value done =
      Dispatch("url_resume", "r.bin", content.size(), "", u.fileId, u.quickId, u.pickCode);
  EXPECT_EQ(0, code(done));
  EXPECT_EQ(2, done["status"].asInt());
  EXPECT_EQ(u.pickCode, done["pickcode"].asString());
  EXPECT_EQ(1u, Exported("alice").size());
}

TEST_F(ServiceTest, RangesHoldingTheBoundaryAreStoredExactly) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = "a log of ranges: \r\n--" + std::string(kBoundary) +
                              "\r\nContent-Disposition: form-data; name=\"cthash\"\r\n\r\n0\r\n--" +
                              kBoundary + "--";
  Upload u = Start(content, "protocol.log", "");
  EXPECT_EQ(1, SendAll(u, content));
  EXPECT_EQ(Sha1(content), Exported("alice")["protocol.log"]);
}

TEST_F(ServiceTest, ASecondFileOfTheSameNameIsKeptBesideTheFirst) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string v1 = RandomBytes(3000, 30), v2 = RandomBytes(4000, 31),
                    v3 = RandomBytes(10, 32);
  Upload first = Start(v1, "notes.txt", "d");
  ASSERT_EQ(1, SendAll(first, v1));
  Upload second = Start(v2, "notes.txt", "d");
  ASSERT_EQ(1, SendAll(second, v2));
  Upload instant = Start(v1, "notes.txt", "e");
  ASSERT_EQ(2, instant.answer["status"].asInt());
  Upload instant_again = Start(v2, "notes.txt", "e");
  ASSERT_EQ(2, instant_again.answer["status"].asInt());
  EXPECT_NE(instant.pickCode, instant_again.pickCode);
  auto files = Exported("alice");
  EXPECT_EQ(Sha1(v1), files["d/notes.txt"]);
  EXPECT_EQ(Sha1(v2), files["d/notes (2).txt"]);
  EXPECT_EQ(Sha1(v1), files["e/notes.txt"]);
  EXPECT_EQ(Sha1(v2), files["e/notes (2).txt"]);
  EXPECT_EQ(4u, files.size());
  EXPECT_EQ(v1.size(), Check(first)["offset"].asUInt64()) << "the older file keeps its pick code";

  // Content no file refers to is reclaimed at start-up.
  EXPECT_EQ(-1, server_->Stop(SIGKILL));
  const std::string orphan = Sha1(v3);
  std::filesystem::create_directories(dir_ + "/content/blobs/" + orphan.substr(0, 2));
  { std::ofstream(dir_ + "/content/blobs/" + orphan.substr(0, 2) + "/" + orphan) << v3; }
  ExecSql(dir_, "INSERT INTO blobs(sha1, size, quickid) VALUES('" + orphan + "', 10, '')");
  StartServer();
  EXPECT_FALSE(
      std::filesystem::exists(dir_ + "/content/blobs/" + orphan.substr(0, 2) + "/" + orphan));
  EXPECT_EQ(1, Start(v3, "v3.bin", "").answer["status"].asInt()) << "not held any more";
  EXPECT_EQ(Sha1(v2), Exported("alice")["d/notes (2).txt"]);
}

TEST_F(ServiceTest, ExpiredUploadKeysAreRefusedUntilANewDispatch) {
  StartServer({"--key-lifetime", "1"});
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(kChunk + 1, 13);
  Upload u = Start(content, "slow.bin", "");
  ASSERT_EQ(0, Range(u, 0, content.substr(0, kChunk))["statuscode"].asInt());
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(403, Check(u)["statuscode"].asInt());
  EXPECT_EQ(403, Range(u, kChunk, content.substr(kChunk))["statuscode"].asInt());
  Upload renewed = u;
  renewed.answer =
      Dispatch("url_resume", "slow.bin", content.size(), "", u.fileId, u.quickId, u.pickCode);
  Adopt(&renewed);
  EXPECT_EQ(1, SendAll(renewed, content));
  EXPECT_EQ(Sha1(content), Exported("alice")["slow.bin"]);
}

TEST_F(ServiceTest, AbandonedUploadsReleaseTheirQuotaAndData) {
  StartServer({"--session-lifetime", "1"});
  ASSERT_TRUE(Login("bob", "bob-pw")["state"].asBool());  // quota 3000000
  const std::string content = RandomBytes(2000000, 14);
  Upload u = Start(content, "left.bin", "");
  ASSERT_EQ(0, Range(u, 0, content.substr(0, kChunk))["statuscode"].asInt());
  const std::string other = RandomBytes(1500000, 15);
  EXPECT_EQ(410, Start(other, "other.bin", "").answer["statuscode"].asInt()) << "reserved";
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  Upload next = Start(other, "other.bin", "");
  EXPECT_EQ(0, next.answer["statuscode"].asInt()) << next.answer;
  EXPECT_EQ(412, Check(u)["statuscode"].asInt());
  EXPECT_TRUE(std::filesystem::is_empty(dir_ + "/content/partial")) << "its data is gone";
  EXPECT_EQ(2, SendAll(next, other));
}

TEST_F(ServiceTest, ContentNotMatchingItsIdentityIsDiscarded) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string announced = RandomBytes(3000, 6);
  const std::string sent = RandomBytes(3000, 7);
  Upload u = Start(announced, "liar.bin", "");
  // Every range hash matches what is sent, but the whole differs from fileid.
  Json::Value v = Range(u, 0, sent);
  EXPECT_EQ(405, v["statuscode"].asInt()) << v;
  EXPECT_EQ(412, Check(u)["statuscode"].asInt()) << "the session is gone";
  EXPECT_TRUE(Exported("alice").empty());
}

TEST_F(ServiceTest, CancelDropsTheSessionAndItsData) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(kChunk + 5, 8);
  Upload u = Start(content, "c.bin", "");
  ASSERT_EQ(0, Range(u, 0, content.substr(0, kChunk))["statuscode"].asInt());
  Json::Value v =
      Dispatch("url_cancel", "c.bin", content.size(), "", u.fileId, u.quickId, u.pickCode);
  EXPECT_EQ(0, v["statuscode"].asInt()) << v;
  EXPECT_EQ(412, Check(u)["statuscode"].asInt());
  EXPECT_EQ(412, Dispatch("url_resume", "c.bin", content.size(), "", u.fileId, u.quickId,
                          u.pickCode)["statuscode"]
                     .asInt());
  EXPECT_TRUE(std::filesystem::is_empty(dir_ + "/content/partial"));
  Json::Value space = GetJson("/app/user/space?source=" + login_["resource"].asString() +
                              "&user_id=" + login_["user_id"].asString());
  EXPECT_EQ(0u, space["space"]["byte_size_used"].asUInt64());
}

TEST_F(ServiceTest, InjectedFaultsServeTheRetryPaths) {
  StartServer(
      {"--faults", "bigupload:drop=20000*1,dispatch:status=501*1,space:fail*1,check:delay=300*1"});
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(300000, 9);
  Json::Value busy = Dispatch("url_upload", "f.bin", content.size(), "", Sha1(content), "", "");
  EXPECT_EQ(501, busy["statuscode"].asInt());
  Upload u = Start(content, "f.bin", "");
  ASSERT_EQ(1, u.answer["status"].asInt()) << u.answer;

  // The connection breaks inside the range: no answer arrives.
  auto dropped = RawRange(u, 0, content);
  EXPECT_FALSE(dropped) << "a dropped range gets no answer at all: " << dropped->status;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0u, Check(u)["offset"].asUInt64());
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
  Json::Value v = Range(u, 0, content);
  EXPECT_EQ(content.size(), v["offset"].asUInt64()) << v;
  EXPECT_EQ(Sha1(content), Exported("alice")["f.bin"]);

  httplib::Client c("127.0.0.1", server_->port());
  auto space = c.Get(("/app/user/space?source=" + login_["resource"].asString() +
                      "&user_id=" + login_["user_id"].asString())
                         .c_str());
  ASSERT_TRUE(space);
  EXPECT_EQ(500, space->status);
  EXPECT_TRUE(GetJson("/app/user/space?source=" + login_["resource"].asString() +
                      "&user_id=" + login_["user_id"].asString())["state"]
                  .asBool());
}

TEST_F(ServiceTest, KilledMidUploadResumesFromTheLastDurableOffset) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(3 * kChunk + 777, 10);
  Upload u = Start(content, "survivor.bin", "deep/er");
  ASSERT_EQ(0, Range(u, 0, content.substr(0, kChunk))["statuscode"].asInt());
  ASSERT_EQ(0, Range(u, kChunk, content.substr(kChunk, kChunk))["statuscode"].asInt());
  EXPECT_EQ(-1, server_->Stop(SIGKILL));

  StartServer();
  // The client keeps its login across the service's restart.
  Json::Value again = Dispatch("url_resume", "survivor.bin", content.size(), "deep/er", u.fileId,
                               u.quickId, u.pickCode);
  ASSERT_EQ(0, again["statuscode"].asInt()) << again;
  Upload resumed = u;
  resumed.answer = again;
  Adopt(&resumed);
  EXPECT_EQ(2 * kChunk, Check(resumed)["offset"].asUInt64());
  EXPECT_EQ(2, SendAll(resumed, content));
  EXPECT_EQ(Sha1(content), Exported("alice")["deep/er/survivor.bin"]);
  EXPECT_EQ(0, server_->Stop(SIGTERM)) << "a clean stop exits 0";

  StartServer();
  EXPECT_EQ(Sha1(content), Exported("alice")["deep/er/survivor.bin"]) << "the data folder survives";
}

TEST_F(ServiceTest, KilledBeforeTheLastRangeBecomesAFileNothingIsReportedDone) {
  StartServer({"--faults", "finish:delay=60000"});
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(kChunk + 100, 20);
  Upload u = Start(content, "last.bin", "");
  ASSERT_EQ(0, Range(u, 0, content.substr(0, kChunk))["statuscode"].asInt());
  {
    // The last range is written, then held before it becomes a file.
    httplib::Client c("127.0.0.1", server_->port());
    c.set_read_timeout(1, 0);
    EXPECT_FALSE(c.Post(TransferQuery(u, "bigupload").c_str(),
                        RangeBody(u, kChunk, content.substr(kChunk)),
                        (std::string("multipart/form-data; boundary=") + kBoundary).c_str()));
  }
  EXPECT_EQ(-1, server_->Stop(SIGKILL));

  StartServer();
  EXPECT_TRUE(Exported("alice").empty());
  EXPECT_EQ(kChunk, Check(u)["offset"].asUInt64()) << "not the whole file";
  EXPECT_EQ(-1, server_->Stop(SIGKILL));

  // A session recorded at its full size (by an older version) is finished at start-up.
  ExecSql(dir_, "UPDATE sessions SET offset = size");
  StartServer();
  EXPECT_EQ(Sha1(content), Exported("alice")["last.bin"]);
  EXPECT_EQ(content.size(), Check(u)["offset"].asUInt64());
  EXPECT_TRUE(std::filesystem::is_empty(dir_ + "/content/partial"));
}

TEST_F(ServiceTest, ARangeWaitingForItsSessionNeverWritesIntoALaterOne) {
  StartServer({"--faults", "rangelock:delay=1500"});
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string mine = RandomBytes(10, 21);
  Upload u = Start(mine, "mine.bin", "");
  Json::Value late;
  std::thread range([&] { late = Range(u, 0, mine); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // While that range waits: a cancel, and another user's new upload.
  Json::Value alice = login_;
  ASSERT_EQ(0, Dispatch("url_cancel", "mine.bin", mine.size(), "", u.fileId, u.quickId,
                        u.pickCode)["statuscode"]
                   .asInt());
  ASSERT_TRUE(Login("bob", "bob-pw")["state"].asBool());
  const std::string theirs = RandomBytes(20, 22);
  Upload b = Start(theirs, "theirs.bin", "");
  ASSERT_EQ(1, b.answer["status"].asInt()) << b.answer;
  range.join();
  EXPECT_EQ(412, late["statuscode"].asInt()) << late;
  EXPECT_EQ(0u, Check(b)["offset"].asUInt64()) << "bob's session holds nothing of alice's";
  EXPECT_EQ(1, SendAll(b, theirs));
  EXPECT_EQ(Sha1(theirs), Exported("bob")["theirs.bin"]);
}

TEST_F(ServiceTest, AFailedMoveIntoPlaceListsNoFileAndTheRangeCanBeResent) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(5000, 23);
  Upload u = Start(content, "blocked.bin", "");
  // A file where the blob's folder belongs makes naming the blob fail.
  const std::string obstacle = dir_ + "/content/blobs/" + Sha1(content).substr(0, 2);
  { std::ofstream(obstacle) << "x"; }
  EXPECT_EQ(500, Range(u, 0, content)["statuscode"].asInt());
  EXPECT_TRUE(Exported("alice").empty()) << "no file without its content";
  EXPECT_EQ(0u, Check(u)["offset"].asUInt64());
  std::filesystem::remove(obstacle);
  EXPECT_EQ(content.size(), Range(u, 0, content)["offset"].asUInt64());
  EXPECT_EQ(Sha1(content), Exported("alice")["blocked.bin"]);
}

TEST_F(ServiceTest, ResumingASessionWhoseContentIsHeldEndsItInAFile) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = RandomBytes(kChunk + 9, 24);
  Upload u = Start(content, "first.bin", "");
  ASSERT_EQ(0, Range(u, 0, content.substr(0, kChunk))["statuscode"].asInt());
  Upload other = Start(content, "second.bin", "");
  ASSERT_EQ(2, SendAll(other, content));
  Json::Value v =
      Dispatch("url_resume", "first.bin", content.size(), "", u.fileId, u.quickId, u.pickCode);
  EXPECT_EQ(2, v["status"].asInt()) << v;
  EXPECT_EQ(u.pickCode, v["pickcode"].asString());
  EXPECT_EQ(Sha1(content), Exported("alice")["first.bin"]);
  EXPECT_TRUE(std::filesystem::is_empty(dir_ + "/content/partial"));
  EXPECT_EQ(-1, server_->Stop(SIGKILL));
  StartServer();
  EXPECT_EQ(2u, Exported("alice").size());
}

TEST_F(ServiceTest, TwoClientsUploadAtOnce) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  Json::Value alice = login_;
  ASSERT_TRUE(Login("bob", "bob-pw")["state"].asBool());
  Json::Value bob = login_;
  const std::string a = RandomBytes(2 * kChunk + 1, 11);
  const std::string b = RandomBytes(kChunk / 2 + 3, 12);
  // Each thread works on its own fixture copy of the login state.
  auto run = [this](Json::Value login, std::string content, std::string name, int* ranges) {
    auto* self = this;
    Upload u;
    u.size = content.size();
    u.fileId = Sha1(content);
    u.quickId = QuickId(content);
    std::string target = login["target"].asString(), userid = login["user_id"].asString();
    std::string inner = ToLower(Sha1(userid + u.fileId + u.quickId + target + "0"));
    std::string sig = Sha1(login["userkey"].asString() + inner + "503418");
    auto r =
        self->Post("/app/upload?appid=0&appversion=win_1.0.1026.4&format=json&isp=0&sig=" + sig,
                   "userid=" + userid + "&filename=" + name +
                       "&filesize=" + std::to_string(u.size) + "&target=" + target +
                       "&path=&fileid=" + u.fileId + "&quickid=" + u.quickId + "&pickcode=");
    ASSERT_TRUE(r);
    u.answer = ParseJson(r->body);
    u.pickCode = u.answer["pickcode"].asString();
    u.key = u.answer["uploadkey"].asString();
    u.time = u.answer["uploadtime"].asInt64();
    std::string sig2 = Sha1("503418" + u.key + "0");
    std::string query =
        "?appid=0&appversion=win_1.0.1026.4&format=json&ets=" + std::to_string(u.time) +
        "&filesize=" + std::to_string(u.size) + "&userid=" + userid + "&pickcode=" + u.pickCode +
        "&sig=" + sig2;
    uint64_t offset = 0;
    while (offset < content.size()) {
      auto rr = self->Post("/upload/2.0/bigupload" + query,
                           RangeBody(u, offset, content.substr(offset, kChunk)),
                           std::string("multipart/form-data; boundary=") + kBoundary);
      ASSERT_TRUE(rr);
      Json::Value v = ParseJson(rr->body);
      ASSERT_EQ(0, v["statuscode"].asInt()) << v;
      offset = v["offset"].asUInt64();
      ++*ranges;
    }
  };
  int ranges_a = 0, ranges_b = 0;
  std::thread ta(run, alice, a, "a.bin", &ranges_a);
  std::thread tb(run, bob, b, "b.bin", &ranges_b);
  ta.join();
  tb.join();
  EXPECT_EQ(3, ranges_a);
  EXPECT_EQ(1, ranges_b);
  EXPECT_EQ(Sha1(a), Exported("alice")["a.bin"]);
  EXPECT_EQ(Sha1(b), Exported("bob")["b.bin"]);
}

TEST_F(ServiceTest, ExportNeedsTheAdminToken) {
  StartServer();
  httplib::Client c("127.0.0.1", server_->port());
  auto r = c.Get("/admin/export");
  ASSERT_TRUE(r);
  EXPECT_EQ(403, r->status);
  r = c.Get("/admin/export", {{"X-Admin-Token", "test-admin-tokeN"}});
  ASSERT_TRUE(r);
  EXPECT_EQ(403, r->status);
  Json::Value v = ParseJson(c.Get("/admin/export", {{"X-Admin-Token", kToken}})->body);
  ASSERT_EQ(2u, v["users"].size());
  EXPECT_EQ("alice", v["users"][0]["account"].asString());
  // Guessing is throttled per address: after ten wrong tokens within a
  // minute even the right one is refused.
  for (int i = 0; i < 8; ++i)
    c.Get("/admin/export", {{"X-Admin-Token", "guess" + std::to_string(i)}});
  r = c.Get("/admin/export", {{"X-Admin-Token", kToken}});
  ASSERT_TRUE(r);
  EXPECT_EQ(403, r->status);
}

TEST_F(ServiceTest, WebPageListsTheFilesAfterAWebLogin) {
  StartServer();
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  const std::string content = "<script>alert(1)</script>";
  Upload u = Start(content, "<b>&.txt", "web");
  ASSERT_EQ(1, SendAll(u, content));

  httplib::Client c("127.0.0.1", server_->port());
  auto page = c.Get("/");
  ASSERT_TRUE(page);
  EXPECT_NE(std::string::npos, page->body.find("action=\"/login\""));
  EXPECT_EQ(std::string::npos, page->body.find(Sha1(content)));
  int status = 0;
  EXPECT_EQ("", WebLogin("alice", "nope", &status));
  EXPECT_EQ(401, status);
  const std::string cookie = WebLogin("alice", "alice-pw", &status);
  ASSERT_EQ(303, status);
  ASSERT_NE(std::string::npos, cookie.find("vexa_session="));
  page = c.Get("/", {{"Cookie", cookie}});
  ASSERT_TRUE(page);
  const std::string link = "<a href=\"/?folder=";
  const size_t folder = page->body.find(link);
  ASSERT_NE(std::string::npos, page->body.find(">web/</bdi>", folder)) << page->body;
  auto opened = c.Get(("/?folder=" + page->body.substr(folder + link.size(),
                                                       page->body.find('"', folder + link.size()) -
                                                           folder - link.size()))
                          .c_str(),
                      {{"Cookie", cookie}});
  ASSERT_TRUE(opened);
  EXPECT_NE(std::string::npos, opened->body.find(Sha1(content)));
  EXPECT_NE(std::string::npos, opened->body.find(">&lt;b&gt;&amp;.txt</bdi>"));
  EXPECT_EQ(std::string::npos, opened->body.find("<b>&"));
  // The pages and their scripts: never framed, only their own scripts, the
  // bridge reachable, no Referer to other sites.
  for (const char* path : {"/", "/upload_page.js"}) {
    auto r = c.Get(path, {{"Cookie", cookie}});
    ASSERT_TRUE(r) << path;
    const std::string csp = r->get_header_value("Content-Security-Policy");
    for (const char* part : {"default-src 'self'", "script-src 'self';", "frame-ancestors 'none'",
                             "connect-src 'self' ws://127.0.0.1:18026 http://127.0.0.1:18026;"}) {
      EXPECT_NE(std::string::npos, csp.find(part)) << path << ": " << csp;
    }
    EXPECT_EQ("DENY", r->get_header_value("X-Frame-Options")) << path;
    EXPECT_EQ("no-referrer", r->get_header_value("Referrer-Policy")) << path;
  }
  EXPECT_EQ(std::string::npos, page->body.find("<b>&"));
  auto out = c.Post("/logout", {{"Cookie", cookie}}, "", "application/x-www-form-urlencoded");
  ASSERT_TRUE(out);
  page = c.Get("/", {{"Cookie", cookie}});
  EXPECT_EQ(std::string::npos, page->body.find("web/"));
}

TEST_F(ServiceTest, WebLoginTakesOnlyPasswordsAndOnlyFromItsOwnForm) {
  StartServer();
  int status = 0;
  // The digest is what a remembered client login sends; typed into the form it
  // is just a wrong password.
  std::string digest;
  PasswordDigest("alice-pw", &digest);
  EXPECT_EQ("", WebLogin("alice", digest, &status));
  EXPECT_EQ(401, status);

  // A form posted from elsewhere carries no matching token and cookie.
  httplib::Client c("127.0.0.1", server_->port());
  auto page = c.Get("/");
  ASSERT_TRUE(page);
  const std::string form_cookie = page->get_header_value("Set-Cookie");
  ASSERT_NE(std::string::npos, form_cookie.find("SameSite=Strict")) << form_cookie;
  for (const auto& [cookie, body] : std::vector<std::pair<std::string, std::string>>{
           {"", "account=alice&password=alice-pw"},
           {form_cookie.substr(0, form_cookie.find(';')), "account=alice&password=alice-pw"},
           {form_cookie.substr(0, form_cookie.find(';')),
            "account=alice&password=alice-pw&token=x"},
           {"vexa_form=x", "account=alice&password=alice-pw&token=x2"}}) {
    httplib::Headers headers;
    if (!cookie.empty()) headers.emplace("Cookie", cookie);
    auto r = c.Post("/login", headers, body, "application/x-www-form-urlencoded");
    ASSERT_TRUE(r);
    EXPECT_EQ(403, r->status) << cookie << " " << body;
    EXPECT_EQ(std::string::npos, r->get_header_value("Set-Cookie").find("vexa_session")) << body;
  }

  // Guessing through the form is limited as through the API.
  for (int i = 0; i < 10; ++i) {
    WebLogin("alice", "guess" + std::to_string(i), &status);
    EXPECT_EQ(401, status);
  }
  EXPECT_EQ("", WebLogin("alice", "alice-pw", &status));
  EXPECT_EQ(401, status);
}

}  // namespace
}  // namespace vexa::server
