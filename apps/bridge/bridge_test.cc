#include <gtest/gtest.h>
#include <json/json.h>
#include <stdlib.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "account/account_api.h"
#include "account/session.h"
#include "apps/bridge/bridge_server.h"
#include "apps/bridge/origin_policy.h"
#include "apps/bridge/registration.h"
#include "apps/bridge/service_unit.h"
#include "apps/bridge/type_library.h"
#include "control/control.h"
#include "control/method_table.h"
#include "control/test_script_host.h"
#include "port/testing/open_file_limit.h"
#include "port/testing/other_user.h"
#include "server/testing/server_process.h"
#include "web/web_assets.h"

namespace vexa::bridge {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
namespace fs = std::filesystem;

constexpr char kPageOrigin[] = "http://127.0.0.1:8080";

Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errors)) << text;
  return v;
}

std::string TempDir(const std::string& name) {
  const fs::path dir =
      fs::temp_directory_path() / ("bridge_test_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

TEST(OriginPolicyTest, ScriptingIsGrantedThroughTheSafetyRules) {
  ObjectSafety safety;
  EXPECT_TRUE(GrantScripting(&safety));
  uint32_t supported = 0, enabled = 0;
  EXPECT_EQ(kResultOk, safety.GetOptions(true, &supported, &enabled));
  EXPECT_EQ(3u, enabled);
}

TEST(RegistrationTest, ScopeWordIsUserInAnyCaseAndNothingLonger) {
  EXPECT_EQ(Scope::kUser, ScopeOf("user"));
  EXPECT_EQ(Scope::kUser, ScopeOf("USER"));
  EXPECT_EQ(Scope::kSystem, ScopeOf("users"));
  EXPECT_EQ(Scope::kSystem, ScopeOf("use"));
  EXPECT_EQ(Scope::kSystem, ScopeOf(""));
}

TEST(RegistrationTest, RegisterWritesIdentitiesAndUnregisterLeavesTheFolders) {
  const std::string dir = TempDir("registration");
  ::setenv("XDG_CONFIG_HOME", (dir + "/user").c_str(), 1);
  ::setenv("XDG_CONFIG_DIRS", (dir + "/system").c_str(), 1);
  EXPECT_EQ(dir + "/user/vexaupload/bridge/", ManifestFolder(Scope::kUser));
  EXPECT_EQ(dir + "/system/vexaupload/bridge/", ManifestFolder(Scope::kSystem));

  Registration reg{{"http://a.example", "https://b.example:8443"},
                   "/usr/bin/vexaupload-bridge",
                   "ws://127.0.0.1:18026/"};
  std::string error;
  ASSERT_TRUE(Register(Scope::kUser, reg, &error)) << error;
  std::ifstream in(ManifestPath(Scope::kUser));
  const Json::Value m = ParseJson(std::string(std::istreambuf_iterator<char>(in), {}));
  EXPECT_EQ("1.0.1026.4", m["version"].asString());
  EXPECT_EQ("upload_plugin_ie.Upload.1", m["progid"].asString());
  EXPECT_EQ("upload_plugin_ie.Upload", m["version_independent_progid"].asString());
  EXPECT_EQ("{1BA822E9-BB45-48AE-894E-83FD9B689D0F}", m["class"]["uuid"].asString());
  EXPECT_EQ("{B4284171-A3C9-466D-9C0E-87CCF1ED9980}", m["interface"]["uuid"].asString());
  EXPECT_EQ("{4E4B6983-67AB-48C7-B271-6E3FE06D9BDC}", m["events"]["uuid"].asString());
  EXPECT_EQ("{DDBC348F-027B-4511-9052-1690EF7675F7}", m["typelib"]["uuid"].asString());
  EXPECT_EQ("{2AF4385B-C4DB-464C-BE4D-199C02D8E0BC}", m["appid"]["uuid"].asString());
  EXPECT_EQ(131473u, m["misc_status"].asUInt());

  Registration system{{"http://c.example"}, "", ""};
  ASSERT_TRUE(Register(Scope::kSystem, system, &error)) << error;
  EXPECT_EQ(
      (std::vector<std::string>{"http://a.example", "http://c.example", "https://b.example:8443"}),
      RegisteredOrigins());

  ASSERT_TRUE(Unregister(Scope::kUser, &error)) << error;
  EXPECT_FALSE(fs::exists(ManifestPath(Scope::kUser)));
  EXPECT_TRUE(fs::is_directory(ManifestFolder(Scope::kUser)));
  EXPECT_TRUE(Unregister(Scope::kUser, &error)) << "a second unregister has nothing to do";
  EXPECT_EQ(std::vector<std::string>{"http://c.example"}, RegisteredOrigins());
  ASSERT_TRUE(Unregister(Scope::kSystem, &error));
  EXPECT_TRUE(RegisteredOrigins().empty());
  fs::remove_all(dir);
}

TEST(ServiceUnitTest, QuotesTheCommandForSystemd) {
  const std::string unit =
      RenderServiceUnit({"/opt/my bridge/vexaupload-bridge", "--api", "http://h/100%$x"});
  EXPECT_NE(
      std::string::npos,
      unit.find(
          "ExecStart=\"/opt/my bridge/vexaupload-bridge\" \"--api\" \"http://h/100%%$$x\"\n"));
  EXPECT_NE(std::string::npos, unit.find("WantedBy=default.target"));
}

TEST(ServiceUnitTest, TheSocketUnitKeepsTheLoopbackPort) {
  const std::string unit = RenderSocketUnit("127.0.0.1:18026");
  EXPECT_NE(std::string::npos, unit.find("\nListenStream=127.0.0.1:18026\n"));
  EXPECT_NE(std::string::npos, unit.find("WantedBy=sockets.target"));
}

TEST(TypeLibraryTest, DescribesTheMethodTable) {
  const Json::Value lib = ParseJson(TypeLibraryJson());
  EXPECT_EQ("Myvexaupload_plugin_ieLib", lib["name"].asString());
  EXPECT_EQ("{DDBC348F-027B-4511-9052-1690EF7675F7}", lib["uuid"].asString());
  EXPECT_EQ("Myvexaupload_plugin_ie 1.0 Type Library", lib["helpstring"].asString());
  EXPECT_EQ("1.0", lib["version"].asString());
  EXPECT_EQ(0x409u, lib["lcid"].asUInt());
  EXPECT_EQ("Upload", lib["coclass"]["name"].asString());
  EXPECT_EQ("Upload Class", lib["coclass"]["helpstring"].asString());

  const Json::Value& methods = lib["interfaces"][0]["methods"];
  ASSERT_EQ(18u, methods.size());
  const char* names[] = {"LoadTask",    "CreateUpload",     "AddUpload",
                         "StartUpload", "StopUpload",       "CancelUpload",
                         "Login",       "GetSpaceInfo",     "GetAccountInfo",
                         "OpenLink",    "LoadUnfinishTask", "SelectUpload",
                         "GetTarget",   "GetAllowUpload",   "GetName",
                         "GetUserId",   "GetPluginVersion", "Logout"};
  for (int i = 0; i < 18; ++i) {
    EXPECT_EQ(i + 1, methods[i]["dispid"].asInt());
    EXPECT_EQ(names[i], methods[i]["name"].asString());
    EXPECT_EQ(std::string("method ") + names[i], methods[i]["helpstring"].asString());
  }
  // Directions: in, the getters' out/retval, and LoadUnfinishTask's unmarked folder.
  EXPECT_EQ("in", methods[2]["params"][0]["direction"][0].asString());
  EXPECT_EQ("I2", methods[2]["params"][2]["type"].asString());
  EXPECT_EQ("UI1", methods[2]["params"][3]["type"].asString());
  EXPECT_EQ("out", methods[7]["params"][0]["direction"][0].asString());
  EXPECT_EQ("retval", methods[7]["params"][0]["direction"][1].asString());
  EXPECT_EQ("BSTR*", methods[7]["params"][0]["type"].asString());
  EXPECT_EQ("strFolderPath", methods[10]["params"][0]["name"].asString());
  EXPECT_EQ(0u, methods[10]["params"][0]["direction"].size());
  EXPECT_EQ(0u, methods[0]["params"].size());

  const Json::Value& events = lib["interfaces"][1]["methods"];
  ASSERT_EQ(6u, events.size());
  const char* event_names[] = {"ProgressEvent",         "LoadTaskEvent",   "LoginEvent",
                               "LoadUnfinishTaskEvent", "SelectFileEvent", "SelectFolderEvent"};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(i + 1, events[i]["dispid"].asInt());
    EXPECT_EQ(event_names[i], events[i]["name"].asString());
    EXPECT_EQ(std::string("method ") + event_names[i], events[i]["helpstring"].asString());
  }
  EXPECT_EQ("_IUploadEvents", lib["interfaces"][1]["name"].asString());
  EXPECT_EQ("dispinterface", lib["interfaces"][1]["kind"].asString());
}

// A bridge serving on a free loopback port from its own thread.
class RunningBridge {
 public:
  explicit RunningBridge(std::vector<std::string> origins, size_t max_message = 64 * 1024,
                         const std::function<void(BridgeOptions*)>& adjust = nullptr) {
    BridgeOptions options;
    options.port = 0;
    options.max_message = max_message;
    options.origins = [origins] { return origins; };
    options.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> l(log_mu_);
      log_ += line + "\n";
    };
    if (adjust) adjust(&options);
    server_ = std::make_unique<BridgeServer>(&io_, options);
    std::string error;
    listening_ = server_->Listen(&error);
    EXPECT_TRUE(listening_) << error;
    thread_ = std::thread([this] { io_.run(); });
  }
  ~RunningBridge() {
    asio::post(io_, [this] { server_->Stop(); });
    thread_.join();
  }
  uint16_t port() const { return server_->port(); }
  size_t sessions() {
    std::promise<size_t> n;
    asio::post(io_, [&] { n.set_value(server_->sessions()); });
    return n.get_future().get();
  }
  std::string log() {
    std::lock_guard<std::mutex> l(log_mu_);
    return log_;
  }

 private:
  std::mutex log_mu_;
  std::string log_;
  asio::io_context io_;
  std::unique_ptr<BridgeServer> server_;
  bool listening_ = false;
  std::thread thread_;
};

