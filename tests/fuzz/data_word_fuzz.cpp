// The four data-word conversions on arbitrary words, values and place counts.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "VarnoDLL.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9) return 0;
  std::uint8_t word[4];
  std::memcpy(word, data, 4);

  // Reading: the unsigned form is the bytes themselves; the decimal form is a finite or zero
  // quotient whose sign is the mantissa's.
  std::uint8_t copy[4];
  if (!varnoUIntToData(varnoDataToUInt(word), copy) || std::memcmp(copy, word, 4) != 0) {
    std::abort();
  }
  const float decimal = varnoDataToFloat(word);
  if (std::isnan(decimal) || std::isinf(decimal)) std::abort();
  if ((word[2] & 0x80) && decimal > 0.0f) std::abort();

  // Writing: any float, any place count.
  float value;
  std::memcpy(&value, data + 4, sizeof value);
  const std::uint8_t places = data[8];
  std::uint8_t out[4];
  if (!varnoFloatToData(value, places, out)) std::abort();
  const std::uint8_t stored_places = places > 3 ? 3 : places;
  if (out[3] != stored_places) std::abort();
  // A value that fits the mantissa after scaling reads back within half a unit of the last place.
  const double scaled = static_cast<double>(value) * std::pow(10.0, stored_places);
  if (std::fabs(scaled) < 8000000.0) {
    const double back = static_cast<double>(varnoDataToFloat(out)) * std::pow(10.0, stored_places);
    if (std::fabs(back - scaled) > 0.5 + std::fabs(scaled) * 1e-6) std::abort();
  }
  return 0;
}
