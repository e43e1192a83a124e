#include "server/options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace vexa::server {

namespace {

bool ParseUnsigned(std::string_view text, uint64_t* value) {
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && ptr == text.data() + text.size();
}

bool IsDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool ParseListen(const std::string& text, Options* o) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  uint64_t port;
  if (!ParseUnsigned(std::string_view(text).substr(colon + 1), &port) || port > 65535) return false;
  o->host = text.substr(0, colon);
  if (o->host.size() > 2 && o->host.front() == '[' && o->host.back() == ']') {
    o->host = o->host.substr(1, o->host.size() - 2);
  }
  o->port = static_cast<int>(port);
  return true;
}

constexpr char kUserFormat[] = "NAME:PASSWORD[:QUOTA_BYTES]";

// NAME:PASSWORD[:QUOTA_BYTES]. The password may hold ':' itself; a last
// field of digits after a second ':' is the quota. Returns what is wrong, or
// nullptr.
const char* ParseUser(const std::string& text, UserSpec* user) {
  size_t first = text.find(':');
  if (first == std::string::npos || first == 0) return "no NAME: before the password";
  user->account = text.substr(0, first);
  std::string rest = text.substr(first + 1);
  size_t last = rest.rfind(':');
  if (last != std::string::npos && IsDigits(std::string_view(rest).substr(last + 1))) {
    if (!ParseUnsigned(std::string_view(rest).substr(last + 1), &user->quota)) {
      return "the quota is too large";
    }
    rest.resize(last);
  }
  user->password = rest;
  if (user->password.empty()) return "the password is empty";
  // Clients take a 40-character password for its digest, so such a password
  // would log in as itself rather than hashed.
  if (user->password.size() == 40) return "a password of exactly 40 characters cannot be used";
  return nullptr;
}

// The accounts of a users file: one NAME:PASSWORD[:QUOTA_BYTES] a line,
// blank lines and lines starting with '#' skipped. The file holds passwords,
// so it must be a regular file only its owner may read.
bool ReadUsersFile(const std::string& path, std::vector<UserSpec>* users, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "--users-file " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  std::string text;
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && !S_ISREG(st.st_mode)) {
    *error = "--users-file " + path + " is not a regular file";
    ok = false;
  } else if (ok && (st.st_mode & 077) != 0) {
    *error = "--users-file " + path + " may be read or changed by other users; chmod 600 it";
    ok = false;
  }
  char buf[4096];
  ssize_t n = 0;
  while (ok && (n = ::read(fd, buf, sizeof(buf))) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "--users-file " + path + ": " + std::strerror(errno);
      ok = false;
    } else {
      text.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  int line_number = 0;
  for (size_t pos = 0; ok && pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    UserSpec user;
    // The line itself is not repeated: it holds a password.
    if (const char* wrong = ParseUser(line, &user)) {
      *error = path + " line " + std::to_string(line_number) + ": " + wrong + "; each line is " +
               kUserFormat;
      ok = false;
    } else {
      users->push_back(user);
    }
  }
  return ok;
}

// True when clients elsewhere could not use the listening address as the
// base of the addresses handed out.
bool NeedsPublicUrl(const std::string& host) {
  return host == "0.0.0.0" || host.find(':') != std::string::npos;
}

