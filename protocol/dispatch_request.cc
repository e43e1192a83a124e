#include "protocol/dispatch_request.h"

#include "account/session.h"
#include "codec/sha1.h"
#include "codec/text.h"
#include "port/debug.h"
#include "protocol/service_answer.h"

namespace vexa {
namespace {

constexpr int32_t kQuickUploadStatus = 2;

bool Sha1OfText(const std::string& text, std::string* hex) {
  return Sha1Hex(text.data(), text.size(), hex);
}

bool Signature(const JobFields& f, const std::string& user_id, const std::string& user_key,
               std::string* sig) {
  std::string inner;
  if (!Sha1OfText(user_id + f.fileId + f.quickId + f.pickCode + f.target + kServiceAppId, &inner))
    return false;
  return Sha1OfText(user_key + ToLower(inner) + kServiceSignText, sig);
}

}  // namespace

bool DispatchSignature(const UploadJob& job, std::string* sig) {
  return Signature(job.Fields(), GetUserId(), GetUserKey(), sig);
}

namespace {

bool BuildRequest(const JobFields& f, JobState state, std::string* url, std::string* body) {
  const AccountState account = CopyAccountState();
  std::string base;
  switch (state) {
    case JobState::kCancelled:
      base = account.urlCancel;
      break;
    case JobState::kUploading:
      base = f.pickCode.empty() ? account.urlUpload : account.urlResume;
      break;
    case JobState::kOther:
      return false;
  }
  // Without a login there is no address: the request is not built rather
  // than sent to a relative path.
  if (base.empty()) return false;
  std::string sig;
  if (!Signature(f, account.userId, account.userKey, &sig)) return false;

  // The isp value is the signed number as its 64-bit two's complement.
  const uint64_t isp = static_cast<uint64_t>(static_cast<int64_t>(f.ispType));
  *url = base + "?appid=" + kServiceAppId + "&appversion=" + kServiceAppVersion +
         "&format=json&isp=" + FormatU64(isp) + "&sig=" + sig;
  *body = "userid=" + account.userId +
          "&filename=" + UrlEncode(Utf8ToWide(FileNameOf(f.filePath))) +
          "&filesize=" + FormatU64(static_cast<uint64_t>(f.fileSize)) + "&target=" + f.target +
          "&path=" + UrlEncode(Utf8ToWide(f.remotePath)) + "&fileid=" + f.fileId +
          "&quickid=" + f.quickId + "&pickcode=" + f.pickCode;
  port::DebugOut("TARGET: " + f.target + "\n");
  port::DebugOut("PATH: " + f.remotePath + "\n");
  return true;
}

// The pick code goes unencoded into later query strings and form bodies, and
// names a section of the resume store: an answer with anything but letters,
// digits, '-', '_' and '.' in it, or an unlikely length, is not readable.
bool IsPlainPickCode(const std::string& code) {
  if (code.size() > 64) return false;
  for (char c : code) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    if (!plain) return false;
  }
  return true;
}

}  // namespace

bool BuildDispatchRequest(const UploadJob& job, std::string* url, std::string* body) {
  return BuildRequest(job.Fields(), job.State(), url, body);
}

bool BuildCancelRequest(const JobFields& fields, std::string* url, std::string* body) {
  if (fields.pickCode.empty()) return false;
  return BuildRequest(fields, JobState::kCancelled, url, body);
}

bool ParseDispatchResponse(UploadJob& job, const std::string& body) {
  TransferContext* transfer = job.Transfer();
  if (transfer == nullptr) return false;
  ServiceAnswer answer;
  if (!ReadServiceAnswer(body, &answer)) return false;
  if (answer.statusCode != 0) {
    job.SetRefusal(answer.statusCode, Utf8ToAnsi(answer.statusMessage));
    return false;
  }
  // Everything is read before anything is stored, so an answer with one
  // unreadable member leaves the job as it was.
  std::string key, upload_url, target, pick_code;
  int64_t upload_time;
  if (!AnswerText(answer, "uploadkey", &key) || !AnswerText(answer, "uploadurl", &upload_url) ||
      !AnswerInt64(answer, "uploadtime", &upload_time) || !AnswerText(answer, "target", &target) ||
      !AnswerText(answer, "pickcode", &pick_code) || !IsPlainPickCode(pick_code)) {
    return false;
  }
  if (answer.status == kQuickUploadStatus) job.SetQuickUpload();
  transfer->uploadKey = key;
  transfer->uploadUrl = upload_url;
  transfer->uploadTime = upload_time;
  const size_t slash = target.rfind('/');
  if (slash != std::string::npos) target.erase(0, slash + 1);
  if (!target.empty()) job.RecordFolderTarget(target);
  job.AdoptPickCode(pick_code);
  return true;
}

}  // namespace vexa
