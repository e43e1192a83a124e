#include "apps/bridge/bridge_server.h"

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>
#include <list>
#include <optional>
#include <utility>

#include "apps/bridge/failure_log.h"
#include "apps/bridge/origin_policy.h"
#include "apps/bridge/type_library.h"
#include "control/script_dispatcher.h"
#include "port/peer_owner.h"
#include "store/readable_error.h"
#include "web/web_assets.h"

namespace vexa::bridge {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr char kServerName[] = "vexaupload-bridge";
constexpr auto kHttpTimeout = std::chrono::seconds(30);
// Waits before accepting again after a failed accept (out of descriptors):
// an immediate retry fails the same way and only burns a core.
constexpr auto kFirstAcceptDelay = std::chrono::milliseconds(50);
constexpr auto kLastAcceptDelay = std::chrono::milliseconds(1000);

port::TcpEnd EndOf(const tcp::endpoint& e) {
  port::TcpEnd end;
  const asio::ip::address a = e.address();
  end.address = a.is_v4() ? asio::ip::make_address_v6(asio::ip::v4_mapped, a.to_v4()).to_bytes()
                          : a.to_v6().to_bytes();
  end.port = e.port();
  return end;
}

// Any user of the machine can reach a loopback port; only the bridge's own
// user's programs (the browser among them) may talk to it.
bool FromOwnUser(const tcp::socket& socket) {
  boost::system::error_code ec1, ec2;
  const tcp::endpoint local = socket.local_endpoint(ec1);
  const tcp::endpoint peer = socket.remote_endpoint(ec2);
  return !ec1 && !ec2 && port::TcpPeerIsCurrentUser(EndOf(local), EndOf(peer));
}

}  // namespace

class BridgeServer::Impl : public std::enable_shared_from_this<BridgeServer::Impl> {
 public:
  Impl(asio::io_context* io, BridgeOptions options)
      : options_(std::move(options)), acceptor_(*io), accept_retry_(*io) {}

  bool Listen(std::string* error);
  void Stop();
  void Log(const std::string& line) const {
    if (options_.log) options_.log(line);
  }
  size_t LiveSessions() const {
    size_t n = 0;
    for (const auto& w : sessions_) n += w.expired() ? 0 : 1;
    return n;
  }
  OriginPolicy Policy() const {
    return OriginPolicy(options_.origins ? options_.origins() : std::vector<std::string>());
  }

  class WebSocketSession;
  class HttpConnection;

  const BridgeOptions options_;
  tcp::acceptor acceptor_;
  asio::steady_timer accept_retry_;
  std::chrono::milliseconds accept_delay_{0};
  uint16_t port_ = 0;
  bool stopped_ = false;
  std::list<std::weak_ptr<WebSocketSession>> sessions_;
  std::list<std::weak_ptr<HttpConnection>> connections_;

 private:
  void Accept();
  void BackOff(const boost::system::error_code& ec);
};

