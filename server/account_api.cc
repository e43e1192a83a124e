#include "server/account_api.h"

#include <cstdio>
#include <cstdlib>

#include "codec/login_sign.h"
#include "codec/size_text.h"
#include "codec/text.h"
#include "server/form.h"
#include "server/names.h"
#include "server/random.h"
#include "server/reply.h"
#include "server/request_log.h"

namespace vexa::server {

namespace {

// A login whose clock differs from ours by more is refused.
constexpr int64_t kMaxClockSkew = 600;

}  // namespace

bool FillSpace(ServiceContext* ctx, const User& user, Json::Value* space) {
  uint64_t used;
  if (!ctx->meta->UsedBytes(user.id, &used)) return false;
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
  return true;
}

void AccountApi::Install(httplib::Server* server) {
  server->Post("/app/clogin",
               [this](const httplib::Request& q, httplib::Response& r) { HandleLogin(q, r); });
  server->Get("/app/user/space",
              [this](const httplib::Request& q, httplib::Response& r) { HandleSpace(q, r); });
}

void AccountApi::HandleLogin(const httplib::Request& req, httplib::Response& res) {
  Json::Value v;
  v["state"] = false;
  int fault = ctx_->InjectFaults(FaultOp::kLogin, res);
  if (fault < 0) return;
  if (fault > 0) {
    v["error"] = MessageFor(fault);
    Reply(res, v);
    return;
  }
  // The signature covers the values as the client had them: decoded when it
  // percent-encoded them, as sent when it wrote them raw ("+" and "%" in an
  // account name read differently in the two).
  FormFields decoded, raw;
  const bool has_decoded = ParseUrlEncoded(req.body, &decoded);
  if (!ParseRawForm(req.body, &raw)) {
    v["error"] = "malformed login request";
    Reply(res, v);
    return;
  }
  // Both failures read alike, so the answer does not tell which accounts exist
  // or that an account is being guessed at.
  const char kWrong[] = "wrong account or password";
  const std::string& address = req.remote_addr;
  const std::string& sent_account = Field(has_decoded ? decoded : raw, "account");
  request_log::NoteAccount(sent_account);
  if (ctx_->login_guard.Throttled(sent_account, address, NowMillis())) {
    v["error"] = kWrong;
    Reply(res, v);
    return;
  }
  User user;
  std::string time_text, sign;
  bool signed_ok = false;
  bool unreadable = false;
  for (const FormFields* form : {has_decoded ? &decoded : nullptr, &raw}) {
    if (form == nullptr || signed_ok || unreadable) continue;
    const std::string& account = Field(*form, "account");
    port::MutexLock lock(&ctx_->mu);
    sign = ToLower(Field(*form, "sign"));
    const Lookup found = ctx_->meta->FindUserByAccount(account, &user);
    unreadable = found == Lookup::kFailed;
    signed_ok = found == Lookup::kFound &&
                TimingSafeEqual(sign, LoginSign(account, user.digest, Field(*form, "_time")));
    // The web site's signed-in page signs its uploader in with a one-time
    // ticket of its user in the digest's place.
    if (found == Lookup::kFound && !signed_ok) {
      signed_ok = ctx_->login_tickets.Redeem(user.id, NowMillis(), [&](const std::string& ticket) {
        return TimingSafeEqual(sign, LoginSign(account, ticket, Field(*form, "_time")));
      });
    }
    time_text = Field(*form, "_time");
  }
  // Not the client's fault: no wrong password is counted against it.
  if (unreadable) {
    v["error"] = kAccountUnreadable;
    Reply(res, v);
    return;
  }
  if (!signed_ok) {
    ctx_->login_guard.RecordFailure(sent_account, address, NowMillis());
    v["error"] = kWrong;
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
  // A captured body must not log in again while its time is still accepted.
  const int64_t valid_until_ms = (static_cast<int64_t>(client_time) + kMaxClockSkew + 1) * 1000;
  if (!ctx_->login_guard.FirstUse(user.account, time_text, sign, address, NowMillis(),
                                  valid_until_ms)) {
    v["error"] = "this login request was used before; log in again";
    Reply(res, v);
    return;
  }
  const std::string key = RandomKey();
  const std::string resource = RandomText(kPickAlphabet, 24);
  Json::Value space(Json::objectValue);
  {
    port::MutexLock lock(&ctx_->mu);
    if (!ctx_->meta->AddLogin(user.id, key, resource, now)) {
      v["error"] = "the service cannot record the login";
      Reply(res, v);
      return;
    }
    if (!FillSpace(ctx_, user, &space)) {
      v["error"] = kAccountUnreadable;
      Reply(res, v);
      return;
    }
  }
  const std::string& base = ctx_->base_url;
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
  v["url_upload"] = base + "/app/upload";
  v["url_resume"] = base + "/app/resume";
  v["url_cancel"] = base + "/app/cancel";
  v["target"] = std::to_string(user.root);
  v["time_limit"] = ctx_->options.time_limit;
  v["size_limit"] = Json::UInt64(ctx_->options.size_limit);
  v["space"] = space;
  Json::Value types(Json::arrayValue);
  for (const std::string& t : ctx_->options.type_limit) types.append(t);
  v["type_limit"] = types;
  Json::Value ranges(Json::objectValue);
  for (const auto& c : ctx_->options.size_classes) ranges[std::to_string(c.first)] = c.second;
  v["file_range"] = ranges;
  Reply(res, v);
}

void AccountApi::HandleSpace(const httplib::Request& req, httplib::Response& res) {
  Json::Value v;
  v["state"] = false;
  int fault = ctx_->InjectFaults(FaultOp::kSpace, res);
  if (fault < 0) return;
  FormFields query;
  int64_t user_id;
  if (fault > 0 || !ParseUrlEncoded(QueryOf(req.target), &query) ||
      !ParseId(Field(query, "user_id"), &user_id)) {
    v["error"] = fault > 0 ? MessageFor(fault) : "malformed space request";
    Reply(res, v);
    return;
  }
  port::MutexLock lock(&ctx_->mu);
  User user;
  const Lookup found = ctx_->meta->FindUser(user_id, &user);
  if (found == Lookup::kFound) request_log::NoteAccount(user.account);
  if (found == Lookup::kFailed) {
    v["error"] = kAccountUnreadable;
    Reply(res, v);
    return;
  }
  // The resource token of a login authorizes the query: user ids alone are
  // guessable.
  if (found == Lookup::kNotFound ||
      !ctx_->meta->UseResource(user.id, Field(query, "source"), NowSeconds(), kLoginLifetime)) {
    v["error"] = "unknown user or expired login";
    Reply(res, v);
    return;
  }
  Json::Value space(Json::objectValue);
  if (!FillSpace(ctx_, user, &space)) {
    v["error"] = kAccountUnreadable;
    Reply(res, v);
    return;
  }
  v["state"] = true;
  v["user_id"] = std::to_string(user.id);
  v["space"] = space;
  Reply(res, v);
}

}  // namespace vexa::server
