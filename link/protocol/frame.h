// The 12-byte frame: every exchange on the line, in both directions, is one of these.
//
//   0      dest | 0x80 (bit 7 marks the start of a frame)
//   1..9   source, code, param, status, error, data[0..3], each & 0x7F
//   10     the bit 7s of param, status, error, data[0..3] (bits 0..6)
//   11     CRC-7 over bytes 0..10
//
// Only byte 0 has bit 7 set, so a receiver can tell a frame's first byte from any other.
#ifndef VARNO_PROTOCOL_FRAME_H
#define VARNO_PROTOCOL_FRAME_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "varno_link.h"

namespace varno {

inline constexpr std::size_t kFrameSize = 12;
inline constexpr std::size_t kDataSize = 4;
inline constexpr std::uint8_t kStartMark = 0x80;

using Frame = std::array<std::uint8_t, kFrameSize>;

// The content of every frame.
struct CommandRecord {
  std::uint8_t dest = 0;
  std::uint8_t source = 0;
  std::uint8_t code = 0;
  std::uint8_t param = 0;
  std::uint8_t status = 0;
  std::uint8_t error = 0;
  std::uint8_t data_arr[kDataSize] = {0, 0, 0, 0};
};

// The C interface's frame and the codec's record carry the same fields.
CommandRecord recordFromFrame(const VarnoFrame& frame);
void frameFromRecord(const CommandRecord& record, VarnoFrame& frame);

// CRC-7 (x^7 + x^3 + 1, initial value 0, bits of each byte taken least significant first).
std::uint8_t crc7(const std::uint8_t* bytes, std::size_t length);

// Fills all 12 bytes of `out`. Bit 7 of `dest` is replaced by the start mark; bit 7 of `source`
// and `code` is not carried. Always returns true.
bool encodeFrame(const CommandRecord& record, std::uint8_t* out);

// Why 12 bytes are not a frame, checked in this order.
enum class FrameFault { kNone, kNoStartMark, kHighBitInBody, kBadCrc };
FrameFault checkFrame(const std::uint8_t* in);

// Checks the 12 bytes at `in` (start mark, bit 7 clear in bytes 1..10, CRC) and on success fills
// `record`, `dest` keeping the start mark. On failure returns false and leaves `record` alone.
bool decodeFrame(const std::uint8_t* in, CommandRecord& record);

}  // namespace varno

#endif  // VARNO_PROTOCOL_FRAME_H
