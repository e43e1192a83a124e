#include "codec/login_sign.h"

#include "codec/md5.h"
#include "codec/sha1.h"
#include "codec/text.h"

namespace vexa {

bool PasswordDigest(std::string_view password, std::string* digest) {
  // A remembered account hands back the digest itself, which is 40 bytes long.
  if (password.size() == 40) {
    *digest = ToLower(password);
    return true;
  }
  std::string hex;
  if (!Sha1Hex(password.data(), password.size(), &hex)) return false;
  *digest = ToLower(hex);
  return true;
}

std::string LoginSign(std::string_view account, std::string_view password_digest,
                      std::string_view time_text) {
  std::string text;
  text.reserve(account.size() + password_digest.size() + time_text.size() + kLoginSalt.size());
  text.append(account);
  text.append(password_digest);
  text.append(time_text);
  text.append(kLoginSalt);
  return Md5Hex(text);
}

}  // namespace vexa
