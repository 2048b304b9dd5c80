// Cutting a bus's byte stream into frames, as a listener sees it: a frame begins at a start mark
// (bit 7) and is 12 bytes long; a start mark before then, or 10 ms without a byte, ends what came
// so far, which is then a frame cut short (it began with a start mark) or stray bytes (it did
// not). Twelve bytes that begin with a start mark are a frame when varnoFrameDecode takes them,
// and a frame with a bad CRC otherwise.
#ifndef VARNO_TOOL_BUS_FRAMES_H
#define VARNO_TOOL_BUS_FRAMES_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "varno_link.h"

namespace varno::tool {

struct BusStamp {
  std::chrono::steady_clock::time_point steady{};  // for the silences
  std::chrono::system_clock::time_point wall{};    // for showing
};

enum class BusFault { kNone, kBadCrc, kCutShort, kStray };
inline constexpr int kBusFaultCount = 4;

struct BusEvent {
  BusStamp at;  // when its first byte was read
  std::vector<std::uint8_t> bytes;
  BusFault fault = BusFault::kNone;
  VarnoFrame frame{};  // for kNone
};

const char* busFaultText(BusFault fault);  // "bad CRC", "cut short", "stray bytes"

class FrameCutter {
 public:
  using Sink = std::function<void(const BusEvent&)>;
  // A run of stray bytes longer than this is reported in pieces of this size.
  static constexpr std::size_t kStrayLimit = 64;

  FrameCutter(std::chrono::milliseconds silence, Sink sink)
      : silence_(silence), sink_(std::move(sink)) {}

  // Bytes read together, at `at`. What was pending is first cut if the line was silent for
  // longer than the limit before them.
  void feed(const std::uint8_t* bytes, std::size_t count, const BusStamp& at);
  // The time now: cuts what is pending once the silence after its last byte reaches the limit.
  void tick(std::chrono::steady_clock::time_point now);
  // When tick() will next have something to do; time_point::max() when nothing is pending.
  std::chrono::steady_clock::time_point deadline() const;
  // Reports whatever is pending (at the end of listening).
  void flush();

 private:
  void cut();
  void emit(BusEvent& event);

  std::chrono::milliseconds silence_;
  Sink sink_;
  BusEvent pending_;
  std::chrono::steady_clock::time_point last_byte_{};
};

}  // namespace varno::tool

#endif  // VARNO_TOOL_BUS_FRAMES_H