// A GET; with `origin` set, a WebSocket upgrade from a page of that origin.
http::response<http::string_body> Get(uint16_t port, const std::string& target,
                                      const char* origin = nullptr) {
  asio::io_context io;
  beast::tcp_stream stream(io);
  stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  http::request<http::empty_body> req(http::verb::get, target, 11);
  req.set(http::field::host, "127.0.0.1");
  if (origin != nullptr) {
    req.set(http::field::upgrade, "websocket");
    req.set(http::field::connection, "upgrade");
    req.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
    req.set(http::field::sec_websocket_version, "13");
    if (*origin != '\0') req.set(http::field::origin, origin);
  }
  http::write(stream, req);
  beast::flat_buffer buffer;
  http::response<http::string_body> res;
  http::read(stream, buffer, res);
  return res;
}

// A page's side of the WebSocket.
class Page {
 public:
  // Connects with `origin` (none when empty); false when the bridge refuses.
  bool Connect(uint16_t port, const std::string& origin) {
    beast::get_lowest_layer(ws_).connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    ws_.set_option(websocket::stream_base::decorator([origin](websocket::request_type& req) {
      if (!origin.empty()) req.set(http::field::origin, origin);
    }));
    websocket::response_type res;
    beast::error_code ec;
    ws_.handshake(res, "127.0.0.1", "/", ec);
    return !ec;
  }
  void Send(const std::string& text) { ws_.write(asio::buffer(text)); }
  // For messages the bridge may refuse while they are still being written.
  void TrySend(const std::string& text, beast::error_code* ec) {
    ws_.write(asio::buffer(text), *ec);
  }
  // The next message as JSON; null on failure, or after 30 s without one, so a test waiting for a
  // message that never comes fails instead of hanging.
  Json::Value Receive(beast::error_code* error = nullptr) {
    beast::flat_buffer buffer;
    beast::error_code ec;
    beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(30));
    ws_.async_read(buffer, [&ec](beast::error_code e, size_t) { ec = e; });
    io_.restart();
    io_.run();
    beast::get_lowest_layer(ws_).expires_never();
    if (error != nullptr) *error = ec;
    if (ec) return Json::Value();
    return ParseJson(beast::buffers_to_string(buffer.data()));
  }
  // Reads until the answer to request `id`; events on the way go to `events`.
  Json::Value Call(int id, const std::string& method, const std::string& params,
                   std::vector<Json::Value>* events = nullptr) {
    Send("{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params +
         "}");
    for (;;) {
      beast::error_code ec;
      Json::Value m = Receive(&ec);
      if (ec) return Json::Value();
      if (m.isMember("event")) {
        if (events != nullptr) events->push_back(m);
        continue;
      }
      if (m["id"].asInt() == id) return m;
    }
  }
  void Close() {
    beast::error_code ignored;
    ws_.close(websocket::close_code::normal, ignored);
  }

 private:
  asio::io_context io_;
  websocket::stream<beast::tcp_stream> ws_{io_};
};

