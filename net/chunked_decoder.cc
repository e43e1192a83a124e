#include "net/chunked_decoder.h"

#include <algorithm>

#include "codec/text.h"

namespace vexa {

void ChunkedDecoder::StartSizeLine() {
  state_ = State::kSize;
  size_ = 0;
  digits_ = 0;
}

void ChunkedDecoder::EndSizeLine() {
  if (size_ == 0) {
    state_ = State::kTrailerStart;
  } else {
    remaining_ = size_;
    state_ = State::kData;
  }
}

size_t ChunkedDecoder::Feed(std::string_view in, std::string* out) {
  size_t i = 0;
  while (i < in.size() && state_ != State::kDone && state_ != State::kFailed) {
    const char c = in[i];
    switch (state_) {
      case State::kSize: {
        int v = HexDigitValue(c);
        if (v >= 0) {
          if (++digits_ > kMaxHexDigits) {
            state_ = State::kFailed;
            break;
          }
          size_ = size_ * 16 + static_cast<uint64_t>(v);
          ++i;
          break;
        }
        if (digits_ == 0) {
          state_ = State::kFailed;
          break;
        }
        // After the last digit the same may follow as after a blank.
        [[fallthrough]];
      }
      case State::kSizeSpace:
        if (c == ' ' || c == '\t') {
          state_ = State::kSizeSpace;
          ++i;
        } else if (c == ';') {
          state_ = State::kExtension;
          ++i;
        } else if (c == '\r') {
          state_ = State::kSizeLf;
          ++i;
        } else if (c == '\n') {
          ++i;
          EndSizeLine();
        } else {
          state_ = State::kFailed;
        }
        break;
      case State::kExtension:
        ++i;
        if (c == '\n') EndSizeLine();
        break;
      case State::kSizeLf:
        if (c != '\n') {
          state_ = State::kFailed;
          break;
        }
        ++i;
        EndSizeLine();
        break;
      case State::kData: {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(remaining_, in.size() - i));
        out->append(in.data() + i, piece);
        i += piece;
        remaining_ -= piece;
        if (remaining_ == 0) state_ = State::kDataCr;
        break;
      }
      case State::kDataCr:
        if (c == '\r') {
          state_ = State::kDataLf;
        } else if (c == '\n') {
          StartSizeLine();
        } else {
          state_ = State::kFailed;
          break;
        }
        ++i;
        break;
      case State::kDataLf:
        if (c != '\n') {
          state_ = State::kFailed;
          break;
        }
        ++i;
        StartSizeLine();
        break;
      case State::kTrailerStart:
        ++i;
        if (c == '\r') {
          state_ = State::kTrailerLf;
        } else if (c == '\n') {
          state_ = State::kDone;
        } else {
          state_ = State::kTrailerLine;
        }
        break;
      case State::kTrailerLine:
        ++i;
        if (c == '\n') state_ = State::kTrailerStart;
        break;
      case State::kTrailerLf:
        if (c != '\n') {
          state_ = State::kFailed;
          break;
        }
        ++i;
        state_ = State::kDone;
        break;
      case State::kDone:
      case State::kFailed:
        break;
    }
  }
  return i;
}

bool DecodeChunkedBody(std::string_view body, std::string* out) {
  ChunkedDecoder decoder;
  std::string data;
  decoder.Feed(body, &data);
  if (!decoder.done()) return false;
  *out = std::move(data);
  return true;
}

}  // namespace vexa
