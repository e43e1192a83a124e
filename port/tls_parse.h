#ifndef VEXA_PORT_TLS_PARSE_H_
#define VEXA_PORT_TLS_PARSE_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vexa::port {

// What a TLS layer that frames records and checks names itself reads from the
// peer and from files. Platform-free, so every build tests and fuzzes it.

// The whole length (header included) of the TLS record that starts `data`:
// 0 while its 5-byte header is incomplete, -1 when the bytes cannot start a
// record (an unknown content type, a version other than 3.x, or a length
// beyond what TLS allows), e.g. a plain HTTP server answering a handshake.
long TlsRecordLength(const unsigned char* data, size_t length);

// "a.b.c.d" with four decimal parts of at most 255 (no sign, no leading
// zeros beyond a lone 0, nothing around it) into its four bytes.
bool ParseDottedIpv4(std::string_view text, uint8_t out[4]);

// Whether a DNS name of a certificate stands for `host`: equal ignoring case,
// or a wildcard "*." as the whole leftmost label, matching exactly one label
// of a name that has at least three labels ("*.example.com" covers
// "a.example.com", not "example.com" nor "a.b.example.com"). A dotted IPv4
// host never matches a DNS name.
bool CertificateNameMatches(std::string_view pattern, std::string_view host);

// The "-----BEGIN CERTIFICATE-----" ... "-----END CERTIFICATE-----" blocks
// of a PEM text, markers included, in order; text around them is ignored and
// an unterminated block is left out.
std::vector<std::string_view> PemCertificateBlocks(std::string_view text);

}  // namespace vexa::port

#endif  // VEXA_PORT_TLS_PARSE_H_
