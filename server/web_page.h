#ifndef VEXA_SERVER_WEB_PAGE_H_
#define VEXA_SERVER_WEB_PAGE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/metadata.h"

namespace vexa::server {

// What the account page shows: the quota and one opened folder.
struct AccountView {
  std::string account;
  std::string token;  // the session's form token; every form sends it back
  uint64_t used = 0;
  uint64_t quota = 0;
  FolderListing listing;
  std::string upload_section;  // HTML, shown first
};

// Escapes text for HTML element content and quoted attribute values.
std::string HtmlEscape(std::string_view text);

// The login form; `token` goes back with it and must match the form cookie.
std::string RenderLoginPage(const std::string& error, const std::string& token);
std::string RenderAccountPage(const AccountView& view);
// The storage, folder and file cards alone: the page swaps them in when an
// upload completes, so every number on it comes from here.
std::string RenderCards(const AccountView& view);

}  // namespace vexa::server

#endif  // VEXA_SERVER_WEB_PAGE_H_
