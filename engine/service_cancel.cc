#include "engine/service_cancel.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "account/session.h"
#include "engine/engine_state.h"
#include "net/http_client.h"
#include "protocol/dispatch_request.h"
#include "protocol/service_answer.h"

namespace vexa {
namespace {

// The service's answer for a pick code it does not hold: nothing left to cancel.
constexpr int32_t kUnknownPickCode = 412;

struct Cancels {
  std::mutex mu;
  std::condition_variable idle;
  std::deque<PendingCancel> queue;  // to be sent in this start
  bool sending = false;             // a sender thread runs
};

Cancels& State() {
  static Cancels* cancels = new Cancels();
  return *cancels;
}

JobFields FieldsOf(const PendingCancel& c) {
  JobFields f;
  f.filePath = c.filePath;
  f.fileId = c.fileId;
  f.quickId = c.quickId;
  f.pickCode = c.pickCode;
  f.target = c.target;
  f.fileSize = c.fileSize;
  f.ispType = c.ispType;
  return f;
}

// True when the service has heard the cancel (or holds nothing to cancel).
bool Send(const PendingCancel& c, const engine_internal::EngineRun& run) {
  std::string url, body, answer;
  if (!BuildCancelRequest(FieldsOf(c), &url, &body)) return false;
  RequestOptions o;
  o.abortCheck = [&run] { return run.ended.load() || !IsLoggedIn(); };
  if (!ProcessHttpClient().Post(url, body, o, &answer)) return false;
  ServiceAnswer a;
  return ReadServiceAnswer(answer, &a) && (a.statusCode == 0 || a.statusCode == kUnknownPickCode);
}

void Sender(const engine_internal::EngineRun& run) {
  Cancels& s = State();
  for (;;) {
    PendingCancel next;
    {
      std::lock_guard<std::mutex> l(s.mu);
      if (s.queue.empty() || run.ended.load()) {
        s.queue.clear();  // what is left stays in the store for the next start
        s.sending = false;
        break;
      }
      next = std::move(s.queue.front());
      s.queue.pop_front();
    }
    // A failed one stays in the store and is sent again at the next start.
    if (Send(next, run)) RemovePendingCancel(next.pickCode);
  }
  s.idle.notify_all();
}

// Starts the sender unless one runs. When none can be started (the engine is
// stopping) the cancels wait in the store for the next start.
void EnsureSender() {
  Cancels& s = State();
  {
    std::lock_guard<std::mutex> l(s.mu);
    if (s.sending || s.queue.empty()) return;
    s.sending = true;
  }
  const bool started = engine_internal::StartRunThread(
      [](const std::shared_ptr<engine_internal::EngineRun>& run) { Sender(*run); },
      &engine_internal::UploadEngine::cancelSendersRunning);
  if (started) return;
  {
    std::lock_guard<std::mutex> l(s.mu);
    s.queue.clear();
    s.sending = false;
  }
  s.idle.notify_all();
}

void Queue(PendingCancel c) {
  if (c.pickCode.empty()) return;
  // Refused only by a closed store (the engine is stopping, and no sender
  // starts either) or a value it cannot hold: the cancel still goes out now.
  (void)SavePendingCancel(c);
  {
    Cancels& s = State();
    std::lock_guard<std::mutex> l(s.mu);
    for (const PendingCancel& q : s.queue) {
      if (q.pickCode == c.pickCode) return;
    }
    s.queue.push_back(std::move(c));
  }
  EnsureSender();
}

}  // namespace

void QueueServiceCancel(const JobFields& f) {
  PendingCancel c;
  c.pickCode = f.pickCode;
  c.filePath = f.filePath;
  c.fileId = f.fileId;
  c.quickId = f.quickId;
  c.target = f.target;
  c.fileSize = f.fileSize;
  c.ispType = f.ispType;
  Queue(std::move(c));
}

void QueueServiceCancel(const std::string& file_path, const ResumeRecord& r) {
  PendingCancel c;
  c.pickCode = r.pickCode;
  c.filePath = file_path;
  c.fileId = r.fileId;
  c.quickId = r.quickId;
  c.target = r.target;
  c.fileSize = r.fileSize;
  c.ispType = r.ispType;
  Queue(std::move(c));
}

void StartServiceCancels() {
  std::vector<PendingCancel> kept = PendingCancels();
  if (kept.empty()) return;
  {
    Cancels& s = State();
    std::lock_guard<std::mutex> l(s.mu);
    for (PendingCancel& c : kept) s.queue.push_back(std::move(c));
  }
  EnsureSender();
}

bool WaitForServiceCancels(uint32_t timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  {
    // A folder's cancel queues its members' cancels on a thread of its own.
    engine_internal::UploadEngine& e = engine_internal::Engine();
    std::unique_lock<std::mutex> l(e.life_mu);
    if (!e.life_cv.wait_until(l, end, [&e] { return e.folderWorkersRunning == 0; })) return false;
  }
  Cancels& s = State();
  std::unique_lock<std::mutex> l(s.mu);
  return s.idle.wait_until(l, end, [&s] { return !s.sending && s.queue.empty(); });
}

}  // namespace vexa
