// Uses the installed library the way a host program would: conversions, and an open that fails.
#include <VarnoDLL.h>

#include <cstdio>
#include <string>

int main() {
  std::uint8_t word[4];
  if (!varnoFloatToData(123.456f, 2, word) || varnoDataToUInt(word) != 0x0200303Au) return 1;
  const std::string missing = "/nonexistent/ttyVARNO";
  const std::uint32_t baud = 38400;
  if (varnoOpenSerialPort(missing, baud)) return 2;
  if (varnoGetSerialPortCurrentState() != 0) return 3;
  std::printf("consumer ok\n");
  return 0;
}
