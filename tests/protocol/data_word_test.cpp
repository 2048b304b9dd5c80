// The four exported conversions, through the exported names a host calls.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "VarnoDLL.h"
#include "core/diagnostic.h"

namespace {

using Word = std::array<std::uint8_t, 4>;

Word floatWord(float value, std::uint8_t decimals) {
  Word w = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_TRUE(varnoFloatToData(value, decimals, w.data()));
  return w;
}

TEST(DataWord, UnsignedIsLeastSignificantByteFirst) {
  Word w{};
  ASSERT_TRUE(varnoUIntToData(0x02003039u, w.data()));
  EXPECT_EQ(w, (Word{0x39, 0x30, 0x00, 0x02}));
  EXPECT_EQ(varnoDataToUInt(w.data()), 0x02003039u);
  for (std::uint32_t v : {0u, 1u, 0x80u, 0xFFFFFFFFu, 0x12345678u}) {
    ASSERT_TRUE(varnoUIntToData(v, w.data()));
    EXPECT_EQ(varnoDataToUInt(w.data()), v);
  }
}

TEST(DataWord, DecimalWritesScaledRoundedMantissa) {
  EXPECT_EQ(floatWord(123.456f, 2), (Word{0x3A, 0x30, 0x00, 0x02}));  // 12346
  EXPECT_EQ(floatWord(-1.5f, 1), (Word{0xF1, 0xFF, 0xFF, 0x01}));
  // Halves go away from zero.
  EXPECT_EQ(floatWord(2.5f, 0), (Word{0x03, 0x00, 0x00, 0x00}));
  EXPECT_EQ(floatWord(-2.5f, 0), (Word{0xFD, 0xFF, 0xFF, 0x00}));
  // Rounded after the single-precision scaling: 2.675f * 10 * 10 is 267.5 exactly.
  EXPECT_EQ(floatWord(2.675f, 2), (Word{0x0C, 0x01, 0x00, 0x02}));
  // The largest float below one half stays 0; adding the half in single precision would give 1.
  const float below_half = std::nextafter(0.5f, 0.0f);
  EXPECT_EQ(floatWord(below_half, 0), (Word{0, 0, 0, 0}));
  EXPECT_EQ(floatWord(-below_half, 0), (Word{0, 0, 0, 0}));
}

TEST(DataWord, DecimalsAboveThreeAreStoredAsThree) {
  // 99999.99 scales to 99,999,992 and keeps only its low 24 bits.
  const Word w = floatWord(99999.99f, 7);
  EXPECT_EQ(w, (Word{0xF8, 0xE0, 0xF5, 0x03}));
  EXPECT_FLOAT_EQ(varnoDataToFloat(w.data()), -663.304f);
  // The comparison is unsigned: 200 is also more than 3.
  EXPECT_EQ(floatWord(1.5f, 200), (Word{0xDC, 0x05, 0x00, 0x03}));
  EXPECT_EQ(floatWord(1.5f, 3), (Word{0xDC, 0x05, 0x00, 0x03}));
}

TEST(DataWord, MantissaWrapsAtTwentyFourBits) {
  Word w = floatWord(8388608.0f, 0);
  EXPECT_EQ(w, (Word{0x00, 0x00, 0x80, 0x00}));
  EXPECT_EQ(varnoDataToFloat(w.data()), -8388608.0f);
  w = floatWord(3000000000.0f, 0);  // the low 24 bits of the 64-bit integer
  EXPECT_EQ(w, (Word{0x00, 0x5E, 0xD0, 0x00}));
  EXPECT_EQ(varnoDataToFloat(w.data()), -3121664.0f);
  EXPECT_EQ(floatWord(8388607.0f, 0), (Word{0xFF, 0xFF, 0x7F, 0x00}));
  EXPECT_EQ(floatWord(-8388608.0f, 0), (Word{0x00, 0x00, 0x80, 0x00}));
}

TEST(DataWord, ValuesWithNoIntegerFormStoreZero) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(floatWord(std::numeric_limits<float>::quiet_NaN(), 2), (Word{0, 0, 0, 2}));
  EXPECT_EQ(floatWord(inf, 1), (Word{0, 0, 0, 1}));
  EXPECT_EQ(floatWord(-inf, 0), (Word{0, 0, 0, 0}));
  EXPECT_EQ(floatWord(1e19f, 0), (Word{0, 0, 0, 0}));
  EXPECT_EQ(floatWord(-1e19f, 3), (Word{0, 0, 0, 3}));
  // Below 2^63 a huge value is not zeroed but wraps: 2^40 + 2^20 keeps 2^20.
  EXPECT_EQ(floatWord(1099512676352.0f, 0), (Word{0x00, 0x00, 0x10, 0x00}));
  EXPECT_EQ(floatWord(-3000000000.0f, 0), (Word{0x00, 0xA2, 0x2F, 0x00}));
}

