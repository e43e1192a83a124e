#ifndef VEXA_SERVER_DISPATCH_API_H_
#define VEXA_SERVER_DISPATCH_API_H_

#include <httplib.h>

#include <string>

#include "server/form.h"
#include "server/metadata.h"
#include "server/service_context.h"
#include "server/session_registry.h"

namespace vexa::server {

// The dispatch requests: start an upload session, resume one with a fresh
// upload key, complete at once when the content is held, or cancel.
class DispatchApi {
 public:
  DispatchApi(ServiceContext* ctx, SessionRegistry* sessions) : ctx_(ctx), sessions_(sessions) {}
  DispatchApi(const DispatchApi&) = delete;
  DispatchApi& operator=(const DispatchApi&) = delete;

  void Install(httplib::Server* server);

 private:
  enum class Kind { kUpload, kResume, kCancel };

  void Handle(const httplib::Request& req, httplib::Response& res, Kind kind);
  // The rest of a dispatch once the caller is authenticated.
  void Dispatch(const User& user, const FormFields& body, httplib::Response& res)
      REQUIRES(ctx_->mu);
  void Cancel(const User& user, const std::string& pick_code, httplib::Response& res)
      EXCLUDES(ctx_->mu);

  // A pick code no file or session has yet.
  std::string UnusedPickCode() REQUIRES(ctx_->mu);

  ServiceContext* const ctx_;
  SessionRegistry* const sessions_;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_DISPATCH_API_H_
