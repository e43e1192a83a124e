#include "account/session.h"

#include <algorithm>
#include <stdexcept>

#include "account/account_file.h"
#include "codec/json_answer.h"
#include "codec/text.h"
#include "port/mutex.h"

namespace vexa {
namespace {

struct Session {
  port::Mutex mu ACQUIRED_BEFORE(observers_mu);
  AccountState state GUARDED_BY(mu);
  uint64_t logouts GUARDED_BY(mu) = 0;
  port::Mutex observers_mu;
  std::vector<LoginObserver*> observers GUARDED_BY(observers_mu);
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

bool IsPlainUserId(const std::string& id) {
  return !id.empty() && id.size() <= 20 && id.find_first_not_of("0123456789") == std::string::npos;
}

void ReadSuccessfulAnswer(const JsonValue& root, AccountState* st) {
  st->uploadAllowed = JsonInt(JsonMember(root, "upload_allowed"));
  st->isVip = JsonBool(JsonMember(root, "is_vip"));
  // The id names the resume store's file and the account file's section: an
  // id that is not a plain number could reach outside the data folder or
  // break the file, so the answer is as unreadable as one of the wrong type.
  std::string user_id = JsonString(JsonMember(root, "user_id"));
  if (!IsPlainUserId(user_id)) throw std::runtime_error("user_id is not a number");
  st->userId = std::move(user_id);
  st->userName = JsonString(JsonMember(root, "user_name"));
  st->face = JsonString(JsonMember(root, "face"));
  st->email = JsonString(JsonMember(root, "email"));
  st->resource = JsonString(JsonMember(root, "resource"));
  st->userKey = JsonString(JsonMember(root, "userkey"));
  st->urlUpload = JsonString(JsonMember(root, "url_upload"));
  st->urlResume = JsonString(JsonMember(root, "url_resume"));
  st->urlCancel = JsonString(JsonMember(root, "url_cancel"));
  st->target = JsonString(JsonMember(root, "target"));
  st->timeLimit = JsonDouble(JsonMember(root, "time_limit"));
  st->sizeLimit = JsonU64(JsonMember(root, "size_limit"));
  const JsonValue& space = JsonMember(root, "space");
  st->spaceTotal = JsonU64(JsonMember(space, "byte_size_total"));
  st->spaceUsed = JsonU64(JsonMember(space, "byte_size_used"));
  st->spaceRemain = JsonU64(JsonMember(space, "byte_size_remain"));
  for (std::string& t : JsonStringList(JsonMember(root, "type_limit")))
    st->typeList.push_back(std::move(t));
  const JsonValue& ranges = JsonMember(root, "file_range");
  static const char* const kClasses[] = {"0", "1", "2"};
  for (int c = 0; c < 3; ++c) {
    SizeRange r;
    if (ParseRange(JsonString(JsonMember(ranges, kClasses[c])), &r.low, &r.high))
      st->sizeRanges[c] = r;
  }
  st->sizeUsedPercent = JsonString(JsonMember(space, "size_used_percent"));
  st->sizeTotal = JsonString(JsonMember(space, "size_total"));
  st->sizeUsed = JsonString(JsonMember(space, "size_used"));
  st->sizeRemain = JsonString(JsonMember(space, "size_remain"));
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
  JsonValue root;
  if (!ParseJsonAnswer(body, &root)) return false;
  try {
    state->loggedIn = JsonBool(JsonMember(root, "state"));
    state->lastError = JsonString(JsonMember(root, "error"));
    if (state->loggedIn) ReadSuccessfulAnswer(root, state);
  } catch (const std::exception&) {
    state->loggedIn = false;
  }
  return true;
}

uint64_t LogoutCount() {
  Session& s = TheSession();
  port::MutexLock l(&s.mu);
  return s.logouts;
}

bool ApplyLoginAnswer(const std::string& body, const std::string& account,
                      const std::string& digest, bool remember, bool auto_login, uint64_t logouts) {
  // Work on a copy and publish it whole, so readers see the session before or
  // after the answer, never in between.
  AccountState st = CopyAccountState();
  if (!ReadLoginAnswer(body, &st)) return false;
  {
    Session& s = TheSession();
    port::MutexLock l(&s.mu);
    // The user logged out while the answer was on its way: that wins.
    if (s.logouts != logouts) return true;
    s.state = st;
  }
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
  {
    Session& s = TheSession();
    port::MutexLock l(&s.mu);
    ++s.logouts;
    s.state = AccountState();
  }
  ForgetAccountFile();
  for (LoginObserver* o : CopyObservers()) o->OnLogout();
}

}  // namespace vexa