TEST(BridgeServerTest, ServesTheDocumentsOnTheSamePort) {
  RunningBridge bridge({kPageOrigin});
  auto typelib = Get(bridge.port(), "/typelib.json");
  EXPECT_EQ(200, typelib.result_int());
  EXPECT_EQ(TypeLibraryJson(), typelib.body());
  auto script = Get(bridge.port(), "/vexaupload.js");
  EXPECT_EQ(200, script.result_int());
  EXPECT_EQ(std::string(embedded::VexaUploadJs()), script.body());
  EXPECT_NE(std::string::npos, script.body().find("VexaUpload"));
  EXPECT_EQ(404, Get(bridge.port(), "/etc/passwd").result_int());
}

TEST(BridgeServerTest, RefusesPagesWithoutARegisteredOriginBeforeAnyMethod) {
  RunningBridge bridge({kPageOrigin});
  for (const char* origin : {"", "http://evil.example", "null", "http://127.0.0.1:8081"}) {
    Page page;
    EXPECT_FALSE(page.Connect(bridge.port(), origin)) << origin;
    EXPECT_EQ(403, Get(bridge.port(), "/", origin).result_int()) << origin;
  }
  EXPECT_EQ(101, Get(bridge.port(), "/", kPageOrigin).result_int());
  Page page;
  ASSERT_TRUE(page.Connect(bridge.port(), kPageOrigin));
  Json::Value answer = page.Call(1, "GetPluginVersion", "[]");
  EXPECT_EQ("win_1.0.1026.4", answer["result"].asString());
  answer = page.Call(2, "NoSuchMethod", "[]");
  EXPECT_TRUE(answer.isMember("error"));
}

