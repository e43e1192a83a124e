#include "codec/json_quote.h"

#include <cstdio>

#include "codec/text.h"

namespace vexa {

std::string JsonQuote(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char16_t c : text) {
    switch (c) {
      case u'"':
        out += "\\\"";
        break;
      case u'\\':
        out += "\\\\";
        break;
      case u'\n':
        out += "\\n";
        break;
      case u'\r':
        out += "\\r";
        break;
      case u'\t':
        out += "\\t";
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out.push_back(static_cast<char>(c));
        } else {
          char buf[8];
          std::snprintf(buf, sizeof(buf), "\\u%04X", static_cast<unsigned>(c));
          out += buf;
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string JsonQuote(std::string_view utf8) { return JsonQuote(Utf8ToWide(utf8)); }

}  // namespace vexa
