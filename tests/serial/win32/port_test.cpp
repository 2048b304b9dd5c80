// The Windows port without a device: what it does before an open, after a failed one, and how
// its waits answer a forced end. The tests over pseudo-terminals are in port_device_test.cpp.
#include <gtest/gtest.h>

#include <future>

#include "ports/port_registry.h"
#include "ports/serial_port.h"

namespace varno {
namespace {

// INVALID_HANDLE_VALUE is also the handle of the current process: an operation that passed it on
// would be acting on something, so every one must refuse before reaching the system, and no wait
// may wait for a device that is not there.
void expectEveryOperationRefused(SerialPort& port) {
  std::uint8_t buffer[12] = {};
  std::size_t received = 99;
  EXPECT_FALSE(port.discard());
  EXPECT_FALSE(port.startWrite(buffer, sizeof buffer));
  EXPECT_EQ(WaitResult::kFailed, port.finishWrite(kInfinite));
  EXPECT_EQ(WaitResult::kFailed, port.awaitInput(kInfinite));
  EXPECT_FALSE(port.read(buffer, sizeof buffer, received));
  EXPECT_EQ(0u, received);
  port.cancel();
}

TEST(Win32Port, OpeningADeviceThatDoesNotExistFailsAtTheDevice) {
  auto port = makeSystemSerialPort();
  expectEveryOperationRefused(*port);  // before any open
  const OpenStatus status = port->open("varno-no-such-device", {38400, RtsControl::Disable});
  EXPECT_EQ(OpenStep::kOpenDevice, status.failed);
  EXPECT_EQ(PortError::kNotFound, status.error);
  EXPECT_NE(0, status.system_error);
  expectEveryOperationRefused(*port);
  port->close();
  port->close();  // a second close finds nothing left to release
}

TEST(Win32Port, AbortMakesEveryLaterWaitEndAtOnce) {
  auto port = makeSystemSerialPort();
  port->abort();
  EXPECT_EQ(WaitResult::kAborted, port->finishWrite(kInfinite));
  auto input = std::async(std::launch::async, [&port] { return port->awaitInput(kInfinite); });
  ASSERT_EQ(std::future_status::ready, input.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(WaitResult::kAborted, input.get());
  // A port given up on stays given up: the abandoned worker could still reach a new device.
  // (Not even asked for: the system would have said why it found nothing.)
  const OpenStatus status = port->open("varno-no-such-device", {});
  EXPECT_EQ(OpenStep::kOpenDevice, status.failed);
  EXPECT_EQ(0, status.system_error);
  port->close();
}

}  // namespace
}  // namespace varno
