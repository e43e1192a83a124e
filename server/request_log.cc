#include "server/request_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace vexa::server::request_log {

namespace {

// What the handlers noted about the request this thread serves.
struct Noted {
  std::chrono::steady_clock::time_point start{};
  std::string account;
  int refusal = 0;
  std::string failure;
};
thread_local Noted noted;

// Query fields whose values open an account or sign a request.
bool IsSecretField(std::string_view name) {
  for (std::string_view s : {"sig", "sign", "source", "token", "key", "userkey", "uploadkey",
                             "password", "resource", "pwd"}) {
    if (name == s) return true;
  }
  return false;
}

// Printable ASCII kept, everything else as \xHH; backslashes and spaces
// (or, in a quoted text, quotes) escaped too, so fields stay apart.
void AppendClean(std::string* out, std::string_view text, bool quoted = false) {
  static const char kHex[] = "0123456789abcdef";
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F && c != '\\' && (quoted ? c != '"' : c != ' ')) {
      *out += ch;
    } else {
      *out += "\\x";
      *out += kHex[c >> 4];
      *out += kHex[c & 15];
    }
  }
}

std::string CleanTarget(std::string_view target) {
  std::string out;
  const size_t q = target.find('?');
  AppendClean(&out, target.substr(0, q));
  if (q == std::string_view::npos) return out;
  std::string_view query = target.substr(q + 1);
  out += '?';
  bool first = true;
  while (true) {
    const size_t amp = query.find('&');
    const std::string_view field = query.substr(0, amp);
    const size_t eq = field.find('=');
    if (!first) out += '&';
    first = false;
    AppendClean(&out, field.substr(0, eq));
    if (eq != std::string_view::npos) {
      out += '=';
      if (IsSecretField(field.substr(0, eq))) {
        out += '*';
      } else {
        AppendClean(&out, field.substr(eq + 1));
      }
    }
    if (amp == std::string_view::npos) break;
    query = query.substr(amp + 1);
  }
  return out;
}

}  // namespace

void Begin() {
  noted = Noted();
  noted.start = std::chrono::steady_clock::now();
}

void NoteAccount(std::string_view account) { noted.account = std::string(account); }

void NoteRefusal(int code) { noted.refusal = code; }

void NoteFailure(std::string_view error) { noted.failure = std::string(error); }

std::string Format(const Entry& e) {
  const std::time_t seconds = static_cast<std::time_t>(e.unix_ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char when[32];
  std::strftime(when, sizeof(when), "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string line = when;
  line += ' ';
  AppendClean(&line, e.address.empty() ? "-" : e.address);
  line += ' ';
  if (e.account.empty()) {
    line += '-';
  } else {
    AppendClean(&line, e.account);
  }
  line += ' ';
  AppendClean(&line, e.method);
  line += ' ' + CleanTarget(e.target) + ' ' + std::to_string(e.status) + ' ' +
          std::to_string(e.bytes) + ' ';
  line += e.millis < 0 ? "-" : std::to_string(e.millis) + "ms";
  if (e.refusal != 0) {
    line += " refused=" + std::to_string(e.refusal);
  } else if (!e.failure.empty()) {
    line += " failed=\"";
    AppendClean(&line, e.failure, true);
    line += '"';
  }
  return line;
}

void Install(httplib::Server* server) {
  server->set_logger([](const httplib::Request& req, const httplib::Response& res) {
    Entry e;
    e.unix_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
    e.address = req.remote_addr;
    e.account = noted.account;
    e.method = req.method;
    e.target = req.target;
    e.status = res.status;
    e.bytes = res.body.empty() ? res.content_length_ : res.body.size();
    if (noted.start != std::chrono::steady_clock::time_point()) {
      e.millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - noted.start)
                     .count();
    }
    e.refusal = noted.refusal;
    e.failure = noted.failure;
    noted = Noted();
    const std::string line = Format(e) + "\n";
    // One write per line: lines of concurrent requests never interleave.
    std::fwrite(line.data(), 1, line.size(), stderr);
  });
}

}  // namespace vexa::server::request_log
