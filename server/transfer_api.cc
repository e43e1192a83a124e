#include "server/transfer_api.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "codec/sha1.h"
#include "server/body_digest.h"
#include "server/connection_abort.h"
#include "server/form.h"
#include "server/http_server.h"
#include "server/names.h"
#include "server/random.h"
#include "server/range_phases.h"
#include "server/reply.h"
#include "server/request_log.h"

namespace vexa::server {

namespace {

// The query of a check or range URL: the user, the file's size and the time
// its upload key was issued. False when one of them is missing or malformed.
bool ParseTransferQuery(const std::string& target, FormFields* query, int64_t* user_id,
                        uint64_t* size, uint64_t* ets) {
  return ParseUrlEncoded(QueryOf(target), query) && ParseId(Field(*query, "userid"), user_id) &&
         ParseDecimal(Field(*query, "filesize"), size) && ParseDecimal(Field(*query, "ets"), ets);
}

}  // namespace

TransferApi::TransferApi(ServiceContext* ctx, SessionRegistry* sessions)
    : ctx_(ctx), sessions_(sessions) {
  if (const char* path = std::getenv("VEXA_RANGE_TIMES")) phase_log_ = std::fopen(path, "a");
}

TransferApi::~TransferApi() {
  if (phase_log_ != nullptr) std::fclose(phase_log_);
}

void TransferApi::Install(httplib::Server* server) {
  server->Get("/upload/2.0/check",
              [this](const httplib::Request& q, httplib::Response& r) { HandleCheck(q, r); });
  server->Post("/upload/2.0/bigupload",
               [this](const httplib::Request& q, httplib::Response& r,
                      const httplib::ContentReader& reader) { HandleRange(q, r, reader); });
}

int TransferApi::CheckUploadKey(const Session& session, const std::string& sig, uint64_t ets,
                                uint64_t size) {
  if (!TimingSafeEqual(sig, TransferSig(session.upload_key))) return kCodeBadSignature;
  if (static_cast<int64_t>(ets) != session.upload_time ||
      NowSeconds() > session.upload_time + ctx_->options.key_lifetime) {
    return kCodeKeyExpired;
  }
  if (size != session.size) return kCodeBadParameter;
  return 0;
}

bool TransferApi::FinishedTransfer(int64_t user, const std::string& pick_code,
                                   const std::string& sig, uint64_t size) {
  FileEntry file;
  // Files made by an instant upload never had a transfer.
  return sessions_->FindFinished(user, pick_code, &file) && !file.upload_key.empty() &&
         TimingSafeEqual(sig, TransferSig(file.upload_key)) && file.size == size;
}

void TransferApi::HandleCheck(const httplib::Request& req, httplib::Response& res) {
  int fault = ctx_->InjectFaults(FaultOp::kCheck, res);
  if (fault < 0) return;
  if (fault > 0) return Refuse(res, fault);
  FormFields query;
  int64_t user_id;
  uint64_t size, ets;
  if (!ParseTransferQuery(req.target, &query, &user_id, &size, &ets)) {
    return Refuse(res, kCodeBadParameter);
  }
  const std::string& pick_code = Field(query, "pickcode");
  const std::string sig = Upper(Field(query, "sig"));
  port::MutexLock lock(&ctx_->mu);
  User user;
  if (const int refusal = UserRefusal(ctx_->meta->FindUser(user_id, &user)))
    return Refuse(res, refusal);
  request_log::NoteAccount(user.account);
  Session session;
  if (IsPickCode(pick_code) && ctx_->meta->FindSession(user.id, pick_code, &session)) {
    const int refusal = CheckUploadKey(session, sig, ets, size);
    if (refusal != 0) return Refuse(res, refusal);
    // A session that holds every byte but has not become a file is not done:
    // the resent last byte finishes it.
    return ReplyOffset(res, std::min(session.offset, session.size - 1));
  }
  // Finished while the client was away: everything is held.
  if (!FinishedTransfer(user.id, pick_code, sig, size)) return Refuse(res, kCodeNoPickCode);
  ReplyOffset(res, size);
}

void TransferApi::HandleRange(const httplib::Request& req, httplib::Response& res,
                              const httplib::ContentReader& reader) {
  RangePhases phases(phase_log_);
  RangeTarget target = CheckRangeTarget(req);
  phases.End(RangePhases::kCheck);

  // The body is read whole before any refusal: refusing early would leave it
  // unread, and closing a socket with unread data resets it before the
  // client reads the refusal. Nothing of a body that is refused anyway is
  // hashed.
  std::string body;
  BodyDigest digest(&body, target.refusal == 0 && !target.finished ? target.boundary : "");
  if (!ReadRangeBody(req, reader, &body, &digest)) {
    res.status = 500;
    return;
  }
  phases.End(RangePhases::kReceive);
  int fault = ctx_->InjectFaults(FaultOp::kBigUpload, res);
  if (fault < 0) return;
  if (fault > 0) return Refuse(res, fault);
  if (target.refusal != 0) return Refuse(res, target.refusal);

  std::vector<MultipartPart> parts;
  RangeFields fields;
  const int refusal = ParseRangeFields(target, body, &parts, &fields);
  if (refusal != 0) return Refuse(res, refusal);
  phases.End(RangePhases::kParse);
  std::string data_hash;
  if (!digest.FinalHex(fields.data, &data_hash) || !TimingSafeEqual(fields.cthash, data_hash)) {
    return Refuse(res, kCodeHashMismatch);
  }
  phases.End(RangePhases::kDigest);
  if (target.finished) return ReplyOffset(res, target.size);
  CommitRange(&target, fields, &phases, res);
}

TransferApi::RangeTarget TransferApi::CheckRangeTarget(const httplib::Request& req) {
  RangeTarget t;
  FormFields query;
  const bool query_ok = ParseTransferQuery(req.target, &query, &t.user_id, &t.size, &t.ets);
  t.pickCode = Field(query, "pickcode");
  t.sig = Upper(Field(query, "sig"));
  if (!MultipartBoundary(req.get_header_value("X-Vexa-Body-Type"), &t.boundary)) {
    t.boundary.clear();
  }
  if (!query_ok) {
    t.refusal = kCodeBadParameter;
    return t;
  }
  port::MutexLock lock(&ctx_->mu);
  User user;
  t.refusal = UserRefusal(ctx_->meta->FindUser(t.user_id, &user));
  if (t.refusal != 0) return t;
  request_log::NoteAccount(user.account);
  if (IsPickCode(t.pickCode) && ctx_->meta->FindSession(user.id, t.pickCode, &t.session)) {
    t.refusal = CheckUploadKey(t.session, t.sig, t.ets, t.size);
  } else if (FinishedTransfer(user.id, t.pickCode, t.sig, t.size)) {
    t.finished = true;  // a resend of a range of an upload that has finished
  } else {
    t.refusal = kCodeNoPickCode;
  }
  return t;
}

bool TransferApi::ReadRangeBody(const httplib::Request& req, const httplib::ContentReader& reader,
                                std::string* body, BodyDigest* digest) {
  uint64_t length = 0;
  if (ParseDecimal(req.get_header_value("Content-Length"), &length)) {
    body->reserve(static_cast<size_t>(std::min<uint64_t>(length, kMaxBodyBytes + 1)));
  }
  int64_t drop_after = 0;
  const bool drop = ctx_->faults->Take(FaultOp::kBigUpload, FaultKind::kDrop, &drop_after);
  bool dropped = false;
  // A false from the reader (a body over the bound) leaves it short: the
  // parse refuses it.
  reader([&](const char* data, size_t n) {
    if (drop && body->size() + n > static_cast<uint64_t>(drop_after)) {
      dropped = true;
      AbortConnection(req.remote_addr, req.remote_port, req.local_port);
      return false;
    }
    body->append(data, n);
    if (body->size() > kMaxBodyBytes) return false;
    digest->Arrived();
    return true;
  });
  return !dropped;
}

int TransferApi::ParseRangeFields(const RangeTarget& target, const std::string& body,
                                  std::vector<MultipartPart>* parts, RangeFields* out) {
  if (target.boundary.empty() || !ParseMultipart(body, target.boundary, parts)) {
    return kCodeBadParameter;
  }
  std::map<std::string, const MultipartPart*> fields;
  for (const MultipartPart& p : *parts) fields.emplace(p.name, &p);
  if (!fields.count("ctrange") || !fields.count("cthash") || !fields.count("uploadfile")) {
    return kCodeBadParameter;
  }
  out->data = fields["uploadfile"]->data;
  const std::string range(fields["ctrange"]->data);
  out->cthash = Upper(std::string(fields["cthash"]->data));
  out->fileId = fields.count("fileid") ? Upper(std::string(fields["fileid"]->data)) : "";
  out->quickId = fields.count("quickid") ? Upper(std::string(fields["quickid"]->data)) : "";
  if ((!out->fileId.empty() && !IsHex40(out->fileId)) ||
      (!out->quickId.empty() && !IsHex40(out->quickId))) {
    return kCodeBadParameter;
  }
  const size_t dash = range.find('-');
  if (dash == std::string::npos || !ParseDecimal(range.substr(0, dash), &out->start) ||
      !ParseDecimal(range.substr(dash + 1), &out->end)) {
    return kCodeBadParameter;
  }
  const uint64_t start = out->start, end = out->end;
  if (end <= start || end > target.size || end - start != out->data.size() ||
      out->data.size() > kMaxRangeBytes) {
    return kCodeBadRange;
  }
  return 0;
}

void TransferApi::CommitRange(RangeTarget* target, const RangeFields& f, RangePhases* phases,
                              httplib::Response& res) {
  Session& session = target->session;
  const uint64_t start = f.start, end = f.end;
  const std::string_view data = f.data;
  ctx_->Hold(FaultOp::kRangeLock);
  std::shared_ptr<SessionRegistry::State> state = sessions_->Get(session.id);
  port::MutexLock guard(&state->mu);
  {
    port::MutexLock lock(&ctx_->mu);
    // Re-read under the session's lock: another range, a cancel or a new
    // dispatch may have come while the body arrived.
    if (!ctx_->meta->FindSessionById(session.id, &session) || session.user != target->user_id ||
        session.pickCode != target->pickCode) {
      // The range that was waiting here finished the file: acknowledge it.
      if (FinishedTransfer(target->user_id, target->pickCode, target->sig, target->size)) {
        return ReplyOffset(res, target->size);
      }
      return Refuse(res, kCodeNoPickCode);
    }
    const int refusal = CheckUploadKey(session, target->sig, target->ets, target->size);
    if (refusal != 0) return Refuse(res, refusal);
    if ((!f.fileId.empty() && !session.fileId.empty() && f.fileId != session.fileId) ||
        (!f.quickId.empty() && !session.quickId.empty() && f.quickId != session.quickId)) {
      return Refuse(res, kCodeHashMismatch);
    }
    if ((session.fileId.empty() && !f.fileId.empty()) ||
        (session.quickId.empty() && !f.quickId.empty())) {
      if (session.fileId.empty()) session.fileId = f.fileId;
      if (session.quickId.empty()) session.quickId = f.quickId;
      if (!ctx_->meta->UpdateSession(session)) return Refuse(res, kCodeOther);
    }
  }
  phases->End(RangePhases::kCheck);
  uint64_t offset = session.offset;
  if (start != offset) {
    // A range the service already holds (its answer was lost) is
    // acknowledged; a gap is refused.
    if (end > offset) return Refuse(res, kCodeBadRange);
  } else {
    // The running digest of the file, fed while the ranges come in order
    // from the start so the finished file need not be read again. It is
    // extended while the disk takes the range, and kept only once the range
    // is held.
    const bool extend = state->in_order && state->digested == start;
    Sha1 extended;
    if (extend) extended = state->digest;
    std::string error;
    const bool written = ctx_->blobs->WriteRange(session.id, start, data, &error, [&] {
      phases->End(RangePhases::kWrite);
      if (extend) extended.Update(data.data(), data.size());
      phases->End(RangePhases::kFileDigest);
    });
    if (!written) {
      std::fprintf(stderr, "vexa-server: %s\n", error.c_str());
      return Refuse(res, kCodeDiskFull);
    }
    phases->End(RangePhases::kSync);
    // The final offset is recorded by the transaction that finishes the file
    // alone: recorded before it, a crash in between would leave a session
    // that reports the whole file held while no file exists.
    if (end != session.size) {
      port::MutexLock lock(&ctx_->mu);
      if (!ctx_->meta->SetSessionOffset(session.id, end, NowSeconds())) {
        state->in_order = false;
        return Refuse(res, kCodeOther);
      }
    }
    phases->End(RangePhases::kCommit);
    if (extend) {
      state->digest = extended;
      state->digested = end;
    } else {
      state->in_order = false;
    }
    offset = end;
    session.offset = end;
  }
  if (offset == session.size) {
    int code = sessions_->Finish(session, state.get());
    if (code != 0) return Refuse(res, code);
    phases->End(RangePhases::kFinish);
  }
  ReplyOffset(res, offset);
}

}  // namespace vexa::server