// One page: its WebSocket and its control.
class BridgeServer::Impl::WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(std::shared_ptr<Impl> server, beast::tcp_stream&& stream, std::string origin)
      : server_(std::move(server)), ws_(std::move(stream)), origin_(std::move(origin)) {}

  void Start(http::request<http::string_body> request) {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, kServerName); }));
    ws_.read_message_max(server_->options_.max_message);
    ws_.async_accept(request,
                     [self = shared_from_this()](beast::error_code ec) { self->OnAccept(ec); });
  }

  // Ends the connection; the read loop's failure then ends the session.
  void Close() { beast::get_lowest_layer(ws_).socket().close(); }

 private:
  void OnAccept(beast::error_code ec) {
    if (ec) return;
    // Each page has its own control: progress and login results reach every
    // page, a chooser's answer only the page that opened it. Failures also
    // go into the bridge's log, for whoever runs it.
    dispatcher_ = std::make_unique<ScriptDispatcher>([this](const std::string& line) {
      const std::string failure = FailureLogLine(line, chinese_);
      if (!failure.empty()) server_->Log(failure);
      Send(line);
    });
    dispatcher_->control().KeepSessionOnRelease();
    dispatcher_->control().ServePageScript();
    // Engine threads post to the control's queue; they only ask this thread
    // to drain it, once per batch.
    auto scheduled = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<WebSocketSession> weak = shared_from_this();
    dispatcher_->control().messages().SetWakeup([weak, scheduled, ex = ws_.get_executor()] {
      if (scheduled->exchange(true)) return;
      asio::post(ex, [weak, scheduled] {
        scheduled->store(false);
        if (auto self = weak.lock()) self->Drain();
      });
    });
    server_->Log("page connected from " + origin_);
    Read();
  }

  void Drain() {
    if (dispatcher_) dispatcher_->DispatchEvents();
  }

  void Read() {
    ws_.async_read(buffer_,
                   [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
  }

  void OnRead(beast::error_code ec) {
    if (ec) {
      End(ec);
      return;
    }
    if (ws_.got_text() && dispatcher_) {
      const std::string text = beast::buffers_to_string(buffer_.data());
      dispatcher_->HandleLine(text);
    }
    buffer_.consume(buffer_.size());
    Read();
  }

  void Send(const std::string& line) {
    if (ended_) return;
    if (backlog_ + line.size() > server_->options_.max_backlog) {
      server_->Log("page from " + origin_ + " does not read its events; disconnecting it");
      ended_ = true;
      Close();
      return;
    }
    backlog_ += line.size();
    out_.push_back(line);
    if (out_.size() == 1) Write();
  }

  void Write() {
    ws_.text(true);
    ws_.async_write(
        asio::buffer(out_.front()),
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnWrite(ec); });
  }

  void OnWrite(beast::error_code ec) {
    backlog_ -= out_.front().size();
    out_.pop_front();
    if (ec) {
      out_.clear();
      backlog_ = 0;
      return;  // the read loop sees the same failure and ends the session
    }
    if (!out_.empty()) Write();
  }

  void End(beast::error_code ec) {
    if (!dispatcher_) return;
    ended_ = true;
    // Destroying the control stops its reports (the previous page's control
    // becomes current again); uploads keep running in the engine.
    dispatcher_.reset();
    server_->Log("page from " + origin_ + " disconnected" +
                 (ec == websocket::error::closed ? std::string() : " (" + ec.message() + ")"));
  }

  std::shared_ptr<Impl> server_;
  websocket::stream<beast::tcp_stream> ws_;
  const std::string origin_;
  // The locale's language decides the log's words, once per page.
  const bool chinese_ = UserPrefersChinese();
  beast::flat_buffer buffer_;
  std::deque<std::string> out_;  // front is being written
  size_t backlog_ = 0;
  bool ended_ = false;
  std::unique_ptr<ScriptDispatcher> dispatcher_;
};

// Plain HTTP on the same port: the two documents and the WebSocket upgrade.
class BridgeServer::Impl::HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(std::shared_ptr<Impl> server, tcp::socket&& socket)
      : server_(std::move(server)), stream_(std::move(socket)) {}

  void Start() { Read(); }
  void Close() {
    if (!upgraded_) stream_.socket().close();
  }

 private:
  void Read() {
    parser_.emplace();
    parser_->header_limit(16 * 1024);
    parser_->body_limit(4 * 1024);
    stream_.expires_after(kHttpTimeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
  }

  void OnRead(beast::error_code ec) {
    if (ec) return;
    http::request<http::string_body> req = parser_->release();
    const std::string origin(req[http::field::origin]);
    const OriginPolicy policy = server_->Policy();
    if (websocket::is_upgrade(req) && req.target() == "/") {
      Upgrade(std::move(req), origin, policy);
      return;
    }
    auto res = std::make_shared<http::response<http::string_body>>(http::status::ok, req.version());
    res->set(http::field::server, kServerName);
    res->set("X-Content-Type-Options", "nosniff");
    res->set(http::field::cache_control, "no-cache");
    if (!origin.empty() && policy.Allows(origin))
      res->set(http::field::access_control_allow_origin, origin);
    res->keep_alive(req.keep_alive());
    if (req.method() != http::verb::get && req.method() != http::verb::head) {
      Plain(res.get(), http::status::method_not_allowed, "only GET is served here\n");
      res->set(http::field::allow, "GET, HEAD");
    } else if (req.target() == "/typelib.json") {
      res->set(http::field::content_type, "application/json");
      res->body() = TypeLibraryJson();
    } else if (req.target() == "/vexaupload.js") {
      res->set(http::field::content_type, "text/javascript; charset=utf-8");
      res->body() = std::string(embedded::VexaUploadJs());
    } else {
      Plain(res.get(), http::status::not_found, "not found\n");
    }
    res->prepare_payload();
    if (req.method() == http::verb::head) res->body().clear();
    Respond(std::move(res));
  }

  void Upgrade(http::request<http::string_body> req, const std::string& origin,
               const OriginPolicy& policy) {
    std::string refusal;
    ObjectSafety safety;
    if (origin.empty()) {
      refusal = "a request without an Origin";
    } else if (!policy.Allows(origin)) {
      refusal = "origin " + origin + " is not registered";
    } else if (server_->LiveSessions() >= server_->options_.max_connections) {
      refusal = "too many pages connected";
    } else if (!GrantScripting(&safety)) {
      refusal = "the control refused scripting";
    }
    if (!refusal.empty()) {
      server_->Log("refused " + refusal);
      auto res = std::make_shared<http::response<http::string_body>>(http::status::forbidden,
                                                                     req.version());
      res->set(http::field::server, kServerName);
      Plain(res.get(), http::status::forbidden, "the upload control refused " + refusal + "\n");
      res->keep_alive(false);
      res->prepare_payload();
      Respond(std::move(res));
      return;
    }
    stream_.expires_never();
    upgraded_ = true;
    auto session = std::make_shared<WebSocketSession>(server_, std::move(stream_), origin);
    server_->sessions_.remove_if([](const auto& w) { return w.expired(); });
    server_->sessions_.push_back(session);
    session->Start(std::move(req));
  }

  static void Plain(http::response<http::string_body>* res, http::status status, std::string text) {
    res->result(status);
    res->set(http::field::content_type, "text/plain; charset=utf-8");
    res->body() = std::move(text);
  }

  void Respond(std::shared_ptr<http::response<http::string_body>> res) {
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res](beast::error_code ec, size_t) {
                        if (!ec && res->keep_alive()) {
                          self->Read();
                        } else {
                          beast::error_code ignored;
                          self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                        }
                      });
  }

  std::shared_ptr<Impl> server_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  bool upgraded_ = false;  // the stream went to a WebSocketSession
};

