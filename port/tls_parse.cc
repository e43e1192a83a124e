#include "port/tls_parse.h"

namespace vexa::port {

namespace {

// Encrypted records may exceed the 16 KiB of plaintext by the expansion TLS
// 1.2 allows; nothing longer is a record.
constexpr long kMaxRecordBody = 16384 + 2048;
constexpr size_t kRecordHeader = 5;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

long TlsRecordLength(const unsigned char* data, size_t length) {
  if (length >= 1 && (data[0] < 20 || data[0] > 23))
    return -1;  // change_cipher_spec .. application_data
  if (length >= 2 && data[1] != 3) return -1;
  if (length < kRecordHeader) return 0;
  const long body = (long{data[3]} << 8) | data[4];
  if (body > kMaxRecordBody) return -1;
  return static_cast<long>(kRecordHeader) + body;
}

bool ParseDottedIpv4(std::string_view text, uint8_t out[4]) {
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    const size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    const size_t digits = pos - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    out[part] = static_cast<uint8_t>(value);
  }
  return pos == text.size();
}

bool CertificateNameMatches(std::string_view pattern, std::string_view host) {
  if (pattern.empty() || host.empty()) return false;
  uint8_t ip[4];
  if (ParseDottedIpv4(host, ip)) return false;
  // A fully qualified name's final dot changes nothing.
  if (host.back() == '.') host.remove_suffix(1);
  if (!pattern.empty() && pattern.back() == '.') pattern.remove_suffix(1);
  if (pattern.substr(0, 2) != "*.") {
    return pattern.find('*') == std::string_view::npos && EqualIgnoringCase(pattern, host);
  }
  const std::string_view parent = pattern.substr(2);
  // The wildcard never stands for a registrable name's only label ("*.com").
  if (parent.find('.') == std::string_view::npos || parent.find('*') != std::string_view::npos)
    return false;
  const size_t dot = host.find('.');
  if (dot == 0 || dot == std::string_view::npos) return false;
  return EqualIgnoringCase(parent, host.substr(dot + 1));
}

std::vector<std::string_view> PemCertificateBlocks(std::string_view text) {
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  std::vector<std::string_view> blocks;
  size_t pos = 0;
  for (;;) {
    const size_t begin = text.find(kBegin, pos);
    if (begin == std::string_view::npos) break;
    const size_t end = text.find(kEnd, begin + kBegin.size());
    if (end == std::string_view::npos) break;
    // A second BEGIN before the END: the first block was cut off.
    const size_t again = text.find(kBegin, begin + kBegin.size());
    if (again != std::string_view::npos && again < end) {
      pos = again;
      continue;
    }
    blocks.push_back(text.substr(begin, end + kEnd.size() - begin));
    pos = end + kEnd.size();
  }
  return blocks;
}

}  // namespace vexa::port
