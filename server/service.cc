#include "server/service.h"

#include <json/json.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "codec/login_sign.h"
#include "codec/sha1.h"
#include "codec/text.h"
#include "server/connection_abort.h"
#include "server/form.h"
#include "server/random.h"
#include "server/web_page.h"

namespace vexa::server {

namespace {

// Fixed texts of the signatures shared with the clients.
constexpr char kSignSuffix[] = "503418";
constexpr char kAppId[] = "0";

// Logins older than this no longer sign requests or query space.
constexpr int64_t kLoginLifetime = 30 * 24 * 3600;
// A login whose clock differs from ours by more is refused.
constexpr int64_t kMaxClockSkew = 600;
constexpr int64_t kWebSessionLifetime = 12 * 3600;
constexpr char kWebCookie[] = "vexa_session";
constexpr char kPickAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";

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
  kCodeNoPickcode = 412,
  kCodeDiskFull = 500,
  kCodeBusy = 501,
  kCodeOther = 502,
  kCodeNoFolder = 10014,
};

const char* MessageFor(int code) {
  switch (code) {
    case 300: return "mdvexa碰撞";
    case 400: return "签名认证失败";
    case 401: return "用户身份异常";
    case 402: return "参数错误";
    case 403: return "上传权限超时";
    case 404: return "range错误";
    case 405: return "哈希不匹配";
    case 410: return "网盘空间不足";
    case 411: return "文件大小超过额度";
    case 412: return "提取码不存在";
    case 500: return "服务器磁盘空间不足";
    case 501: return "上传服务器繁忙";
    case 502: return "502未知错误";
    case 600: return "客户端版本过低";
    case 10014: return "目录不存在";
    default: return "未知错误";
  }
}

int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string ToJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

// The common part of an accepted upload-service answer.
Json::Value Accepted() {
  Json::Value v;
  v["state"] = true;
  v["status"] = 1;
  v["statuscode"] = 0;
  v["statusmsg"] = "";
  return v;
}

void Reply(httplib::Response& res, const Json::Value& value) {
  res.status = 200;
  res.set_content(ToJson(value), "application/json; charset=utf-8");
}

// The answer of a check or a range: how many bytes of the file are held.
void ReplyOffset(httplib::Response& res, uint64_t offset) {
  Json::Value v = Accepted();
  v["offset"] = Json::UInt64(offset);
  Reply(res, v);
}

bool ParseDecimal(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

bool ParseId(const std::string& text, int64_t* id) {
  uint64_t v;
  if (!ParseDecimal(text, &v) || v == 0 || v > (uint64_t{1} << 62)) return false;
  *id = static_cast<int64_t>(v);
  return true;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool IsHex40(const std::string& text) {
  if (text.size() != 40) return false;
  for (char c : text) {
    if (HexDigitValue(c) < 0) return false;
  }
  return true;
}

bool IsPickcode(const std::string& text) {
  if (text.empty() || text.size() > 32) return false;
  for (char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// Checks that `text` is well-formed UTF-8 without overlong forms or
// surrogates.
bool IsUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= text.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      unsigned char d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

// A file or folder name: no separators, no control characters, not "." or
// "..", valid UTF-8 and of sane length.
bool IsValidName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (char ch : name) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  }
  return IsUtf8(name);
}

// "a/b/c" into its names; false when one of them is not a valid name.
bool SplitRemotePath(const std::string& path, std::vector<std::string>* names) {
  names->clear();
  if (path.empty()) return true;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    std::string name = path.substr(pos, slash - pos);
    if (!IsValidName(name)) return false;
    names->push_back(std::move(name));
    pos = slash + 1;
  }
  return names->size() <= 64;
}

std::string Sha1Of(const std::string& text) {
  std::string hex;
  Sha1Hex(text.data(), text.size(), &hex);
  return hex;
}

// The signature of a dispatch request under one login key.
std::string DispatchSig(const std::string& userkey, const std::string& userid,
                        const std::string& fileid, const std::string& quickid,
                        const std::string& pickcode, const std::string& target) {
  std::string inner = ToLower(Sha1Of(userid + fileid + quickid + pickcode + target + kAppId));
  return Sha1Of(userkey + inner + kSignSuffix);
}

// The signature of the check and big-upload URLs of one upload key.
std::string TransferSig(const std::string& upload_key) {
  return Sha1Of(kSignSuffix + upload_key + kAppId);
}

std::string FormatSize(uint64_t bytes) {
  static const char* kUnits[] = {"B", "KB", "MB", "GB", "TB", "PB"};
  double v = static_cast<double>(bytes);
  int unit = 0;
  while (v >= 1024 && unit < 5) {
    v /= 1024;
    ++unit;
  }
  char buf[32];
  if (unit == 0) {
    std::snprintf(buf, sizeof(buf), "%llu B", static_cast<unsigned long long>(bytes));
  } else {
    std::snprintf(buf, sizeof(buf), "%.1f %s", v, kUnits[unit]);
  }
  return buf;
}

std::string CookieValue(const httplib::Request& req, const std::string& name) {
  std::string header = req.get_header_value("Cookie");
  size_t pos = 0;
  while (pos < header.size()) {
    size_t semi = header.find(';', pos);
    if (semi == std::string::npos) semi = header.size();
    std::string item = header.substr(pos, semi - pos);
    size_t start = item.find_first_not_of(' ');
    if (start != std::string::npos) item = item.substr(start);
    if (item.size() > name.size() && item.compare(0, name.size(), name) == 0 &&
        item[name.size()] == '=') {
      return item.substr(name.size() + 1);
    }
    pos = semi + 1;
  }
  return "";
}

const std::string& Field(const FormFields& fields, const std::string& name) {
  static const std::string kEmpty;
  auto it = fields.find(name);
  return it == fields.end() ? kEmpty : it->second;
}

// The query of a check or range URL: the user, the file's size and the time
// its upload key was issued. False when one of them is missing or malformed.
bool ParseTransferQuery(const std::string& target, FormFields* query, int64_t* user_id,
                        uint64_t* size, uint64_t* ets) {
  return ParseUrlEncoded(QueryOf(target), query) && ParseId(Field(*query, "userid"), user_id) &&
         ParseDecimal(Field(*query, "filesize"), size) && ParseDecimal(Field(*query, "ets"), ets);
}

}  // namespace

Service::Service(const Options& options, Metadata* meta, BlobStore* blobs, FaultPlan* faults)
    : options_(options), meta_(meta), blobs_(blobs), faults_(faults) {
  base_url_ = "http://" + options.host + ":" + std::to_string(options.port);
}

bool Service::Start(std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const UserSpec& u : options_.users) {
    std::string digest;
    if (!PasswordDigest(u.password, &digest)) {
      *error = "empty password for " + u.account;
      return false;
    }
    if (!IsValidName(u.account)) {
      *error = "account names must be printable text: " + u.account;
      return false;
    }
    if (!meta_->UpsertUser(u.account, digest, u.quota ? u.quota : options_.default_quota)) {
      *error = "cannot store the account " + u.account;
      return false;
    }
  }
  DropIdleSessions();
  // Partial files without a session are either finished content whose move
  // into place was cut short by a crash, or data of a dropped session.
  for (int64_t id : blobs_->ListPartials()) {
    Session session;
    if (meta_->FindSessionById(id, &session)) continue;
    std::string sha1;
    uint32_t hash_error = 0;
    uint64_t size = 0;
    std::string move_error;
    if (Sha1FileHex(&hash_error, HashProgressFn(), blobs_->PartialPath(id), &sha1) &&
        meta_->FindBlob(sha1, &size) && !blobs_->HasBlob(sha1) &&
        blobs_->Commit(id, sha1, &move_error)) {
      continue;
    }
    blobs_->RemovePartial(id);
  }
  return true;
}

