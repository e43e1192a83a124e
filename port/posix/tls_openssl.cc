// TLS on OpenSSL. The library never touches the socket: a BIO of our own hands
// its records to the transport, so every wait keeps the socket's time-outs and
// stop check.
#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "port/tls.h"

namespace vexa::port {

namespace {

BIO_METHOD* TransportBioMethod();

// Records waiting to go out together: a range is sent as many 16 KiB records,
// and one send for each would cost more than the encryption.
struct TransportBioState {
  TlsTransport* transport;
  std::string out;
  bool failed = false;
};
constexpr size_t kSendBatch = 256 * 1024;

bool FlushTransportBio(TransportBioState* state) {
  if (state->failed) return false;
  if (state->out.empty()) return true;
  state->failed = !state->transport->WriteAll(state->out.data(), state->out.size());
  state->out.clear();
  return !state->failed;
}

int TransportBioWrite(BIO* bio, const char* data, int length) {
  auto* state = static_cast<TransportBioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (length <= 0) return 0;
  state->out.append(data, static_cast<size_t>(length));
  if (state->out.size() >= kSendBatch && !FlushTransportBio(state)) return -1;
  return state->failed ? -1 : length;
}

int TransportBioRead(BIO* bio, char* buffer, int length) {
  auto* state = static_cast<TransportBioState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (length <= 0) return 0;
  // What we wrote must be out before we wait for the answer to it.
  if (!FlushTransportBio(state)) return -1;
  long n = state->transport->ReadSome(buffer, static_cast<size_t>(length));
  if (n == -2) {
    BIO_set_retry_read(bio);
    return -1;
  }
  if (n == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
  return static_cast<int>(n);
}

long TransportBioCtrl(BIO* bio, int cmd, long, void*) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return FlushTransportBio(static_cast<TransportBioState*>(BIO_get_data(bio))) ? 1 : 0;
    case BIO_CTRL_EOF:
      return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0;
    default:
      return 0;
  }
}

int TransportBioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* TransportBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vexa transport");
    BIO_meth_set_write(m, TransportBioWrite);
    BIO_meth_set_read(m, TransportBioRead);
    BIO_meth_set_ctrl(m, TransportBioCtrl);
    BIO_meth_set_create(m, TransportBioCreate);
    return m;
  }();
  return method;
}

// Sessions the servers handed out, one per host:port, so a new connection to
// the same server resumes instead of running a full handshake.
class ClientSessionCache {
 public:
  void Put(const std::string& key, SSL_SESSION* session) {
    std::lock_guard<std::mutex> lock(mu_);
    SSL_SESSION*& slot = sessions_[key];
    if (slot != nullptr) SSL_SESSION_free(slot);
    slot = session;
  }
  // A reference the caller frees, or null.
  SSL_SESSION* Get(const std::string& key) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = sessions_.find(key);
    if (it == sessions_.end()) return nullptr;
    SSL_SESSION_up_ref(it->second);
    return it->second;
  }

 private:
  std::mutex mu_;
  std::map<std::string, SSL_SESSION*> sessions_;
};

int session_key_index = -1;

ClientSessionCache& Sessions() {
  static ClientSessionCache* cache = new ClientSessionCache();
  return *cache;
}

int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
  auto* key = static_cast<std::string*>(SSL_get_ex_data(ssl, session_key_index));
  if (key == nullptr) return 0;
  Sessions().Put(*key, session);
  return 1;  // the cache now owns the reference
}

// One context per authority file (the variable may change between uses, as in
// tests); contexts live as long as the process.
SSL_CTX* ClientContext(const std::string& ca_file, std::string* text) {
  static std::mutex mu;
  static auto* contexts = new std::map<std::string, SSL_CTX*>();
  std::lock_guard<std::mutex> lock(mu);
  auto it = contexts->find(ca_file);
  if (it != contexts->end()) return it->second;
  if (session_key_index < 0) {
    session_key_index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  }
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    *text = "TLS is not available: the library could not be set up";
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  // AES-128 first: as safe here and cheaper per byte than AES-256.
  SSL_CTX_set_ciphersuites(
      ctx, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
  // Whole reads of what has arrived, not a header and a body per record.
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_verify_paths(ctx);
  if (!ca_file.empty() && SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr) != 1) {
    ERR_clear_error();
    SSL_CTX_free(ctx);
    *text = "the authority file " + ca_file + " (VEXAUPLOAD_CA_FILE) cannot be read";
    return nullptr;
  }
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, KeepNewSession);
  contexts->emplace(ca_file, ctx);
  return ctx;
}

std::string PresentedSubject(SSL* ssl) {
  X509* cert = SSL_get1_peer_certificate(ssl);
  if (cert == nullptr) return std::string();
  char line[256];
  X509_NAME_oneline(X509_get_subject_name(cert), line, sizeof line);
  X509_free(cert);
  return line;
}

std::string LibraryReason() {
  unsigned long e = ERR_peek_last_error();
  const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
  ERR_clear_error();
  return reason != nullptr ? reason : "the exchange broke off";
}

