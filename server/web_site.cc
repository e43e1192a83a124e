#include "server/web_site.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "codec/sha1.h"
#include "codec/text.h"
#include "server/download.h"
#include "server/form.h"
#include "server/names.h"
#include "server/random.h"
#include "server/request_log.h"
#include "server/upload_page.h"
#include "server/web_page.h"

namespace vexa::embedded {
std::string_view AccountPageJs();
}  // namespace vexa::embedded

namespace vexa::server {

namespace {

constexpr int64_t kWebSessionLifetime = 12 * 3600;
constexpr char kNoSuchFile[] = "There is no such file.";
constexpr char kNoSuchFolder[] = "There is no such folder.";
constexpr char kWebCookie[] = "vexa_session";
// The login form's token is also set as this cookie; a form posted from
// another site cannot carry both (double-submit).
constexpr char kFormCookie[] = "vexa_form";

std::string CookieValue(const httplib::Request& req, const std::string& name) {
  std::string header = req.get_header_value("Cookie");
  size_t pos = 0;
  while (pos < header.size()) {
    size_t semi = header.find(';', pos);
    if (semi == std::string::npos) semi = header.size();
    std::string item = header.substr(pos, semi - pos);
    size_t start = item.find_first_not_of(' ');
    if (start != std::string::npos) item = item.substr(start);
    if (item.size() > name.size() && item.compare(0, name.size(), name) == 0 &&
        item[name.size()] == '=') {
      return item.substr(name.size() + 1);
    }
    pos = semi + 1;
  }
  return "";
}

// Bytes read from a blob per write to the client.
constexpr size_t kDownloadPiece = 256 * 1024;

}  // namespace

void WebSite::Install(httplib::Server* server) {
  server->Get("/", [this](const httplib::Request& q, httplib::Response& r) { HandleHome(q, r); });
  server->Post("/login",
               [this](const httplib::Request& q, httplib::Response& r) { HandleLogin(q, r); });
  server->Post("/logout",
               [this](const httplib::Request& q, httplib::Response& r) { HandleLogout(q, r); });
  server->Get("/cards",
              [this](const httplib::Request& q, httplib::Response& r) { HandleCards(q, r); });
  server->Get("/download",
              [this](const httplib::Request& q, httplib::Response& r) { HandleDownload(q, r); });
  server->Post("/delete",
               [this](const httplib::Request& q, httplib::Response& r) { HandleDelete(q, r); });
  server->Post("/uploader-ticket", [this](const httplib::Request& q, httplib::Response& r) {
    HandleUploaderTicket(q, r);
  });
  server->Get("/account_page.js", [](const httplib::Request&, httplib::Response& res) {
    const std::string_view body = embedded::AccountPageJs();
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(body.data(), body.size(), "text/javascript; charset=utf-8");
  });
  InstallUploadPage(server);
  // Every answer, pages and errors alike: no framing (clickjacking the
  // upload buttons), no foreign script, and no address of ours in another
  // site's Referer.
  const std::string policy = PageSecurityPolicy();
  server->set_post_routing_handler([policy](const httplib::Request&, httplib::Response& res) {
    res.set_header("Content-Security-Policy", policy);
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
  });
}

Lookup WebSite::WebUser(const httplib::Request& req, User* user, std::string* form_token) {
  const std::string token = CookieValue(req, kWebCookie);
  if (token.empty()) return Lookup::kNotFound;
  int64_t id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = sessions_.find(token);
    if (it == sessions_.end()) return Lookup::kNotFound;
    if (it->second.expires < NowSeconds()) {
      sessions_.erase(it);
      return Lookup::kNotFound;
    }
    id = it->second.user;
    if (form_token != nullptr) *form_token = it->second.form_token;
  }
  port::MutexLock lock(&ctx_->mu);
  const Lookup found = ctx_->meta->FindUser(id, user);
  if (found == Lookup::kFound) request_log::NoteAccount(user->account);
  return found;
}

void WebSite::ShowUnreadable(httplib::Response& res) {
  res.status = 500;
  res.set_content("The service cannot read the account. Please try again later.",
                  "text/plain; charset=utf-8");
}

bool WebSite::ShowUnlessFound(Lookup found, const char* missing, httplib::Response& res) {
  switch (found) {
    case Lookup::kFound:
      return false;
    case Lookup::kNotFound:
      ShowText(404, missing, res);
      return true;
    case Lookup::kFailed:
      break;
  }
  ShowUnreadable(res);
  return true;
}