void Service::Install(httplib::Server* server) {
  server->set_keep_alive_max_count(1);  // one request per connection
  server->set_payload_max_length(kMaxBodyBytes);
  // The range body ends its closing delimiter without a CRLF, which the HTTP
  // library's own multipart reader refuses; hide the type so that the raw
  // body reaches our parser.
  server->set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
    if (req.path == "/upload/2.0/bigupload") {
      auto& headers = const_cast<httplib::Headers&>(req.headers);
      auto it = headers.find("Content-Type");
      if (it != headers.end()) {
        std::string type = it->second;
        headers.erase(it);
        headers.emplace("X-Vexa-Body-Type", type);
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server->Post("/app/clogin", [this](const httplib::Request& q, httplib::Response& r) {
    HandleLogin(q, r);
  });
  server->Get("/app/user/space", [this](const httplib::Request& q, httplib::Response& r) {
    HandleSpace(q, r);
  });
  server->Post("/app/upload", [this](const httplib::Request& q, httplib::Response& r) {
    HandleDispatch(q, r, DispatchKind::kUpload);
  });
  server->Post("/app/resume", [this](const httplib::Request& q, httplib::Response& r) {
    HandleDispatch(q, r, DispatchKind::kResume);
  });
  server->Post("/app/cancel", [this](const httplib::Request& q, httplib::Response& r) {
    HandleDispatch(q, r, DispatchKind::kCancel);
  });
  server->Get("/upload/2.0/check", [this](const httplib::Request& q, httplib::Response& r) {
    HandleCheck(q, r);
  });
  server->Post("/upload/2.0/bigupload",
               [this](const httplib::Request& q, httplib::Response& r,
                      const httplib::ContentReader& reader) { HandleBigUpload(q, r, reader); });
  server->Get("/admin/export", [this](const httplib::Request& q, httplib::Response& r) {
    HandleExport(q, r);
  });
  server->Get("/", [this](const httplib::Request& q, httplib::Response& r) { HandleHome(q, r); });
  server->Post("/login", [this](const httplib::Request& q, httplib::Response& r) {
    HandleWebLogin(q, r);
  });
  server->Post("/logout", [this](const httplib::Request& q, httplib::Response& r) {
    HandleWebLogout(q, r);
  });
  server->set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    Json::Value v;
    v["state"] = false;
    v["error"] = "HTTP status " + std::to_string(res.status);
    res.set_content(ToJson(v), "application/json; charset=utf-8");
  });
}

