#include "account/account_api.h"

#include "net/parsed_url.h"
#include "port/mutex.h"

namespace vexa {
namespace {

struct ApiBase {
  port::Mutex mu;
  std::string base GUARDED_BY(mu);
};

ApiBase& TheApiBase() {
  static ApiBase* base = new ApiBase();
  return *base;
}

bool NeedsEscape(unsigned char c) {
  return c < 0x20 || c >= 0x7f || c == '%' || c == '&' || c == '=' || c == '+' || c == ' ';
}

}  // namespace

void SetAccountApiBase(std::string_view base) {
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  ApiBase& b = TheApiBase();
  port::MutexLock l(&b.mu);
  b.base.assign(base);
}

std::string AccountApiBase() {
  ApiBase& b = TheApiBase();
  port::MutexLock l(&b.mu);
  return b.base;
}

bool IsSpokenBase(std::string_view base) { return IsSpokenScheme(ParseUrl(base).scheme); }

std::string EncodeFormValue(std::string_view value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (!NeedsEscape(c)) {
      out.push_back(ch);
      continue;
    }
    out.push_back('%');
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0xf]);
  }
  return out;
}

}  // namespace vexa
