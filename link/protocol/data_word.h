// The two encodings of a frame's 4-byte data word.
//
//   unsigned: one 32-bit integer, least significant byte first
//   decimal:  bytes 0..2 a 24-bit two's-complement mantissa (least significant byte first),
//             byte 3 the number of decimal places; value = mantissa / 10^places
//
// Pure functions over the caller's four bytes; the pointers must not be null.
#ifndef VARNO_PROTOCOL_DATA_WORD_H
#define VARNO_PROTOCOL_DATA_WORD_H

#include <cstdint>

namespace varno {

// The writer stores at most this many decimal places; the reader takes any count.
inline constexpr std::uint8_t kMaxWrittenDecimals = 3;

std::uint32_t dataToUInt(const std::uint8_t* data_arr);
void uintToData(std::uint32_t value, std::uint8_t* data_arr);
float dataToFloat(const std::uint8_t* data_arr);
void floatToData(float value, std::uint8_t decimals, std::uint8_t* data_arr);

}  // namespace varno

#endif  // VARNO_PROTOCOL_DATA_WORD_H
