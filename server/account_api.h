#ifndef VEXA_SERVER_ACCOUNT_API_H_
#define VEXA_SERVER_ACCOUNT_API_H_

#include <httplib.h>
#include <json/json.h>

#include "server/metadata.h"
#include "server/service_context.h"

namespace vexa::server {

// Logins unused this long no longer sign requests or query space.
inline constexpr int64_t kLoginLifetime = 30 * 24 * 3600;

// The account API: the signed login and the space query.
class AccountApi {
 public:
  explicit AccountApi(ServiceContext* ctx) : ctx_(ctx) {}
  AccountApi(const AccountApi&) = delete;
  AccountApi& operator=(const AccountApi&) = delete;

  void Install(httplib::Server* server);

 private:
  void HandleLogin(const httplib::Request& req, httplib::Response& res);
  void HandleSpace(const httplib::Request& req, httplib::Response& res);

  ServiceContext* const ctx_;
};

// Space figures of a user, as the login and the space query answer them;
// false when the bytes in use cannot be read.
bool FillSpace(ServiceContext* ctx, const User& user, Json::Value* space) REQUIRES(ctx->mu);

// The login's and the space query's answer when the database fails.
inline constexpr char kAccountUnreadable[] = "the service cannot read the account; try again later";

}  // namespace vexa::server

#endif  // VEXA_SERVER_ACCOUNT_API_H_