int Service::InjectFaults(FaultOp op, httplib::Response& res) {
  if (faults_->empty()) return 0;
  int64_t value;
  if (faults_->Take(op, FaultKind::kDelay, &value)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(value));
  }
  if (faults_->Take(op, FaultKind::kFail, &value)) {
    res.status = 500;
    res.set_content("injected failure\n", "text/plain");
    return -1;
  }
  if (faults_->Take(op, FaultKind::kStatus, &value)) return static_cast<int>(value);
  return 0;
}

void Service::Refuse(httplib::Response& res, int code) {
  Json::Value v;
  v["state"] = false;
  v["status"] = 0;
  v["statuscode"] = code;
  v["statusmsg"] = MessageFor(code);
  Reply(res, v);
}

void Service::FillSpace(const User& user, Json::Value* space) {
  uint64_t used = meta_->UsedBytes(user.id);
  uint64_t total = user.quota;
  uint64_t remain = used < total ? total - used : 0;
  (*space)["byte_size_total"] = Json::UInt64(total);
  (*space)["byte_size_used"] = Json::UInt64(used);
  (*space)["byte_size_remain"] = Json::UInt64(remain);
  (*space)["size_total"] = FormatSize(total);
  (*space)["size_used"] = FormatSize(used);
  (*space)["size_remain"] = FormatSize(remain);
  char percent[32];
  double p = total ? 100.0 * static_cast<double>(used) / static_cast<double>(total) : 100.0;
  std::snprintf(percent, sizeof(percent), "%.1f%%", p);
  (*space)["size_used_percent"] = percent;
}

void Service::HandleLogin(const httplib::Request& req, httplib::Response& res) {
  Json::Value v;
  v["state"] = false;
  int fault = InjectFaults(FaultOp::kLogin, res);
  if (fault < 0) return;
  if (fault > 0) {
    v["error"] = MessageFor(fault);
    Reply(res, v);
    return;
  }
  FormFields form;
  if (!ParseUrlEncoded(req.body, &form)) {
    v["error"] = "malformed login request";
    Reply(res, v);
    return;
  }
  const std::string& account = Field(form, "account");
  const std::string& time_text = Field(form, "_time");
  const std::string& sign = Field(form, "sign");
  User user;
  bool known;
  {
    std::lock_guard<std::mutex> lock(mu_);
    known = meta_->FindUserByAccount(account, &user);
  }
  // Both failures read alike, so the answer does not tell which accounts exist.
  if (!known || !TimingSafeEqual(ToLower(sign), LoginSign(account, user.digest, time_text))) {
    v["error"] = "wrong account or password";
    Reply(res, v);
    return;
  }
  uint64_t client_time;
  int64_t now = NowSeconds();
  if (!ParseDecimal(time_text, &client_time) ||
      std::llabs(static_cast<long long>(client_time) - now) > kMaxClockSkew) {
    v["error"] = "the computer's clock differs from the service's by more than 10 minutes";
    Reply(res, v);
    return;
  }
  const std::string key = RandomKey();
  const std::string resource = RandomText(kPickAlphabet, 24);
  Json::Value space(Json::objectValue);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!meta_->AddLogin(user.id, key, resource, now)) {
      v["error"] = "the service cannot record the login";
      Reply(res, v);
      return;
    }
    FillSpace(user, &space);
  }
  v["state"] = true;
  v["error"] = "";
  v["upload_allowed"] = 1;
  v["is_vip"] = false;
  v["user_id"] = std::to_string(user.id);
  v["user_name"] = user.account;
  v["face"] = "";
  v["email"] = "";
  v["resource"] = resource;
  v["userkey"] = key;
  v["url_upload"] = base_url_ + "/app/upload";
  v["url_resume"] = base_url_ + "/app/resume";
  v["url_cancel"] = base_url_ + "/app/cancel";
  v["target"] = std::to_string(user.root);
  v["time_limit"] = options_.time_limit;
  v["size_limit"] = Json::UInt64(options_.size_limit);
  v["space"] = space;
  Json::Value types(Json::arrayValue);
  for (const std::string& t : options_.type_limit) types.append(t);
  v["type_limit"] = types;
  Json::Value ranges(Json::objectValue);
  for (const auto& c : options_.size_classes) ranges[std::to_string(c.first)] = c.second;
  v["file_range"] = ranges;
  Reply(res, v);
}

