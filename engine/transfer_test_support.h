#ifndef VEXA_ENGINE_TRANSFER_TEST_SUPPORT_H_
#define VEXA_ENGINE_TRANSFER_TEST_SUPPORT_H_

// Test support for the transfer worker: a fixture that starts vexa-server,
// logs in and runs the engine with the real worker, and a recorder of the
// requests the process-wide client sends.

#include <json/json.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "account/account_api.h"
#include "account/login.h"
#include "account/session.h"
#include "account/test_data_dir.h"
#include "account/test_login_observer.h"
#include "codec/sha1.h"
#include "engine/engine.h"
#include "engine/test_worker.h"
#include "engine/transfer_worker.h"
#include "gtest/gtest.h"
#include "net/connect_to_server.h"
#include "net/connection_cache.h"
#include "net/http_client.h"
#include "net/http_response.h"
#include "port/socket.h"
#include "server/testing/server_process.h"
#include "server/testing/service_fixture.h"
#include "store/resume_store.h"

namespace vexa {

inline constexpr size_t kMiB = 1 << 20;

// Keeps the first bytes of every request sent through it: enough for the
// request line, the form body and a range's multipart fields.
class RequestRecorder : public port::SocketApiWrapper {
 public:
  RequestRecorder() : SocketApiWrapper(port::DefaultSocketApi()) {}

  long Send(port::SocketHandle s, const void* data, size_t length) override {
    const char* p = static_cast<const char*>(data);
    const std::string_view start(p, std::min<size_t>(length, 5));
    {
      std::lock_guard<std::mutex> l(mu_);
      if (start == "POST " || start.substr(0, 4) == "GET ") {
        open_[s] = requests_.size();
        requests_.emplace_back();
      }
      auto it = open_.find(s);
      if (it != open_.end()) {
        std::string& r = requests_[it->second];
        r.append(p, std::min(length, kKept - std::min(kKept, r.size())));
      }
    }
    return SocketApiWrapper::Send(s, data, length);
  }
  int Close(port::SocketHandle s) override {
    {
      std::lock_guard<std::mutex> l(mu_);
      open_.erase(s);
    }
    return SocketApiWrapper::Close(s);
  }

  void Clear() {
    std::lock_guard<std::mutex> l(mu_);
    open_.clear();
    requests_.clear();
  }

  // The requests whose request line holds `path`, in the order sent.
  std::vector<std::string> Requests(const std::string& path) {
    std::lock_guard<std::mutex> l(mu_);
    std::vector<std::string> out;
    for (const std::string& r : requests_) {
      if (r.substr(0, r.find("\r\n")).find(path) != std::string::npos) out.push_back(r);
    }
    return out;
  }
  // The ctrange of every range sent for `pick_code` (every range when empty).
  std::vector<std::string> Ranges(const std::string& pick_code = "") {
    std::vector<std::string> out;
    for (const std::string& r : Requests("/bigupload")) {
      if (!pick_code.empty() && r.find("filename=\"" + pick_code + "\"") == std::string::npos)
        continue;
      out.push_back(Between(r, "name=\"ctrange\"\r\n\r\n", "\r\n"));
    }
    return out;
  }
  // A form value of a request's body ("" when absent).
  static std::string FormValue(const std::string& request, const std::string& name) {
    const size_t body = request.find("\r\n\r\n");
    if (body == std::string::npos) return "";
    return Between("&" + request.substr(body + 4) + "&", "&" + name + "=", "&");
  }
  static std::string Between(const std::string& s, const std::string& from, const std::string& to) {
    const size_t a = s.find(from);
    if (a == std::string::npos) return "";
    const size_t b = s.find(to, a + from.size());
    return s.substr(a + from.size(),
                    b == std::string::npos ? std::string::npos : b - a - from.size());
  }

