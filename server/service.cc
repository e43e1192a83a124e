#include "server/service.h"

#include <json/json.h>

#include <cstdio>

#include "codec/login_sign.h"
#include "codec/sha1.h"
#include "server/names.h"
#include "server/reply.h"
#include "server/request_log.h"

namespace vexa::server {

Service::Service(const Options& options, Metadata* meta, BlobStore* blobs, FaultPlan* faults)
    : ctx_(options, meta, blobs, faults),
      sessions_(&ctx_),
      account_(&ctx_),
      dispatch_(&ctx_, &sessions_),
      transfer_(&ctx_, &sessions_),
      export_(&ctx_),
      web_(&ctx_) {
  ctx_.base_url = "http://" + options.host + ":" + std::to_string(options.port);
}

bool Service::Start(std::string* error) {
  Metadata* meta = ctx_.meta;
  BlobStore* blobs = ctx_.blobs;
  {
    std::lock_guard<std::mutex> lock(ctx_.mu);
    for (const UserSpec& u : ctx_.options.users) {
      std::string digest;
      if (!PasswordDigest(u.password, &digest)) {
        *error = "empty password for " + u.account;
        return false;
      }
      if (!IsValidName(u.account)) {
        *error = "account names must be printable text: " + u.account;
        return false;
      }
      if (!meta->UpsertUser(u.account, digest, u.quota ? u.quota : ctx_.options.default_quota)) {
        *error = "cannot store the account " + u.account;
        return false;
      }
    }
    sessions_.DropIdle();
  }
  sessions_.FinishComplete();
  std::lock_guard<std::mutex> lock(ctx_.mu);
  // Partial files without a session are either finished content whose
  // blob name was cut short by a crash, or data of a dropped session.
  for (int64_t id : blobs->ListPartials()) {
    Session session;
    if (meta->FindSessionById(id, &session)) continue;
    std::string sha1;
    uint32_t hash_error = 0;
    uint64_t size = 0;
    std::string publish_error;
    if (Sha1FileHex(&hash_error, HashProgressFn(), blobs->PartialPath(id), &sha1) &&
        meta->FindBlob(sha1, &size) && !blobs->HasBlob(sha1) &&
        !blobs->Publish(id, sha1, &publish_error)) {
      std::fprintf(stderr, "vexa-server: %s\n", publish_error.c_str());
      continue;  // kept for the next start
    }
    blobs->RemovePartial(id);
  }
  // Content no file refers to: replaced by an older version, or named by a
  // finish that a crash or failure kept from being recorded.
  for (const std::string& sha1 : meta->DropUnreferencedBlobs()) blobs->RemoveBlob(sha1);
  for (const std::string& sha1 : blobs->ListBlobs()) {
    uint64_t size;
    if (!meta->FindBlob(sha1, &size)) blobs->RemoveBlob(sha1);
  }
  return true;
}

void Service::Install(httplib::Server* server) {
  server->set_payload_max_length(kMaxBodyBytes);
  request_log::Install(server);
  server->set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    request_log::Begin();
    // Refused before the body is read: the library would otherwise read (or
    // skip) all of it, and holds no limit for a chunked body.
    if (req.has_header("Transfer-Encoding")) {
      res.status = 411;
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.has_header("Content-Length")) {
      uint64_t length;
      if (!ParseDecimal(req.get_header_value("Content-Length"), &length)) {
        res.status = 400;
        return httplib::Server::HandlerResponse::Handled;
      }
      if (length > kMaxBodyBytes) {
        res.status = 413;
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    // The range body ends its closing delimiter without a CRLF, which the HTTP
    // library's own multipart reader refuses; hide the type so that the raw
    // body reaches our parser.
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
  account_.Install(server);
  dispatch_.Install(server);
  transfer_.Install(server);
  export_.Install(server);
  web_.Install(server);
  server->set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    Json::Value v;
    v["state"] = false;
    v["error"] = "HTTP status " + std::to_string(res.status);
    res.set_content(ToJson(v), "application/json; charset=utf-8");
  });
}

}  // namespace vexa::server
