#include "server/transfer_api.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "codec/sha1.h"
#include "server/connection_abort.h"
#include "server/form.h"
#include "server/http_server.h"
#include "server/names.h"
#include "server/random.h"
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

// Microseconds spent in each phase of one range, for the benchmark's log.
class RangePhases {
 public:
  // The request head's time counts from when a worker took its connection.
  explicit RangePhases(std::FILE* log) : log_(log) {
    const Clock::time_point taken = HttpServer::RequestStart();
    if (taken != Clock::time_point() && taken < start_) last_ = start_ = taken;
    End(kHead);
  }
  ~RangePhases() { Print(); }

  enum Phase {
    kHead, kReceive, kParse, kCheck, kDigest, kWrite, kFileDigest, kSync, kCommit, kFinish, kCount
  };

  // Charges the time since the last call to `phase`.
  void End(Phase phase) {
    const Clock::time_point now = Clock::now();
    us_[phase] += std::chrono::duration_cast<std::chrono::microseconds>(now - last_).count();
    last_ = now;
  }

  void Print() const {
    if (log_ == nullptr) return;
    static constexpr const char* kNames[kCount] = {"head", "receive", "parse", "check", "digest", "write",
                                                   "filedigest", "sync", "commit", "finish"};
    std::string line;
    for (int i = 0; i < kCount; ++i) line += std::string(kNames[i]) + "=" + std::to_string(us_[i]) + " ";
    line += "total=" + std::to_string(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count());
    std::fprintf(log_, "%s\n", line.c_str());
    std::fflush(log_);
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* const log_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_ = start_;
  int64_t us_[kCount] = {};
};

// The digest of a range's data, computed as the body arrives: once the file
// part's head is in, every byte that cannot belong to the closing delimiter
// is hashed. Checked against the parsed data at the end, so a body read
// otherwise than foreseen is simply hashed again.
class BodyDigest {
 public:
  // No hashing on arrival with an empty `boundary`.
  BodyDigest(const std::string* body, std::string boundary)
      : body_(body), boundary_(std::move(boundary)), tail_(MultipartTailBytes(boundary_)) {}

  // Called after each piece of the body is appended.
  void Arrived() {
    if (boundary_.empty()) return;
    if (start_ == std::string::npos) {
      // The head comes first and is small: past this, give up on hashing early.
      if (body_->size() > kHeadLimit) {
        boundary_.clear();
        return;
      }
      start_ = MultipartFileStart(*body_, boundary_);
      if (start_ == std::string::npos) return;
      hashed_ = start_;
    }
    if (body_->size() > hashed_ + tail_) {
      const size_t n = body_->size() - tail_ - hashed_;
      sha1_.Update(body_->data() + hashed_, n);
      hashed_ += n;
    }
  }

  // The digest of `data`, the parsed file data of the body.
  bool FinalHex(std::string_view data, std::string* hex) {
    const size_t at = static_cast<size_t>(data.data() - body_->data());
    if (boundary_.empty() || start_ != at || hashed_ > at + data.size()) {
      return Sha1Hex(data.data(), data.size(), hex);
    }
    sha1_.Update(body_->data() + hashed_, at + data.size() - hashed_);
    return sha1_.FinalHex(hex);
  }

 private:
  static constexpr size_t kHeadLimit = 64 * 1024;
  const std::string* const body_;
  std::string boundary_;
  const size_t tail_;
  size_t start_ = std::string::npos;
  size_t hashed_ = 0;
  Sha1 sha1_;
};

}  // namespace

TransferApi::TransferApi(ServiceContext* ctx, SessionRegistry* sessions) : ctx_(ctx), sessions_(sessions) {
  if (const char* path = std::getenv("VEXA_RANGE_TIMES")) phase_log_ = std::fopen(path, "a");
}

TransferApi::~TransferApi() {
  if (phase_log_ != nullptr) std::fclose(phase_log_);
}

