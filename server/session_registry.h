#ifndef VEXA_SERVER_SESSION_REGISTRY_H_
#define VEXA_SERVER_SESSION_REGISTRY_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "codec/sha1.h"
#include "port/mutex.h"
#include "port/thread_annotations.h"
#include "server/metadata.h"
#include "server/service_context.h"

namespace vexa::server {

// The in-memory side of open upload sessions: one lock per session that
// serializes its ranges, finish and drop, and the running digest of its
// bytes. Also the session's ends: finishing into a file and dropping.
// See ServiceContext for the order in which its locks are taken.
class SessionRegistry {
 public:
  // The lock of one session and the digest of its bytes so far (used only
  // under that lock).
  struct State {
    port::Mutex mu;
    vexa::Sha1 digest GUARDED_BY(mu);  // qualified: tests declare a Sha1() helper in this namespace
    uint64_t digested GUARDED_BY(mu) = 0;  // bytes fed to `digest`; valid while `in_order`
    bool in_order GUARDED_BY(mu) = true;
  };

  explicit SessionRegistry(ServiceContext* ctx) : ctx_(ctx) {}
  SessionRegistry(const SessionRegistry&) = delete;
  SessionRegistry& operator=(const SessionRegistry&) = delete;

  // The state of `session`, made on first use.
  std::shared_ptr<State> Get(int64_t session);

  // Drops the session's row, its partial file and its lock.
  // The session's lock is held by the caller or known to be free.
  //
  // Drop, FindFinished, FinishHeld and DropIdle are called with ctx->mu held
  // (they assert it: the analysis cannot tell the callers' context pointer
  // is this one).
  void Drop(int64_t session);

  // The file a finished upload with this pick code became, for requests
  // that arrive after their session ended.
  bool FindFinished(int64_t user, const std::string& pick_code, FileEntry* file);

  // Verifies and stores the finished content of `session`; its lock is held
  // (`state`), ctx->mu is not. Returns 0 or a refusal code; a hash mismatch
  // drops the session. The session's final offset is recorded only by the
  // transaction that turns it into a file.
  int Finish(const Session& session, State* state) REQUIRES(state->mu) EXCLUDES(ctx_->mu);

  // Ends `session` as a file of the content `sha1`, which is held already,
  // in one transaction. 0, kCodeBusy when a range of it is in flight, or
  // another refusal code.
  int FinishHeld(const Session& session, const std::string& sha1);

  // Finishes every session whose offset reached its size without finishing
  // (start-up, before serving).
  void FinishComplete() EXCLUDES(ctx_->mu);

  // Drops sessions idle for longer than their lifetime. A session busy with
  // a range is left for the next time.
  void DropIdle();

 private:
  // Removes the partial file and the in-memory state of an ended session.
  void Forget(int64_t session);

  ServiceContext* const ctx_;
  port::Mutex locks_mu_;
  std::map<int64_t, std::shared_ptr<State>> states_ GUARDED_BY(locks_mu_);
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_SESSION_REGISTRY_H_
