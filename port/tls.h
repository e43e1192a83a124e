#ifndef VEXA_PORT_TLS_H_
#define VEXA_PORT_TLS_H_

#include <cstddef>
#include <memory>
#include <string>

namespace vexa::port {

// Carries the encrypted bytes of a TLS connection. The socket implements it
// with its own waits, so a TLS read or write keeps the socket's time-outs and
// abort check.
class TlsTransport {
 public:
  virtual ~TlsTransport() = default;
  // Sends all `length` bytes; false on failure (the transport keeps the cause).
  virtual bool WriteAll(const void* data, size_t length) = 0;
  // Receives up to `length` bytes: the count, 0 when the peer closed, -1 on
  // failure, -2 when the transport was told not to wait and nothing is there.
  virtual long ReadSome(void* buffer, size_t length) = 0;
};

enum class TlsError {
  None = 0,
  Transport,    // the connection under TLS failed (time-out, stop, reset)
  Certificate,  // the peer's certificate was refused
  Protocol,     // no common version or cipher, or a malformed exchange
};

// A client TLS connection (TLS 1.2 or 1.3) over a transport that outlives it.
class TlsSession {
 public:
  virtual ~TlsSession() = default;
  // Decrypted bytes, at most `length`: the count, 0 when the peer ended the
  // connection, -1 on failure (error() says which kind).
  virtual long Read(void* buffer, size_t length) = 0;
  // Encrypts all `length` bytes and sends them, or holds them back with the
  // records still to go (up to a batch), until Flush, the next Read or the
  // batch is full; false on failure.
  virtual bool Write(const void* data, size_t length) = 0;
  // Sends the records held back; false on failure.
  virtual bool Flush() = 0;
  // Decrypted bytes already held, returned by the next Read without waiting.
  virtual size_t Buffered() const = 0;
  // Reads what the peer sent while the connection was idle (session
  // tickets), with a transport that does not wait: false when that holds
  // application bytes, the peer's close or a failure, i.e. the connection
  // cannot carry another request.
  virtual bool DrainIdle() = 0;
  virtual TlsError error() const = 0;
  // The failure in words: for a certificate "certificate of NAME refused:
  // REASON (presented: SUBJECT)".
  virtual const std::string& error_text() const = 0;
};

// Whether this build can speak TLS at all.
bool TlsAvailable();

// Runs the client handshake for `host` (a name or dotted IPv4 address, sent
// as the server name and checked against the certificate) on `transport`,
// whose peer is `host`:`port` (the key of the resumable sessions). The peer's
// certificate must chain to the system's trust store or to the authority in
// the file named by VEXAUPLOAD_CA_FILE. On failure: null, with the kind in
// `*error` and the words in `*text`.
std::unique_ptr<TlsSession> StartTlsClient(TlsTransport* transport, const std::string& host,
                                           int port, TlsError* error, std::string* text);

}  // namespace vexa::port

#endif  // VEXA_PORT_TLS_H_
