#ifndef VEXA_ACCOUNT_ACCOUNT_API_H_
#define VEXA_ACCOUNT_ACCOUNT_API_H_

#include <string>
#include <string_view>

namespace vexa {

// The account API's base address, such as "http://host:port", is
// configuration of the host: login and space queries are sent below it. A
// trailing "/" is dropped. Until it is set, logins fail with
// kNoAccountApiText and space queries fail.
void SetAccountApiBase(std::string_view base);
// The base as set, or empty.
std::string AccountApiBase();

// The login's failure text while no base is set.
inline constexpr char kNoAccountApiText[] = "no account service address is configured";
// The login's failure text for a base whose scheme this build cannot speak
// (https:// where TLS is not available, or any scheme but http and https):
// it is refused rather than used without encryption.
inline constexpr char kPlainHttpOnlyText[] =
    "https:// addresses are refused: this client speaks plain HTTP only and never sends what asked "
    "for "
    "encryption unencrypted";
// Whether `base` can be spoken to: an http:// address (or one without
// scheme), or https:// where TLS is available.
bool IsSpokenBase(std::string_view base);

// A value as it goes into a form body or a query: "%", "&", "=", "+", space,
// control bytes and non-ASCII bytes as "%XX" (upper-case hex); every other
// byte as it is, so ordinary values are sent unchanged.
std::string EncodeFormValue(std::string_view value);

}  // namespace vexa

#endif  // VEXA_ACCOUNT_ACCOUNT_API_H_
