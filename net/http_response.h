#ifndef VEXA_NET_HTTP_RESPONSE_H_
#define VEXA_NET_HTTP_RESPONSE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/chunked_decoder.h"

namespace vexa {

class CSimpleSocket;

// Answers larger than this are refused: every answer of the services is a
// small JSON text.
inline constexpr size_t kMaxResponseBytes = 16u << 20;
// A head (status line and headers) longer than this is refused.
inline constexpr size_t kMaxHeadBytes = 64u << 10;
// Receives are made in pieces of this size into the socket's reused buffer.
inline constexpr int32_t kReceivePiece = 5120;

// The status line and the framing headers of a response.
struct ResponseHead {
  int status_code = 0;
  size_t header_length = 0;  // bytes up to and including the empty line
  bool chunked = false;
  bool has_content_length = false;
  uint64_t content_length = 0;
  // 1xx, 204 and 304 answers carry no body whatever their headers say.
  bool no_body = false;
  // An HTTP/1.1 answer without a "close" connection option: the peer keeps
  // the connection for another request.
  bool keep_alive = false;
};

enum class HeadResult { kIncomplete, kBad, kOk };

// Parses the head at the start of `data`. The status line must be the first
// line ("HTTP/d.d NNN reason"); header names are compared without regard to
// case; a "chunked" transfer coding wins over a Content-Length; differing
// Content-Length values are refused. kIncomplete until the empty line that
// ends the head has arrived, kBad when no such line comes within
// kMaxHeadBytes.
HeadResult ParseResponseHead(std::string_view data, ResponseHead* head);

// Follows the bytes of one response as they arrive and tells when it is
// complete: at the end of a chunked body, after Content-Length bytes of body,
// or (with neither) when the peer closes. Interim 1xx answers are dropped from
// the text.
class ResponseFraming {
 public:
  enum class Progress { kNeedMore, kComplete, kBad };

  // `*response` is the whole text received so far (this call may remove an
  // interim answer from its front). Call after every append.
  Progress Update(std::string* response);
  // Whether the text received so far is a whole response when the peer has
  // closed the connection.
  bool CompleteAtClose() const;
  // Once complete: the length of the response within the text (bytes past it
  // belong to the next one), and whether the peer keeps the connection open
  // after it (it said so, and the end came from the framing, not a close).
  size_t end() const { return end_; }
  bool reusable() const {
    return complete_ && head_.keep_alive &&
           (head_.no_body || head_.chunked || head_.has_content_length);
  }

 private:
  bool head_done_ = false;
  ResponseHead head_;
  ChunkedDecoder decoder_;
  size_t decoded_up_to_ = 0;  // bytes of the response fed to the decoder
  std::string scratch_;       // decoded data, only to drive the decoder
  bool complete_ = false;
  size_t end_ = 0;
};

// Reads from a connected socket until the response is complete (see
// ResponseFraming), appending to `*response`. False when a receive failed or
// timed out, the response is malformed, exceeds kMaxResponseBytes or was cut
// short by the peer; `*response` keeps the raw bytes that had arrived. Bytes
// past the response's end stay in the socket, as with ReadOneResponse.
bool ReadResponse(CSimpleSocket& socket, std::string* response);

// Reads exactly one response that may be followed by others on the same
// connection: bytes past its end stay in the socket for the next read.
// `first_count` bytes are already in the receive buffer. Results as for
// ReadResponse; `*reusable` (may be null) tells whether the connection may
// carry another request.
bool ReadOneResponse(CSimpleSocket& socket, std::string* response, int32_t first_count,
                     bool* reusable);
bool ReadOneResponse(CSimpleSocket& socket, std::string* response, bool* reusable);

// When `*response` is a complete response with status 200 (any reason phrase),
// replaces it by its body (chunks decoded, cut at Content-Length) and returns
// true. Otherwise returns false and leaves it unchanged.
bool ExtractBody(std::string* response);

}  // namespace vexa

#endif  // VEXA_NET_HTTP_RESPONSE_H_
