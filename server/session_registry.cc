#include "server/session_registry.h"

#include <cstdio>

#include "server/names.h"
#include "server/reply.h"
#include "server/service_context.h"

namespace vexa::server {

std::shared_ptr<SessionRegistry::State> SessionRegistry::Get(int64_t session) {
  std::lock_guard<std::mutex> lock(locks_mu_);
  std::shared_ptr<State>& state = states_[session];
  if (!state) state = std::make_shared<State>();
  return state;
}

void SessionRegistry::Drop(int64_t session) {
  ctx_->meta->DeleteSession(session);
  ctx_->blobs->RemovePartial(session);
  std::lock_guard<std::mutex> lock(locks_mu_);
  states_.erase(session);
}

bool SessionRegistry::FindFinished(int64_t user, const std::string& pickcode, FileEntry* file) {
  return IsPickcode(pickcode) && ctx_->meta->FindFileByPickcode(user, pickcode, file);
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
  if ((!session.fileid.empty() && session.fileid != sha1) ||
      (!session.quickid.empty() && session.quickid != quick)) {
    // The content is not what the client announced: keep nothing of it.
    std::lock_guard<std::mutex> lock(ctx_->mu);
    Drop(session.id);
    return kCodeHashMismatch;
  }
  {
    std::lock_guard<std::mutex> lock(ctx_->mu);
    if (!ctx_->meta->FinishSession(session, sha1, quick)) return kCodeOther;
  }
  // Recorded first, moved second: a crash in between leaves a partial file
  // that the next start moves into place.
  std::string move_error;
  if (!ctx_->blobs->Commit(session.id, sha1, &move_error)) {
    std::fprintf(stderr, "vexa-server: %s\n", move_error.c_str());
    return kCodeDiskFull;
  }
  std::lock_guard<std::mutex> lock(locks_mu_);
  states_.erase(session.id);
  return 0;
}

void SessionRegistry::DropIdle() {
  for (int64_t id : ctx_->meta->IdleSessions(NowSeconds(), ctx_->options.session_lifetime)) {
    std::shared_ptr<State> state = Get(id);
    std::unique_lock<std::mutex> busy(state->mu, std::try_to_lock);
    if (!busy.owns_lock()) continue;
    Drop(id);
  }
}

}  // namespace vexa::server
