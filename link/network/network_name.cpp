#include "network/network_name.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "protocol/gateway_protocol.h"

namespace varno {
namespace {

constexpr char kRawScheme[] = "tcp://";
constexpr char kRfc2217Scheme[] = "rfc2217://";
constexpr char kGatewayScheme[] = "varno://";

bool startsWithNoCase(const std::string& text, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  if (text.size() < length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// Decimal digits only (no sign, no spaces), within [low, high].
bool parseNumber(const std::string& text, std::uint32_t low, std::uint32_t high,
                 std::uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  std::uint32_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (v < low || v > high) return false;
  value = v;
  return true;
}

bool isHostNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

bool isIpv6Char(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
}

bool parseOptions(const std::string& text, NetworkPortName& parsed) {
  bool seen[3] = {false, false, false};
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(text.find('&', start), text.size());
    const std::string option = text.substr(start, end - start);
    const std::size_t equals = option.find('=');
    if (equals == std::string::npos) return false;
    const std::string key = option.substr(0, equals);
    const std::string value = option.substr(equals + 1);
    int index;
    std::uint32_t* target;
    std::uint32_t high = 600000;  // ten minutes
    if (key == "connect_timeout") {
      index = 0;
      target = &parsed.connect_timeout_ms;
    } else if (key == "negotiation_timeout" && parsed.protocol == NetworkProtocol::kRfc2217) {
      index = 1;
      target = &parsed.negotiation_timeout_ms;
    } else if (key == "inter_byte_timeout" && parsed.protocol != NetworkProtocol::kGateway) {
      index = 2;
      target = &parsed.inter_byte_timeout_ms;
      high = 60000;
    } else {
      return false;
    }
    if (seen[index] || !parseNumber(value, 1, high, *target)) return false;
    seen[index] = true;
    if (end == text.size()) return true;
    start = end + 1;
  }
}

}  // namespace

bool isNetworkPortName(const std::string& name) {
  return startsWithNoCase(name, kRawScheme) || startsWithNoCase(name, kRfc2217Scheme);
}

bool isGatewayPortName(const std::string& name) {
  return startsWithNoCase(name, kGatewayScheme);
}

bool parseNetworkPortName(const std::string& name, NetworkPortName& parsed) {
  if (name.size() > kMaxNetworkPortName) return false;
  NetworkPortName p;
  std::size_t pos;
  if (startsWithNoCase(name, kRawScheme)) {
    p.protocol = NetworkProtocol::kRaw;
    pos = sizeof kRawScheme - 1;
  } else if (startsWithNoCase(name, kRfc2217Scheme)) {
    p.protocol = NetworkProtocol::kRfc2217;
    pos = sizeof kRfc2217Scheme - 1;
  } else if (startsWithNoCase(name, kGatewayScheme)) {
    p.protocol = NetworkProtocol::kGateway;
    pos = sizeof kGatewayScheme - 1;
  } else {
    return false;
  }

  if (pos < name.size() && name[pos] == '[') {
    const std::size_t close = name.find(']', pos);
    if (close == std::string::npos) return false;
    p.host = name.substr(pos + 1, close - pos - 1);
    if (p.host.find(':') == std::string::npos ||
        !std::all_of(p.host.begin(), p.host.end(), isIpv6Char)) {
      return false;
    }
    pos = close + 1;
  } else {
    const std::size_t end = std::min(name.find(':', pos), name.size());
    p.host = name.substr(pos, end - pos);
    if (!std::all_of(p.host.begin(), p.host.end(), isHostNameChar)) return false;
    pos = end;
  }
  if (p.host.empty() || p.host.size() > kMaxHostName) return false;

  if (pos >= name.size() || name[pos] != ':') return false;
  ++pos;
  const std::size_t options = std::min(name.find('?', pos), name.size());
  const bool gateway = p.protocol == NetworkProtocol::kGateway;
  const std::size_t port_end = gateway ? std::min(name.find('/', pos), options) : options;
  std::uint32_t port = 0;
  if (!parseNumber(name.substr(pos, port_end - pos), 1, 65535, port)) return false;
  p.port = static_cast<std::uint16_t>(port);
  if (gateway) {
    if (port_end == options) return false;  // no bus
    p.bus = name.substr(port_end + 1, options - port_end - 1);
    if (!gateway::validBusName(p.bus)) return false;
  }
  if (options < name.size() && !parseOptions(name.substr(options + 1), p)) return false;
  parsed = p;
  return true;
}

}  // namespace varno