void WebSite::ShowLoginPage(const std::string& error, httplib::Response& res) {
  const std::string token = RandomKey();
  res.set_header("Set-Cookie",
                 std::string(kFormCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
  res.set_content(RenderLoginPage(error, token), "text/html; charset=utf-8");
}

void WebSite::ShowText(int status, const std::string& text, httplib::Response& res) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(text, "text/plain; charset=utf-8");
}

bool WebSite::SignedIn(const httplib::Request& req, httplib::Response& res, User* user,
                       std::string* form_token) {
  switch (WebUser(req, user, form_token)) {
    case Lookup::kFound:
      return true;
    case Lookup::kNotFound:
      ShowText(403, "Sign in first.", res);
      return false;
    case Lookup::kFailed:
      ShowUnreadable(res);
      return false;
  }
  return false;
}

bool WebSite::LoadView(const httplib::Request& req, httplib::Response& res, AccountView* view) {
  User user;
  if (!SignedIn(req, res, &user, &view->token)) return false;
  int64_t folder = user.root;
  if (req.has_param("folder") && !ParseId(req.get_param_value("folder"), &folder)) {
    ShowText(404, kNoSuchFolder, res);
    return false;
  }
  view->account = user.account;
  view->quota = user.quota;
  port::MutexLock lock(&ctx_->mu);
  if (ShowUnlessFound(ctx_->meta->ListFolder(user.id, folder, &view->listing), kNoSuchFolder, res))
    return false;
  if (!ctx_->meta->UsedBytes(user.id, &view->used)) {
    ShowUnreadable(res);
    return false;
  }
  return true;
}

void WebSite::HandleHome(const httplib::Request& req, httplib::Response& res) {
  User user;
  switch (WebUser(req, &user)) {
    case Lookup::kFound:
      break;
    case Lookup::kNotFound:
      return ShowLoginPage("", res);
    case Lookup::kFailed:
      return ShowUnreadable(res);
  }
  AccountView view;
  if (!LoadView(req, res, &view)) return;
  view.upload_section = RenderUploadSection(view.account, view.token);
  res.set_header("Cache-Control", "no-store");
  res.set_content(RenderAccountPage(view), "text/html; charset=utf-8");
}

void WebSite::HandleCards(const httplib::Request& req, httplib::Response& res) {
  AccountView view;
  if (!LoadView(req, res, &view)) return;
  res.set_header("Cache-Control", "no-store");
  res.set_content(RenderCards(view), "text/html; charset=utf-8");
}

void WebSite::HandleDownload(const httplib::Request& req, httplib::Response& res) {
  User user;
  if (!SignedIn(req, res, &user)) return;
  int64_t id;
  if (!ParseId(req.get_param_value("file"), &id)) return ShowText(404, kNoSuchFile, res);
  FileEntry file;
  std::shared_ptr<BlobReader> reader;
  {
    // Looked up and opened together: a delete cannot come in between, and
    // an open blob stays readable after one.
    port::MutexLock lock(&ctx_->mu);
    if (ShowUnlessFound(ctx_->meta->FindFileById(user.id, id, &file), kNoSuchFile, res)) return;
    reader = ctx_->blobs->OpenBlob(file.sha1);
  }
  if (!reader) {
    std::fprintf(stderr, "vexa-server: the content of file %lld is missing\n",
                 static_cast<long long>(id));
    return ShowText(500, "The content of this file cannot be read.", res);
  }
  const std::string etag = ContentEtag(file.sha1);
  const DownloadPlan plan =
      PlanDownload(file.size, etag, req.get_header_value("Range"), req.get_header_value("If-Range"),
                   req.get_header_value("If-None-Match"));
  // The slice is ours: the library must not cut it again.
  const_cast<httplib::Request&>(req).ranges.clear();
  res.status = plan.status;
  res.set_header("ETag", etag);
  res.set_header("Accept-Ranges", "bytes");
  res.set_header("Cache-Control", "private, no-cache");
  res.set_header("X-Content-Type-Options", "nosniff");
  if (plan.status == 304) return;
  if (plan.status == 416 || plan.status == 206)
    res.set_header("Content-Range", ContentRange(plan, file.size));
  if (plan.status == 416) return;
  res.set_header("Content-Disposition", AttachmentDisposition(file.name));
  const uint64_t start = plan.start;
  res.set_content_provider(
      static_cast<size_t>(plan.length), "application/octet-stream",
      [reader, start](size_t offset, size_t length, httplib::DataSink& sink) {
        std::string piece;
        if (!reader->ReadAt(start + offset, std::min(length, kDownloadPiece), &piece)) return false;
        return sink.write(piece.data(), piece.size());
      });
}

void WebSite::HandleDelete(const httplib::Request& req, httplib::Response& res) {
  User user;
  std::string form_token;
  if (!SignedIn(req, res, &user, &form_token)) return;
  FormFields form;
  // Only the page's own form knows the session's token.
  if (!ParseUrlEncoded(req.body, &form) || form_token.empty() ||
      !TimingSafeEqual(Field(form, "token"), form_token)) {
    return ShowText(403, "This page has expired. Reload it and try again.", res);
  }
  int64_t id, folder = 0;
  if (!ParseId(Field(form, "file"), &id)) return ShowText(404, kNoSuchFile, res);
  std::vector<std::string> freed;
  {
    port::MutexLock lock(&ctx_->mu);
    if (ShowUnlessFound(ctx_->meta->DeleteFile(user.id, id, &freed), kNoSuchFile, res)) return;
    // Under the lock: a finishing upload of the same content checks for its
    // blob under it too.
    for (const std::string& sha1 : freed) ctx_->blobs->RemoveBlob(sha1);
  }
  res.status = 303;
  res.set_header("Location", ParseId(Field(form, "folder"), &folder)
                                 ? "/?folder=" + std::to_string(folder)
                                 : "/");
}

void WebSite::HandleUploaderTicket(const httplib::Request& req, httplib::Response& res) {
  User user;
  std::string form_token;
  if (!SignedIn(req, res, &user, &form_token)) return;
  // A header another site's form cannot set, with the session's own token:
  // only the page's script gets a ticket.
  if (form_token.empty() || !TimingSafeEqual(req.get_header_value("X-Form-Token"), form_token)) {
    return ShowText(403, "This page has expired. Reload it and try again.", res);
  }
  res.set_header("Cache-Control", "no-store");
  res.set_content("{\"ticket\":\"" + ctx_->login_tickets.Issue(user.id, NowMillis()) + "\"}",
                  "application/json");
}

void WebSite::HandleLogin(const httplib::Request& req, httplib::Response& res) {
  FormFields form;
  const std::string form_token = CookieValue(req, kFormCookie);
  if (!ParseUrlEncoded(req.body, &form) || form_token.empty() ||
      !TimingSafeEqual(Field(form, "token"), form_token)) {
    res.status = 403;
    ShowLoginPage("The sign-in form has expired. Please sign in again.", res);
    return;
  }
  // What is typed is always a password, never its digest: the digest alone
  // must not open the account.
  const std::string& account = Field(form, "account");
  request_log::NoteAccount(account);
  const std::string& password = Field(form, "password");
  const bool throttled = ctx_->login_guard.Throttled(account, req.remote_addr, NowMillis());
  std::string digest;
  User user;
  bool ok = !throttled && !password.empty() && Sha1Hex(password.data(), password.size(), &digest);
  if (ok) {
    digest = ToLower(digest);
    port::MutexLock lock(&ctx_->mu);
    const Lookup found = ctx_->meta->FindUserByAccount(account, &user);
    // Not the visitor's fault: no wrong password is counted against them.
    if (found == Lookup::kFailed) return ShowUnreadable(res);
    ok = found == Lookup::kFound && TimingSafeEqual(digest, user.digest);
  }
  if (!ok) {
    // Refused while throttled reads the same and does not prolong it.
    if (!throttled) ctx_->login_guard.RecordFailure(account, req.remote_addr, NowMillis());
    res.status = 401;
    ShowLoginPage("Wrong account or password.", res);
    return;
  }
  const std::string token = RandomKey() + RandomKey();
  {
    std::lock_guard<std::mutex> lock(mu_);
    const int64_t now = NowSeconds();
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      it = it->second.expires < now ? sessions_.erase(it) : std::next(it);
    }
    sessions_[token] = {user.id, now + kWebSessionLifetime, RandomKey() + RandomKey()};
  }
  res.status = 303;
  res.set_header("Location", "/");
  res.set_header("Set-Cookie", std::string(kWebCookie) + "=" + token +
                                   "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                                   std::to_string(kWebSessionLifetime));
}

void WebSite::HandleLogout(const httplib::Request& req, httplib::Response& res) {
  const std::string token = CookieValue(req, kWebCookie);
  {
    std::lock_guard<std::mutex> lock(mu_);
    sessions_.erase(token);
  }
  res.status = 303;
  res.set_header("Location", "/");
  res.set_header("Set-Cookie",
                 std::string(kWebCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
}

}  // namespace vexa::server
