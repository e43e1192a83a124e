#include "server/dispatch_api.h"

#include <json/json.h>

#include <vector>

#include "server/account_api.h"
#include "server/names.h"
#include "server/random.h"
#include "server/reply.h"
#include "server/request_log.h"

namespace vexa::server {

void DispatchApi::Install(httplib::Server* server) {
  server->Post("/app/upload", [this](const httplib::Request& q, httplib::Response& r) {
    Handle(q, r, Kind::kUpload);
  });
  server->Post("/app/resume", [this](const httplib::Request& q, httplib::Response& r) {
    Handle(q, r, Kind::kResume);
  });
  server->Post("/app/cancel", [this](const httplib::Request& q, httplib::Response& r) {
    Handle(q, r, Kind::kCancel);
  });
}

void DispatchApi::Handle(const httplib::Request& req, httplib::Response& res, Kind kind) {
  int fault =
      ctx_->InjectFaults(kind == Kind::kCancel ? FaultOp::kCancel : FaultOp::kDispatch, res);
  if (fault < 0) return;
  if (fault > 0) return Refuse(res, fault);
  FormFields query, body;
  if (!ParseUrlEncoded(QueryOf(req.target), &query) || !ParseUrlEncoded(req.body, &body)) {
    return Refuse(res, kCodeBadParameter);
  }
  int64_t user_id;
  if (!ParseId(Field(body, "userid"), &user_id)) return Refuse(res, kCodeBadParameter);
  port::MutexLock lock(&ctx_->mu);
  User user;
  if (const int refusal = UserRefusal(ctx_->meta->FindUser(user_id, &user)))
    return Refuse(res, refusal);
  request_log::NoteAccount(user.account);
  const std::string sig = Upper(Field(query, "sig"));
  const int64_t now = NowSeconds();
  std::string signed_by;
  for (const std::string& key : ctx_->meta->LoginKeys(user.id, now, kLoginLifetime)) {
    std::string expected =
        DispatchSig(key, Field(body, "userid"), Field(body, "fileid"), Field(body, "quickid"),
                    Field(body, "pickcode"), Field(body, "target"));
    // Every key is compared, so the time taken does not reveal which matched.
    if (TimingSafeEqual(sig, expected)) signed_by = key;
  }
  if (signed_by.empty()) return Refuse(res, kCodeBadSignature);
  ctx_->meta->UseLogin(signed_by, now);
  if (kind == Kind::kCancel) {
    lock.Unlock();
    return Cancel(user, Field(body, "pickcode"), res);
  }
  Dispatch(user, body, res);
}

void DispatchApi::Cancel(const User& user, const std::string& pick_code, httplib::Response& res) {
  Session session;
  port::MutexLock lock(&ctx_->mu);
  if (!IsPickCode(pick_code) || !ctx_->meta->FindSession(user.id, pick_code, &session)) {
    FileEntry file;
    // A finished upload has nothing left to drop.
    if (sessions_->FindFinished(user.id, pick_code, &file)) return Reply(res, Accepted());
    return Refuse(res, kCodeNoPickCode);
  }
  // A range of this session may be in flight: wait for it under the
  // session's lock, which is always taken before ctx->mu.
  lock.Unlock();
  std::shared_ptr<SessionRegistry::State> state = sessions_->Get(session.id);
  {
    port::MutexLock guard(&state->mu);
    lock.Lock();
    if (ctx_->meta->FindSessionById(session.id, &session)) sessions_->Drop(session.id);
    lock.Unlock();
  }
  Reply(res, Accepted());
}

// The pick code, not the address it came to, tells a resume from a new upload.
void DispatchApi::Dispatch(const User& user, const FormFields& body, httplib::Response& res) {
  Metadata* meta = ctx_->meta;
  const std::string& name = Field(body, "filename");
  std::string file_id = Upper(Field(body, "fileid"));
  std::string quick_id = Upper(Field(body, "quickid"));
  const std::string& pick_code = Field(body, "pickcode");
  uint64_t size;
  int64_t target;
  std::vector<std::string> folders;
  if (!IsValidName(name) || !ParseDecimal(Field(body, "filesize"), &size) || size == 0 ||
      !ParseId(Field(body, "target"), &target) || !SplitRemotePath(Field(body, "path"), &folders) ||
      (!file_id.empty() && !IsHex40(file_id)) || (!quick_id.empty() && !IsHex40(quick_id)) ||
      (file_id.empty() && quick_id.empty()) || (!pick_code.empty() && !IsPickCode(pick_code))) {
    return Refuse(res, kCodeBadParameter);
  }
  if (size > ctx_->options.size_limit) return Refuse(res, kCodeOverFileLimit);
  if (!meta->FolderOwnedBy(target, user.id)) return Refuse(res, kCodeNoFolder);
  // Abandoned uploads must not hold quota and disk space forever.
  sessions_->DropIdle();

  const int64_t now = NowSeconds();
  const std::string upload_url = ctx_->base_url + "/upload";
  auto answer = [&](int status, const std::string& pick, int64_t folder, const std::string& key) {
    Json::Value v = Accepted();
    v["status"] = status;
    v["pickcode"] = pick;
    v["target"] = std::to_string(folder);
    v["uploadkey"] = key;
    v["uploadurl"] = key.empty() ? "" : upload_url;
    v["uploadtime"] = Json::Int64(key.empty() ? 0 : now);
    Reply(res, v);
  };
  uint64_t held_size = 0;
  const bool content_held = !file_id.empty() && meta->FindBlob(file_id, &held_size) &&
                            held_size == size && ctx_->blobs->HasBlob(file_id);

  if (!pick_code.empty()) {
    Session session;
    if (!meta->FindSession(user.id, pick_code, &session)) {
      FileEntry file;
      // The last range's answer may have been lost: the upload is complete.
      if (sessions_->FindFinished(user.id, pick_code, &file) && file.size == size &&
          (file_id.empty() || file_id == file.sha1)) {
        return answer(2, file.pickCode, file.folder, "");
      }
      return Refuse(res, kCodeNoPickCode);
    }
    if (session.size != size ||
        (!file_id.empty() && !session.fileId.empty() && file_id != session.fileId) ||
        (!quick_id.empty() && !session.quickId.empty() && quick_id != session.quickId)) {
      return Refuse(res, kCodeBadParameter);
    }
    if (content_held && sessions_->FinishHeld(session, file_id) == 0) {
      return answer(2, session.pickCode, session.folder, "");
    }
    if (!file_id.empty()) session.fileId = file_id;
    if (!quick_id.empty()) session.quickId = quick_id;
    session.upload_key = RandomKey();
    session.upload_time = now;
    if (!meta->UpdateSession(session)) return Refuse(res, kCodeOther);
    return answer(1, session.pickCode, session.folder, session.upload_key);
  }

  if (!content_held && file_id.empty() && meta->QuickIdKnown(quick_id, size)) {
    // Same sample and size: ask for the whole-file identity before deciding.
    return Refuse(res, kCodeHashCollision);
  }
  // Walks `folders` below the target; only creates them when asked, so that
  // a refusal leaves nothing behind.
  auto resolve = [&](bool create, int64_t* folder) {
    *folder = target;
    for (const std::string& f : folders) {
      bool ok = create ? meta->FindOrCreateFolder(user.id, *folder, f, folder)
                       : meta->FindFolder(user.id, *folder, f, folder);
      if (!ok) return false;
    }
    return true;
  };
  int64_t folder;
  if (content_held) {
    FileEntry existing;
    if (resolve(false, &folder) && meta->FindFile(folder, name, &existing) &&
        existing.sha1 == file_id) {
      // This very file is there already: nothing to store or charge.
      return answer(2, existing.pickCode, folder, "");
    }
  }
  // A failed count is the service's failure, never room to spare.
  uint64_t used, reserved;
  if (!meta->UsedBytes(user.id, &used) || !meta->ReservedBytes(user.id, 0, &reserved)) {
    return Refuse(res, kCodeOther);
  }
  if (used + reserved + size > user.quota) return Refuse(res, kCodeNoSpace);
  // Each open session holds a partial file and a row the idle sweep visits.
  if (!content_held) {
    uint64_t open_sessions;
    if (!meta->CountSessions(user.id, &open_sessions)) return Refuse(res, kCodeOther);
    if (open_sessions >= ctx_->options.max_sessions) return Refuse(res, kCodeBusy);
  }
  if (!resolve(true, &folder)) return Refuse(res, kCodeOther);
  if (content_held) {
    FileEntry file;
    file.user = user.id;
    file.folder = folder;
    file.name = name;
    file.size = size;
    file.sha1 = file_id;
    file.pickCode = UnusedPickCode();
    if (!meta->PutFile(file)) return Refuse(res, kCodeOther);
    return answer(2, file.pickCode, folder, "");
  }
  Session session;
  session.user = user.id;
  session.folder = folder;
  session.name = name;
  session.size = size;
  session.fileId = file_id;
  session.quickId = quick_id;
  session.upload_key = RandomKey();
  session.upload_time = now;
  session.pickCode = UnusedPickCode();
  if (!meta->CreateSession(&session)) return Refuse(res, kCodeOther);
  answer(1, session.pickCode, folder, session.upload_key);
}

std::string DispatchApi::UnusedPickCode() {
  std::string pick_code;
  do {
    pick_code = RandomText(kPickAlphabet, 12);
  } while (ctx_->meta->PickCodeInUse(pick_code));
  return pick_code;
}

}  // namespace vexa::server