void Service::HandleSpace(const httplib::Request& req, httplib::Response& res) {
  Json::Value v;
  v["state"] = false;
  int fault = InjectFaults(FaultOp::kSpace, res);
  if (fault < 0) return;
  FormFields query;
  int64_t user_id;
  if (fault > 0 || !ParseUrlEncoded(QueryOf(req.target), &query) ||
      !ParseId(Field(query, "user_id"), &user_id)) {
    v["error"] = fault > 0 ? MessageFor(fault) : "malformed space request";
    Reply(res, v);
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  User user;
  // The resource token of a login authorizes the query: user ids alone are
  // guessable.
  if (!meta_->FindUser(user_id, &user) ||
      !meta_->HasResource(user.id, Field(query, "source"), NowSeconds(), kLoginLifetime)) {
    v["error"] = "unknown user or expired login";
    Reply(res, v);
    return;
  }
  Json::Value space(Json::objectValue);
  FillSpace(user, &space);
  v["state"] = true;
  v["user_id"] = std::to_string(user.id);
  v["space"] = space;
  Reply(res, v);
}

void Service::HandleDispatch(const httplib::Request& req, httplib::Response& res,
                             DispatchKind kind) {
  int fault = InjectFaults(kind == DispatchKind::kCancel ? FaultOp::kCancel : FaultOp::kDispatch, res);
  if (fault < 0) return;
  if (fault > 0) return Refuse(res, fault);
  FormFields query, body;
  if (!ParseUrlEncoded(QueryOf(req.target), &query) || !ParseUrlEncoded(req.body, &body)) {
    return Refuse(res, kCodeBadParameter);
  }
  int64_t user_id;
  if (!ParseId(Field(body, "userid"), &user_id)) return Refuse(res, kCodeBadParameter);
  std::unique_lock<std::mutex> lock(mu_);
  User user;
  if (!meta_->FindUser(user_id, &user)) return Refuse(res, kCodeBadUser);
  const std::string sig = Upper(Field(query, "sig"));
  bool signed_ok = false;
  for (const std::string& key : meta_->LoginKeys(user.id, NowSeconds(), kLoginLifetime)) {
    std::string expected = DispatchSig(key, Field(body, "userid"), Field(body, "fileid"),
                                       Field(body, "quickid"), Field(body, "pickcode"),
                                       Field(body, "target"));
    // Every key is compared, so the time taken does not reveal which matched.
    signed_ok = TimingSafeEqual(sig, expected) || signed_ok;
  }
  if (!signed_ok) return Refuse(res, kCodeBadSignature);
  if (kind == DispatchKind::kCancel) {
    lock.unlock();
    return Cancel(user, Field(body, "pickcode"), res);
  }
  Dispatch(user, body, res);
}

void Service::Cancel(const User& user, const std::string& pickcode, httplib::Response& res) {
  Session session;
  std::unique_lock<std::mutex> lock(mu_);
  if (!IsPickcode(pickcode) || !meta_->FindSession(user.id, pickcode, &session)) {
    FileEntry file;
    // A finished upload has nothing left to drop.
    if (IsPickcode(pickcode) && meta_->FindFileByPickcode(user.id, pickcode, &file)) {
      Json::Value v = Accepted();
      return Reply(res, v);
    }
    return Refuse(res, kCodeNoPickcode);
  }
  // A range of this session may be in flight: wait for it under the
  // session's lock, which is always taken before mu_.
  lock.unlock();
  std::shared_ptr<SessionState> state = SessionLock(session.id);
  {
    std::lock_guard<std::mutex> guard(state->mu);
    lock.lock();
    if (meta_->FindSessionById(session.id, &session)) {
      meta_->DeleteSession(session.id);
      blobs_->RemovePartial(session.id);
    }
    lock.unlock();
  }
  DropSessionLock(session.id);
  Json::Value v = Accepted();
  Reply(res, v);
}

// The pick code, not the address it came to, tells a resume from a new upload.
void Service::Dispatch(const User& user, const FormFields& body, httplib::Response& res) {
  const std::string& name = Field(body, "filename");
  std::string fileid = Upper(Field(body, "fileid"));
  std::string quickid = Upper(Field(body, "quickid"));
  const std::string& pickcode = Field(body, "pickcode");
  uint64_t size;
  int64_t target;
  std::vector<std::string> folders;
  if (!IsValidName(name) || !ParseDecimal(Field(body, "filesize"), &size) || size == 0 ||
      !ParseId(Field(body, "target"), &target) || !SplitRemotePath(Field(body, "path"), &folders) ||
      (!fileid.empty() && !IsHex40(fileid)) || (!quickid.empty() && !IsHex40(quickid)) ||
      (fileid.empty() && quickid.empty()) || (!pickcode.empty() && !IsPickcode(pickcode))) {
    return Refuse(res, kCodeBadParameter);
  }
  if (size > options_.size_limit) return Refuse(res, kCodeOverFileLimit);
  if (!meta_->FolderOwnedBy(target, user.id)) return Refuse(res, kCodeNoFolder);
  // Abandoned uploads must not hold quota and disk space forever.
  DropIdleSessions();

  const int64_t now = NowSeconds();
  const std::string upload_url = base_url_ + "/upload";
  auto answer = [&](int status, const std::string& pick, int64_t folder, const std::string& key) {
    Json::Value v = Accepted();
    v["status"] = status;
    v["pickcode"] = pick;
    v["target"] = std::to_string(folder);
    v["uploadkey"] = key;
    v["uploadurl"] = key.empty() ? "" : upload_url;
    v["uploadtime"] = Json::Int64(key.empty() ? 0 : now);
    Reply(res, v);
  };
  uint64_t held_size = 0;
  const bool content_held = !fileid.empty() && meta_->FindBlob(fileid, &held_size) &&
                            held_size == size && blobs_->HasBlob(fileid);
  const uint64_t used = meta_->UsedBytes(user.id);

  if (!pickcode.empty()) {
    Session session;
    if (!meta_->FindSession(user.id, pickcode, &session)) {
      FileEntry file;
      // The last range's answer may have been lost: the upload is complete.
      if (meta_->FindFileByPickcode(user.id, pickcode, &file) && file.size == size &&
          (fileid.empty() || fileid == file.sha1)) {
        return answer(2, file.pickcode, file.folder, "");
      }
      return Refuse(res, kCodeNoPickcode);
    }
    if (session.size != size || (!fileid.empty() && !session.fileid.empty() && fileid != session.fileid) ||
        (!quickid.empty() && !session.quickid.empty() && quickid != session.quickid)) {
      return Refuse(res, kCodeBadParameter);
    }
    if (content_held) {
      std::shared_ptr<SessionState> state = SessionLock(session.id);
      std::unique_lock<std::mutex> held(state->mu, std::try_to_lock);
      if (held.owns_lock()) {
        FileEntry file;
        file.user = user.id;
        file.folder = session.folder;
        file.name = session.name;
        file.size = size;
        file.sha1 = fileid;
        file.pickcode = session.pickcode;
        if (meta_->DeleteSession(session.id) && meta_->PutFile(file)) {
          blobs_->RemovePartial(session.id);
          held.unlock();
          DropSessionLock(session.id);
          return answer(2, file.pickcode, file.folder, "");
        }
      }
    }
    if (!fileid.empty()) session.fileid = fileid;
    if (!quickid.empty()) session.quickid = quickid;
    session.upload_key = RandomKey();
    session.upload_time = now;
    if (!meta_->UpdateSession(session)) return Refuse(res, kCodeOther);
    return answer(1, session.pickcode, session.folder, session.upload_key);
  }

  if (!content_held && fileid.empty() && meta_->QuickIdKnown(quickid, size)) {
    // Same sample and size: ask for the whole-file identity before deciding.
    return Refuse(res, kCodeHashCollision);
  }
  // Walks `folders` below the target; only creates them when asked, so that
  // a refusal leaves nothing behind.
  auto resolve = [&](bool create, int64_t* folder) {
    *folder = target;
    for (const std::string& f : folders) {
      bool ok = create ? meta_->FindOrCreateFolder(user.id, *folder, f, folder)
                       : meta_->FindFolder(user.id, *folder, f, folder);
      if (!ok) return false;
    }
    return true;
  };
  int64_t folder;
  if (content_held) {
    FileEntry existing;
    uint64_t replaced = 0;
    if (resolve(false, &folder) && meta_->FindFile(folder, name, &existing)) {
      // This very file is there already: nothing to store or charge.
      if (existing.sha1 == fileid) return answer(2, existing.pickcode, folder, "");
      replaced = existing.size;
    }
    if (used - replaced + meta_->ReservedBytes(user.id, 0) + size > user.quota) {
      return Refuse(res, kCodeNoSpace);
    }
    if (!resolve(true, &folder)) return Refuse(res, kCodeOther);
    FileEntry file;
    file.user = user.id;
    file.folder = folder;
    file.name = name;
    file.size = size;
    file.sha1 = fileid;
    file.pickcode = UnusedPickcode();
    if (!meta_->PutFile(file)) return Refuse(res, kCodeOther);
    return answer(2, file.pickcode, folder, "");
  }
  if (used + meta_->ReservedBytes(user.id, 0) + size > user.quota) {
    return Refuse(res, kCodeNoSpace);
  }
  if (!resolve(true, &folder)) return Refuse(res, kCodeOther);
  Session session;
  session.user = user.id;
  session.folder = folder;
  session.name = name;
  session.size = size;
  session.fileid = fileid;
  session.quickid = quickid;
  session.upload_key = RandomKey();
  session.upload_time = now;
  session.pickcode = UnusedPickcode();
  if (!meta_->CreateSession(&session)) return Refuse(res, kCodeOther);
  answer(1, session.pickcode, folder, session.upload_key);
}

void Service::HandleCheck(const httplib::Request& req, httplib::Response& res) {
  int fault = InjectFaults(FaultOp::kCheck, res);
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
  std::lock_guard<std::mutex> lock(mu_);
  User user;
  if (!meta_->FindUser(user_id, &user)) return Refuse(res, kCodeBadUser);
  Session session;
  uint64_t offset;
  if (IsPickcode(pickcode) && meta_->FindSession(user.id, pickcode, &session)) {
    const int refusal = CheckUploadKey(session, sig, ets, size);
    if (refusal != 0) return Refuse(res, refusal);
    offset = session.offset;
  } else {
    FileEntry file;
    // Files made by an instant upload never had a transfer to check.
    if (!IsPickcode(pickcode) || !meta_->FindFileByPickcode(user.id, pickcode, &file) ||
        file.upload_key.empty()) {
      return Refuse(res, kCodeNoPickcode);
    }
    // Finished while the client was away: everything is held.
    if (!TimingSafeEqual(sig, TransferSig(file.upload_key))) return Refuse(res, kCodeBadSignature);
    if (size != file.size) return Refuse(res, kCodeBadParameter);
    offset = file.size;
  }
  ReplyOffset(res, offset);
}

void Service::HandleBigUpload(const httplib::Request& req, httplib::Response& res,
                              const httplib::ContentReader& reader) {
  // The body is read whole before any check: refusing early would leave it
  // unread, and closing a socket with unread data resets it before the
  // client reads the refusal.
  std::string body;
  int64_t drop_after = 0;
  const bool drop = faults_->Take(FaultOp::kBigUpload, FaultKind::kDrop, &drop_after);
  bool dropped = false;
  reader([&](const char* data, size_t n) {
    if (drop && body.size() + n > static_cast<uint64_t>(drop_after)) {
      dropped = true;
      AbortConnection(req.remote_addr, req.remote_port, req.local_port);
      return false;
    }
    body.append(data, n);
    return body.size() <= kMaxBodyBytes;
  });
  if (dropped) {
    res.status = 500;
    return;
  }
  int fault = InjectFaults(FaultOp::kBigUpload, res);
  if (fault < 0) return;
  if (fault > 0) return Refuse(res, fault);

  FormFields query;
  int64_t user_id;
  uint64_t size, ets;
  if (!ParseTransferQuery(req.target, &query, &user_id, &size, &ets)) {
    return Refuse(res, kCodeBadParameter);
  }
  std::string boundary;
  std::vector<MultipartPart> parts;
  if (!MultipartBoundary(req.get_header_value("X-Vexa-Body-Type"), &boundary) ||
      !ParseMultipart(body, boundary, &parts)) {
    return Refuse(res, kCodeBadParameter);
  }
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
  std::string data_hash;
  if (!Sha1Hex(data.data(), data.size(), &data_hash) || !TimingSafeEqual(cthash, data_hash)) {
    return Refuse(res, kCodeHashMismatch);
  }

  const std::string& pickcode = Field(query, "pickcode");
  const std::string sig = Upper(Field(query, "sig"));
  Session session;
  {
    std::lock_guard<std::mutex> lock(mu_);
    User user;
    if (!meta_->FindUser(user_id, &user)) return Refuse(res, kCodeBadUser);
    if (!IsPickcode(pickcode) || !meta_->FindSession(user.id, pickcode, &session)) {
      FileEntry file;
      if (IsPickcode(pickcode) && meta_->FindFileByPickcode(user.id, pickcode, &file) &&
          !file.upload_key.empty() && TimingSafeEqual(sig, TransferSig(file.upload_key)) &&
          file.size == size) {
        // A resend of a range of an upload that has finished.
        return ReplyOffset(res, file.size);
      }
      return Refuse(res, kCodeNoPickcode);
    }
    const int refusal = CheckUploadKey(session, sig, ets, size);
    if (refusal != 0) return Refuse(res, refusal);
    if ((!fileid.empty() && !session.fileid.empty() && fileid != session.fileid) ||
        (!quickid.empty() && !session.quickid.empty() && quickid != session.quickid)) {
      return Refuse(res, kCodeHashMismatch);
    }
    if ((session.fileid.empty() && !fileid.empty()) || (session.quickid.empty() && !quickid.empty())) {
      if (session.fileid.empty()) session.fileid = fileid;
      if (session.quickid.empty()) session.quickid = quickid;
      if (!meta_->UpdateSession(session)) return Refuse(res, kCodeOther);
    }
  }

  std::shared_ptr<SessionState> state = SessionLock(session.id);
  std::lock_guard<std::mutex> guard(state->mu);
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Re-read under the session's lock: another range or a cancel may have
    // come first.
    const std::string key = session.upload_key;
    if (!meta_->FindSessionById(session.id, &session)) {
      FileEntry file;
      // The range that was waiting here finished the file: acknowledge it.
      if (meta_->FindFileByPickcode(user_id, pickcode, &file) && file.upload_key == key &&
          end <= file.size) {
        return ReplyOffset(res, file.size);
      }
      return Refuse(res, kCodeNoPickcode);
    }
  }
  uint64_t offset = session.offset;
  if (start != offset) {
    // A range the service already holds (its answer was lost) is
    // acknowledged; a gap is refused.
    if (end > offset) return Refuse(res, kCodeBadRange);
  } else {
    std::string error;
    if (!blobs_->WriteRange(session.id, start, data, &error)) {
      std::fprintf(stderr, "vexa-server: %s\n", error.c_str());
      return Refuse(res, kCodeDiskFull);
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!meta_->SetSessionOffset(session.id, end, NowSeconds())) {
        state->in_order = false;
        return Refuse(res, kCodeOther);
      }
    }
    // Feed the running digest while the ranges come in order from the start,
    // so the finished file need not be read again.
    if (state->in_order && state->digested == start) {
      state->digest.Update(data.data(), data.size());
      state->digested = end;
    } else {
      state->in_order = false;
    }
    offset = end;
    session.offset = end;
  }
  if (offset == session.size) {
    int code = Finish(session, state.get());
    if (code != 0) return Refuse(res, code);
  }
  ReplyOffset(res, offset);
}