void TransferApi::Install(httplib::Server* server) {
  server->Get("/upload/2.0/check", [this](const httplib::Request& q, httplib::Response& r) {
    HandleCheck(q, r);
  });
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

bool TransferApi::FinishedTransfer(int64_t user, const std::string& pickcode,
                                   const std::string& sig, uint64_t size) {
  FileEntry file;
  // Files made by an instant upload never had a transfer.
  return sessions_->FindFinished(user, pickcode, &file) && !file.upload_key.empty() &&
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
  const std::string& pickcode = Field(query, "pickcode");
  const std::string sig = Upper(Field(query, "sig"));
  std::lock_guard<std::mutex> lock(ctx_->mu);
  User user;
  switch (ctx_->meta->FindUser(user_id, &user)) {
    case Lookup::kFound: break;
    case Lookup::kNotFound: return Refuse(res, kCodeBadUser);
    case Lookup::kFailed: return Refuse(res, kCodeOther);
  }
  request_log::NoteAccount(user.account);
  Session session;
  if (IsPickcode(pickcode) && ctx_->meta->FindSession(user.id, pickcode, &session)) {
    const int refusal = CheckUploadKey(session, sig, ets, size);
    if (refusal != 0) return Refuse(res, refusal);
    // A session that holds every byte but has not become a file is not done:
    // the resent last byte finishes it.
    return ReplyOffset(res, std::min(session.offset, session.size - 1));
  }
  // Finished while the client was away: everything is held.
  if (!FinishedTransfer(user.id, pickcode, sig, size)) return Refuse(res, kCodeNoPickcode);
  ReplyOffset(res, size);
}

void TransferApi::HandleRange(const httplib::Request& req, httplib::Response& res,
                              const httplib::ContentReader& reader) {
  RangePhases phases(phase_log_);
  // The URL alone says whether the request may act on a session: nothing of
  // a body that is refused anyway is hashed.
  FormFields query;
  int64_t user_id = 0;
  uint64_t size = 0, ets = 0;
  const bool query_ok = ParseTransferQuery(req.target, &query, &user_id, &size, &ets);
  const std::string& pickcode = Field(query, "pickcode");
  const std::string sig = Upper(Field(query, "sig"));
  std::string boundary;
  const bool multipart = MultipartBoundary(req.get_header_value("X-Vexa-Body-Type"), &boundary);
  int refusal = query_ok ? 0 : kCodeBadParameter;
  bool finished = false;  // the session already ended in a file
  Session session;
  if (refusal == 0) {
    std::lock_guard<std::mutex> lock(ctx_->mu);
    User user;
    const Lookup found = ctx_->meta->FindUser(user_id, &user);
    if (found == Lookup::kFound) request_log::NoteAccount(user.account);
    if (found != Lookup::kFound) {
      refusal = found == Lookup::kFailed ? kCodeOther : kCodeBadUser;
    } else if (IsPickcode(pickcode) && ctx_->meta->FindSession(user.id, pickcode, &session)) {
      refusal = CheckUploadKey(session, sig, ets, size);
    } else if (FinishedTransfer(user.id, pickcode, sig, size)) {
      finished = true;  // a resend of a range of an upload that has finished
    } else {
      refusal = kCodeNoPickcode;
    }
  }
  phases.End(RangePhases::kCheck);

  // The body is read whole before any refusal: refusing early would leave it
  // unread, and closing a socket with unread data resets it before the
  // client reads the refusal.
  std::string body;
  uint64_t length = 0;
  if (ParseDecimal(req.get_header_value("Content-Length"), &length)) {
    body.reserve(static_cast<size_t>(std::min<uint64_t>(length, kMaxBodyBytes + 1)));
  }
  BodyDigest digest(&body, multipart && refusal == 0 && !finished ? boundary : "");
  int64_t drop_after = 0;
  const bool drop = ctx_->faults->Take(FaultOp::kBigUpload, FaultKind::kDrop, &drop_after);
  bool dropped = false;
  reader([&](const char* data, size_t n) {
    if (drop && body.size() + n > static_cast<uint64_t>(drop_after)) {
      dropped = true;
      AbortConnection(req.remote_addr, req.remote_port, req.local_port);
      return false;
    }
    body.append(data, n);
    if (body.size() > kMaxBodyBytes) return false;
    digest.Arrived();
    return true;
  });
  if (dropped) {
    res.status = 500;
    return;
  }
  phases.End(RangePhases::kReceive);
  int fault = ctx_->InjectFaults(FaultOp::kBigUpload, res);
  if (fault < 0) return;
  if (fault > 0) return Refuse(res, fault);
  if (refusal != 0) return Refuse(res, refusal);

  std::vector<MultipartPart> parts;
  if (!multipart || !ParseMultipart(body, boundary, &parts)) return Refuse(res, kCodeBadParameter);
  std::map<std::string, const MultipartPart*> fields;
  for (const MultipartPart& p : parts) fields.emplace(p.name, &p);
  if (!fields.count("ctrange") || !fields.count("cthash") || !fields.count("uploadfile")) {
    return Refuse(res, kCodeBadParameter);
  }
  const std::string_view data = fields["uploadfile"]->data;
  const std::string range(fields["ctrange"]->data);
  const std::string cthash = Upper(std::string(fields["cthash"]->data));
  std::string fileid = fields.count("fileid") ? Upper(std::string(fields["fileid"]->data)) : "";
  std::string quickid = fields.count("quickid") ? Upper(std::string(fields["quickid"]->data)) : "";
  if ((!fileid.empty() && !IsHex40(fileid)) || (!quickid.empty() && !IsHex40(quickid))) {
    return Refuse(res, kCodeBadParameter);
  }
  uint64_t start, end;
  size_t dash = range.find('-');
  if (dash == std::string::npos || !ParseDecimal(range.substr(0, dash), &start) ||
      !ParseDecimal(range.substr(dash + 1), &end)) {
    return Refuse(res, kCodeBadParameter);
  }
  if (end <= start || end > size || end - start != data.size() || data.size() > kMaxRangeBytes) {
    return Refuse(res, kCodeBadRange);
  }
  phases.End(RangePhases::kParse);
  std::string data_hash;
  if (!digest.FinalHex(data, &data_hash) || !TimingSafeEqual(cthash, data_hash)) {
    return Refuse(res, kCodeHashMismatch);
  }
  phases.End(RangePhases::kDigest);
  if (finished) return ReplyOffset(res, size);

  ctx_->Hold(FaultOp::kRangeLock);
  std::shared_ptr<SessionRegistry::State> state = sessions_->Get(session.id);
  std::lock_guard<std::mutex> guard(state->mu);
  {
    std::lock_guard<std::mutex> lock(ctx_->mu);
    // Re-read under the session's lock: another range, a cancel or a new
    // dispatch may have come while the body arrived.
    if (!ctx_->meta->FindSessionById(session.id, &session) || session.user != user_id ||
        session.pickcode != pickcode) {
      // The range that was waiting here finished the file: acknowledge it.
      if (FinishedTransfer(user_id, pickcode, sig, size)) return ReplyOffset(res, size);
      return Refuse(res, kCodeNoPickcode);
    }
    refusal = CheckUploadKey(session, sig, ets, size);
    if (refusal != 0) return Refuse(res, refusal);
    if ((!fileid.empty() && !session.fileid.empty() && fileid != session.fileid) ||
        (!quickid.empty() && !session.quickid.empty() && quickid != session.quickid)) {
      return Refuse(res, kCodeHashMismatch);
    }
    if ((session.fileid.empty() && !fileid.empty()) || (session.quickid.empty() && !quickid.empty())) {
      if (session.fileid.empty()) session.fileid = fileid;
      if (session.quickid.empty()) session.quickid = quickid;
      if (!ctx_->meta->UpdateSession(session)) return Refuse(res, kCodeOther);
    }
  }
  phases.End(RangePhases::kCheck);
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
      phases.End(RangePhases::kWrite);
      if (extend) extended.Update(data.data(), data.size());
      phases.End(RangePhases::kFileDigest);
    });
    if (!written) {
      std::fprintf(stderr, "vexa-server: %s\n", error.c_str());
      return Refuse(res, kCodeDiskFull);
    }
    phases.End(RangePhases::kSync);
    // The final offset is recorded by the transaction that finishes the file
    // alone: recorded before it, a crash in between would leave a session
    // that reports the whole file held while no file exists.
    if (end != session.size) {
      std::lock_guard<std::mutex> lock(ctx_->mu);
      if (!ctx_->meta->SetSessionOffset(session.id, end, NowSeconds())) {
        state->in_order = false;
        return Refuse(res, kCodeOther);
      }
    }
    phases.End(RangePhases::kCommit);
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
    phases.End(RangePhases::kFinish);
  }
  ReplyOffset(res, offset);
}

}  // namespace vexa::server
