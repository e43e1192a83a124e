#ifndef VEXA_SERVER_SESSION_REGISTRY_H_
#define VEXA_SERVER_SESSION_REGISTRY_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "codec/sha1.h"
#include "server/metadata.h"

namespace vexa::server {

struct ServiceContext;

// The in-memory side of open upload sessions: one lock per session that
// serializes its ranges, finish and drop, and the running digest of its
// bytes. Also the session's ends: finishing into a file and dropping.
// See ServiceContext for the order in which its locks are taken.
class SessionRegistry {
 public:
  // The lock of one session and the digest of its bytes so far (used only
  // under that lock).
  struct State {
    std::mutex mu;
    Sha1 digest;
    uint64_t digested = 0;  // bytes fed to `digest`; valid while `in_order`
    bool in_order = true;
  };

  explicit SessionRegistry(ServiceContext* ctx) : ctx_(ctx) {}
  SessionRegistry(const SessionRegistry&) = delete;
  SessionRegistry& operator=(const SessionRegistry&) = delete;

  // The state of `session`, made on first use.
  std::shared_ptr<State> Get(int64_t session);

  // Drops the session's row, its partial file and its lock.
  // REQUIRES: ctx->mu held, and the session's lock held by the caller or
  // known to be free.
  void Drop(int64_t session);

  // The file a finished upload with this pick code became, for requests
  // that arrive after their session ended. REQUIRES: ctx->mu held.
  bool FindFinished(int64_t user, const std::string& pickcode, FileEntry* file);

  // Verifies and stores the finished content of `session`; its lock is held
  // (`state`), ctx->mu is not. Returns 0 or a refusal code; a hash mismatch
  // drops the session. The session's final offset is recorded only by the
  // transaction that turns it into a file.
  int Finish(const Session& session, State* state);

  // Ends `session` as a file of the content `sha1`, which is held already,
  // in one transaction. 0, kCodeBusy when a range of it is in flight, or
  // another refusal code. REQUIRES: ctx->mu held.
  int FinishHeld(const Session& session, const std::string& sha1);

  // Finishes every session whose offset reached its size without finishing
  // (start-up, before serving). REQUIRES: ctx->mu not held.
  void FinishComplete();

  // Drops sessions idle for longer than their lifetime. A session busy with
  // a range is left for the next time. REQUIRES: ctx->mu held.
  void DropIdle();

 private:
  // Removes the partial file and the in-memory state of an ended session.
  void Forget(int64_t session);

  ServiceContext* const ctx_;
  std::mutex locks_mu_;
  std::map<int64_t, std::shared_ptr<State>> states_;  // guarded by locks_mu_
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_SESSION_REGISTRY_H_