std::string Service::UnusedPickcode() {
  std::string pickcode;
  do {
    pickcode = RandomText(kPickAlphabet, 12);
  } while (meta_->PickcodeInUse(pickcode));
  return pickcode;
}

int Service::CheckUploadKey(const Session& session, const std::string& sig, uint64_t ets,
                            uint64_t size) {
  if (!TimingSafeEqual(sig, TransferSig(session.upload_key))) return kCodeBadSignature;
  if (static_cast<int64_t>(ets) != session.upload_time ||
      NowSeconds() > session.upload_time + options_.key_lifetime) {
    return kCodeKeyExpired;
  }
  if (size != session.size) return kCodeBadParameter;
  return 0;
}

int Service::Finish(const Session& session, SessionState* state) {
  const std::string path = blobs_->PartialPath(session.id);
  std::string sha1, quick;
  uint32_t error = 0;
  // Without a running digest of every byte (a restart, a rewrite), read the
  // file again.
  // The copy keeps the running digest usable should this attempt fail.
  Sha1 digest = state->digest;
  const bool digested = state->in_order && state->digested == session.size;
  if (!(digested ? digest.FinalHex(&sha1) : Sha1FileHex(&error, HashProgressFn(), path, &sha1)) ||
      !QuickIdHex(path, &quick, &error)) {
    state->in_order = false;
    std::fprintf(stderr, "vexa-server: cannot hash %s (error %u)\n", path.c_str(), error);
    return kCodeOther;
  }
  if ((!session.fileid.empty() && session.fileid != sha1) ||
      (!session.quickid.empty() && session.quickid != quick)) {
    // The content is not what the client announced: keep nothing of it.
    std::lock_guard<std::mutex> lock(mu_);
    meta_->DeleteSession(session.id);
    blobs_->RemovePartial(session.id);
    DropSessionLock(session.id);
    return kCodeHashMismatch;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!meta_->FinishSession(session, sha1, quick)) return kCodeOther;
  }
  // Recorded first, moved second: a crash in between leaves a partial file
  // that the next start moves into place.
  std::string move_error;
  if (!blobs_->Commit(session.id, sha1, &move_error)) {
    std::fprintf(stderr, "vexa-server: %s\n", move_error.c_str());
    return kCodeDiskFull;
  }
  DropSessionLock(session.id);
  return 0;
}

