#ifndef VEXA_PROTOCOL_DISPATCH_REQUEST_H_
#define VEXA_PROTOCOL_DISPATCH_REQUEST_H_

#include <string>

#include "protocol/upload_job.h"

namespace vexa {

// Query values every upload-service request carries.
inline constexpr char kServiceAppId[] = "0";
inline constexpr char kServiceAppVersion[] = "win_1.0.1026.4";
// The fixed text that ends the dispatch signature and begins the transfer one.
inline constexpr char kServiceSignText[] = "503418";

// The dispatch request's "sig": the SHA-1 (upper-case hex) of the session's
// userkey, the lower-cased SHA-1 of userid + fileId + quickId + pickCode +
// target + appid, and kServiceSignText. False when a digest fails.
bool DispatchSignature(const UploadJob& job, std::string* sig);

// The dispatch request of the job: the URL (login's cancel address for a
// cancelled job, resume address for an uploading job with a pick code, upload
// address otherwise, then the signed query) and the form body of eight
// fields. False, with the outputs untouched, for a job in any other state,
// when the session has no such address, or when the signature fails.
bool BuildDispatchRequest(const UploadJob& job, std::string* url, std::string* body);

// The cancel request of an upload the service knows by `fields.pickCode`,
// from its values alone (the task may be gone, or known only from its resume
// record). False without a pick code, or as for BuildDispatchRequest.
bool BuildCancelRequest(const JobFields& fields, std::string* url, std::string* body);

// Reads a dispatch answer into the job. True only for a readable answer with
// "statuscode" 0: then the quick-upload flag follows "status" 2, the upload
// key, URL and time go to the transfer context, a non-empty "target" (the text
// after its last "/") is recorded as the remote folder of the file's
// directory, and "pickcode" is adopted when the job has none. A refusal stores
// its code and message and returns false. An unreadable answer, or a job
// without a transfer context, returns false and changes nothing.
bool ParseDispatchResponse(UploadJob& job, const std::string& body);

}  // namespace vexa

#endif  // VEXA_PROTOCOL_DISPATCH_REQUEST_H_
