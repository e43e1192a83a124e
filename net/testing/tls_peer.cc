#include "net/testing/tls_peer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>

namespace vexa {

namespace {

// The peer's records go through the socket seam, whose sends never raise
// SIGPIPE when the client has gone.
struct PeerLink {
  port::SocketApi* api;
  port::SocketHandle s;
  const std::atomic<bool>* stopping;
};

int PeerBioWrite(BIO* bio, const char* data, int length) {
  auto* link = static_cast<PeerLink*>(BIO_get_data(bio));
  int sent = 0;
  while (sent < length && !*link->stopping) {
    long n = link->api->Send(link->s, data + sent, static_cast<size_t>(length - sent));
    if (n > 0) {
      sent += static_cast<int>(n);
    } else if (port::LastErrno() == port::kErrWouldBlock ||
               port::LastErrno() == port::kErrInterrupted) {
      link->api->Poll(link->s, false, true, 100);
    } else {
      return -1;
    }
  }
  return sent == length ? length : -1;
}

int PeerBioRead(BIO* bio, char* buffer, int length) {
  auto* link = static_cast<PeerLink*>(BIO_get_data(bio));
  while (!*link->stopping) {
    long n = link->api->Receive(link->s, buffer, static_cast<size_t>(length), 0);
    if (n >= 0) return static_cast<int>(n);
    if (port::LastErrno() != port::kErrWouldBlock && port::LastErrno() != port::kErrInterrupted)
      return -1;
    link->api->Poll(link->s, true, false, 100);
  }
  return -1;
}

long PeerBioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int PeerBioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* PeerBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "test peer");
    BIO_meth_set_write(m, PeerBioWrite);
    BIO_meth_set_read(m, PeerBioRead);
    BIO_meth_set_ctrl(m, PeerBioCtrl);
    BIO_meth_set_create(m, PeerBioCreate);
    return m;
  }();
  return method;
}

}  // namespace

TlsPeer::TlsPeer(Options options) : options_(std::move(options)), api_(port::DefaultSocketApi()) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (options_.tls10_only) {
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_VERSION);
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, options_.cert_file.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, options_.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    error_ = "cannot load " + options_.cert_file;
    SSL_CTX_free(ctx);
    return;
  }
  ctx_ = ctx;
  listener_ = api_->Listen(0, &port_);
  if (listener_ == port::kInvalidSocket) {
    port_ = 0;
    error_ = "cannot listen";
    return;
  }
  thread_ = std::thread([this] { Run(); });
}

TlsPeer::~TlsPeer() {
  stopping_ = true;
  port::SocketHandle s = current_.load();
  if (s != port::kInvalidSocket) api_->Shutdown(s, true);
  if (thread_.joinable()) thread_.join();
  if (listener_ != port::kInvalidSocket) api_->Close(listener_);
  SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

std::string TlsPeer::received() const {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

void TlsPeer::Run() {
  while (!stopping_) {
    port::SocketHandle s = api_->Accept(listener_, 100);
    if (s == port::kInvalidSocket) continue;
    ++connections_;
    current_ = s;
    if (stopping_) api_->Shutdown(s, true);
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(ctx_));
    PeerLink link{api_, s, &stopping_};
    BIO* bio = BIO_new(PeerBioMethod());
    BIO_set_data(bio, &link);
    SSL_set_bio(ssl, bio, bio);
    if (SSL_accept(ssl) == 1) {
      ++handshakes_;
      if (SSL_session_reused(ssl)) ++resumed_;
      std::string pending;
      char buffer[16384];
      for (;;) {
        int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0) break;
        {
          std::lock_guard<std::mutex> lock(mu_);
          received_.append(buffer, static_cast<size_t>(n));
        }
        pending.append(buffer, static_cast<size_t>(n));
        size_t end;
        bool failed = false;
        while ((end = pending.find("\r\n\r\n")) != std::string::npos) {
          pending.erase(0, end + 4);
          if (SSL_write(ssl, options_.answer.data(), static_cast<int>(options_.answer.size())) <=
              0) {
            failed = true;
            break;
          }
        }
        if (failed) break;
      }
      SSL_shutdown(ssl);
    }
    ERR_clear_error();
    SSL_free(ssl);
    current_ = port::kInvalidSocket;
    api_->Close(s);
  }
}

}  // namespace vexa
