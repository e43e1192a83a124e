// What the TLS layer reads itself: record framing of received bytes, the PEM
// blocks of an authority file and certificate names. Lengths stay within
// what TLS allows, blocks lie inside the text, and a name matches the host
// it is when it holds no wildcard.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "port/tls_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const long record = vexa::port::TlsRecordLength(data, size);
  if (record < -1 || record > 5 + 16384 + 2048 || (record > 0 && record < 5) ||
      (record == 0 && size >= 5)) {
    std::abort();
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const char* end = text.data() + text.size();
  for (std::string_view block : vexa::port::PemCertificateBlocks(text)) {
    if (block.data() < text.data() || block.data() + block.size() > end) std::abort();
    if (block.substr(0, 27) != "-----BEGIN CERTIFICATE-----") std::abort();
  }
  // The first line as a certificate name, the rest as the host.
  const size_t cut = text.find('\n');
  if (cut != std::string_view::npos) {
    const std::string_view pattern = text.substr(0, cut), host = text.substr(cut + 1);
    const bool matches = vexa::port::CertificateNameMatches(pattern, host);
    uint8_t ip[4];
    if (matches && vexa::port::ParseDottedIpv4(host, ip)) std::abort();
    if (matches && pattern.find('*') == std::string_view::npos && pattern.size() != host.size() &&
        pattern.size() != host.size() + 1 && pattern.size() + 1 != host.size()) {
      std::abort();
    }
  }
  uint8_t ip[4];
  if (vexa::port::ParseDottedIpv4(text, ip) && (size < 7 || size > 15)) std::abort();
  return 0;
}
