#ifndef VEXA_SERVER_ADMIN_EXPORT_H_
#define VEXA_SERVER_ADMIN_EXPORT_H_

#include <httplib.h>

#include "server/login_guard.h"
#include "server/service_context.h"

namespace vexa::server {

// GET /admin/export: every user's files with path, size, SHA-1 and pick
// code, for the holder of the admin token.
class AdminExport {
 public:
  explicit AdminExport(ServiceContext* ctx) : ctx_(ctx) {}
  AdminExport(const AdminExport&) = delete;
  AdminExport& operator=(const AdminExport&) = delete;

  void Install(httplib::Server* server);

 private:
  void Handle(const httplib::Request& req, httplib::Response& res);

  ServiceContext* const ctx_;
  // Wrong tokens count per address like failed logins, so the token cannot
  // be guessed at network speed.
  LoginGuard guard_;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_ADMIN_EXPORT_H_
