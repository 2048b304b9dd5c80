#include "protocol/gateway_protocol.h"

#include <type_traits>

namespace varno::gateway {
namespace {

constexpr std::size_t kTransactSize = 4 + 4 + 4 + kRecordSize;
constexpr std::size_t kWelcomeSize = 1 + 4 + 4 + 4 + 1;
constexpr std::size_t kResultSize = 4 + 4 + 4 + kRecordSize;

void putU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 24));
  out.push_back(static_cast<std::uint8_t>(value >> 16));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

std::uint32_t getU32(const std::uint8_t* in) {
  return static_cast<std::uint32_t>(in[0]) << 24 | static_cast<std::uint32_t>(in[1]) << 16 |
         static_cast<std::uint32_t>(in[2]) << 8 | static_cast<std::uint32_t>(in[3]);
}

void putRecord(std::vector<std::uint8_t>& out, const CommandRecord& r) {
  out.insert(out.end(), {r.dest, r.source, r.code, r.param, r.status, r.error});
  out.insert(out.end(), r.data_arr, r.data_arr + kDataSize);
}

CommandRecord getRecord(const std::uint8_t* in) {
  CommandRecord r;
  r.dest = in[0];
  r.source = in[1];
  r.code = in[2];
  r.param = in[3];
  r.status = in[4];
  r.error = in[5];
  for (std::size_t i = 0; i < kDataSize; ++i) r.data_arr[i] = in[6 + i];
  return r;
}

bool validName(const std::string& name, std::size_t min, char lowest) {
  if (name.size() < min || name.size() > kMaxNameSize) return false;
  for (char c : name) {
    if (c < lowest || c > '~') return false;
  }
  return true;
}

void appendHeader(std::vector<std::uint8_t>& out, MessageType type, std::size_t length) {
  out.push_back(type);
  out.push_back(static_cast<std::uint8_t>(length >> 8));
  out.push_back(static_cast<std::uint8_t>(length));
}

bool parseHello(const std::uint8_t* p, std::size_t length, Hello& hello) {
  if (length < 3) return false;
  hello.version = p[0];
  std::size_t bus_size = p[1];
  if (2 + bus_size + 1 > length) return false;
  hello.bus.assign(reinterpret_cast<const char*>(p + 2), bus_size);
  std::size_t client_size = p[2 + bus_size];
  if (2 + bus_size + 1 + client_size != length) return false;
  hello.client.assign(reinterpret_cast<const char*>(p + 3 + bus_size), client_size);
  return validBusName(hello.bus) && validClientName(hello.client);
}

}  // namespace

bool validBusName(const std::string& name) {
  return validName(name, 1, '!');
}

bool validClientName(const std::string& name) {
  return validName(name, 0, ' ');
}

void appendMessage(const Message& message, std::vector<std::uint8_t>& out) {
  std::visit(
      [&out](const auto& m) {
        using T = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<T, Hello>) {
          appendHeader(out, kHello, 3 + m.bus.size() + m.client.size());
          out.push_back(m.version);
          out.push_back(static_cast<std::uint8_t>(m.bus.size()));
          out.insert(out.end(), m.bus.begin(), m.bus.end());
          out.push_back(static_cast<std::uint8_t>(m.client.size()));
          out.insert(out.end(), m.client.begin(), m.client.end());
        } else if constexpr (std::is_same_v<T, Transact>) {
          appendHeader(out, kTransact, kTransactSize);
          putU32(out, m.id);
          putU32(out, m.write_timeout_ms);
          putU32(out, m.reply_timeout_ms);
          putRecord(out, m.command);
        } else if constexpr (std::is_same_v<T, Welcome>) {
          appendHeader(out, kWelcome, kWelcomeSize);
          out.push_back(m.version);
          putU32(out, static_cast<std::uint32_t>(m.result));
          putU32(out, m.baud_rate);
          putU32(out, m.queue_timeout_ms);
          out.push_back(m.bus_open ? 1 : 0);
        } else {
          appendHeader(out, kResult, kResultSize);
          putU32(out, m.id);
          putU32(out, static_cast<std::uint32_t>(m.outcome));
          putU32(out, m.bus_time_us);
          putRecord(out, m.frame);
        }
      },
      message);
}

ParseStatus parseMessage(const std::uint8_t* data, std::size_t size, Message& message,
                         std::size_t& consumed) {
  if (size >= 1 && data[0] != kHello && data[0] != kTransact && data[0] != kWelcome &&
      data[0] != kResult) {
    return ParseStatus::kMalformed;
  }
  if (size < kHeaderSize) return ParseStatus::kNeedMore;
  const std::size_t length = static_cast<std::size_t>(data[1]) << 8 | data[2];
  // The largest message is a HELLO with two names of the longest.
  constexpr std::size_t kMaxPayload = 3 + 2 * kMaxNameSize;
  const std::uint8_t type = data[0];
  if ((type == kTransact && length != kTransactSize) ||
      (type == kWelcome && length != kWelcomeSize) || (type == kResult && length != kResultSize) ||
      (type == kHello && (length < 3 || length > kMaxPayload))) {
    return ParseStatus::kMalformed;
  }
  if (size < kHeaderSize + length) return ParseStatus::kNeedMore;
  const std::uint8_t* p = data + kHeaderSize;
  switch (type) {
    case kHello: {
      Hello hello;
      if (!parseHello(p, length, hello)) return ParseStatus::kMalformed;
      message = std::move(hello);
      break;
    }
    case kTransact:
      message = Transact{getU32(p), getU32(p + 4), getU32(p + 8), getRecord(p + 12)};
      break;
    case kWelcome:
      if (p[13] > 1) return ParseStatus::kMalformed;
      message = Welcome{p[0], static_cast<std::int32_t>(getU32(p + 1)), getU32(p + 5),
                        getU32(p + 9), p[13] == 1};
      break;
    default:
      message = Result{getU32(p), static_cast<std::int32_t>(getU32(p + 4)), getU32(p + 8),
                       getRecord(p + 12)};
      break;
  }
  consumed = kHeaderSize + length;
  return ParseStatus::kMessage;
}

}  // namespace varno::gateway
