#ifndef VEXA_SERVER_TLS_SERVER_CONTEXT_H_
#define VEXA_SERVER_TLS_SERVER_CONTEXT_H_

#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace vexa::server {

// The service's TLS settings: its certificate chain and key, TLS 1.2 and 1.3
// only. Shared by every connection; lives as long as the server.
class TlsServerContext {
 public:
  TlsServerContext() = default;
  ~TlsServerContext();
  TlsServerContext(const TlsServerContext&) = delete;
  TlsServerContext& operator=(const TlsServerContext&) = delete;

  // Loads the PEM chain `cert_file` and its key; false with *error saying
  // which file is wrong.
  bool Load(const std::string& cert_file, const std::string& key_file, std::string* error);
  // A server connection on socket `sock`, its records sent without raising
  // SIGPIPE and without blocking (the caller waits on the socket).
  SSL* NewConnection(int sock) const;

 private:
  SSL_CTX* ctx_ = nullptr;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_TLS_SERVER_CONTEXT_H_