void Service::DropIdleSessions() {
  for (int64_t id : meta_->IdleSessions(NowSeconds(), options_.session_lifetime)) {
    std::shared_ptr<SessionState> state = SessionLock(id);
    std::unique_lock<std::mutex> busy(state->mu, std::try_to_lock);
    if (!busy.owns_lock()) continue;
    meta_->DeleteSession(id);
    blobs_->RemovePartial(id);
    busy.unlock();
    DropSessionLock(id);
  }
}

std::shared_ptr<Service::SessionState> Service::SessionLock(int64_t session) {
  std::lock_guard<std::mutex> lock(locks_mu_);
  std::shared_ptr<SessionState>& state = session_locks_[session];
  if (!state) state = std::make_shared<SessionState>();
  return state;
}

void Service::DropSessionLock(int64_t session) {
  std::lock_guard<std::mutex> lock(locks_mu_);
  session_locks_.erase(session);
}

void Service::HandleExport(const httplib::Request& req, httplib::Response& res) {
  if (!TimingSafeEqual(req.get_header_value("X-Admin-Token"), options_.admin_token)) {
    Json::Value v;
    v["state"] = false;
    v["error"] = "admin token required";
    res.status = 403;
    res.set_content(ToJson(v), "application/json; charset=utf-8");
    return;
  }
  Json::Value users(Json::arrayValue);
  std::lock_guard<std::mutex> lock(mu_);
  for (const User& u : meta_->ListUsers()) {
    Json::Value user;
    user["user_id"] = std::to_string(u.id);
    user["account"] = u.account;
    Json::Value files(Json::arrayValue);
    for (const ListedFile& f : meta_->ListFiles(u.id)) {
      Json::Value file;
      file["path"] = f.path;
      file["size"] = Json::UInt64(f.size);
      file["sha1"] = f.sha1;
      file["pickcode"] = f.pickcode;
      files.append(file);
    }
    user["files"] = files;
    users.append(user);
  }
  Json::Value v;
  v["users"] = users;
  Reply(res, v);
}

