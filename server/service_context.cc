#include "server/service_context.h"

#include <chrono>
#include <thread>

#include "codec/sha1.h"
#include "codec/text.h"

namespace vexa::server {

namespace {

std::string Sha1Of(const std::string& text) {
  std::string hex;
  Sha1Hex(text.data(), text.size(), &hex);
  return hex;
}

}  // namespace

int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int ServiceContext::InjectFaults(FaultOp op, httplib::Response& res) {
  if (faults->empty()) return 0;
  Hold(op);
  int64_t value;
  if (faults->Take(op, FaultKind::kFail, &value)) {
    res.status = 500;
    res.set_content("injected failure\n", "text/plain");
    return -1;
  }
  if (faults->Take(op, FaultKind::kStatus, &value)) return static_cast<int>(value);
  return 0;
}

void ServiceContext::Hold(FaultOp op) {
  int64_t value;
  if (!faults->empty() && faults->Take(op, FaultKind::kDelay, &value)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(value));
  }
}

std::string DispatchSig(const std::string& userkey, const std::string& userid,
                        const std::string& file_id, const std::string& quick_id,
                        const std::string& pick_code, const std::string& target) {
  std::string inner = ToLower(Sha1Of(userid + file_id + quick_id + pick_code + target + kAppId));
  return Sha1Of(userkey + inner + kSignSuffix);
}

std::string TransferSig(const std::string& upload_key) {
  return Sha1Of(kSignSuffix + upload_key + kAppId);
}

}  // namespace vexa::server
