// The service's query and form reader on any bytes. A form it accepts,
// written out again with either escaping style, reads back to the same
// fields; a second copy of a field is refused however its name is escaped;
// the query of a target is a piece of it with no fragment.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/form.h"

namespace {

// Every byte as %XX, in the case the caller asks for.
std::string EscapeAll(std::string_view text, bool lower) {
  static const char kUpper[] = "0123456789ABCDEF";
  static const char kLower[] = "0123456789abcdef";
  const char* digits = lower ? kLower : kUpper;
  std::string out;
  for (unsigned char c : text) {
    out += '%';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Only what would change the meaning; a space becomes '+'.
std::string EscapeFew(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == ' ') {
      out += '+';
    } else if (c == '%' || c == '&' || c == '=' || c == '+' || c == '#') {
      out += EscapeAll(std::string_view(&c, 1), false);
    } else {
      out += c;
    }
  }
  return out;
}

std::string Encode(const vexa::server::FormFields& fields, bool few) {
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) out += '&';
    out += few ? EscapeFew(name) : EscapeAll(name, true);
    out += '=';
    out += few ? EscapeFew(value) : EscapeAll(value, false);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::string decoded;
  if (vexa::server::UrlDecode(text, &decoded)) {
    if (decoded.size() > text.size()) std::abort();
    std::string again;
    if (!vexa::server::UrlDecode(EscapeAll(decoded, size % 2 == 0), &again) || again != decoded) {
      std::abort();
    }
  }

  vexa::server::FormFields fields;
  if (vexa::server::ParseUrlEncoded(text, &fields)) {
    for (bool few : {true, false}) {
      const std::string written = Encode(fields, few);
      vexa::server::FormFields back;
      if (!vexa::server::ParseUrlEncoded(written, &back) || back != fields) std::abort();
      // The first field again, escaped the other way: still the same name.
      if (!fields.empty()) {
        const auto& [name, value] = *fields.begin();
        std::string twice = written + "&" + (few ? EscapeAll(name, false) : EscapeFew(name)) + "=x";
        if (vexa::server::ParseUrlEncoded(twice, &back)) std::abort();
      }
    }
  }

  const std::string_view query = vexa::server::QueryOf(text);
  if (!query.empty()) {
    const size_t q = text.find('?');
    if (q == std::string_view::npos || query.data() != text.data() + q + 1) std::abort();
    if (query.find('#') != std::string_view::npos) std::abort();
    if (query.size() > text.size() - q - 1) std::abort();
  }
  return 0;
}
