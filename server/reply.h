#ifndef VEXA_SERVER_REPLY_H_
#define VEXA_SERVER_REPLY_H_

#include <httplib.h>
#include <json/json.h>

#include <cstdint>
#include <string>

#include "server/metadata.h"

namespace vexa::server {

// Refusal codes of the upload service ("statuscode").
enum : int {
  kCodeHashCollision = 300,
  kCodeBadSignature = 400,
  kCodeBadUser = 401,
  kCodeBadParameter = 402,
  kCodeKeyExpired = 403,
  kCodeBadRange = 404,
  kCodeHashMismatch = 405,
  kCodeNoSpace = 410,
  kCodeOverFileLimit = 411,
  kCodeNoPickCode = 412,
  kCodeDiskFull = 500,
  kCodeBusy = 501,
  kCodeOther = 502,
  kCodeNoFolder = 10014,
};

// The message ("statusmsg") of a refusal code.
const char* MessageFor(int code);

std::string ToJson(const Json::Value& value);

// The common part of an accepted upload-service answer.
Json::Value Accepted();

// A "200 OK" with `value` as its JSON body.
void Reply(httplib::Response& res, const Json::Value& value);
// The answer of a check or a range: how many bytes of the file are held.
void ReplyOffset(httplib::Response& res, uint64_t offset);
// A refusal of the upload service with the code's message.
void Refuse(httplib::Response& res, int code);

// The refusal of a request whose user lookup came to `found`: 0 when found,
// kCodeBadUser when there is no such user, kCodeOther when the query failed
// (never a pass).
int UserRefusal(Lookup found);

}  // namespace vexa::server

#endif  // VEXA_SERVER_REPLY_H_