bool Service::WebUser(const httplib::Request& req, User* user) {
  const std::string token = CookieValue(req, kWebCookie);
  if (token.empty()) return false;
  int64_t id;
  {
    std::lock_guard<std::mutex> lock(web_mu_);
    auto it = web_sessions_.find(token);
    if (it == web_sessions_.end()) return false;
    if (it->second.expires < NowSeconds()) {
      web_sessions_.erase(it);
      return false;
    }
    id = it->second.user;
  }
  std::lock_guard<std::mutex> lock(mu_);
  return meta_->FindUser(id, user);
}

void Service::HandleHome(const httplib::Request& req, httplib::Response& res) {
  User user;
  if (!WebUser(req, &user)) {
    res.set_content(RenderLoginPage(""), "text/html; charset=utf-8");
    return;
  }
  AccountView view;
  view.account = user.account;
  {
    std::lock_guard<std::mutex> lock(mu_);
    view.used = meta_->UsedBytes(user.id);
    view.folders = meta_->ListFolders(user.id);
    view.files = meta_->ListFiles(user.id);
  }
  view.quota = user.quota;
  view.used_text = FormatSize(view.used);
  view.quota_text = FormatSize(view.quota);
  for (const ListedFile& f : view.files) view.size_texts.push_back(FormatSize(f.size));
  res.set_content(RenderAccountPage(view), "text/html; charset=utf-8");
}

