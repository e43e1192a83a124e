// The control end to end against the real service, through the dispatcher
// as a page (or the bridge) drives it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "account/account_api.h"
#include "account/api_base.h"
#include "account/test_data_dir.h"
#include "codec/sha1.h"
#include "codec/text.h"
#include "control/control.h"
#include "control/control_task_list.h"
#include "control/selection_reports.h"
#include "control/test_script_host.h"
#include "engine/transfer_test_support.h"
#include "net/http_client.h"
#include "net/testing/test_authority.h"
#include "server/testing/server_process.h"

namespace vexa {
namespace {

constexpr int kStopped = 3, kFailed = 4, kCompleted = 5;

std::string Sha1Of(const std::string& data) {
  std::string hex;
  Sha1Hex(data.data(), data.size(), &hex);
  return ToLower(hex);
}

class ControlServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ProcessHttpClient().useSystemProxy = false;
    InstallUploadWorkers();
  }

  // Arguments of the service beyond the test accounts.
  virtual std::vector<std::string> ServerArgs() { return {}; }

  void SetUp() override {
    server_ = std::make_unique<server::ServerProcess>(data_.File("server"));
    ASSERT_TRUE(server_->Start(ServerArgs()));
    SetAccountApiBase(server_->base());
    TaskList().Clear();
    host_ = std::make_unique<TestScriptHost>();
  }
  void TearDown() override {
    host_.reset();  // logs out: the engine stops
    server_.reset();
    SetAccountApiBase("");
  }

  std::string LoginAs(const std::string& account, const std::string& password) {
    const size_t before = host_->Payloads("LoginEvent").size();
    host_->Call("Login", "[" + JsonQuote(account) + "," + JsonQuote(password) + ",0,0]");
    EXPECT_TRUE(host_->WaitFor([&] { return host_->Payloads("LoginEvent").size() > before; }));
    const auto results = host_->Payloads("LoginEvent");
    return results.size() > before ? results.back() : "";
  }

