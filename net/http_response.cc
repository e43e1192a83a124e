#include "net/http_response.h"

#include "codec/text.h"
#include "net/simple_socket.h"

namespace vexa {

namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Whether the prefix received so far can still be the start of a status line.
bool StatusLinePrefixOk(std::string_view data) {
  static constexpr std::string_view kShape = "HTTP/d.d ddd";
  size_t n = std::min(data.size(), kShape.size());
  for (size_t i = 0; i < n; ++i) {
    if (kShape[i] == 'd') {
      if (!IsDigit(data[i])) return false;
    } else if (data[i] != kShape[i]) {
      return false;
    }
  }
  if (data.size() > kShape.size()) {
    char c = data[kShape.size()];
    if (c != ' ' && c != '\r') return false;
  }
  return true;
}

// The value is a list of transfer codings; the body is chunked when the last
// one is "chunked".
bool LastCodingIsChunked(std::string_view value) {
  size_t comma = value.rfind(',');
  std::string_view last = comma == std::string_view::npos ? value : value.substr(comma + 1);
  size_t semi = last.find(';');
  if (semi != std::string_view::npos) last = last.substr(0, semi);
  return EqualsNoCase(TrimBlanks(last), "chunked");
}

// The value is a list of connection options.
bool HasCloseOption(std::string_view value) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    if (EqualsNoCase(TrimBlanks(value.substr(0, comma)), "close")) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

HeadResult ParseResponseHead(std::string_view data, ResponseHead* head) {
  if (!StatusLinePrefixOk(data)) return HeadResult::kBad;
  size_t end = data.substr(0, kMaxHeadBytes).find(kHeadEnd);
  if (end == std::string_view::npos) {
    return data.size() >= kMaxHeadBytes ? HeadResult::kBad : HeadResult::kIncomplete;
  }
  ResponseHead h;
  h.header_length = end + kHeadEnd.size();
  std::string_view block = data.substr(0, end + 2);  // every line ends with CR LF
  size_t eol = block.find("\r\n");
  std::string_view status_line = block.substr(0, eol);
  if (status_line.size() < 12) return HeadResult::kBad;
  // "HTTP/1.1" (or later minor) keeps the connection unless told otherwise.
  h.keep_alive = status_line[5] == '1' && status_line[7] != '0';
  h.status_code =
      (status_line[9] - '0') * 100 + (status_line[10] - '0') * 10 + (status_line[11] - '0');
  size_t pos = eol + 2;
  while (pos < block.size()) {
    size_t next = block.find("\r\n", pos);
    std::string_view line = block.substr(pos, next - pos);
    pos = next + 2;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      // An obsolete folded line continues the previous field: harmless to
      // skip. Anything else is not a header.
      if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) continue;
      return HeadResult::kBad;
    }
    std::string_view name = line.substr(0, colon);
    std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (EqualsNoCase(name, "Transfer-Encoding")) {
      h.chunked = LastCodingIsChunked(value);
    } else if (EqualsNoCase(name, "Content-Length")) {
      if (value.empty() || value.size() > 18) return HeadResult::kBad;
      uint64_t n = 0;
      for (char c : value) {
        if (!IsDigit(c)) return HeadResult::kBad;
        n = n * 10 + static_cast<uint64_t>(c - '0');
      }
      if (h.has_content_length && h.content_length != n) return HeadResult::kBad;
      h.has_content_length = true;
      h.content_length = n;
    } else if (EqualsNoCase(name, "Connection") && HasCloseOption(value)) {
      h.keep_alive = false;
    }
  }
  h.no_body =
      (h.status_code >= 100 && h.status_code < 200) || h.status_code == 204 || h.status_code == 304;
  *head = h;
  return HeadResult::kOk;
}

ResponseFraming::Progress ResponseFraming::Update(std::string* response) {
  if (complete_) return Progress::kComplete;
  while (!head_done_) {
    HeadResult r = ParseResponseHead(*response, &head_);
    if (r == HeadResult::kBad) return Progress::kBad;
    if (r == HeadResult::kIncomplete) return Progress::kNeedMore;
    if (head_.status_code >= 100 && head_.status_code < 200) {
      // An interim answer ("100 Continue"): the real one follows.
      response->erase(0, head_.header_length);
      continue;
    }
    head_done_ = true;
    decoded_up_to_ = head_.header_length;
  }
  if (head_.no_body) {
    complete_ = true;
    end_ = head_.header_length;
  } else if (head_.chunked) {
    std::string_view rest(*response);
    rest.remove_prefix(decoded_up_to_);
    decoded_up_to_ += decoder_.Feed(rest, &scratch_);
    scratch_.clear();
    if (decoder_.failed()) return Progress::kBad;
    complete_ = decoder_.done();
    end_ = decoded_up_to_;
  } else if (head_.has_content_length) {
    complete_ = response->size() - head_.header_length >= head_.content_length;
    end_ = head_.header_length + static_cast<size_t>(head_.content_length);
  }
  return complete_ ? Progress::kComplete : Progress::kNeedMore;
}

bool ResponseFraming::CompleteAtClose() const {
  if (complete_) return true;
  // Without a length or chunks the close is the end of the body.
  return head_done_ && !head_.chunked && !head_.has_content_length;
}

bool ReadResponse(CSimpleSocket& socket, std::string* response) {
  return ReadOneResponse(socket, response, nullptr);
}

bool ReadOneResponse(CSimpleSocket& socket, std::string* response, int32_t first_count,
                     bool* reusable) {
  if (reusable != nullptr) *reusable = false;
  ResponseFraming framing;
  int32_t count = first_count;
  for (;;) {
    if (count == 0) return framing.CompleteAtClose();
    if (count < 0 || socket.receive_buffer() == nullptr) return false;
    response->append(socket.receive_buffer(), static_cast<size_t>(count));
    ResponseFraming::Progress p = framing.Update(response);
    if (p == ResponseFraming::Progress::kBad) return false;
    if (p == ResponseFraming::Progress::kComplete) break;
    if (response->size() > kMaxResponseBytes) return false;
    count = socket.Receive(kReceivePiece);
  }
  if (response->size() > framing.end()) {
    socket.KeepForNextReceive(std::string_view(*response).substr(framing.end()));
    response->resize(framing.end());
  }
  if (response->size() > kMaxResponseBytes) return false;
  if (reusable != nullptr) *reusable = framing.reusable();
  return true;
}

bool ReadOneResponse(CSimpleSocket& socket, std::string* response, bool* reusable) {
  return ReadOneResponse(socket, response, socket.Receive(kReceivePiece), reusable);
}

bool ExtractBody(std::string* response) {
  std::string_view text(*response);
  ResponseHead head;
  for (;;) {
    if (ParseResponseHead(text, &head) != HeadResult::kOk) return false;
    if (head.status_code >= 100 && head.status_code < 200) {
      text.remove_prefix(head.header_length);
      continue;
    }
    break;
  }
  if (head.status_code != 200) return false;
  std::string_view rest = text.substr(head.header_length);
  std::string body;
  if (head.chunked) {
    if (!DecodeChunkedBody(rest, &body)) return false;
  } else if (head.has_content_length) {
    if (rest.size() < head.content_length) return false;
    body.assign(rest.substr(0, static_cast<size_t>(head.content_length)));
  } else {
    body.assign(rest);
  }
  *response = std::move(body);
  return true;
}

}  // namespace vexa
