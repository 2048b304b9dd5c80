#include "network/telnet.h"

namespace varno::telnet {

std::size_t Decoder::decode(const std::uint8_t* in, std::size_t size, std::uint8_t* data,
                            Handler& handler) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t byte = in[i];
    // Every byte inside a sub-negotiation counts, commands stuck in it included.
    if ((state_ == State::kSub || state_ == State::kSubIac) && ++sub_run_ > kMaxSubnegotiationRun) {
      state_ = State::kFailed;
    }
    switch (state_) {
      case State::kData:
        if (byte == kIac) {
          state_ = State::kIac;
        } else {
          data[out++] = byte;
        }
        break;
      case State::kIac:
        if (byte == kIac) {
          data[out++] = byte;
          state_ = State::kData;
        } else if (byte >= kWill) {
          verb_ = byte;
          state_ = State::kVerb;
        } else if (byte == kSb) {
          sub_size_ = 0;
          sub_run_ = 0;
          sub_cut_ = false;
          state_ = State::kSub;
        } else {
          state_ = State::kData;  // NOP, GA, DM, a stray SE...: nothing for a binary link
        }
        break;
      case State::kVerb:
        state_ = State::kData;
        handler.negotiation(verb_, byte);
        break;
      case State::kSub:
        if (byte == kIac) {
          state_ = State::kSubIac;
        } else {
          subByte(byte);
        }
        break;
      case State::kSubIac:
        if (byte == kSe) {
          state_ = State::kData;
          handler.subnegotiation(sub_, sub_size_, sub_cut_);
        } else {
          // IAC IAC is a 0xFF of the payload; any other command inside is not one the other
          // end may send there, and is skipped.
          state_ = State::kSub;
          if (byte == kIac) subByte(byte);
        }
        break;
      case State::kFailed:
        return out;
    }
  }
  return out;
}

void Decoder::subByte(std::uint8_t byte) {
  if (sub_size_ < kMaxSubnegotiation) {
    sub_[sub_size_++] = byte;
  } else {
    sub_cut_ = true;
  }
}

std::size_t encodeData(std::uint8_t byte, std::uint8_t* out) {
  out[0] = byte;
  if (byte != kIac) return 1;
  out[1] = kIac;
  return 2;
}

std::size_t encodeNegotiation(std::uint8_t verb, std::uint8_t option, std::uint8_t* out) {
  out[0] = kIac;
  out[1] = verb;
  out[2] = option;
  return 3;
}

std::size_t encodeComPort(std::uint8_t command, const std::uint8_t* value, std::size_t size,
                          std::uint8_t* out) {
  std::size_t n = 0;
  out[n++] = kIac;
  out[n++] = kSb;
  out[n++] = kComPort;
  out[n++] = command;
  for (std::size_t i = 0; i < size; ++i) n += encodeData(value[i], out + n);
  out[n++] = kIac;
  out[n++] = kSe;
  return n;
}

}  // namespace varno::telnet
