#include "server/session_registry.h"

#include <cstdio>

#include "server/names.h"
#include "server/reply.h"
#include "server/service_context.h"

namespace vexa::server {

std::shared_ptr<SessionRegistry::State> SessionRegistry::Get(int64_t session) {
  port::MutexLock lock(&locks_mu_);
  std::shared_ptr<State>& state = states_[session];
  if (!state) state = std::make_shared<State>();
  return state;
}

void SessionRegistry::Drop(int64_t session) {
  ctx_->mu.AssertHeld();
  ctx_->meta->DeleteSession(session);
  Forget(session);
}

void SessionRegistry::Forget(int64_t session) {
  ctx_->blobs->RemovePartial(session);
  port::MutexLock lock(&locks_mu_);
  states_.erase(session);
}

bool SessionRegistry::FindFinished(int64_t user, const std::string& pick_code, FileEntry* file) {
  ctx_->mu.AssertHeld();
  return IsPickCode(pick_code) && ctx_->meta->FindFileByPickCode(user, pick_code, file);
}

int SessionRegistry::Finish(const Session& session, State* state) {
  const std::string path = ctx_->blobs->PartialPath(session.id);
  std::string sha1, quick;
  uint32_t error = 0;
  // Without a running digest of every byte (a restart, a rewrite), read the
  // file again. The copy keeps the running digest usable should this
  // attempt fail.
  Sha1 digest = state->digest;
  const bool digested = state->in_order && state->digested == session.size;
  if (!(digested ? digest.FinalHex(&sha1) : Sha1FileHex(&error, HashProgressFn(), path, &sha1)) ||
      !QuickIdHex(path, &quick, &error)) {
    state->in_order = false;
    std::fprintf(stderr, "vexa-server: cannot hash %s (error %u)\n", path.c_str(), error);
    return kCodeOther;
  }
  if ((!session.fileId.empty() && session.fileId != sha1) ||
      (!session.quickId.empty() && session.quickId != quick)) {
    // The content is not what the client announced: keep nothing of it.
    port::MutexLock lock(&ctx_->mu);
    Drop(session.id);
    return kCodeHashMismatch;
  }
  // Named as a blob first, recorded second: a failure or crash in between
  // leaves the session as it was (its last range is answered again) and at
  // worst a blob no file refers to, which the next start reclaims.
  std::string error_text;
  if (!ctx_->blobs->Publish(session.id, sha1, &error_text)) {
    std::fprintf(stderr, "vexa-server: %s\n", error_text.c_str());
    return kCodeDiskFull;
  }
  ctx_->Hold(FaultOp::kFinish);
  port::MutexLock lock(&ctx_->mu);
  // A delete of the last other file with this content may have removed the
  // blob the publish found held; the partial file still has the bytes.
  if (!ctx_->blobs->HasBlob(sha1) && !ctx_->blobs->Publish(session.id, sha1, &error_text)) {
    std::fprintf(stderr, "vexa-server: %s\n", error_text.c_str());
    return kCodeDiskFull;
  }
  if (!ctx_->meta->FinishSession(session, sha1, quick)) return kCodeOther;
  Forget(session.id);
  return 0;
}

int SessionRegistry::FinishHeld(const Session& session, const std::string& sha1) {
  ctx_->mu.AssertHeld();
  std::shared_ptr<State> state = Get(session.id);
  // A range in flight will finish or fail the session itself.
  if (!state->mu.TryLock()) return kCodeBusy;
  Session current;
  int code = kCodeOther;
  if (ctx_->meta->FindSessionById(session.id, &current) &&
      ctx_->meta->FinishSession(current, sha1, current.quickId)) {
    Forget(session.id);
    code = 0;
  }
  state->mu.Unlock();
  return code;
}

void SessionRegistry::FinishComplete() {
  std::vector<int64_t> ids;
  {
    port::MutexLock lock(&ctx_->mu);
    ids = ctx_->meta->CompleteSessions();
  }
  for (int64_t id : ids) {
    std::shared_ptr<State> state = Get(id);
    port::MutexLock guard(&state->mu);
    Session session;
    {
      port::MutexLock lock(&ctx_->mu);
      if (!ctx_->meta->FindSessionById(id, &session)) continue;
    }
    session.offset = session.size;
    const int code = Finish(session, state.get());
    if (code == 0 || code == kCodeHashMismatch) continue;
    // Not finished now: ask the client for the last byte again, whose range
    // finishes it, rather than let it believe the file is stored.
    port::MutexLock lock(&ctx_->mu);
    ctx_->meta->SetSessionOffset(id, session.size - 1, NowSeconds());
  }
}

void SessionRegistry::DropIdle() {
  ctx_->mu.AssertHeld();
  for (int64_t id : ctx_->meta->IdleSessions(NowSeconds(), ctx_->options.session_lifetime)) {
    std::shared_ptr<State> state = Get(id);
    if (!state->mu.TryLock()) continue;
    Drop(id);
    state->mu.Unlock();
  }
}

}  // namespace vexa::server
