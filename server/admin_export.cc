#include "server/admin_export.h"

#include <json/json.h>

#include "server/random.h"
#include "server/reply.h"

namespace vexa::server {

namespace {
constexpr char kAdmin[] = "admin";
}  // namespace

void AdminExport::Install(httplib::Server* server) {
  server->Get("/admin/export",
              [this](const httplib::Request& q, httplib::Response& r) { Handle(q, r); });
}

void AdminExport::Handle(const httplib::Request& req, httplib::Response& res) {
  // While an address is throttled even the right token is refused, so the
  // answer tells a guesser nothing.
  const bool throttled = guard_.Throttled(kAdmin, req.remote_addr, NowMillis());
  if (throttled ||
      !TimingSafeEqual(req.get_header_value("X-Admin-Token"), ctx_->options.admin_token)) {
    if (!throttled) guard_.RecordFailure(kAdmin, req.remote_addr, NowMillis());
    Json::Value v;
    v["state"] = false;
    v["error"] = "admin token required";
    res.status = 403;
    res.set_content(ToJson(v), "application/json; charset=utf-8");
    return;
  }
  Json::Value users(Json::arrayValue);
  port::MutexLock lock(&ctx_->mu);
  for (const User& u : ctx_->meta->ListUsers()) {
    Json::Value user;
    user["user_id"] = std::to_string(u.id);
    user["account"] = u.account;
    Json::Value files(Json::arrayValue);
    for (const ListedFile& f : ctx_->meta->ListFiles(u.id)) {
      Json::Value file;
      file["path"] = f.path;
      file["size"] = Json::UInt64(f.size);
      file["sha1"] = f.sha1;
      file["pickcode"] = f.pickCode;
      files.append(file);
    }
    user["files"] = files;
    users.append(user);
  }
  Json::Value v;
  v["users"] = users;
  Reply(res, v);
}

}  // namespace vexa::server
