#include "data_word.h"

#include <cmath>

namespace varno {

std::uint32_t dataToUInt(const std::uint8_t* data_arr) {
  return static_cast<std::uint32_t>(data_arr[0]) | static_cast<std::uint32_t>(data_arr[1]) << 8 |
         static_cast<std::uint32_t>(data_arr[2]) << 16 |
         static_cast<std::uint32_t>(data_arr[3]) << 24;
}

void uintToData(std::uint32_t value, std::uint8_t* data_arr) {
  for (int i = 0; i < 4; ++i) data_arr[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

float dataToFloat(const std::uint8_t* data_arr) {
  // The divisor is built by repeated single-precision products, so a large count reaches
  // infinity (from the 39th product on) and the value reads as a signed zero.
  float divisor = 1.0f;
  for (unsigned i = 0; i < data_arr[3]; ++i) divisor *= 10.0f;

  const bool negative = (data_arr[2] & 0x80) != 0;
  std::uint32_t magnitude;
  if (!negative) {
    magnitude = data_arr[0] + 256u * data_arr[1] + 65536u * data_arr[2];
  } else {
    magnitude = (~data_arr[0] & 0xFFu) + 256u * (~data_arr[1] & 0xFFu) +
                65536u * (~data_arr[2] & 0xFFu) + 1u;
  }
  // At most 2^23, so exact as a float.
  const float m = static_cast<float>(magnitude);
  return negative ? m / -divisor : m / divisor;
}

void floatToData(float value, std::uint8_t decimals, std::uint8_t* data_arr) {
  if (decimals > kMaxWrittenDecimals) decimals = kMaxWrittenDecimals;
  float v = value;
  for (unsigned i = 0; i < decimals; ++i) v *= 10.0f;

  // Half away from zero. The half is added in double precision, where the sum is exact for
  // every float; adding it in single precision would round 0.49999997 up to 1.
  const double sum = (v < 0.0f) ? static_cast<double>(v) - 0.5 : static_cast<double>(v) + 0.5;
  // 2^63: the first magnitude with no signed 64-bit form. NaN fails both comparisons.
  constexpr double kLimit = 9223372036854775808.0;
  std::int64_t n = 0;
  if (sum > -kLimit && sum < kLimit) n = static_cast<std::int64_t>(sum);  // truncates toward 0

  // Only the low 24 bits are kept: a scaled value outside the mantissa's range wraps.
  const auto bits = static_cast<std::uint64_t>(n);
  data_arr[0] = static_cast<std::uint8_t>(bits & 0xFF);
  data_arr[1] = static_cast<std::uint8_t>((bits >> 8) & 0xFF);
  data_arr[2] = static_cast<std::uint8_t>((bits >> 16) & 0xFF);
  data_arr[3] = decimals;
}

}  // namespace varno
