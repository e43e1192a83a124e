#include "account/session.h"

#include <json/json.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>

#include "account/account_file.h"
#include "codec/text.h"
#include "port/mutex.h"

namespace vexa {
namespace {

struct Session {
  port::Mutex mu;
  AccountState state;
  port::Mutex observers_mu;
  std::vector<LoginObserver*> observers;
};

Session& TheSession() {
  static Session* session = new Session();
  return *session;
}

template <typename T>
T ReadField(T AccountState::*field) {
  Session& s = TheSession();
  port::MutexLock l(&s.mu);
  return s.state.*field;
}

// A value of a type the reader cannot convert fails the whole login.
struct ConversionError : std::runtime_error {
  ConversionError() : std::runtime_error("login answer: unexpected value type") {}
};

const Json::Value& Member(const Json::Value& object, const char* key) {
  static const Json::Value kNull;
  if (object.isNull()) return kNull;
  if (!object.isObject()) throw ConversionError();
  const Json::Value* v = object.find(key, key + std::char_traits<char>::length(key));
  return v == nullptr ? kNull : *v;
}

std::string AsString(const Json::Value& v) {
  if (v.isNull()) return std::string();
  if (v.isString()) return v.asString();
  if (v.isBool()) return v.asBool() ? "true" : "false";
  throw ConversionError();
}

double AsDouble(const Json::Value& v) {
  if (v.isNull()) return 0.0;
  if (v.isBool()) return v.asBool() ? 1.0 : 0.0;
  if (v.isNumeric()) return v.asDouble();
  throw ConversionError();
}

int32_t AsInt(const Json::Value& v) {
  if (v.isNull()) return 0;
  if (v.isBool()) return v.asBool() ? 1 : 0;
  if (v.isNumeric()) {
    if (!v.isConvertibleTo(Json::intValue)) throw ConversionError();
    return v.asInt();
  }
  throw ConversionError();
}

bool AsBool(const Json::Value& v) {
  if (v.isNull()) return false;
  if (v.isBool()) return v.asBool();
  if (v.isNumeric()) return v.asDouble() != 0.0;
  throw ConversionError();
}

// A number truncated toward zero, kept within the unsigned 64-bit range.
uint64_t AsU64(const Json::Value& v) {
  const double d = AsDouble(v);
  if (!(d > 0.0)) return 0;
  if (d >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<uint64_t>(d);
}

void ReadSuccessfulAnswer(const Json::Value& root, AccountState* st) {
  st->uploadAllowed = AsInt(Member(root, "upload_allowed"));
  st->isVip = AsBool(Member(root, "is_vip"));
  st->userId = AsString(Member(root, "user_id"));
  st->userName = AsString(Member(root, "user_name"));
  st->face = AsString(Member(root, "face"));
  st->email = AsString(Member(root, "email"));
  st->resource = AsString(Member(root, "resource"));
  st->userKey = AsString(Member(root, "userkey"));
  st->urlUpload = AsString(Member(root, "url_upload"));
  st->urlResume = AsString(Member(root, "url_resume"));
  st->urlCancel = AsString(Member(root, "url_cancel"));
  st->target = AsString(Member(root, "target"));
  st->timeLimit = AsDouble(Member(root, "time_limit"));
  st->sizeLimit = AsU64(Member(root, "size_limit"));
  const Json::Value& space = Member(root, "space");
  st->spaceTotal = AsU64(Member(space, "byte_size_total"));
  st->spaceUsed = AsU64(Member(space, "byte_size_used"));
  st->spaceRemain = AsU64(Member(space, "byte_size_remain"));
  const Json::Value& types = Member(root, "type_limit");
  if (!types.isNull()) {
    if (!types.isArray()) throw ConversionError();
    for (Json::ArrayIndex i = 0; i < types.size(); ++i) st->typeList.push_back(AsString(types[i]));
  }
  const Json::Value& ranges = Member(root, "file_range");
  static const char* const kClasses[] = {"0", "1", "2"};
  for (int c = 0; c < 3; ++c) {
    SizeRange r;
    if (ParseRange(AsString(Member(ranges, kClasses[c])), &r.low, &r.high)) st->sizeRanges[c] = r;
  }
  st->sizeUsedPercent = AsString(Member(space, "size_used_percent"));
  st->sizeTotal = AsString(Member(space, "size_total"));
  st->sizeUsed = AsString(Member(space, "size_used"));
  st->sizeRemain = AsString(Member(space, "size_remain"));
  st->spaceSummary = st->sizeUsed + "|" + st->sizeTotal + "|" + st->sizeUsedPercent;
}

std::vector<LoginObserver*> CopyObservers() {
  Session& s = TheSession();
  port::MutexLock l(&s.observers_mu);
  return s.observers;
}

}  // namespace

AccountState CopyAccountState() {
  Session& s = TheSession();
  port::MutexLock l(&s.mu);
  return s.state;
}

bool IsLoggedIn() { return ReadField(&AccountState::loggedIn); }
int32_t GetUploadAllowed() { return ReadField(&AccountState::uploadAllowed); }
std::string GetLastErrorText() { return ReadField(&AccountState::lastError); }
std::string GetUserId() { return ReadField(&AccountState::userId); }
std::string GetUserName() { return ReadField(&AccountState::userName); }
std::string GetSpaceSummary() { return ReadField(&AccountState::spaceSummary); }
std::string GetUserKey() { return ReadField(&AccountState::userKey); }
std::string GetUploadUrl() { return ReadField(&AccountState::urlUpload); }
std::string GetResumeUrl() { return ReadField(&AccountState::urlResume); }
std::string GetCancelUrl() { return ReadField(&AccountState::urlCancel); }
std::string GetDefaultTarget() { return ReadField(&AccountState::target); }
uint64_t GetSizeLimit() { return ReadField(&AccountState::sizeLimit); }
double GetTimeLimit() { return ReadField(&AccountState::timeLimit); }
uint64_t GetSpaceRemain() { return ReadField(&AccountState::spaceRemain); }

void UpdateAccountState(const std::function<void(AccountState*)>& change) {
  Session& s = TheSession();
  port::MutexLock l(&s.mu);
  change(&s.state);
}

bool ReadLoginAnswer(const std::string& body, AccountState* state) {
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  // The reader throws, rather than failing, on nesting deeper than its limit.
  try {
    if (!reader->parse(body.data(), body.data() + body.size(), &root, &errors)) return false;
  } catch (const std::exception&) {
    return false;
  }
  try {
    state->loggedIn = AsBool(Member(root, "state"));
    state->lastError = AsString(Member(root, "error"));
    if (state->loggedIn) ReadSuccessfulAnswer(root, state);
  } catch (const std::exception&) {
    state->loggedIn = false;
  }
  return true;
}

bool ApplyLoginAnswer(const std::string& body, const std::string& account,
                      const std::string& digest, bool remember, bool auto_login) {
  // Work on a copy and publish it whole, so readers see the session before or
  // after the answer, never in between.
  AccountState st = CopyAccountState();
  if (!ReadLoginAnswer(body, &st)) return false;
  UpdateAccountState([&st](AccountState* state) { *state = st; });
  if (st.loggedIn) {
    // A failure to save is not a failure of the login.
    WriteRememberedAccount(st.userId, account, digest, remember, auto_login);
  }
  return true;
}

int ClassifyFileSize(uint64_t size) {
  Session& s = TheSession();
  port::MutexLock l(&s.mu);
  for (int c = 0; c < 2; ++c) {
    auto it = s.state.sizeRanges.find(c);
    if (it == s.state.sizeRanges.end()) continue;
    const SizeRange& r = it->second;
    if (r.low < size && (size <= r.high || r.high == 0)) return c;
  }
  return 2;
}

bool IsTypeListed(const std::string& path) {
  const std::string ext = ToLower(ExtensionOf(path));
  Session& s = TheSession();
  port::MutexLock l(&s.mu);
  const auto& list = s.state.typeList;
  return std::find(list.begin(), list.end(), ext) != list.end();
}

void AddLoginObserver(LoginObserver* observer) {
  Session& s = TheSession();
  port::MutexLock l(&s.observers_mu);
  if (std::find(s.observers.begin(), s.observers.end(), observer) == s.observers.end()) {
    s.observers.push_back(observer);
  }
}

void RemoveLoginObserver(LoginObserver* observer) {
  Session& s = TheSession();
  port::MutexLock l(&s.observers_mu);
  s.observers.erase(std::remove(s.observers.begin(), s.observers.end(), observer),
                    s.observers.end());
}

void NotifyLoginObservers() {
  for (LoginObserver* o : CopyObservers()) o->OnLogin();
}

void LogoutAccount() {
  UpdateAccountState([](AccountState* state) { *state = AccountState(); });
  ForgetAccountFile();
  for (LoginObserver* o : CopyObservers()) o->OnLogout();
}

}  // namespace vexa