// Any user of the machine can reach the loopback port and write any Origin.
TEST(BridgeServerTest, RefusesAnotherUsersProcessEvenWithARegisteredOrigin) {
  RunningBridge bridge({kPageOrigin});
  const uint16_t port = bridge.port();
  const int status = RunAsUser(kNobodyId, [port] {
    try {
      return Get(port, "/", kPageOrigin).result_int() == 101 ? 10 : 20;
    } catch (const std::exception&) {
      return 20;  // closed without an answer
    }
  });
  if (status < 0) GTEST_SKIP() << "switching users needs root";
  EXPECT_EQ(20, status) << "another user's process must not get a control";
  EXPECT_EQ(101, Get(port, "/", kPageOrigin).result_int()) << "the bridge's own user still may";
}

// Started by its socket unit, the bridge serves on the socket it is given, and
// only on a loopback one.
TEST(BridgeServerTest, ServesOnAHandedOverLoopbackSocket) {
  for (const char* address : {"127.0.0.1", "0.0.0.0"}) {
    asio::io_context io;
    tcp::acceptor kept(io, tcp::endpoint(asio::ip::make_address(address), 0));
    const uint16_t port = kept.local_endpoint().port();
    const int fd = kept.release();
    const bool loopback = std::string(address) == "127.0.0.1";
    asio::io_context bridge_io;
    BridgeOptions options;
    options.listening_socket = fd;
    options.port = 1;  // never bound: the socket given is used
    options.origins = [] { return std::vector<std::string>{kPageOrigin}; };
    BridgeServer server(&bridge_io, options);
    std::string error;
    ASSERT_EQ(loopback, server.Listen(&error)) << address << ": " << error;
    if (!loopback) continue;
    EXPECT_EQ(port, server.port());
    std::thread serving([&] { bridge_io.run(); });
    EXPECT_EQ(200, Get(port, "/typelib.json").result_int());
    asio::post(bridge_io, [&] { server.Stop(); });
    serving.join();
  }
}

