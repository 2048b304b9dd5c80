// The names of lines reached over TCP: "tcp://HOST:PORT" (raw bytes; the server fixes the line
// settings), "rfc2217://HOST:PORT" (telnet with COM-PORT-OPTION; the open sets the line) and a
// gateway's bus, "varno://HOST:PORT/BUS" (remote/gateway_carrier.cpp), with their options.
#ifndef VARNO_NETWORK_NETWORK_NAME_H
#define VARNO_NETWORK_NETWORK_NAME_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace varno {

enum class NetworkProtocol { kRaw, kRfc2217, kGateway };

inline constexpr std::size_t kMaxNetworkPortName = 512;
inline constexpr std::size_t kMaxHostName = 253;

struct NetworkPortName {
  NetworkProtocol protocol = NetworkProtocol::kRaw;
  std::string host;  // an IPv6 address without its brackets
  std::uint16_t port = 0;
  std::string bus;  // varno:// only: the gateway's name for the bus
  // Options (all in milliseconds).
  std::uint32_t connect_timeout_ms = 5000;      // "connect_timeout": name lookup and connect
  std::uint32_t negotiation_timeout_ms = 3000;  // "negotiation_timeout": each wait for answers
  std::uint32_t inter_byte_timeout_ms = 50;     // "inter_byte_timeout": silence that ends a read
};

// Whether `name` asks for a network port ("tcp://" or "rfc2217://", any case).
bool isNetworkPortName(const std::string& name);
// Whether `name` asks for a gateway's bus ("varno://", any case).
bool isGatewayPortName(const std::string& name);
// False when `name` is not a well-formed network port name: unknown scheme, empty or malformed
// host, a port missing or outside 1..65535, an unknown, repeated, empty or out-of-range option,
// anything after them, or more than kMaxNetworkPortName characters. A varno:// name has
// "/BUS" after the port (a valid gateway bus name, without '?') and only connect_timeout.
bool parseNetworkPortName(const std::string& name, NetworkPortName& parsed);

}  // namespace varno

#endif  // VARNO_NETWORK_NETWORK_NAME_H
