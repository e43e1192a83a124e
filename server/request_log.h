#ifndef VEXA_SERVER_REQUEST_LOG_H_
#define VEXA_SERVER_REQUEST_LOG_H_

#include <httplib.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vexa::server {

// One line on stderr for every request the service answers, failed logins
// included:
//   2026-12-09T17:30:01Z 127.0.0.1 alice POST /app/clogin 200 87 3ms failed="wrong account or
//   password" 2026-12-09T17:30:02Z 127.0.0.1 alice POST /app/upload?...&sig=* 200 95 1ms
//   refused=410
// (time in UTC, client address, account or "-", method, path with the values
// of secret query fields replaced by "*", HTTP status, body bytes,
// milliseconds, and what the answer refused: the service's refusal code or
// its error text). Texts a
// client sent are printed with control and non-ASCII bytes escaped, so a
// line cannot be forged or split.
namespace request_log {

// Installs the logger on `server`. The hooks below fill in what only the
// handlers know; they apply to the request the calling thread serves.
void Install(httplib::Server* server);

// The request's head has arrived (starts its clock).
void Begin();
// The account that the request acts for, or that a login tried.
void NoteAccount(std::string_view account);
// The refusal code, or the error text, of the service's answer.
void NoteRefusal(int code);
void NoteFailure(std::string_view error);

// What one line shows.
struct Entry {
  int64_t unix_ms = 0;
  std::string address;
  std::string account;
  std::string method;
  std::string target;  // path and query as sent
  int status = 0;
  uint64_t bytes = 0;
  int64_t millis = -1;  // -1: not known
  int refusal = 0;
  std::string failure;
};
std::string Format(const Entry& entry);

}  // namespace request_log
}  // namespace vexa::server

#endif  // VEXA_SERVER_REQUEST_LOG_H_
