#ifndef VEXA_PROTOCOL_TRANSFER_REQUEST_H_
#define VEXA_PROTOCOL_TRANSFER_REQUEST_H_

#include <string>

#include "protocol/upload_job.h"

namespace vexa {

// The "sig" of the check and big-upload URLs: the SHA-1 (upper-case hex) of
// kServiceSignText + `upload_key` + appid. False when the digest fails.
bool TransferSignature(const std::string& upload_key, std::string* sig);

// The check URL ("/2.0/check") and the big-upload URL ("/2.0/bigupload") on
// the job's upload server, with the signed query (ets, filesize, userid,
// pickcode, sig). False, with `*url` untouched, when the job has no transfer
// context or the signature fails.
bool BuildCheckUrl(const UploadJob& job, std::string* url);
bool BuildBigUploadUrl(const UploadJob& job, std::string* url);

// Read a check or range answer. On "statuscode" 0 with an "offset" within
// 0..fileSize: the transfer's offset (and, for the check, the task's
// uploadedSize) becomes that offset, true. A refusal stores its code and
// message, false. An unreadable answer, an offset outside the file, or a job
// without a transfer context: false, nothing stored.
bool ParseCheckResponse(UploadJob& job, const std::string& body);
bool ParseBigUploadResponse(UploadJob& job, const std::string& body);

}  // namespace vexa

#endif  // VEXA_PROTOCOL_TRANSFER_REQUEST_H_
