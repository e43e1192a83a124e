#include "server/tls_server_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>

namespace vexa::server {

namespace {

constexpr size_t kTlsReadAhead = 64 * 1024;

// Records go straight to the socket with send/recv flags of our own: the
// library's socket BIO would use write(), which raises SIGPIPE, and block.
int ServerBioWrite(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::send(static_cast<int>(BIO_get_fd(bio, nullptr)), data,
                           static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int ServerBioRead(BIO* bio, char* buffer, int length) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::recv(static_cast<int>(BIO_get_fd(bio, nullptr)), buffer,
                           static_cast<size_t>(length), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

BIO_METHOD* ServerBioMethod() {
  static BIO_METHOD* method = [] {
    // A socket BIO with other read and write: its ctrl keeps the descriptor.
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "vexa-server socket");
    const BIO_METHOD* socket = BIO_s_socket();
    BIO_meth_set_write(m, ServerBioWrite);
    BIO_meth_set_read(m, ServerBioRead);
    BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(socket));
    BIO_meth_set_create(m, BIO_meth_get_create(socket));
    BIO_meth_set_destroy(m, BIO_meth_get_destroy(socket));
    return m;
  }();
  return method;
}

}  // namespace

TlsServerContext::~TlsServerContext() { SSL_CTX_free(ctx_); }

bool TlsServerContext::Load(const std::string& cert_file, const std::string& key_file,
                            std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    *error = "TLS cannot be set up";
    return false;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  // Whole reads of what has arrived, not a header and a body per record, and
  // as much at once as a plain connection reads.
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_read_buffer_len(ctx, kTlsReadAhead);
  if (SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1) {
    *error = "--tls-cert " + cert_file + ": not a readable PEM certificate chain";
  } else if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    *error = "--tls-key " + key_file + ": not a readable PEM private key";
  } else if (SSL_CTX_check_private_key(ctx) != 1) {
    *error =
        "--tls-key " + key_file + " does not belong to the certificate of --tls-cert " + cert_file;
  } else {
    ERR_clear_error();
    SSL_CTX_free(ctx_);
    ctx_ = ctx;
    return true;
  }
  ERR_clear_error();
  SSL_CTX_free(ctx);
  return false;
}

SSL* TlsServerContext::NewConnection(int sock) const {
  SSL* ssl = SSL_new(ctx_);
  if (ssl == nullptr) return nullptr;
  BIO* bio = BIO_new(ServerBioMethod());
  if (bio == nullptr) {
    SSL_free(ssl);
    return nullptr;
  }
  BIO_set_fd(bio, sock, BIO_NOCLOSE);
  SSL_set_bio(ssl, bio, bio);
  SSL_set_accept_state(ssl);
  return ssl;
}

}  // namespace vexa::server
