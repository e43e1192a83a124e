#include "net/http_client.h"

#include "net/connect_to_server.h"
#include "net/connection_cache.h"
#include "net/console_trace.h"
#include "net/network_failure.h"
#include "net/pooled_connection.h"
#include "port/clock.h"
#include "port/debug.h"

namespace vexa {
namespace {

// A connected request that could not be sent or whose answer did not arrive whole.
bool ExchangeFailed(const CProxySocket& socket, const ParsedUrl& u) {
  NoteNetworkFailure(u.host + ":" + std::to_string(u.port) + ": " +
                     SocketFailureCause(socket.last_status()));
  return false;
}

// Sends a whole request and pushes it out at once: a piece held back until
// the peer acknowledges the one before (Nagle) costs a round trip and the
// peer's delayed acknowledgement, per request.
bool SendRequest(CProxySocket& socket, const std::string& request) {
  if (socket.Send(request) != static_cast<int32_t>(request.size())) return false;
  socket.Flush();
  return true;
}

}  // namespace

HttpClient& ProcessHttpClient() {
  static HttpClient* client = [] {
    auto* c = new HttpClient();
    c->connections = new ConnectionCache();
    return c;
  }();
  return *client;
}

std::unique_ptr<CProxySocket> HttpClient::NewSocket(const RequestOptions& options) const {
  auto socket = std::make_unique<CProxySocket>(socketApi);
  socket->SetTimeouts(options.connectTimeoutMs != 0 ? options.connectTimeoutMs : connectTimeoutMs,
                      options.idleTimeoutMs != 0 ? options.idleTimeoutMs : idleTimeoutMs);
  if (options.abortCheck) socket->SetAbortCheck(options.abortCheck);
  return socket;
}

bool HttpClient::Get(const std::string& url, std::string* response) const {
  return Get(url, RequestOptions(), response);
}

bool HttpClient::Post(const std::string& url, const std::string& body,
                      std::string* response) const {
  return Post(url, body, RequestOptions(), response);
}

bool HttpClient::Get(const std::string& url, const RequestOptions& options,
                     std::string* response) const {
  ParsedUrl u = ParseUrl(url);
  response->clear();
  const std::string request = GetRequest(u);
  port::DebugOut("\nGET HEADER: " + request);
  PooledConnection connection(*this, options);
  for (bool fresh = false;; fresh = true) {
    if (!connection.Open(u.host, u.port, fresh, u.tls)) return false;
    CProxySocket& socket = connection.socket();
    ConsoleTrace(*this, trace_text::kStep3);
    const uint32_t start = port::TickCount();
    const bool sent = SendRequest(socket, request);
    const int32_t first = sent ? socket.Receive(kReceivePiece) : -1;
    if (first <= 0 && connection.reused() && LooksClosedByPeer(socket.last_status())) continue;
    if (!sent) {
      ConsoleTrace(*this, trace_text::kNetworkFailed);
      return ExchangeFailed(socket, u);
    }
    if (first < 0) {
      ConsoleTrace(*this, trace_text::kNetworkFailed);
      ConsoleTrace(*this, trace_text::kStep4);
      return ExchangeFailed(socket, u);
    }
    if (consoleTrace) {
      ConsoleTrace(*this, std::string(trace_text::kNetworkOk) +
                              std::to_string(port::TickCount() - start) +
                              trace_text::kNetworkOkEnd);
    }
    ConsoleTrace(*this, trace_text::kStep4);
    bool reusable = false;
    if (!ReadOneResponse(socket, response, first, &reusable)) return ExchangeFailed(socket, u);
    connection.Finish(reusable);
    bool ok = ExtractBody(response);
    port::DebugOut("\nGET RESPONSE: " + *response);
    return ok;
  }
}

std::string HttpClient::GetRequest(const ParsedUrl& u) const {
  return "GET " + u.path + " HTTP/1.1\r\nHost: " + u.host + "\r\nUser-Agent: " + userAgent +
         "\r\n\r\n";
}

bool HttpClient::Post(const std::string& url, const std::string& body,
                      const RequestOptions& options, std::string* response) const {
  ParsedUrl u = ParseUrl(url);
  response->clear();
  std::string header = "POST " + u.path + " HTTP/1.1\r\nHost: " + u.host +
                       "\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nUser-Agent: " + userAgent +
                       "\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n";
  port::DebugOut("\nPOST HEADER: " + header);
  port::DebugOut("\nPOST DATA: " + body);
  // The head and the form go out together, in one segment when they fit.
  const std::string request = header + body;
  PooledConnection connection(*this, options);
  for (bool fresh = false;; fresh = true) {
    if (!connection.Open(u.host, u.port, fresh, u.tls)) return false;
    CProxySocket& socket = connection.socket();
    const bool sent = SendRequest(socket, request);
    const int32_t first = sent ? socket.Receive(kReceivePiece) : -1;
    if (first <= 0 && connection.reused() && LooksClosedByPeer(socket.last_status())) continue;
    bool reusable = false;
    if (!sent || !ReadOneResponse(socket, response, first, &reusable))
      return ExchangeFailed(socket, u);
    connection.Finish(reusable);
    bool ok = ExtractBody(response);
    port::DebugOut("\nPOST RESPONSE: " + *response);
    return ok;
  }
}

}  // namespace vexa
