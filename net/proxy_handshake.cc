#include "net/proxy_handshake.h"

#include <string_view>

#include "codec/text.h"

namespace vexa {

namespace {

// A proxy's answer head longer than this is not an answer to CONNECT.
constexpr size_t kMaxConnectAnswer = 16 * 1024;
constexpr int32_t kConnectPiece = 1023;
constexpr size_t kMaxSocksName = 255;

// Receives exactly `count` bytes into `*out`.
bool ReceiveExactly(CSimpleSocket& socket, size_t count, std::string* out) {
  out->clear();
  while (out->size() < count) {
    int32_t n = socket.Receive(static_cast<int32_t>(count - out->size()));
    if (n <= 0 || socket.receive_buffer() == nullptr) return false;
    out->append(socket.receive_buffer(), static_cast<size_t>(n));
  }
  return true;
}

bool SendAll(CSimpleSocket& socket, const std::string& bytes) {
  return socket.Send(bytes.data(), bytes.size()) == static_cast<int32_t>(bytes.size());
}

void AppendPort(std::string* out, uint16_t port) {
  out->push_back(static_cast<char>(port >> 8));
  out->push_back(static_cast<char>(port & 0xff));
}

}  // namespace

bool ParseDottedIPv4(const std::string& text, uint8_t out[4]) {
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    int value = 0;
    size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      value = value * 10 + (text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    out[part] = static_cast<uint8_t>(value);
  }
  return pos == text.size();
}

bool HttpConnectHandshake(CProxySocket& socket, const std::string& host, uint16_t port) {
  std::string request = "CONNECT " + host + ":" + std::to_string(port) + " HTTP/1.0\r\n\r\n";
  if (!SendAll(socket, request)) return false;
  std::string answer;
  size_t end;
  while ((end = answer.find("\r\n\r\n")) == std::string::npos) {
    if (answer.size() > kMaxConnectAnswer) return false;
    int32_t n = socket.Receive(kConnectPiece);
    if (n <= 0 || socket.receive_buffer() == nullptr) return false;
    answer.append(socket.receive_buffer(), static_cast<size_t>(n));
  }
  std::string status = ToLower(std::string_view(answer).substr(0, 12));
  if (status != "http/1.0 200" && status != "http/1.1 200") return false;
  socket.KeepForNextReceive(std::string_view(answer).substr(end + 4));
  return true;
}

bool Socks4Handshake(CProxySocket& socket, const std::string& host, uint16_t port) {
  if (host.empty() || host.size() > kMaxSocksName || host.find('\0') != std::string::npos)
    return false;
  std::string request;
  request.push_back(0x04);
  request.push_back(0x01);
  AppendPort(&request, port);
  request.append("\x00\x00\x00\x01", 4);  // 0.0.0.1: the name follows
  request.append("TORMIX");
  request.push_back('\0');
  request.append(host);
  request.push_back('\0');
  if (!SendAll(socket, request)) return false;
  std::string reply;
  if (!ReceiveExactly(socket, 8, &reply)) return false;
  return reply[0] == 0x00 && static_cast<uint8_t>(reply[1]) == 0x5a;
}

bool Socks5Handshake(CProxySocket& socket, const std::string& host, uint16_t port) {
  if (!SendAll(socket, std::string("\x05\x02\x00\x02", 4))) return false;
  std::string reply;
  if (!ReceiveExactly(socket, 2, &reply) || reply[0] != 0x05) return false;
  if (reply[1] == 0x02) {
    if (socket.proxyUser.size() > 255 || socket.proxyPassword.size() > 255) return false;
    std::string auth;
    auth.push_back(0x01);
    auth.push_back(static_cast<char>(socket.proxyUser.size()));
    auth.append(socket.proxyUser);
    auth.push_back(static_cast<char>(socket.proxyPassword.size()));
    auth.append(socket.proxyPassword);
    if (!SendAll(socket, auth)) return false;
    if (!ReceiveExactly(socket, 2, &reply) || reply[1] != 0x00) return false;
  } else if (reply[1] != 0x00) {
    return false;  // 0xff: the proxy accepts none of our methods
  }
  std::string request("\x05\x01\x00", 3);
  uint8_t ip[4];
  if (ParseDottedIPv4(host, ip)) {
    request.push_back(0x01);
    request.append(reinterpret_cast<const char*>(ip), 4);
  } else {
    if (host.empty() || host.size() > kMaxSocksName) return false;
    request.push_back(0x03);
    request.push_back(static_cast<char>(host.size()));
    request.append(host);
  }
  AppendPort(&request, port);
  if (!SendAll(socket, request)) return false;
  std::string head;
  if (!ReceiveExactly(socket, 4, &head)) return false;
  if (head[0] != 0x05 || head[1] != 0x00) return false;
  // The reply ends with the bound address, whose length depends on its type;
  // read all of it so that none of it is taken for the server's answer.
  size_t rest;
  switch (head[3]) {
    case 0x01:
      rest = 4 + 2;
      break;
    case 0x04:
      rest = 16 + 2;
      break;
    case 0x03: {
      std::string len;
      if (!ReceiveExactly(socket, 1, &len)) return false;
      rest = static_cast<uint8_t>(len[0]) + 2u;
      break;
    }
    default:
      return false;
  }
  return ReceiveExactly(socket, rest, &reply);
}

bool ConnectViaProxy(CProxySocket& socket, const std::string& host, uint16_t port) {
  uint16_t proxy_port = (socket.proxyPort > 0 && socket.proxyPort <= 65535)
                            ? static_cast<uint16_t>(socket.proxyPort)
                            : 0;
  if (!socket.Open(socket.proxyHost, proxy_port)) return false;
  switch (socket.proxyType) {
    case ProxySocks4:
      return Socks4Handshake(socket, host, port);
    case ProxySocks5:
      return Socks5Handshake(socket, host, port);
    case ProxyHttp:
    case ProxyUnknown:
      return HttpConnectHandshake(socket, host, port);
    default:
      return false;
  }
}

}  // namespace vexa
