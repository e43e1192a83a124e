// The service's store through power losses at random moments: the content
// files lose what was not synced (the database keeps its own syncs), and
// nothing the service acknowledged may be missing after the restart.

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "port/testing/fault_injection_env.h"
#include "server/blob_store.h"
#include "server/faults.h"
#include "server/http_server.h"
#include "server/metadata.h"
#include "server/names.h"
#include "server/options.h"
#include "server/service.h"
#include "server/testing/service_fixture.h"

namespace vexa::server {
namespace {

// The service run in this process over `data_dir`, its content files
// reached through `env`.
class InProcessService {
 public:
  InProcessService(const std::string& data_dir, port::Env* env)
      : data_dir_(data_dir), blobs_(data_dir + "/content", env) {}
  ~InProcessService() {
    if (thread_.joinable()) {
      http_->stop();
      thread_.join();
    }
  }

  bool Start(std::string* error) {
    Options options;
    if (!ParseOptions({"--listen", "127.0.0.1:0", "--data", data_dir_, "--user", "alice:alice-pw",
                       "--admin-token", kTestAdminToken},
                      &options, error) ||
        !meta_.Open(data_dir_ + "/vexa.db", error) || !blobs_.Open(error)) {
      return false;
    }
    service_ = std::make_unique<Service>(options, &meta_, &blobs_, &faults_);
    if (!service_->Start(error)) return false;
    http_ = std::make_unique<HttpServer>(4);
    service_->Install(http_.get());
    port_ = http_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    service_->set_base_url("http://127.0.0.1:" + std::to_string(port_));
    // Bound and listening already: a client may connect before this runs.
    thread_ = std::thread([this] { http_->listen_after_bind(); });
    return true;
  }
  int port() const { return port_; }

 private:
  const std::string data_dir_;
  Metadata meta_;
  BlobStore blobs_;
  FaultPlan faults_;
  std::unique_ptr<Service> service_;
  std::unique_ptr<HttpServer> http_;
  std::thread thread_;
  int port_ = 0;
};

class PowerLossTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    // In memory where the system has it: which writes survive is the test
    // environment's to decide, so the disk's own syncs only cost time.
    char tmpl[] = "/dev/shm/vexa-power-loss-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) {
      std::filesystem::remove_all(dir_);
      dir_ = tmpl;
    }
  }

  // The service's answer to one range: the offset it acknowledged, or
  // nothing when it refused.
  std::optional<uint64_t> SendRange(const Upload& u, uint64_t start, const std::string& data) {
    httplib::Result r = RawRange(u, start, data);
    if (!r || r->status != 200) return std::nullopt;
    const Json::Value v = ParseJson(r->body);
    if (!v["state"].asBool()) return std::nullopt;
    return v["offset"].asUInt64();
  }
  // The content file named `sha1`, whichever case the service names it in.
  std::string BlobContent(const std::string& sha1) {
    for (const std::string& name : {sha1, ToLower(sha1), Upper(sha1)}) {
      const std::string path = dir_ + "/content/blobs/" + name.substr(0, 2) + "/" + name;
      if (std::filesystem::exists(path)) return ReadFile(path);
    }
    return std::string();
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};

struct OpenUpload {
  Upload upload;
  std::string name;
  std::string content;
  uint64_t acknowledged = 0;
};

// A few hundred power losses, each at a random change of the content files
// while uploads go on: every file the service acknowledged whole keeps its
// content, and every upload keeps the bytes acknowledged so far.
TEST_F(PowerLossTest, NothingTheServiceAcknowledgedIsLost) {
  port::FaultInjectionEnv env(dir_);
  std::mt19937 random(27);
  std::map<std::string, std::string> finished;  // name -> content acknowledged whole
  std::optional<OpenUpload> open;
  int next_name = 0;
  constexpr int kLosses = 200;
  for (int round = 0; round < kLosses; ++round) {
    {
      InProcessService service(dir_, &env);
      std::string error;
      ASSERT_TRUE(service.Start(&error)) << "after loss " << round << ": " << error;
      port_ = service.port();
      ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());

      const std::map<std::string, std::string> exported = Exported("alice");
      for (const auto& [name, content] : finished) {
        auto it = exported.find(name);
        ASSERT_NE(exported.end(), it) << "after loss " << round << ": " << name << " is gone";
        ASSERT_EQ(Sha1(content), it->second) << name;
        ASSERT_EQ(Sha1(content), Sha1(BlobContent(it->second))) << "the content of " << name;
      }
      if (open) {
        const Json::Value check = Check(open->upload);
        ASSERT_TRUE(check["state"].asBool()) << "after loss " << round << ": " << check;
        ASSERT_GE(check["offset"].asUInt64(),
                  std::min<uint64_t>(open->acknowledged, open->content.size() - 1))
            << "after loss " << round << ": acknowledged bytes of " << open->name << " are gone";
      }

      env.CutPowerAfter(1 + random() % 40);
      for (int upload = 0; upload < 2; ++upload) {
        if (!open) {
          OpenUpload u;
          u.name = "f" + std::to_string(next_name++) + ".bin";
          u.content = RandomBytes(2000 + random() % 3000, static_cast<unsigned>(random()));
          u.upload = Start(u.content, u.name, "");
          ASSERT_FALSE(u.upload.pickCode.empty()) << u.upload.answer;
          open = std::move(u);
        }
        // From where the service stands, as a client resumes.
        uint64_t offset = Check(open->upload)["offset"].asUInt64();
        while (offset < open->content.size()) {
          const std::optional<uint64_t> held =
              SendRange(open->upload, offset, open->content.substr(offset, 1000));
          if (!held) break;
          offset = open->acknowledged = *held;
        }
        if (offset < open->content.size()) break;  // the power is off
        finished[open->name] = open->content;
        open.reset();
      }
      port_ = 0;
    }
    env.LosePowerAndRestart();
  }
  EXPECT_GT(finished.size(), static_cast<size_t>(kLosses / 4))
      << "too few uploads got through to test anything";
}

}  // namespace
}  // namespace vexa::server
