#include "protocol/transfer_request.h"

#include "account/session.h"
#include "codec/sha1.h"
#include "codec/text.h"
#include "protocol/dispatch_request.h"
#include "protocol/service_answer.h"

namespace vexa {
namespace {

bool BuildTransferUrl(const UploadJob& job, const char* path, std::string* url) {
  const TransferContext* transfer = job.Transfer();
  if (transfer == nullptr) return false;
  std::string sig;
  if (!TransferSignature(transfer->uploadKey, &sig)) return false;
  const JobFields f = job.Fields();
  *url = transfer->uploadUrl + path + "?appid=" + kServiceAppId +
         "&appversion=" + kServiceAppVersion +
         "&format=json&ets=" + FormatU64(static_cast<uint64_t>(transfer->uploadTime)) +
         "&filesize=" + FormatU64(static_cast<uint64_t>(f.fileSize)) + "&userid=" + GetUserId() +
         "&pickcode=" + f.pickCode + "&sig=" + sig;
  return true;
}

// The offset of an accepted answer; false for an unreadable answer, or a
// refusal (stored in the job).
bool ReadOffset(UploadJob& job, const std::string& body, int64_t* offset) {
  ServiceAnswer answer;
  if (!ReadServiceAnswer(body, &answer)) return false;
  if (answer.statusCode != 0) {
    job.SetRefusal(answer.statusCode, Utf8ToAnsi(answer.statusMessage));
    return false;
  }
  if (!AnswerInt64(answer, "offset", offset)) return false;
  // The service cannot hold less than nothing or more than the file: taking
  // such an offset would make the client claim bytes nobody sent.
  return *offset >= 0 && *offset <= job.Fields().fileSize;
}

}  // namespace

bool TransferSignature(const std::string& upload_key, std::string* sig) {
  const std::string text = kServiceSignText + upload_key + kServiceAppId;
  return Sha1Hex(text.data(), text.size(), sig);
}

bool BuildCheckUrl(const UploadJob& job, std::string* url) {
  return BuildTransferUrl(job, "/2.0/check", url);
}

bool BuildBigUploadUrl(const UploadJob& job, std::string* url) {
  return BuildTransferUrl(job, "/2.0/bigupload", url);
}

bool ParseCheckResponse(UploadJob& job, const std::string& body) {
  TransferContext* transfer = job.Transfer();
  int64_t offset;
  if (transfer == nullptr || !ReadOffset(job, body, &offset)) return false;
  transfer->offset = offset;
  job.SetUploadedSize(offset);
  return true;
}

bool ParseBigUploadResponse(UploadJob& job, const std::string& body) {
  TransferContext* transfer = job.Transfer();
  int64_t offset;
  if (transfer == nullptr || !ReadOffset(job, body, &offset)) return false;
  transfer->offset = offset;
  return true;
}

}  // namespace vexa
