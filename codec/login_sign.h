#ifndef VEXA_CODEC_LOGIN_SIGN_H_
#define VEXA_CODEC_LOGIN_SIGN_H_

#include <string>
#include <string_view>

namespace vexa {

// The salt shared by the client and the account service.
inline constexpr std::string_view kLoginSalt = "Lq4Tz&81MwKpNre";

// The password digest (40 lower-case hex digits of the password's SHA-1); a
// 40-byte password is taken to be a digest already and only lowercased.
// False for an empty password.
bool PasswordDigest(std::string_view password, std::string* digest);

// The login signature: Md5Hex(account + password digest + time text + salt).
std::string LoginSign(std::string_view account, std::string_view password_digest,
                      std::string_view time_text);

}  // namespace vexa

#endif  // VEXA_CODEC_LOGIN_SIGN_H_
