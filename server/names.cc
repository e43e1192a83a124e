#include "server/names.h"

#include <cstdio>

#include "codec/text.h"

namespace vexa::server {

namespace {

// Unicode format characters (general category Cf).
bool IsFormatChar(uint32_t cp) {
  static const uint32_t kRanges[][2] = {
      {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
      {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
      {0x200B, 0x200F},   {0x202A, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
      {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
      {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
      {0xE0020, 0xE007F},
  };
  for (const auto& r : kRanges) {
    if (cp >= r[0] && cp <= r[1]) return true;
  }
  return false;
}

// Decodes the code point at text[*i] and advances *i; false on malformed
// UTF-8 (overlong forms, surrogates, beyond U+10FFFF).
bool NextCodePoint(const std::string& text, size_t* i, uint32_t* out) {
  unsigned char c = static_cast<unsigned char>(text[*i]);
  size_t n;
  uint32_t cp;
  if (c < 0x80) {
    *out = c;
    ++*i;
    return true;
  } else if ((c & 0xE0) == 0xC0) {
    n = 1;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 2;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 3;
    cp = c & 0x07;
  } else {
    return false;
  }
  if (*i + n >= text.size()) return false;
  for (size_t k = 1; k <= n; ++k) {
    unsigned char d = static_cast<unsigned char>(text[*i + k]);
    if ((d & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (d & 0x3F);
  }
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  *i += n + 1;
  *out = cp;
  return true;
}

}  // namespace

bool ParseDecimal(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

bool ParseId(const std::string& text, int64_t* id) {
  uint64_t v;
  if (!ParseDecimal(text, &v) || v == 0 || v > (uint64_t{1} << 62)) return false;
  *id = static_cast<int64_t>(v);
  return true;
}

bool IsHex40(const std::string& text) {
  if (text.size() != 40) return false;
  for (char c : text) {
    if (HexDigitValue(c) < 0) return false;
  }
  return true;
}

bool IsPickCode(const std::string& text) {
  if (text.empty() || text.size() > 32) return false;
  for (char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool IsUtf8(const std::string& text) {
  uint32_t cp;
  for (size_t i = 0; i < text.size();) {
    if (!NextCodePoint(text, &i, &cp)) return false;
  }
  return true;
}

bool IsValidName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  size_t units = 0;
  uint32_t cp;
  for (size_t i = 0; i < name.size();) {
    if (!NextCodePoint(name, &i, &cp)) return false;
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == '/' || cp == '\\' || IsFormatChar(cp)) {
      return false;
    }
    units += cp >= 0x10000 ? 2 : 1;
    if (units > kMaxNameUnits) return false;
  }
  return true;
}

bool SplitRemotePath(const std::string& path, std::vector<std::string>* names) {
  names->clear();
  if (path.empty()) return true;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    std::string name = path.substr(pos, slash - pos);
    if (!IsValidName(name)) return false;
    names->push_back(std::move(name));
    pos = slash + 1;
  }
  return names->size() <= kMaxPathDepth;
}

std::string NumberedName(const std::string& name, int n) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) dot = name.size();
  return name.substr(0, dot) + " (" + std::to_string(n) + ")" + name.substr(dot);
}

}  // namespace vexa::server