bool ParseFileRange(const std::string& text, SizeClasses* classes) {
  size_t eq = text.find('=');
  if (eq == std::string::npos) return false;
  std::string cls = text.substr(0, eq);
  std::string range = text.substr(eq + 1);
  if (cls != "0" && cls != "1" && cls != "2") return false;
  size_t dash = range.find('-');
  if (dash == std::string::npos) return false;
  uint64_t low, high = 0;
  if (!ParseUnsigned(std::string_view(range).substr(0, dash), &low)) return false;
  std::string_view high_text = std::string_view(range).substr(dash + 1);
  if (!high_text.empty() && !ParseUnsigned(high_text, &high)) return false;
  if (high != 0 && high < low) return false;
  (*classes)[cls[0] - '0'] = range;
  return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* o, std::string* error) {
  bool have_listen = false, have_data = false, have_token = false;
  bool ranges_given = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (flag == "--help" || flag == "-h") {
      o->help = true;
      return true;
    }
    std::string value;
    std::string name = flag;
    size_t eq = flag.find('=');
    if (flag.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = flag.substr(0, eq);
      value = flag.substr(eq + 1);
    } else {
      if (i + 1 >= args.size()) {
        *error = "missing value for " + flag;
        return false;
      }
      value = args[++i];
    }
    if (name == "--listen") {
      if (!ParseListen(value, o)) {
        *error = "--listen wants HOST:PORT, got \"" + value + "\"";
        return false;
      }
      have_listen = true;
    } else if (name == "--data") {
      if (value.empty()) {
        *error = "--data wants a folder";
        return false;
      }
      o->data_dir = value;
      have_data = true;
    } else if (name == "--user") {
      UserSpec user;
      if (const char* wrong = ParseUser(value, &user)) {
        *error = std::string("--user wants ") + kUserFormat + ": " + wrong;
        return false;
      }
      o->users.push_back(user);
    } else if (name == "--users-file") {
      if (!ReadUsersFile(value, &o->users, error)) return false;
    } else if (name == "--admin-token") {
      if (value.empty()) {
        *error = "--admin-token must not be empty";
        return false;
      }
      o->admin_token = value;
      have_token = true;
    } else if (name == "--time-limit") {
      char* end = nullptr;
      o->time_limit = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(o->time_limit >= 0)) {
        *error = "--time-limit wants seconds, got \"" + value + "\"";
        return false;
      }
    } else if (name == "--size-limit") {
      if (!ParseUnsigned(value, &o->size_limit) || o->size_limit == 0) {
        *error = "--size-limit wants a positive byte count, got \"" + value + "\"";
        return false;
      }
    } else if (name == "--file-range") {
      if (!ranges_given) o->size_classes.clear();
      ranges_given = true;
      if (!ParseFileRange(value, &o->size_classes)) {
        *error = "--file-range wants CLASS=LOW-HIGH with CLASS 0, 1 or 2, got \"" + value + "\"";
        return false;
      }
    } else if (name == "--type-limit") {
      o->type_limit.clear();
      size_t pos = 0;
      while (pos <= value.size()) {
        size_t comma = value.find(',', pos);
        if (comma == std::string::npos) comma = value.size();
        if (comma > pos) o->type_limit.push_back(value.substr(pos, comma - pos));
        pos = comma + 1;
      }
    } else if (name == "--faults") {
      o->faults = value;
    } else if (name == "--public-url") {
      while (!value.empty() && value.back() == '/') value.pop_back();
      if (value.rfind("http://", 0) != 0 && value.rfind("https://", 0) != 0) {
        *error = "--public-url wants an http:// or https:// address";
        return false;
      }
      o->public_url = value;
    } else if (name == "--tls-cert") {
      o->tls_cert = value;
    } else if (name == "--tls-key") {
      o->tls_key = value;
    } else if (name == "--key-lifetime") {
      uint64_t seconds;
      if (!ParseUnsigned(value, &seconds) || seconds == 0 || seconds > 365 * 24 * 3600) {
        *error = "--key-lifetime wants seconds";
        return false;
      }
      o->key_lifetime = static_cast<int64_t>(seconds);
    } else if (name == "--session-lifetime") {
      uint64_t seconds;
      if (!ParseUnsigned(value, &seconds) || seconds == 0 || seconds > 10 * 365 * 24 * 3600ull) {
        *error = "--session-lifetime wants seconds";
        return false;
      }
      o->session_lifetime = static_cast<int64_t>(seconds);
    } else if (name == "--max-sessions") {
      if (!ParseUnsigned(value, &o->max_sessions) || o->max_sessions == 0) {
        *error = "--max-sessions wants a positive count";
        return false;
      }
    } else if (name == "--workers") {
      uint64_t n;
      if (!ParseUnsigned(value, &n) || n == 0 || n > 4096) {
        *error = "--workers wants a count from 1 to 4096";
        return false;
      }
      o->workers = static_cast<int>(n);
    } else if (name == "--read-timeout") {
      uint64_t seconds;
      if (!ParseUnsigned(value, &seconds) || seconds == 0 || seconds > 600) {
        *error = "--read-timeout wants seconds from 1 to 600";
        return false;
      }
      o->read_timeout = static_cast<int>(seconds);
    } else if (name == "--keep-alive") {
      uint64_t seconds;
      if (!ParseUnsigned(value, &seconds) || seconds > 600) {
        *error = "--keep-alive wants seconds from 0 to 600";
        return false;
      }
      o->keep_alive = static_cast<int>(seconds);
    } else if (name == "--keep-alive-requests") {
      uint64_t n;
      if (!ParseUnsigned(value, &n) || n == 0 || n > 1000000) {
        *error = "--keep-alive-requests wants a count from 1 to 1000000";
        return false;
      }
      o->keep_alive_requests = static_cast<int>(n);
    } else if (name == "--default-quota") {
      if (!ParseUnsigned(value, &o->default_quota)) {
        *error = "--default-quota wants a byte count";
        return false;
      }
    } else {
      *error = "unknown option " + flag;
      return false;
    }
  }
  if (!have_listen) {
    *error = "--listen HOST:PORT is required";
    return false;
  }
  if (!have_data) {
    *error = "--data DIR is required";
    return false;
  }
  if (!have_token) {
    const char* token = std::getenv("VEXA_ADMIN_TOKEN");
    if (token == nullptr || *token == '\0') {
      *error = "the admin token is required: set VEXA_ADMIN_TOKEN (or give --admin-token TOKEN)";
      return false;
    }
    o->admin_token = token;
  }
  if (o->tls_cert.empty() != o->tls_key.empty()) {
    *error = "--tls-cert and --tls-key go together";
    return false;
  }
  if (NeedsPublicUrl(o->host) && o->public_url.empty()) {
    *error = "--listen " + o->host + " names no address clients can use; give --public-url " +
             "http://HOST:PORT, the address they reach this server at";
    return false;
  }
  return true;
}

