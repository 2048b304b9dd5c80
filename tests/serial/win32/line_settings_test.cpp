// The DCB and time-outs the port applies, held byte for byte to what the line needs: devices on
// the bus only understand 8N1 at the host's baud rate, with RTS keying the transceiver.
#include "ports/serial_port_win32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace varno {
namespace {

static_assert(sizeof(DCB) == 28, "the DCB the driver expects");

// The bit fields packed into the word that follows BaudRate, as the driver reads them.
std::uint32_t flagWord(const DCB& dcb) {
  std::uint32_t word = 0;
  std::memcpy(&word, reinterpret_cast<const unsigned char*>(&dcb) + 8, sizeof word);
  return word;
}

// The whole structure as it should be: anything not named here must be zero.
void expectExactDcb(const DCB& dcb, std::uint32_t baud_rate, std::uint32_t flags) {
  unsigned char expected[28] = {};
  const std::uint32_t length = 28;
  std::memcpy(expected + 0, &length, 4);
  std::memcpy(expected + 4, &baud_rate, 4);
  std::memcpy(expected + 8, &flags, 4);
  expected[18] = 8;  // ByteSize; Parity (19) and StopBits (20) are NOPARITY and ONESTOPBIT, 0
  unsigned char actual[28];
  std::memcpy(actual, &dcb, sizeof actual);
  for (int i = 0; i < 28; ++i) {
    EXPECT_EQ(expected[i], actual[i]) << "byte " << i;
  }
}

TEST(LineSettingsDcb, ToggleIsTheExactStructure) {
  const DCB dcb = makeLineSettingsDcb({38400, RtsControl::Toggle});
  EXPECT_EQ(28u, dcb.DCBlength);
  EXPECT_EQ(0x3081u, flagWord(dcb));
  expectExactDcb(dcb, 38400, 0x3081);
}

TEST(LineSettingsDcb, DisableDiffersOnlyInTheRtsBits) {
  const DCB toggle = makeLineSettingsDcb({38400, RtsControl::Toggle});
  const DCB disable = makeLineSettingsDcb({38400, RtsControl::Disable});
  EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_DISABLE), disable.fRtsControl);
  EXPECT_EQ(0x3000u, flagWord(toggle) ^ flagWord(disable));
  expectExactDcb(disable, 38400, 0x0081);
}

TEST(LineSettingsDcb, BaudRatePassesThroughUnchanged) {
  // Non-standard rates included: the driver, not the library, decides what it can do.
  for (std::uint32_t baud : {38400u, 250000u, 31250u, 1u, 0u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(baud);
    const DCB dcb = makeLineSettingsDcb({baud, RtsControl::Toggle});
    expectExactDcb(dcb, baud, 0x3081);
  }
}

TEST(CommTimeouts, OnlyTheInterByteLimit) {
  EXPECT_EQ(250u, makeCommTimeouts({38400, RtsControl::Toggle, 250}).ReadIntervalTimeout);
  const COMMTIMEOUTS timeouts = makeCommTimeouts({});
  EXPECT_EQ(10u, timeouts.ReadIntervalTimeout);
  EXPECT_EQ(0u, timeouts.ReadTotalTimeoutMultiplier);
  EXPECT_EQ(0u, timeouts.ReadTotalTimeoutConstant);
  EXPECT_EQ(0u, timeouts.WriteTotalTimeoutMultiplier);
  EXPECT_EQ(0u, timeouts.WriteTotalTimeoutConstant);
}

}  // namespace
}  // namespace varno
