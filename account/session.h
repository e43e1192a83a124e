#ifndef VEXA_ACCOUNT_SESSION_H_
#define VEXA_ACCOUNT_SESSION_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vexa {

// A file-size class from the login answer's "file_range": low < size and
// (size <= high or high == 0).
struct SizeRange {
  uint64_t low = 0;
  uint64_t high = 0;
};

// The session's values, filled from the login answer and cleared at logout.
struct AccountState {
  bool loggedIn = false;
  bool isVip = false;
  int32_t uploadAllowed = 0;
  std::string lastError;
  std::string userId;
  std::string userName;
  std::string face;
  std::string email;
  std::string resource;
  std::string userKey;
  std::string urlUpload;
  std::string urlResume;
  std::string urlCancel;
  std::string target;
  double timeLimit = 0.0;
  uint64_t sizeLimit = 0;
  uint64_t spaceTotal = 0;
  uint64_t spaceUsed = 0;
  uint64_t spaceRemain = 0;
  std::string sizeUsedPercent;
  std::string sizeTotal;
  std::string sizeUsed;
  std::string sizeRemain;
  std::string spaceSummary;  // used "|" total "|" used percent
  std::vector<std::string> typeList;
  std::map<int, SizeRange> sizeRanges;  // classes 0, 1, 2
};

// Every read is a copy taken under the session's lock, so a reader never sees
// a half-written login or logout.
AccountState CopyAccountState();
bool IsLoggedIn();
int32_t GetUploadAllowed();
std::string GetLastErrorText();
std::string GetUserId();
std::string GetUserName();
std::string GetSpaceSummary();
std::string GetUserKey();
std::string GetUploadUrl();
std::string GetResumeUrl();
std::string GetCancelUrl();
std::string GetDefaultTarget();
uint64_t GetSizeLimit();
double GetTimeLimit();
uint64_t GetSpaceRemain();

// Changes the session under its lock (login, space refresh, the worker's
// pacing floor). `change` must not call back into the session.
void UpdateAccountState(const std::function<void(AccountState*)>& change);

// Reads a login answer into `state`, over the values it holds: false when
// `body` is not one JSON document (then `state` is unchanged). The rules are
// those of ApplyLoginAnswer, without touching the session or any file.
bool ReadLoginAnswer(const std::string& body, AccountState* state);

// Reads a login answer into the session. Returns false, with the session
// unchanged, when `body` is not one JSON document. Otherwise the logged-in flag
// and the last error text come from "state" and "error"; on success every other
// value is read and the account is remembered in the account file (the digest
// only when `remember` is set). A value of the wrong type fails the login
// (logged-in flag cleared, values read before it kept). Returns true when the
// answer was read, whatever the outcome; IsLoggedIn() tells the outcome.
// `logouts` is LogoutCount() from before the login was sent: when the user
// has logged out since, the answer is dropped and the session stays empty.
bool ApplyLoginAnswer(const std::string& body, const std::string& account,
                      const std::string& digest, bool remember, bool auto_login, uint64_t logouts);
// How many times LogoutAccount has run in this process.
uint64_t LogoutCount();

// 0, 1 or 2: the first of classes 0 and 1 whose range holds `size`, else 2.
int ClassifyFileSize(uint64_t size);
// Whether the lower-cased extension of `path` is in the type list.
bool IsTypeListed(const std::string& path);

// Told when a login attempt ends and when the session is cleared. Observers
// are called on the thread that ended the attempt or logged out.
class LoginObserver {
 public:
  virtual ~LoginObserver() = default;
  virtual void OnLogin() = 0;
  virtual void OnLogout() = 0;
};

// Adds `observer` unless listed already; the list does not own it.
void AddLoginObserver(LoginObserver* observer);
void RemoveLoginObserver(LoginObserver* observer);
// Calls OnLogin of every observer, in the order they were added.
void NotifyLoginObservers();

// Clears the session and the in-memory account file, then calls OnLogout of
// every observer on the caller's thread.
void LogoutAccount();

}  // namespace vexa

#endif  // VEXA_ACCOUNT_SESSION_H_