// Sockets that never send a request hold descriptors; beyond the cap new ones
// are closed, and the bridge serves again once the idle ones go.
TEST(BridgeServerTest, IdleConnectionsAreCapped) {
  RunningBridge bridge({kPageOrigin}, 64 * 1024,
                       [](BridgeOptions* o) { o->max_http_connections = 3; });
  asio::io_context io;
  std::vector<std::unique_ptr<tcp::socket>> idle;
  for (int i = 0; i < 3; ++i) {
    idle.push_back(std::make_unique<tcp::socket>(io));
    idle.back()->connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), bridge.port()));
  }
  // The bridge takes the idle ones in turn; the fourth finds the cap reached.
  bool refused = false;
  for (int attempt = 0; attempt < 100 && !refused; ++attempt) {
    try {
      Get(bridge.port(), "/typelib.json");
    } catch (const std::exception&) {
      refused = true;
    }
  }
  EXPECT_TRUE(refused);
  EXPECT_NE(std::string::npos, bridge.log().find("too many open at once")) << bridge.log();
  idle.clear();
  bool served = false;
  for (int attempt = 0; attempt < 200 && !served; ++attempt) {
    try {
      served = Get(bridge.port(), "/typelib.json").result_int() == 200;
    } catch (const std::exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  EXPECT_TRUE(served);
}

// Out of descriptors, accept fails at once every time; the bridge pauses
// instead of spinning, and serves again once descriptors are free.
TEST(BridgeServerTest, AcceptBacksOffWhenOutOfDescriptors) {
  RunningBridge bridge({kPageOrigin});
  {
    asio::io_context io;
    tcp::socket client(io);
    client.open(tcp::v4());
    OpenFileLimit limit(OpenFileLimit::InUse() + 16);
    // Every descriptor taken: the client's connection waits for an accept
    // that has no descriptor to give it.
    std::vector<std::FILE*> fillers;
    while (std::FILE* f = std::fopen("/dev/null", "rb")) fillers.push_back(f);
    ASSERT_FALSE(fillers.empty());
    client.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), bridge.port()));
    for (int i = 0; i < 200 && bridge.log().find("retrying with a pause") == std::string::npos;
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(std::string::npos, bridge.log().find("retrying with a pause")) << bridge.log();
    for (std::FILE* f : fillers) std::fclose(f);
  }
  bool served = false;
  for (int attempt = 0; attempt < 200 && !served; ++attempt) {
    try {
      served = Get(bridge.port(), "/typelib.json").result_int() == 200;
    } catch (const std::exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  EXPECT_TRUE(served);
}

TEST(BridgeServerTest, AnOversizedMessageEndsOnlyThatPage) {
  RunningBridge bridge({kPageOrigin}, 1024);
  Page big;
  ASSERT_TRUE(big.Connect(bridge.port(), kPageOrigin));
  // The bridge closes as soon as the frame header shows the size, so the
  // write itself may already fail with a broken pipe.
  beast::error_code ec;
  big.TrySend("{\"id\":1,\"method\":\"AddUpload\",\"params\":[\"" + std::string(4096, 'x') +
                  "\",\"\",0,1]}",
              &ec);
  if (!ec) big.Receive(&ec);
  EXPECT_TRUE(ec) << "the bridge closes a page that sends more than it accepts";
  Page next;
  ASSERT_TRUE(next.Connect(bridge.port(), kPageOrigin));
  EXPECT_EQ("win_1.0.1026.4", next.Call(1, "GetPluginVersion", "[]")["result"].asString());
}

std::string Decode(const std::string& payload) {
  std::u16string units;
  for (size_t i = 0; i + 6 <= payload.size(); i += 6) {
    units.push_back(static_cast<char16_t>(std::stoul(payload.substr(i + 2, 4), nullptr, 16)));
  }
  std::string out;
  for (char16_t u : units) out.push_back(u < 128 ? static_cast<char>(u) : '?');
  return out;
}

// Waits for a ProgressEvent of `path` with `status`; false when the page
// closes first or nothing comes within the deadline.
// The status an event reports for `path`; -1 when it is about something else.
int EventStatus(const Json::Value& m, const std::string& path) {
  if (!m.isMember("event")) return -1;
  const std::string text = Decode(m["payload"].asString());
  const std::string prefix = fs::path(path).filename().string() + "|" + path + "|";
  if (text.rfind(prefix, 0) != 0) return -1;
  size_t pos = 0;
  for (int field = 0; field < 6; ++field) pos = text.find('|', pos) + 1;
  return std::stoi(text.substr(pos));
}

bool WaitForStatus(Page* page, const std::string& path, int status, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    beast::error_code ec;
    Json::Value m = page->Receive(&ec);
    if (ec) return false;
    if (EventStatus(m, path) == status) return true;
  }
  return false;
}