bool BridgeServer::Impl::Listen(std::string* error) {
  if (options_.listening_socket >= 0) {
    boost::system::error_code ec;
    acceptor_.assign(tcp::v4(), options_.listening_socket, ec);
    const tcp::endpoint local = ec ? tcp::endpoint() : acceptor_.local_endpoint(ec);
    if (ec || !local.address().is_loopback()) {
      *error = "the socket handed over is not a listening socket on a loopback address";
      acceptor_.close(ec);
      return false;
    }
    port_ = local.port();
    Accept();
    return true;
  }
  if (!IsLoopbackHost(options_.host)) {
    *error = "the bridge listens on loopback addresses only, not on " + options_.host;
    return false;
  }
  boost::system::error_code ec;
  const asio::ip::address address = options_.host == "localhost"
                                        ? asio::ip::make_address("127.0.0.1")
                                        : asio::ip::make_address(options_.host);
  const tcp::endpoint endpoint(address, options_.port);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port) + ": " +
             ec.message();
    acceptor_.close(ec);
    return false;
  }
  port_ = acceptor_.local_endpoint().port();
  Accept();
  return true;
}

void BridgeServer::Impl::Accept() {
  acceptor_.async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || self->stopped_) return;
    if (ec) {
      self->BackOff(ec);
      return;
    }
    self->accept_delay_ = std::chrono::milliseconds(0);
    self->connections_.remove_if([](const auto& w) { return w.expired(); });
    boost::system::error_code ignored;
    if (!FromOwnUser(socket)) {
      self->Log(
          "refused a connection that no process of this user owns (or whose owner could not be "
          "found)");
      socket.close(ignored);
    } else if (self->connections_.size() >= self->options_.max_http_connections) {
      self->Log("refused a connection: too many open at once");
      socket.close(ignored);
    } else {
      auto connection = std::make_shared<HttpConnection>(self, std::move(socket));
      self->connections_.push_back(connection);
      connection->Start();
    }
    self->Accept();
  });
}

void BridgeServer::Impl::BackOff(const boost::system::error_code& ec) {
  if (accept_delay_.count() == 0) {
    Log("cannot accept connections (" + ec.message() + "); retrying with a pause");
    accept_delay_ = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstAcceptDelay);
  } else {
    accept_delay_ = std::min(
        accept_delay_ * 2, std::chrono::duration_cast<std::chrono::milliseconds>(kLastAcceptDelay));
  }
  accept_retry_.expires_after(accept_delay_);
  accept_retry_.async_wait([self = shared_from_this()](const boost::system::error_code& wait_ec) {
    if (!wait_ec && !self->stopped_) self->Accept();
  });
}

void BridgeServer::Impl::Stop() {
  if (stopped_) return;
  stopped_ = true;
  boost::system::error_code ignored;
  accept_retry_.cancel();
  acceptor_.close(ignored);
  for (auto& w : connections_) {
    if (auto c = w.lock()) c->Close();
  }
  for (auto& w : sessions_) {
    if (auto s = w.lock()) s->Close();
  }
}

BridgeServer::BridgeServer(asio::io_context* io, BridgeOptions options)
    : impl_(std::make_shared<Impl>(io, std::move(options))) {}

BridgeServer::~BridgeServer() { impl_->Stop(); }

bool BridgeServer::Listen(std::string* error) { return impl_->Listen(error); }

uint16_t BridgeServer::port() const { return impl_->port_; }

void BridgeServer::Stop() { impl_->Stop(); }

size_t BridgeServer::sessions() const { return impl_->LiveSessions(); }

}  // namespace vexa::bridge