TEST(DataWord, DecimalReads) {
  Word w = {0x39, 0x30, 0x00, 0x02};
  EXPECT_FLOAT_EQ(varnoDataToFloat(w.data()), 123.45f);
  w = floatWord(123.456f, 2);
  EXPECT_FLOAT_EQ(varnoDataToFloat(w.data()), 123.46f);
  w = floatWord(-1.5f, 1);
  EXPECT_EQ(varnoDataToFloat(w.data()), -1.5f);
  w = {0xFF, 0xFF, 0xFF, 0x00};
  EXPECT_EQ(varnoDataToFloat(w.data()), -1.0f);

  // The divisor is still finite at 38 places and infinite from 39 on.
  w = {0x01, 0x00, 0x00, 38};
  EXPECT_NEAR(varnoDataToFloat(w.data()), 1.0e-38f, 1.0e-43f);
  EXPECT_GT(varnoDataToFloat(w.data()), 0.0f);
  w = {0x01, 0x00, 0x00, 39};
  EXPECT_EQ(varnoDataToFloat(w.data()), 0.0f);
  w = {0xFF, 0xFF, 0xFF, 255};
  const float negative_zero = varnoDataToFloat(w.data());
  EXPECT_EQ(negative_zero, 0.0f);
  EXPECT_TRUE(std::signbit(negative_zero));
}

TEST(DataWord, DecimalRoundTripsEveryStoredPlaces) {
  for (std::uint8_t places = 0; places <= 3; ++places) {
    for (std::int32_t m : {-8000000, -1234567, -1, 0, 1, 999, 7999999}) {
      const float value = static_cast<float>(m) / std::pow(10.0f, places);
      const Word w = floatWord(value, places);
      EXPECT_NEAR(varnoDataToFloat(w.data()), value, std::fabs(value) * 1e-6f + 1e-6f)
          << m << " with " << int(places) << " places";
    }
  }
}

std::vector<std::string>* g_logged = nullptr;
void collect(const char* text) {
  g_logged->push_back(text);
}

TEST(DataWord, NullPointersGiveTheirMessageAndDefault) {
  std::vector<std::string> logged;
  g_logged = &logged;
  varno::setDiagnosticSink(collect);
  EXPECT_EQ(varnoDataToUInt(nullptr), 0u);
  EXPECT_FALSE(varnoUIntToData(5, nullptr));
  EXPECT_EQ(varnoDataToFloat(nullptr), 0.0f);
  EXPECT_FALSE(varnoFloatToData(1.0f, 2, nullptr));
  varno::setDiagnosticSink(nullptr);
  g_logged = nullptr;
  EXPECT_EQ(logged,
            (std::vector<std::string>{
                "\n varnoDataToInt() data_arr error", "\n varnoIntToData() data_arr error",
                "\n varnoDataToFloat() data_arr error", "\n varnoFloatToData() data_arr error"}));
}

TEST(DataWord, NullPointerMessagesReachStderr) {
  testing::internal::CaptureStderr();
  varnoDataToUInt(nullptr);
  varnoFloatToData(1.0f, 2, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\n varnoDataToInt() data_arr error\n varnoFloatToData() data_arr error");
}

}  // namespace
