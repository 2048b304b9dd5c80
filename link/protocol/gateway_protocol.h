// The gateway protocol: how a varno:// client and varno-gateway talk over TCP. Version 1.
//
// Every message is a type byte, the payload's length (2 bytes, big-endian) and the payload.
// Integers are big-endian; a command or reply travels as its 10 record bytes (dest, source,
// code, param, status, error, data[0..3]), not as a wire frame: the gateway encodes and decodes.
//
//   client -> gateway
//     0x01 HELLO     version (1), bus name length (1..64), bus name, client name length
//                    (0..64), client name. Names are printable ASCII (client name: space too).
//                    First and only once.
//     0x02 TRANSACT  id (4), write time-out ms (4), reply time-out ms (4), command (10).
//                    Any number may be sent after the WELCOME; each is answered exactly once,
//                    in the order sent, while the connection lasts.
//   gateway -> client
//     0x81 WELCOME   version (1), result (4, signed: 0, or a VARNO_E_* code, after which the
//                    gateway closes the connection), the bus's baud rate (4), its queue
//                    time-out ms (4), whether the bus is open now (1: 1 open, 0 reconnecting).
//     0x82 RESULT    id (4, the request's), outcome (4, signed: 0..5 as on a local link, or
//                    VARNO_E_QUEUE_TIMEOUT when the bus stayed busy past the queue time-out
//                    and nothing was sent), time on the bus in microseconds (4; 0 when the
//                    command never reached it), frame (10: the reply for outcome 0, otherwise
//                    the command with its addresses swapped).
//
// Anything else (an unknown type, a length that does not fit the type, a name out of bounds, a
// second HELLO, a TRANSACT before the WELCOME) is malformed: the receiver closes the connection.
#ifndef VARNO_PROTOCOL_GATEWAY_PROTOCOL_H
#define VARNO_PROTOCOL_GATEWAY_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "protocol/frame.h"

namespace varno::gateway {

inline constexpr std::uint8_t kProtocolVersion = 1;
inline constexpr std::size_t kHeaderSize = 3;
inline constexpr std::size_t kMaxNameSize = 64;
inline constexpr std::size_t kRecordSize = 10;

enum MessageType : std::uint8_t {
  kHello = 0x01,
  kTransact = 0x02,
  kWelcome = 0x81,
  kResult = 0x82,
};

struct Hello {
  std::uint8_t version = kProtocolVersion;
  std::string bus;
  std::string client;
};

struct Transact {
  std::uint32_t id = 0;
  std::uint32_t write_timeout_ms = 0;
  std::uint32_t reply_timeout_ms = 0;
  CommandRecord command;
};

struct Welcome {
  std::uint8_t version = kProtocolVersion;
  std::int32_t result = 0;
  std::uint32_t baud_rate = 0;
  std::uint32_t queue_timeout_ms = 0;
  bool bus_open = false;
};

struct Result {
  std::uint32_t id = 0;
  std::int32_t outcome = 0;
  std::uint32_t bus_time_us = 0;
  CommandRecord frame;
};

using Message = std::variant<Hello, Transact, Welcome, Result>;

// Appends the message's bytes to `out`. A Hello whose names are out of bounds is encoded as it
// is, and its receiver will refuse it: check names with validBusName/validClientName first.
void appendMessage(const Message& message, std::vector<std::uint8_t>& out);

enum class ParseStatus {
  kNeedMore,   // not a whole message yet: keep the bytes and read more
  kMessage,    // `message` holds one; `consumed` bytes of the input were it
  kMalformed,  // not this protocol: close the connection
};

// Reads one message from the start of `data`.
ParseStatus parseMessage(const std::uint8_t* data, std::size_t size, Message& message,
                         std::size_t& consumed);

bool validBusName(const std::string& name);
bool validClientName(const std::string& name);

}  // namespace varno::gateway

#endif  // VARNO_PROTOCOL_GATEWAY_PROTOCOL_H
