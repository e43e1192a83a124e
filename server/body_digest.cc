#include "server/body_digest.h"

#include <utility>

#include "server/form.h"

namespace vexa::server {

BodyDigest::BodyDigest(const std::string* body, std::string boundary)
    : body_(body), boundary_(std::move(boundary)), tail_(MultipartTailBytes(boundary_)) {}

void BodyDigest::Arrived() {
  if (boundary_.empty()) return;
  if (start_ == std::string::npos) {
    // The head comes first and is small: past this, give up on hashing early.
    if (body_->size() > kHeadLimit) {
      boundary_.clear();
      return;
    }
    start_ = MultipartFileStart(*body_, boundary_);
    if (start_ == std::string::npos) return;
    hashed_ = start_;
  }
  if (body_->size() > hashed_ + tail_) {
    const size_t n = body_->size() - tail_ - hashed_;
    sha1_.Update(body_->data() + hashed_, n);
    hashed_ += n;
  }
}

bool BodyDigest::FinalHex(std::string_view data, std::string* hex) {
  const size_t at = static_cast<size_t>(data.data() - body_->data());
  if (boundary_.empty() || start_ != at || hashed_ > at + data.size()) {
    return Sha1Hex(data.data(), data.size(), hex);
  }
  sha1_.Update(body_->data() + hashed_, at + data.size() - hashed_);
  return sha1_.FinalHex(hex);
}

}  // namespace vexa::server
