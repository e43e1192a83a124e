#ifndef VEXA_SERVER_UPLOAD_PAGE_H_
#define VEXA_SERVER_UPLOAD_PAGE_H_

#include <httplib.h>

#include <string>

namespace vexa::server {

// Where the signed-in page finds the local upload bridge: $VEXA_BRIDGE_URL,
// else the bridge's default address. Set by whoever runs the service, never
// by a request, so a link cannot send the page's password elsewhere.
std::string BridgeUrl();

// The Content-Security-Policy of the service's pages: their own scripts and
// styles only, connections to the service and to the bridge, never framed.
std::string PageSecurityPolicy();

// Serves the page's scripts and styles: /vexaupload.js, /error_texts.js,
// /upload_page.js, /upload_page.css.
void InstallUploadPage(httplib::Server* server);

// The upload section of the signed-in page for `account`; its script connects
// to the bridge, signs the control in (with a ticket it asks for with the
// session's form `token`) and shows the live upload table.
std::string RenderUploadSection(const std::string& account, const std::string& token);

}  // namespace vexa::server

#endif  // VEXA_SERVER_UPLOAD_PAGE_H_