std::string UsageText() {
  return "usage: VEXA_ADMIN_TOKEN=TOKEN vexa-server --listen HOST:PORT --data DIR\n"
         "                   --users-file FILE [options]\n"
         "\n"
         "The account API and upload service. Prints \"listening on http://HOST:PORT\" once it\n"
         "accepts connections and serves until SIGINT or SIGTERM.\n"
         "\n"
         "  --listen HOST:PORT        address to serve on; port 0 picks a free port. Listening\n"
         "                            on 0.0.0.0 or an IPv6 address needs --public-url\n"
         "  --data DIR                metadata and file content; survives restarts\n"
         "  --users-file FILE         accounts to create or update, one NAME:PASSWORD[:Q] a\n"
         "                            line (# starts a comment); Q is the quota in bytes\n"
         "                            (default 64 GiB). Refused unless only its owner may read\n"
         "                            it (chmod 600)\n"
         "  --user NAME:PASSWORD[:Q]  one account (repeatable); for tests: other local users\n"
         "                            can read a command line\n"
         "  VEXA_ADMIN_TOKEN=TOKEN    (environment) secret for GET /admin/export, sent in the\n"
         "                            X-Admin-Token header\n"
         "  --admin-token TOKEN       the same, on the command line (for tests)\n"
         "  --time-limit S            pause clients keep between files (default 0)\n"
         "  --size-limit BYTES        largest single file (default 16 GiB)\n"
         "  --file-range C=LOW-HIGH   size class C (0, 1, 2) of the hashing rules; repeatable;\n"
         "                            defaults 0=0-1048576 1=1048576-67108864 2=67108864-0\n"
         "  --type-limit EXT,...      extensions that always get both identities\n"
         "  --faults RULES            injected failures, OP:ACTION[*COUNT],... with OP one of\n"
         "                            login space dispatch cancel check bigupload any and\n"
         "                            ACTION drop=BYTES delay=MS status=CODE fail\n"
         "  --public-url URL          base of the addresses handed out (behind a proxy, or\n"
         "                            when listening on every interface); https:// behind a\n"
         "                            proxy that ends TLS for this server\n"
         "  --tls-cert FILE           serve HTTPS with this PEM certificate chain ...\n"
         "  --tls-key FILE            ... and its PEM private key (both or neither)\n"
         "  --key-lifetime S          validity of an upload key (default 86400)\n"
         "  --session-lifetime S      an unfinished upload idle this long is dropped with its\n"
         "                            data (default 30 days)\n"
         "  --default-quota BYTES     quota of accounts given without one\n"
         "  --max-sessions N          unfinished uploads a user may have open (default 1000)\n"
         "  --workers N               connections served at once (default 64); as many more\n"
         "                            may wait, further ones are answered 503 at once\n"
         "  --read-timeout S          a client silent this long mid-request is dropped\n"
         "                            (default 8)\n"
         "  --keep-alive S            a connection is kept this long for its next request\n"
         "                            without holding a worker (default 5; 0: never)\n"
         "  --keep-alive-requests N   requests one connection may carry (default 1000)\n";
}

}  // namespace vexa::server
