#include "server/upload_page.h"

#include <cstdlib>
#include <string_view>

#include "server/web_page.h"
#include "web/web_assets.h"

namespace vexa::embedded {
std::string_view UploadPageJs();
std::string_view UploadPageCss();
std::string_view ErrorTextsJs();
}  // namespace vexa::embedded

namespace vexa::server {

namespace {

constexpr char kDefaultBridgeUrl[] = "ws://127.0.0.1:18026/";

void ServeAsset(httplib::Server* server, const char* path, std::string_view (*content)(),
                const char* type) {
  server->Get(path, [content, type](const httplib::Request&, httplib::Response& res) {
    const std::string_view body = content();
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(body.data(), body.size(), type);
  });
}

}  // namespace

std::string BridgeUrl() {
  const char* url = std::getenv("VEXA_BRIDGE_URL");
  return url != nullptr && *url != '\0' ? url : kDefaultBridgeUrl;
}

std::string PageSecurityPolicy() {
  // A source expression is scheme, host and port: the bridge URL's path goes.
  std::string bridge = BridgeUrl();
  const size_t authority = bridge.find("://");
  const size_t path = bridge.find('/', authority == std::string::npos ? 0 : authority + 3);
  if (path != std::string::npos) bridge.resize(path);
  // Inline styles stay allowed (the page's own <style> and bar widths); no
  // inline or foreign script runs, so an injected one cannot drive the control.
  // The bridge's plain http address too: a page the bridge refuses asks it
  // whether it runs at all, to tell "not registered" from "not running".
  std::string bridge_http = bridge;
  if (bridge_http.rfind("ws", 0) == 0) bridge_http.replace(0, 2, "http");
  return "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' "
         "data:; "
         "connect-src 'self' " +
         bridge + " " + bridge_http +
         "; frame-ancestors 'none'; base-uri 'none'; form-action 'self'";
}

void InstallUploadPage(httplib::Server* server) {
  ServeAsset(server, "/vexaupload.js", embedded::VexaUploadJs, "text/javascript; charset=utf-8");
  ServeAsset(server, "/upload_page.js", embedded::UploadPageJs, "text/javascript; charset=utf-8");
  ServeAsset(server, "/upload_page.css", embedded::UploadPageCss, "text/css; charset=utf-8");
  ServeAsset(server, "/error_texts.js", embedded::ErrorTextsJs, "text/javascript; charset=utf-8");
}

std::string RenderUploadSection(const std::string& account, const std::string& token) {
  return "<link rel=\"stylesheet\" href=\"/upload_page.css\">"
         "<section id=\"upload\" data-bridge=\"" +
         HtmlEscape(BridgeUrl()) + "\" data-account=\"" + HtmlEscape(account) + "\" data-token=\"" +
         HtmlEscape(token) +
         "\"><h2>Upload</h2>"
         "<p id=\"upload-state\" class=\"state\" role=\"status\"></p>"
         "<form id=\"upload-login\" class=\"login-control\" hidden>"
         "<input id=\"upload-password\" type=\"password\" placeholder=\"Password\" "
         "autocomplete=\"current-password\" required aria-label=\"Password\">"
         "<label><input id=\"upload-remember\" type=\"checkbox\" checked> Remember</label>"
         "<button type=\"submit\">Sign the uploader in</button>"
         "<span id=\"upload-login-error\" class=\"err\"></span></form>"
         "<div id=\"upload-main\" hidden>"
         "<div class=\"who\"><span>Uploading as <strong "
         "id=\"upload-account\"></strong></span></div>"
         "<div class=\"tools\"><button id=\"upload-files\" type=\"button\">Choose files…</button>"
         "<button id=\"upload-folder\" type=\"button\">Choose a folder…</button></div>"
         "<form id=\"upload-add\" class=\"path\">"
         "<input id=\"upload-path\" placeholder=\"Or type the path of a file or folder on this "
         "computer\" "
         "aria-label=\"Path\">"
         "<button id=\"upload-browse\" type=\"button\" class=\"secondary\">Browse…</button>"
         "<button type=\"submit\">Upload</button></form>"
         "<table><thead><tr><th>Name</th><th>Size</th><th>Progress</th><th>Speed</th><th>Time "
         "left</th>"
         "<th>Status</th><th></th></tr></thead><tbody id=\"upload-rows\"></tbody></table>"
         "<p id=\"upload-empty\">No uploads in progress.</p>"
         "<p id=\"upload-summary\" class=\"summary\"></p>"
         "<div id=\"upload-failures-box\" hidden><h2>Files that failed</h2><ul "
         "id=\"upload-failures\"></ul></div>"
         "<div id=\"upload-done-box\" hidden><h2>Finished</h2><ul id=\"upload-done\"></ul></div>"
         "</div></section>"
         "<script src=\"/vexaupload.js\"></script><script src=\"/error_texts.js\"></script>"
         "<script src=\"/upload_page.js\"></script>";
}

}  // namespace vexa::server
