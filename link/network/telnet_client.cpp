#include "network/telnet_client.h"

namespace varno {
namespace {

constexpr std::uint8_t kDataSize = 8;

}  // namespace

std::size_t TelnetClient::offers(std::uint8_t* out) {
  std::size_t n = 0;
  n += telnet::encodeNegotiation(telnet::kWill, telnet::kBinary, out + n);
  us_[kBinaryIndex].pending = true;
  n += telnet::encodeNegotiation(telnet::kDo, telnet::kBinary, out + n);
  him_[kBinaryIndex].pending = true;
  n += telnet::encodeNegotiation(telnet::kWill, telnet::kComPort, out + n);
  us_[kComPortIndex].pending = true;
  return n;
}

int TelnetClient::indexOf(std::uint8_t option) {
  if (option == telnet::kBinary) return kBinaryIndex;
  if (option == telnet::kComPort) return kComPortIndex;
  return -1;
}

void TelnetClient::reply(std::uint8_t verb, std::uint8_t option) {
  if (reply_size_ + 3 > replies_.size()) return;  // a flood of requests: the rest go unanswered
  reply_size_ += telnet::encodeNegotiation(verb, option, replies_.data() + reply_size_);
}

bool TelnetClient::firstRefusal(std::array<std::uint8_t, 32>& sent, std::uint8_t option) {
  const std::uint8_t bit = static_cast<std::uint8_t>(1u << (option % 8));
  if (sent[option / 8] & bit) return false;
  sent[option / 8] |= bit;
  return true;
}

void TelnetClient::negotiation(std::uint8_t verb, std::uint8_t option) {
  const int i = indexOf(option);
  switch (verb) {
    case telnet::kDo:
      if (i < 0) {
        if (firstRefusal(wont_sent_, option)) reply(telnet::kWont, option);
        return;
      }
      // A request this side made is answered, or the server asks first: either way agreed,
      // and only a request that was not this side's own is answered.
      if (!us_[i].enabled && !us_[i].pending) reply(telnet::kWill, option);
      us_[i] = {true, false};
      return;
    case telnet::kDont:
      if (i < 0) return;
      if (us_[i].enabled || us_[i].pending) refused_ = true;
      if (us_[i].enabled) reply(telnet::kWont, option);
      us_[i] = {};
      return;
    case telnet::kWill:
      if (i != kBinaryIndex) {
        if (firstRefusal(dont_sent_, option)) reply(telnet::kDont, option);
        return;
      }
      if (!him_[i].enabled && !him_[i].pending) reply(telnet::kDo, option);
      him_[i] = {true, false};
      return;
    case telnet::kWont:
      if (i != kBinaryIndex) return;
      if (him_[i].enabled || him_[i].pending) refused_ = true;
      if (him_[i].enabled) reply(telnet::kDont, option);
      him_[i] = {};
      return;
    default:
      return;
  }
}

void TelnetClient::subnegotiation(const std::uint8_t* payload, std::size_t size, bool cut) {
  if (cut || size < 2 || payload[0] != telnet::kComPort) return;
  const std::uint8_t* value = payload + 2;
  const std::size_t value_size = size - 2;
  const auto answer = [&](std::uint8_t command) {
    return payload[1] == telnet::kServerOffset + command;
  };
  if (answer(telnet::kSetBaudRate) && value_size == 4) {
    answers.baud_rate = (std::int64_t{value[0]} << 24) | (std::int64_t{value[1]} << 16) |
                        (std::int64_t{value[2]} << 8) | std::int64_t{value[3]};
  } else if (value_size != 1) {
    return;  // NOTIFY-LINESTATE and -MODEMSTATE included: nothing this link watches
  } else if (answer(telnet::kSetDataSize)) {
    answers.data_size = value[0];
  } else if (answer(telnet::kSetParity)) {
    answers.parity = value[0];
  } else if (answer(telnet::kSetStopSize)) {
    answers.stop_size = value[0];
  } else if (answer(telnet::kSetControl)) {
    const int v = value[0];
    if (v == telnet::kControlDtrOn || v == telnet::kControlDtrOff) {
      answers.dtr = v;
    } else if ((v >= 1 && v <= 3) || (v >= 17 && v <= 19)) {  // the outbound flow control
      answers.flow_control = v;
    }
  }
}

bool TelnetClient::agreed() const {
  return us_[kBinaryIndex].enabled && him_[kBinaryIndex].enabled && us_[kComPortIndex].enabled;
}

std::size_t TelnetClient::setLine(std::uint32_t baud_rate, std::uint8_t* out,
                                  std::size_t* unit_sizes) {
  answers = {};
  asked_baud_rate_ = baud_rate;
  const std::uint8_t dtr_off = telnet::kControlDtrOff;
  const std::uint8_t no_flow = telnet::kControlNoFlowControl;
  const std::uint8_t rate[4] = {
      static_cast<std::uint8_t>(baud_rate >> 24), static_cast<std::uint8_t>(baud_rate >> 16),
      static_cast<std::uint8_t>(baud_rate >> 8), static_cast<std::uint8_t>(baud_rate)};
  const std::uint8_t data_size = kDataSize;
  const std::uint8_t parity = telnet::kParityNone;
  const std::uint8_t stop_size = telnet::kStopBitsOne;
  struct Command {
    std::uint8_t code;
    const std::uint8_t* value;
    std::size_t size;
  };
  const Command commands[kLineCommands] = {
      {telnet::kSetControl, &dtr_off, 1}, {telnet::kSetControl, &no_flow, 1},
      {telnet::kSetBaudRate, rate, 4},    {telnet::kSetDataSize, &data_size, 1},
      {telnet::kSetParity, &parity, 1},   {telnet::kSetStopSize, &stop_size, 1},
  };
  std::size_t n = 0;
  for (std::size_t i = 0; i < kLineCommands; ++i) {
    const Command& c = commands[i];
    unit_sizes[i] = telnet::encodeComPort(c.code, c.value, c.size, out + n);
    n += unit_sizes[i];
  }
  return n;
}

bool TelnetClient::lineAnswered() const {
  const Answers& a = answers;
  return a.baud_rate >= 0 && a.data_size >= 0 && a.parity >= 0 && a.stop_size >= 0 &&
         a.flow_control >= 0;
}

bool TelnetClient::lineRefused() const {
  const Answers& a = answers;
  return refused_ || (a.baud_rate >= 0 && a.baud_rate != asked_baud_rate_) ||
         (a.data_size >= 0 && a.data_size != kDataSize) ||
         (a.parity >= 0 && a.parity != telnet::kParityNone) ||
         (a.stop_size >= 0 && a.stop_size != telnet::kStopBitsOne) ||
         (a.flow_control >= 0 && a.flow_control != telnet::kControlNoFlowControl) ||
         a.dtr == telnet::kControlDtrOn;
}

}  // namespace varno