class OpenSslSession : public TlsSession {
 public:
  OpenSslSession(SSL* ssl, std::string key, TlsTransport* transport)
      : ssl_(ssl), key_(std::move(key)), bio_state_{transport, std::string(), false} {}
  ~OpenSslSession() override {
    // HTTP framing, not close_notify, ends our exchanges; a connection closed
    // in good order keeps its session resumable.
    if (error_ == TlsError::None) SSL_set_shutdown(ssl_, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    SSL_free(ssl_);  // frees the BIO too
  }

  bool Connect(const std::string& host) {
    int r = SSL_connect(ssl_);
    if (r == 1) return true;
    const int ssl_error = SSL_get_error(ssl_, r);
    const long verify = SSL_get_verify_result(ssl_);
    if (verify != X509_V_OK) {
      ERR_clear_error();
      error_ = TlsError::Certificate;
      text_ = "certificate of " + host + " refused: " + X509_verify_cert_error_string(verify);
      std::string subject = PresentedSubject(ssl_);
      if (!subject.empty()) text_ += " (presented: " + subject + ")";
      return false;
    }
    if (ssl_error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      error_ = TlsError::Transport;
      text_ = "the connection to " + host + " broke during the TLS handshake";
      return false;
    }
    error_ = TlsError::Protocol;
    text_ = "TLS handshake with " + host + " failed: " + LibraryReason();
    return false;
  }

  long Read(void* buffer, size_t length) override {
    if (length > INT_MAX) length = INT_MAX;
    int n = SSL_read(ssl_, buffer, static_cast<int>(length));
    if (n > 0) return n;
    return Failed(n) ? -1 : 0;
  }

  bool Write(const void* data, size_t length) override {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
      int chunk = length > INT_MAX ? INT_MAX : static_cast<int>(length);
      int n = SSL_write(ssl_, p, chunk);
      if (n <= 0) {
        Failed(n);
        return false;
      }
      p += n;
      length -= static_cast<size_t>(n);
    }
    // A range comes as many small writes: their records go out in batches.
    return !bio_state_.failed || TransportFailed();
  }

  bool Flush() override { return FlushTransportBio(&bio_state_) || TransportFailed(); }

  size_t Buffered() const override { return static_cast<size_t>(SSL_pending(ssl_)); }

  bool DrainIdle() override {
    if (SSL_pending(ssl_) > 0) return false;
    char probe[1];
    int n = SSL_read(ssl_, probe, 1);
    if (n > 0) return false;
    int e = SSL_get_error(ssl_, n);
    ERR_clear_error();
    return e == SSL_ERROR_WANT_READ;
  }

  TlsError error() const override { return error_; }
  const std::string& error_text() const override { return text_; }
  // Where the new-session callback finds the cache key; lives as long as the SSL.
  std::string* key() { return &key_; }
  TransportBioState* bio_state() { return &bio_state_; }

 private:
  bool TransportFailed() {
    error_ = TlsError::Transport;
    text_ = "the connection under TLS failed";
    return false;
  }

  // Records why a read or write ended; false for the peer's orderly close.
  bool Failed(int r) {
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_ZERO_RETURN) {
      ERR_clear_error();
      return false;
    }
    if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      error_ = TlsError::Transport;
      text_ = "the connection under TLS failed";
      // A close without close_notify: the peer just went away, as with plain
      // HTTP; HTTP framing decides whether anything is missing.
      if (r == 0) return false;
      return true;
    }
    error_ = TlsError::Protocol;
    text_ = "TLS failed: " + LibraryReason();
    return true;
  }

  SSL* ssl_;
  std::string key_;
  TransportBioState bio_state_;
  TlsError error_ = TlsError::None;
  std::string text_;
};

bool IsDottedIpv4(const std::string& host) {
  in_addr a;
  return inet_pton(AF_INET, host.c_str(), &a) == 1;
}

}  // namespace

bool TlsAvailable() { return true; }

std::unique_ptr<TlsSession> StartTlsClient(TlsTransport* transport, const std::string& host,
                                           int port, TlsError* error, std::string* text) {
  *error = TlsError::Protocol;
  const char* ca = std::getenv("VEXAUPLOAD_CA_FILE");
  SSL_CTX* ctx = ClientContext(ca != nullptr ? ca : "", text);
  if (ctx == nullptr) return nullptr;
  SSL* ssl = SSL_new(ctx);
  BIO* bio = ssl != nullptr ? BIO_new(TransportBioMethod()) : nullptr;
  if (bio == nullptr) {
    SSL_free(ssl);
    *text = "TLS is not available: out of memory";
    return nullptr;
  }
  std::string key = host + ":" + std::to_string(port);
  auto session = std::make_unique<OpenSslSession>(ssl, key, transport);
  BIO_set_data(bio, session->bio_state());
  SSL_set_bio(ssl, bio, bio);
  SSL_set_ex_data(ssl, session_key_index, session->key());
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  bool named;
  if (IsDottedIpv4(host)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
  } else {
    named =
        SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 && SSL_set1_host(ssl, host.c_str()) == 1;
  }
  if (!named) {
    ERR_clear_error();
    *text = "TLS refused: " + host + " cannot be checked against a certificate";
    return nullptr;
  }
  if (SSL_SESSION* resumable = Sessions().Get(key)) {
    SSL_set_session(ssl, resumable);
    SSL_SESSION_free(resumable);
  }
  if (!session->Connect(host)) {
    *error = session->error();
    *text = session->error_text();
    return nullptr;
  }
  *error = TlsError::None;
  text->clear();
  return session;
}

}  // namespace vexa::port
