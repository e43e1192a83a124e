#ifndef VEXA_SERVER_SERVICE_H_
#define VEXA_SERVER_SERVICE_H_

#include <httplib.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "codec/sha1.h"
#include "server/blob_store.h"
#include "server/faults.h"
#include "server/metadata.h"
#include "server/options.h"

namespace Json {
class Value;
}

namespace vexa::server {

// Largest range a client may send, and the bound of every request body.
inline constexpr uint64_t kMaxRangeBytes = 1 << 20;
inline constexpr size_t kMaxBodyBytes = kMaxRangeBytes + 64 * 1024;

// The account API, the upload service, the admin export and the web page.
// Handlers run on the HTTP server's worker threads.
class Service {
 public:
  Service(const Options& options, Metadata* meta, BlobStore* blobs, FaultPlan* faults);
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Creates or updates the configured accounts and settles partial files
  // left by a crash. False with *error set on failure.
  bool Start(std::string* error);

  // Every address handed to clients lies below `base` ("http://host:port").
  void set_base_url(const std::string& base) { base_url_ = base; }

  void Install(httplib::Server* server);

 private:
  enum class DispatchKind { kUpload, kResume, kCancel };

  // The lock serializing the ranges of one session, and the digest of the
  // session's bytes so far (used only under that lock). Dropping them
  // together ends the session's in-memory state.
  struct SessionState {
    std::mutex mu;
    Sha1 digest;
    uint64_t digested = 0;  // bytes fed to `digest`; valid while `in_order`
    bool in_order = true;
  };

  void HandleLogin(const httplib::Request& req, httplib::Response& res);
  void HandleSpace(const httplib::Request& req, httplib::Response& res);
  void HandleDispatch(const httplib::Request& req, httplib::Response& res, DispatchKind kind);
  void HandleCheck(const httplib::Request& req, httplib::Response& res);
  void HandleBigUpload(const httplib::Request& req, httplib::Response& res,
                       const httplib::ContentReader& reader);
  void HandleExport(const httplib::Request& req, httplib::Response& res);
  void HandleHome(const httplib::Request& req, httplib::Response& res);
  void HandleWebLogin(const httplib::Request& req, httplib::Response& res);
  void HandleWebLogout(const httplib::Request& req, httplib::Response& res);

  // Applies the fault rules of `op`: a delay is waited out here. Returns 0
  // when the request should be served, -1 when an HTTP failure was written,
  // or a status code to refuse with.
  int InjectFaults(FaultOp op, httplib::Response& res);

  // Space figures of a user, as the login and the space query answer them.
  void FillSpace(const User& user, Json::Value* space);

  // Refusal of the upload service with the code's message.
  void Refuse(httplib::Response& res, int code);

  // The rest of a dispatch once the caller is authenticated; mu_ is held.
  void Dispatch(const User& user, const std::map<std::string, std::string>& body,
                httplib::Response& res);
  void Cancel(const User& user, const std::string& pickcode, httplib::Response& res);

  // A pick code no file or session has yet; mu_ is held.
  std::string UnusedPickcode();

  // Whether a check or range URL may act on `session`: 0 when its signature,
  // key time and file size fit the session's upload key, else the code to
  // refuse with. mu_ is held.
  int CheckUploadKey(const Session& session, const std::string& sig, uint64_t ets, uint64_t size);

  // Verifies and stores the finished content of a session; the session's
  // lock is held. Returns 0 or a refusal code.
  int Finish(const Session& session, SessionState* state);

  // Drops sessions idle for longer than their lifetime; mu_ is held. A
  // session busy with a range is left for the next time.
  void DropIdleSessions();

  std::shared_ptr<SessionState> SessionLock(int64_t session);
  void DropSessionLock(int64_t session);

  bool WebUser(const httplib::Request& req, User* user);

  Options options_;
  Metadata* meta_;
  BlobStore* blobs_;
  FaultPlan* faults_;
  std::string base_url_;

  std::mutex mu_;  // guards meta_ and every read-check-write on it
  std::mutex locks_mu_;
  std::map<int64_t, std::shared_ptr<SessionState>> session_locks_;  // guarded by locks_mu_
  std::mutex web_mu_;
  struct WebSession {
    int64_t user;
    int64_t expires;
  };
  std::map<std::string, WebSession> web_sessions_;  // guarded by web_mu_
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_SERVICE_H_
