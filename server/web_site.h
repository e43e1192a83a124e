#ifndef VEXA_SERVER_WEB_SITE_H_
#define VEXA_SERVER_WEB_SITE_H_

#include <httplib.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "server/metadata.h"
#include "server/service_context.h"
#include "server/web_page.h"

namespace vexa::server {

// The small web site: a login form and, behind a session cookie, the
// signed-in user's folders, files and quota.
class WebSite {
 public:
  explicit WebSite(ServiceContext* ctx) : ctx_(ctx) {}
  WebSite(const WebSite&) = delete;
  WebSite& operator=(const WebSite&) = delete;

  void Install(httplib::Server* server);

 private:
  struct WebSession {
    int64_t user;
    int64_t expires;
    std::string form_token;  // sent back by the page's forms (delete)
  };

  // The login form with a fresh form token (also set as a cookie).
  void ShowLoginPage(const std::string& error, httplib::Response& res);
  void HandleHome(const httplib::Request& req, httplib::Response& res);
  void HandleLogin(const httplib::Request& req, httplib::Response& res);
  void HandleLogout(const httplib::Request& req, httplib::Response& res);
  // The cards alone, for the page to refresh them.
  void HandleCards(const httplib::Request& req, httplib::Response& res);
  void HandleDownload(const httplib::Request& req, httplib::Response& res);
  void HandleDelete(const httplib::Request& req, httplib::Response& res);
  // A one-time ticket with which the page signs the local uploader in as the
  // session's user (LoginTickets), for the page's own script only.
  void HandleUploaderTicket(const httplib::Request& req, httplib::Response& res);
  // The user of the request's session cookie and the session's form token;
  // kNotFound without a live one.
  Lookup WebUser(const httplib::Request& req, User* user, std::string* form_token = nullptr);
  // The page's user; false after answering "sign in first" or the failure.
  bool SignedIn(const httplib::Request& req, httplib::Response& res, User* user,
                std::string* form_token = nullptr);
  // The signed-in view of folder `?folder=` (the root without one). Answers
  // the request itself and returns false when it cannot.
  bool LoadView(const httplib::Request& req, httplib::Response& res, AccountView* view);
  // A plain-text answer for a failed or refused request.
  static void ShowText(int status, const std::string& text, httplib::Response& res);
  // The page of a failed database read.
  void ShowUnreadable(httplib::Response& res);
  // Answers a lookup that found nothing (404 with `missing`) or failed (the
  // unreadable page); false, answering nothing, when it found.
  bool ShowUnlessFound(Lookup found, const char* missing, httplib::Response& res);

  ServiceContext* const ctx_;
  std::mutex mu_;
  std::map<std::string, WebSession> sessions_;  // guarded by mu_
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_WEB_SITE_H_
