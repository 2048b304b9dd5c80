#include "bus_frames.h"

namespace varno::tool {

const char* busFaultText(BusFault fault) {
  switch (fault) {
    case BusFault::kNone:
      return "frame";
    case BusFault::kBadCrc:
      return "bad CRC";
    case BusFault::kCutShort:
      return "cut short";
    case BusFault::kStray:
      return "stray bytes";
  }
  return "?";
}

void FrameCutter::feed(const std::uint8_t* bytes, std::size_t count, const BusStamp& at) {
  if (count == 0) return;
  tick(at.steady);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = bytes[i];
    if ((byte & 0x80) != 0) cut();  // a start mark ends whatever came before it
    if (pending_.bytes.empty()) pending_.at = at;
    pending_.bytes.push_back(byte);
    const bool framed = (pending_.bytes[0] & 0x80) != 0;
    if ((framed && pending_.bytes.size() == 12) ||
        (!framed && pending_.bytes.size() == kStrayLimit)) {
      cut();
    }
  }
  last_byte_ = at.steady;
}

void FrameCutter::tick(std::chrono::steady_clock::time_point now) {
  if (!pending_.bytes.empty() && now - last_byte_ > silence_) cut();
}

std::chrono::steady_clock::time_point FrameCutter::deadline() const {
  if (pending_.bytes.empty()) return std::chrono::steady_clock::time_point::max();
  return last_byte_ + silence_ + std::chrono::microseconds(1);
}

void FrameCutter::flush() {
  cut();
}

void FrameCutter::cut() {
  if (pending_.bytes.empty()) return;
  if ((pending_.bytes[0] & 0x80) == 0) {
    pending_.fault = BusFault::kStray;
  } else if (pending_.bytes.size() < 12) {
    pending_.fault = BusFault::kCutShort;
  } else {
    // Bytes 1..11 have bit 7 clear here (a start mark would have cut), so only the CRC can fail.
    pending_.fault = varnoFrameDecode(pending_.bytes.data(), &pending_.frame) == VARNO_OK
                         ? BusFault::kNone
                         : BusFault::kBadCrc;
  }
  emit(pending_);
}

void FrameCutter::emit(BusEvent& event) {
  BusEvent out = std::move(event);
  event = BusEvent{};
  sink_(out);
}

}  // namespace varno::tool
