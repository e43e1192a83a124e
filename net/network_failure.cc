#include "net/network_failure.h"

#include "port/debug.h"
#include "port/mutex.h"

namespace vexa {
namespace {

struct FailureRecord {
  port::Mutex mu;
  std::string text GUARDED_BY(mu);
};

thread_local bool refused_for_security = false;

FailureRecord& Record() {
  static FailureRecord* record = new FailureRecord();
  return *record;
}

}  // namespace

const char* SocketFailureCause(port::SocketStatus status) {
  switch (status) {
    case port::SocketStatus::ConnectionRefused:
      return "connection refused";
    case port::SocketStatus::TimedOut:
      return "timed out";
    case port::SocketStatus::InvalidAddress:
      return "name not found";
    case port::SocketStatus::InvalidPort:
      return "not a valid port";
    case port::SocketStatus::ConnectionReset:
      return "connection reset by the server";
    case port::SocketStatus::ConnectionAborted:
      return "connection aborted";
    case port::SocketStatus::Success:
    case port::SocketStatus::NotConnected:
      return "connection closed by the server";
    default:
      return "network error";
  }
}

void NoteNetworkFailure(const std::string& text) {
  refused_for_security = false;
  port::DebugOut("NETWORK FAILURE: " + text + "\n");
  FailureRecord& r = Record();
  port::MutexLock l(&r.mu);
  r.text = text;
}

void ClearNetworkFailure() {
  refused_for_security = false;
  FailureRecord& r = Record();
  port::MutexLock l(&r.mu);
  r.text.clear();
}

std::string LastNetworkFailure() {
  FailureRecord& r = Record();
  port::MutexLock l(&r.mu);
  return r.text;
}

void NoteSecurityRefusal(const std::string& text) {
  NoteNetworkFailure(text);
  refused_for_security = true;
}

bool LastConnectionRefusedForSecurity() { return refused_for_security; }

}  // namespace vexa
