#include "server/web_site.h"

#include "codec/sha1.h"
#include "codec/text.h"
#include "server/form.h"
#include "server/names.h"
#include "server/random.h"
#include "server/upload_page.h"
#include "server/web_page.h"

namespace vexa::server {

namespace {

constexpr int64_t kWebSessionLifetime = 12 * 3600;
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

}  // namespace

void WebSite::Install(httplib::Server* server) {
  server->Get("/", [this](const httplib::Request& q, httplib::Response& r) { HandleHome(q, r); });
  server->Post("/login", [this](const httplib::Request& q, httplib::Response& r) {
    HandleLogin(q, r);
  });
  server->Post("/logout", [this](const httplib::Request& q, httplib::Response& r) {
    HandleLogout(q, r);
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

Lookup WebSite::WebUser(const httplib::Request& req, User* user) {
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
  }
  port::MutexLock lock(&ctx_->mu);
  return ctx_->meta->FindUser(id, user);
}

void WebSite::ShowUnreadable(httplib::Response& res) {
  res.status = 500;
  res.set_content("The service cannot read the account. Please try again later.",
                  "text/plain; charset=utf-8");
}

void WebSite::ShowLoginPage(const std::string& error, httplib::Response& res) {
  const std::string token = RandomKey();
  res.set_header("Set-Cookie", std::string(kFormCookie) + "=" + token +
                                   "; Path=/; HttpOnly; SameSite=Strict");
  res.set_content(RenderLoginPage(error, token), "text/html; charset=utf-8");
}

void WebSite::HandleHome(const httplib::Request& req, httplib::Response& res) {
  User user;
  switch (WebUser(req, &user)) {
    case Lookup::kFound: break;
    case Lookup::kNotFound: return ShowLoginPage("", res);
    case Lookup::kFailed: return ShowUnreadable(res);
  }
  AccountView view;
  view.account = user.account;
  view.upload_section = RenderUploadSection(user.account);
  {
    port::MutexLock lock(&ctx_->mu);
    if (!ctx_->meta->UsedBytes(user.id, &view.used)) return ShowUnreadable(res);
    view.folders = ctx_->meta->ListFolders(user.id);
    view.files = ctx_->meta->ListFiles(user.id);
  }
  view.quota = user.quota;
  view.used_text = FormatSize(view.used);
  view.quota_text = FormatSize(view.quota);
  for (const ListedFile& f : view.files) view.size_texts.push_back(FormatSize(f.size));
  res.set_content(RenderAccountPage(view), "text/html; charset=utf-8");
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
    sessions_[token] = {user.id, now + kWebSessionLifetime};
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
