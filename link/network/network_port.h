// Serial lines reached over TCP: "tcp://HOST:PORT" (raw bytes; the server fixes the line
// settings) and "rfc2217://HOST:PORT" (telnet with COM-PORT-OPTION; the open sets the line). Port
// names are parsed here; the port itself is a third implementation of SerialPort, so the
// connection and the transactions never learn what carries their bytes. A gateway's bus,
// "varno://HOST:PORT/BUS", is named and reached the same way (remote/gateway_carrier.cpp).
#ifndef VARNO_SERIAL_SERIAL_PORT_NETWORK_H
#define VARNO_SERIAL_SERIAL_PORT_NETWORK_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "network/telnet.h"
#include "ports/serial_port.h"

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

class Socket;
struct SocketAddress;

// Waits on `socket` for `want` (kSocket*) until `deadline` (none: no limit). What was found, or
// 0 when aborted or out of time. A deadline that has passed still gets one look.
unsigned waitForSocket(Socket& socket, unsigned want,
                       std::optional<std::chrono::steady_clock::time_point> deadline,
                       const std::atomic<bool>& aborted);
// Connects `socket` to `address` before `deadline`; false when refused, out of time or aborted.
bool connectTo(Socket& socket, const SocketAddress& address,
               std::chrono::steady_clock::time_point deadline, const std::atomic<bool>& aborted);
// Looks `host` up (a lookup that hangs is left behind at the deadline) and connects `socket` to
// its addresses in turn, all before `deadline`. kNone when connected (the address in
// `*connected`, where given); kNotFound (no such host, refused, unreachable, out of time,
// aborted) or kResources.
PortError connectWithin(Socket& socket, const std::string& host, std::uint16_t port,
                        std::chrono::steady_clock::time_point deadline,
                        const std::atomic<bool>& aborted, SocketAddress* connected = nullptr);

std::unique_ptr<SerialPort> makeNetworkSerialPort();

// The client's side of an RFC 2217 session: which options are agreed, what the server answered,
// and what it is owed in return.
class TelnetClient final : public telnet::Handler {
 public:
  // What a COM-PORT-OPTION answer said; -1 while none has come.
  struct Answers {
    std::int64_t baud_rate = -1;
    int data_size = -1;
    int parity = -1;
    int stop_size = -1;
    int flow_control = -1;  // SET-CONTROL answers about outbound flow control (1..3)
    int dtr = -1;           // SET-CONTROL answers about DTR (8 on, 9 off)
  };

  // The offers a session opens with: WILL BINARY, DO BINARY, WILL COM-PORT-OPTION (9 bytes).
  std::size_t offers(std::uint8_t* out);

  void negotiation(std::uint8_t verb, std::uint8_t option) override;
  void subnegotiation(const std::uint8_t* payload, std::size_t size, bool cut) override;

  // BINARY both ways and COM-PORT-OPTION from this side.
  bool agreed() const;
  // The server declined one of those, or took it back.
  bool refused() const { return refused_; }
  bool comPortEnabled() const { return us_[kComPortIndex].enabled; }

  Answers answers;

  // Replies owed to the server; the caller sends and clears them.
  const std::uint8_t* replies() const { return replies_.data(); }
  std::size_t replySize() const { return reply_size_; }
  void clearReplies() { reply_size_ = 0; }

 private:
  static constexpr int kBinaryIndex = 0;
  static constexpr int kComPortIndex = 1;
  struct Side {
    bool enabled = false;
    bool pending = false;  // asked for, no answer yet
  };
  static int indexOf(std::uint8_t option);
  void reply(std::uint8_t verb, std::uint8_t option);
  // An option this side does not do is refused once: a server that asks again is not answered
  // again, so two ends can never loop.
  bool firstRefusal(std::array<std::uint8_t, 32>& sent, std::uint8_t option);

  Side us_[2];   // WILL: options this side performs (BINARY, COM-PORT-OPTION)
  Side him_[2];  // DO: options the server performs (BINARY only)
  bool refused_ = false;
  std::array<std::uint8_t, 32> wont_sent_{};
  std::array<std::uint8_t, 32> dont_sent_{};
  std::array<std::uint8_t, 60> replies_{};
  std::size_t reply_size_ = 0;
};

}  // namespace varno

#endif  // VARNO_SERIAL_SERIAL_PORT_NETWORK_H