 private:
  static constexpr size_t kKept = 4096;
  std::mutex mu_;
  std::map<port::SocketHandle, size_t> open_;
  std::vector<std::string> requests_;
};

// The files the service holds for `account`: path -> {size, sha1, pickcode}.
// `tls` for a service that speaks HTTPS.
inline Json::Value ExportedFilesOf(int port, const std::string& account, bool tls = false) {
  HttpClient client;
  client.useSystemProxy = false;
  std::unique_ptr<CProxySocket> socket = client.NewSocket();
  EXPECT_TRUE(socket->Initialize());
  EXPECT_TRUE(ConnectToServer(client, *socket, "127.0.0.1", port, tls));
  const std::string request =
      std::string("GET /admin/export HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Admin-Token: ") +
      server::kTestAdminToken + "\r\n\r\n";
  EXPECT_EQ(socket->Send(request), static_cast<int32_t>(request.size()));
  std::string response;
  EXPECT_TRUE(ReadResponse(*socket, &response));
  EXPECT_TRUE(ExtractBody(&response));
  Json::Value root;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  EXPECT_TRUE(reader->parse(response.data(), response.data() + response.size(), &root, nullptr));
  Json::Value files(Json::objectValue);
  for (const Json::Value& user : root["users"]) {
    if (user["account"].asString() != account) continue;
    for (const Json::Value& f : user["files"]) files[f["path"].asString()] = f;
  }
  return files;
}

class TransferServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HttpClient& c = ProcessHttpClient();
    c.useSystemProxy = false;
    c.connections->Clear();
    recorder_.Clear();
    c.socketApi = &recorder_;
    saved_idle_ms_ = c.idleTimeoutMs;
    LogoutAccount();
    port::TEST_SetCurrentEnv(&TestClock());
    TEST_SetSchedulerThreadEnabled(true);
    InstallTransferWorker();
  }
  void TearDown() override {
    StopEngine();
    EXPECT_TRUE(WaitIdle());
    SetTransferStarter(nullptr);
    LogoutAccount();
    SetAccountApiBase("");
    HttpClient& c = ProcessHttpClient();
    c.connections->Clear();  // kept connections lead to this test's service
    c.socketApi = port::DefaultSocketApi();
    c.idleTimeoutMs = saved_idle_ms_;
  }

  // Starts the service with `extra` arguments, logs in and starts the engine.
  void StartService(std::vector<std::string> extra = {}, const std::string& account = "alice",
                    const std::string& password = "alice-pw") {
    std::filesystem::create_directories(dir_.File("server"));
    ASSERT_TRUE(server_.Start(std::move(extra)));
    SetAccountApiBase(server_.base());
    const int before = observer_.logins();
    ASSERT_TRUE(StartLogin(account, password, false, false));
    ASSERT_TRUE(observer_.WaitForLogins(before + 1));
    ASSERT_TRUE(IsLoggedIn()) << GetLastErrorText();
    account_ = account;
    StartEngine(log_.Callback(), 1);
  }

  // Until no transfer runs.
  static bool WaitIdle(uint32_t timeout_ms = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (GetQueueTotals().runningCount != 0) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  std::string MakeFile(const std::string& name, const std::string& content) {
    const std::string path = dir_.File(name);
    WriteWholeFile(path, content);
    return path;
  }
  static std::string RandomContent(size_t size, unsigned seed) {
    return server::RandomBytes(size, seed);
  }
  static std::string Sha1Of(const std::string& content) { return server::Sha1(content); }

  bool Add(const std::string& path) {
    return AddFileTask(path, GetDefaultTarget(), 0, "", "", true);
  }

  // The final notice of a single file (Completed, Failed or Stopped).
  TaskNotice WaitEnd(const std::string& path, uint32_t timeout_ms = 60000) {
    TaskNotice n;
    EXPECT_TRUE(log_.WaitFor(
        [&](const TaskNotice& t) {
          return t.path == path && (t.status == static_cast<int32_t>(TaskStatus::Completed) ||
                                    t.status == static_cast<int32_t>(TaskStatus::Failed) ||
                                    t.status == static_cast<int32_t>(TaskStatus::Stopped));
        },
        &n, timeout_ms))
        << path;
    return n;
  }
  TaskNotice WaitStatus(const std::string& path, TaskStatus status, uint32_t timeout_ms = 60000) {
    TaskNotice n;
    EXPECT_TRUE(log_.WaitFor(
        [&](const TaskNotice& t) {
          return t.path == path && t.status == static_cast<int32_t>(status);
        },
        &n, timeout_ms))
        << path << " never " << static_cast<int32_t>(status);
    return n;
  }
  // Waits until `pred` holds, polling.
  template <typename Pred>
  static bool Eventually(Pred pred, uint32_t timeout_ms = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  Json::Value ExportedFiles() { return ExportedFilesOf(server_.port(), account_); }

  // Stops the upload of `path` once `ranges` of its ranges have been answered
  // (the answer to the next one must be late, and a range may have gone out
  // behind it), waits for its worker and returns its resume record.
  ResumeRecord StopAfterRanges(const std::string& path, size_t ranges) {
    ResumeRecord record;
    EXPECT_TRUE(Eventually([&] { return recorder_.Ranges().size() >= ranges + 1; }));
    EXPECT_TRUE(ChangeTaskState(path, true, TaskStatus::Stopped));
    EXPECT_TRUE(WaitIdle());
    EXPECT_TRUE(ReadResumeRecord(path, &record));
    EXPECT_FALSE(record.pickCode.empty());
    return record;
  }

  TestDataDir dir_;
  server::ServerProcess server_{dir_.File("server")};
  TestLoginObserver observer_;
  NoticeLog log_;
  // One recorder for the whole process, emptied for each test: a name lookup
  // that a stopped request gave up on may still run on its helper thread after
  // the test, and it calls the socket functions it was handed.
  static RequestRecorder& SharedRecorder() {
    static RequestRecorder* recorder = new RequestRecorder();
    return *recorder;
  }
  RequestRecorder& recorder_ = SharedRecorder();
  std::string account_;
  int saved_idle_ms_ = 0;
};

}  // namespace vexa

#endif  // VEXA_ENGINE_TRANSFER_TEST_SUPPORT_H_
