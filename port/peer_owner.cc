#include "port/peer_owner.h"

#include <cstring>
#include <string>
#include <vector>

namespace vexa::port {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseHex32(std::string_view text, uint32_t* value) {
  if (text.empty() || text.size() > 8) return false;
  uint32_t v = 0;
  for (char c : text) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

// "0100007F:1F90" or 32 hex digits ":" port. The table prints each 32-bit
// word of the address as the number its bytes make in memory, so the bytes
// come back by storing that number the same way.
bool ParseTableEnd(std::string_view text, TcpEnd* end) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view address = text.substr(0, colon);
  uint32_t port = 0;
  if (!ParseHex32(text.substr(colon + 1), &port) || port > 0xFFFF) return false;
  TcpEnd e;
  e.port = static_cast<uint16_t>(port);
  if (address.size() == 8) {
    uint32_t word = 0;
    if (!ParseHex32(address, &word)) return false;
    e.address[10] = e.address[11] = 0xFF;
    std::memcpy(&e.address[12], &word, 4);
  } else if (address.size() == 32) {
    for (int i = 0; i < 4; ++i) {
      uint32_t word = 0;
      if (!ParseHex32(address.substr(i * 8, 8), &word)) return false;
      std::memcpy(&e.address[i * 4], &word, 4);
    }
  } else {
    return false;
  }
  *end = e;
  return true;
}

bool SameEnd(const TcpEnd& a, const TcpEnd& b) {
  return a.port == b.port && a.address == b.address;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

}  // namespace

TcpEnd TcpEndOfV4(uint32_t address, uint16_t port) {
  TcpEnd e;
  e.address[10] = e.address[11] = 0xFF;
  e.address[12] = static_cast<uint8_t>(address >> 24);
  e.address[13] = static_cast<uint8_t>(address >> 16);
  e.address[14] = static_cast<uint8_t>(address >> 8);
  e.address[15] = static_cast<uint8_t>(address);
  e.port = port;
  return e;
}

bool FindOwnerInSocketTable(std::string_view table, const TcpEnd& local, const TcpEnd& peer,
                            uint32_t* uid) {
  size_t pos = 0;
  while (pos < table.size()) {
    size_t end = table.find('\n', pos);
    if (end == std::string_view::npos) end = table.size();
    const std::vector<std::string_view> f = Fields(table.substr(pos, end - pos));
    pos = end + 1;
    // sl, local, remote, st, tx:rx, tr:when, retrnsmt, uid
    TcpEnd own, far;
    if (f.size() < 8 || !ParseTableEnd(f[1], &own) || !ParseTableEnd(f[2], &far)) continue;
    if (!SameEnd(own, peer) || !SameEnd(far, local)) continue;
    const std::string_view u = f[7];
    if (u.empty() || u.size() > 10 || u.find_first_not_of("0123456789") != std::string_view::npos)
      return false;
    const unsigned long long value = std::stoull(std::string(u));
    if (value > 0xFFFFFFFFull) return false;
    *uid = static_cast<uint32_t>(value);
    return true;
  }
  return false;
}

}  // namespace vexa::port
