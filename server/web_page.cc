#include "server/web_page.h"

#include <cstdio>

#include "codec/size_text.h"

namespace vexa::server {

namespace {

const char kHead[] =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
    "<title>vexaupload</title><style>"
    // Names and the system's messages may be Chinese: a CJK face before the
    // generic fallback, which may have none.
    "body{font:15px/1.5 system-ui,\"Noto Sans CJK SC\",\"Noto Sans CJK JP\",\"Source Han Sans SC\","
    "\"WenQuanYi Micro Hei\",\"Microsoft YaHei\",\"PingFang "
    "SC\",sans-serif;margin:0;background:#f5f6f8;"
    "color:#1d2330}"
    "header{background:#24303f;color:#fff;padding:12px 24px;display:flex;"
    "justify-content:space-between;align-items:center}"
    "header h1{font-size:18px;margin:0}main{max-width:960px;margin:24px auto;padding:0 16px}"
    "section{background:#fff;border-radius:8px;box-shadow:0 1px 3px #0002;padding:16px 20px;"
    "margin-bottom:20px}h2{font-size:16px;margin:0 0 12px}"
    "table{border-collapse:collapse;width:100%}th,td{text-align:left;padding:6px 8px;"
    "border-bottom:1px solid #e4e7ec;vertical-align:top}th{font-weight:600;color:#5b6474}"
    "td.num{text-align:right;white-space:nowrap}code{font-size:12px;word-break:break-all}"
    ".name{overflow-wrap:break-word;word-break:normal}"
    "nav.trail{margin-bottom:10px;color:#5b6474}nav.trail a{color:#2459c2}"
    "ul.folders{list-style:none;margin:0;padding:0;display:flex;flex-wrap:wrap;gap:6px 18px}"
    "ul.folders a{color:#2459c2;text-decoration:none}"
    "td.act{white-space:nowrap}td.act form{display:inline}"
    "a.button,td.act button{display:inline-block;padding:3px 10px;border-radius:6px;font-size:13px;"
    "background:#e4e7ec;color:#1d2330;text-decoration:none;margin-right:4px}"
    "td.act button{background:#fbe4e2;color:#b42318}"
    ".bar{height:10px;background:#e4e7ec;border-radius:5px;overflow:hidden;margin-top:6px}"
    ".bar div{height:100%;background:#3b82f6}.err{color:#b42318}"
    "form.login{max-width:320px;margin:80px auto}form.login input{display:block;width:100%;"
    "box-sizing:border-box;margin:6px 0 12px;padding:8px}"
    "button{padding:8px 14px;border:0;border-radius:6px;background:#3b82f6;color:#fff;"
    "cursor:pointer}header button{background:#3d4b5c}"
    "</style>"
    "<script src=\"/account_page.js\" defer></script></head><body>\n";

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string RenderLoginPage(const std::string& error, const std::string& token) {
  std::string html = kHead;
  html +=
      "<main><section><form class=\"login\" method=\"post\" action=\"/login\">"
      "<h2>Sign in</h2>";
  if (!error.empty()) html += "<p class=\"err\">" + HtmlEscape(error) + "</p>";
  html += "<input type=\"hidden\" name=\"token\" value=\"" + HtmlEscape(token) + "\">";
  html +=
      "<label>Account<input name=\"account\" autocomplete=\"username\" required></label>"
      "<label>Password<input name=\"password\" type=\"password\" "
      "autocomplete=\"current-password\" required></label>"
      "<button type=\"submit\">Sign in</button></form></section></main></body></html>\n";
  return html;
}

std::string RenderCards(const AccountView& view) {
  const std::string folder = std::to_string(view.listing.id);
  const std::string token = HtmlEscape(view.token);
  std::string html = "<div id=\"cards\" data-folder=\"" + folder + "\">";
  double percent =
      view.quota ? 100.0 * static_cast<double>(view.used) / static_cast<double>(view.quota) : 100.0;
  if (percent > 100) percent = 100;
  char width[32];
  std::snprintf(width, sizeof(width), "%.1f", percent);
  html += "<section id=\"storage\"><h2>Storage</h2><div>" + HtmlEscape(FormatSize(view.used)) +
          " of " + HtmlEscape(FormatSize(view.quota)) + " used (" + width +
          "%)</div>"
          "<div class=\"bar\"><div style=\"width:" +
          width + "%\"></div></div></section>";

  // Names are isolated (<bdi>), so a right-to-left name cannot reorder the
  // text around it.
  html += "<section id=\"folders\"><h2>Folders</h2><nav class=\"trail\" aria-label=\"Folder\">";
  const std::vector<FolderEntry>& trail = view.listing.trail;
  for (size_t i = 0; i < trail.size(); ++i) {
    const std::string label =
        i == 0 ? "Home" : "<bdi class=\"name\">" + HtmlEscape(trail[i].name) + "</bdi>";
    if (i > 0) html += " / ";
    if (i + 1 == trail.size()) {
      html += "<strong>" + label + "</strong>";
    } else {
      html += "<a href=\"/" + (i == 0 ? std::string() : "?folder=" + std::to_string(trail[i].id)) +
              "\">" + label + "</a>";
    }
  }
  html += "</nav>";
  if (view.listing.folders.empty()) {
    html += "<p>No folders here.</p>";
  } else {
    html += "<ul class=\"folders\">";
    for (const FolderEntry& f : view.listing.folders) {
      html += "<li><a href=\"/?folder=" + std::to_string(f.id) + "\"><bdi class=\"name\">" +
              HtmlEscape(f.name) + "/</bdi></a></li>";
    }
    html += "</ul>";
  }
  html += "</section><section id=\"files\"><h2>Files</h2>";
  if (view.listing.files.empty()) {
    html += "<p>No files here.</p>";
  } else {
    html +=
        "<table><thead><tr><th>Name</th><th>Size</th><th>SHA-1</th><th>Pick code</th><th></th>"
        "</tr></thead><tbody>";
    for (const FileEntry& f : view.listing.files) {
      const std::string id = std::to_string(f.id);
      html += "<tr><td><bdi class=\"name\">" + HtmlEscape(f.name) +
              "</bdi></td><td class=\"num\">" + HtmlEscape(FormatSize(f.size)) + "</td><td><code>" +
              HtmlEscape(f.sha1) + "</code></td><td><code>" + HtmlEscape(f.pickCode) +
              "</code></td><td class=\"act\"><a class=\"button\" href=\"/download?file=" + id +
              "\">Download</a><form class=\"delete\" method=\"post\" action=\"/delete\">"
              "<input type=\"hidden\" name=\"token\" value=\"" +
              token +
              "\">"
              "<input type=\"hidden\" name=\"file\" value=\"" +
              id +
              "\">"
              "<input type=\"hidden\" name=\"folder\" value=\"" +
              folder +
              "\">"
              "<button type=\"submit\" data-name=\"" +
              HtmlEscape(f.name) + "\">Delete</button></form></td></tr>";
    }
    html += "</tbody></table>";
  }
  html += "</section></div>";
  return html;
}

std::string RenderAccountPage(const AccountView& view) {
  std::string html = kHead;
  html +=
      "<header><h1>vexaupload</h1><form method=\"post\" action=\"/logout\">"
      "<span>" +
      HtmlEscape(view.account) +
      "</span> "
      "<button type=\"submit\">Sign out</button></form></header><main>";
  html += view.upload_section;
  html += RenderCards(view);
  html += "</main></body></html>\n";
  return html;
}

}  // namespace vexa::server