// Pages come and go while the engine uploads; the upload goes on, the bridge
// keeps serving, and a page connected at the end sees it finish.
TEST(BridgeServerTest, PagesComingAndGoingLeaveTheUploadRunning) {
  const std::string dir = TempDir("load");
  ::setenv("VEXAUPLOAD_DATA_DIR", (dir + "/client").c_str(), 1);
  server::ServerProcess service(dir + "/server");
  // Slow ranges keep the upload running while the pages churn.
  ASSERT_TRUE(service.Start({"--faults", "bigupload:delay=150*1000"}));
  SetAccountApiBase(service.base());
  InstallUploadWorkers();

  const std::string file = dir + "/big.bin";
  {
    std::ofstream out(file, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (int i = 0; i < 12; ++i) {
      for (size_t k = 0; k < block.size(); k += 64) block[k] = static_cast<char>(i * 31 + k);
      out << block;
    }
  }
  RunningBridge bridge({kPageOrigin});
  {
    Page first;
    ASSERT_TRUE(first.Connect(bridge.port(), kPageOrigin));
    std::vector<Json::Value> events;
    first.Call(1, "Login", "[\"alice\",\"alice-pw\",0,0]", &events);
    bool logged_in = false;
    for (int i = 0; i < 50 && !logged_in; ++i) {
      for (const Json::Value& e : events) logged_in |= Decode(e["payload"].asString()) == "1|ok";
      if (!logged_in) events.push_back(first.Receive());
    }
    ASSERT_TRUE(logged_in);
    const std::string target = first.Call(2, "GetTarget", "[]")["result"].asString();
    // A page queues only what its user picked in its chooser.
    EXPECT_EQ(
        5, first.Call(3, "AddUpload", "[\"" + file + "\",\"" + target + "\",0,1]")["code"].asInt());
    UseScriptedChooser(dir, file + "\n");
    first.Call(4, "SelectUpload", "[1]");
    Json::Value chosen;
    while (!chosen.isMember("event") || chosen["event"].asString() != "SelectFileEvent") {
      chosen = first.Receive();
      ASSERT_FALSE(chosen.isNull());
    }
    EXPECT_EQ(file, Decode(chosen["payload"].asString()));
    ASSERT_FALSE(
        first.Call(5, "AddUpload", "[\"" + file + "\",\"" + target + "\",0,1]").isMember("error"));
    ASSERT_TRUE(WaitForStatus(&first, file, 2, 60)) << "the upload starts";
    // Leaves without a close handshake, as a crashed tab does.
  }
  for (int i = 0; i < 20; ++i) {
    Page page;
    ASSERT_TRUE(page.Connect(bridge.port(), kPageOrigin)) << i;
    std::vector<Json::Value> rows;
    page.Call(1, "LoadTask", "[]", &rows);
    EXPECT_FALSE(rows.empty()) << "page " << i << " sees the running upload";
    if (i % 2 == 0) page.Close();
  }
  Page last;
  ASSERT_TRUE(last.Connect(bridge.port(), kPageOrigin));
  EXPECT_EQ("alice", last.Call(1, "GetName", "[]")["result"].asString())
      << "the session outlived the pages";
  // A completed upload leaves the task list, and on a loaded machine it may be done before this
  // page comes: then no event about it follows, and the list does not hold it.
  std::vector<Json::Value> events;
  last.Call(2, "LoadTask", "[]", &events);
  bool listed = false, completed = false;
  for (const Json::Value& e : events) {
    listed |= EventStatus(e, file) >= 0;
    completed |= EventStatus(e, file) == 5;
  }
  if (listed && !completed) {
    EXPECT_TRUE(WaitForStatus(&last, file, 5, 120)) << "the upload completes";
  }
  last.Call(3, "Logout", "[]");
  last.Close();
  ::unsetenv("VEXAUPLOAD_CHOOSER");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vexa::bridge
