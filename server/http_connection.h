#ifndef VEXA_SERVER_HTTP_CONNECTION_H_
#define VEXA_SERVER_HTTP_CONNECTION_H_

#include <httplib.h>

#include <cstddef>
#include <memory>
#include <string>

typedef struct ssl_st SSL;

namespace vexa::server {

// One accepted TCP connection as the HTTP library reads and writes it, kept
// between requests. Reads and writes give up after a time-out with nothing
// moving. Reads go through a buffer: the library reads a request's head one
// byte at a time and its body in 4 KiB pieces, which would otherwise cost a
// poll and a recv each; the buffer also holds what a client sent behind the
// request being served.
//
// It also decides whether the connection may carry another request: only
// when the client asked to keep it (HTTP/1.1 without "Connection: close"),
// the request was read exactly to the end of its body and the answer does
// not close it. Otherwise the answer's head is made to say
// "Connection: close". Closed (shut down both ways) on destruction.
//
// With a TLS connection object (owned), every byte is encrypted: the handshake
// runs at the first read, under the same time-outs.
class HttpConnection : public httplib::Stream {
 public:
  HttpConnection(int sock, int read_timeout_ms, int write_timeout_ms, SSL* tls = nullptr);
  ~HttpConnection() override;
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return sock_; }

  // Call before each request is read, then RequestHead once its head is.
  // Returns the request's number on the connection, from 1.
  size_t BeginRequest();
  void RequestHead(const httplib::Request& req);
  // After the answer: whether another request may follow on the connection.
  bool KeepsOpen() const { return keep_; }

  // Bytes the client sent that no request has read yet.
  bool HasBuffered() const;
  // Frees the read buffer while nothing is in it (a parked connection
  // should not hold 64 KiB).
  void ReleaseBuffer();

  // Sends `bytes` without waiting for room, for an answer that ends the
  // connection before anything is read.
  void SendNow(const std::string& bytes);

 private:
  ssize_t Receive();
  bool Wait(short events, int timeout_ms) const;
  bool SendAll(const char* data, size_t size);
  // Rewrites the answer's head (without its empty line) to close the
  // connection: its keep-alive line goes, "Connection: close" comes in.
  static void CloseInHead(std::string* head);

  static constexpr size_t kBufferBytes = 64 * 1024;

  // Runs the TLS handshake, a read or a write (`op` returns the library's
  // result) until it completes, waiting on the socket as the library asks.
  // The result, or <= 0 on failure, time-out or the client's close.
  template <typename Op>
  int RunTls(Op op, int timeout_ms);

  const int sock_;
  SSL* const tls_;
  bool handshaken_ = false;
  const int read_timeout_ms_;
  const int write_timeout_ms_;
  std::unique_ptr<char[]> buffer_;
  size_t begin_ = 0;  // buffer_[begin_, end_) is received and not yet read
  size_t end_ = 0;
  size_t consumed_ = 0;  // bytes the library has read, over the connection's life
  size_t requests_ = 0;

  // The current request.
  bool head_read_ = false;
  bool client_keeps_ = false;  // HTTP/1.1 without "Connection: close"
  size_t request_end_ = 0;     // consumed_ once its body is read whole
  bool answered_ = false;      // the answer's head went out
  bool keep_ = false;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_HTTP_CONNECTION_H_
