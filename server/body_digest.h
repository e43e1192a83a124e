#ifndef VEXA_SERVER_BODY_DIGEST_H_
#define VEXA_SERVER_BODY_DIGEST_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "codec/sha1.h"

namespace vexa::server {

// The digest of a range's data, computed as the body arrives: once the file
// part's head is in, every byte that cannot belong to the closing delimiter
// is hashed. Checked against the parsed data at the end, so a body read
// otherwise than foreseen is simply hashed again.
class BodyDigest {
 public:
  // Watches `body`, which grows as pieces arrive. No hashing on arrival
  // with an empty `boundary`.
  BodyDigest(const std::string* body, std::string boundary);

  // Called after each piece of the body is appended.
  void Arrived();

  // The digest of `data`, the parsed file data of the body (a view into it).
  bool FinalHex(std::string_view data, std::string* hex);

 private:
  static constexpr size_t kHeadLimit = 64 * 1024;
  const std::string* const body_;
  std::string boundary_;
  const size_t tail_;
  size_t start_ = std::string::npos;
  size_t hashed_ = 0;
  vexa::Sha1 sha1_;  // qualified: tests declare a Sha1() helper in this namespace
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_BODY_DIGEST_H_
