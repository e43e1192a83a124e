#ifndef VEXA_NET_HTTP_CLIENT_H_
#define VEXA_NET_HTTP_CLIENT_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/http_response.h"
#include "net/parsed_url.h"
#include "net/proxy_socket.h"
#include "port/socket.h"

namespace vexa {

// Settings of one request, beside those of its client.
struct RequestOptions {
  // Called on the requesting thread about every 100 ms while the request waits
  // (name resolution, connect, proxy handshake, send, receive); true ends the
  // request, which then fails. How a stopped transfer ends promptly.
  std::function<bool()> abortCheck;
  // Time-outs of this request in ms; 0 takes the client's, a negative value
  // waits without limit. Resolving and connecting share the connect time-out;
  // the idle one bounds each wait for the peer after that.
  int connectTimeoutMs = 0;
  int idleTimeoutMs = 0;
};

class ConnectionCache;

// A requester: each Get or Post sends one request on a connection (made
// directly or through the user's proxy) and reads the whole response. With a
// connection cache, a connection the peer keeps open serves the next request
// on the same route; one found closed before any byte of the answer is
// replaced by a new one, once. Without one, every request has a connection of
// its own. Only plain HTTP/1.1. The settings are read-only during requests, so one
// client may serve several threads at once.
class HttpClient {
 public:
  HttpClient() = default;

  // Sends "GET path HTTP/1.1" with Host and User-Agent. True when a 200 answer
  // arrived; `*response` then holds its body. On false `*response` holds
  // whatever raw bytes had arrived (possibly none).
  bool Get(const std::string& url, std::string* response) const;
  bool Get(const std::string& url, const RequestOptions& options, std::string* response) const;
  // The bytes Get sends for `u`, for a caller that sends it on a connection
  // of its own behind other requests.
  std::string GetRequest(const ParsedUrl& u) const;
  // Sends a form POST of `body` (already encoded by the caller). Results as
  // for Get.
  bool Post(const std::string& url, const std::string& body, std::string* response) const;
  bool Post(const std::string& url, const std::string& body, const RequestOptions& options,
            std::string* response) const;

  // A socket set up with this client's seam and time-outs and the request's
  // options, for callers that write their own request (they connect it with
  // ConnectToServer).
  std::unique_ptr<CProxySocket> NewSocket(const RequestOptions& options = RequestOptions()) const;

  // The User-Agent header.
  std::string userAgent = "vexaupload";
  // Whether connections go through the current user's proxy.
  bool useSystemProxy = true;
  // Whether the network self-test texts are written (to traceSink, else to
  // standard output).
  bool consoleTrace = false;

  int connectTimeoutMs = CSimpleSocket::kDefaultConnectTimeoutMs;
  int idleTimeoutMs = CSimpleSocket::kDefaultIdleTimeoutMs;
  // Where kept-alive connections wait for the next request; null makes one
  // connection per request. Must outlive the client. A kept connection goes
  // on calling the seam it was made with: clear the cache before that seam
  // goes away.
  ConnectionCache* connections = nullptr;
  // Where sockets make their calls; tests inject faults here. It must outlive
  // the requests and the name resolutions they leave running.
  port::SocketApi* socketApi = port::DefaultSocketApi();
  // Receives the self-test texts (UTF-8, each with its line end) instead of
  // standard output when set.
  std::function<void(std::string_view)> traceSink;
};

// The process-wide client with the default settings, used by the transfer
// worker and the upload requests. Settings may be changed only before requests
// start (tests shorten its time-outs).
HttpClient& ProcessHttpClient();

}  // namespace vexa

#endif  // VEXA_NET_HTTP_CLIENT_H_