void Service::HandleWebLogin(const httplib::Request& req, httplib::Response& res) {
  FormFields form;
  User user;
  std::string digest;
  bool ok = ParseUrlEncoded(req.body, &form) && PasswordDigest(Field(form, "password"), &digest);
  if (ok) {
    std::lock_guard<std::mutex> lock(mu_);
    ok = meta_->FindUserByAccount(Field(form, "account"), &user);
  }
  if (!ok || !TimingSafeEqual(digest, user.digest)) {
    res.status = 401;
    res.set_content(RenderLoginPage("Wrong account or password."), "text/html; charset=utf-8");
    return;
  }
  const std::string token = RandomKey() + RandomKey();
  {
    std::lock_guard<std::mutex> lock(web_mu_);
    const int64_t now = NowSeconds();
    for (auto it = web_sessions_.begin(); it != web_sessions_.end();) {
      it = it->second.expires < now ? web_sessions_.erase(it) : std::next(it);
    }
    web_sessions_[token] = {user.id, now + kWebSessionLifetime};
  }
  res.status = 303;
  res.set_header("Location", "/");
  res.set_header("Set-Cookie", std::string(kWebCookie) + "=" + token +
                                   "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                                   std::to_string(kWebSessionLifetime));
}

void Service::HandleWebLogout(const httplib::Request& req, httplib::Response& res) {
  const std::string token = CookieValue(req, kWebCookie);
  {
    std::lock_guard<std::mutex> lock(web_mu_);
    web_sessions_.erase(token);
  }
  res.status = 303;
  res.set_header("Location", "/");
  res.set_header("Set-Cookie",
                 std::string(kWebCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
}

}  // namespace vexa::server
