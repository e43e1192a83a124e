#include "server/web_site.h"

#include "codec/login_sign.h"
#include "server/form.h"
#include "server/names.h"
#include "server/random.h"
#include "server/upload_page.h"
#include "server/web_page.h"

namespace vexa::server {

namespace {

constexpr int64_t kWebSessionLifetime = 12 * 3600;
constexpr char kWebCookie[] = "vexa_session";

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
}

bool WebSite::WebUser(const httplib::Request& req, User* user) {
  const std::string token = CookieValue(req, kWebCookie);
  if (token.empty()) return false;
  int64_t id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = sessions_.find(token);
    if (it == sessions_.end()) return false;
    if (it->second.expires < NowSeconds()) {
      sessions_.erase(it);
      return false;
    }
    id = it->second.user;
  }
  std::lock_guard<std::mutex> lock(ctx_->mu);
  return ctx_->meta->FindUser(id, user);
}

void WebSite::HandleHome(const httplib::Request& req, httplib::Response& res) {
  User user;
  if (!WebUser(req, &user)) {
    res.set_content(RenderLoginPage(""), "text/html; charset=utf-8");
    return;
  }
  AccountView view;
  view.account = user.account;
  view.upload_section = RenderUploadSection(user.account);
  {
    std::lock_guard<std::mutex> lock(ctx_->mu);
    view.used = ctx_->meta->UsedBytes(user.id);
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
  User user;
  std::string digest;
  bool ok = ParseUrlEncoded(req.body, &form) && PasswordDigest(Field(form, "password"), &digest);
  if (ok) {
    std::lock_guard<std::mutex> lock(ctx_->mu);
    ok = ctx_->meta->FindUserByAccount(Field(form, "account"), &user);
  }
  if (!ok || !TimingSafeEqual(digest, user.digest)) {
    res.status = 401;
    res.set_content(RenderLoginPage("Wrong account or password."), "text/html; charset=utf-8");
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