  std::string MakeFile(const std::string& relative, size_t size, unsigned seed = 1) {
    std::mt19937 gen(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(gen());
    const std::filesystem::path path = data_.File("local/" + relative);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << data;
    contents_[path.string()] = data;
    return path.string();
  }

  void Add(const std::string& path, bool auto_start = true) {
    host_->Call("AddUpload", "[" + JsonQuote(path) + "," + JsonQuote(target_) + ",0," +
                                 (auto_start ? "1" : "0") + "]");
  }

  bool WaitForStatus(const std::string& path, int status) {
    return host_->WaitFor([&] { return host_->HasStatus(path, status); });
  }

  // Remote path -> sha1 of alice's stored files.
  std::map<std::string, std::string> Exported() {
    std::map<std::string, std::string> files;
    const Json::Value exported =
        ExportedFilesOf(server_->port(), "alice", server_->base().rfind("https:", 0) == 0);
    for (const std::string& path : exported.getMemberNames()) {
      files[path] = ToLower(exported[path]["sha1"].asString());
    }
    return files;
  }
  // Whether the service holds `local`'s bytes as `remote`.
  bool Stored(const std::string& local, const std::string& remote) {
    const auto files = Exported();
    auto it = files.find(remote);
    if (it == files.end()) {
      std::string names;
      for (const auto& f : files) names += " " + f.first;
      ADD_FAILURE() << remote << " is not stored; stored:" << names;
      return false;
    }
    return it->second == Sha1Of(contents_[local]);
  }

  TestDataDir data_;
  std::unique_ptr<server::ServerProcess> server_;
  std::unique_ptr<TestScriptHost> host_;
  std::map<std::string, std::string> contents_;
  std::string target_;
};

TEST_F(ControlServiceTest, LoginReportsItsResultAndFillsTheGetters) {
  EXPECT_EQ("||0|0", host_->Call("GetAccountInfo").asString());
  const std::string failed = LoginAs("alice", "wrong");
  ASSERT_EQ("0|", failed.substr(0, 2));
  EXPECT_GT(failed.size(), 2u);
  EXPECT_EQ("", host_->Call("GetUserId").asString());

  EXPECT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  EXPECT_NE("", host_->Call("GetUserId").asString());
  EXPECT_NE("", host_->Call("GetTarget").asString());
  EXPECT_EQ("alice", host_->Call("GetName").asString());
  EXPECT_EQ(1, host_->Call("GetAllowUpload").asInt());
  const std::string space = host_->Call("GetSpaceInfo").asString();
  EXPECT_EQ(2, std::count(space.begin(), space.end(), '|')) << space;
  EXPECT_EQ("alice||0|0", host_->Call("GetAccountInfo").asString());
  std::string remembered;
  ASSERT_TRUE(ReadRememberedApiBase(&remembered));
  EXPECT_EQ(server_->base(), remembered);
  // A second Login only reports the session again.
  EXPECT_EQ("1|ok", LoginAs("alice", "whatever"));

  host_->Call("Logout");
  EXPECT_EQ(0, host_->Call("GetAllowUpload").asInt());
  EXPECT_EQ("", host_->Call("GetTarget").asString());
}

TEST_F(ControlServiceTest, UploadsAFileAndAFolder) {
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  target_ = host_->Call("GetTarget").asString();
  const std::string file = MakeFile("one.bin", 3 * 1024 * 1024 + 5, 1);
  const std::string a = MakeFile("docs/a.txt", 1000, 2);
  const std::string b = MakeFile("docs/sub/b|\xE6\x96\x87.txt", 70000, 3);
  const std::string folder = data_.File("local/docs");
  Add(file);
  Add(folder);
  ASSERT_TRUE(WaitForStatus(file, kCompleted));
  ASSERT_TRUE(WaitForStatus(folder, kCompleted));
  EXPECT_TRUE(Stored(file, "one.bin"));
  EXPECT_TRUE(Stored(a, "docs/a.txt"));
  EXPECT_TRUE(Stored(b, "docs/sub/b|\xE6\x96\x87.txt"));

  // The rows arrive in posting order: waiting first, completed last, bytes
  // never going back.
  const auto rows = host_->Rows(file);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ("0", rows.front()[6]);
  EXPECT_EQ("5", rows.back()[6]);
  for (size_t i = 1; i < rows.size(); ++i)
    EXPECT_LE(std::stoll(rows[i - 1][3]), std::stoll(rows[i][3]));
  EXPECT_EQ("1", host_->Rows(folder).back()[12]);  // is-folder
  // Completed rows are fired but leave LoadTask's list.
  host_->ClearLines();
  host_->Call("LoadTask");
  EXPECT_TRUE(host_->Payloads("LoadTaskEvent").empty());
}

TEST_F(ControlServiceTest, StopReportsAtOnceAndStartResumes) {
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  target_ = host_->Call("GetTarget").asString();
  const std::string file = MakeFile("big.bin", 24 * 1024 * 1024, 4);
  Add(file);
  host_->Call("StopUpload", "[" + JsonQuote(file) + "]");
  // Reported during the call: the first dispatch after it fires it.
  host_->dispatcher().DispatchEvents();
  EXPECT_TRUE(host_->HasStatus(file, kStopped));
  host_->ClearLines();
  host_->Call("LoadTask");
  ASSERT_EQ(1u, host_->Rows(file, "LoadTaskEvent").size());
  EXPECT_EQ("3", host_->Rows(file, "LoadTaskEvent")[0][6]);

  host_->Call("StartUpload", "[" + JsonQuote(file) + "]");
  ASSERT_TRUE(WaitForStatus(file, kCompleted));
  EXPECT_TRUE(Stored(file, "big.bin"));
}

TEST_F(ControlServiceTest, CancelReportsNothingAndDropsTheRow) {
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  target_ = host_->Call("GetTarget").asString();
  const std::string file = MakeFile("later.bin", 5000, 5);
  Add(file, false);
  ASSERT_TRUE(WaitForStatus(file, kStopped));
  host_->ClearLines();
  host_->Call("CancelUpload", "[" + JsonQuote(file) + "]");
  host_->Pump(1500);
  EXPECT_TRUE(host_->Rows(file).empty());
  host_->Call("LoadTask");
  EXPECT_TRUE(host_->Rows(file, "LoadTaskEvent").empty());
  EXPECT_TRUE(Exported().empty());
}

TEST_F(ControlServiceTest, StartWithoutRecordFailsWithNoTarget) {
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  const std::string file = MakeFile("never.bin", 100, 6);
  host_->Call("StartUpload", "[" + JsonQuote(file) + "]");
  ASSERT_TRUE(WaitForStatus(file, kFailed));
  EXPECT_EQ("1012", host_->Rows(file).back()[9]);
  // A missing path is queued as a file and fails with the system's code.
  const std::string missing = data_.File("local/missing.bin");
  target_ = host_->Call("GetTarget").asString();
  Add(missing);
  ASSERT_TRUE(WaitForStatus(missing, kFailed));
  EXPECT_EQ("2", host_->Rows(missing).back()[9]);
}

TEST_F(ControlServiceTest, CreateUploadQueuesWhatWasChosen) {
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  target_ = host_->Call("GetTarget").asString();
  const std::string x = MakeFile("pick/x.bin", 300, 7);
  const std::string y = MakeFile("pick/y.bin", 400, 8);
  const std::string script = data_.File("chooser.sh");
  std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' '" << data_.File("local/pick")
                        << "' x.bin y.bin\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  setenv("VEXAUPLOAD_CHOOSER", script.c_str(), 1);
  host_->Call("CreateUpload", "[3," + JsonQuote(target_) + ",0,0]");
  host_->Pump(300);
  EXPECT_TRUE(host_->Rows(x).empty());
  // With auto-start off every chosen file is only recorded, stopped.
  host_->Call("CreateUpload", "[1," + JsonQuote(target_) + ",0,0]");
  EXPECT_TRUE(WaitForStatus(x, kStopped));
  EXPECT_TRUE(WaitForStatus(y, kStopped));
  unsetenv("VEXAUPLOAD_CHOOSER");
}

TEST_F(ControlServiceTest, LoadUnfinishTaskListsAFoldersFailedMembers) {
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  target_ = host_->Call("GetTarget").asString();
  MakeFile("mixed/good.bin", 500, 9);
  const std::string empty = MakeFile("mixed/empty.bin", 0);
  const std::string folder = data_.File("local/mixed");
  Add(folder);
  ASSERT_TRUE(host_->WaitFor(
      [&] { return host_->HasStatus(folder, kFailed) || host_->HasStatus(folder, kCompleted); }));
  host_->ClearLines();
  host_->Call("LoadUnfinishTask", "[" + JsonQuote(folder) + "]");
  const auto failed = host_->Payloads("LoadUnfinishTaskEvent");
  ASSERT_EQ(1u, failed.size());
  EXPECT_EQ(empty + "|", failed[0].substr(0, empty.size() + 1));
  EXPECT_GT(failed[0].size(), empty.size() + 1);  // with its error text
  // Nothing for a folder the engine does not know.
  host_->ClearLines();
  host_->Call("LoadUnfinishTask", "[\"/nowhere\"]");
  EXPECT_TRUE(host_->Payloads("LoadUnfinishTaskEvent").empty());
}

// A member that failed in a way a retry may cure is still listed after the
// engine was stopped and started again from the resume store (another
// process), and a resume then retries it.
class ControlRetryableFailureTest : public ControlServiceTest {
 protected:
  std::vector<std::string> ServerArgs() override { return {"--faults", "dispatch:status=999*1"}; }
};

TEST_F(ControlRetryableFailureTest, AFailedMemberIsListedByTheNextLoginUntilRetried) {
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  target_ = host_->Call("GetTarget").asString();
  const std::string first = MakeFile("again/a.bin", 700, 20);
  const std::string second = MakeFile("again/b.bin", 900, 21);
  const std::string folder = data_.File("local/again");
  Add(folder);
  ASSERT_TRUE(WaitForStatus(folder, kFailed));
  const auto failed_members = [&] {
    host_->ClearLines();
    host_->Call("LoadUnfinishTask", "[" + JsonQuote(folder) + "]");
    std::vector<std::string> paths;
    for (const std::string& p : host_->Payloads("LoadUnfinishTaskEvent"))
      paths.push_back(p.substr(0, p.find('|')));
    return paths;
  };
  const std::vector<std::string> failed = failed_members();
  ASSERT_EQ(1u, failed.size());
  EXPECT_TRUE(failed[0] == first || failed[0] == second) << failed[0];

  host_->Call("Logout");
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  EXPECT_EQ(failed, failed_members()) << "the next login lists it too";
  host_->Call("StartUpload", "[" + JsonQuote(folder) + "]");
  ASSERT_TRUE(WaitForStatus(folder, kCompleted));
  EXPECT_TRUE(Stored(first, "again/a.bin") && Stored(second, "again/b.bin"));
  host_->Call("Logout");
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  EXPECT_TRUE(failed_members().empty());
}

// The control as a web page drives it: the page is untrusted.
// The same service over HTTPS, with a certificate of a private authority the
// client is told to trust.
class ControlTlsServiceTest : public ControlServiceTest {
 protected:
  static const TestAuthority& Authority() {
    static const TestAuthority authority;  // its folder goes at exit
    return authority;
  }
  std::vector<std::string> ServerArgs() override {
    const TestAuthority& ca = Authority();
    EXPECT_TRUE(ca.ok()) << ca.error();
    setenv("VEXAUPLOAD_CA_FILE", ca.ca_file().c_str(), 1);
    return {"--tls-cert", ca.cert(cert_), "--tls-key", ca.key(cert_)};
  }
  const char* cert_ = TestAuthority::kGood;
};

TEST_F(ControlTlsServiceTest, LogsInAndUploadsOverTlsByteForByte) {
  ASSERT_EQ(0u, server_->base().rfind("https://127.0.0.1:", 0));
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  const std::string space = host_->Call("GetSpaceInfo").asString();
  EXPECT_EQ(2, std::count(space.begin(), space.end(), '|')) << space;
  target_ = host_->Call("GetTarget").asString();
  // Several ranges, and a folder whose members each get their own dispatch.
  const std::string file = MakeFile("tls.bin", 3 * 1024 * 1024 + 77, 11);
  const std::string a = MakeFile("tlsdir/a.txt", 1500, 12);
  const std::string b = MakeFile("tlsdir/b.bin", 1024 * 1024 + 1, 13);
  Add(file);
  Add(data_.File("local/tlsdir"));
  ASSERT_TRUE(WaitForStatus(file, kCompleted));
  ASSERT_TRUE(WaitForStatus(data_.File("local/tlsdir"), kCompleted));
  EXPECT_TRUE(Stored(file, "tls.bin"));
  EXPECT_TRUE(Stored(a, "tlsdir/a.txt"));
  EXPECT_TRUE(Stored(b, "tlsdir/b.bin"));
}

// A service whose certificate fails the check is refused at the login with
// the server's name and the reason, not as a network failure.
TEST_F(ControlTlsServiceTest, RefusedCertificatesFailTheLoginWithTheirReason) {
  const struct {
    const char* cert;
    const char* reason;
  } cases[] = {
      {TestAuthority::kSelfSigned, "self-signed certificate"},
      {TestAuthority::kOtherName, "IP address mismatch"},
      {TestAuthority::kExpired, "certificate has expired"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cert);
    cert_ = c.cert;
    server_ = std::make_unique<server::ServerProcess>(data_.File(std::string("server-") + c.cert));
    ASSERT_TRUE(server_->Start(ServerArgs()));
    SetAccountApiBase(server_->base());
    const std::string result = LoginAs("alice", "alice-pw");
    EXPECT_EQ(0u, result.rfind("0|certificate of 127.0.0.1 refused: ", 0)) << result;
    EXPECT_NE(std::string::npos, result.find(c.reason)) << result;
    EXPECT_EQ(0, host_->Call("GetAllowUpload").asInt());
  }
}

class PageScriptTest : public ControlServiceTest {
 protected:
  void SetUp() override {
    ControlServiceTest::SetUp();
    host_->dispatcher().control().ServePageScript();
  }
  void TearDown() override {
    unsetenv("VEXAUPLOAD_CHOOSER");
    ControlServiceTest::TearDown();
  }
  // The answer to a call that may be refused.
  JsonValue Answer(const std::string& method, const std::string& params) {
    return host_->Send("{\"id\":99,\"method\":\"" + method + "\",\"params\":" + params + "}");
  }
  // Has the user pick `answer` in this page's chooser (1 files, 2 a folder)
  // and waits until the page hears of it.
  void Choose(int type, const std::string& answer, TestScriptHost* host = nullptr) {
    host = host != nullptr ? host : host_.get();
    const char* event = type == 1 ? "SelectFileEvent" : "SelectFolderEvent";
    const size_t before = host->Payloads(event).size();
    UseScriptedChooser(data_.File(""), answer + "\n");
    host->Call("SelectUpload", "[" + std::to_string(type) + "]");
    ASSERT_TRUE(host->WaitFor([&] { return host->Payloads(event).size() > before; }));
  }
};

TEST_F(PageScriptTest, APageReadsATokenNeverTheDigestAndSignsInWithIt) {
  host_->Call("Login", "[\"alice\",\"alice-pw\",1,1]");
  ASSERT_TRUE(host_->WaitFor([&] { return !host_->Payloads("LoginEvent").empty(); }));
  ASSERT_EQ("1|ok", host_->Payloads("LoginEvent").back());
  const std::string info = host_->Call("GetAccountInfo").asString();
  const std::string token = info.substr(6, info.find('|', 6) - 6);
  EXPECT_EQ("alice|", info.substr(0, 6));
  EXPECT_EQ("|1|1", info.substr(6 + token.size()));
  EXPECT_FALSE(token.empty());
  EXPECT_NE(40u, token.size()) << "never taken for a digest";
  host_->Call("Logout");

  // Another account cannot use the token; the remembered one can, and the
  // digest stays remembered.
  EXPECT_EQ("0|", LoginAs("bob", token).substr(0, 2));
  const size_t before = host_->Payloads("LoginEvent").size();
  host_->Call("Login", "[\"alice\"," + JsonQuote(token) + ",1,1]");
  ASSERT_TRUE(host_->WaitFor([&] { return host_->Payloads("LoginEvent").size() > before; }));
  EXPECT_EQ("1|ok", host_->Payloads("LoginEvent").back());
  const std::string digest = Sha1Of("alice-pw");
  for (const std::string& line : host_->Lines()) {
    EXPECT_EQ(std::string::npos, ToLower(line).find(digest)) << line;
  }
  // The user's own programs still read the digest.
  std::u16string own;
  CUpload().GetAccountInfo(&own);
  EXPECT_EQ("alice|" + digest + "|1|1", WideToUtf8(own));
}

TEST_F(PageScriptTest, APageUploadsOnlyWhatItsUserChose) {
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  target_ = host_->Call("GetTarget").asString();
  const std::string secret = MakeFile("secret.txt", 100, 10);
  const std::string outside = MakeFile("other/x.txt", 100, 11);
  const std::string chosen = MakeFile("chosen.bin", 5000, 12);
  const std::string member = MakeFile("album/a.jpg", 3000, 13);
  // Opening this would block: a refusal must not even look at it.
  const std::string fifo = data_.File("local/fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));

  for (const std::string& path :
       {fifo, secret, data_.File("local/album/../secret.txt"), std::string()}) {
    const JsonValue answer =
        Answer("AddUpload", "[" + JsonQuote(path) + "," + JsonQuote(target_) + ",0,1]");
    EXPECT_EQ(5, JsonDouble(JsonMember(answer, "code"))) << path << ": " << answer;
    EXPECT_EQ(5, JsonDouble(JsonMember(Answer("StartUpload", "[" + JsonQuote(path) + "]"), "code")))
        << path;
  }
  Choose(1, chosen);
  Add(chosen);
  Choose(2, data_.File("local/album"));
  Add(member);
  for (const std::string& path : {outside, data_.File("local/album/../other/x.txt")}) {
    EXPECT_EQ(5, JsonDouble(JsonMember(Answer("AddUpload", "[" + JsonQuote(path) + ",\"\",0,1]"),
                                       "code")));
  }
  ASSERT_TRUE(WaitForStatus(chosen, kCompleted));
  ASSERT_TRUE(WaitForStatus(member, kCompleted));
  EXPECT_TRUE(Stored(chosen, "chosen.bin"));
  EXPECT_TRUE(Stored(member, "a.jpg"));
  EXPECT_EQ(2u, Exported().size()) << "nothing else reached the service";
  for (const std::string& path : {fifo, secret, outside})
    EXPECT_TRUE(host_->Rows(path).empty()) << path;
}

// Another page (or the user's own program) signs the uploader in as someone
// else: what this page queues would land in that account's storage.
TEST_F(PageScriptTest, APageQueuesNothingForAnAccountItDidNotSee) {
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  const std::string file = MakeFile("for-alice.bin", 3000, 15);
  Choose(1, file);
  const std::string chooser_log = ReadWholeFile(data_.File("chooser.log"));
  {
    CUpload own;  // signs the session over to bob, as another page would
    own.KeepSessionOnRelease();
    own.Logout();
    own.Login(u"bob", u"bob-pw", 0, 0);
    ASSERT_TRUE(host_->WaitFor([] { return GetUserName() == "bob"; }));
  }
  const JsonValue refused = Answer("AddUpload", "[" + JsonQuote(file) + ",\"\",0,1]");
  EXPECT_NE(std::string::npos, JsonString(JsonMember(refused, "error")).find("another account"))
      << refused;
  UseScriptedChooser(data_.File(""), file + "\n");
  host_->Call("CreateUpload", "[1,\"\",0,1]");
  host_->Pump(300);
  ASSERT_TRUE(TEST_WaitForReportThreads(60000));
  EXPECT_EQ(chooser_log, ReadWholeFile(data_.File("chooser.log")))
      << "no chooser for another account's queue";
  // Once the page has seen who is signed in, it queues for that account.
  EXPECT_EQ("bob", host_->Call("GetName").asString());
  target_ = host_->Call("GetTarget").asString();
  Add(file);
  ASSERT_TRUE(WaitForStatus(file, kCompleted));
  EXPECT_TRUE(Exported().empty()) << "nothing reached alice";
  EXPECT_EQ(1u, ExportedFilesOf(server_->port(), "bob").size());
}

TEST_F(PageScriptTest, OnlyTheAskingPageHearsItsChoiceAndBothSeeProgress) {
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  target_ = host_->Call("GetTarget").asString();
  const std::string file = MakeFile("mine.bin", 2000, 14);
  TestScriptHost newer;  // created later: the current control
  newer.dispatcher().control().ServePageScript();
  Choose(1, file);
  newer.Pump(300);
  EXPECT_TRUE(newer.Payloads("SelectFileEvent").empty()) << "another page learnt the chosen path";
  Add(file);
  ASSERT_TRUE(WaitForStatus(file, kCompleted));
  EXPECT_TRUE(newer.WaitFor([&] { return newer.HasStatus(file, kCompleted); }));
  // The other page was never given the path, so it may not queue it either.
  EXPECT_EQ(5,
            JsonDouble(JsonMember(newer.Send("{\"id\":1,\"method\":\"AddUpload\",\"params\":[" +
                                             JsonQuote(data_.File("local/secret")) + ",\"\",0,1]}"),
                                  "code")));
}

// Every page hears a login; only a login a page asked for, and that signed in
// anew, lets it queue without reading who is signed in.
TEST_F(PageScriptTest, EveryPageHearsALoginOnlyTheAskerIsSignedInByIt) {
  TestScriptHost newer;  // the current control: once the only one to hear logins
  newer.dispatcher().control().ServePageScript();
  const std::string file = MakeFile("both.bin", 1500, 16);
  Choose(1, file);
  Choose(1, file, &newer);

  ASSERT_EQ("0|", LoginAs("alice", "wrong").substr(0, 2));
  ASSERT_EQ("1|ok", LoginAs("alice", "alice-pw"));
  ASSERT_TRUE(newer.WaitFor([&] { return newer.Payloads("LoginEvent").size() == 2; }));
  EXPECT_EQ("1|ok", newer.Payloads("LoginEvent").back());
  const auto add = [&file](TestScriptHost& page) {
    return page.Send("{\"id\":7,\"method\":\"AddUpload\",\"params\":[" + JsonQuote(file) +
                     ",\"\",0,0]}");
  };
  EXPECT_TRUE(JsonString(JsonMember(add(newer), "error")).find("another account") !=
              std::string::npos)
      << "a page that neither asked nor looked queues nothing";
  EXPECT_FALSE(JsonHasMember(add(*host_), "error"));

  // Asking for bob while alice is signed in answers "signed in" all the same,
  // which must not make alice's account this page's.
  const size_t heard = host_->Payloads("LoginEvent").size();
  newer.Call("Login", "[\"bob\",\"bob-pw\",0,0]");
  ASSERT_TRUE(newer.WaitFor([&] { return newer.Payloads("LoginEvent").size() == 3; }));
  EXPECT_EQ("1|ok", newer.Payloads("LoginEvent").back());
  EXPECT_TRUE(host_->WaitFor([&] { return host_->Payloads("LoginEvent").size() > heard; }));
  EXPECT_TRUE(JsonHasMember(add(newer), "error"));
  EXPECT_EQ("alice", newer.Call("GetName").asString());
  EXPECT_FALSE(JsonHasMember(add(newer), "error")) << "once read, the account is the page's";
}

TEST_F(PageScriptTest, AtMostOneChooserIsOpen) {
  // The chooser waits until the test lets it go.
  const std::string gate = data_.File("gate");
  UseScriptedChooser(data_.File(""), "", 1, "while [ ! -e '" + gate + "' ]; do sleep 0.05; done");
  for (int i = 0; i < 100; ++i) host_->Call("SelectUpload", i % 2 == 0 ? "[1]" : "[2]");
  host_->Call("CreateUpload", "[1,\"\",0,1]");
  // Bounded: the one chooser writes its line as it starts.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ReadWholeFile(data_.File("chooser.log")).empty() &&
         std::chrono::steady_clock::now() < deadline) {
    host_->Pump(50);
  }
  host_->Pump(500);
  const std::string log = ReadWholeFile(data_.File("chooser.log"));
  EXPECT_EQ(1, std::count(log.begin(), log.end(), '\n')) << log;
  std::ofstream(gate) << "go";
  ASSERT_TRUE(TEST_WaitForReportThreads(60000));
  // Once it is closed the next request opens one again.
  host_->Call("SelectUpload", "[1]");
  ASSERT_TRUE(TEST_WaitForReportThreads(60000));
  const std::string after = ReadWholeFile(data_.File("chooser.log"));
  EXPECT_EQ(2, std::count(after.begin(), after.end(), '\n')) << after;
}

}  // namespace
}  // namespace vexa
